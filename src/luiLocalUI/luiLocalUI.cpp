#include "luiLocalUI/luiLocalUI.h"

#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cDevices.h"
#include "i2cDevices/i2cbtnI2CButtons/i2cbtnI2CButtons.h"
#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "utilities/utilities.h"

#define LUI_THREAD_PRIORITY 5
#define LUI_THREAD_STACK_BYTES 1024
#define LUI_QUEUE_LEN 8

#define HOLD_BOTH_US 7000000u
#define HOLD_STOP_US 3000000u
#define HOLD_START_US 1000000u
#define HOLD_INTERVAL_US 0u
#define FACTORY_RESET_SHOW_SECS 30

#define INTERVAL_STEPS 6

struct incomingButtonMsg_t {
  uint16_t button;
  systimer_t thisButtonTimeLimit;  // µs
};

static incomingButtonMsg_t incomingButtonMsgs[LUI_QUEUE_LEN];
static int incomingButtonMsgsHead;
static int incomingButtonMsgsLen;
// Usable before luiLocalUI_Init: the "i2c" thread may queue a press first.
static struct os_semaphore lock_msgQueue_semaphore = {1, {nullptr, nullptr}};
static struct os_semaphore lui_thread_semaphore = {0, {nullptr, nullptr}};

void luiLocalUI_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&lui_thread_semaphore, 0);
  os_sem_init(&lock_msgQueue_semaphore, 1);
}

void queueIncomingButtonMsg(uint16_t button) {
  os_sem_wait(&lock_msgQueue_semaphore);
  bool queued = incomingButtonMsgsLen < LUI_QUEUE_LEN;
  if (queued) {
    incomingButtonMsg_t& msg =
        incomingButtonMsgs[(incomingButtonMsgsHead + incomingButtonMsgsLen) % LUI_QUEUE_LEN];
    msg.button = button;
    msg.thisButtonTimeLimit = 0;
    incomingButtonMsgsLen++;
  }
  os_sem_post(&lock_msgQueue_semaphore);
  if (!queued) {
    DBGLOG_TEXT("queueIncomingButtonMsg: no room");
    return;
  }
  DBGLOG("queued btn: %u\n", button);
  os_sem_post(&lui_thread_semaphore);
}

static incomingButtonMsg_t takeOldest(void) {
  incomingButtonMsg_t msg = {0, 0};
  os_sem_wait(&lock_msgQueue_semaphore);
  if (incomingButtonMsgsLen > 0) {
    msg = incomingButtonMsgs[incomingButtonMsgsHead];
    incomingButtonMsgsHead = (incomingButtonMsgsHead + 1) % LUI_QUEUE_LEN;
    incomingButtonMsgsLen--;
  }
  os_sem_post(&lock_msgQueue_semaphore);
  return msg;
}

// The hold time for `button`, or false for a combination the UI does not handle.
static bool holdTimeFor(uint16_t button, systimer_t* limit) {
  if ((button & i2cAllButtons) == i2cAllButtons) {
    *limit = HOLD_BOTH_US;
  } else if (button & i2cSSButton) {
    *limit = (sysstateSystemState & sysstate_Recording) ? HOLD_STOP_US : HOLD_START_US;
  } else if (button & i2cIntervalButton) {
    *limit = HOLD_INTERVAL_US;
  } else {
    return false;
  }
  return true;
}

[[noreturn]] static void factoryReset(void) {
  DBGLOG_TEXT("Both buttons pressed for more than 7 seconds; resetting to factory defaults");
  sysstate_setSystemRestoreToFactoryDefaultsState(true);
  sleepSecs(FACTORY_RESET_SHOW_SECS);
  sysstate_setSystemRestoreToFactoryDefaultsState(false);
  DBGLOG_TEXT("**** REBOOTING ****");
  ostsReboot();
}

static void stepInterval(uint16_t ledPattern) {
  if ((ledPattern & i2cLED_All_Interval) == 0) {
    DBGLOG_TEXT("first press; only turned lights on");
    return;
  }
  if (sysstateSystemState & sysstate_Recording) {
    DBGLOG_TEXT("Interval button while recording and lights were on");
    return;
  }
  DBGLOG_TEXT("Interval button while not recording");
  int32_t seconds = 0;
  if (!ginfCopy_interval(&seconds)) {
    DBGLOG_TEXT("can't handle interval change with invalid interval");
    return;
  }
  sysstate_interval_t current = sysstate_convertSecondsToInterval((uint32_t)seconds);
  sysstate_interval_t stepped = (sysstate_interval_t)(current % INTERVAL_STEPS + 1);
  int32_t newSeconds = (int32_t)sysstate_convertIntervalToSeconds(stepped);
  ginfInterval(&newSeconds, DATA_AUTHORITY_LUI);
}

static void* lui_thread(void* arg) {
  (void)arg;
  for (;;) {
    os_sem_wait(&lui_thread_semaphore);
    incomingButtonMsg_t msg = takeOldest();
    uint16_t ledPattern = i2cGetCurrentLEDPattern();
    if (!holdTimeFor(msg.button, &msg.thisButtonTimeLimit)) {
      DBGLOG_TEXT("unhandled button combination");
      continue;
    }
    bool cutoff = (sysstateSystemState & sysstate_BatteryLowCutoff) != 0;
    if (cutoff) i2cledmgrFlashError();
    sysstate_buttonPressed();
    if (cutoff) continue;  // after the cut-off the buttons only flash red

    DBGLOG("debouncing button: %04X\n", msg.button);
    if (!debounce(msg.button, &msg.thisButtonTimeLimit)) {
      DBGLOG("time limit %llu not reached for button: %04X\n",
             (unsigned long long)msg.thisButtonTimeLimit, msg.button);
      continue;
    }
    if ((msg.button & i2cAllButtons) == i2cAllButtons) factoryReset();
    if (msg.button & i2cSSButton) {
      if (sysstateSystemState & sysstate_Recording) {
        DBGLOG_TEXT("Stop recording");
        camifSend_MODE_IDLE("lui_thread", MODE_REASON_BUTTON);
      } else {
        DBGLOG_TEXT("Start recording");
        camifSend_MODE_TIME_LAPSE("lui_thread", MODE_REASON_BUTTON);
      }
    } else {
      stepInterval(ledPattern);
    }
    waitForButtonRelease(msg.button);
  }
  return nullptr;
}

void luiLocalUI_StartThreads(void) {
  if (os_create_thread("lui", lui_thread, nullptr, LUI_THREAD_PRIORITY, LUI_THREAD_STACK_BYTES) ==
      nullptr) {
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for lui");
  }
}
