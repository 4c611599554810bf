// The UDP endpoint. Every lwIP call runs on lwIP's thread: the receive callback does by nature,
// and opening and sending are handed over with tcpip_callback while the caller waits.
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "dbgudpDebugForUDPMessages/dbgudpDebugForUDPMessages.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"
#include "lwip/tcpip.h"
#include "lwip/udp.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "utilities/utilities.h"
#include "wifiWiFi/wifiWiFi.h"

#define UCSL1_WORKER_TIMEOUT_USECS 60000000u

struct UDPmessage_t {
  udpControlBlock_t* controlBlock;
  const ip_addr_t* addr;
  uint16_t port;
  err_t errorResult;
};

struct udp_pcb* ucsl1PCB;
// Only the receive callback touches it.
static uint32_t highestCMDSeqNum;
static os_semaphore lockForSending_semaphore;
static os_semaphore waitFor_OpenWorker;
static os_semaphore waitFor_SendWorker;
static UDPmessage_t ucsl1SendRequest;

void ucsl1UDPCameraServerLayer1_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&lockForSending_semaphore, 1);
}

static void ucsl1UDPCameraServerLayer1_OpenWorker(void* /*ctx*/) {
  struct udp_pcb* pcb = udp_new();
  if (pcb == nullptr) {
    DBGLOG_TEXT("ERROR!! failed to create a PCB");
  } else {
    err_t err = udp_bind(pcb, IP_ANY_TYPE, UCSL1_CAMERA_SERVER_PORT);
    if (err != ERR_OK) {
      udp_remove(pcb);
      if (err == ERR_USE) {
        DBGLOG_TEXT("ERROR!! The specified ipaddr and port are already bound to by another UDP PCB");
      } else {
        DBGLOG("ERROR!! Something went wrong when binding to port %d with ERR_ENUM: %d\n",
               UCSL1_CAMERA_SERVER_PORT, err);
      }
    } else {
      udp_recv(pcb, ucsl1ReceivedCallback, nullptr);
      ucsl1PCB = pcb;
    }
  }
  os_sem_post(&waitFor_OpenWorker);
}

bool ucsl1UDPCameraServerLayer1_Open(void) {
  os_sem_init(&waitFor_OpenWorker, 0);
  err_t err = tcpip_callback(ucsl1UDPCameraServerLayer1_OpenWorker, nullptr);
  if (err != ERR_OK) {
    DBGLOG("ERROR!! tcpip callback wasn't queued; err_enum_t: %d\n", err);
    return false;
  }
  if (os_sem_wait_timeout(&waitFor_OpenWorker, UCSL1_WORKER_TIMEOUT_USECS) != 0) {
    DBGLOG("ERROR!! Timed out waiting for ucsl1UDPCameraServerLayer1_OpenWorker to complete\n");
    return false;
  }
  if (ucsl1PCB == nullptr) return false;
  DBGLOG("UDP pcb opened successfully on port: %u\n", UCSL1_CAMERA_SERVER_PORT);
  return true;
}

static void UDPSendWorker(void* /*ctx*/) {
  UDPmessage_t* req = &ucsl1SendRequest;
  udpControlBlock_t* cb = req->controlBlock;
  struct pbuf* p = pbuf_alloc(PBUF_TRANSPORT, cb->txCtsMsgBytes, PBUF_RAM);
  if (p == nullptr) {
    DBGLOG_TEXT("ERROR!! UDP message unable to send. Not enough memory for pbuf_alloc");
    req->errorResult = ERR_MEM;
    os_sem_post(&waitFor_SendWorker);
    return;
  }
  err_t err = pbuf_take(p, cb->txCtsMsgBuffer, cb->txCtsMsgBytes);
  if (err != ERR_OK) {
    DBGLOG_TEXT("ERROR!! UDP message unable to send. Not enough memory in allocated pbuf for data");
    req->errorResult = err;
  } else {
    ucscTxCount++;
    ucscTimeOfLastMsgToCameraServer = os_systime64();
    err = udp_sendto(ucsl1PCB, p, req->addr, req->port);
    const cts_stc_MessageHeader_t* hdr = (const cts_stc_MessageHeader_t*)cb->txCtsMsgBuffer;
    if (err != ERR_OK) {
      req->errorResult = err;
      DBGLOG("ERR_ENUM: %d; hdr %s\n", err, dbgudpHeaderToString(hdr));
    } else {
      uint32_t dt = 0;
      if (cb->timeReceived != SYSTIMER_NEVER && cb->timeReceived <= os_systime64()) {
        uint64_t ms = (os_systime64() - cb->timeReceived) / 1000;
        dt = ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)ms;
      }
      const char* marker = ctsStcHeader_getTemporaryError(hdr)    ? "tempErr "
                           : ctsStcHeader_getPersistentError(hdr) ? "persistErr "
                                                                  : "";
      DBGLOG("[ΔT %u] %ssent: %s (port %u addr %s)\n", dt, marker, dbgudpHeaderToString(hdr),
             req->port, ipaddr_ntoa(req->addr));
    }
  }
  pbuf_free(p);
  os_sem_post(&waitFor_SendWorker);
}

bool ucsl1UDPSend(udpControlBlock_t* controlBlock, const ip_addr_t* addr, uint16_t port) {
  if ((sysstateSystemState & sysstate_WiFiConnectedToAP) == 0) {
    DBGLOG_TEXT("ERROR!! WiFi not connected; cannot send UDP message");
    return false;
  }
  if (controlBlock == nullptr || controlBlock->txCtsMsgBytes == 0 ||
      controlBlock->txCtsMsgBuffer == nullptr ||
      controlBlock->txCtsMsgBytes > controlBlock->txCtsMsgBufferSize || addr == nullptr) {
    DBGLOG_TEXT("ERROR!! bad control block");
    return false;
  }
  if (ucsl1PCB == nullptr && !ucsl1UDPCameraServerLayer1_Open()) return false;

  os_sem_wait(&lockForSending_semaphore);
  ucsl1SendRequest.controlBlock = controlBlock;
  ucsl1SendRequest.addr = addr;
  ucsl1SendRequest.port = port;
  ucsl1SendRequest.errorResult = ERR_OK;
  os_sem_init(&waitFor_SendWorker, 0);
  err_t err = tcpip_callback(UDPSendWorker, nullptr);
  if (err != ERR_OK) {
    DBGLOG("ERROR!! tcpip callback wasn't queued; err_enum_t: %d\n", err);
    os_sem_post(&lockForSending_semaphore);
    return false;
  }
  if (os_sem_wait_timeout(&waitFor_SendWorker, UCSL1_WORKER_TIMEOUT_USECS) != 0) {
    DBGLOG_TEXT("ERROR!! Timed out waiting for UDPSendWorker to complete");
    os_sem_post(&lockForSending_semaphore);
    return false;
  }
  bool sent = ucsl1SendRequest.errorResult == ERR_OK;
  os_sem_post(&lockForSending_semaphore);
  return sent;
}

// Files an accepted datagram into the queue of the layer that handles it.
static void ucsl1AddMessageToQueue(const stcAllMessages_t* msg, uint32_t len, const ip_addr_t* addr,
                                   u16_t port, systimer_t* now) {
  cmdID id = ctsStcHeader_getCmdID(&msg->header);
  const uint8_t* bytes = (const uint8_t*)msg;
  if (id == cmdID_cts_stc_OpenSession || id == cmdID_cts_stc_KeepAlive ||
      id == cmdID_cts_stc_ClearKAStatus) {
    if (iupqPushToQueue(ucsc_layer2PacketQueueHandle, bytes, len, addr, port, now)) {
      ucsc_layer2PacketQueueCount++;
    } else {
      DBGLOG("ERROR!! L2 queue full: %s\n", dbgudpHeaderToString(&msg->header));
    }
    return;
  }
  if (ucscIsUserGeneratedUICommand(id)) {
    wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD, now);
  }
  if (iupqPushToQueue(ucsc_layer3PacketQueueHandle, bytes, len, addr, port, now)) {
    mtcWakeUpMainThread("ucsl1AddMessageToQueue");
    ucsc_layer3PacketQueueCount++;
  } else {
    DBGLOG("ERROR!! L3 queue full: %s\n", dbgudpHeaderToString(&msg->header));
  }
}

void ucsl1ReceivedCallback(void* /*arg*/, struct udp_pcb* pcb, struct pbuf* p,
                           const ip_addr_t* addr, u16_t port) {
  if (p == nullptr) return;
  systimer_t now = os_systime64();
  ucscRxCount++;
  // Everything below reads this copy: zero beyond what arrived, never past the largest message.
  stcAllMessages_t msg;
  memset(&msg, 0, sizeof msg);
  uint16_t total = p->tot_len;
  pbuf_copy_partial(p, &msg, total < sizeof msg ? total : (u16_t)sizeof msg, 0);

  if (total > UCSC_MAX_STC_MSG_BYTES) {
    ucscRxTooBigCount++;
    DBGLOG("ERROR!! UDP message received was larger than max size: %u > %d (%s)\n", total,
           UCSC_MAX_STC_MSG_BYTES, dbgudpHeaderToString(&msg.header));
  } else if (p->len != total) {
    ucscRxFragmentedCount++;
    DBGLOG("ERROR!! UDP message received was fragmented: %u != %u\n", total, p->len);
  } else if (total == 0) {
    DBGLOG("ERROR!! UDP message received was empty\n");
  } else if (pcb != ucsl1PCB) {
    DBGLOG("ERROR!! UDP message received by an unexpected udp_pcb. expected port: %u, actual "
           "port: %u\n",
           ucsl1PCB != nullptr ? ucsl1PCB->local_port : 0, pcb != nullptr ? pcb->local_port : 0);
  } else if (total < CTS_STC_HEADER_SIZE) {
    // Without a whole header there is no command or sequence number to act on.
    DBGLOG("ERROR!! UDP message received was shorter than its header: %u < %d\n", total,
           CTS_STC_HEADER_SIZE);
  } else if (total != ucscGetLengthFromCommandID(ctsStcHeader_getCmdID(&msg.header),
                                                  UDP_DIRECTION_STC)) {
    // Only a datagram of its command's length may take part in the sequence rule: stray bytes
    // with a high number would otherwise make the camera toss every real command after them.
    DBGLOG("ERROR!! length %u != expected %u for cmdID %u (%s); tossing packet\n", total,
           (unsigned)ucscGetLengthFromCommandID(ctsStcHeader_getCmdID(&msg.header),
                                                UDP_DIRECTION_STC),
           ctsStcHeader_getCmdID(&msg.header),
           dbgudpCmdIDtoString(ctsStcHeader_getCmdID(&msg.header)));
  } else if (ginfGet_cameraID() != nullptr && !ucscIsAddressedToThisCamera(&msg.header)) {
    // Nor may a datagram for another camera; while the ID is unknown, the layers check later.
    DBGLOG_TEXT("ERROR!! Camera ID incorrect");
  } else {
    ucscTimeOfLastMsgFromCameraServer = now;
    cmdID id = ctsStcHeader_getCmdID(&msg.header);
    bool accept = true;
    if (id == cmdID_cts_stc_OpenSession) {
      DBGLOG("Rx OpenSession - Resetting highestCMDSeqNum to 0\n");
      highestCMDSeqNum = 0;
    } else if (msg.header.cmdSequenceNumber <= highestCMDSeqNum) {
      DBGLOG("Tossing (CMDSeqNum <= highest; diff=%u) %s\n",
             highestCMDSeqNum - msg.header.cmdSequenceNumber, dbgudpHeaderToString(&msg.header));
      if (ucscIsUserGeneratedUICommand(id)) {
        wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD, &now);
      }
      accept = false;
    } else {
      highestCMDSeqNum = msg.header.cmdSequenceNumber;
    }
    if (accept) ucsl1AddMessageToQueue(&msg, total, addr, port, &now);
  }
  pbuf_free(p);
}
