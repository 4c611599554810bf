// Private to the configuration sync engine: the mirror and what its source files share.
#ifndef GINF_INTERNAL_H
#define GINF_INTERNAL_H

#include <stdint.h>
#include <time.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"

// One bit per field of the mirror: in validDataBitmap the field holds a value confirmed by the
// STM32, in needToUpdateBitmap a change of it is pending.
enum ginfFlags_t : uint32_t {
  GINF_none = 0,
  GINF_ssid = 0x1,
  GINF_pwd = 0x2,
  GINF_registrationCode = 0x4,
  GINF_clock = 0x8,
  GINF_accessCode = 0x10,
  GINF_versions = 0x20,
  GINF_status = 0x40,
  GINF_cameraID = 0x80,
  GINF_timezoneOffset = 0x100,
  GINF_interval = 0x200,
  GINF_schedule = 0x400,
  GINF_fileSplit = 0x800,
  GINF_sdcardspace = 0x1000,
  GINF_userUID = 0x2000,
  GINF_spiXferLen = 0x4000,
  GINF_overwriteOldFiles = 0x8000,
  GINF_flickerFilter = 0x10000,
  GINF_exposureMode = 0x20000,
  GINF_embedTimestamp = 0x40000,
  GINF_sharpness = 0x80000,
  GINF_saturation = 0x100000,
  GINF_playbackRate = 0x200000,
};
#define GINF_ALL_VALID 0x3FFFFFu

// The clock: UTC `dateTimeUTC` was true at `localClockReferencePoint`.
struct clockReference_t {
  systimer_t localClockReferencePoint;
  time_t dateTimeUTC;
  dataAuthority_t lastAuthority;  // who set it
};

struct ginf_t {
  wifistring_t ssid;  // empty = none
  wifistring_t pwd;
  code_t registrationCode;  // empty = none
  code_t accessCode;
  versions_t versions;
  uint32_t status;  // CameraStatus bits
  cameraID_t cameraID;
  int16_t timeZoneOffsetMins;  // east of UTC
  clockReference_t clock;
  int32_t interval;  // seconds
  schedule_t schedule;
  uint32_t fileSplit;
  sdcardspace_t sdcardspace;
  MCS_UID_t userUID;
  uint32_t spiXferLen;
  uint32_t overwriteOldFiles;
  uint32_t exposureMode;
  uint32_t flickerFilter;
  uint32_t embedTimestamp;
  uint32_t sharpness;
  uint32_t saturation;
  uint32_t playbackRate;
};

// The mirror and its two bitmaps: changed and copied with interrupts masked.
extern ginf_t _ginf;
extern volatile uint32_t ginfValidDataBitmap;
extern volatile uint32_t ginfNeedToUpdateBitmap;

// Whether all of `flags` are valid / pending.
bool ginfIsValid(uint32_t flags);
bool ginfIsPending(uint32_t flags);
void ginfSetPending(uint32_t flags);
void ginfClearPending(uint32_t flags);
// A read failed or the value went stale: forget it and queue the work item to read it again.
void ginfInvalidateAndRequeue(uint32_t flags, const char* func);

// Logs a state change for the phone as queued or not.
void ginfQueueBLEStateChange(bleStateChange_t n, const char* name);
#define GINF_QUEUE_BLE_STATE_CHANGE(n) ginfQueueBLEStateChange(n, #n)

// One exchange at a time through this module's message buffers: a setting may be changed from the
// main, the local UI and the work-handler threads at once.
void ginfLockMessages(void);
void ginfUnlockMessages(void);

// ---- Clock and time zone (ginfClock.cpp) ------------------------------------------------------
// The STM32's local date-time text (with its UTC offset), read at `requestTime`.
void updateClockFromSTM32(const char* dateTime8601, const systimer_t* requestTime);
// Writes the clock to the STM32 (a pending clock update in the work item).
void ginfSendClockToSTM32(void);
// Handles a pending offset change; it stays pending while the current offset is not known yet.
void ginfHandleQueuedTZOffsetUpdate(void);
// Validation: reads the offset from non-volatile memory and puts an invalid one right. True once
// the offset is known and valid.
bool ginfValidateTimezoneOffset(void);
// Forgets any queued offset change.
void ginfClockInit(void);

#endif  // GINF_INTERNAL_H
