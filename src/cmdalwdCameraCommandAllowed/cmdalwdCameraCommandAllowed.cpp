#include "cmdalwdCameraCommandAllowed/cmdalwdCameraCommandAllowed.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"

// The IDs that name no command in either form.
static bool isUnassignedBase(uint16_t base) {
  switch (base) {
    case 0:
    case CMD_INVALID_1:
    case CMD_INVALID_6:
    case CMD_INVALID_12:
    case CMD_INVALID_32:
    case CMD_INVALID_36:
    case CMD_INVALID_39:
    case CMD_INVALID_45:
      return true;
    default:
      return base > CMD_HIGHEST_ID;
  }
}

// SETs that change what is being recorded (capture, schedule, picture settings, clock, format,
// quality) or take the camera offline.
static bool isSetBlockedWhileRecording(uint16_t base) {
  switch (base) {
    case CMD_setImageParameters:
    case CMD_setCaptureParameters:
    case CMD_setSchedule:
    case CMD_focusScore:
    case CMD_format:
    case CMD_offline:
    case CMD_setDateTime8601:
    case CMD_setImageQuality:
      return true;
    default:
      return base >= CMD_setInterval && base <= CMD_setLiveViewMode;
  }
}

// The root-file operations rewrite the STM32's own files; they travel as GETs.
static bool isGetBlockedWhileRecording(uint16_t base) {
  return base == (CMD_rootFilesDelete & ~CMD_GET_BIT) ||
         base == (CMD_rootFileWrite & ~CMD_GET_BIT) ||
         base == (CMD_rootFilesRenameAndReboot & ~CMD_GET_BIT);
}

int32_t cmdalwdIsCameraCommandIDAllowed(uint16_t commandID, bool isCameraRecording) {
  if (!isCameraRecording) return CMDALWD_ALLOWED;

  uint16_t base = (uint16_t)(commandID & ~CMD_GET_BIT);
  bool isGet = (commandID & CMD_GET_BIT) != 0;
  if (isUnassignedBase(base)) {
    DBGLOG("  FREEZE -- Unrecognized command ID: %d\n\n\n", (int)commandID);
    return ERRORCODE_BAD_CMD;
  }
  if (isGet ? isGetBlockedWhileRecording(base) : isSetBlockedWhileRecording(base)) {
    return ERRORCODE_TEMPORARY_ERROR;
  }
  return CMDALWD_ALLOWED_WHILE_RECORDING;
}
