// The command handlers. Most delegate: settings kept in the configuration mirror go through its
// setters, the rest straight to the STM32, whose answer is what the reply reports.
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chCommandHandlers.h"

#include <stddef.h>
#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"
#include "wifiWiFi/wifiWiFi.h"

#define CH_STM32_TIMEOUT_MS 2000

static cmdID requestID(const udpControlBlock_t* cb) {
  return ctsStcHeader_getCmdID((const cts_stc_MessageHeader_t*)cb->rxStcMsgPtr);
}

static errorCodes unexpectedCmdID(void) {
  DBGLOG("ERROR!! Unexpected cmdID passed from layer 3\n");
  return ERRORCODE_TEMPORARY_ERROR;
}

// ---- Settings the STM32 answers for itself ------------------------------------------------------

// The STM32's get and set of one signed setting; the reply carries what the STM32 answers.
struct stmSetting {
  uint16_t getID, setID;
  uint16_t stGet, stSet;
  const char* failText;
};

// All six messages are the STM32 header followed by one 32-bit value at 12.
static errorCodes oneSettingOnSTM32(udpControlBlock_t* cb, const stmSetting& s, void* msg) {
  uint8_t* msgValue = (uint8_t*)msg + sizeof(CameraMessageHeader);
  cmdID id = requestID(cb);
  uint16_t command;
  if (id == s.getID) {
    command = s.stGet;
  } else if (id == s.setID) {
    command = s.stSet;
    memcpy(msgValue, cb->rxStcMsgPtr + CTS_STC_HEADER_SIZE, sizeof(int32_t));
  } else {
    return unexpectedCmdID();
  }
  errorCodes result = stmsgTxRx_debugPrint(msg, 16, command, msg, 16, CH_STM32_TIMEOUT_MS);
  if (result != ERRORCODE_SUCCESS) {
    DBGLOG(s.failText, result);
    return result;
  }
  memcpy(cb->txCtsMsgBuffer + CTS_STC_HEADER_SIZE, msgValue, sizeof(int32_t));
  return ERRORCODE_SUCCESS;
}

#define CH_STM32_SETTING(handler, msgType, field, get, set, stGet, stSet, text)         \
  static errorCodes handler(udpControlBlock_t* cb) {                                   \
    static msgType msg;                                                                \
    static const stmSetting s = {get, set, stGet, stSet, "ERROR!! failed to set " text \
                                                         "; result: %d\n"};            \
    static_assert(offsetof(msgType, field) == sizeof(CameraMessageHeader), #field);    \
    return oneSettingOnSTM32(cb, s, &msg);                                             \
  }

CH_STM32_SETTING(chconContrast, CameraGetSetContrastMessage, contrast, cmdID_cts_stc_GetContrast,
                 cmdID_cts_stc_SetContrast, CMD_getContrast, CMD_setContrast, "contrast")
CH_STM32_SETTING(chexvExposureValue, CameraGetSetExposureValueMessage, expoValue,
                 cmdID_cts_stc_GetExposureValue, cmdID_cts_stc_SetExposureValue,
                 CMD_getExposureValue, CMD_setExposureValue, "exposure value")
CH_STM32_SETTING(chwhWhiteBalance, CameraGetSetWhiteBalanceMessage, whiteBalance,
                 cmdID_cts_stc_GetWhiteBalance, cmdID_cts_stc_SetWhiteBalance, CMD_getWhiteBalance,
                 CMD_setWhiteBalance, "white balance")
CH_STM32_SETTING(chhdrHDR, CameraGetSetHDRMessage, hdr, cmdID_cts_stc_GetHdr, cmdID_cts_stc_SetHdr,
                 CMD_getHDR, CMD_setHDR, "hdr")
CH_STM32_SETTING(chresResolution, CameraGetSetResolutionMessage, resolution,
                 cmdID_cts_stc_GetResolution, cmdID_cts_stc_SetResolution, CMD_getResolution,
                 CMD_setResolution, "resolution")
CH_STM32_SETTING(chnfNoiseFilter, CameraGetSetNoiseFilterMessage, noiseFilter,
                 cmdID_cts_stc_GetNoiseFilter, cmdID_cts_stc_SetNoiseFilter, CMD_getNoiseFilter,
                 CMD_setNoiseFilter, "noise filter")

// ---- Settings kept in the configuration mirror --------------------------------------------------

struct mirrorSetting {
  uint16_t getID, setID;
  errorCodes (*set)(const uint32_t* value, dataAuthority_t authority);
  bool (*copy)(uint32_t* dest);
};

static errorCodes oneSettingInMirror(udpControlBlock_t* cb, const mirrorSetting& s) {
  cmdID id = requestID(cb);
  if (id != s.getID && id != s.setID) return unexpectedCmdID();
  if (id == s.setID) {
    uint32_t wanted = ((const cts_stc_OneValue_t*)cb->rxStcMsgPtr)->value;
    errorCodes result = s.set(&wanted, DATA_AUTHORITY_WiFi);
    if (result != ERRORCODE_SUCCESS) return result;
  }
  uint32_t value;
  if (!s.copy(&value)) return ERRORCODE_TEMPORARY_ERROR;
  ((cts_stc_OneValue_t*)cb->txCtsMsgBuffer)->value = value;
  return ERRORCODE_SUCCESS;
}

#define CH_MIRROR_SETTING(handler, get, set, setFn, copyFn)         \
  static errorCodes handler(udpControlBlock_t* cb) {                \
    static const mirrorSetting s = {get, set, setFn, copyFn};       \
    return oneSettingInMirror(cb, s);                               \
  }

CH_MIRROR_SETTING(chsatSaturation, cmdID_cts_stc_GetSaturation, cmdID_cts_stc_SetSaturation,
                  ginfSaturation, ginfCopy_saturation)
CH_MIRROR_SETTING(chshSharpness, cmdID_cts_stc_GetSharpness, cmdID_cts_stc_SetSharpness,
                  ginfSharpness, ginfCopy_sharpness)
CH_MIRROR_SETTING(chexmExposureMode, cmdID_cts_stc_GetExposureMode, cmdID_cts_stc_SetExposureMode,
                  ginfExposureMode, ginfCopy_exposureMode)
CH_MIRROR_SETTING(chfsFileSplit, cmdID_cts_stc_GetFileSplit, cmdID_cts_stc_SetFileSplit,
                  ginfFileSplit, ginfCopy_fileSplit)
CH_MIRROR_SETTING(chffFlickerFilter, cmdID_cts_stc_GetFlickerFilter,
                  cmdID_cts_stc_SetFlickerFilter, ginfFlickerFilter, ginfCopy_flickerFilter)
CH_MIRROR_SETTING(chprPlaybackRate, cmdID_cts_stc_GetPlaybackRate, cmdID_cts_stc_SetPlaybackRate,
                  ginfPlaybackRate, ginfCopy_playbackRate)
CH_MIRROR_SETTING(chetsEmbedTimestamp, cmdID_cts_stc_GetEmbedTimestamp,
                  cmdID_cts_stc_SetEmbedTimestamp, ginfEmbedTimestamp, ginfCopy_embedTimestamp)
CH_MIRROR_SETTING(chovwOverwriteOldFiles, cmdID_cts_stc_GetOverwriteOldFiles,
                  cmdID_cts_stc_SetOverwriteOldFiles, ginfOverwriteOldFiles,
                  ginfCopy_overwriteOldFiles)

// A successful SetInterval answers with the value asked for, not the mirror's.
static errorCodes chinInterval(udpControlBlock_t* cb) {
  cmdID id = requestID(cb);
  cts_stc_OneValue_t* reply = (cts_stc_OneValue_t*)cb->txCtsMsgBuffer;
  if (id == cmdID_cts_stc_SetInterval) {
    int32_t wanted = ((const cts_stc_OneValue_t*)cb->rxStcMsgPtr)->intervalSecs;
    errorCodes result = ginfInterval(&wanted, DATA_AUTHORITY_WiFi);
    if (result != ERRORCODE_SUCCESS) return result;
    reply->intervalSecs = wanted;
    return ERRORCODE_SUCCESS;
  }
  if (id != cmdID_cts_stc_GetInterval) return unexpectedCmdID();
  int32_t value;
  if (!ginfCopy_interval(&value)) return ERRORCODE_TEMPORARY_ERROR;
  reply->intervalSecs = value;
  return ERRORCODE_SUCCESS;
}

static errorCodes chschSchedule(udpControlBlock_t* cb) {
  cmdID id = requestID(cb);
  if (id != cmdID_cts_stc_GetSchedule && id != cmdID_cts_stc_SetSchedule) return unexpectedCmdID();
  if (id == cmdID_cts_stc_SetSchedule) {
    schedule_t wanted = ((const cts_stc_Schedule_t*)cb->rxStcMsgPtr)->schedule;
    errorCodes result = ginfSchedule(&wanted, DATA_AUTHORITY_WiFi);
    if (result != ERRORCODE_SUCCESS) return result;
  }
  schedule_t value;
  if (!ginfCopy_schedule(&value)) return ERRORCODE_TEMPORARY_ERROR;
  ((cts_stc_Schedule_t*)cb->txCtsMsgBuffer)->schedule = value;
  return ERRORCODE_SUCCESS;
}

// ---- The other commands -------------------------------------------------------------------------

static errorCodes chrcRegistrationCode(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_GetRegistrationCode) return unexpectedCmdID();
  ctsGetRegistrationCode_fw14541_t* reply = (ctsGetRegistrationCode_fw14541_t*)cb->txCtsMsgBuffer;
  code_t code;
  MCS_UID_t user;
  if (!ginfCopy_registrationCode(&code)) {
    DBGLOG("ERROR!! Failed to copy registration code\n");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  memcpy(reply->code, code, sizeof code);
  if (!ginfCopy_userUID(&user)) {
    DBGLOG("ERROR!! Failed to copy user UID\n");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  memcpy(reply->userID, user, sizeof user);
  char codeText[sizeof code + 1];
  memcpy(codeText, code, sizeof code);
  codeText[sizeof code] = '\0';
  user[sizeof user - 1] = '\0';
  DBGLOG("Sending reg code '%s' and user UID '%s' to server\n", codeText, user);
  bleQueueDebugConsoleMsg("Reg info to server");
  return ERRORCODE_SUCCESS;
}

static errorCodes chrsRecordingStatus(udpControlBlock_t* cb) {
  cmdID id = requestID(cb);
  if (id != cmdID_cts_stc_GetEnableRecording && id != cmdID_cts_stc_SetEnableRecording) {
    return unexpectedCmdID();
  }
  if (id == cmdID_cts_stc_SetEnableRecording) {
    uint32_t enable = ((const cts_stc_OneValue_t*)cb->rxStcMsgPtr)->enableRecording;
    errorCodes result = enable == 1
                            ? camifSend_MODE_TIME_LAPSE("chrsRecordingStatus", MODE_REASON_PWA)
                            : camifSend_MODE_IDLE("chrsRecordingStatus", MODE_REASON_PWA);
    if (result != ERRORCODE_SUCCESS) {
      DBGLOG("ERROR!! wasn't able to set recording state to %d\n", (int)enable);
      return result;
    }
  }
  ((cts_stc_OneValue_t*)cb->txCtsMsgBuffer)->enableRecording =
      (sysstateSystemState & sysstate_Recording) != 0 ? 1 : 0;
  return ERRORCODE_SUCCESS;
}

static errorCodes chbatBattery(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_GetBatteryStatus) return unexpectedCmdID();
  ctsGetBatteryStatus_fw13955_t* reply = (ctsGetBatteryStatus_fw13955_t*)cb->txCtsMsgBuffer;
  if (!i2cbatCopyFuelgauges(reply->batteries) ||
      !i2cbatCopyAdditionalBatteryInfo(&reply->additionalInfo)) {
    return ERRORCODE_TEMPORARY_ERROR;
  }
  return ERRORCODE_SUCCESS;
}

static errorCodes chtcpStartTCPConnection(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_StartTCPConnection) return unexpectedCmdID();
  uint16_t port = ((const stcStartTCPConnection_t*)cb->rxStcMsgPtr)->tcpPort;
  DBGLOG("tcpPort %u\n", port);
  ((ctsStartTCPConnection_t*)cb->txCtsMsgBuffer)->resultCode =
      tcpOpen("CameraServer", port) ? ERRORCODE_SUCCESS : ERRORCODE_TEMPORARY_ERROR;
  return ERRORCODE_SUCCESS;
}

static errorCodes chrfRecentFileStatus(udpControlBlock_t* cb) {
  static getRecentFileStatus_Message msg;
  if (requestID(cb) != cmdID_cts_stc_GetRecentFileStatus) return unexpectedCmdID();
  errorCodes result = stmsgTxRx_debugPrint(&msg, sizeof msg, CMD_getRecentFileStatus, &msg,
                                           sizeof msg, CH_STM32_TIMEOUT_MS);
  if (result != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! failed to get file info; ERR: %d\n", result);
    return result;
  }
  char name[sizeof(filename_t) + 1];
  memcpy(name, msg.newestFile.fileInfo.filename, sizeof(filename_t));
  name[sizeof(filename_t)] = '\0';
  DBGLOG("name: %s, size: %u, frames: %u, date: %u\n", name,
         (unsigned)msg.newestFile.fileInfo.fileSize, (unsigned)msg.newestFile.numFrames,
         (unsigned)msg.newestFile.fileInfo.fileTimeDate);
  memcpy(&((ctsGetRecentFileStatus_t*)cb->txCtsMsgBuffer)->newestFile, &msg.newestFile,
         sizeof msg.newestFile);
  return ERRORCODE_SUCCESS;
}

static errorCodes chsdSDCardStatus(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_GetSDCardStatus) return unexpectedCmdID();
  ctsGetSDCardStatus_t* reply = (ctsGetSDCardStatus_t*)cb->txCtsMsgBuffer;
  sdcardspace_t space;
  if (!ginfCopy_sdcardspace(&space)) return ERRORCODE_TEMPORARY_ERROR;
  int8_t noCard = ginfIsStatusSet(STATUS_NO_SD_CARD);
  if (noCard < 0) return ERRORCODE_TEMPORARY_ERROR;
  reply->isSDCardMounted = noCard ? 0 : 1;
  reply->sdCardSpace = space;
  DBGLOG("isSDCardMounted: %u, usedSpacePercent: %u, freeSpaceMB: %u, totalSpaceMB: %u\n",
         reply->isSDCardMounted, space.usedSpacePercent, (unsigned)space.freeSpaceMB,
         (unsigned)space.totalSpaceMB);
  return ERRORCODE_SUCCESS;
}

static errorCodes chwifiSetPowerParameters(udpControlBlock_t* cb) {
  cmdID id = requestID(cb);
  if (id != cmdID_cts_stc_SetWiFiParameters && id != cmdID_cts_stc_GetWiFiParameters) {
    return unexpectedCmdID();
  }
  if (id == cmdID_cts_stc_SetWiFiParameters) {
    wifiParameters_t wanted = ((const cts_stc_WiFiParameters_t*)cb->rxStcMsgPtr)->parameters;
    if (!wifiSetPowerParametersFromCameraServer(&wanted)) return ERRORCODE_TEMPORARY_ERROR;
  }
  wifiParameters_t inForce;
  wifiGetPowerParameters(&inForce);
  ((cts_stc_WiFiParameters_t*)cb->txCtsMsgBuffer)->parameters = inForce;
  return ERRORCODE_SUCCESS;
}

static errorCodes chsrStatisticsReport(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_GetStatisticsReport) return unexpectedCmdID();
  srReport_t report;
  srCopyUpdatedStatisticsReport(&report);
  srPrintStatisticsReport(&report);
  memcpy(&((ctsGetStatisticsReport_fw15144_t*)cb->txCtsMsgBuffer)->report, &report, sizeof report);
  return ERRORCODE_SUCCESS;
}

static errorCodes chacAccessCode(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_SetAccessCode) return unexpectedCmdID();
  cts_stc_AccessCode_t* reply = (cts_stc_AccessCode_t*)cb->txCtsMsgBuffer;
  code_t code;
  memcpy(code, ((const cts_stc_AccessCode_t*)cb->rxStcMsgPtr)->accessCode, sizeof code);
  memcpy(reply->accessCode, code, sizeof code);
  memset((uint8_t*)reply + CTS_STC_HEADER_SIZE, 0, 4);
  errorCodes result = ginfAccessCode(&code);
  if (result != ERRORCODE_SUCCESS && result != ERRORCODE_PERSISTENT_ERROR) return result;
  reply->rejectedBecauseConfigCode = result == ERRORCODE_PERSISTENT_ERROR ? 1 : 0;
  DBGLOG("locked: %d\n", (int)reply->rejectedBecauseConfigCode);
  return ERRORCODE_SUCCESS;
}

static errorCodes chfiFileInfo(udpControlBlock_t* cb) {
  static getFileInfo2_Message msg;
  if (requestID(cb) != cmdID_cts_stc_GetFileInfo2) return unexpectedCmdID();
  const stcGetFileInfo2_t* rx = (const stcGetFileInfo2_t*)cb->rxStcMsgPtr;
  ctsGetFileInfo2_t* reply = (ctsGetFileInfo2_t*)cb->txCtsMsgBuffer;
  memset(&msg, 0, sizeof msg);
  memcpy(msg.fileInfo.fileInfo.filename, rx->filename, sizeof(filename_t));
  errorCodes result = stmsgTxRx_debugPrint(&msg, sizeof msg, CMD_getFileInfo2, &msg, sizeof msg,
                                           CH_STM32_TIMEOUT_MS);
  if (result != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! failed to get file info; result: %d\n", result);
    reply->status = (int16_t)result;
    return ERRORCODE_SUCCESS;
  }
  memcpy(&reply->fileInfo, &msg.fileInfo, sizeof msg.fileInfo);
  reply->interval = msg.interval;
  reply->playbackRate = msg.playbackFrameRate;
  memcpy(reply->fileUID, msg.fileUID, sizeof reply->fileUID);
  memcpy(reply->dateTime8601, msg.dateTime8601, sizeof reply->dateTime8601);
  if (msg.dateTime8601[0] == '\0') {
    DBGLOG_TEXT("ERROR!! ST returned empty dateTime8601; rejecting");
    return ERRORCODE_PERSISTENT_ERROR;
  }
  reply->status = 0;
  if ((sysstateSystemState & sysstate_Recording) != 0) {
    CameraRecordingInfo_t info;
    errorCodes rec = ginfRecordingStatus_sendBatteryInfo(&info);
    if (rec != ERRORCODE_SUCCESS) {
      reply->status = (int16_t)rec;
      DBGLOG("ERROR!! failed to get recording info; result: %d\n", rec);
      return ERRORCODE_SUCCESS;
    }
    reply->status = info.isRecording &&
                            memcmp(info.currentFileName, rx->filename, sizeof(filename_t)) == 0
                        ? 1
                        : 0;
  }
  char name[sizeof(filename_t) + 1];
  memcpy(name, reply->fileInfo.fileInfo.filename, sizeof(filename_t));
  name[sizeof(filename_t)] = '\0';
  char date[sizeof(dateTime8601_t) + 1];
  memcpy(date, reply->dateTime8601, sizeof(dateTime8601_t));
  date[sizeof(dateTime8601_t)] = '\0';
  DBGLOG("FILE %s: frames %d, size %d, date %d, interval %d, status %d playbackRate %d "
         "dateTime8601 %s\n",
         name, (int)reply->fileInfo.numFrames, (int)reply->fileInfo.fileInfo.fileSize,
         (int)reply->fileInfo.fileInfo.fileTimeDate, (int)reply->interval, reply->status,
         (int)reply->playbackRate, date);
  return ERRORCODE_SUCCESS;
}

static errorCodes chdelfiDeleteFileFromSDCard(udpControlBlock_t* cb) {
  if (requestID(cb) != cmdID_cts_stc_DeleteFileFromSDCard) return unexpectedCmdID();
  filename_t name;
  memcpy(name, ((const stcDeleteFileFromSDCard_t*)cb->rxStcMsgPtr)->filename, sizeof name);
  name[sizeof name - 1] = '\0';
  errorCodes result = camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_WiFi);
  if (result != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! failed to delete file from SD card; result: %d\n", result);
  }
  ((ctsDeleteFileFromSDCard_t*)cb->txCtsMsgBuffer)->resultCode = result;
  return ERRORCODE_SUCCESS;
}

struct handlerEntry {
  uint16_t id;
  chHandler_t handler;
};

static const handlerEntry kHandlers[] = {
    {cmdID_cts_stc_LiveView, chlvLiveView},
    {cmdID_cts_stc_GetRegistrationCode, chrcRegistrationCode},
    {cmdID_cts_stc_GetEnableRecording, chrsRecordingStatus},
    {cmdID_cts_stc_SetEnableRecording, chrsRecordingStatus},
    {cmdID_cts_stc_GetContrast, chconContrast},
    {cmdID_cts_stc_SetContrast, chconContrast},
    {cmdID_cts_stc_GetExposureValue, chexvExposureValue},
    {cmdID_cts_stc_SetExposureValue, chexvExposureValue},
    {cmdID_cts_stc_GetSaturation, chsatSaturation},
    {cmdID_cts_stc_SetSaturation, chsatSaturation},
    {cmdID_cts_stc_GetSharpness, chshSharpness},
    {cmdID_cts_stc_SetSharpness, chshSharpness},
    {cmdID_cts_stc_GetWhiteBalance, chwhWhiteBalance},
    {cmdID_cts_stc_SetWhiteBalance, chwhWhiteBalance},
    {cmdID_cts_stc_GetExposureMode, chexmExposureMode},
    {cmdID_cts_stc_SetExposureMode, chexmExposureMode},
    {cmdID_cts_stc_GetFileSplit, chfsFileSplit},
    {cmdID_cts_stc_SetFileSplit, chfsFileSplit},
    {cmdID_cts_stc_GetFlickerFilter, chffFlickerFilter},
    {cmdID_cts_stc_SetFlickerFilter, chffFlickerFilter},
    {cmdID_cts_stc_GetPlaybackRate, chprPlaybackRate},
    {cmdID_cts_stc_SetPlaybackRate, chprPlaybackRate},
    {cmdID_cts_stc_GetEmbedTimestamp, chetsEmbedTimestamp},
    {cmdID_cts_stc_SetEmbedTimestamp, chetsEmbedTimestamp},
    {cmdID_cts_stc_GetHdr, chhdrHDR},
    {cmdID_cts_stc_SetHdr, chhdrHDR},
    {cmdID_cts_stc_GetResolution, chresResolution},
    {cmdID_cts_stc_SetResolution, chresResolution},
    {cmdID_cts_stc_GetNoiseFilter, chnfNoiseFilter},
    {cmdID_cts_stc_SetNoiseFilter, chnfNoiseFilter},
    {cmdID_cts_stc_GetInterval, chinInterval},
    {cmdID_cts_stc_SetInterval, chinInterval},
    {cmdID_cts_stc_GetSchedule, chschSchedule},
    {cmdID_cts_stc_SetSchedule, chschSchedule},
    {cmdID_cts_stc_GetBatteryStatus, chbatBattery},
    {cmdID_cts_stc_StartTCPConnection, chtcpStartTCPConnection},
    {cmdID_cts_stc_GetRecentFileStatus, chrfRecentFileStatus},
    {cmdID_cts_stc_GetSDCardStatus, chsdSDCardStatus},
    {cmdID_cts_stc_SetWiFiParameters, chwifiSetPowerParameters},
    {cmdID_cts_stc_GetWiFiParameters, chwifiSetPowerParameters},
    {cmdID_cts_stc_GetStatisticsReport, chsrStatisticsReport},
    {cmdID_cts_stc_SetAccessCode, chacAccessCode},
    {cmdID_cts_stc_GetFileInfo2, chfiFileInfo},
    {cmdID_cts_stc_GetOverwriteOldFiles, chovwOverwriteOldFiles},
    {cmdID_cts_stc_SetOverwriteOldFiles, chovwOverwriteOldFiles},
    {cmdID_cts_stc_DeleteFileFromSDCard, chdelfiDeleteFileFromSDCard},
};

chHandler_t chFindHandler(uint16_t id) {
  for (const handlerEntry& e : kHandlers) {
    if (e.id == id) return e.handler;
  }
  return nullptr;
}
