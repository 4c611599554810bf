// One connection to the camera server on lwIP's raw API. Every lwIP call runs on lwIP's thread:
// other threads queue a worker with tcpip_callback and wait for its result. Outgoing bytes stay
// in the TX buffers (written without copying); acknowledgements free them.
#include "tcpTCPTransfer/tcpTCPTransfer.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "lwip/ip_addr.h"
#include "lwip/pbuf.h"
#include "lwip/tcp.h"
#include "lwip/tcpip.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcsl1TCPCameraServerLayer1/tcsl1TCPCameraServerLayer1.h"
#include "ucsl2UDPCameraServerLayer2/OpenSession/csOpenSession.h"
#include "wifiWiFi/wifiWiFi.h"

#define TCP_LOCAL_PORT 46103
#define TCP_PRIO 127
#define TCP_IDLE_CLOSE_USECS 600000000ull
#define TCP_OPEN_TIMEOUT_USECS 10000000u
#define TCP_CLOSE_TIMEOUT_USECS 10000000u
#define TCP_GET_BYTES_TIMEOUT_USECS 60000000u
#define TCP_SEND_WORKER_TIMEOUT_USECS 11000000u
#define TCP_SNDBUF_WAIT_USECS 1000000u
#define TCP_SEND_OVERALL_USECS 10000000ull
#define TCP_SEND_RETRY_USECS 25000u
#define TCP_WILLCLOSE_BUFFER_MSECS 15000u
// A failed send closes without a closing message. Only the "txbuf" thread, which runs
// tcpSendData, sends buffers: it would wait for its own WillClose to go out, and before that for
// the message lock, which a producer holds while it waits for the buffers only this thread frees.
#define TCP_SEND_FAIL_CLOSE_MSECS 0u
// Received pbufs the application may leave unread. Beyond them the receive callback refuses the
// segment (lwIP holds that one and drops the rest until it is taken): pool pbufs are shared with
// UDP, which must never run dry because the server sends faster than requests are read.
#define TCP_MAX_UNREAD_PBUFS 6

struct tcpGetBytes_State {
  struct pbuf* rx_chain_head;
  struct pbuf* rx_chain_tail;
  uint16_t bytesToRead;
  uint16_t bytesAlreadyRead;
  uint8_t* applicationBuffer;
  uint32_t timeout_ms;
  os_semaphore waitFor_getBytesWorker;
};

struct connectionStruct_t {
  struct tcp_pcb* pcbPtr;
  char name[12];
  uint16_t serverPort;
  ip_addr_t serverIP;
  os_semaphore waitFor_ConnectCallback;
  os_semaphore waitFor_DataRxCallback;
  os_semaphore waitFor_SentCallback;
  os_semaphore waitFor_sendDataWorker;
  os_semaphore waitFor_CloseWorker;
  os_semaphore waitfor_DataTXReady;
  os_semaphore waitfor_ReadyCompleteTCPMessage;
  volatile uint32_t currCmdSeqNumForTCPMessage;
  volatile uint32_t currMsgLengthForTCPMessage;
  volatile uint32_t currTotalMsgLengthForTCPMessage;
  uint8_t* sendBufferPtr;
  volatile uint32_t bytesRemainingToSend;
  volatile err_t sendDataWorker_Error;
  volatile err_t closeWorker_Error;
  volatile err_t errCallback_Error;
  int sendNum;
  tcpGetBytes_State rxState;
};

static connectionStruct_t tcpConnection;
static int32_t tcpConnectionNum = 1;
static volatile systimer_t whenToCloseTCPConnection = SYSTIMER_NEVER;
static uint32_t callsForThisMessage;
// Set on lwIP's thread once lwIP no longer has the connection (closed, aborted or failed), before
// the clean-up clears pcbPtr: workers queued meanwhile must not touch the released pcb.
static volatile bool pcbReleased;

static bool wifiUp(void) { return (sysstateSystemState & sysstate_WiFiConnectedToAP) != 0; }
static bool pcbUsable(void) { return tcpConnection.pcbPtr != nullptr && !pcbReleased; }

int32_t tcpConnectionNumber(void) { return tcpConnectionNum; }


// ---- Sizes and names ------------------------------------------------------------------------

size_t tcpGetCTSMessageSize(tcpCmdID cmdID) {
  switch (cmdID) {
    case tcpCmdID_LiveViewFrame:
    case tcpCmdID_RootFileWriteChunk:
    case tcpCmdID_ReadSD_Directory:
    case tcpCmdID_ReadSD_BlockFromFile:
    case tcpCmdID_ReadSD_FileContents:
    case tcpCmdID_ReadSD_JPEGFrameFromFile:
    case tcpCmdID_WillClose:
      return sizeof(TCPHeader_t);
    case tcpCmdID_GetFileInfo:
      return sizeof(tcpCTSGetFileInfo_t);
    default:
      DBGLOG("INTERNAL ERROR!! Unknown command ID: %u\n", (unsigned)cmdID);
      return 0;
  }
}

size_t tcpGetSTCMessageSize(tcpCmdID cmdID) {
  switch (cmdID) {
    case tcpCmdID_LiveViewFrame:
      return sizeof(tcpSTCLiveViewFrame_t);
    case tcpCmdID_RootFileWriteChunk:
      return 32;
    case tcpCmdID_ReadSD_Directory:
      return sizeof(tcpSTCReadSD_Directory_t);
    case tcpCmdID_ReadSD_BlockFromFile:
      return sizeof(tcpSTCReadSD_BlockFromFile_t);
    case tcpCmdID_ReadSD_FileContents:
      return sizeof(tcpSTCReadSD_FileContents_t);
    case tcpCmdID_ReadSD_JPEGFrameFromFile:
      return sizeof(tcpSTCReadSD_JPEGFrameFromFile_t);
    case tcpCmdID_GetFileInfo:
      return sizeof(tcpSTCGetFileInfo_t);
    case tcpCmdID_WillClose:
      return sizeof(TCPHeader_t);
    default:
      DBGLOG("INTERNAL ERROR!! Unknown command ID: %u\n", (unsigned)cmdID);
      return 0;
  }
}

const char* tcpGetCMDIDString(tcpCmdID cmdID) {
  switch (cmdID) {
    case tcpCmdID_Invalid: return "tcpCmdID_Invalid";
    case tcpCmdID_LiveViewFrame: return "tcpCmdID_LiveViewFrame";
    case tcpCmdID_RootFileWriteChunk: return "tcpCmdID_RootFileWriteChunk";
    case tcpCmdID_ReadSD_Directory: return "tcpCmdID_ReadSD_Directory";
    case tcpCmdID_ReadSD_BlockFromFile: return "tcpCmdID_ReadSD_BlockFromFile";
    case tcpCmdID_ReadSD_FileContents: return "tcpCmdID_ReadSD_FileContents";
    case tcpCmdID_ReadSD_JPEGFrameFromFile: return "tcpCmdID_ReadSD_JPEGFrameFromFile";
    case tcpCmdID_GetFileInfo: return "tcpCmdID_GetFileInfo";
    case tcpCmdID_WillClose: return "tcpCmdID_WillClose";
    default: return "INVALID_CMD_ID";
  }
}

void tcpDebugPrint(void) {
  struct tcp_pcb* pcb = tcpConnection.pcbPtr;
  if (pcb == nullptr || pcbReleased) {
    DBGLOG_TEXT("tcp connection is closed");
    return;
  }
  DBGLOG("LWIP lwip_tcp_wnd: %d; rcv_ann_wnd: %d; snd_wnd: %d; snd_buf: %d; snd_queuelen: %d\n",
         (int)TCP_WND, (int)pcb->rcv_ann_wnd, (int)pcb->snd_wnd, (int)pcb->snd_buf,
         (int)pcb->snd_queuelen);
}

// ---- Message control --------------------------------------------------------------------------

static void resetTXBuffControl(void) {
  uint32_t irq = os_irq_disable();
  tcpConnection.currCmdSeqNumForTCPMessage = 0;
  tcpConnection.currMsgLengthForTCPMessage = 0;
  os_irq_restore(irq);
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitfor_ReadyCompleteTCPMessage);
}

// Received data not yet read (lwIP's thread, or with lwIP no longer delivering).
static void freeRxChain(void) {
  struct pbuf* p = tcpConnection.rxState.rx_chain_head;
  tcpConnection.rxState.rx_chain_head = nullptr;
  tcpConnection.rxState.rx_chain_tail = nullptr;
  if (p != nullptr) pbuf_free(p);
}

// Stops every callback of `pcb` reaching this module: late events of a connection already
// replaced must never act on the current one.
static void detachCallbacks(struct tcp_pcb* pcb) {
  tcp_arg(pcb, nullptr);
  tcp_recv(pcb, nullptr);
  tcp_sent(pcb, nullptr);
  tcp_err(pcb, nullptr);
}

// Releases the pcb on lwIP's thread. Buffers lwIP still references (sent, not acknowledged) go
// back to the pool at the clean-up, so the pcb must not keep them: it is aborted then, and
// otherwise closed gracefully.
// `*aborted` tells whether the pcb was aborted (a receive callback must then say so to lwIP).
static err_t releasePcb(struct tcp_pcb* pcb, bool* aborted = nullptr) {
  detachCallbacks(pcb);
  err_t err = ERR_OK;
  bool abort = txCountInState(XFERBUF_STATUS_EMPTYING) > 0;
  if (!abort) {
    err = tcp_close(pcb);
    abort = err != ERR_OK;
  }
  if (abort) tcp_abort(pcb);
  if (aborted != nullptr) *aborted = abort;
  pcbReleased = true;
  freeRxChain();
  return err;
}

static void tcpCleanupConnection(void) {
  if (tcpConnection.pcbPtr == nullptr) return;
  DBGLOG("cleaning up connection #%u\n", (unsigned)tcpConnectionNum);
  ostsAtomicGetThenIncrement(&tcpConnectionNum);
  tcpConnection.pcbPtr = nullptr;
  pcbReleased = false;
  sysstate_setTCPConnectionOpenState(false);
  txClearAll();
  tcsl1ResetRecvBuffer();
  resetTXBuffControl();
  ostsSemaphoreSet(&tcpConnection.waitfor_ReadyCompleteTCPMessage, 1);
}

// ---- lwIP callbacks (lwIP's thread) -------------------------------------------------------------

static bool isStale(void* arg) { return (int32_t)(intptr_t)arg != tcpConnectionNum; }

static void tcpErrCallback(void* ctx, err_t err) {
  // lwIP has already released the pcb.
  if (isStale(ctx)) return;
  tcpConnection.errCallback_Error = err;
  if (err == ERR_RST) {
    DBGLOG_TEXT("ERROR!! the tcpConnection was reset by the remote host");
    ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_sendDataWorker);
    DBGLOG("cleaning up connection due to err_enum_t: %d\n", err);
  } else if (err == ERR_ABRT) {
    DBGLOG_TEXT("ERROR!! aborted through tcp_abort or by a TCP timer");
    ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_sendDataWorker);
  } else {
    DBGLOG("cleaning up connection due to err_enum_t: %d\n", err);
  }
  pcbReleased = true;
  freeRxChain();
  // An open still waiting hears at once that the connection failed.
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_ConnectCallback);
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_SentCallback);
  tcpCleanupConnection();
}

static err_t tcpConnectedCallback(void* /*ctx*/, struct tcp_pcb* pcb, err_t err) {
  err_t result = ERR_OK;
  if (!wifiUp()) {
    result = ERR_CONN;
  } else if (err != ERR_OK) {
    DBGLOG("CONNECTION ERROR on %s (port %u) - err_enum: %d\n", tcpConnection.name,
           (unsigned)tcpConnection.serverPort, err);
    result = err;
  } else if (tcpConnection.pcbPtr == nullptr) {
    DBGLOG_TEXT("ERROR!! NULL tcpConnection");
    result = ERR_VAL;
  } else if (pcb != tcpConnection.pcbPtr) {
    DBGLOG("ERROR!! %s pcbPtr does not match\n", tcpConnection.name);
    result = ERR_VAL;
  } else {
    DBGLOG("%s connected via TCP\n", tcpConnection.name);
    tcp_nagle_disable(pcb);
    whenToCloseTCPConnection = os_systime64() + TCP_IDLE_CLOSE_USECS;
    freeRxChain();
    sysstate_setTCPConnectionOpenState(true);
  }
  if (tcpConnection.pcbPtr != nullptr) {
    tcp_arg(tcpConnection.pcbPtr, (void*)(intptr_t)tcpConnectionNum);
    ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_ConnectCallback);
    tcpDebugPrint();
  }
  return result;
}

static err_t tcpReceivedCallback(void* arg, struct tcp_pcb* pcb, struct pbuf* p, err_t err) {
  // A late event of a replaced connection (its callbacks are detached when it goes, so this is a
  // last line of defence): take it off lwIP's hands without touching the current connection.
  if (isStale(arg) || pcb != tcpConnection.pcbPtr) {
    DBGLOG("stale callback from a previous connection; ignoring %u bytes\n",
           (unsigned)(p ? p->tot_len : 0));
    if (p != nullptr) {
      tcp_recved(pcb, p->tot_len);
      pbuf_free(p);
    }
    return ERR_OK;
  }
  err_t result;
  if (!wifiUp()) {
    DBGLOG_TEXT("ERROR!! not connected to AP");
    result = ERR_CONN;
  } else if (tcpConnection.pcbPtr == nullptr) {
    DBGLOG_TEXT("ERROR!! tcpConnection is not open");
    result = ERR_CONN;
  } else if (err != ERR_OK) {
    DBGLOG("ERROR!! tcpReceivedCallback err %d\n", err);
    result = err;
  } else if (pcb == nullptr) {
    DBGLOG("%s NULL pcb\n", tcpConnection.name);
    result = ERR_BUF;
  } else if (p == nullptr) {
    DBGLOG("CONNECTION CLOSED by remote host: %s (NULL pbufPtr)\n", tcpConnection.name);
    result = ERR_CLSD;
  } else {
    tcpGetBytes_State* rx = &tcpConnection.rxState;
    if (rx->rx_chain_head != nullptr &&
        pbuf_clen(rx->rx_chain_head) + pbuf_clen(p) > TCP_MAX_UNREAD_PBUFS) {
      rxDataAvailable();
      return ERR_MEM;  // lwIP keeps this segment and offers it again later
    }
    if (rx->rx_chain_head == nullptr) {
      rx->rx_chain_head = p;
    } else {
      rx->rx_chain_tail->next = p;
      // Keep the head's tot_len true for pbuf_clen and friends.
      for (struct pbuf* q = rx->rx_chain_head; q != p; q = q->next) q->tot_len += p->tot_len;
    }
    struct pbuf* last = p;
    while (last->next != nullptr) last = last->next;
    rx->rx_chain_tail = last;
    rxDataAvailable();
    return err;
  }
  DBGLOG("Closing tcpConnection %s; rval %d\n", tcpConnection.name, result);
  if (p != nullptr) pbuf_free(p);
  bool aborted = false;
  if (tcpConnection.pcbPtr != nullptr && !pcbReleased) releasePcb(tcpConnection.pcbPtr, &aborted);
  tcpCleanupConnection();
  return aborted ? ERR_ABRT : ERR_OK;
}

static err_t tcpSentCallback(void* arg, struct tcp_pcb* /*pcb*/, u16_t len) {
  if (tcpConnection.pcbPtr == nullptr || !wifiUp()) return ERR_CONN;
  if (isStale(arg)) {
    DBGLOG("stale callback from a previous connection; ignoring %u bytes\n", (unsigned)len);
    return ERR_OK;
  }
  txMarkBuffersEmptyBasedOnBytes(len);
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_SentCallback);
  return ERR_OK;
}

// ---- Workers (lwIP's thread) --------------------------------------------------------------------

static void tcpOpenWorker(void* /*ctx*/) {
  struct tcp_pcb* pcb = tcp_new();
  if (pcb == nullptr) {
    DBGLOG_TEXT("ERROR!! failed to create a PCB");
    tcpCleanupConnection();
    ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_ConnectCallback);
    return;
  }
  resetTXBuffControl();
  tcpConnection.pcbPtr = pcb;
  pcbReleased = false;
  tcp_setprio(pcb, TCP_PRIO);
  tcp_bind(pcb, IP_ANY_TYPE, TCP_LOCAL_PORT);
  tcp_arg(pcb, (void*)(intptr_t)tcpConnectionNum);
  tcp_err(pcb, tcpErrCallback);
  tcp_sent(pcb, tcpSentCallback);
  tcp_recv(pcb, tcpReceivedCallback);
  err_t err = tcp_connect(pcb, &tcpConnection.serverIP, tcpConnection.serverPort,
                          tcpConnectedCallback);
  if (err == ERR_OK) {
    DBGLOG("connect request has been sent to %s:%u\n", tcpConnection.name,
           (unsigned)tcpConnection.serverPort);
    return;
  }
  if (err == ERR_VAL) {
    DBGLOG_TEXT("ERROR!! invalid arguments given");
  } else {
    DBGLOG("ERROR!! other errors with tcp_connect. ERROR ENUM: %d\n", err);
  }
  releasePcb(pcb);  // the unused pcb goes back to lwIP
  tcpCleanupConnection();
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_ConnectCallback);
}

static void tcpCloseWorker(void* /*ctx*/) {
  err_t err;
  if (!pcbUsable()) {
    DBGLOG("ERROR!! tcpConnection %s is not open\n", tcpConnection.name);
    err = ERR_CONN;
  } else {
    err = releasePcb(tcpConnection.pcbPtr);
    if (err != ERR_OK)
      DBGLOG("ERROR!! something went wrong while closing the tcp tcpConnection. ERROR ENUM: %d\n",
             err);
  }
  tcpConnection.closeWorker_Error = err;
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_CloseWorker);
}

static void tcpSendDataWorker(void* /*ctx*/) {
  err_t err;
  if (!pcbUsable()) {
    DBGLOG("ERROR!! tcpConnection is not open for sendNum %u\n", (unsigned)tcpConnection.sendNum);
    err = ERR_CONN;
  } else {
    struct tcp_pcb* pcb = tcpConnection.pcbPtr;
    err = tcp_write(pcb, tcpConnection.sendBufferPtr, (u16_t)tcpConnection.bytesRemainingToSend,
                    0);
    if (err == ERR_MEM) {
      DBGLOG_TEXT("ERROR!! ERR_MEM");
    } else if (err != ERR_OK) {
      DBGLOG("ERROR!! err_enum_t: %d\n", err);
    } else {
      tcpConnection.bytesRemainingToSend = 0;
      err = tcp_output(pcb);
      if (err != ERR_OK) DBGLOG("ERROR!! tcp_output err_enum_t: %d\n", err);
    }
  }
  tcpConnection.sendDataWorker_Error = err;
  ostsSemaphorePostIfZero_ISRsafe(&tcpConnection.waitFor_sendDataWorker);
}

static void tcpGetBytesWorker(void* ctx) {
  tcpGetBytes_State* rx = (tcpGetBytes_State*)ctx;
  while (pcbUsable() && rx->bytesAlreadyRead < rx->bytesToRead && rx->rx_chain_head != nullptr) {
    struct pbuf* p = rx->rx_chain_head;
    uint16_t want = (uint16_t)(rx->bytesToRead - rx->bytesAlreadyRead);
    uint16_t n = p->len < want ? p->len : want;
    if (n > 0) memcpy(rx->applicationBuffer + rx->bytesAlreadyRead, p->payload, n);
    rx->bytesAlreadyRead = (uint16_t)(rx->bytesAlreadyRead + n);
    if (n > 0) tcp_recved(tcpConnection.pcbPtr, n);
    if (n == p->len) {
      rx->rx_chain_head = p->next;
      if (rx->rx_chain_head == nullptr) rx->rx_chain_tail = nullptr;
      p->next = nullptr;
      pbuf_free(p);
    } else {
      pbuf_remove_header(p, n);
    }
    if (n == 0) break;
  }
  ostsSemaphorePostIfZero_ISRsafe(&rx->waitFor_getBytesWorker);
}

// ---- Application side ----------------------------------------------------------------------------

void tcpTCPTransfer_Init(void) {
  DBGLOG_ENTRY();
  txbufBuffers_Init();
  memset(&tcpConnection, 0, sizeof tcpConnection);
  os_sem_init(&tcpConnection.waitFor_ConnectCallback, 0);
  os_sem_init(&tcpConnection.waitFor_DataRxCallback, 0);
  os_sem_init(&tcpConnection.waitFor_SentCallback, 0);
  os_sem_init(&tcpConnection.waitFor_sendDataWorker, 0);
  os_sem_init(&tcpConnection.waitFor_CloseWorker, 0);
  os_sem_init(&tcpConnection.waitfor_DataTXReady, 0);
  os_sem_init(&tcpConnection.waitfor_ReadyCompleteTCPMessage, 1);
  os_sem_init(&tcpConnection.rxState.waitFor_getBytesWorker, 0);
  tcpConnection.sendNum = 0;
  tcpConnection.errCallback_Error = ERR_OK;
  pcbReleased = false;
  whenToCloseTCPConnection = SYSTIMER_NEVER;
}

systimer_t tcpTCPTransfer_Poll(systimer_t /*next*/) {
  if ((sysstateSystemState & sysstate_TCPConnectionIsOpen) == 0) return SYSTIMER_NEVER;
  if (os_systime64() >= whenToCloseTCPConnection) {
    tcpClose("tcpTCPTransfer_Poll", 30000);
    return SYSTIMER_NEVER;
  }
  return whenToCloseTCPConnection;
}

bool tcpOpen(const char* serverName, uint16_t serverPort) {
  uint32_t s = sysstateSystemState;
  if (!(s & sysstate_WiFiConnectedToAP) || !(s & sysstate_WiFiSessionIsOpen)) {
    DBGLOG("ERROR!! (%s %s); cannot open TCP tcpConnection\n",
           (s & sysstate_WiFiConnectedToAP) ? "" : "!WiFi",
           (s & sysstate_WiFiSessionIsOpen) ? "" : "!session");
    return false;
  }
  if (!serverAddress.isValid) {
    DBGLOG_TEXT("ERROR!! server address is not valid");
    return false;
  }
  if (tcpConnection.pcbPtr != nullptr) tcpClose("tcpOpen", 0);
  txClearAll();
  tcsl1ResetRecvBuffer();
  resetTXBuffControl();
  os_sem_init(&tcpConnection.waitFor_ConnectCallback, 0);
  os_sem_init(&tcpConnection.waitFor_SentCallback, 0);
  os_sem_init(&tcpConnection.waitFor_sendDataWorker, 0);
  os_sem_init(&tcpConnection.waitFor_CloseWorker, 0);
  ip_addr_copy(tcpConnection.serverIP, serverAddress.ip_addr);
  tcpConnection.sendNum = 0;
  tcpConnection.errCallback_Error = ERR_OK;
  tcpConnection.serverPort = serverPort;
  strncpy(tcpConnection.name, serverName ? serverName : "", sizeof tcpConnection.name - 1);
  tcpConnection.name[sizeof tcpConnection.name - 1] = 0;
  DBGLOG("Opening \"%s\"#%u; port: %u, addr: %s\n", tcpConnection.name, (unsigned)tcpConnectionNum,
         (unsigned)serverPort, ip4addr_ntoa(ip_2_ip4(&tcpConnection.serverIP)));
  systimer_t now = os_systime64();
  wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_STARTING_TCP, &now);
  DBGLOG_TEXT("tcpip_callback(tcpOpenWorker)");
  err_t err = tcpip_callback(tcpOpenWorker, nullptr);
  if (err != ERR_OK) {
    DBGLOG("ERROR!! tcpip callback wasn't queued; err_enum_t: %d\n", err);
    return false;
  }
  if (os_sem_wait_timeout(&tcpConnection.waitFor_ConnectCallback, TCP_OPEN_TIMEOUT_USECS) != 0) {
    DBGLOG_TEXT("ERROR!! Timed out waiting for tcpConnection");
    return false;
  }
  if (tcpConnection.pcbPtr != nullptr && !pcbReleased &&
      (sysstateSystemState & sysstate_TCPConnectionIsOpen)) {
    DBGLOG_TEXT("SUCCESS!! opened tcpConnection");
    srTcpOpened();
    return true;
  }
  DBGLOG_TEXT("ERROR!! worker open failed");
  return false;
}

void tcpClose(const char* funcName, uint32_t willCloseTimeoutMSecs) {
  if (tcpConnection.pcbPtr == nullptr) return;
  if (willCloseTimeoutMSecs != 0 && !pcbReleased) {
    uint32_t wait = willCloseTimeoutMSecs < TCP_WILLCLOSE_BUFFER_MSECS ? willCloseTimeoutMSecs
                                                                        : TCP_WILLCLOSE_BUFFER_MSECS;
    XferBufHandle_t h = txGetAndLockEmptyBuffer(wait);
    if (h >= 0 && txGetBufferPointer(h) != nullptr) {
      if (tcpSendTXBuffer(h, tcpCmdID_WillClose, 0, 0, 0, ERRORCODE_SUCCESS)) {
        txWaitForBufferSent(h, willCloseTimeoutMSecs);
      } else {
        txUnlockBuffer(&h);
      }
    } else {
      txUnlockBuffer(&h);
    }
  }
  tcpConnection.closeWorker_Error = ERR_INPROGRESS;
  os_sem_init(&tcpConnection.waitFor_CloseWorker, 0);
  err_t err = tcpip_callback(tcpCloseWorker, nullptr);
  if (err != ERR_OK) {
    DBGLOG("ERROR!! tcpip callback wasn't queued; err_enum_t: %d\n", err);
  } else {
    DBGLOG_TEXT("tcpip_callback(tcpCloseWorker)");
    if (os_sem_wait_timeout(&tcpConnection.waitFor_CloseWorker, TCP_CLOSE_TIMEOUT_USECS) != 0) {
      DBGLOG_TEXT("ERROR!! Timed out waiting for close to complete");
    } else if (tcpConnection.closeWorker_Error != ERR_OK) {
      DBGLOG("ERROR!! worker close failed; err_enum: %d\n", tcpConnection.closeWorker_Error);
    } else {
      DBGLOG("\"%s\" successfully closed for sendNum %u\n", funcName,
             (unsigned)tcpConnection.sendNum);
    }
  }
  tcpCleanupConnection();
}

bool tcpSendTXBuffer(XferBufHandle_t txBufHandle, tcpCmdID cmdID, uint32_t msgLength,
                     uint32_t bytesInBuffer, uint32_t cmdSequenceNumber, enum errorCodes result) {
  if (!pcbUsable() || !wifiUp()) return false;
  if (cmdSequenceNumber == 0 && cmdID != tcpCmdID_WillClose) {
    DBGLOG_TEXT("ERROR!! cmdSequenceNumber is 0");
    return false;
  }
  if (bytesInBuffer > TX_BUFFER_LEN) {
    DBGLOG("ERROR!! bytesInBuffer %u > TX_BUFFER_LEN %u\n", (unsigned)bytesInBuffer,
           (unsigned)TX_BUFFER_LEN);
    return false;
  }
  if (cmdSequenceNumber != tcpConnection.currCmdSeqNumForTCPMessage ||
      cmdID == tcpCmdID_WillClose) {
    os_sem_wait(&tcpConnection.waitfor_ReadyCompleteTCPMessage);
  }
  uint32_t irq = os_irq_disable();
  tcpConnection.currCmdSeqNumForTCPMessage = cmdSequenceNumber;
  os_irq_restore(irq);
  callsForThisMessage++;
  const char* failure = nullptr;
  if (tcpConnection.currMsgLengthForTCPMessage == 0) {
    uint32_t len = msgLength != 0 ? msgLength : (uint32_t)tcpGetCTSMessageSize(cmdID);
    uint8_t* data = len != 0 ? txGetBufferPointer(txBufHandle) : nullptr;
    if (len == 0) {
      DBGLOG("ERROR!! invalid cmdID %d\n", (int)cmdID);
      failure = "";
    } else if (data == nullptr) {
      failure = "ERROR!! txGetBufferPointer returned NULL";
    } else {
      tcpConnection.currMsgLengthForTCPMessage = len;
      tcpConnection.currTotalMsgLengthForTCPMessage = len;
      TCPHeader_t header;
      header.msgLength = len;
      header.tcpCmdID = (uint16_t)cmdID;
      header.result = (int16_t)result;
      header.cmdSequenceNumber = cmdSequenceNumber;
      memcpy(data, &header, sizeof header);
    }
  }
  if (failure == nullptr) {
    if (bytesInBuffer == 0)
      bytesInBuffer = tcpConnection.currMsgLengthForTCPMessage < TX_BUFFER_LEN
                          ? tcpConnection.currMsgLengthForTCPMessage
                          : TX_BUFFER_LEN;
    if (tcpConnection.currMsgLengthForTCPMessage < bytesInBuffer) {
      DBGLOG("ERROR!! currMsgLengthForTCPMessage %u < bytesInBuffer %u\n",
             (unsigned)tcpConnection.currMsgLengthForTCPMessage, (unsigned)bytesInBuffer);
      failure = "";
    } else if (!txMarkBufferReady(txBufHandle, bytesInBuffer)) {
      failure = "ERROR!! txMarkBufferReady failed";
    }
  }
  if (failure != nullptr) {
    if (failure[0]) DBGLOG_TEXT(failure);
    resetTXBuffControl();
    callsForThisMessage = 0;
    return false;
  }
  tcpConnection.currMsgLengthForTCPMessage -= bytesInBuffer;
  if (tcpConnection.currMsgLengthForTCPMessage == 0) {
    uint32_t total = tcpConnection.currTotalMsgLengthForTCPMessage;
    uint32_t calls = callsForThisMessage;
    resetTXBuffControl();
    if (cmdID != tcpCmdID_RootFileWriteChunk)
      DBGLOG("completed TCP message %d after %u calls (len %u)\n", (int)cmdID, (unsigned)calls,
             (unsigned)total);
    callsForThisMessage = 0;
  }
  return true;
}

bool tcpCleanupMessageAfterFailure(tcpCmdID cmdID, enum errorCodes tcpResult,
                                   uint32_t cmdSequenceNumber) {
  if (!pcbUsable() || !wifiUp() || tcpConnection.currCmdSeqNumForTCPMessage > cmdSequenceNumber)
    return true;
  if (tcpConnection.currCmdSeqNumForTCPMessage == cmdSequenceNumber) {
    tcpClose("tcpCleanupMessageAfterFailure", 0);
    return true;
  }
  XferBufHandle_t h = txGetAndLockEmptyBuffer(15000);
  if (txGetBufferPointer(h) == nullptr) {
    DBGLOG_TEXT("ERROR!! txGetBufferPointer returned NULL");
    txUnlockBuffer(&h);
    return false;
  }
  if (!tcpSendTXBuffer(h, cmdID, sizeof(TCPHeader_t), sizeof(TCPHeader_t), cmdSequenceNumber,
                       tcpResult)) {
    txUnlockBuffer(&h);
    return false;
  }
  DBGLOG("sent header \"%s:\" (result %d; cmdSeqNum %d)\n", tcpGetCMDIDString(cmdID),
         (int)tcpResult, (int)cmdSequenceNumber);
  return true;
}

bool tcpSendData(uint8_t* buffer, size_t size) {
  if (!pcbUsable() || !wifiUp()) return false;
  tcpConnection.sendNum++;
  systimer_t start = os_systime64();
  tcpConnection.sendBufferPtr = buffer;
  tcpConnection.bytesRemainingToSend = (uint32_t)size;
  static systimer_t lastInProgressLog;
  static uint32_t inProgressEvents;
  const char* failure = nullptr;
  for (int pass = 1;; pass++) {
    // The connection may go while this thread waits: then stop rather than read a released pcb.
    if (!pcbUsable()) {
      failure = "ERROR!! tcpConnection is not open";
      break;
    }
    if (tcpConnection.bytesRemainingToSend > tcpConnection.pcbPtr->snd_buf) {
      DBGLOG("sndbuf %u < bytesRemainingToSend %u; waiting for sent callback\n",
             (unsigned)tcpConnection.pcbPtr->snd_buf, (unsigned)tcpConnection.bytesRemainingToSend);
      os_sem_wait_timeout(&tcpConnection.waitFor_SentCallback, TCP_SNDBUF_WAIT_USECS);
      if (os_systime64() - start >= TCP_SEND_OVERALL_USECS) {
        failure = "ERROR!! Timed out waiting for send to complete";
        break;
      }
      continue;
    }
    tcpConnection.sendDataWorker_Error = ERR_INPROGRESS;
    os_sem_init(&tcpConnection.waitFor_sendDataWorker, 0);
    err_t qerr = tcpip_callback(tcpSendDataWorker, nullptr);
    if (qerr != ERR_OK) {
      DBGLOG("ERROR!! tcpip callback wasn't queued; err_enum_t: %d\n", qerr);
      failure = "";
      break;
    }
    if (os_sem_wait_timeout(&tcpConnection.waitFor_sendDataWorker,
                            TCP_SEND_WORKER_TIMEOUT_USECS) != 0) {
      failure = "ERROR!! Timed out waiting for send to complete";
      break;
    }
    if (tcpConnection.errCallback_Error != ERR_OK) {
      DBGLOG("ERROR!! errCallback_Error not ERR_OK; err_enum: %d\n",
             tcpConnection.errCallback_Error);
      failure = "";
      break;
    }
    err_t werr = tcpConnection.sendDataWorker_Error;
    if (werr == ERR_MEM && tcpConnection.bytesRemainingToSend != 0) {
      DBGLOG_TEXT("ERROR!! ERR_MEM");
      tcpClose("tcpSendData", TCP_SEND_FAIL_CLOSE_MSECS);
      return false;
    }
    if (werr == ERR_MEM) {
      failure = "ERROR!! ERR_MEM but bytesRemainingToSend is 0";
      break;
    }
    if (werr == ERR_OK) {
      whenToCloseTCPConnection = os_systime64() + TCP_IDLE_CLOSE_USECS;
      return true;
    }
    if (werr == ERR_INPROGRESS) {
      inProgressEvents++;
      systimer_t now = os_systime64();
      if (now - lastInProgressLog >= 1000000) {
        DBGLOG("sendDataWorker_Error inPROG sendNum %u; %u events/sec\n",
               (unsigned)tcpConnection.sendNum, (unsigned)inProgressEvents);
        inProgressEvents = 0;
        lastInProgressLog = now;
      }
    } else {
      DBGLOG("ERROR!! sendDataWorker_Error not ERR_INPROGRESS, ERR_OK, or ERR_MEM (or "
             "bytesRemainingToSend != 0)), err: %d\n",
             werr);
      failure = "";
      break;
    }
    if (os_systime64() - start >= TCP_SEND_OVERALL_USECS) {
      failure = "ERROR!! Timed out waiting for send to complete";
      break;
    }
    os_sleep_us(TCP_SEND_RETRY_USECS, OS_TIMEOUT_NO_WAKEUP);
    DBGLOG("RETRY %d\n", pass);
  }
  if (failure[0]) DBGLOG_TEXT(failure);
  tcpClose("tcpSendData", TCP_SEND_FAIL_CLOSE_MSECS);
  return false;
}

int tcpGetBytes(uint8_t* buffer, uint16_t length, uint32_t timeout_ms) {
  if (buffer == nullptr || length == 0 || !wifiUp() || !pcbUsable()) return 0;
  tcpGetBytes_State* rx = &tcpConnection.rxState;
  os_sem_init(&rx->waitFor_getBytesWorker, 0);
  rx->applicationBuffer = buffer;
  rx->bytesToRead = length;
  rx->bytesAlreadyRead = 0;
  rx->timeout_ms = timeout_ms;
  if (tcpip_callback(tcpGetBytesWorker, rx) != ERR_OK) {
    DBGLOG("ERROR!! failed to start tcpGetBytesWorker\n");
    return 0;
  }
  os_sem_wait_timeout(&rx->waitFor_getBytesWorker, TCP_GET_BYTES_TIMEOUT_USECS);
  return rx->bytesAlreadyRead;
}
