// The LEDs as the board's timeline shows them (each pattern by its lit time and period) and the
// buttons end to end: hold times, interval stepping and the factory reset.
#include "power_fixture.h"

namespace {

constexpr uint16_t kAllLeds = 0x7ED8, kOneMinuteLed = 0x0800;

class Leds : public PowerBoard {
 protected:
  // Every pulse of `value` under `mask` from `from` on lasts `on` µs and starts `period` µs after
  // the one before (within `slack`); at least `atLeast` of them.
  void ExpectPulses(uint16_t mask, uint16_t value, uint64_t from, uint64_t on, uint64_t period,
                    size_t atLeast, uint64_t slack = 5000) {
    auto pulses = Pulses(board.led_timeline(), mask, value, from, inst.now());
    ASSERT_GE(pulses.size(), atLeast);
    for (size_t i = 0; i < pulses.size(); i++) {
      EXPECT_NEAR(double(pulses[i].off - pulses[i].on), double(on), double(slack)) << i;
      if (i > 0) {
        EXPECT_NEAR(double(pulses[i].on - pulses[i - 1].on), double(period), double(slack)) << i;
      }
    }
  }
};

TEST_F(Leds, RecordingFlashesTheStartStopLEDGreenFor300msEvery10s) {
  inst.boot();
  inst.run_for(20 * kSec);
  Press(kRec, 1500000);
  uint64_t started = inst.now();
  inst.run_for(60 * kSec);
  ExpectPulses(kSsMask, kGreen, started + 10 * kSec, 300000, 10 * kSec, 4);
}

TEST_F(Leds, RecordingOnALowBatteryFlashesRedThreeTimesAndGreenOnceEvery2_5s) {
  batteries().set_load(0, 0);
  inst.boot();
  inst.run_for(20 * kSec);
  Press(kRec, 1500000);
  inst.run_for(10 * kSec);
  batteries().set_voltage(0, 3450);
  Press(kInterval, 200000);  // read the gauges now
  inst.run_for(5 * kSec);
  uint64_t from = inst.now();
  inst.run_for(30 * kSec);
  auto lit = Pulses(board.led_timeline(), kSsMask, kRed, from, inst.now());
  auto green = Pulses(board.led_timeline(), kSsMask, kGreen, from, inst.now());
  ASSERT_GE(green.size(), 2u);
  // Between two green flashes: three red ones, every flash 0.3 s, one every 2.5 s.
  int reds = 0;
  for (const Pulse& p : lit) {
    if (p.on > green[0].on && p.on < green[1].on) reds++;
    EXPECT_NEAR(double(p.off - p.on), 300000, 5000);
  }
  EXPECT_EQ(reds, 3);
  EXPECT_NEAR(double(green[1].on - green[0].on), 4 * 2500000.0, 20000);
}

TEST_F(Leds, StartingToRecordLightsTheIntervalLEDsOneBy100msThenBlinksThemWithGreen) {
  inst.boot();
  inst.run_for(20 * kSec);
  uint64_t pressed = inst.now();
  Press(kRec, 1500000);
  inst.run_for(10 * kSec);
  // Each interval LED comes on 100 ms after the one before it (the 1 min LED, lit for the
  // setting, goes dark when the animation starts).
  auto first = Pulses(board.led_timeline(), 0x0200, 0x0200, pressed, inst.now());
  ASSERT_FALSE(first.empty());
  uint64_t previous = 0;
  for (uint16_t led = 0x0200; led <= 0x4000; led <<= 1) {
    auto lit = Pulses(board.led_timeline(), led, led, first[0].on, inst.now());
    ASSERT_FALSE(lit.empty()) << led;
    if (previous) {
      EXPECT_NEAR(double(lit[0].on - previous), 100000, 2000) << led;
    }
    previous = lit[0].on;
  }
  // Then all six with green: 200 ms on, 150 ms off, four times.
  auto blinks = Pulses(board.led_timeline(), 0x7E00 | kGreen, 0x7E00 | kGreen, previous, inst.now());
  ASSERT_EQ(blinks.size(), 4u);
  for (const Pulse& p : blinks) EXPECT_NEAR(double(p.off - p.on), 200000, 2000);
  EXPECT_NEAR(double(blinks[3].on - blinks[0].on), 3 * 350000.0, 5000);
}

TEST_F(Leds, StoppingARecordingFlickersGreen75msEvery125msFor5s) {
  inst.boot();
  inst.run_for(20 * kSec);
  Press(kRec, 1500000);
  inst.run_for(20 * kSec);
  uint64_t from = inst.now();
  Press(kRec, 3500000);
  inst.run_for(10 * kSec);
  auto flicker = Pulses(board.led_timeline(), kSsMask, kGreen, from, inst.now());
  ASSERT_GE(flicker.size(), 40u);
  ExpectPulses(kSsMask, kGreen, flicker[0].on, 75000, 125000, 40, 2000);
  EXPECT_NEAR(double(flicker.back().off - flicker[0].on), 5 * kSec, 130000);
}

TEST_F(Leds, ALowBatteryWithoutRecordingFlashesRed300msEvery2_5s) {
  batteries().set_load(0, 0);
  batteries().set_voltage(0, 3450);
  inst.boot();
  inst.run_for(10 * kSec);
  uint64_t from = inst.now();
  inst.run_for(20 * kSec);
  ExpectPulses(kSsMask, kRed, from, 300000, 2500000, 6);
}

TEST_F(Leds, TheBatteryAlarmShowsYellowUntilTheLEDsSleep15sAfterAPress) {
  batteries().set_load(0, 0);
  batteries().set_voltage(0, 3550);
  inst.boot();
  inst.run_for(30 * kSec);
  uint64_t pressed = inst.now();
  Press(kInterval, 200000);
  inst.run_for(30 * kSec);
  auto yellow = Pulses(board.led_timeline(), kSsMask, kYellow, pressed, inst.now());
  ASSERT_EQ(yellow.size(), 1u);
  EXPECT_NEAR(double(yellow[0].off - pressed), 15 * kSec, 50000);
}

TEST_F(Leds, TheIntervalLEDGoesDark15sAfterTheLastPress) {
  inst.boot();
  inst.run_for(30 * kSec);
  uint64_t pressed = inst.now();
  Press(kInterval, 200000);
  inst.run_for(30 * kSec);
  auto lit = Pulses(board.led_timeline(), kOneMinuteLed, kOneMinuteLed, pressed, inst.now());
  ASSERT_EQ(lit.size(), 1u);
  EXPECT_NEAR(double(lit[0].on - pressed), 0, 50000);
  EXPECT_NEAR(double(lit[0].off - pressed), 15 * kSec, 50000);
}

TEST_F(Leds, PoweringDownBlinksRed67msEvery200msUntilTheReset) {
  inst.boot();
  inst.run_for(10 * kSec);
  uint64_t from = inst.now();
  board.set_power_switch_off(true);
  inst.run_for(2 * kSec);
  ExpectPulses(kAllLeds, kRed, from, 67000, 200000, 8, 2000);
}

TEST_F(Leds, TheFactoryResetFlashesEveryLEDButBlue150msEvery250ms) {
  inst.boot();
  inst.run_for(10 * kSec);
  Press(kBoth, 7500000);
  uint64_t from = inst.now();
  inst.run_for(10 * kSec);
  ExpectPulses(kAllLeds, kAllLeds & ~0x0040, from, 150000, 250000, 30, 2000);
}

class WiFiLed : public Leds {
 protected:
  void Set(const char* mangled, bool on) {
    auto set = Symbol<bool (*)(bool)>(mangled);
    ASSERT_TRUE(inst.call([&] { set(on); }));
  }
  static constexpr const char* kConnected = "_Z34sysstate_setWiFiConnectedToAPStateb";
  static constexpr const char* kSession = "_Z32sysstate_setWiFiSessionOpenStateb";
  static constexpr const char* kBle = "_Z34sysstate_setBLEConnectionOpenStateb";
  static constexpr const char* kError = "_Z22sysstate_setErrorStateb";
  static constexpr uint16_t kWiFi = 0x0008;
};

TEST_F(WiFiLed, ConnectedWithoutASessionBlinks200msOnAnd500msOff) {
  inst.boot();
  inst.run_for(20 * kSec);
  Set(kConnected, true);
  uint64_t from = inst.now();
  inst.run_for(10 * kSec);
  ExpectPulses(kWiFi, kWiFi, from, 200000, 700000, 12);
}

TEST_F(WiFiLed, AnOpenSessionLightsItFor30sWhileAsleepAndForAsLongAsAPhoneIsConnected) {
  inst.boot();
  inst.run_for(20 * kSec);  // the LEDs are asleep
  Set(kConnected, true);
  Set(kSession, true);
  uint64_t opened = inst.now();
  inst.run_for(40 * kSec);
  auto lit = Pulses(board.led_timeline(), kWiFi, kWiFi, opened, inst.now());
  ASSERT_EQ(lit.size(), 1u);
  EXPECT_NEAR(double(lit[0].off - opened), 30 * kSec, 50000);
  Set(kBle, true);
  inst.run_for(60 * kSec);
  EXPECT_EQ(board.leds() & kWiFi, kWiFi);
}

TEST_F(WiFiLed, AnErrorShowsRedBetweenTheGreenFlashesOfARecording) {
  inst.boot();
  inst.run_for(20 * kSec);
  Press(kRec, 1500000);
  inst.run_for(10 * kSec);
  Set(kError, true);
  uint64_t from = inst.now();
  inst.run_for(30 * kSec);
  auto green = Pulses(board.led_timeline(), kSsMask, kGreen, from, inst.now());
  auto red = Pulses(board.led_timeline(), kSsMask, kRed, from, inst.now());
  ASSERT_GE(green.size(), 2u);
  ASSERT_GE(red.size(), 2u);
  for (const Pulse& g : green) EXPECT_NEAR(double(g.off - g.on), 300000, 5000);
  // Red fills each gap between two green flashes.
  for (size_t i = 0; i + 1 < green.size(); i++) {
    bool filled = false;
    for (const Pulse& r : red) filled |= r.on == green[i].off && r.off == green[i + 1].on;
    EXPECT_TRUE(filled) << i;
  }
}

using Buttons = PowerBoard;

TEST_F(Buttons, StartNeeds1sStopNeeds3sAndBothNeed7s) {
  const struct {
    uint16_t buttons;
    uint64_t hold;
    const char* line;  // what the local UI says
    int modeAfter;
  } kPresses[] = {
      {kRec, 500000, "time limit 1000000 not reached for button: 0002", 0},
      {kRec, 1500000, "Start recording", 2},
      {kRec, 1500000, "time limit 3000000 not reached for button: 0002", 2},
      {kRec, 3500000, "Stop recording", 0},
      {kBoth, 6000000, "time limit 7000000 not reached for button: 0006", 0},
  };
  inst.boot();
  inst.run_for(10 * kSec);
  for (const auto& p : kPresses) {
    SCOPED_TRACE(p.line);
    inst.clear_console();
    Press(p.buttons, p.hold);
    inst.run_for(2 * kSec);
    EXPECT_EQ(Count(p.line), 1);
    EXPECT_EQ(board.stm32().mode(), p.modeAfter);
  }
  EXPECT_EQ(inst.boots(), 1);
}

TEST_F(Buttons, BothHeld7sResetToFactoryDefaultsAndReboot30sLater) {
  inst.boot();
  inst.run_for(10 * kSec);
  Press(kBoth, 7500000);
  inst.run_for(1 * kSec);
  EXPECT_EQ(Count("Both buttons pressed for more than 7 seconds; resetting to factory defaults"), 1);
  EXPECT_EQ(Count("isSystemRestoreToFactoryDefaultsActive: 1"), 1);
  EXPECT_EQ(inst.boots(), 1);
  inst.run_for(30 * kSec);
  EXPECT_EQ(inst.boots(), 2);
}

TEST_F(Buttons, TheIntervalButtonFirstWakesTheLEDsThenStepsThroughEveryIntervalAndWraps) {
  inst.boot();
  inst.run_for(20 * kSec);  // the LEDs are asleep
  Press(kInterval, 200000);
  inst.run_for(1 * kSec);
  EXPECT_EQ(Count("first press; only turned lights on"), 1);
  const char* const kSteps[] = {"60 -> 300", "300 -> 600", "600 -> 1800", "1800 -> 10",
                                "10 -> 30", "30 -> 60"};
  for (const char* step : kSteps) {
    SCOPED_TRACE(step);
    Press(kInterval, 200000);
    inst.run_for(1 * kSec);
    EXPECT_EQ(Count(std::string("setting interval ") + step), 1);
  }
}

TEST_F(Buttons, TheIntervalButtonChangesNothingWhileRecording) {
  inst.boot();
  inst.run_for(10 * kSec);
  Press(kRec, 1500000);
  inst.run_for(8 * kSec);
  Press(kInterval, 200000);
  inst.run_for(1 * kSec);
  EXPECT_EQ(Count("Interval button while recording and lights were on"), 1);
  EXPECT_EQ(CountStartingWith("setting interval"), 0);
}

}  // namespace
