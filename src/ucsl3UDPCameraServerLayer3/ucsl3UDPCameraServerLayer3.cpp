// The command dispatcher: drains the layer-3 queue in arrival order, checks each command and
// answers it with its handler's reply. Commands wait in the queue while the camera ID is unknown.
#include "ucsl3UDPCameraServerLayer3/ucsl3UDPCameraServerLayer3.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "dbgudpDebugForUDPMessages/dbgudpDebugForUDPMessages.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chCommandHandlers.h"
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"
#include "utilities/utilities.h"

static uint8_t recvBuffer[UCSC_MAX_STC_MSG_BYTES];
static uint8_t replyBuffer[UCSC_MAX_CTS_MSG_BYTES];
static udpControlBlock_t ucsl3ControlBlock = {SYSTIMER_NEVER, recvBuffer, replyBuffer, 0, 0,
                                              sizeof replyBuffer};

static void processCommand(udpControlBlock_t* cb) {
  const cts_stc_MessageHeader_t* rx = (const cts_stc_MessageHeader_t*)cb->rxStcMsgPtr;
  cts_stc_MessageHeader_t* tx = (cts_stc_MessageHeader_t*)cb->txCtsMsgBuffer;
  cmdID id = ctsStcHeader_getCmdID(rx);
  uint32_t expected = ucscGetLengthFromCommandID(id, UDP_DIRECTION_STC);
  if (cb->rxStcMsgBytes != expected) {
    DBGLOG("ERROR!! length %u != expected %u for cmdID %u (%s); tossing packet\n",
           cb->rxStcMsgBytes, expected, id, dbgudpCmdIDtoString(id));
    return;
  }
  if (!ucscIsAddressedToThisCamera(rx)) {
    DBGLOG_TEXT("ERROR!! Camera ID incorrect");
    return;
  }
  if (!ucscPrepareTXHeaderForCameraServer(rx, tx)) return;
  cb->txCtsMsgBytes = tx->msgLength;
  DBGLOG("[ΔT %u] handling %s\n", mSecsSince(cb->timeReceived), dbgudpHeaderToString(rx));
  chHandler_t handler = chFindHandler(id);
  errorCodes result;
  if (handler == nullptr) {
    DBGLOG("ERROR!! Unknown command %u (0x%04X)\n", id, id);
    result = ERRORCODE_TEMPORARY_ERROR;
  } else {
    result = handler(cb);
  }
  ucscMarkHeaderErrorBasedOnResult(tx, result);
  DBGLOG("[ΔT %u] %s\n", mSecsSince(cb->timeReceived), dbgudpHeaderToString(tx));
  ucsl2UDPCameraServerLayer2_Send(cb);
}

systimer_t ucsl3UDPCameraServerLayer3_Poll(systimer_t /*next*/) {
  udpControlBlock_t* cb = &ucsl3ControlBlock;
  if (iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle) == 0) return chlvLiveView_Poll();
  if (ginfGet_cameraID() == nullptr) {
    DBGLOG_TEXT("Error!! Camera ID hasn't been read yet; can't process incoming command");
    return chlvLiveView_Poll();
  }
  while (iupqPopFromQueue(ucsc_layer3PacketQueueHandle, cb, 0)) {
    if ((sysstateSystemState & sysstate_WiFiConnectedToAP) == 0) continue;
    processCommand(cb);
  }
  return chlvLiveView_Poll();
}
