// The fuel gauges end to end: discovery and initialisation through the multiplexer, the fault
// hooks, the read schedule, the thermal latch, and a battery run down to the cut-off and back.
#include <cmath>

#include "power_fixture.h"

namespace {

using Battery = PowerBoard;

TEST_F(Battery, TheGaugeIsInitialisedAtTheFirstBootAndNotAgainAfterAModuleReset) {
  inst.boot();
  inst.run_for(5 * kSec);
  EXPECT_EQ(Count("RT9426 Initial Successful"), 1);
  EXPECT_EQ(batteries().gauge(0).ocv_writes(), 1);
  EXPECT_EQ(batteries().gauge(0).seals(), 1);
  inst.clear_console();
  inst.reset(OS_RESET_WATCHDOG);
  inst.run_for(5 * kSec);
  EXPECT_EQ(Count("No Need to Reinitil RT9426A"), 1);
  EXPECT_EQ(Count("RT9426A Initial Flow"), 1);
  EXPECT_EQ(batteries().gauge(0).ocv_writes(), 1);
}

TEST(BatteryPacks, ThePacksCellsAreFoundThroughTheMultiplexerAndReportedToTheStm32) {
  for (int cells = 0; cells <= 3; cells++) {
    SCOPED_TRACE(cells);
    camhost::Instance inst{FirmwareOptions()};
    sim::Board board;
    for (int id = 1; id <= cells; id++) board.batteries().plug(id, 50 + id);
    board.set_usb_power(true);  // the pack sits in the USB socket (or, without cells, a charger)
    inst.boot();
    inst.run_for(10 * kSec);
    std::string c = inst.console();
    EXPECT_NE(c.find("Found " + std::to_string(1 + cells) + " batteries"), std::string::npos);
    EXPECT_EQ(c.find("No external power pack") != std::string::npos, cells == 0);
    auto info = board.stm32().last_battery_info();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->usb_powered, cells == 0 ? 1 : 0);
    for (int id = 0; id < 4; id++) {
      EXPECT_EQ(info->batteries[id].active, id <= cells ? 1 : 0) << id;
      if (id >= 1 && id <= cells) {
        EXPECT_EQ(info->batteries[id].state_of_charge, 50 + id);
      }
    }
  }
}

TEST(BatteryGaugeFaults, EachGaugeFaultFailsTheInitialisationAndTheGaugeRecoversOnceItIsGone) {
  const struct {
    sim::GaugeFault fault;
    int count;
    const char* line;  // what the module says about it
  } kFaults[] = {
      {sim::GaugeFault::kNack, 4, "RT9426 Initial Successful"},  // within the retries
      {sim::GaugeFault::kNeverReady, -1, "RT9426_Check_RDY_Fail"},
      {sim::GaugeFault::kStuckBusy, -1, "RT9426A Sent Total Checksum Command Fail"},
      {sim::GaugeFault::kBadChecksum, -1, "Write Extend Register Fail"},
      {sim::GaugeFault::kSealFails, -1, "RT9426A Seal Fail"},
  };
  for (const auto& f : kFaults) {
    SCOPED_TRACE(f.line);
    camhost::Instance inst{FirmwareOptions()};
    sim::Board board;
    board.batteries().gauge(0).set_fault(f.fault, f.count);
    inst.boot();
    inst.run_for(60 * kSec);
    std::string c = inst.console();
    EXPECT_NE(c.find(f.line), std::string::npos);
    bool transient = f.count > 0;
    EXPECT_EQ(c.find("Interal Battery Fuel gauge initialization failed") == std::string::npos,
              transient);
    board.batteries().gauge(0).set_fault(sim::GaugeFault::kNone);
    board.batteries().set_soc(0, 55);  // a new charge: reported at once
    board.set_buttons(kInterval);     // a press has the gauges read now
    inst.run_for(200000);
    board.set_buttons(0);
    inst.run_for(10 * kSec);
    auto info = board.stm32().last_battery_info();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->batteries[0].active, 1);
    EXPECT_EQ(info->batteries[0].state_of_charge, 55);
  }
}

TEST_F(Battery, ReadsBackOffBy10PercentWhileTheChargeHoldsUpTo10MinutesAnd1MinuteAfterAChange) {
  batteries().set_load(0, 0);  // nothing drains the battery
  inst.boot();
  inst.run_for(3 * 3600 * kSec);
  std::vector<uint64_t> reads;
  std::vector<unsigned> intervals;
  for (const Message& m : Messages(inst.console())) {
    unsigned s = 0;
    if (sscanf(m.text.c_str(), "(Internal) SOC unchanged; increased interval to %us", &s) == 1) {
      reads.push_back(m.time);
      intervals.push_back(s);
    }
  }
  std::vector<unsigned> expected;
  double interval = 60000000;
  while (expected.size() < intervals.size()) {
    interval = std::min(600000000.0, std::floor(interval * 1.1));
    expected.push_back(static_cast<unsigned>(interval / 1000000));
  }
  ASSERT_GT(intervals.size(), 20u);
  EXPECT_EQ(intervals, expected);
  EXPECT_EQ(intervals.back(), 600u);
  // Each read comes when the interval before it said.
  for (size_t i = 1; i < reads.size(); i++)
    EXPECT_NEAR(double(reads[i] - reads[i - 1]) / kSec, double(intervals[i - 1]), 1.0);

  inst.clear_console();
  batteries().set_soc(0, 42);
  inst.run_for(601 * kSec);
  EXPECT_EQ(CountStartingWith("(BLE-NQ) log: \"(Internal) SOC changed at interval 600s\""), 1);
  inst.run_for(61 * kSec);
  EXPECT_EQ(Count("(Internal) SOC unchanged; increased interval to 66s"), 1);
}

TEST_F(Battery, TheThermalLatchStopsChargingAtItsTwoLimitsAndReleasesOnlyBelowTheThird) {
  const struct {
    uint16_t temp_dk;  // 0.1 K
    bool charging;     // what the module then allows
  } kSteps[] = {
      {2982, true},   // 25 °C
      {3213, false},  // 48.15 °C: too hot, charging or not
      {3182, false},  // latched
      {3162, false},  // still latched: not yet below 43.05 °C
      {3161, true},   // released
      {3183, false},  // 45.15 °C while charging
      {3161, true},
  };
  board.set_usb_power(true);
  inst.boot();
  inst.run_for(10 * kSec);
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.temp_dk);
    batteries().set_temperature(0, s.temp_dk);
    Press(kInterval, 200000);  // the gauges are read at once
    inst.run_for(5 * kSec);
    EXPECT_EQ(board.charge_enabled(), s.charging);
  }
}

TEST_F(Battery, StartingToRecordIsRefusedOnceTheBatteryIsTooLow) {
  batteries().set_load(0, 0);
  batteries().set_voltage(0, 3450);
  inst.boot();
  inst.run_for(10 * kSec);
  Press(kRec, 1500000);
  inst.run_for(2 * kSec);
  EXPECT_EQ(Count("isBatteryLowPreventRecordingActive: 1"), 1);
  EXPECT_EQ(Count("(BLE-NQ) log: \"Battery low; cannot start time lapse\""), 1);
  EXPECT_EQ(board.stm32().mode(), 0);
}

TEST_F(Battery, ARecordingCameraRunsDownFromFullThroughTheWholeLadderToTheCutoff) {
  batteries().set_load(150, 900);
  batteries().set_soc(0, 100);
  inst.boot();
  inst.run_for(20 * kSec);
  Press(kRec, 1500000);
  ASSERT_TRUE(inst.run_until([&] { return Count("CUTOFF; exiting thread") > 0; },
                             4 * 3600 * kSec, 10 * kSec));
  EXPECT_EQ(Count("scaled internal SOC: 100 -> 100"), 0);  // 100 needs no scaling line
  EXPECT_GE(CountStartingWith("scaled internal SOC: 9"), 1);
  const char* const kOrder[] = {
      "isRecordingActive: 1",
      "isBatteryLowAlarmActive: 1",
      "isBatteryLowPreventRecordingActive: 1",
      "isBatteryLowStopRecordingActive: 1",
      "(BLE-NQ) log: \"Battery low; stopping recording\"",
      "isRecordingActive: 0",
      "isBatteryLowCutoffActive: 1",
      "CUTOFF; exiting thread",
  };
  uint64_t at = 0;
  for (const char* m : kOrder) {
    uint64_t t = TimeOf(m, at);
    EXPECT_NE(t, ~uint64_t(0)) << m;
    at = t;
  }
  EXPECT_EQ(board.stm32().mode(), 0);
  EXPECT_EQ(board.leds(), 0);
  EXPECT_EQ(inst.suspend_count(), 0);  // deep sleep on, and the cut-off owns the switch
  auto info = board.stm32().last_battery_info();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->low_battery, 4);

  // The gauges are read only every 10 minutes from now on.
  uint64_t cutoff = TimeOf("isBatteryLowCutoffActive: 1");
  inst.run_for(1300 * kSec);
  std::vector<uint64_t> reads;
  for (const Message& m : Messages(inst.console()))
    if (m.time > cutoff && m.text.find("(Internal) SOC") != std::string::npos) reads.push_back(m.time);
  ASSERT_GE(reads.size(), 2u);
  EXPECT_GE(reads[0] - cutoff, 600 * kSec);
  EXPECT_GE(reads[1] - reads[0], 600 * kSec);
}

class BatteryCutoff : public PowerBoard {
 protected:
  void SetUp() override {
    PowerBoard::SetUp();
    batteries().set_load(0, 0);
    batteries().set_voltage(0, 3150);
    inst.boot();
    ASSERT_TRUE(inst.run_until([&] { return Count("CUTOFF; exiting thread") > 0; }, 60 * kSec));
    inst.run_for(5 * kSec);
    inst.clear_console();
    start = inst.now();
  }
  uint64_t start = 0;
};

TEST_F(BatteryCutoff, USBPowerEndsTheCutoffWithAReboot) {
  board.set_usb_power(true);
  inst.run_for(5 * kSec);
  EXPECT_EQ(Count("All BATTERY_LOW states set as inactive"), 1);
  EXPECT_EQ(inst.boots(), 2);
  EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
}

TEST_F(BatteryCutoff, ABatteryThatRecoversEndsTheCutoffWithARebootAtTheNextRead) {
  batteries().set_voltage(0, 3700);
  inst.run_for(601 * kSec);
  EXPECT_EQ(inst.boots(), 2);
}

TEST_F(BatteryCutoff, AFailedGaugeReadKeepsTheCutoffInsteadOfRebooting) {
  batteries().gauge(0).set_fault(sim::GaugeFault::kNack, 40);
  Press(kInterval, 200000);  // reads the gauges now
  inst.run_for(10 * kSec);
  EXPECT_EQ(Count("(Internal) Couldn't read REG_FLAG3"), 1);
  EXPECT_EQ(Count("All BATTERY_LOW states set as inactive"), 0);
  EXPECT_EQ(inst.boots(), 1);
}

TEST_F(BatteryCutoff, APressOnlyFlashesTheRedLED) {
  Press(kRec, 1500000);
  inst.run_for(2 * kSec);
  auto flashes = Pulses(board.led_timeline(), 0x7ED8, kRed, start, inst.now());
  ASSERT_EQ(flashes.size(), 1u);
  EXPECT_NEAR(double(flashes[0].off - flashes[0].on), 50000, 2000);
  EXPECT_EQ(CountStartingWith("debouncing button"), 0);
  EXPECT_EQ(board.stm32().mode(), 0);
}

TEST_F(Battery, AGlitchReadingOf173PercentIsReportedAs100NotAsALowCharge) {
  batteries().gauge(0).set_soc_override(173);
  inst.boot();
  inst.run_for(10 * kSec);
  EXPECT_EQ(Count("scaled internal SOC: 173 -> 100"), 1);
  auto info = board.stm32().last_battery_info();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->batteries[0].state_of_charge, 100);
}

}  // namespace
