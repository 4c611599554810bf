// The camera interface: this module's view of the camera's operating mode, and the one place that
// asks the STM32 to change it (idle, live view, time lapse), to start a directory listing and to
// delete a file from the SD card.
#ifndef CAMIF_CAMERA_INTERFACE_H
#define CAMIF_CAMERA_INTERFACE_H

#include <stdint.h>

#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"

enum CameraMode : int32_t {
  MODE_IDLE = 0,
  MODE_LIVE_VIEW = 1,
  MODE_TIME_LAPSE = 2,  // recording
  MODE_USB = 3,
  MODE_FOCUS = 4,
};

// Why the mode changes; passed to the STM32 with the change.
enum CameraModeReason : uint32_t {
  MODE_REASON_NA = 0,
  MODE_REASON_REBOOT_INIT = 1,
  MODE_REASON_BLE = 2,
  MODE_REASON_PAUSE_LIVE_VIEW_FOR_SPI = 3,
  MODE_REASON_STOP_LIVE_VIEW = 4,
  MODE_REASON_BATTERY_LOW = 5,
  MODE_REASON_BUTTON = 6,
  MODE_REASON_PWA = 7,
  MODE_MAX_REASON = 8,  // the count
};

// Who asked for a change: a change the server made raises no keep-alive status bit, one the phone
// made no BLE state change.
enum dataAuthority_t : uint32_t {
  DATA_AUTHORITY_NONE = 0,
  DATA_AUTHORITY_LUI = 1,  // the camera's buttons
  DATA_AUTHORITY_NVM = 2,
  DATA_AUTHORITY_ST = 3,
  DATA_AUTHORITY_BLE = 4,
  DATA_AUTHORITY_WiFi = 5,  // the camera server
};

// Reads the mode from the STM32 (at start-up) and keeps it; the mode, or -1 on failure.
int32_t camif_getMode(void);
// Whether the mode kept here is `mode`.
bool camif_isMode(uint32_t mode);
// The STM32 reported `newMode` in its status; returns it.
uint32_t camifUpdateModeFromSTM32(uint32_t newMode);
// The STM32 reported that live view ended.
void camifLiveViewCompletedFromST(void);

// Mode requests; each returns 0 at once, sending nothing, when the camera already is in the mode
// asked for. `callerFunctionName` goes into the log.
errorCodes camifSend_MODE_IDLE(const char* callerFunctionName, uint32_t reason);
// Hands back the signature of the request that started live view (the FPGA's frames carry it).
errorCodes camifSend_MODE_LIVE_VIEW(const char* callerFunctionName, uint32_t reason,
                                    uint32_t* commandSignature);
// Starts live view at `resolution` (LiveViewScale) for `frame_count` frames, or stops it when
// `frame_count` is 0. A start at the resolution already running sends nothing and hands back the
// running request's signature.
errorCodes camifSend_MODE_LIVE_VIEW_W_SETTINGS(const char* callerFunctionName, uint32_t resolution,
                                               uint32_t frame_count, uint32_t* commandSignature);
errorCodes camifStopLiveView(const char* callerFunctionName);
// Refused (ERRORCODE_TEMPORARY_ERROR) without asking the STM32 while the battery is too low to
// record.
errorCodes camifSend_MODE_TIME_LAPSE(const char* callerFunctionName, uint32_t reason);

// Asks the STM32 to send the directory listing matching `filename` over SPI; hands back the
// request's signature, which the listing's SPI messages carry.
errorCodes camifGetDirectory(filename_t* filename, uint32_t* cameraMessageCommandSignature);
// Deletes a file from the SD card and tells the server and the phone, except whichever of them
// asked (`authority`).
errorCodes camifDeleteFileFromSDCard(filename_t* filename, dataAuthority_t authority);
// The name of the last file deleted successfully (empty before the first).
void camifCopyLastDeletedFileFromSDCard(filename_t* dest);

#endif  // CAMIF_CAMERA_INTERFACE_H
