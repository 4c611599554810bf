// Sessions on the SPI channel: one task at a time, one armed transfer at a time. The interrupt
// handler checks each transfer's header and accounting and hands over by semaphore; the thread
// does everything else.
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"

#include <string.h>

#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "spi_slave.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "tcpTCPTransfer/txbufBuffers/txbufBuffers.h"

#define SPI2FPGA_TASKS 5
#define SPI2FPGA_INTERNAL_BUFFER_LEN 2048
#define SPI2FPGA_QUEUE_WAIT_USECS 30000000u
#define SPI2FPGA_DEFAULT_TX_TIMEOUT_MS 15000u
#define SPI2FPGA_DEFAULT_SPI_TIMEOUT_MS 8000u
#define SPI2FPGA_STM32_TIMEOUT_MS 10000u
#define SPI2FPGA_SINGLE_BLOCK_WAIT_USECS 3000000u
#define SPI2FPGA_HEADER_LEN ((int32_t)sizeof(fpgaToInnophaseHeader_t))

struct internalSpiTask_t {
  volatile spiTask_t publicTask;
  uint32_t timeout;
  spi2fpgaCallback initCallback;
  spi2fpgaCallback recvCallback;
  spi2fpgaCallback cleanupCallback;
  spiSourceFlagEnum recvMode;
  bool isTcpTX;
  os_semaphore availableToQueue_semaphore;
};

static volatile spiMessage_t spiMessage;
static internalSpiTask_t spi2fpgaTaskOptions[SPI2FPGA_TASKS];
static volatile int8_t spi2fpgaQueuedTasks[SPI2FPGA_TASKS];
static volatile uint8_t spi2fpgaQueuedTasks_head, spi2fpgaQueuedTasks_count;
static os_semaphore waitFor_QueuedTask;
static internalSpiTask_t* volatile currentSpiTask;
static volatile bool isRequeuingCurrentTask;
static uint8_t spi2fpgaInternalBuffer[SPI2FPGA_INTERNAL_BUFFER_LEN];
static os_semaphore dataArrived_semaphore;
static volatile bool readyForNewMessage = true;
static volatile bool isEatingMessage;
static volatile uint32_t spi2fpgaMessageInvalidHeaderCount;
// A transfer came in with another length than spiXferLen: the message is lost.
static volatile bool transferLengthError;
static struct spi_slave* spiSlave;
static uint64_t bytesCopied;

uint64_t spi2fpgaBytesCopied(void) { return bytesCopied; }

const char* spi2fpgaRecvModeToString_ISRsafe(uint32_t recvMode) {
  switch (recvMode) {
    case spiDataSrcFlag_LiveView: return "spiDataSrcFlag_LiveView";
    case spiDataSrcFlag_ReadJPEGFrameFromFile: return "spiDataSrcFlag_ReadJPEGFrameFromFile";
    case spiDataSrcFlag_ReadBlockFromFile: return "spiDataSrcFlag_ReadBlockFromFile";
    case spiDataSrcFlag_ReadFileContents: return "spiDataSrcFlag_ReadFileContents";
    case spiDataSrcFlag_DirList1: return "spiDataSrcFlag_DirList1";
    default: return "INVALID_RECV_MODE";
  }
}

int spi2fpgaGetTaskIndex(uint32_t recvMode) {
  switch (recvMode) {
    case spiDataSrcFlag_LiveView: return 0;
    case spiDataSrcFlag_ReadJPEGFrameFromFile: return 1;
    case spiDataSrcFlag_DirList1: return 2;
    case spiDataSrcFlag_ReadBlockFromFile: return 3;
    case spiDataSrcFlag_ReadFileContents: return 4;
    default: return -1;
  }
}

static tcpCmdID tcpCommandOf(uint32_t recvMode) {
  switch (recvMode) {
    case spiDataSrcFlag_LiveView: return tcpCmdID_LiveViewFrame;
    case spiDataSrcFlag_ReadJPEGFrameFromFile: return tcpCmdID_ReadSD_JPEGFrameFromFile;
    case spiDataSrcFlag_ReadBlockFromFile: return tcpCmdID_ReadSD_BlockFromFile;
    case spiDataSrcFlag_ReadFileContents: return tcpCmdID_ReadSD_FileContents;
    case spiDataSrcFlag_DirList1: return tcpCmdID_ReadSD_Directory;
    default: return tcpCmdID_Invalid;
  }
}

static uint32_t msecsToUsecs(uint32_t ms) { return ms >= 4294967u ? 0xFFFFFFFFu : ms * 1000u; }

// ---- Interrupt context ----------------------------------------------------------------------------

static void rearm_ISRsafe(void) {
  spi_slave_read(spiSlave, spiMessage.buffer, spiMessage.spiXferLen);
}

static void dataArrivedCallback_ISRsafe(uint32_t len) {
  const uint8_t* buf = spiMessage.buffer;
  if (isEatingMessage) {
    uint32_t flag = 0;
    if (len >= 4) memcpy(&flag, buf, 4);
    if (flag != spiDataSrcFlag_SingleBlock) {
      rearm_ISRsafe();
      return;
    }
    ostsSemaphorePostIfZero_ISRsafe(&dataArrived_semaphore);
    os_printf("final block recv; spiCleared\n");
    return;
  }
  if (len != spiMessage.spiXferLen) {
    os_printf("ERROR!! len != spiXferLen; len = %d\n", (int)len);
    spiMessage.bytesInBuffer = 0;
    spiMessage.messageLength = 0;
    spiMessage.messageBytesRemaining = 0;
    readyForNewMessage = true;
    spiMessage.endOfMessage = true;
    spiMessage.beginningOfMessage = false;
    transferLengthError = true;
    ostsSemaphorePostIfZero_ISRsafe(&dataArrived_semaphore);
    return;
  }
  if (readyForNewMessage) {
    fpgaToInnophaseHeader_t h;
    memcpy(&h, buf, sizeof h);
    internalSpiTask_t* task = currentSpiTask;
    uint32_t taskMode = task ? (uint32_t)task->recvMode : 0;
    uint32_t taskSig = task ? task->publicTask.cameraMessageCommandSignature : 0;
    bool first = spi2fpgaMessageInvalidHeaderCount == 0;
    bool rejected = true;
    // The length is signed: a negative one is as invalid as a short one.
    if (h.len < SPI2FPGA_HEADER_LEN) {
      if (first)
        os_printf("ERROR!! header->len %u < sizeof(spi2fpgJPGHeader_t) %u\n", (unsigned)h.len,
                  (unsigned)SPI2FPGA_HEADER_LEN);
    } else if (h.flag32 != taskMode) {
      if (first)
        os_printf(
            "ERROR!! unexpected recvMode in header (\"%s\", len: %u, cmdSeqNum: %u); expected "
            "(\"%s\", cmdSeqNum: %u)\n",
            spi2fpgaRecvModeToString_ISRsafe(h.flag32), (unsigned)h.len,
            (unsigned)h.commandSignature, spi2fpgaRecvModeToString_ISRsafe(taskMode),
            (unsigned)taskSig);
    } else if (taskSig != 0 && taskSig != h.commandSignature) {
      if (first)
        os_printf("ERROR!! current seq num %u MISMATCH with SPI header seq num %u for %s\n",
                  (unsigned)taskSig, (unsigned)h.commandSignature,
                  spi2fpgaRecvModeToString_ISRsafe(taskMode));
    } else {
      rejected = false;
    }
    if (rejected) {
      spi2fpgaMessageInvalidHeaderCount = spi2fpgaMessageInvalidHeaderCount + 1;
      spiMessage.messageLength = 0;
      spiMessage.messageBytesRemaining = 0;
      spiMessage.bytesInBuffer = 0;
      ostsSemaphorePostIfZero_ISRsafe(&dataArrived_semaphore);
      return;
    }
    if (!first) {
      os_printf("Finally found valid header after %u spi reads\n",
                (unsigned)spi2fpgaMessageInvalidHeaderCount);
      spi2fpgaMessageInvalidHeaderCount = 0;
    }
    spiMessage.messageLength = h.len;
    spiMessage.messageBytesRemaining = (uint32_t)h.len;
    readyForNewMessage = false;
  }
  uint32_t counted = len;
  if (len >= spiMessage.messageBytesRemaining) {
    counted = spiMessage.messageBytesRemaining;
    readyForNewMessage = true;
  }
  spiMessage.beginningOfMessage =
      (uint32_t)spiMessage.messageLength == spiMessage.messageBytesRemaining;
  spiMessage.endOfMessage = readyForNewMessage;
  spiMessage.bytesInBuffer = counted;
  spiMessage.messageBytesRemaining = spiMessage.messageBytesRemaining - counted;
  ostsSemaphorePostIfZero_ISRsafe(&dataArrived_semaphore);
}

// ---- Queue ----------------------------------------------------------------------------------------

static void enqueueSlot(int slot) {
  uint32_t irq = os_irq_disable();
  spi2fpgaQueuedTasks[spi2fpgaQueuedTasks_head] = (int8_t)slot;
  spi2fpgaQueuedTasks_head = (uint8_t)((spi2fpgaQueuedTasks_head + 1) % SPI2FPGA_TASKS);
  spi2fpgaQueuedTasks_count++;
  os_irq_restore(irq);
  os_sem_post(&waitFor_QueuedTask);
}

static bool queueTask(spiSourceFlagEnum recvMode, void* callbackArg,
                      spi2fpgaCallback initOnQueueCallback, spi2fpgaCallback initCallback,
                      spi2fpgaCallback recvCallback, spi2fpgaCallback cleanupCallback,
                      uint32_t timeout, uint32_t tcpCmdSeqNum, bool isTcpTX) {
  if (spiMessage.spiXferLen == 0) {
    uint32_t len = 0;
    if (!ginfCopy_spiXferLen(&len) || len == 0) {
      DBGLOG_TEXT("ERROR!! can't queue w/o spiXferLen");
      return false;
    }
    // A transfer must hold the header and fit the internal buffer.
    if (len < (uint32_t)SPI2FPGA_HEADER_LEN || len > SPI2FPGA_INTERNAL_BUFFER_LEN) {
      DBGLOG("ERROR!! invalid spiXferLen %u\n", (unsigned)len);
      return false;
    }
    spiMessage.spiXferLen = len;
  }
  int slot = spi2fpgaGetTaskIndex(recvMode);
  if (slot < 0) return false;
  internalSpiTask_t* t = &spi2fpgaTaskOptions[slot];
  if (currentSpiTask == t && isRequeuingCurrentTask && !ostsIsCurrentThread("spi2fpga"))
    return false;
  os_sem_wait(&t->availableToQueue_semaphore);
  t->initCallback = initCallback;
  t->recvCallback = recvCallback;
  t->cleanupCallback = cleanupCallback;
  t->publicTask.callbackArg = callbackArg;
  t->publicTask.tcpCmdSeqNum = tcpCmdSeqNum;
  t->publicTask.cameraMessageCommandSignature = 0;
  t->publicTask.resultCode = ERRORCODE_SUCCESS;
  t->timeout = timeout;
  t->isTcpTX = isTcpTX;
  if (initOnQueueCallback != nullptr &&
      initOnQueueCallback(SPI2FPGA_CB_INIT_ON_QUEUE, &spiMessage, &t->publicTask) < 0) {
    os_sem_post(&t->availableToQueue_semaphore);
    DBGLOG("cancelled %s on init queue\n", spi2fpgaRecvModeToString_ISRsafe(recvMode));
    return false;
  }
  enqueueSlot(slot);
  return true;
}

bool spi2fpgaQueueTask_tcpTX(spiSourceFlagEnum recvMode, void* callbackArg,
                             spi2fpgaCallback initOnQueueCallback, spi2fpgaCallback initCallback,
                             spi2fpgaCallback recvCallback, spi2fpgaCallback cleanupCallback,
                             uint32_t timeout, uint32_t tcpCmdSeqNum) {
  return queueTask(recvMode, callbackArg, initOnQueueCallback, initCallback, recvCallback,
                   cleanupCallback, timeout, tcpCmdSeqNum, true);
}

bool spi2fpgaQueueTask_internalBuff(spiSourceFlagEnum recvMode, void* callbackArg,
                                    spi2fpgaCallback initOnQueueCallback,
                                    spi2fpgaCallback initCallback, spi2fpgaCallback recvCallback,
                                    spi2fpgaCallback cleanupCallback, uint32_t timeout) {
  return queueTask(recvMode, callbackArg, initOnQueueCallback, initCallback, recvCallback,
                   cleanupCallback, timeout, 0, false);
}

bool spi2fpgaDequeueTask(spiSourceFlagEnum recvMode) {
  int slot = spi2fpgaGetTaskIndex(recvMode);
  if (slot < 0) return false;
  bool found = false;
  uint32_t irq = os_irq_disable();
  // The entry leaves the ring altogether (the ones queued after it close up), so a withdrawn
  // task never takes room from the five the ring holds.
  uint8_t count = spi2fpgaQueuedTasks_count;
  uint8_t tail = (uint8_t)((spi2fpgaQueuedTasks_head + SPI2FPGA_TASKS - count) % SPI2FPGA_TASKS);
  for (uint8_t i = 0; i < count && !found; i++) {
    uint8_t at = (uint8_t)((tail + i) % SPI2FPGA_TASKS);
    if (spi2fpgaQueuedTasks[at] != slot) continue;
    found = true;
    for (uint8_t j = i; j + 1 < count; j++) {
      uint8_t here = (uint8_t)((tail + j) % SPI2FPGA_TASKS);
      uint8_t next = (uint8_t)((tail + j + 1) % SPI2FPGA_TASKS);
      spi2fpgaQueuedTasks[here] = spi2fpgaQueuedTasks[next];
    }
    spi2fpgaQueuedTasks_head =
        (uint8_t)((spi2fpgaQueuedTasks_head + SPI2FPGA_TASKS - 1) % SPI2FPGA_TASKS);
    spi2fpgaQueuedTasks[spi2fpgaQueuedTasks_head] = -1;
    spi2fpgaQueuedTasks_count--;
  }
  os_irq_restore(irq);
  if (!found) return false;
  // Take back the wake-up its queueing posted: the thread would only meet an empty ring for it.
  // If the thread has taken that wake-up already, it finds the ring one entry short and says so.
  os_sem_wait_timeout(&waitFor_QueuedTask, 0);
  DBGLOG("dequeued \"%s\" task\n", spi2fpgaRecvModeToString_ISRsafe(recvMode));
  ostsSemaphorePostIfZero_ISRsafe(&spi2fpgaTaskOptions[slot].availableToQueue_semaphore);
  return true;
}

void spi2fpgaRequeueCurrentTask(volatile spiTask_t* task) {
  internalSpiTask_t* cur = currentSpiTask;
  if (cur == nullptr || task != &cur->publicTask || !ostsIsCurrentThread("spi2fpga")) return;
  isRequeuingCurrentTask = true;
}

// ---- Reads --------------------------------------------------------------------------------------

void spi2fpgaSuspend(void) {
  spi_slave_read_abort(spiSlave);
  DBGLOG_AS("spi2fpgaAbortRead", "SPI slave read aborted\n");
  spiMessage.bytesInBuffer = 0;
  spiMessage.messageLength = 0;
  spiMessage.messageBytesRemaining = 0;
  readyForNewMessage = true;
  spi_slave_suspend_enable(spiSlave);
}

static void spi2fpgaStartLoadingBuffer(uint8_t* buffer, uint32_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) {
    buffer = spi2fpgaInternalBuffer;
    bufferSize = spiMessage.spiXferLen;
  }
  if (bufferSize != spiMessage.spiXferLen) {
    DBGLOG("ERROR!! bufferSize %u != spiXferLen %u\n", (unsigned)bufferSize,
           (unsigned)spiMessage.spiXferLen);
    return;
  }
  if (currentSpiTask == nullptr) {
    DBGLOG_TEXT("ERROR!! no spi task set");
    return;
  }
  spiMessage.buffer = buffer;
  os_sem_init(&dataArrived_semaphore, 0);
  int rc = spi_slave_read(spiSlave, buffer, bufferSize);
  if (rc != 0) DBGLOG("ERROR!! spi_slave_read failed!! returned %d\n", rc);
}

// 0 when a transfer arrived, 1 on time-out, -1 when nothing could be read.
static int spi2fpgaWaitForBuffer(uint32_t timeoutMs) {
  if (spiMessage.buffer == nullptr) {
    DBGLOG_TEXT("ERROR!! no buffer to fill");
    return -1;
  }
  if (currentSpiTask == nullptr) {
    DBGLOG_TEXT("ERROR!! no spi task set");
    return -1;
  }
  while (os_sem_wait_timeout(&dataArrived_semaphore, msecsToUsecs(timeoutMs)) == 0) {
    if (spi2fpgaMessageInvalidHeaderCount == 0) return 0;
    os_sem_init(&dataArrived_semaphore, 0);
    spi_slave_read(spiSlave, spiMessage.buffer, spiMessage.spiXferLen);
  }
  if (spi2fpgaMessageInvalidHeaderCount != 0)
    DBGLOG("ERROR!! Timed out waiting for buffer after %u invalid headers\n",
           (unsigned)spi2fpgaMessageInvalidHeaderCount);
  return 1;
}

static void clearSpiWithSTM32(const char* modeName) {
  isEatingMessage = true;
  spiMessage.buffer = spi2fpgaInternalBuffer;
  os_sem_init(&dataArrived_semaphore, 0);
  spi_slave_read(spiSlave, spi2fpgaInternalBuffer, spiMessage.spiXferLen);
  CameraClearSpi_Message clearMsg;
  memset(&clearMsg, 0, sizeof clearMsg);
  errorCodes rc = stmsgTxRx_debugPrint(&clearMsg, sizeof clearMsg, CMD_ClearSpi, &clearMsg,
                                       sizeof clearMsg, SPI2FPGA_STM32_TIMEOUT_MS);
  if (rc != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! clearSpi failed for %s\n", modeName);
    spi_slave_read_abort(spiSlave);
    DBGLOG_AS("spi2fpgaAbortRead", "SPI slave read aborted\n");
  } else {
    CameraSendSingleSPIBlock_Message single;
    memset(&single, 0, sizeof single);
    single.data = 0;
    os_sem_init(&dataArrived_semaphore, 0);
    rc = stmsgTxRx_debugPrint(&single, sizeof single, CMD_SendSingleSPIBlock, &single,
                              sizeof single, SPI2FPGA_STM32_TIMEOUT_MS);
    if (rc != ERRORCODE_SUCCESS) {
      DBGLOG("ERROR!! singleBlockMsg failed for %s\n", modeName);
      spi_slave_read_abort(spiSlave);
      DBGLOG_AS("spi2fpgaAbortRead", "SPI slave read aborted\n");
    } else if (os_sem_wait_timeout(&dataArrived_semaphore, SPI2FPGA_SINGLE_BLOCK_WAIT_USECS) ==
               0) {
      DBGLOG_TEXT("SPI cleared successfully");
    } else {
      spi_slave_read_abort(spiSlave);
      DBGLOG_TEXT("ERROR!! couldn't wait for spi buff after singleBlockMsg");
    }
  }
  isEatingMessage = false;
}

// ---- Diagnostics -----------------------------------------------------------------------------------

enum errorCodes spi2fpgaPrintBuffInfo_recvCallback(spi2fpgaCallbackType /*type*/,
                                                   volatile spiMessage_t* message,
                                                   volatile spiTask_t* task) {
  internalSpiTask_t* cur = currentSpiTask;
  DBGLOG("\"%s\": (%u bytes; message length: %u; message bytes remaining: %u\n",
         spi2fpgaRecvModeToString_ISRsafe(cur ? (uint32_t)cur->recvMode : 0u),
         (unsigned)message->bytesInBuffer, (unsigned)message->messageLength,
         (unsigned)message->messageBytesRemaining);
  return (enum errorCodes)1;
}

enum errorCodes spi2fpgaPrintEntireBuffer_recvCallback(spi2fpgaCallbackType /*type*/,
                                                       volatile spiMessage_t* message,
                                                       volatile spiTask_t* /*task*/) {
  char line[16 * 3 + 1];
  size_t at = 0;
  for (uint32_t i = 0; i < message->bytesInBuffer; i++) {
    static const char hex[] = "0123456789ABCDEF";
    uint8_t b = message->buffer[i];
    line[at++] = hex[b >> 4];
    line[at++] = hex[b & 15];
    line[at++] = ' ';
    if (at == sizeof line - 1 || i + 1 == message->bytesInBuffer) {
      line[at] = 0;
      DBGLOG("%s\n", line);
      at = 0;
    }
  }
  return (enum errorCodes)1;
}

// ---- The session thread ------------------------------------------------------------------------

static void runSession(internalSpiTask_t* task) {
  const char* modeName = spi2fpgaRecvModeToString_ISRsafe(task->recvMode);
  tcpCmdID command = tcpCommandOf(task->recvMode);
  volatile spiTask_t* pub = &task->publicTask;
  if (task->isTcpTX && command == tcpCmdID_Invalid) {
    DBGLOG("ERROR!! invalid tcpCmdID %d\n", (int)command);
    return;
  }
  uint32_t txTimeout = task->timeout ? task->timeout : SPI2FPGA_DEFAULT_TX_TIMEOUT_MS;
  uint32_t spiTimeout = task->timeout ? task->timeout : SPI2FPGA_DEFAULT_SPI_TIMEOUT_MS;

  os_sem_init(&dataArrived_semaphore, 0);
  spiMessage.bytesInBuffer = 0;
  spiMessage.messageLength = 0;
  spiMessage.messageBytesRemaining = 0;
  readyForNewMessage = true;
  spiMessage.beginningOfMessage = true;
  spiMessage.endOfMessage = false;
  spi2fpgaMessageInvalidHeaderCount = 0;
  transferLengthError = false;
  DBGLOG("started new session for %s\n", modeName);
  spiMessage.buffer = spi2fpgaInternalBuffer;
  pub->resultCode = ERRORCODE_SUCCESS;
  XferBufHandle_t held = -1;
  // The connection the reply started on: a reply must never continue on a connection that
  // replaced it, where the server never asked for it.
  int32_t connection = tcpConnectionNumber();
  const int32_t sessionConnection = connection;
  bool replyStarted = false;
  systimer_t start = os_systime64();
  uint64_t txWaitTotal = 0, spiWaitTotal = 0, txWaitMax = 0, spiWaitMax = 0;
  uint32_t transfers = 0;
  bool ok = false;
  bool zeroCopy = task->isTcpTX && spiMessage.spiXferLen == TX_BUFFER_LEN;

  do {
    if (task->recvMode != spiDataSrcFlag_LiveView && camif_isMode(MODE_LIVE_VIEW) &&
        camifStopLiveView(__func__) != ERRORCODE_SUCCESS) {
      DBGLOG("ERROR!! camifStopLiveView failed\n");
      break;
    }
    if (task->initCallback != nullptr) {
      pub->resultCode = task->initCallback(SPI2FPGA_CB_INIT_TRANSFER, &spiMessage, pub);
      if (pub->resultCode < 0) {
        DBGLOG("ERROR!! initCallback cancelled \"%s\" session\n", modeName);
        break;
      }
    }
    bool failed = false;
    do {
      uint8_t* target = nullptr;
      if (zeroCopy) {
        systimer_t t0 = os_systime64();
        held = txGetAndLockEmptyBuffer(txTimeout);
        uint64_t waited = (os_systime64() - t0) / 1000;
        txWaitTotal += waited;
        if (waited > txWaitMax) txWaitMax = waited;
        target = txGetBufferPointer(held);
        if (target == nullptr) {
          DBGLOG("ERROR!! txGetBufferPointer failed for %s\n", modeName);
          failed = true;
          break;
        }
      }
      systimer_t t0 = os_systime64();
      spi2fpgaStartLoadingBuffer(target, target ? TX_BUFFER_LEN : 0);
      int rc = spi2fpgaWaitForBuffer(spiTimeout);
      uint64_t waited = (os_systime64() - t0) / 1000;
      spiWaitTotal += waited;
      if (waited > spiWaitMax) spiWaitMax = waited;
      transfers++;
      if (rc == 1) {
        spi_slave_read_abort(spiSlave);
        DBGLOG("ERROR!! timeout after %u ms for %s\n", (unsigned)spiTimeout, modeName);
        srSPIReadTimeout();
        failed = true;
        break;
      }
      if (rc != 0) {
        DBGLOG("ERROR!! status: %d for %s\n", rc, modeName);
        failed = true;
        break;
      }
      // A transfer of the wrong length lost the message: that is a failure, not an empty reply.
      if (transferLengthError) {
        DBGLOG("ERROR!! status: %d for %s\n", -1, modeName);
        failed = true;
        break;
      }
      if (task->recvCallback != nullptr) {
        pub->resultCode = task->recvCallback(SPI2FPGA_CB_BUFF_RX, &spiMessage, pub);
        if (pub->resultCode < 0) {
          DBGLOG("ERROR!! task->recvCallback returned false for %s; aborting\n", modeName);
          failed = true;
          break;
        }
      }
      if (task->isTcpTX) {
        if (replyStarted && tcpConnectionNumber() != connection) {
          DBGLOG("ERROR!! txMarkBufferReady failed for %s\n", modeName);
          failed = true;
          break;
        }
        const uint8_t* src = spiMessage.buffer;
        uint32_t left = spiMessage.bytesInBuffer;
        while (left > 0 || (zeroCopy && held >= 0)) {
          uint32_t piece = left < TX_BUFFER_LEN ? left : TX_BUFFER_LEN;
          if (!zeroCopy) {
            systimer_t w0 = os_systime64();
            held = txGetAndLockEmptyBuffer(txTimeout);
            uint64_t w = (os_systime64() - w0) / 1000;
            txWaitTotal += w;
            if (w > txWaitMax) txWaitMax = w;
            uint8_t* dst = txGetBufferPointer(held);
            if (dst == nullptr) {
              DBGLOG("ERROR!! txGetBufferPointer failed for %s\n", modeName);
              failed = true;
              break;
            }
            memcpy(dst, src, piece);
            bytesCopied += piece;
          }
          if (!replyStarted) connection = tcpConnectionNumber();
          if (!tcpSendTXBuffer(held, command, (uint32_t)spiMessage.messageLength, piece,
                               pub->tcpCmdSeqNum, pub->resultCode < 0 ? pub->resultCode
                                                                        : ERRORCODE_SUCCESS)) {
            DBGLOG("ERROR!! txMarkBufferReady failed for %s\n", modeName);
            failed = true;
            break;
          }
          replyStarted = true;
          held = -1;  // lwIP's now
          src += piece;
          left -= piece;
          if (zeroCopy) break;
        }
        if (failed) break;
      }
    } while (!spiMessage.endOfMessage);
    if (failed) break;
    ok = true;
  } while (false);

  if (ok) {
    uint32_t n = transfers ? transfers : 1;
    DBGLOG(
        "SPI message success \"%s\" bytes %u; TCPBuffWait: (avg %u mSecs max %u mSecs); "
        "SPIReadWait: (avg %u mSecs max %u mSecs); total time: %u mSecs\n",
        modeName, (unsigned)spiMessage.messageLength, (unsigned)(txWaitTotal / n),
        (unsigned)txWaitMax, (unsigned)(spiWaitTotal / n), (unsigned)spiWaitMax,
        (unsigned)((os_systime64() - start) / 1000));
    if (task->cleanupCallback != nullptr)
      task->cleanupCallback(SPI2FPGA_CB_ENDOF_MESSAGE, &spiMessage, pub);
    return;
  }

  DBGLOG("ERROR!! aborting session; bytes remaining: %u; message length: %u for %s\n",
         (unsigned)spiMessage.messageBytesRemaining, (unsigned)spiMessage.messageLength,
         modeName);
  if (pub->resultCode >= 0) pub->resultCode = ERRORCODE_TEMPORARY_ERROR;
  // No error reply on a connection that replaced the session's before any of its reply was sent:
  // that server never asked (and no message of this session holds its message lock).
  bool replacedBeforeReply = !replyStarted && tcpConnectionNumber() != sessionConnection;
  if (task->isTcpTX && tcpConnectionNumber() == connection && !replacedBeforeReply)
    tcpCleanupMessageAfterFailure(command, pub->resultCode, pub->tcpCmdSeqNum);
  spiMessage_t copy;
  copy.messageLength = spiMessage.messageLength;
  copy.messageBytesRemaining = spiMessage.messageBytesRemaining;
  copy.bytesInBuffer = spiMessage.bytesInBuffer;
  copy.spiXferLen = spiMessage.spiXferLen;
  copy.beginningOfMessage = spiMessage.beginningOfMessage;
  copy.endOfMessage = spiMessage.endOfMessage;
  copy.buffer = spiMessage.buffer;
  clearSpiWithSTM32(modeName);
  readyForNewMessage = true;
  spiMessage.messageLength = 0;
  spiMessage.messageBytesRemaining = 0;
  spiMessage.beginningOfMessage = false;
  spiMessage.endOfMessage = true;
  if (task->cleanupCallback != nullptr) task->cleanupCallback(SPI2FPGA_CB_ERROR, &copy, pub);
  if (task->isTcpTX) txUnlockBuffer(&held);
}

static void* spi2fpga_thread(void* /*arg*/) {
  for (;;) {
    spi2fpgaSuspend();
    while (os_sem_wait_timeout(&waitFor_QueuedTask, SPI2FPGA_QUEUE_WAIT_USECS) != 0) {
    }
    spi_slave_suspend_disable(spiSlave);
    int8_t slot = -1;
    uint32_t irq = os_irq_disable();
    uint8_t count = spi2fpgaQueuedTasks_count;
    if (count > 0) {
      uint8_t tail =
          (uint8_t)((spi2fpgaQueuedTasks_head + SPI2FPGA_TASKS - count) % SPI2FPGA_TASKS);
      slot = spi2fpgaQueuedTasks[tail];
      spi2fpgaQueuedTasks[tail] = -1;
      spi2fpgaQueuedTasks_count--;
    }
    os_irq_restore(irq);
    if (slot < 0) {
      DBGLOG("WARNING!! currentSpiTaskOptionIndex < 0 with %u queued tasks\n", (unsigned)count);
      continue;
    }
    internalSpiTask_t* task = &spi2fpgaTaskOptions[slot];
    currentSpiTask = task;
    runSession(task);
    bool requeue = isRequeuingCurrentTask && !os_sem_waiting(&task->availableToQueue_semaphore);
    isRequeuingCurrentTask = false;
    currentSpiTask = nullptr;
    if (requeue) {
      // The slot stays taken and goes straight back into the ring: releasing it first would let
      // another thread take it, and this thread would then block on its own task.
      task->publicTask.cameraMessageCommandSignature = 0;
      task->publicTask.resultCode = ERRORCODE_SUCCESS;
      enqueueSlot(slot);
    } else {
      ostsSemaphorePostIfZero_ISRsafe(&task->availableToQueue_semaphore);
    }
  }
  return nullptr;
}

void spi2fpgaSPItoFPGA_Init(void) {
  DBGLOG_ENTRY();
  memset(spi2fpgaInternalBuffer, 0, sizeof spi2fpgaInternalBuffer);
  readyForNewMessage = true;
  spiMessage.messageLength = 0;
  spiMessage.messageBytesRemaining = 0;
  spiMessage.beginningOfMessage = true;
  spiMessage.endOfMessage = false;
  spiMessage.spiXferLen = 0;
  spiMessage.buffer = spi2fpgaInternalBuffer;
  spiSlave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
  if (spiSlave == nullptr) DBGLOG_TEXT("ERROR!! spi_slave_open failed!!");
  spi_slave_set_rx_cb(spiSlave, dataArrivedCallback_ISRsafe);
  spi_slave_suspend_enable(spiSlave);
  os_sem_init(&dataArrived_semaphore, 0);
  os_sem_init(&waitFor_QueuedTask, 0);
  static const spiSourceFlagEnum modes[SPI2FPGA_TASKS] = {
      spiDataSrcFlag_LiveView, spiDataSrcFlag_ReadJPEGFrameFromFile, spiDataSrcFlag_DirList1,
      spiDataSrcFlag_ReadBlockFromFile, spiDataSrcFlag_ReadFileContents};
  for (int i = 0; i < SPI2FPGA_TASKS; i++) {
    spi2fpgaTaskOptions[i].recvMode = modes[i];
    os_sem_init(&spi2fpgaTaskOptions[i].availableToQueue_semaphore, 1);
    spi2fpgaQueuedTasks[i] = -1;
  }
  spi2fpgaQueuedTasks_head = 0;
  spi2fpgaQueuedTasks_count = 0;
  currentSpiTask = nullptr;
  isRequeuingCurrentTask = false;
  bytesCopied = 0;
}

void spi2fpgaSPItoFPGA_StartThreads(void) {
  if (os_create_thread("spi2fpga", spi2fpga_thread, nullptr, 5, 1024) == nullptr)
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for spi2fpga_thread");
}
