// The command length table, the outgoing header and the queues both layers drain.
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"

#include <stddef.h>
#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"

#define UCSC_L2_QUEUE_SLOTS 5
#define UCSC_L3_QUEUE_SLOTS 23

systimer_t ucscTimeOfLastMsgFromCameraServer = SYSTIMER_NEVER;
systimer_t ucscTimeOfLastMsgToCameraServer = SYSTIMER_NEVER;
uint32_t ucscRxCount;
uint32_t ucscRxTooBigCount;
uint32_t ucscRxFragmentedCount;
uint32_t ucscTxCount;
uint32_t ucsc_layer2PacketQueueCount;
uint32_t ucsc_layer3PacketQueueCount;
int ucsc_layer2PacketQueueHandle = -1;
int ucsc_layer3PacketQueueHandle = -1;

static incomingPacketStruct_t ucsc_layer2PacketQueueBuffers[UCSC_L2_QUEUE_SLOTS];
static incomingPacketStruct_t ucsc_layer3PacketQueueBuffers[UCSC_L3_QUEUE_SLOTS];

// The camera's datagram counter. Replies are prepared on the main thread and layer-2 messages on
// the "ucsl2" thread, so it only changes inside a critical section.
static uint32_t packetSequenceNumber;

void ucscResetStatistics(void) {
  ucscTimeOfLastMsgFromCameraServer = SYSTIMER_NEVER;
  ucscTimeOfLastMsgToCameraServer = SYSTIMER_NEVER;
  ucscRxCount = 0;
  ucscRxTooBigCount = 0;
  ucscRxFragmentedCount = 0;
  ucscTxCount = 0;
  ucsc_layer2PacketQueueCount = 0;
  ucsc_layer3PacketQueueCount = 0;
}

void ucscUDPCameraServerCommon_Init(void) {
  DBGLOG_ENTRY();
  ucscResetStatistics();
  ucsc_layer2PacketQueueHandle =
      iupqOpenQueue("L2PQ", ucsc_layer2PacketQueueBuffers, UCSC_L2_QUEUE_SLOTS);
  ucsc_layer3PacketQueueHandle =
      iupqOpenQueue("L3PQ", ucsc_layer3PacketQueueBuffers, UCSC_L3_QUEUE_SLOTS);
}

struct commandLengths {
  uint16_t id;
  uint8_t stc;
  uint8_t cts;
};

// Every accepted identifier with its datagram lengths; any other has none.
static const commandLengths kCommandLengths[] = {
    {cmdID_cts_stc_OpenSession, 68, 88},
    {cmdID_cts_stc_KeepAlive, 56, 36},
    {cmdID_cts_stc_LiveView, 44, 36},
    {cmdID_cts_stc_GetRegistrationCode, 32, 112},
    {cmdID_cts_stc_GetEnableRecording, 32, 36},
    {cmdID_cts_stc_SetEnableRecording, 36, 36},
    {cmdID_cts_stc_GetContrast, 32, 36},
    {cmdID_cts_stc_SetContrast, 36, 36},
    {cmdID_cts_stc_GetExposureValue, 32, 36},
    {cmdID_cts_stc_SetExposureValue, 36, 36},
    {cmdID_cts_stc_GetSaturation, 32, 36},
    {cmdID_cts_stc_SetSaturation, 36, 36},
    {cmdID_cts_stc_GetSharpness, 32, 36},
    {cmdID_cts_stc_SetSharpness, 36, 36},
    {cmdID_cts_stc_GetWhiteBalance, 32, 36},
    {cmdID_cts_stc_SetWhiteBalance, 36, 36},
    {cmdID_cts_stc_GetExposureMode, 32, 36},
    {cmdID_cts_stc_SetExposureMode, 36, 36},
    {cmdID_cts_stc_GetFileSplit, 32, 36},
    {cmdID_cts_stc_SetFileSplit, 36, 36},
    {cmdID_cts_stc_GetFlickerFilter, 32, 36},
    {cmdID_cts_stc_SetFlickerFilter, 36, 36},
    {cmdID_cts_stc_GetPlaybackRate, 32, 36},
    {cmdID_cts_stc_SetPlaybackRate, 36, 36},
    {cmdID_cts_stc_GetEmbedTimestamp, 32, 36},
    {cmdID_cts_stc_SetEmbedTimestamp, 36, 36},
    {cmdID_cts_stc_GetHdr, 32, 36},
    {cmdID_cts_stc_SetHdr, 36, 36},
    {cmdID_cts_stc_GetResolution, 32, 36},
    {cmdID_cts_stc_SetResolution, 36, 36},
    {cmdID_cts_stc_GetNoiseFilter, 32, 36},
    {cmdID_cts_stc_SetNoiseFilter, 36, 36},
    {cmdID_cts_stc_GetInterval, 32, 36},
    {cmdID_cts_stc_SetInterval, 36, 36},
    {cmdID_cts_stc_GetSchedule, 32, 48},
    {cmdID_cts_stc_SetSchedule, 48, 48},
    {cmdID_cts_stc_GetBatteryStatus, 32, 180},
    {cmdID_cts_stc_ClearKAStatus, 36, 32},
    {cmdID_cts_stc_StartTCPConnection, 36, 36},
    {cmdID_cts_stc_GetRecentFileStatus, 32, 60},
    {cmdID_cts_stc_GetSDCardStatus, 32, 44},
    {cmdID_cts_stc_SetWiFiParameters, 56, 56},
    {cmdID_cts_stc_GetWiFiParameters, 56, 56},
    {cmdID_cts_stc_GetStatisticsReport, 32, 112},
    {cmdID_cts_stc_SetAccessCode, 48, 48},
    {cmdID_cts_stc_GetFileInfo2, 48, 144},
    {cmdID_cts_stc_GetOverwriteOldFiles, 36, 36},
    {cmdID_cts_stc_SetOverwriteOldFiles, 36, 36},
    {cmdID_cts_stc_DeleteFileFromSDCard, 48, 36},
};

uint32_t ucscGetLengthFromCommandID(uint16_t id, udpDirection_t direction) {
  for (const commandLengths& c : kCommandLengths) {
    if (c.id == id) return direction == UDP_DIRECTION_STC ? c.stc : c.cts;
  }
  return 0;
}

bool ucscIsUserGeneratedUICommand(cmdID id) {
  switch (id) {
    case cmdID_cts_stc_LiveView:
    case cmdID_cts_stc_SetAccessCode:
    case cmdID_cts_stc_SetOverwriteOldFiles:
    case cmdID_cts_stc_DeleteFileFromSDCard:
      return true;
    default:
      return (id >= 107 && id <= 113) || (id >= 115 && id <= 123);
  }
}

// The identity words as bytes: the header is packed, so no pointer to its words is taken.
static const uint8_t* headerCameraID(const cts_stc_MessageHeader_t* hdr) {
  return (const uint8_t*)hdr + offsetof(cts_stc_MessageHeader_t, cameraID);
}

bool ucscIsAddressedToThisCamera(const cts_stc_MessageHeader_t* hdr) {
  const cameraID_t* id = ginfGet_cameraID();
  return id != nullptr && hdr != nullptr &&
         memcmp(headerCameraID(hdr), id->cameraID, sizeof id->cameraID) == 0;
}

bool ucscPrepareTXHeaderForCameraServer(const cts_stc_MessageHeader_t* rxMsgHeader,
                                        cts_stc_MessageHeader_t* txMsgHeader) {
  memset(txMsgHeader, 0, sizeof *txMsgHeader);
  const cameraID_t* id = ginfGet_cameraID();
  if (id == nullptr) {
    DBGLOG_TEXT("Error!! Camera ID hasn't been read yet");
    return false;
  }
  memcpy((uint8_t*)txMsgHeader + offsetof(cts_stc_MessageHeader_t, cameraID), id->cameraID,
         sizeof id->cameraID);
  bool restartNumbering = rxMsgHeader == nullptr;
  if (rxMsgHeader != nullptr) {
    if (memcmp(headerCameraID(rxMsgHeader), id->cameraID, sizeof id->cameraID) != 0) {
      uint16_t r[6];
      memcpy(r, headerCameraID(rxMsgHeader), sizeof r);
      const uint16_t* g = id->cameraID;
      DBGLOG("Camera ID in rxMsgHeader does not match our globalCameraID\nrxMsgHeader: "
             "%04X-%04X-%04X-%04X-%04X-%04X\n   globalCameraID: %04X-%04X-%04X-%04X-%04X-%04X\n",
             r[0], r[1], r[2], r[3], r[4], r[5], g[0], g[1], g[2], g[3], g[4], g[5]);
      return false;
    }
    ctsStcHeader_setCmdID(txMsgHeader, ctsStcHeader_getCmdID(rxMsgHeader));
    txMsgHeader->cmdSequenceNumber = rxMsgHeader->cmdSequenceNumber;
    txMsgHeader->serverMSecsSinceOpenSession = rxMsgHeader->serverMSecsSinceOpenSession;
  } else {
    ctsStcHeader_setCmdID(txMsgHeader, cmdID_cts_stc_OpenSession);
    txMsgHeader->cmdSequenceNumber = 1;
  }
  uint32_t irq = os_irq_disable();
  if (restartNumbering) packetSequenceNumber = 0;
  txMsgHeader->packetSequenceNumber = ++packetSequenceNumber;
  os_irq_restore(irq);
  txMsgHeader->cameraMSecsSinceBoot = (uint32_t)(os_systime64() / 1000);
  txMsgHeader->msgLength =
      (uint16_t)ucscGetLengthFromCommandID(ctsStcHeader_getCmdID(txMsgHeader), UDP_DIRECTION_CTS);
  return true;
}

void ucscMarkHeaderErrorBasedOnResult(cts_stc_MessageHeader_t* txMsgHeader, errorCodes result) {
  if (txMsgHeader == nullptr || result >= 0) return;
  if (result == ERRORCODE_PERSISTENT_ERROR || result == ERRORCODE_BAD_ARG ||
      result == ERRORCODE_BAD_CMD) {
    ctsStcHeader_setPersistentError(txMsgHeader, true);
  } else {
    ctsStcHeader_setTemporaryError(txMsgHeader, true);
  }
}
