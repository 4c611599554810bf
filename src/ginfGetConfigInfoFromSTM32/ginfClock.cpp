// The module's clock and time-zone offset. The clock is a UTC date-time and the local time base at
// which it was true, taken from the most trustworthy source so far: the STM32's real-time clock,
// the phone or the camera server. A phone or server time is written on to the STM32.
#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "ginfGetConfigInfoFromSTM32/ginfInternal.h"
#include "ginfGetConfigInfoFromSTM32/nvmgrNonVolatileMemoryManager/nvmgrNonVolatileMemoryManager.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "utilities/utilities.h"

#define GINF_CLOCK_TIMEOUT_MS 3000u

// Offsets are whole half hours from -12:00 to +14:00.
#define GINF_TZ_MIN_MINS (-720)
#define GINF_TZ_MAX_MINS 840
#define GINF_TZ_STEP_MINS 30
#define GINF_TZ_NO_UPDATE 0x7FFF

// An STM32 clock this close to ours needs no correction.
#define GINF_CLOCK_MAX_DRIFT_SECS 3
// Without the server for this long, the STM32's clock is trusted again.
#define GINF_AUTHORITY_RESET_US 600000000ull

static volatile int16_t timezoneOffsetUpdateAttempt = GINF_TZ_NO_UPDATE;
static CameraMessageDateTime8601 clockMsg;  // under ginfLockMessages

void ginfClockInit(void) {
  uint32_t s = os_irq_disable();
  timezoneOffsetUpdateAttempt = GINF_TZ_NO_UPDATE;
  os_irq_restore(s);
}

static bool isPhoneOrServer(dataAuthority_t authority) {
  return authority == DATA_AUTHORITY_BLE || authority == DATA_AUTHORITY_WiFi;
}

// The clock and the offset, read together.
static void readClock(clockReference_t* clock, int16_t* tzOffset) {
  uint32_t s = os_irq_disable();
  *clock = _ginf.clock;
  *tzOffset = _ginf.timeZoneOffsetMins;
  os_irq_restore(s);
}

static time_t currentUTC(const clockReference_t* clock) {
  return clock->dateTimeUTC + (time_t)secsSince(clock->localClockReferencePoint);
}

// Asks the work item to write the clock to the STM32. Without a clock there is nothing to write,
// and asking would only make the work item run again and again.
static void requestClockPush(const char* func) {
  uint32_t s = os_irq_disable();
  bool haveClock = (ginfValidDataBitmap & GINF_clock) != 0;
  if (haveClock) ginfNeedToUpdateBitmap |= GINF_clock;
  os_irq_restore(s);
  if (haveClock) ginfQueueWork(func);
}

void ginfSetClock(const systimer_t* localClockReferencePoint, const time_t* incomingUTCDateTime,
                  dataAuthority_t authority) {
  if (localClockReferencePoint == nullptr || incomingUTCDateTime == nullptr) return;
  if (authority > DATA_AUTHORITY_WiFi) return;
  bool push = false;
  uint32_t s = os_irq_disable();
  dataAuthority_t old = _ginf.clock.lastAuthority;
  if (authority <= DATA_AUTHORITY_ST && old >= DATA_AUTHORITY_ST) {
    os_irq_restore(s);
    return;  // a phone or server time, or the STM32's first reading, stands
  }
  push = authority > DATA_AUTHORITY_ST && old <= DATA_AUTHORITY_ST;
  _ginf.clock.lastAuthority = authority;
  _ginf.clock.dateTimeUTC = *incomingUTCDateTime;
  _ginf.clock.localClockReferencePoint = *localClockReferencePoint;
  ginfValidDataBitmap |= GINF_clock;
  if (push) ginfNeedToUpdateBitmap |= GINF_clock;
  os_irq_restore(s);
  if (push) {
    DBGLOG("Queued initial clock update to ST from authority %d -> %d\n", (int)old, (int)authority);
    ginfQueueWork(__func__);
  }
}

void updateClockFromSTM32(const char* dateTime8601, const systimer_t* requestTime) {
  if (dateTime8601 == nullptr || requestTime == nullptr) return;
  if (!ginfIsValid(GINF_timezoneOffset)) return;
  int16_t stOffset = 0;
  time_t stLocal = iso8601str_to_localTime_as_time_t_and_tzOffset(dateTime8601, &stOffset);
  if (stLocal <= 0) {
    DBGLOG("Failed to convert dateTime8601 %s to TimeDate\n", dateTime8601);
    requestClockPush(__func__);
    return;
  }
  clockReference_t clock;
  int16_t tzOffset;
  readClock(&clock, &tzOffset);
  time_t stUTC = stLocal - (time_t)tzOffset * 60;

  if (isPhoneOrServer(clock.lastAuthority)) {
    time_t stNow = stUTC + (time_t)secsSince(*requestTime);
    time_t drift = stNow - currentUTC(&clock);
    if (drift < 0) drift = -drift;
    if (drift < GINF_CLOCK_MAX_DRIFT_SECS) {
      ginfClearPending(GINF_clock);
    } else {
      DBGLOG("ST clock is %d s off; queued ST clock update\n", (int)drift);
      requestClockPush(__func__);
    }
    return;
  }

  DBGLOG_TEXT("ST is the highest authority; using its clock for now");
  ginfSetClock(requestTime, &stUTC, DATA_AUTHORITY_ST);
  if (stOffset == tzOffset) {
    ginfClearPending(GINF_clock);
    return;
  }
  char withoutZone[ISO8601_LEN_WITHOUT_TZ + 1];
  strncpy(withoutZone, dateTime8601, ISO8601_LEN_WITHOUT_TZ);
  withoutZone[ISO8601_LEN_WITHOUT_TZ] = '\0';
  DBGLOG(
      "WARNING: nvm timezone offset %d != st timezone offset %d; queued ST clock update with "
      "correct timezone offset %d (fixing %s)\n",
      (int)tzOffset, (int)stOffset, (int)tzOffset, withoutZone);
  requestClockPush(__func__);
}

void ginfSendClockToSTM32(void) {
  DBGLOG_TEXT("handling queued clock update");
  ginfClearPending(GINF_clock);  // a failed write is asked for again by the next reading
  clockReference_t clock;
  int16_t tzOffset;
  readClock(&clock, &tzOffset);
  time_t local = currentUTC(&clock) + (time_t)tzOffset * 60;
  dateTime8601_t text;
  if (localTime_as_time_t_and_offset_to_iso8601str(local, tzOffset, text, sizeof text) != 0) {
    bleQueueDebugConsoleMsg("ERR sending clock to STM32");
    return;
  }

  ginfLockMessages();
  memset(&clockMsg, 0, sizeof clockMsg);
  memcpy(clockMsg.dateTime8601, text, sizeof text);
  errorCodes res = stmsgTxRx_debugPrint(&clockMsg, sizeof clockMsg, CMD_setDateTime8601, &clockMsg,
                                        sizeof clockMsg, GINF_CLOCK_TIMEOUT_MS);
  ginfUnlockMessages();
  systimer_t after = os_systime64();
  if (res != ERRORCODE_SUCCESS) {
    bleQueueDebugConsoleMsg("ERR sending clock to STM32");
    return;
  }
  bleQueueDebugConsoleMsg("STM32 updated clock to: %s", text);
  updateClockFromSTM32(text, &after);
}

void ginfQueueSTClockUpdate(void) {
  uint32_t s = os_irq_disable();
  bool push = isPhoneOrServer(_ginf.clock.lastAuthority);
  if (push) ginfNeedToUpdateBitmap |= GINF_clock;
  os_irq_restore(s);
  if (push) ginfQueueWork(__func__);
}

systimer_t ginfGetConfigInfoFromSTM32_Poll(systimer_t next) {
  uint32_t s = os_irq_disable();
  bool sessionOpen = (sysstateSystemState & sysstate_WiFiSessionIsOpen) != 0;
  systimer_t lastChange = lastSessionStateChangeTime;
  bool fromPhoneOrServer = isPhoneOrServer(_ginf.clock.lastAuthority);
  os_irq_restore(s);
  // Only a phone or server clock is handed back: before the STM32's first reading, taking the
  // STM32's authority would make that reading be ignored.
  if (!sessionOpen && fromPhoneOrServer && uSecsSince(lastChange) > GINF_AUTHORITY_RESET_US) {
    DBGLOG_TEXT("Resetting clock auth to ST");
    s = os_irq_disable();
    if (isPhoneOrServer(_ginf.clock.lastAuthority)) _ginf.clock.lastAuthority = DATA_AUTHORITY_ST;
    os_irq_restore(s);
  }
  return next;
}

// ---- Time-zone offset ---------------------------------------------------------------------------

static bool isValidTZOffset(int32_t offset) {
  return offset >= GINF_TZ_MIN_MINS && offset <= GINF_TZ_MAX_MINS &&
         offset % GINF_TZ_STEP_MINS == 0;
}

// Sets the offset to `offset` made whole half hours (toward zero) within range, writing it to
// non-volatile memory. False when the write failed (the old offset stays) or the current offset
// is not known.
static bool setTimezoneOffset(int16_t offset) {
  if (!ginfIsValid(GINF_timezoneOffset)) return false;
  int32_t wanted = (int32_t)offset / GINF_TZ_STEP_MINS * GINF_TZ_STEP_MINS;
  if (wanted < GINF_TZ_MIN_MINS) wanted = GINF_TZ_MIN_MINS;
  if (wanted > GINF_TZ_MAX_MINS) wanted = GINF_TZ_MAX_MINS;
  int16_t newOffset = (int16_t)wanted;

  uint32_t s = os_irq_disable();
  int16_t oldOffset = _ginf.timeZoneOffsetMins;
  os_irq_restore(s);
  if (newOffset == oldOffset) {
    bleQueueDebugConsoleMsg("TZ offset was already correct: %d", (int)newOffset);
    return true;
  }
  if (!nvmSetTimezoneOffset(&newOffset)) {
    bleQueueDebugConsoleMsg("Failed to set TZ offset: %d => %d", (int)oldOffset, (int)newOffset);
    return false;
  }
  bleQueueDebugConsoleMsg("TZ offset set %d => %d", (int)oldOffset, (int)newOffset);
  s = os_irq_disable();
  _ginf.timeZoneOffsetMins = newOffset;
  os_irq_restore(s);
  return true;
}

bool ginfValidateTimezoneOffset(void) {
  int16_t offset = 0;
  if (!nvmReadTimezoneOffset(&offset)) {
    ginfInvalidateAndRequeue(GINF_timezoneOffset, __func__);
    return false;
  }
  uint32_t s = os_irq_disable();
  _ginf.timeZoneOffsetMins = offset;
  ginfValidDataBitmap |= GINF_timezoneOffset;
  os_irq_restore(s);
  if (!isValidTZOffset(offset)) {
    DBGLOG("Invalid timezone offset: %d; updating to 0\n", (int)offset);
    // An offset that could not be put right is not used: it is read and fixed again.
    if (!setTimezoneOffset(0)) {
      ginfInvalidateAndRequeue(GINF_timezoneOffset, __func__);
      return false;
    }
  }
  s = os_irq_disable();
  offset = _ginf.timeZoneOffsetMins;
  os_irq_restore(s);
  DBGLOG("Validated timezone offset: %d\n", (int)offset);
  return true;
}

int ginfQueueTZOffsetUpdate(int16_t tzOffset) {
  uint32_t s = os_irq_disable();
  if (ginfNeedToUpdateBitmap & GINF_timezoneOffset) {
    os_irq_restore(s);
    return -1;
  }
  if ((ginfValidDataBitmap & GINF_timezoneOffset) && tzOffset == _ginf.timeZoneOffsetMins) {
    os_irq_restore(s);
    return 1;
  }
  timezoneOffsetUpdateAttempt = tzOffset;
  ginfNeedToUpdateBitmap |= GINF_timezoneOffset;
  os_irq_restore(s);
  ginfQueueWork(__func__);
  DBGLOG("Queued TZ offset update to: %d\n", (int)tzOffset);
  return 0;
}

void ginfHandleQueuedTZOffsetUpdate(void) {
  // A change asked for before the current offset is known waits for it.
  if (!ginfIsValid(GINF_timezoneOffset)) return;
  uint32_t s = os_irq_disable();
  int16_t attempt = timezoneOffsetUpdateAttempt;
  timezoneOffsetUpdateAttempt = GINF_TZ_NO_UPDATE;
  ginfNeedToUpdateBitmap &= ~(uint32_t)GINF_timezoneOffset;
  os_irq_restore(s);
  if (attempt == GINF_TZ_NO_UPDATE) return;
  DBGLOG_TEXT("handling queued timezone offset update");
  setTimezoneOffset(attempt);
}
