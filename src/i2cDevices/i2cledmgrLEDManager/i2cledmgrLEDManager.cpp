#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "i2cDevices/i2cDevices.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "sysstateSystemState/sysstateSystemState.h"

#define I2CLEDMGR_THREAD_PRIORITY 5
#define I2CLEDMGR_THREAD_STACK_BYTES 1024

#define POWER_SAVE_AFTER_US 15000000u
#define WIFI_LED_AFTER_SESSION_US 30000000u
#define WIFI_BLINK_ON_US 200000u
#define WIFI_BLINK_OFF_US 500000u

#define POWERING_DOWN_ON_US 67000u
#define POWERING_DOWN_OFF_US 133000u
#define FACTORY_RESET_ON_US 150000u
#define FACTORY_RESET_OFF_US 100000u
#define FLASH_ERROR_US 50000u

#define START_STEP_US 100000u
#define START_SETTLE_US 200000u
#define START_BLINK_FOR_US 4300000u
#define START_BLINK_ON_US 200000u
#define START_BLINK_OFF_US 150000u
#define START_BLINKS_WITH_INTERVALS 4
#define STOP_FLICKER_FOR_US 5000000u
#define STOP_GREEN_ALONE_LAST_US 2000000u
#define STOP_FLICKER_ON_US 75000u
#define STOP_FLICKER_OFF_US 50000u

#define BLINK_LIT_US 300000u
#define LOW_BAT_DARK_US 2200000u
#define RECORDING_DARK_US 9700000u
#define LOW_BAT_CYCLE 4

static struct os_semaphore i2cledmgr_thread_semaphore;
static systimer_t ourLastWakeFromLED_PowerSaveMode;
static uint32_t sysstatePrevSystemState;
static systimer_t whenToTurnOffWiFiLED;
static systimer_t whenToBlinkWiFi;
static systimer_t whenToBlink;
static bool isWiFiBlinkActive;
static uint16_t ledToBlink;
static uint8_t lowBatBlinkCycleNum;
static uint16_t lastSSColour;

static void sleepUs(uint32_t usecs) { os_sleep_us(usecs, OS_TIMEOUT_NO_WAKEUP); }
static void setLEDs(uint16_t mask, uint16_t pattern) { i2cWriteWordLED(mask, pattern); }
static systimer_t earlier(systimer_t a, systimer_t b) { return a < b ? a : b; }

static uint16_t intervalLED(sysstate_interval_t interval) {
  switch (interval) {
    case sysstate_interval_notSet:
      return 0;
    case sysstate_interval_10sec:
      return i2cLED_10sec;
    case sysstate_interval_30sec:
      return i2cLED_30sec;
    case sysstate_interval_1min:
      return i2cLED_1min;
    case sysstate_interval_5min:
      return i2cLED_5min;
    case sysstate_interval_10min:
      return i2cLED_10min;
    case sysstate_interval_Custom:
      return i2cLED_Custom;
    default:
      return i2cLED_1min;
  }
}

[[noreturn]] static void showPoweringDown(void) {
  setLEDs(i2cLED_All, 0);
  for (;;) {
    setLEDs(i2cLED_SS_Red, i2cLED_SS_Red);
    sleepUs(POWERING_DOWN_ON_US);
    setLEDs(i2cLED_SS_Red, 0);
    sleepUs(POWERING_DOWN_OFF_US);
  }
}

static void showRecordingStart(void) {
  DBGLOG_TEXT("RECORDING_START");
  uint16_t saved = i2cGetCurrentLEDPattern();
  const uint16_t steps[] = {i2cLED_30sec, i2cLED_1min, i2cLED_5min, i2cLED_10min, i2cLED_Custom};
  uint16_t lit = i2cLED_10sec;
  setLEDs((uint16_t)(i2cLED_All & ~i2cLED_WiFi), lit);
  for (uint16_t step : steps) {
    sleepUs(START_STEP_US);
    lit = (uint16_t)(lit | step);
    setLEDs(i2cLED_All_Interval, lit);
  }
  sleepUs(START_SETTLE_US);
  systimer_t start = os_systime64();
  for (int blink = 0; os_systime64() - start < START_BLINK_FOR_US; blink++) {
    uint16_t mask = blink < START_BLINKS_WITH_INTERVALS
                        ? (uint16_t)(i2cLED_All_Interval | i2cLED_SS_Green)
                        : (uint16_t)i2cLED_SS_Green;
    setLEDs(mask, mask);
    sleepUs(START_BLINK_ON_US);
    setLEDs(mask, 0);
    sleepUs(START_BLINK_OFF_US);
    if (blink + 1 == START_BLINKS_WITH_INTERVALS) setLEDs(i2cLED_All_Interval, saved);
  }
  setLEDs(i2cLED_All, saved);
}

static void showRecordingStop(void) {
  DBGLOG_TEXT("RECORDING_STOP");
  uint16_t saved = i2cGetCurrentLEDPattern();
  setLEDs((uint16_t)(i2cLED_All & ~i2cLED_WiFi), 0);
  systimer_t start = os_systime64();
  bool intervalsRestored = false;
  for (systimer_t elapsed = 0; elapsed < STOP_FLICKER_FOR_US;
       elapsed = os_systime64() - start) {
    if (elapsed < STOP_FLICKER_FOR_US - STOP_GREEN_ALONE_LAST_US) {
      setLEDs((uint16_t)(i2cLED_All_Interval | i2cLED_SS_Green),
              (uint16_t)(i2cLED_All_Interval | i2cLED_SS_Green));
    } else {
      if (!intervalsRestored) setLEDs(i2cLED_All_Interval, saved);
      intervalsRestored = true;
      setLEDs(i2cLED_SS_Green, i2cLED_SS_Green);
    }
    sleepUs(STOP_FLICKER_ON_US);
    setLEDs(i2cLED_SS_Green, 0);
    sleepUs(STOP_FLICKER_OFF_US);
  }
  setLEDs(i2cLED_All, saved);
}

// Steps 7 to 10: the Wi-Fi LED, the interval LEDs and the start/stop LED.
static systimer_t showSteadyState(uint32_t state, bool awake, systimer_t now, systimer_t next) {
  // Wi-Fi.
  if ((state & sysstate_WiFiSessionIsOpen) && !(sysstatePrevSystemState & sysstate_WiFiSessionIsOpen))
    whenToTurnOffWiFiLED = now + WIFI_LED_AFTER_SESSION_US;
  bool withinSessionWindow = whenToTurnOffWiFiLED > now;
  if (withinSessionWindow) next = earlier(next, whenToTurnOffWiFiLED);
  bool wifiOn = false;
  if (!(state & sysstate_WiFiConnectedToAP)) {
    wifiOn = false;
  } else if (state & sysstate_WiFiSessionIsOpen) {
    wifiOn = awake || (state & sysstate_BLEConnectionIsOpen) || withinSessionWindow;
  } else {
    if (now >= whenToBlinkWiFi) {
      isWiFiBlinkActive = !isWiFiBlinkActive;
      whenToBlinkWiFi = now + (isWiFiBlinkActive ? WIFI_BLINK_ON_US : WIFI_BLINK_OFF_US);
    }
    wifiOn = isWiFiBlinkActive;
    next = earlier(next, whenToBlinkWiFi);
  }
  setLEDs(i2cLED_WiFi, wifiOn ? i2cLED_WiFi : 0);

  // Interval.
  setLEDs(i2cLED_All_Interval, awake ? intervalLED(sysstate_intervalSetting) : 0);

  // The start/stop LED's blink phase.
  bool recording = (state & sysstate_Recording) != 0;
  bool low = (state & (sysstate_BatteryLowPreventRecording | sysstate_BatteryLowStopRecording)) != 0;
  if (!recording && !low) {
    ledToBlink = 0;
  } else {
    if (now >= whenToBlink) {
      if (ledToBlink != 0) {
        ledToBlink = 0;
        whenToBlink = now + (recording && !low ? RECORDING_DARK_US : LOW_BAT_DARK_US);
      } else {
        if (recording && low) lowBatBlinkCycleNum = (uint8_t)((lowBatBlinkCycleNum + 1) % LOW_BAT_CYCLE);
        bool green = recording && (!low || lowBatBlinkCycleNum == 0);
        if (green) {
          DBGLOG_TEXT("Lighting up green SS LED");
          ledToBlink = i2cLED_SS_Green;
        } else {
          DBGLOG_TEXT("Lighting up red LED for battery low");
          ledToBlink = i2cLED_SS_Red;
        }
        whenToBlink = now + BLINK_LIT_US;
      }
    }
    next = earlier(next, whenToBlink);
  }

  // The start/stop LED's colour. The steady colours are logged when they come on.
  uint16_t colour = 0;
  if (ledToBlink != 0) {
    colour = ledToBlink;
  } else if (state & sysstate_Error) {
    if (lastSSColour != i2cLED_SS_Red) DBGLOG_TEXT("Lighting up red LED for error");
    colour = i2cLED_SS_Red;
  } else if (!awake) {
    colour = 0;
  } else if ((state & sysstate_BatteryLowAlarm) && !(state & sysstate_BatteryLowPreventRecording)) {
    if (lastSSColour != i2cLED_SS_Yellow) DBGLOG_TEXT("Lighting up yellow LED for battery low");
    colour = i2cLED_SS_Yellow;
  }
  lastSSColour = colour;
  setLEDs(i2cLED_All_SS, colour);
  return next;
}

// One pass; the time of the next pass that is needed (all ones: none until woken).
static systimer_t setAllLEDsAccordingToCurrentState(void) {
  uint32_t state = sysstateSystemState;
  if (state & sysstate_PoweringDown) showPoweringDown();
  if (state & sysstate_BatteryLowCutoff) {
    setLEDs(i2cLED_All, 0);
    lastSSColour = 0;
    return SYSTIMER_NEVER;
  }

  systimer_t next = SYSTIMER_NEVER;
  systimer_t now = os_systime64();
  systimer_t lastPress = sysstate_lastButtonPress();
  uint32_t s = os_irq_disable();
  if (lastPress > ourLastWakeFromLED_PowerSaveMode) ourLastWakeFromLED_PowerSaveMode = lastPress;
  systimer_t lastWake = ourLastWakeFromLED_PowerSaveMode;
  os_irq_restore(s);
  bool awake = now < lastWake + POWER_SAVE_AFTER_US;
  if (awake) next = lastWake + POWER_SAVE_AFTER_US;

  while (sysstateSystemState & sysstate_SystemRestoreToFactoryDefaults) {
    setLEDs(i2cLED_All, (uint16_t)(i2cLED_All & ~i2cLED_SS_Blue));
    sleepUs(FACTORY_RESET_ON_US);
    setLEDs(i2cLED_All, 0);
    sleepUs(FACTORY_RESET_OFF_US);
  }

  state = sysstateSystemState;
  bool recording = (state & sysstate_Recording) != 0;
  bool wasRecording = (sysstatePrevSystemState & sysstate_Recording) != 0;
  if (recording && !wasRecording) showRecordingStart();
  state = sysstateSystemState;
  recording = (state & sysstate_Recording) != 0;
  if (!recording && wasRecording && !(state & sysstate_SystemRestoreToFactoryDefaults)) {
    showRecordingStop();
  }

  now = os_systime64();
  state = sysstateSystemState;
  next = showSteadyState(state, awake && now < lastWake + POWER_SAVE_AFTER_US, now, next);
  sysstatePrevSystemState = state;
  return next;
}

static void* i2cledmgr_thread(void* arg) {
  (void)arg;
  for (;;) {
    systimer_t next = setAllLEDsAccordingToCurrentState();
    if (next == SYSTIMER_NEVER) {
      os_sem_wait(&i2cledmgr_thread_semaphore);
    } else {
      systimer_t now = os_systime64();
      systimer_t left = next > now ? next - now : 0;
      if (left > 0x7FFFFFFFull) left = 0x7FFFFFFFull;
      if (left > 0) os_sem_wait_timeout(&i2cledmgr_thread_semaphore, (uint32_t)left);
    }
    // Wake-ups posted during the pass are covered by the pass just made.
    while (os_sem_wait_timeout(&i2cledmgr_thread_semaphore, 0) == 0) {
    }
  }
  return nullptr;
}

void i2cledmgrLEDManager_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&i2cledmgr_thread_semaphore, 1);
}

void i2cledmgrLEDManager_StartThreads(void) {
  if (os_create_thread("i2cledmgr", i2cledmgr_thread, nullptr, I2CLEDMGR_THREAD_PRIORITY,
                       I2CLEDMGR_THREAD_STACK_BYTES) == nullptr) {
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for i2cledmgr_thread");
  }
}

void i2cledmgrWakeup(void) { ostsSemaphorePostIfZero_ISRsafe(&i2cledmgr_thread_semaphore); }

void i2cledmgrWakeupFromLED_PowerSaveMode(void) {
  systimer_t now = os_systime64();
  uint32_t s = os_irq_disable();
  ourLastWakeFromLED_PowerSaveMode = now;
  os_irq_restore(s);
  i2cledmgrWakeup();
}

void i2cledmgrFlashError(void) {
  setLEDs(i2cLED_SS_Red, i2cLED_SS_Red);
  sleepUs(FLASH_ERROR_US);
  setLEDs(i2cLED_SS_Red, 0);
}
