#include "sysstateSystemState/sysstateSystemState.h"

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "dsDeepSleep/dsDeepSleep.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "semtmoSemaphoreTimeoutWorker/semtmoSemaphoreTimeoutWorker.h"
#include "tcsl1TCPCameraServerLayer1/rfwcRootFileWriteChunk/rfwcRootFileWriteChunk.h"
#include "ucsl2UDPCameraServerLayer2/KeepAlive/csKeepAlive.h"
#include "wifiWiFi/wifiWiFi.h"

// The battery ladder owns these four bits together.
#define SYSSTATE_BATTERY_LOW_BITS                                                \
  ((uint32_t)(sysstate_BatteryLowAlarm | sysstate_BatteryLowPreventRecording | \
              sysstate_BatteryLowStopRecording | sysstate_BatteryLowCutoff))

#define SYSSTATE_INTERVAL_CUSTOM_DEFAULT_SECONDS 1800u

volatile uint32_t sysstateSystemState;
volatile sysstate_interval_t sysstate_intervalSetting = sysstate_interval_notSet;
volatile uint32_t sysstate_intervalCustomValue = SYSSTATE_INTERVAL_CUSTOM_DEFAULT_SECONDS;
volatile systimer_t lastSessionStateChangeTime;

static systimer_t sysstateLastButtonPress;

void sysstateSystemState_Init(void) {
  DBGLOG_ENTRY();
  uint32_t s = os_irq_disable();
  sysstateSystemState = 0;
  os_irq_restore(s);
}

// Sets or clears `mask` in the flags; true when the word changed. Threads and interrupt handlers
// change the word, so the read-modify-write happens with interrupts masked.
static bool changeFlags(uint32_t mask, bool set) {
  uint32_t s = os_irq_disable();
  uint32_t oldState = sysstateSystemState;
  uint32_t newState = set ? (oldState | mask) : (oldState & ~mask);
  sysstateSystemState = newState;
  os_irq_restore(s);
  return newState != oldState;
}

bool sysstate_setRecordingState(bool isRecordingActive) {
  if (!changeFlags(sysstate_Recording, isRecordingActive)) return false;
  DBGLOG("isRecordingActive: %d\n", isRecordingActive);
  i2cledmgrWakeup();
  if (!isRecordingActive) ginfQueueSTClockUpdate();
  return true;
}

bool sysstate_setErrorState(bool isErrorActive) {
  if (!changeFlags(sysstate_Error, isErrorActive)) return false;
  DBGLOG("isErrorActive: %d\n", isErrorActive);
  i2cledmgrWakeup();
  return true;
}

bool sysstate_setSystemRestoreToFactoryDefaultsState(bool isSystemRestoreToFactoryDefaultsActive) {
  if (!changeFlags(sysstate_SystemRestoreToFactoryDefaults,
                   isSystemRestoreToFactoryDefaultsActive)) {
    return false;
  }
  DBGLOG("isSystemRestoreToFactoryDefaultsActive: %d\n", isSystemRestoreToFactoryDefaultsActive);
  i2cledmgrWakeup();
  return true;
}

bool sysstate_setWiFiConnectedToAPState(bool isWiFiConnectedToAPActive) {
  if (!changeFlags(sysstate_WiFiConnectedToAP, isWiFiConnectedToAPActive)) return false;
  DBGLOG("isWiFiConnectedToAPActive: %d\n", isWiFiConnectedToAPActive);
  i2cledmgrWakeup();
  return true;
}

bool sysstate_setWiFiSessionOpenState(bool sessionIsOpen) {
  if (!changeFlags(sysstate_WiFiSessionIsOpen, sessionIsOpen)) return false;
  systimer_t now = os_systime64();
  lastSessionStateChangeTime = now;
  DBGLOG("sessionIsOpen: %d\n", sessionIsOpen);
  i2cledmgrWakeup();
  bleHandleSysstateChanges(false);
  rfwcHandleSysstateChanges();
  kaHandleSysstateChanges();
  wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_SESSION_CHANGE, &now);
  return true;
}

bool sysstate_setTCPConnectionOpenState(bool isTCPConnectionOpenActive) {
  if (!changeFlags(sysstate_TCPConnectionIsOpen, isTCPConnectionOpenActive)) return false;
  DBGLOG("isTCPConnectionOpenActive: %d\n", isTCPConnectionOpenActive);
  // Opening is reported by the TCP module itself when it starts; only the close is news to Wi-Fi.
  if (!isTCPConnectionOpenActive) {
    systimer_t now = os_systime64();
    wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_TCP_CLOSED, &now);
  }
  return true;
}

bool sysstate_setBLEConnectionOpenState(bool isBLEConnectionOpenActive) {
  if (!changeFlags(sysstate_BLEConnectionIsOpen, isBLEConnectionOpenActive)) return false;
  DBGLOG("isBLEConnectionOpenActive: %d\n", isBLEConnectionOpenActive);
  i2cledmgrWakeup();
  return true;
}

bool sysstate_setUSBPoweredState(bool isUSBPoweredActive) {
  if (!changeFlags(sysstate_USBPowered, isUSBPoweredActive)) return false;
  DBGLOG("isUSBPoweredActive: %d\n", isUSBPoweredActive);
  i2cledmgrWakeup();
  return true;
}

bool sysstate_setWiFiEnabledState(bool isWiFiEnabledActive) {
  if (!changeFlags(sysstate_WiFiEnabled, isWiFiEnabledActive)) return false;
  DBGLOG("isWiFiEnabledActive: %d\n", isWiFiEnabledActive);
  // The advertising window is longer while Wi-Fi is off.
  bleHandleSysstateChanges(false);
  return true;
}

bool sysstate_setPoweringDownState(bool isPoweringDownActive) {
  if (!changeFlags(sysstate_PoweringDown, isPoweringDownActive)) return false;
  DBGLOG("isPoweringDownActive: %d\n", isPoweringDownActive);
  i2cledmgrWakeup();
  return true;
}

// Moves the ladder to the level `mask` (its cumulative battery bits) and logs `changeText` when the
// word changed. True when it changed.
static bool setBatteryLowStates(uint32_t mask, const char* changeText) {
  uint32_t s = os_irq_disable();
  uint32_t oldState = sysstateSystemState;
  uint32_t newState = (oldState & ~SYSSTATE_BATTERY_LOW_BITS) | mask;
  sysstateSystemState = newState;
  os_irq_restore(s);
  if (newState == oldState) return false;

  DBGLOG_TEXT(changeText);
  // The cut-off has shut Wi-Fi, BLE and the gauges down; starting afresh is the only clean way
  // back.
  if ((oldState & sysstate_BatteryLowCutoff) && !(newState & sysstate_BatteryLowCutoff)) {
    ostsReboot();
  }
  if ((newState & sysstate_Recording) && (newState & sysstate_BatteryLowStopRecording)) {
    bleQueueDebugConsoleMsg("%s", "Battery low; stopping recording");
    camifSend_MODE_IDLE("setBatteryLowStates", MODE_REASON_BATTERY_LOW);
  }
  i2cledmgrWakeupFromLED_PowerSaveMode();
  return true;
}

bool sysstate_setBatteryLowAlarmState(void) {
  return setBatteryLowStates(sysstate_BatteryLowAlarm, "isBatteryLowAlarmActive: 1");
}

bool sysstate_setBatteryLowPreventRecordingState(void) {
  return setBatteryLowStates(sysstate_BatteryLowAlarm | sysstate_BatteryLowPreventRecording,
                             "isBatteryLowPreventRecordingActive: 1");
}

bool sysstate_setBatteryLowStopRecordingState(void) {
  return setBatteryLowStates(sysstate_BatteryLowAlarm | sysstate_BatteryLowPreventRecording |
                                 sysstate_BatteryLowStopRecording,
                             "isBatteryLowStopRecordingActive: 1");
}

bool sysstate_setBatteryLowCutoffState(void) {
  if (!setBatteryLowStates(SYSSTATE_BATTERY_LOW_BITS, "isBatteryLowCutoffActive: 1")) {
    return false;
  }
  // Shut down everything that draws power from the battery.
  wifiDisconnectAppWcmif();
  bleDisconnectAndStopAdvertising();
  i2cbatBackoffAllBatteries();
  dsUnlockAndEnableDeepSleep(DSLOCK_LOWBAT_CUTOFF);
  semtmoLowBatteryCutoffEnter();
  return true;
}

bool sysstate_setBatteryNOTLowState(void) {
  return setBatteryLowStates(0, "All BATTERY_LOW states set as inactive");
}

uint32_t sysstate_convertIntervalToSeconds(sysstate_interval_t interval) {
  switch (interval) {
    case sysstate_interval_10sec:
      return 10;
    case sysstate_interval_30sec:
      return 30;
    case sysstate_interval_1min:
      return 60;
    case sysstate_interval_5min:
      return 300;
    case sysstate_interval_10min:
      return 600;
    case sysstate_interval_Custom:
      return sysstate_intervalCustomValue;
    default:
      return 0;
  }
}

sysstate_interval_t sysstate_convertSecondsToInterval(uint32_t intervalSeconds) {
  switch (intervalSeconds) {
    case 0:
      return sysstate_interval_notSet;
    case 10:
      return sysstate_interval_10sec;
    case 30:
      return sysstate_interval_30sec;
    case 60:
      return sysstate_interval_1min;
    case 300:
      return sysstate_interval_5min;
    case 600:
      return sysstate_interval_10min;
    default:
      return sysstate_interval_Custom;
  }
}

void sysstate_setIntervalSeconds(uint32_t intervalSeconds) {
  sysstate_interval_t newSetting = sysstate_convertSecondsToInterval(intervalSeconds);
  uint32_t s = os_irq_disable();
  sysstate_interval_t oldSetting = sysstate_intervalSetting;
  bool changed = newSetting != oldSetting;
  if (newSetting == sysstate_interval_Custom) {
    // One custom value replacing another is a change although the setting stays Custom.
    if (sysstate_intervalCustomValue != intervalSeconds) changed = true;
    sysstate_intervalCustomValue = intervalSeconds;
  }
  sysstate_intervalSetting = newSetting;
  os_irq_restore(s);
  if (!changed) return;

  DBGLOG("intervalSeconds: %u\n", (unsigned)intervalSeconds);
  i2cledmgrWakeupFromLED_PowerSaveMode();
  i2cledmgrWakeup();
}

void sysstate_buttonPressed(void) {
  systimer_t now = os_systime64();
  // 64 bits take two stores on the chip; keep readers from seeing half of it.
  uint32_t s = os_irq_disable();
  sysstateLastButtonPress = now;
  os_irq_restore(s);
  i2cledmgrWakeup();
  i2cbatWakeupForBackoffReset();
  bleHandleSysstateChanges(true);
}

systimer_t sysstate_lastButtonPress(void) {
  uint32_t s = os_irq_disable();
  systimer_t lastPress = sysstateLastButtonPress;
  os_irq_restore(s);
  return lastPress;
}
