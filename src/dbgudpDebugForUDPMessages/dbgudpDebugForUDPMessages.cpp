// Short command names and the header dump for log lines.
#include "dbgudpDebugForUDPMessages/dbgudpDebugForUDPMessages.h"

#include <stdio.h>

#include "os.h"

struct cmdIDName {
  cmdID id;
  const char* name;
};

// Every identifier in use; the deprecated ones and GetFileInfo1 have no name.
static const cmdIDName kCmdIDNames[] = {
    {cmdID_cts_stc_OpenSession, "OpenSession"},
    {cmdID_cts_stc_KeepAlive, "KeepAlive"},
    {cmdID_cts_stc_LiveView, "LiveView"},
    {cmdID_cts_stc_GetRegistrationCode, "GetRegistrationCode"},
    {cmdID_cts_stc_GetEnableRecording, "GetEnableRecording"},
    {cmdID_cts_stc_SetEnableRecording, "SetEnableRecording"},
    {cmdID_cts_stc_GetContrast, "GetContrast"},
    {cmdID_cts_stc_SetContrast, "SetContrast"},
    {cmdID_cts_stc_GetExposureValue, "GetExposureValue"},
    {cmdID_cts_stc_SetExposureValue, "SetExposureValue"},
    {cmdID_cts_stc_GetSaturation, "GetSaturation"},
    {cmdID_cts_stc_SetSaturation, "SetSaturation"},
    {cmdID_cts_stc_GetSharpness, "GetSharpness"},
    {cmdID_cts_stc_SetSharpness, "SetSharpness"},
    {cmdID_cts_stc_GetWhiteBalance, "GetWhiteBalance"},
    {cmdID_cts_stc_SetWhiteBalance, "SetWhiteBalance"},
    {cmdID_cts_stc_GetExposureMode, "GetExposureMode"},
    {cmdID_cts_stc_SetExposureMode, "SetExposureMode"},
    {cmdID_cts_stc_GetFileSplit, "GetFileSplit"},
    {cmdID_cts_stc_SetFileSplit, "SetFileSplit"},
    {cmdID_cts_stc_GetFlickerFilter, "GetFlickerFilter"},
    {cmdID_cts_stc_SetFlickerFilter, "SetFlickerFilter"},
    {cmdID_cts_stc_GetPlaybackRate, "GetPlaybackRate"},
    {cmdID_cts_stc_SetPlaybackRate, "SetPlaybackRate"},
    {cmdID_cts_stc_GetEmbedTimestamp, "GetEmbedTimestamp"},
    {cmdID_cts_stc_SetEmbedTimestamp, "SetEmbedTimestamp"},
    {cmdID_cts_stc_GetHdr, "GetHdr"},
    {cmdID_cts_stc_SetHdr, "SetHdr"},
    {cmdID_cts_stc_GetResolution, "GetResolution"},
    {cmdID_cts_stc_SetResolution, "SetResolution"},
    {cmdID_cts_stc_GetNoiseFilter, "GetNoiseFilter"},
    {cmdID_cts_stc_SetNoiseFilter, "SetNoiseFilter"},
    {cmdID_cts_stc_GetInterval, "GetInterval"},
    {cmdID_cts_stc_SetInterval, "SetInterval"},
    {cmdID_cts_stc_GetSchedule, "GetSchedule"},
    {cmdID_cts_stc_SetSchedule, "SetSchedule"},
    {cmdID_cts_stc_GetBatteryStatus, "GetBatteryStatus_fw13955"},
    {cmdID_cts_stc_ClearKAStatus, "ClearKAStatus"},
    {cmdID_cts_stc_StartTCPConnection, "StartTCPConnection"},
    {cmdID_cts_stc_GetRecentFileStatus, "GetRecentFileStatus"},
    {cmdID_cts_stc_GetSDCardStatus, "GetSDCardStatus"},
    {cmdID_cts_stc_SetWiFiParameters, "SetWiFiParameters"},
    {cmdID_cts_stc_GetWiFiParameters, "GetWiFiParameters"},
    {cmdID_cts_stc_GetStatisticsReport, "GetStatisticsReport"},
    {cmdID_cts_stc_SetAccessCode, "SetAccessCode"},
    {cmdID_cts_stc_GetFileInfo2, "GetFileInfo2"},
    {cmdID_cts_stc_GetOverwriteOldFiles, "GetOverwriteOldFiles"},
    {cmdID_cts_stc_SetOverwriteOldFiles, "SetOverwriteOldFiles"},
    {cmdID_cts_stc_DeleteFileFromSDCard, "DeleteFileFromSDCard"},
};
static_assert(sizeof(kCmdIDNames) / sizeof(kCmdIDNames[0]) == 49, "49 named commands");

#define DBGUDP_HEADER_TEXT_SIZE 248

static char* headerText;  // allocated on first use
static char unknownCmdIDText[16];
static char emptyText[1];

const char* dbgudpCmdIDtoString(cmdID id) {
  for (size_t i = 0; i < sizeof(kCmdIDNames) / sizeof(kCmdIDNames[0]); i++) {
    if (kCmdIDNames[i].id == id) return kCmdIDNames[i].name;
  }
  snprintf(unknownCmdIDText, sizeof(unknownCmdIDText), "?cmdID? %u", (unsigned)id);
  return unknownCmdIDText;
}

char* dbgudpHeaderToString(const cts_stc_MessageHeader_t* hdr) {
  emptyText[0] = '\0';
  if (hdr == NULL) return emptyText;
  if (headerText == NULL) {
    headerText = (char*)os_alloc(DBGUDP_HEADER_TEXT_SIZE);
    if (headerText == NULL) return emptyText;  // tried again on the next call
  }
  snprintf(headerText, DBGUDP_HEADER_TEXT_SIZE,
           "cmd %s, cmdSeq %u, pktSeq %u, camMS %u, srvMS %u, "
           "%04X-%04X-%04X-%04X-%04X-%04X [%d]",
           dbgudpCmdIDtoString(ctsStcHeader_getCmdID(hdr)), (unsigned)hdr->cmdSequenceNumber,
           (unsigned)hdr->packetSequenceNumber, (unsigned)hdr->cameraMSecsSinceBoot,
           (unsigned)hdr->serverMSecsSinceOpenSession, (unsigned)hdr->cameraID[0],
           (unsigned)hdr->cameraID[1], (unsigned)hdr->cameraID[2], (unsigned)hdr->cameraID[3],
           (unsigned)hdr->cameraID[4], (unsigned)hdr->cameraID[5],
           (int)hdr->msgLength - CTS_STC_HEADER_SIZE);
  return headerText;
}
