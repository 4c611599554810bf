// Requests arrive as a byte stream; the thread rebuilds them one whole message at a time in a
// fixed buffer and dispatches them. Reads of SD-card data become SPI tasks whose callbacks here
// ask the STM32 to start them.
#include "tcsl1TCPCameraServerLayer1/tcsl1TCPCameraServerLayer1.h"

#include <string.h>

#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "tcsl1TCPCameraServerLayer1/rfwcRootFileWriteChunk/rfwcRootFileWriteChunk.h"
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"

#define TCSL1_WAIT_USECS 30000000u
#define TCSL1_GET_BYTES_MS 800u
#define TCSL1_TX_BUFFER_MS 15000u
#define TCSL1_FILE_CONTENTS_TIMEOUT_MS 60000u

static tcsl1Reassembly_t rxBuffer;
static os_semaphore tscl1_thread_semaphore;

static readSD_JPEGFrameFromFile_Message readSD_JPEGFrameFromFile_Message_;
static readSD_BlockFromFile_Message readSD_BlockFromFile_Message_;
static readSD_FileContents_Message readSD_FileContents_Message_;
static filename_t directoryName;

void rxDataAvailable(void) { ostsSemaphorePostIfZero_ISRsafe(&tscl1_thread_semaphore); }

void tcsl1ResetRecvBuffer(void) {
  rxBuffer.bytesCopiedIntoBuffer = 0;
  rxDataAvailable();
  DBGLOG_TEXT("reset buffer");
}

static bool connectionOpen(void) {
  return (sysstateSystemState & sysstate_TCPConnectionIsOpen) != 0;
}

static int takeFromConnection(uint8_t* buffer, uint16_t length) {
  return tcpGetBytes(buffer, length, TCSL1_GET_BYTES_MS);
}

static void processIfOpen(uint8_t* msg) {
  if (connectionOpen()) tcsl1ProcessTCPMessage(msg);
}

static void rejectAndClose(const char* why) {
  DBGLOG("ERROR!! invalid request (%s); closing connection\n", why);
  tcpClose("tscl1_thread", 0);
}

static void* tscl1_thread(void* /*arg*/) {
  DBGLOG_TEXT("Thread starting");
  for (;;) {
    os_sem_wait_timeout(&tscl1_thread_semaphore, TCSL1_WAIT_USECS);
    if (!connectionOpen()) {
      rxBuffer.bytesCopiedIntoBuffer = 0;
      continue;
    }
    tcsl1Drain(&rxBuffer, takeFromConnection, processIfOpen, rejectAndClose);
  }
  return nullptr;
}

void tcsl1TCPCameraServerLayer1_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&tscl1_thread_semaphore, 0);
}

void tcsl1TCPCameraServerLayer1_StartThreads(void) {
  if (os_create_thread("tcsl1", tscl1_thread, nullptr, 5, 1024) == nullptr)
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for tscl1_thread");
}

// ---- File information ---------------------------------------------------------------------------

static void tcsl1GetFileInfo(const uint8_t* tcpMsg) {
  tcpSTCGetFileInfo_t req;
  memcpy(&req, tcpMsg, sizeof req);
  XferBufHandle_t h = txGetAndLockEmptyBuffer(TCSL1_TX_BUFFER_MS);
  uint8_t* buf = txGetBufferPointer(h);
  if (buf == nullptr) {
    DBGLOG("ERROR!! txGetBufferPointer failed with handle %d\n", (int)h);
    return;
  }
  memset(buf, 0, sizeof(getFileInfo_Message));
  getFileInfo_Message* m = (getFileInfo_Message*)buf;
  memcpy(m->fileInfo.fileInfo.filename, req.filename, sizeof(filename_t) - 1);
  errorCodes rc = stmsgTxRx_debugPrint(m, sizeof *m, CMD_getFileInfo, m, sizeof *m, 3000);
  if (rc != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! Failed to get file info for %s\n", m->fileInfo.fileInfo.filename);
  } else {
    DBGLOG("file: %s; size: %u; date: %u; frames: %u\n", m->fileInfo.fileInfo.filename,
           (unsigned)m->fileInfo.fileInfo.fileSize, (unsigned)m->fileInfo.fileInfo.fileTimeDate,
           (unsigned)m->fileInfo.numFrames);
  }
  if (!tcpSendTXBuffer(h, tcpCmdID_GetFileInfo, sizeof(tcpCTSGetFileInfo_t),
                       sizeof(tcpCTSGetFileInfo_t), req.header.cmdSequenceNumber, rc)) {
    DBGLOG_TEXT("ERROR!! tcpSendTXBuffer failed");
    txUnlockBuffer(&h);
  }
}

// ---- SPI task callbacks ---------------------------------------------------------------------------

// `src` is a request's 13-byte name field; at most 12 characters of it, always terminated.
static void copyName(char* dest, const char* src) {
  memset(dest, 0, sizeof(filename_t));
  for (size_t i = 0; i + 1 < sizeof(filename_t) && src[i] != 0; i++) dest[i] = src[i];
}

enum errorCodes initReadJPEGFrameFromFile_spiCB(spi2fpgaCallbackType type,
                                                volatile spiMessage_t* /*message*/,
                                                volatile spiTask_t* task) {
  readSD_JPEGFrameFromFile_Message* m = &readSD_JPEGFrameFromFile_Message_;
  if (type == SPI2FPGA_CB_INIT_ON_QUEUE) {
    tcpSTCReadSD_JPEGFrameFromFile_t req;
    memcpy(&req, task->callbackArg, sizeof req);
    memset(m, 0, sizeof *m);
    copyName(m->filename, req.filename);
    m->frameNumber = req.frameNumber;
    return ERRORCODE_SUCCESS;
  }
  DBGLOG("reading jpeg frame %d from file: %s\n", (int)m->frameNumber, m->filename);
  errorCodes rc =
      stmsgTxRx_debugPrint(m, sizeof *m, CMD_readSD_JPEGFrameFromFile, m, sizeof *m, 3000);
  if (rc != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! Failed to read jpeg frame %u from file %s\n", (unsigned)m->frameNumber,
           m->filename);
    return rc;
  }
  task->cameraMessageCommandSignature = m->header.commandSignature;
  return ERRORCODE_SUCCESS;
}

enum errorCodes initReadSDBlockFromFile_spiCB(spi2fpgaCallbackType type,
                                              volatile spiMessage_t* /*message*/,
                                              volatile spiTask_t* task) {
  readSD_BlockFromFile_Message* m = &readSD_BlockFromFile_Message_;
  if (type == SPI2FPGA_CB_INIT_ON_QUEUE) {
    tcpSTCReadSD_BlockFromFile_t req;
    memcpy(&req, task->callbackArg, sizeof req);
    memset(m, 0, sizeof *m);
    copyName(m->filename, req.filename);
    m->fileOffset = req.fileOffset;
    m->bytesToRead = req.bytesToRead;
    return ERRORCODE_SUCCESS;
  }
  DBGLOG("trying to read block from file %s with offset %u; bytesToRead %u\n", m->filename,
         (unsigned)m->fileOffset, (unsigned)m->bytesToRead);
  errorCodes rc = stmsgTxRx_debugPrint(m, sizeof *m, CMD_readSD_BlockFromFile, m, sizeof *m, 6000);
  if (rc != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! Failed to read block from file %s\n", m->filename);
    return rc;
  }
  task->cameraMessageCommandSignature = m->header.commandSignature;
  return ERRORCODE_SUCCESS;
}

enum errorCodes initReadFileContents_spiCB(spi2fpgaCallbackType type,
                                           volatile spiMessage_t* /*message*/,
                                           volatile spiTask_t* task) {
  readSD_FileContents_Message* m = &readSD_FileContents_Message_;
  if (type == SPI2FPGA_CB_INIT_ON_QUEUE) {
    tcpSTCReadSD_FileContents_t req;
    memcpy(&req, task->callbackArg, sizeof req);
    memset(m, 0, sizeof *m);
    copyName(m->filename, req.filename);
    return ERRORCODE_SUCCESS;
  }
  errorCodes rc = stmsgTxRx_debugPrint(m, sizeof *m, CMD_readSD_FileContents, m, sizeof *m, 3000);
  if (rc != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! Failed to read file contents of %s\n", m->filename);
    return rc;
  }
  task->cameraMessageCommandSignature = m->header.commandSignature;
  return ERRORCODE_SUCCESS;
}

enum errorCodes initReadDirectory_spiCB(spi2fpgaCallbackType type,
                                        volatile spiMessage_t* /*message*/,
                                        volatile spiTask_t* task) {
  if (type == SPI2FPGA_CB_INIT_ON_QUEUE) {
    tcpSTCReadSD_Directory_t req;
    memcpy(&req, task->callbackArg, sizeof req);
    copyName(directoryName, req.filename);
    return ERRORCODE_SUCCESS;
  }
  uint32_t sig = 0;
  errorCodes rc = camifGetDirectory(&directoryName, &sig);
  if (rc == ERRORCODE_SUCCESS) task->cameraMessageCommandSignature = sig;
  return rc;
}

enum errorCodes cleanupReadDirectory_spiCB(spi2fpgaCallbackType type,
                                           volatile spiMessage_t* message,
                                           volatile spiTask_t* task) {
  if (type != SPI2FPGA_CB_ENDOF_MESSAGE) return ERRORCODE_SUCCESS;
  DBGLOG("received %u files in dirList1\n", (unsigned)((message->messageLength - 12) / 24));
  XferBufHandle_t h = txGetAndLockEmptyBuffer(TCSL1_TX_BUFFER_MS);
  if (txGetBufferPointer(h) == nullptr) {
    DBGLOG("ERROR!! txGetBufferPointer failed with handle %d\n", (int)h);
    txUnlockBuffer(&h);
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (!tcpSendTXBuffer(h, tcpCmdID_ReadSD_Directory, 0, 0, task->tcpCmdSeqNum,
                       ERRORCODE_SUCCESS)) {
    DBGLOG_TEXT("ERROR!! tcpSendTXBuffer failed");
    txUnlockBuffer(&h);
    return ERRORCODE_TEMPORARY_ERROR;
  }
  DBGLOG("sent %d byte cleanup msg\n", 12);
  return ERRORCODE_SUCCESS;
}

// ---- Dispatch -------------------------------------------------------------------------------------

// A read that could not be queued (no usable SPI transfer length yet) still gets its answer, so
// the server does not wait for a reply that never comes.
static void queued(bool ok, tcpCmdID cmd, uint32_t seq) {
  if (!ok) tcpCleanupMessageAfterFailure(cmd, ERRORCODE_TEMPORARY_ERROR, seq);
}

void tcsl1ProcessTCPMessage(uint8_t* tcpMsg) {
  TCPHeader_t h;
  memcpy(&h, tcpMsg, sizeof h);
  if (h.tcpCmdID == tcpCmdID_RootFileWriteChunk) {
    rfwcRootFileWriteChunkToSTM32((tcpSTCRootFileWriteChunk_t*)tcpMsg);
    return;
  }
  DBGLOG("rxTCP (cmdID %u, seqNum %u, len %u)\n", (unsigned)h.tcpCmdID,
         (unsigned)h.cmdSequenceNumber, (unsigned)h.msgLength);
  switch (h.tcpCmdID) {
    case tcpCmdID_LiveViewFrame: {
      tcpSTCLiveViewFrame_t req;
      memcpy(&req, tcpMsg, sizeof req);
      chlvStartStop("tcsl1ProcessTCPMessage", req.durationSeconds, h.cmdSequenceNumber);
      break;
    }
    case tcpCmdID_ReadSD_Directory:
      queued(spi2fpgaQueueTask_tcpTX(spiDataSrcFlag_DirList1, tcpMsg, initReadDirectory_spiCB,
                                     initReadDirectory_spiCB, nullptr, cleanupReadDirectory_spiCB,
                                     0, h.cmdSequenceNumber),
             tcpCmdID_ReadSD_Directory, h.cmdSequenceNumber);
      break;
    case tcpCmdID_ReadSD_BlockFromFile:
      queued(spi2fpgaQueueTask_tcpTX(spiDataSrcFlag_ReadBlockFromFile, tcpMsg,
                                     initReadSDBlockFromFile_spiCB, initReadSDBlockFromFile_spiCB,
                                     nullptr, nullptr, 0, h.cmdSequenceNumber),
             tcpCmdID_ReadSD_BlockFromFile, h.cmdSequenceNumber);
      break;
    case tcpCmdID_ReadSD_FileContents:
      queued(spi2fpgaQueueTask_tcpTX(spiDataSrcFlag_ReadFileContents, tcpMsg,
                                     initReadFileContents_spiCB, initReadFileContents_spiCB,
                                     nullptr, nullptr, TCSL1_FILE_CONTENTS_TIMEOUT_MS,
                                     h.cmdSequenceNumber),
             tcpCmdID_ReadSD_FileContents, h.cmdSequenceNumber);
      break;
    case tcpCmdID_ReadSD_JPEGFrameFromFile:
      queued(spi2fpgaQueueTask_tcpTX(spiDataSrcFlag_ReadJPEGFrameFromFile, tcpMsg,
                                     initReadJPEGFrameFromFile_spiCB,
                                     initReadJPEGFrameFromFile_spiCB, nullptr, nullptr, 0,
                                     h.cmdSequenceNumber),
             tcpCmdID_ReadSD_JPEGFrameFromFile, h.cmdSequenceNumber);
      break;
    case tcpCmdID_GetFileInfo:
      tcsl1GetFileInfo(tcpMsg);
      break;
    case tcpCmdID_WillClose:
      DBGLOG_TEXT("Server sent tcpWillClose; closing connection");
      tcpClose("tcsl1ProcessTCPMessage", 0);
      break;
    default:
      DBGLOG("ERROR!! Unexpected TCP command ID passed to layer 1: %u\n", (unsigned)h.tcpCmdID);
      break;
  }
  DBGLOG("handled/queued (cmdID %u, seqNum %u, len %u)\n", (unsigned)h.tcpCmdID,
         (unsigned)h.cmdSequenceNumber, (unsigned)h.msgLength);
}
