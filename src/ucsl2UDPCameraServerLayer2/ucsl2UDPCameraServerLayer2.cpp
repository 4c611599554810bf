// The "ucsl2" thread: drains the layer-2 queue and runs the session machine at least every 4 s.
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "dbgudpDebugForUDPMessages/dbgudpDebugForUDPMessages.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"
#include "ucsl2UDPCameraServerLayer2/KeepAlive/csKeepAlive.h"
#include "ucsl2UDPCameraServerLayer2/OpenSession/csOpenSession.h"
#include "utilities/utilities.h"

#define UCSL2_THREAD_PRIORITY 5
#define UCSL2_THREAD_STACK 2048
#define UCSL2_QUEUE_WAIT_MSECS 4000

static uint8_t recvBuffer[UCSC_MAX_STC_MSG_BYTES];
static uint8_t replyBuffer[UCSC_MAX_CTS_MSG_BYTES];
static udpControlBlock_t ucsl2ControlBlock;

void ucsl2UDPCameraServerLayer2_Init(void) {
  DBGLOG_ENTRY();
  ucsl2ControlBlock.timeReceived = SYSTIMER_NEVER;
  ucsl2ControlBlock.rxStcMsgPtr = recvBuffer;
  ucsl2ControlBlock.txCtsMsgBuffer = replyBuffer;
  ucsl2ControlBlock.txCtsMsgBufferSize = sizeof replyBuffer;
  csKeepAlive_Init();
  OpenSession_Init();
}

bool ucsl2UDPCameraServerLayer2_Send(udpControlBlock_t* controlBlock) {
  if ((sysstateSystemState & sysstate_WiFiConnectedToAP) == 0) {
    DBGLOG_TEXT("ERROR!! WiFi not connected; cannot send UDP message");
    return false;
  }
  return ucsl1UDPSend(controlBlock, &serverAddress.ip_addr, serverAddress.port);
}

static void handleMessage(udpControlBlock_t* cb) {
  const cts_stc_MessageHeader_t* hdr = (const cts_stc_MessageHeader_t*)cb->rxStcMsgPtr;
  DBGLOG("[ΔT %u] handling %s\n", mSecsSince(cb->timeReceived), dbgudpHeaderToString(hdr));
  cmdID id = ctsStcHeader_getCmdID(hdr);
  uint32_t expected = ucscGetLengthFromCommandID(id, UDP_DIRECTION_STC);
  if (cb->rxStcMsgBytes != expected) {
    DBGLOG("ERROR!! length %u != expected %u; tossing packet\n", cb->rxStcMsgBytes, expected);
    return;
  }
  switch (id) {
    case cmdID_cts_stc_KeepAlive:
    case cmdID_cts_stc_ClearKAStatus:
      KeepAlive_ProcessCommand(cb);
      break;
    case cmdID_cts_stc_OpenSession:
      OpenSession_ProcessCommand(cb);
      break;
    default:
      DBGLOG("ERROR!! tossing bad L2 cmdID %u (%s); %s\n", id, dbgudpCmdIDtoString(id),
             dbgudpHeaderToString(hdr));
      break;
  }
}

static void* ucsl2_thread(void* /*arg*/) {
  for (;;) {
    udpControlBlock_t* cb = &ucsl2ControlBlock;
    if (!iupqPopFromQueue(ucsc_layer2PacketQueueHandle, cb, UCSL2_QUEUE_WAIT_MSECS)) {
      OpenSession_PollFromParent(cb);
      continue;
    }
    if ((sysstateSystemState & sysstate_WiFiConnectedToAP) == 0) continue;
    handleMessage(cb);
    OpenSession_PollFromParent(cb);
  }
  return nullptr;
}

void ucsl2UDPCameraServerLayer2_StartThreads(void) {
  if (os_create_thread("ucsl2", ucsl2_thread, nullptr, UCSL2_THREAD_PRIORITY, UCSL2_THREAD_STACK) ==
      nullptr) {
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for ucsl2_thread");
  }
}
