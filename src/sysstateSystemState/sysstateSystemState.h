// The system state flags: what the camera is doing and which links are up. Any module reads the
// word directly; each flag changes only through its setter, which logs the change and pokes the
// modules that react to it. Also the recording interval setting and the last button press.
#ifndef SYSSTATE_SYSTEM_STATE_H
#define SYSSTATE_SYSTEM_STATE_H

#include <stdint.h>

#include "os.h"

enum sysstateSystemState_t : uint32_t {
  // 0x1 is not assigned.
  sysstate_Recording = 0x2,
  sysstate_Error = 0x4,
  sysstate_SystemRestoreToFactoryDefaults = 0x8,
  sysstate_WiFiConnectedToAP = 0x10,
  sysstate_WiFiSessionIsOpen = 0x20,
  sysstate_TCPConnectionIsOpen = 0x40,
  sysstate_BLEConnectionIsOpen = 0x80,
  sysstate_USBPowered = 0x100,
  sysstate_LWIPInitialized = 0x200,
  sysstate_BatteryLowAlarm = 0x400,
  sysstate_BatteryLowPreventRecording = 0x800,
  sysstate_BatteryLowStopRecording = 0x1000,
  sysstate_BatteryLowCutoff = 0x2000,
  sysstate_WiFiEnabled = 0x4000,
  sysstate_PoweringDown = 0x8000,
};

// The battery thread's levels; also sent to the STM32 with the battery information.
enum lowBatteryValues : uint8_t {
  lowBattery_NORMAL = 0,
  lowBattery_ALARM = 1,
  lowBattery_PREVENT_START_RECORDING = 2,
  lowBattery_STOP_RECORDING = 3,
  lowBattery_CUTOFF = 4,
};

enum sysstate_interval_t : uint32_t {
  sysstate_interval_notSet = 0,
  sysstate_interval_10sec = 1,
  sysstate_interval_30sec = 2,
  sysstate_interval_1min = 3,
  sysstate_interval_5min = 4,
  sysstate_interval_10min = 5,
  sysstate_interval_Custom = 6,
};

// The flags (sysstateSystemState_t bits); read freely, change only through the setters below.
extern volatile uint32_t sysstateSystemState;
extern volatile sysstate_interval_t sysstate_intervalSetting;
extern volatile uint32_t sysstate_intervalCustomValue;  // seconds, for sysstate_interval_Custom
// When the session-open flag last changed.
extern volatile systimer_t lastSessionStateChangeTime;

// Logs the entry line and clears the flags.
void sysstateSystemState_Init(void);

// Each sets or clears its flag; when the word changed, logs the new value and runs the flag's
// reactions. True when the word changed.
bool sysstate_setRecordingState(bool isRecordingActive);
bool sysstate_setErrorState(bool isErrorActive);
bool sysstate_setSystemRestoreToFactoryDefaultsState(bool isSystemRestoreToFactoryDefaultsActive);
bool sysstate_setWiFiConnectedToAPState(bool isWiFiConnectedToAPActive);
bool sysstate_setWiFiSessionOpenState(bool sessionIsOpen);
bool sysstate_setTCPConnectionOpenState(bool isTCPConnectionOpenActive);
bool sysstate_setBLEConnectionOpenState(bool isBLEConnectionOpenActive);
bool sysstate_setUSBPoweredState(bool isUSBPoweredActive);
bool sysstate_setWiFiEnabledState(bool isWiFiEnabledActive);
bool sysstate_setPoweringDownState(bool isPoweringDownActive);

// The battery-low ladder: each level includes the ones below it. True when the word changed.
// Leaving the cut-off level reboots the module.
bool sysstate_setBatteryLowAlarmState(void);
bool sysstate_setBatteryLowPreventRecordingState(void);
bool sysstate_setBatteryLowStopRecordingState(void);
bool sysstate_setBatteryLowCutoffState(void);
bool sysstate_setBatteryNOTLowState(void);

void sysstate_setIntervalSeconds(uint32_t intervalSeconds);
uint32_t sysstate_convertIntervalToSeconds(sysstate_interval_t interval);
sysstate_interval_t sysstate_convertSecondsToInterval(uint32_t intervalSeconds);

// A button of the local UI was pressed: wakes the LEDs, the battery back-off and BLE advertising.
void sysstate_buttonPressed(void);
// When a button was last pressed; 0 before the first press.
systimer_t sysstate_lastButtonPress(void);

#endif  // SYSSTATE_SYSTEM_STATE_H
