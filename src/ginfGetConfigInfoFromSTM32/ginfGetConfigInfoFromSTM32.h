// The configuration sync engine: keeps a validated mirror of the STM32's settings, credentials
// and status, and carries changes between the STM32, the phone and the camera server. Also the
// module's clock (learnt from the STM32, the phone or the server) and the time-zone offset.
//
// Every exchange with the STM32 that this module starts on its own runs in one work item on the
// work handler; other threads only ask for it. The settings below also run on their caller's
// thread.
#ifndef GINF_GET_CONFIG_INFO_FROM_STM32_H
#define GINF_GET_CONFIG_INFO_FROM_STM32_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "camifCameraInterface/camifCameraInterface.h"  // dataAuthority_t
#include "os.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes

// The camera's identity: the six words the STM32 reports, their display text and their Ascii85
// text (the advertised name's suffix).
struct cameraID_t {
  uint16_t cameraID[6];
  char cameraID_string[30];  // "%04X-%04X-%04X-%04X-%04X-%04X"
  char cameraID_ascii[16];   // 15 characters and a NUL
};

// The SD card's space; sent as is to the server and the phone.
struct __attribute__((packed)) sdcardspace_t {
  uint8_t usedSpacePercent;
  uint8_t padding1[2];
  uint32_t freeSpaceMB;
  uint32_t totalSpaceMB;
};
static_assert(sizeof(sdcardspace_t) == 11, "sdcardspace_t");
static_assert(offsetof(sdcardspace_t, freeSpaceMB) == 3, "sdcardspace_t.freeSpaceMB");
static_assert(offsetof(sdcardspace_t, totalSpaceMB) == 7, "sdcardspace_t.totalSpaceMB");

// Logs the entry line, empties the mirror and queues the work item that fills it.
void ginfGetConfigInfoFromSTM32_Init(void);
// Main-loop poll: hands the clock authority back to the STM32 when the server has been away for
// 10 minutes. Returns `next` unchanged: it never needs an earlier pass.
systimer_t ginfGetConfigInfoFromSTM32_Poll(systimer_t next);
// Queues the work item; `func` names the asker in the log. True when newly queued.
bool ginfQueueWork(const char* func);

// ---- Reading the mirror ---------------------------------------------------------------------
// Each returns false while the value has not been confirmed by the STM32; otherwise copies it
// into `dest` (a null `dest` only asks whether it is known).
bool ginfCopy_ssid(wifistring_t* dest);
bool ginfCopy_pwd(wifistring_t* dest);
bool ginfCopy_registrationCode(code_t* dest);
bool ginfCopy_accessCode(code_t* dest);
bool ginfCopy_versions(versions_t* dest);
bool ginfCopy_interval(int32_t* dest);
bool ginfCopy_schedule(schedule_t* dest);
bool ginfCopy_fileSplit(uint32_t* dest);
bool ginfCopy_sdcardspace(sdcardspace_t* dest);
bool ginfCopy_userUID(MCS_UID_t* dest);
bool ginfCopy_spiXferLen(uint32_t* dest);
bool ginfCopy_overwriteOldFiles(uint32_t* dest);
bool ginfCopy_exposureMode(uint32_t* dest);
bool ginfCopy_flickerFilter(uint32_t* dest);
bool ginfCopy_embedTimestamp(uint32_t* dest);
bool ginfCopy_sharpness(uint32_t* dest);
bool ginfCopy_saturation(uint32_t* dest);
bool ginfCopy_playbackRate(uint32_t* dest);
// The camera ID and the versions in the mirror; null until known.
const cameraID_t* ginfGet_cameraID(void);
const versions_t* ginfGet_versions(void);
// -1 while the STM32's status word is unknown; 1 when any of `cameraStatus` (CameraStatus bits)
// is set in it; else 0.
int8_t ginfIsStatusSet(uint32_t cameraStatus);

// ---- Settings -------------------------------------------------------------------------------
// A null `value` reads the setting from the STM32; otherwise writes it. `authority` says who
// asked: a change the server made raises no keep-alive status bit, one the phone made no BLE state
// change. 0 on success, else the exchange's error (the held value is then unchanged).
errorCodes ginfInterval(const int32_t* value, dataAuthority_t authority);  // seconds
errorCodes ginfSchedule(const schedule_t* value, dataAuthority_t authority);
errorCodes ginfFileSplit(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfOverwriteOldFiles(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfExposureMode(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfFlickerFilter(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfEmbedTimestamp(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfSharpness(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfSaturation(const uint32_t* value, dataAuthority_t authority);
errorCodes ginfPlaybackRate(const uint32_t* value, dataAuthority_t authority);
// Reads (null) or writes the BLE access code. A camera whose code is locked answers
// ERRORCODE_PERSISTENT_ERROR.
errorCodes ginfAccessCode(const code_t* code);

// ---- Requests from other threads --------------------------------------------------------------
// Each returns -1, changing nothing, while an update of the same kind is still pending; else 0.
// The text is cut to 64 characters.
int ginfQueueSSIDUpdate(const char* ssid);
int ginfQueuePWDUpdate(const char* pwd);
// A new account registration code from the phone (kept here only; the server is told through the
// status bits), or none (null) to forget it.
void ginfQueueRegistrationCodeUpdate(const code_t* code);
// Forgets the account's user ID and writes the empty ID to the STM32.
void ginfQueueClearUserUID(void);
// Asks for the STM32's status to be read: it signals that it has something to report. `caller`
// names the asking function in the log.
void ginfQueueStatusUpdate(const char* caller);

// ---- Clock and time zone ----------------------------------------------------------------------
// Offers the time `*incomingUTCDateTime` (UTC), true at `*localClockReferencePoint`. A phone or
// server time always wins and is written to the STM32; an STM32 time only sets a clock that no
// higher authority has set.
void ginfSetClock(const systimer_t* localClockReferencePoint, const time_t* incomingUTCDateTime,
                  dataAuthority_t authority);
// Asks for this module's clock to be written to the STM32 (recording has stopped); only a clock
// set by the phone or the server is written.
void ginfQueueSTClockUpdate(void);
// Asks for the time-zone offset (minutes east of UTC) to be changed: -1 while another change is
// pending, 1 when it already is the offset, else 0.
int ginfQueueTZOffsetUpdate(int16_t tzOffset);

// ---- Recording status -------------------------------------------------------------------------
// Sends the fuel gauges' readings to the STM32 and copies its recording information into
// `recordingInfo` (zeroed on failure).
errorCodes ginfRecordingStatus_sendBatteryInfo(CameraRecordingInfo_t* recordingInfo);

#endif  // GINF_GET_CONFIG_INFO_FROM_STM32_H
