// The system state flags: the setters, the battery-low ladder, the interval setting and the
// button press.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

// The message part of every log line (what follows "<module>::<function>() @<line>: ").
std::vector<std::string> logMessages(const std::string& console) {
  std::vector<std::string> messages;
  std::istringstream lines(console);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find("() @");
    if (at == std::string::npos) continue;
    size_t colon = line.find(": ", at);
    if (colon == std::string::npos) continue;
    messages.push_back(line.substr(colon + 2));
  }
  return messages;
}

struct FirmwareCall {
  std::function<void()> fn;
  std::atomic<bool> finished{false};
};

void* firmwareCallEntry(void* arg) {
  auto* call = static_cast<FirmwareCall*>(arg);
  call->fn();
  call->finished = true;
  return nullptr;
}

class SysstateTest : public ::testing::Test {
 protected:
  SysstateTest() : inst_(options()) {}
  static camhost::Options options() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }
  void inKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst_.call(fn)); }
  // Runs fn on a firmware thread, the kind a reset ends; false when fn never came back.
  bool onFirmwareThread(const std::function<void()>& fn) {
    FirmwareCall call;
    call.fn = fn;
    inKernel([&] {
      ASSERT_NE(os_create_thread("fwcall", firmwareCallEntry, &call, 4, 16384), nullptr);
    });
    inst_.run_until([&] { return call.finished.load(); }, 10000000);
    return call.finished;
  }
  int logged(const std::string& message) const {
    int n = 0;
    for (const std::string& m : logMessages(inst_.console())) n += m == message;
    return n;
  }
  static uint32_t flags() { return sysstateSystemState; }
  static systimer_t lastSessionChange() { return lastSessionStateChangeTime; }
  static sysstate_interval_t interval() { return sysstate_intervalSetting; }
  static uint32_t customSeconds() { return sysstate_intervalCustomValue; }
  camhost::Instance inst_;
};

// ---- The flag setters ---------------------------------------------------------------------------

struct FlagSetter {
  bool (*set)(bool);
  uint32_t flag;
  const char* name;  // as the log line shows it
};

const FlagSetter kSetters[] = {
    {sysstate_setRecordingState, 0x2, "isRecordingActive"},
    {sysstate_setErrorState, 0x4, "isErrorActive"},
    {sysstate_setSystemRestoreToFactoryDefaultsState, 0x8,
     "isSystemRestoreToFactoryDefaultsActive"},
    {sysstate_setWiFiConnectedToAPState, 0x10, "isWiFiConnectedToAPActive"},
    {sysstate_setWiFiSessionOpenState, 0x20, "sessionIsOpen"},
    {sysstate_setTCPConnectionOpenState, 0x40, "isTCPConnectionOpenActive"},
    {sysstate_setBLEConnectionOpenState, 0x80, "isBLEConnectionOpenActive"},
    {sysstate_setUSBPoweredState, 0x100, "isUSBPoweredActive"},
    {sysstate_setWiFiEnabledState, 0x4000, "isWiFiEnabledActive"},
    {sysstate_setPoweringDownState, 0x8000, "isPoweringDownActive"},
};

using SysstateFlags = SysstateTest;

TEST_F(SysstateFlags, EachSetterSetsAndClearsOnlyItsOwnBit) {
  for (const FlagSetter& s : kSetters) {
    SCOPED_TRACE(s.name);
    inKernel([&] { s.set(true); });
    EXPECT_EQ(flags(), s.flag);
    inKernel([&] { s.set(false); });
    EXPECT_EQ(flags(), 0u);
  }
}

TEST_F(SysstateFlags, EachSetterLogsTheNewValueWhenTheFlagChanges) {
  for (const FlagSetter& s : kSetters) {
    SCOPED_TRACE(s.name);
    inKernel([&] { s.set(true); });
    EXPECT_EQ(logged(std::string(s.name) + ": 1"), 1);
    inKernel([&] { s.set(false); });
    EXPECT_EQ(logged(std::string(s.name) + ": 0"), 1);
  }
}

TEST_F(SysstateFlags, SettingAFlagToItsCurrentValueLogsNothingAndReportsNoChange) {
  for (const FlagSetter& s : kSetters) {
    SCOPED_TRACE(s.name);
    bool changedWhenAlreadyClear = true, changedFirst = false, changedAgain = true;
    inKernel([&] {
      changedWhenAlreadyClear = s.set(false);
      changedFirst = s.set(true);
      changedAgain = s.set(true);
    });
    EXPECT_FALSE(changedWhenAlreadyClear);
    EXPECT_TRUE(changedFirst);
    EXPECT_FALSE(changedAgain);
    EXPECT_EQ(logged(std::string(s.name) + ": 0"), 0);
    EXPECT_EQ(logged(std::string(s.name) + ": 1"), 1);
    inKernel([&] { s.set(false); });
  }
}

TEST_F(SysstateFlags, SettersKeepTheOtherFlags) {
  inKernel([] {
    sysstate_setUSBPoweredState(true);
    sysstate_setBatteryLowAlarmState();
    sysstate_setRecordingState(true);
    sysstate_setWiFiEnabledState(true);
    sysstate_setUSBPoweredState(false);
  });
  EXPECT_EQ(flags(), 0x2u | 0x400u | 0x4000u);
}

TEST_F(SysstateFlags, InitClearsEveryFlagAndLogsItsEntryLine) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowCutoffState();
    sysstateSystemState_Init();
  });
  EXPECT_EQ(flags(), 0u);
  EXPECT_NE(inst_.console().find("sysstate::sysstateSystemState_Init() @"), std::string::npos);
}

TEST_F(SysstateFlags, ASessionStateChangeRecordsWhenItHappened) {
  inst_.run_for(7000000);
  systimer_t opened = 0, closed = 0;
  inKernel([&] {
    opened = os_systime64();
    sysstate_setWiFiSessionOpenState(true);
  });
  EXPECT_EQ(lastSessionChange(), opened);
  inst_.run_for(2000000);
  inKernel([&] {
    closed = os_systime64();
    sysstate_setWiFiSessionOpenState(false);
  });
  EXPECT_EQ(lastSessionChange(), closed);
  EXPECT_GT(closed, opened);
}

TEST_F(SysstateFlags, ASessionStateThatDoesNotChangeKeepsTheTimeOfTheLastChange) {
  systimer_t opened = 0;
  inKernel([&] {
    opened = os_systime64();
    sysstate_setWiFiSessionOpenState(true);
  });
  inst_.run_for(2000000);
  inKernel([] { sysstate_setWiFiSessionOpenState(true); });
  EXPECT_EQ(lastSessionChange(), opened);
}

// ---- The battery-low ladder ---------------------------------------------------------------------

using SysstateBatteryLadder = SysstateTest;

struct LadderLevel {
  bool (*set)();
  uint32_t bits;
  const char* logText;
};

const LadderLevel kLevels[] = {
    {sysstate_setBatteryNOTLowState, 0x0, "All BATTERY_LOW states set as inactive"},
    {sysstate_setBatteryLowAlarmState, 0x400, "isBatteryLowAlarmActive: 1"},
    {sysstate_setBatteryLowPreventRecordingState, 0xC00, "isBatteryLowPreventRecordingActive: 1"},
    {sysstate_setBatteryLowStopRecordingState, 0x1C00, "isBatteryLowStopRecordingActive: 1"},
    {sysstate_setBatteryLowCutoffState, 0x3C00, "isBatteryLowCutoffActive: 1"},
};

TEST_F(SysstateBatteryLadder, EachLevelSetsItsBitAndEveryBitBelowIt) {
  // Up the ladder and back down to the alarm; the cut-off is left out, since leaving it reboots.
  const int order[] = {1, 2, 3, 2, 1, 0, 3, 1};
  for (int i : order) {
    SCOPED_TRACE(kLevels[i].logText);
    bool changed = false;
    inKernel([&] { changed = kLevels[i].set(); });
    EXPECT_TRUE(changed);
    EXPECT_EQ(flags(), kLevels[i].bits);
  }
}

TEST_F(SysstateBatteryLadder, EachLevelLogsItsLineWhenReached) {
  for (int i : {1, 2, 3, 4}) {
    SCOPED_TRACE(kLevels[i].logText);
    inKernel([&] { kLevels[i].set(); });
    EXPECT_EQ(logged(kLevels[i].logText), 1);
  }
}

TEST_F(SysstateBatteryLadder, ReturningToNotLowLogsThatEveryLevelIsInactive) {
  inKernel([] {
    sysstate_setBatteryLowStopRecordingState();
    sysstate_setBatteryNOTLowState();
  });
  EXPECT_EQ(logged("All BATTERY_LOW states set as inactive"), 1);
  EXPECT_EQ(flags(), 0u);
}

TEST_F(SysstateBatteryLadder, StayingOnALevelLogsNothingAndReportsNoChange) {
  for (int i : {0, 1, 2, 3, 4}) {
    SCOPED_TRACE(kLevels[i].logText);
    bool changedAgain = true;
    inKernel([&] {
      kLevels[i].set();
      inst_.clear_console();
      changedAgain = kLevels[i].set();
    });
    EXPECT_FALSE(changedAgain);
    EXPECT_TRUE(logMessages(inst_.console()).empty());
  }
}

TEST_F(SysstateBatteryLadder, TheLadderKeepsTheFlagsThatAreNotBatteryLevels) {
  inKernel([] {
    sysstate_setUSBPoweredState(true);
    sysstate_setPoweringDownState(true);
    sysstate_setBatteryLowStopRecordingState();
  });
  EXPECT_EQ(flags(), 0x100u | 0x8000u | 0x1C00u);
  inKernel([] { sysstate_setBatteryNOTLowState(); });
  EXPECT_EQ(flags(), 0x100u | 0x8000u);
}

TEST_F(SysstateBatteryLadder, ReachingTheCutoffDoesNotReboot) {
  int boots = inst_.boots();
  EXPECT_TRUE(onFirmwareThread([] { sysstate_setBatteryLowCutoffState(); }));
  EXPECT_EQ(inst_.boots(), boots);
  EXPECT_EQ(flags(), 0x3C00u);
}

TEST_F(SysstateBatteryLadder, GoingFromCutoffBackToNotLowReboots) {
  inKernel([] { sysstate_setBatteryLowCutoffState(); });
  int boots = inst_.boots();
  EXPECT_FALSE(onFirmwareThread([] { sysstate_setBatteryNOTLowState(); }));
  EXPECT_EQ(inst_.boots(), boots + 1);
  EXPECT_EQ(inst_.reset_reason(), OS_RESET_SOFTWARE);
}

TEST_F(SysstateBatteryLadder, GoingFromCutoffToAnyOtherLevelReboots) {
  for (int i : {1, 2, 3}) {
    SCOPED_TRACE(kLevels[i].logText);
    inKernel([] { sysstate_setBatteryLowCutoffState(); });
    int boots = inst_.boots();
    EXPECT_FALSE(onFirmwareThread([&] { kLevels[i].set(); }));
    EXPECT_EQ(inst_.boots(), boots + 1);
    EXPECT_EQ(inst_.reset_reason(), OS_RESET_SOFTWARE);
  }
}

TEST_F(SysstateBatteryLadder, LeavingTheCutoffLogsTheNewLevelBeforeRebooting) {
  inKernel([] { sysstate_setBatteryLowCutoffState(); });
  EXPECT_FALSE(onFirmwareThread([] { sysstate_setBatteryNOTLowState(); }));
  EXPECT_EQ(logged("All BATTERY_LOW states set as inactive"), 1);
}

TEST_F(SysstateBatteryLadder, LeavingTheCutoffRebootsBeforeStoppingTheRecording) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowCutoffState();
  });
  inst_.clear_console();
  EXPECT_FALSE(onFirmwareThread([] { sysstate_setBatteryLowStopRecordingState(); }));
  EXPECT_EQ(logged("(BLE-NQ) log: \"Battery low; stopping recording\""), 0);
}

const char kStoppingRecording[] = "(BLE-NQ) log: \"Battery low; stopping recording\"";

TEST_F(SysstateBatteryLadder, ReachingStopRecordingWhileRecordingStopsTheRecordingOnce) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowStopRecordingState();
    sysstate_setBatteryLowStopRecordingState();
  });
  EXPECT_EQ(logged(kStoppingRecording), 1);
}

TEST_F(SysstateBatteryLadder, ReachingStopRecordingWhileNotRecordingStopsNothing) {
  inKernel([] { sysstate_setBatteryLowStopRecordingState(); });
  EXPECT_EQ(logged(kStoppingRecording), 0);
}

TEST_F(SysstateBatteryLadder, LowerLevelsLetTheRecordingGoOn) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowAlarmState();
    sysstate_setBatteryLowPreventRecordingState();
  });
  EXPECT_EQ(logged(kStoppingRecording), 0);
}

TEST_F(SysstateBatteryLadder, ReachingTheCutoffWhileRecordingStopsTheRecording) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowCutoffState();
  });
  EXPECT_EQ(logged(kStoppingRecording), 1);
}

// ---- Intervals ----------------------------------------------------------------------------------

using SysstateIntervals = SysstateTest;

TEST_F(SysstateIntervals, TheStandardIntervalsConvertBothWays) {
  const struct {
    uint32_t seconds;
    sysstate_interval_t interval;
  } kStandard[] = {{10, sysstate_interval_10sec},
                   {30, sysstate_interval_30sec},
                   {60, sysstate_interval_1min},
                   {300, sysstate_interval_5min},
                   {600, sysstate_interval_10min}};
  for (const auto& c : kStandard) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(sysstate_convertSecondsToInterval(c.seconds), c.interval);
    EXPECT_EQ(sysstate_convertIntervalToSeconds(c.interval), c.seconds);
  }
}

TEST_F(SysstateIntervals, ZeroSecondsMeansNotSet) {
  EXPECT_EQ(sysstate_convertSecondsToInterval(0), sysstate_interval_notSet);
  EXPECT_EQ(sysstate_convertIntervalToSeconds(sysstate_interval_notSet), 0u);
}

TEST_F(SysstateIntervals, AnyOtherNumberOfSecondsIsCustom) {
  EXPECT_EQ(sysstate_convertSecondsToInterval(45), sysstate_interval_Custom);
  EXPECT_EQ(sysstate_convertSecondsToInterval(1), sysstate_interval_Custom);
  EXPECT_EQ(sysstate_convertSecondsToInterval(59), sysstate_interval_Custom);
  EXPECT_EQ(sysstate_convertSecondsToInterval(0xFFFFFFFFu), sysstate_interval_Custom);
}

TEST_F(SysstateIntervals, TheCustomIntervalIsThirtyMinutesUntilSet) {
  EXPECT_EQ(interval(), sysstate_interval_notSet);
  EXPECT_EQ(sysstate_convertIntervalToSeconds(sysstate_interval_Custom), 1800u);
}

TEST_F(SysstateIntervals, AnUnknownIntervalIsZeroSeconds) {
  EXPECT_EQ(sysstate_convertIntervalToSeconds(static_cast<sysstate_interval_t>(7)), 0u);
}

TEST_F(SysstateIntervals, SettingACustomIntervalTwiceChangesOnlyTheFirstTime) {
  inKernel([] {
    sysstate_setIntervalSeconds(45);
    sysstate_setIntervalSeconds(45);
  });
  EXPECT_EQ(logged("intervalSeconds: 45"), 1);
  EXPECT_EQ(interval(), sysstate_interval_Custom);
  EXPECT_EQ(customSeconds(), 45u);
  EXPECT_EQ(sysstate_convertIntervalToSeconds(sysstate_interval_Custom), 45u);
}

TEST_F(SysstateIntervals, SettingAStandardIntervalTwiceChangesOnlyTheFirstTime) {
  inKernel([] {
    sysstate_setIntervalSeconds(60);
    sysstate_setIntervalSeconds(60);
  });
  EXPECT_EQ(logged("intervalSeconds: 60"), 1);
  EXPECT_EQ(interval(), sysstate_interval_1min);
}

TEST_F(SysstateIntervals, OneCustomValueReplacingAnotherIsAChange) {
  inKernel([] {
    sysstate_setIntervalSeconds(45);
    sysstate_setIntervalSeconds(50);
  });
  EXPECT_EQ(logged("intervalSeconds: 50"), 1);
  EXPECT_EQ(customSeconds(), 50u);
}

TEST_F(SysstateIntervals, AStandardIntervalKeepsTheLastCustomValue) {
  inKernel([] {
    sysstate_setIntervalSeconds(45);
    sysstate_setIntervalSeconds(300);
  });
  EXPECT_EQ(interval(), sysstate_interval_5min);
  EXPECT_EQ(customSeconds(), 45u);
}

TEST_F(SysstateIntervals, ReturningToTheSameCustomValueFromAStandardIntervalIsAChange) {
  inKernel([] {
    sysstate_setIntervalSeconds(45);
    sysstate_setIntervalSeconds(300);
    sysstate_setIntervalSeconds(45);
  });
  EXPECT_EQ(logged("intervalSeconds: 45"), 2);
  EXPECT_EQ(interval(), sysstate_interval_Custom);
}

TEST_F(SysstateIntervals, SettingZeroBeforeAnyIntervalChangesNothing) {
  inKernel([] { sysstate_setIntervalSeconds(0); });
  EXPECT_EQ(logged("intervalSeconds: 0"), 0);
  EXPECT_EQ(interval(), sysstate_interval_notSet);
}

TEST_F(SysstateIntervals, SettingAnIntervalLeavesTheFlagsAlone) {
  inKernel([] { sysstate_setIntervalSeconds(45); });
  EXPECT_EQ(flags(), 0u);
}

// ---- Button press -------------------------------------------------------------------------------

using SysstateButton = SysstateTest;

TEST_F(SysstateButton, NoButtonPressIsKnownAtFirst) {
  systimer_t last = 1;
  inst_.run_for(3000000);
  inKernel([&] { last = sysstate_lastButtonPress(); });
  EXPECT_EQ(last, 0u);
}

TEST_F(SysstateButton, APressRecordsItsTime) {
  inst_.run_for(3000000);
  systimer_t pressed = 0, last = 0;
  inKernel([&] {
    pressed = os_systime64();
    sysstate_buttonPressed();
  });
  inst_.run_for(5000000);
  inKernel([&] { last = sysstate_lastButtonPress(); });
  EXPECT_EQ(last, pressed);
  EXPECT_GT(pressed, 0u);
}

TEST_F(SysstateButton, ALaterPressReplacesTheEarlierOne) {
  systimer_t second = 0, last = 0;
  inKernel([] { sysstate_buttonPressed(); });
  inst_.run_for(4000000);
  inKernel([&] {
    second = os_systime64();
    sysstate_buttonPressed();
    last = sysstate_lastButtonPress();
  });
  EXPECT_EQ(last, second);
}

}  // namespace
