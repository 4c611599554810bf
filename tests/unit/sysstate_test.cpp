// The system state flags: the setters, the battery-low ladder, the interval setting and the
// button press.
#include <string>
#include <vector>

#include "board_fixture.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

class Sysstate : public OnBoard {
 protected:
  static uint32_t flags() { return sysstateSystemState; }
};

// ---- The flag setters ---------------------------------------------------------------------------

using SysstateFlags = Sysstate;

// A battery level stands for the other flags, which every setter keeps.
TEST_F(SysstateFlags, EachSetterChangesOnlyItsBitAndLogsOnlyWhenTheWordChanges) {
  const struct {
    bool (*set)(bool);
    uint32_t flag;
    const char* name;  // as the log line shows it
  } kSetters[] = {
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
  inKernel([] { sysstate_setBatteryLowAlarmState(); });
  for (const auto& s : kSetters) {
    SCOPED_TRACE(s.name);
    inst.clear_console();
    std::vector<bool> changed;
    uint32_t setFlags = 0;
    inKernel([&] {
      changed = {s.set(false), s.set(true), s.set(true)};
      setFlags = flags();
      changed.push_back(s.set(false));
    });
    EXPECT_EQ(changed, (std::vector<bool>{false, true, false, true}));
    EXPECT_EQ(setFlags, s.flag | 0x400u);
    EXPECT_EQ(flags(), 0x400u);
    // The flags' own lines; BLE may react to a change with lines of its own.
    std::vector<std::string> own;
    for (const std::string& m : messages())
      if (m.rfind(s.name, 0) == 0) own.push_back(m);
    EXPECT_EQ(own,
              (std::vector<std::string>{std::string(s.name) + ": 1", std::string(s.name) + ": 0"}));
  }
}

TEST_F(SysstateFlags, InitClearsEveryFlagAndLogsItsEntryLine) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowCutoffState();
    sysstateSystemState_Init();
  });
  EXPECT_EQ(flags(), 0u);
  EXPECT_NE(inst.console().find("sysstate::sysstateSystemState_Init() @"), std::string::npos);
}

TEST_F(SysstateFlags, TheSessionFlagRecordsWhenItLastChangedAndNotWhenSetAgain) {
  const bool kOpen[] = {true, true, false};
  systimer_t at[3] = {};
  for (int i = 0; i < 3; i++) {
    inst.run_for(2000000);
    inKernel([&] {
      at[i] = os_systime64();
      sysstate_setWiFiSessionOpenState(kOpen[i]);
    });
    EXPECT_EQ(lastSessionStateChangeTime, at[i == 1 ? 0 : i]) << i;
  }
}

// ---- The battery-low ladder ---------------------------------------------------------------------

using SysstateBatteryLadder = Sysstate;

const struct {
  bool (*set)();
  uint32_t bits;
  const char* logText;
} kLevels[] = {
    {sysstate_setBatteryNOTLowState, 0x0, "All BATTERY_LOW states set as inactive"},
    {sysstate_setBatteryLowAlarmState, 0x400, "isBatteryLowAlarmActive: 1"},
    {sysstate_setBatteryLowPreventRecordingState, 0xC00, "isBatteryLowPreventRecordingActive: 1"},
    {sysstate_setBatteryLowStopRecordingState, 0x1C00, "isBatteryLowStopRecordingActive: 1"},
    {sysstate_setBatteryLowCutoffState, 0x3C00, "isBatteryLowCutoffActive: 1"},
};
const char kStoppingRecording[] = "(BLE-NQ) log: \"Battery low; stopping recording\"";

// USB power and powering down stand for the other flags, which the ladder keeps.
TEST_F(SysstateBatteryLadder, EachLevelSetsItsBitAndThoseBelowLoggingItsLineOnlyWhenReached) {
  inKernel([] {
    sysstate_setUSBPoweredState(true);
    sysstate_setPoweringDownState(true);
  });
  // Up the ladder and back down; the cut-off last, since leaving it reboots.
  for (int i : {1, 2, 3, 2, 1, 0, 3, 1, 4}) {
    SCOPED_TRACE(kLevels[i].logText);
    inst.clear_console();
    bool changed = false, changedAgain = true;
    inKernel([&] {
      changed = kLevels[i].set();
      changedAgain = kLevels[i].set();
    });
    EXPECT_TRUE(changed);
    EXPECT_FALSE(changedAgain);
    EXPECT_EQ(flags(), kLevels[i].bits | 0x100u | 0x8000u);
    std::vector<std::string> expected{kLevels[i].logText};
    if (i == 4) expected.push_back("disconnected from AP");  // the cut-off drops the station
    EXPECT_EQ(messages(), expected);
  }
}

TEST_F(SysstateBatteryLadder, ReachingTheCutoffGoesOnButLeavingItForAnyOtherLevelLogsItAndReboots) {
  for (int i : {0, 1, 2, 3}) {
    SCOPED_TRACE(kLevels[i].logText);
    int boots = inst.boots();
    EXPECT_TRUE(onFirmwareThread([] { sysstate_setBatteryLowCutoffState(); }));
    EXPECT_EQ(inst.boots(), boots);
    inst.clear_console();
    EXPECT_FALSE(onFirmwareThread([&] { kLevels[i].set(); }));
    EXPECT_EQ(inst.boots(), boots + 1);
    EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
    EXPECT_EQ(logged(kLevels[i].logText), 1);
  }
}

TEST_F(SysstateBatteryLadder, LeavingTheCutoffRebootsBeforeStoppingTheRecording) {
  inKernel([] {
    sysstate_setRecordingState(true);
    sysstate_setBatteryLowCutoffState();
  });
  inst.clear_console();
  EXPECT_FALSE(onFirmwareThread([] { sysstate_setBatteryLowStopRecordingState(); }));
  EXPECT_EQ(logged(kStoppingRecording), 0);
}

TEST_F(SysstateBatteryLadder, OnlyReachingStopRecordingOrTheCutoffWhileRecordingStopsItOnce) {
  const struct {
    bool recording;
    std::vector<int> levels;
    int stops;
  } kCases[] = {{true, {3, 3}, 1}, {false, {3}, 0}, {true, {1, 2}, 0}, {true, {4}, 1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.levels));
    inst.clear_console();
    inKernel([&] {
      sysstateSystemState_Init();
      sysstate_setRecordingState(c.recording);
      for (int i : c.levels) kLevels[i].set();
    });
    EXPECT_EQ(logged(kStoppingRecording), c.stops);
  }
}

// ---- Intervals ----------------------------------------------------------------------------------

using SysstateIntervals = Sysstate;

TEST_F(SysstateIntervals, SecondsConvertToTheirIntervalAndBackAnyOtherNumberBeingCustom) {
  const struct {
    uint32_t seconds;
    sysstate_interval_t interval;
    uint32_t back;
  } kCases[] = {
      {0, sysstate_interval_notSet, 0},     {10, sysstate_interval_10sec, 10},
      {30, sysstate_interval_30sec, 30},    {60, sysstate_interval_1min, 60},
      {300, sysstate_interval_5min, 300},   {600, sysstate_interval_10min, 600},
      {1, sysstate_interval_Custom, 1800},  {45, sysstate_interval_Custom, 1800},
      {59, sysstate_interval_Custom, 1800}, {0xFFFFFFFFu, sysstate_interval_Custom, 1800}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(sysstate_convertSecondsToInterval(c.seconds), c.interval);
    EXPECT_EQ(sysstate_convertIntervalToSeconds(c.interval), c.back);
  }
  EXPECT_EQ(sysstate_convertIntervalToSeconds(static_cast<sysstate_interval_t>(7)), 0u);
}

// Each sequence starts as after start-up: no interval, and a custom value of 30 minutes.
TEST_F(SysstateIntervals, ASettingIsAChangeWhenTheIntervalOrTheCustomValueDiffers) {
  const struct {
    std::vector<uint32_t> seconds;
    sysstate_interval_t interval;
    uint32_t custom;
    std::vector<uint32_t> logged;
  } kCases[] = {
      {{45, 45}, sysstate_interval_Custom, 45, {45}},
      {{60, 60}, sysstate_interval_1min, 1800, {60}},
      {{45, 50}, sysstate_interval_Custom, 50, {45, 50}},
      {{45, 300}, sysstate_interval_5min, 45, {45, 300}},
      {{45, 300, 45}, sysstate_interval_Custom, 45, {45, 300, 45}},
      {{0}, sysstate_interval_notSet, 1800, {}},
  };
  EXPECT_EQ(sysstate_intervalSetting, sysstate_interval_notSet);
  EXPECT_EQ(sysstate_intervalCustomValue, 1800u);
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.seconds));
    inst.clear_console();
    inKernel([&] {
      sysstate_intervalSetting = sysstate_interval_notSet;
      sysstate_intervalCustomValue = 1800;
      for (uint32_t s : c.seconds) sysstate_setIntervalSeconds(s);
    });
    EXPECT_EQ(sysstate_intervalSetting, c.interval);
    EXPECT_EQ(sysstate_intervalCustomValue, c.custom);
    std::vector<std::string> want;
    for (uint32_t n : c.logged) want.push_back("intervalSeconds: " + std::to_string(n));
    EXPECT_EQ(messages(), want);
  }
}

// ---- Button press -------------------------------------------------------------------------------

TEST_F(Sysstate, TheLastButtonPressIsZeroUntilAPressThenTheTimeOfTheLatest) {
  systimer_t seen[3] = {1, 0, 0}, pressed[2] = {0, 0};
  for (int i = 0; i < 2; i++) {
    inst.run_for(3000000);
    inKernel([&] {
      seen[i] = sysstate_lastButtonPress();
      pressed[i] = os_systime64();
      sysstate_buttonPressed();
      seen[i + 1] = sysstate_lastButtonPress();
    });
  }
  EXPECT_EQ(seen[0], 0u);
  EXPECT_EQ(seen[1], pressed[0]);
  EXPECT_EQ(seen[2], pressed[1]);
}

}  // namespace
