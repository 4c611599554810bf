#include "camifCameraInterface/camifCameraInterface.h"

#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "os.h"
#include "statStatus/statStatus.h"
#include "sysstateSystemState/sysstateSystemState.h"

// Response time-outs of the STM32 requests, in ms.
#define CAMIF_GET_MODE_TIMEOUT_MS 3000u
#define CAMIF_SET_IDLE_TIMEOUT_MS 4000u
#define CAMIF_SET_MODE_TIMEOUT_MS 3000u
#define CAMIF_LIVE_VIEW_TIMEOUT_MS 3000u
#define CAMIF_DIRECTORY_TIMEOUT_MS 20000u
#define CAMIF_DELETE_TIMEOUT_MS 2000u

// The resolution a stop names; the request carries the last one used instead.
#define CAMIF_STOP_LIVE_VIEW_RESOLUTION LV_SCALE_768x432

// Read and written only with interrupts masked.
static volatile uint32_t currentMode = MODE_IDLE;
static filename_t lastFileDeleted;

// The live-view request now running: what it asked for and the signature its frames carry.
static uint32_t lastResolution;
static uint32_t lastCmdSignature;
// The signature of the last plain live-view request.
static uint32_t lastLiveViewCmdSignature;

// Mutexes, free at start.
static struct os_semaphore directoryMutex = {1, {nullptr, nullptr}};
static struct os_semaphore deleteMutex = {1, {nullptr, nullptr}};
static getSD_Directory1_Message directoryMsg;        // under directoryMutex
static CameraDeleteFileFromSDCardMessage deleteMsg;  // under deleteMutex

static void logStateChange(bool queued, const char* name) {
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ", name);
}

// Stores the new mode; entering or leaving time lapse is recording starting or stopping, which
// the system state, the phone and (unless the phone's app caused it) the server learn of.
static uint32_t changeCurrentMode(uint32_t newMode, uint32_t recordModeChangeReason,
                                  uint32_t* oldModeOut) {
  uint32_t s = os_irq_disable();
  uint32_t oldMode = currentMode;
  currentMode = newMode;
  os_irq_restore(s);
  if (oldModeOut != nullptr) *oldModeOut = oldMode;

  if (oldMode == newMode || (oldMode != MODE_TIME_LAPSE && newMode != MODE_TIME_LAPSE)) {
    return newMode;
  }
  sysstate_setRecordingState(newMode == MODE_TIME_LAPSE);
  logStateChange(bleQueueStateChangeMsg(BLE_STATE_CHANGE_RECORDING), "BLE_STATE_CHANGE_RECORDING");
  if (recordModeChangeReason != MODE_REASON_PWA) {
    statMarkStatusBits(KAStatus_recordingStatusChanged, 0xFFFFFFFFu);
  }
  return newMode;
}

int32_t camif_getMode(void) {
  CameraGetSetModeMessage msg;
  memset(&msg, 0, sizeof msg);
  msg.mode = -1;
  errorCodes res = stmsgTxRx_debugPrint(&msg, sizeof msg, CMD_getMode, &msg, sizeof msg,
                                        CAMIF_GET_MODE_TIMEOUT_MS);
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! unable to get mode; res: %d\n", res);
    return -1;
  }
  int32_t mode = (int32_t)changeCurrentMode((uint32_t)msg.mode, MODE_REASON_NA, nullptr);
  DBGLOG("camera mode:%d\n", mode);
  return mode;
}

bool camif_isMode(uint32_t mode) {
  uint32_t s = os_irq_disable();
  bool is = currentMode == mode;
  os_irq_restore(s);
  return is;
}

uint32_t camifUpdateModeFromSTM32(uint32_t newMode) {
  uint32_t oldMode;
  changeCurrentMode(newMode, MODE_REASON_NA, &oldMode);
  if (oldMode != newMode) DBGLOG("changed mode from %d to %d\n", (int)oldMode, (int)newMode);
  return newMode;
}

void camifLiveViewCompletedFromST(void) {
  // Test and change at once, so a mode set meanwhile by another thread is not overwritten. Live
  // view to idle is no recording change, so there is nobody to tell.
  uint32_t s = os_irq_disable();
  if (currentMode == MODE_LIVE_VIEW) currentMode = MODE_IDLE;
  os_irq_restore(s);
}

// Asks the STM32 for `mode`. Each request has its own buffer on the caller's stack: callers on
// different threads may ask at the same time, and the exchange writes the answer into the buffer.
static errorCodes sendMode(uint32_t mode, uint32_t reason, unsigned timeout,
                           CameraGetSetModeMessageWithReason* msg) {
  memset(msg, 0, sizeof *msg);
  msg->mode = (int32_t)mode;
  msg->reason = reason;
  errorCodes res =
      stmsgTxRx_debugPrint(msg, sizeof *msg, CMD_setModeWithReason, msg, sizeof *msg, timeout);
  if (res != ERRORCODE_SUCCESS) DBGLOG("ERROR!! unable to set mode; res: %d\n", res);
  return res;
}

errorCodes camifSend_MODE_IDLE(const char* callerFunctionName, uint32_t reason) {
  if (camif_isMode(MODE_IDLE)) return ERRORCODE_SUCCESS;
  DBGLOG("from %s\n", callerFunctionName);
  CameraGetSetModeMessageWithReason msg;
  errorCodes res = sendMode(MODE_IDLE, reason, CAMIF_SET_IDLE_TIMEOUT_MS, &msg);
  if (res != ERRORCODE_SUCCESS) return res;
  changeCurrentMode((uint32_t)msg.mode, reason, nullptr);
  return ERRORCODE_SUCCESS;
}

errorCodes camifSend_MODE_LIVE_VIEW(const char* callerFunctionName, uint32_t reason,
                                    uint32_t* commandSignature) {
  if (camif_isMode(MODE_LIVE_VIEW)) {
    if (commandSignature != nullptr) *commandSignature = lastLiveViewCmdSignature;
    return ERRORCODE_SUCCESS;
  }
  DBGLOG("from %s\n", callerFunctionName);
  CameraGetSetModeMessageWithReason msg;
  errorCodes res = sendMode(MODE_LIVE_VIEW, reason, CAMIF_SET_MODE_TIMEOUT_MS, &msg);
  if (res != ERRORCODE_SUCCESS) return res;
  lastLiveViewCmdSignature = msg.header.commandSignature;
  if (commandSignature != nullptr) *commandSignature = lastLiveViewCmdSignature;
  changeCurrentMode((uint32_t)msg.mode, reason, nullptr);
  return ERRORCODE_SUCCESS;
}

errorCodes camifSend_MODE_TIME_LAPSE(const char* callerFunctionName, uint32_t reason) {
  if (camif_isMode(MODE_TIME_LAPSE)) return ERRORCODE_SUCCESS;
  DBGLOG("from %s\n", callerFunctionName);
  if (sysstateSystemState & sysstate_BatteryLowPreventRecording) {
    bleQueueDebugConsoleMsg("%s", "Battery low; cannot start time lapse");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  CameraGetSetModeMessageWithReason msg;
  errorCodes res = sendMode(MODE_TIME_LAPSE, reason, CAMIF_SET_MODE_TIMEOUT_MS, &msg);
  if (res != ERRORCODE_SUCCESS) return res;
  changeCurrentMode((uint32_t)msg.mode, reason, nullptr);
  return ERRORCODE_SUCCESS;
}

errorCodes camifSend_MODE_LIVE_VIEW_W_SETTINGS(const char* callerFunctionName, uint32_t resolution,
                                               uint32_t frame_count, uint32_t* commandSignature) {
  if (frame_count == 0) {
    if (camif_isMode(MODE_IDLE)) {
      if (commandSignature != nullptr) *commandSignature = lastCmdSignature;
      return ERRORCODE_SUCCESS;
    }
    // Stop what runs, whatever resolution the caller named.
    resolution = lastResolution;
  } else if (camif_isMode(MODE_LIVE_VIEW) && lastResolution == resolution) {
    // Already running at that resolution; the new frame count is not sent.
    if (commandSignature != nullptr) *commandSignature = lastCmdSignature;
    return ERRORCODE_SUCCESS;
  }

  DBGLOG("from %s:: res: %u, frames: %u\n", callerFunctionName, (unsigned)resolution,
         (unsigned)frame_count);
  CameraGetSetLiveViewModeMessage msg;
  memset(&msg, 0, sizeof msg);
  msg.resolution = resolution;
  msg.frame_count = frame_count;
  errorCodes res = stmsgTxRx_debugPrint(&msg, sizeof msg, CMD_setLiveViewMode, &msg, sizeof msg,
                                        CAMIF_LIVE_VIEW_TIMEOUT_MS);
  if (res != ERRORCODE_SUCCESS) return res;

  uint32_t gotFrames = msg.frame_count;
  uint32_t gotResolution = msg.resolution;
  if (gotFrames != frame_count || gotResolution != resolution) {
    DBGLOG("Unable to request %u frames at %u resolution; frame count: %u; resolution: %u\n",
           (unsigned)frame_count, (unsigned)resolution, (unsigned)gotFrames,
           (unsigned)gotResolution);
    return ERRORCODE_TEMPORARY_ERROR;
  }
  lastCmdSignature = msg.header.commandSignature;
  if (commandSignature != nullptr) *commandSignature = lastCmdSignature;
  lastResolution = gotResolution;
  changeCurrentMode(frame_count != 0 ? MODE_LIVE_VIEW : MODE_IDLE, MODE_REASON_NA, nullptr);
  return ERRORCODE_SUCCESS;
}

errorCodes camifStopLiveView(const char* callerFunctionName) {
  if (camif_isMode(MODE_IDLE)) return ERRORCODE_SUCCESS;
  DBGLOG("from %s\n", callerFunctionName);
  return camifSend_MODE_LIVE_VIEW_W_SETTINGS(__func__, CAMIF_STOP_LIVE_VIEW_RESOLUTION, 0, nullptr);
}

// A name as the STM32 takes it: at most 12 characters, always terminated.
static void copyFilename(char* dest, const filename_t* src) {
  strncpy(dest, *src, sizeof(filename_t) - 1);
  dest[sizeof(filename_t) - 1] = '\0';
}

errorCodes camifGetDirectory(filename_t* filename, uint32_t* cameraMessageCommandSignature) {
  if (filename == nullptr) return ERRORCODE_TEMPORARY_ERROR;
  os_sem_wait(&directoryMutex);
  memset(&directoryMsg, 0, sizeof directoryMsg);
  copyFilename(directoryMsg.filename, filename);
  DBGLOG("reading directory: %s\n", directoryMsg.filename);
  errorCodes res =
      stmsgTxRx_debugPrint(&directoryMsg, sizeof directoryMsg, CMD_getSD_Directory1, &directoryMsg,
                           sizeof directoryMsg, CAMIF_DIRECTORY_TIMEOUT_MS);
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("ERROR!! Failed to read directory");
  } else if (cameraMessageCommandSignature != nullptr) {
    *cameraMessageCommandSignature = directoryMsg.header.commandSignature;
  }
  os_sem_post(&directoryMutex);
  return res;
}

errorCodes camifDeleteFileFromSDCard(filename_t* filename, dataAuthority_t authority) {
  if (filename == nullptr) return ERRORCODE_TEMPORARY_ERROR;
  os_sem_wait(&deleteMutex);
  filename_t name;
  copyFilename(name, filename);
  memset(&deleteMsg, 0, sizeof deleteMsg);
  memcpy(deleteMsg.filename, name, sizeof name);
  errorCodes res = stmsgTxRx_debugPrint(&deleteMsg, sizeof deleteMsg, CMD_DeleteFileFromSDCard,
                                        &deleteMsg, sizeof deleteMsg, CAMIF_DELETE_TIMEOUT_MS);
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! failed to delete file from SD card; result: %d\n", res);
  } else {
    uint32_t s = os_irq_disable();
    memcpy(lastFileDeleted, name, sizeof name);
    os_irq_restore(s);
    // Whoever asked knows already; everyone else is told.
    if (authority != DATA_AUTHORITY_BLE) {
      logStateChange(bleQueueStateChangeMsg(BLE_STATE_CHANGE_DELETE_FILE_RESULT),
                     "BLE_STATE_CHANGE_DELETE_FILE_RESULT");
    }
    if (authority != DATA_AUTHORITY_WiFi) {
      statMarkStatusBits(KAStatus_directoryRefreshNeeded, 0xFFFFFFFFu);
    }
  }
  os_sem_post(&deleteMutex);
  return res;
}

void camifCopyLastDeletedFileFromSDCard(filename_t* dest) {
  if (dest == nullptr) return;
  uint32_t s = os_irq_disable();
  memcpy(*dest, lastFileDeleted, sizeof lastFileDeleted);
  os_irq_restore(s);
}
