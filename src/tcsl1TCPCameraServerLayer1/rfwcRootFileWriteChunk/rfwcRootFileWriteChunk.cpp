// An update attempt is one sequence number: its four files arrive one after another, each in
// order from offset 0 to its announced size, and every chunk is checked against the file in
// progress before the STM32 writes it. Nothing is renamed into place until all four files are
// complete and their CRCs match; any failure deletes the update files from the card, so a card
// never holds a mix of old and new or a truncated file under a final name.
#include "tcsl1TCPCameraServerLayer1/rfwcRootFileWriteChunk/rfwcRootFileWriteChunk.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "utilities/utilities.h"

#define RFWC_FILE_COUNT 4
// The largest update file taken: far above any of the four, and small enough that no offset,
// length or progress figure of a file can overflow.
#define RFWC_MAX_FILE_SIZE (64u * 1024u * 1024u)
#define RFWC_NO_SEQUENCE_NUMBER 0xFFFFFFFFu
#define RFWC_CRC_START 0xFFFFFFFFu
#define RFWC_TX_BUFFER_MS 15000u
#define RFWC_CLOSE_WAIT_MS 1000u
#define RFWC_WRITE_TIMEOUT_MS 4000u
#define RFWC_DELETE_TIMEOUT_MS 3000u
#define RFWC_RENAME_TIMEOUT_MS 3000u
#define RFWC_REBOOT_DELAY_MS 500u
#define RFWC_PROGRESS_STEP_PERCENT 5u
#define RFWC_HEX_BYTES_PER_LINE 32u
#define ROOTFILE_CHUNK_HEADER_SIZE (sizeof(tcpSTCRootFileWriteChunk_t) - TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD)

static const filename_t fwudFileNames[RFWC_FILE_COUNT] = {"qvr8k_fw.bin", "qvr8k_hw.udf",
                                                          "qvr8k_w1.udf", "qvr8k_w2.udf"};
static const filename_t fwudTemporaryFileNames[RFWC_FILE_COUNT] = {
    "qvr8k_fw.tmp", "qvr8k_hw.tmp", "qvr8k_w1.tmp", "qvr8k_w2.tmp"};

static uint32_t currentCmdSequenceNumber = RFWC_NO_SEQUENCE_NUMBER;
static volatile uint32_t lastFailedCmdSequenceNumber = 0;
static uint32_t fileTypesEncountered_bitmap = 0;
// Files whose every byte arrived and whose CRC matched: only these count towards the rename.
static uint32_t fileTypesCompleted_bitmap = 0;
static tcpRootFileType_t prevFileType = tcpRootFileType_Invalid;
static uint32_t prevFileSize = 0;
static uint32_t prevFileChecksum = 0;
static uint32_t fileBytesArrived = 0;
static uint32_t bytesInPayload = 0;
static uint32_t fileCRC_InProgress = RFWC_CRC_START;
static uint32_t nextProgressLogOffset = 0;
static tcpSTCRootFileWriteChunk_t* tcpMsg = nullptr;
static rootFileWriteMessage myRootFileWriteMsg;
static rootFilesDeleteMessage myRootFilesDeleteMsg;
static rootFilesRenameAndRebootMessage myRootFilesRenameAndRebootMsg;
static uint32_t previousSystemState = 0;

static uint32_t computeFilenameIndex(uint32_t fileType) {
  switch (fileType) {
    case tcpRootFileType_STM32_Firmware: return 0;
    case tcpRootFileType_FPGA_Firmware: return 1;
    case tcpRootFileType_Innophase_Firmware1: return 2;
    case tcpRootFileType_Innophase_Firmware2: return 3;
    default:
      DBGLOG("ERROR!! invalid file type %u; forcing to %u (%s)\n", (unsigned)fileType,
             (unsigned)tcpRootFileType_STM32_Firmware, fwudFileNames[0]);
      return 0;
  }
}

static bool isSingleFileType(uint32_t fileType) {
  return fileType != 0 && (fileType & ~(uint32_t)tcpRootFileType_All) == 0 &&
         (fileType & (fileType - 1)) == 0;
}

void rfwcHandleSysstateChanges(void) {
  uint32_t s = os_irq_disable();
  uint32_t now = sysstateSystemState;
  if ((previousSystemState & sysstate_WiFiSessionIsOpen) && !(now & sysstate_WiFiSessionIsOpen))
    lastFailedCmdSequenceNumber = 0;
  previousSystemState = now;
  os_irq_restore(s);
}

static bool respondToCameraServer(uint32_t resultToSend) {
  XferBufHandle_t h = txGetAndLockEmptyBuffer(RFWC_TX_BUFFER_MS);
  if (txGetBufferPointer(h) == nullptr) {
    txUnlockBuffer(&h);
    DBGLOG_TEXT("ERROR!! txGetAndLockEmptyBuffer failed");
    tcpClose("respondToCameraServer", RFWC_CLOSE_WAIT_MS);
    return false;
  }
  if (!tcpSendTXBuffer(h, tcpCmdID_RootFileWriteChunk, sizeof(TCPHeader_t), sizeof(TCPHeader_t),
                       tcpMsg->header.cmdSequenceNumber, (enum errorCodes)(int32_t)resultToSend)) {
    txUnlockBuffer(&h);
    DBGLOG_TEXT("ERROR!! tcpSendTXBuffer failed");
    tcpClose("respondToCameraServer", RFWC_CLOSE_WAIT_MS);
    return false;
  }
  return true;
}

static void deleteAllUpdateFilesOnSDCard(void) {
  memset(&myRootFilesDeleteMsg, 0, sizeof myRootFilesDeleteMsg);
  for (int i = 0; i < RFWC_FILE_COUNT; i++) {
    memcpy(myRootFilesDeleteMsg.filenames[i], fwudTemporaryFileNames[i], sizeof(filename_t));
    memcpy(myRootFilesDeleteMsg.filenames[RFWC_FILE_COUNT + i], fwudFileNames[i],
           sizeof(filename_t));
  }
  errorCodes rc = stmsgTxRx_noDebugPrint(&myRootFilesDeleteMsg, sizeof myRootFilesDeleteMsg,
                                         CMD_rootFilesDelete, &myRootFilesDeleteMsg,
                                         sizeof myRootFilesDeleteMsg, RFWC_DELETE_TIMEOUT_MS);
  if (rc != ERRORCODE_SUCCESS)
    DBGLOG("ERROR!! stmsgTxRx result %d sending rootFilesDeleteMessage to STM32\n", (int)rc);
  else if (myRootFilesDeleteMsg.errorCode < 0)
    DBGLOG("ERROR!! STM32 deleteMessage.errorCode %d\n", (int)myRootFilesDeleteMsg.errorCode);
}

static void markReadyForNewUpdate(bool wasThisUpdateAttemptFailed) {
  if (wasThisUpdateAttemptFailed) {
    uint32_t failed = tcpMsg->header.cmdSequenceNumber;
    if (currentCmdSequenceNumber != RFWC_NO_SEQUENCE_NUMBER && currentCmdSequenceNumber > failed)
      failed = currentCmdSequenceNumber;
    uint32_t s = os_irq_disable();
    if (failed > lastFailedCmdSequenceNumber) lastFailedCmdSequenceNumber = failed;
    failed = lastFailedCmdSequenceNumber;
    os_irq_restore(s);
    DBGLOG("update failed; set last failed cmd sequence number: %u\n", (unsigned)failed);
  }
  currentCmdSequenceNumber = RFWC_NO_SEQUENCE_NUMBER;
  fileCRC_InProgress = RFWC_CRC_START;
  fileTypesEncountered_bitmap = 0;
  fileTypesCompleted_bitmap = 0;
  prevFileSize = 0;
  prevFileChecksum = 0;
  fileBytesArrived = 0;
  bytesInPayload = 0;
  deleteAllUpdateFilesOnSDCard();
  memset(&myRootFileWriteMsg, 0, sizeof myRootFileWriteMsg);
}

// Every failure of an attempt: the card is cleared before the server hears of it.
static void discardAttempt(void) {
  markReadyForNewUpdate(true);
  respondToCameraServer((uint32_t)ERRORCODE_GENERIC);
}

static void printPayloadInHex(const uint8_t* payload, uint32_t length) {
  static const char digits[] = "0123456789abcdef";
  char line[RFWC_HEX_BYTES_PER_LINE * 3 + 1];
  for (uint32_t at = 0; at < length; at += RFWC_HEX_BYTES_PER_LINE) {
    uint32_t n = length - at < RFWC_HEX_BYTES_PER_LINE ? length - at : RFWC_HEX_BYTES_PER_LINE;
    for (uint32_t i = 0; i < n; i++) {
      line[3 * i] = digits[payload[at + i] >> 4];
      line[3 * i + 1] = digits[payload[at + i] & 0xF];
      line[3 * i + 2] = ' ';
    }
    line[3 * n] = 0;
    os_printf("%s\n", line);
  }
}

// One write request; `length` payload bytes are already in place. False after logging a failure.
static bool writeToSTM32(uint32_t fileOffset, uint32_t length, uint32_t chunkCRC32) {
  uint32_t index = computeFilenameIndex(prevFileType);
  myRootFileWriteMsg.header.result = 0;
  myRootFileWriteMsg.fileOffset = fileOffset;
  myRootFileWriteMsg.chunkCRC32 = chunkCRC32;
  myRootFileWriteMsg.fileCRC32 = prevFileChecksum;
  myRootFileWriteMsg.errorCode = 0;
  memcpy(myRootFileWriteMsg.filename, fwudTemporaryFileNames[index], sizeof(filename_t));
  myRootFileWriteMsg.padding1 = 0;
  errorCodes rc = stmsgTxRx_noDebugPrint(&myRootFileWriteMsg, ROOTFILE_WRITE_HEADER_SIZE + length,
                                         CMD_rootFileWrite, &myRootFileWriteMsg,
                                         sizeof myRootFileWriteMsg, RFWC_WRITE_TIMEOUT_MS);
  if (rc != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! stmsgTxRx result %d sending rootFileWriteMessage to STM32\n", (int)rc);
    return false;
  }
  if (myRootFileWriteMsg.errorCode < 0) {
    DBGLOG("ERROR!! STM32 reported .errorCode %d\n", (int)myRootFileWriteMsg.errorCode);
    return false;
  }
  return true;
}

// A chunk at offset 0: checks that it may start its file, and starts it. False after logging.
static bool startFile(uint32_t seq) {
  if (fileTypesEncountered_bitmap == 0) {
    DBGLOG("starting new update attempt; cmdSequenceNumber changed from %u to %u\n",
           (unsigned)currentCmdSequenceNumber, (unsigned)seq);
    currentCmdSequenceNumber = seq;
  }
  if (seq != currentCmdSequenceNumber) {
    DBGLOG("ERROR!! file chunk has different cmdSequenceNumber; expected %u got %u\n",
           (unsigned)currentCmdSequenceNumber, (unsigned)seq);
    return false;
  }
  uint32_t type = tcpMsg->fileType;
  if (!isSingleFileType(type)) {
    // Logs the invalid type; its data must not land in another file's place.
    computeFilenameIndex(type);
    return false;
  }
  if (fileTypesEncountered_bitmap & type) {
    DBGLOG("ERROR!! file type %u (%s); already received or started\n", (unsigned)type,
           fwudFileNames[computeFilenameIndex(type)]);
    return false;
  }
  // Started is not finished: a file left short would otherwise be renamed into place.
  if (fileTypesEncountered_bitmap != fileTypesCompleted_bitmap) {
    DBGLOG("ERROR!! file type %u started while file type %u is incomplete; bytesArrived %u; "
           "prevFileSize %u\n",
           (unsigned)type, (unsigned)prevFileType, (unsigned)fileBytesArrived,
           (unsigned)prevFileSize);
    return false;
  }
  if (tcpMsg->fileSize > RFWC_MAX_FILE_SIZE) {
    DBGLOG("ERROR!! file size %u above our max %u\n", (unsigned)tcpMsg->fileSize,
           (unsigned)RFWC_MAX_FILE_SIZE);
    return false;
  }
  fileTypesEncountered_bitmap |= type;
  prevFileType = (tcpRootFileType_t)type;
  prevFileSize = tcpMsg->fileSize;
  prevFileChecksum = tcpMsg->fileChecksum;
  fileBytesArrived = 0;
  fileCRC_InProgress = RFWC_CRC_START;
  return true;
}

// A chunk at a nonzero offset must continue the file in progress exactly. False after logging.
static bool continueFile(uint32_t seq) {
  const tcpSTCRootFileWriteChunk_t* m = tcpMsg;
  if (seq != currentCmdSequenceNumber) {
    DBGLOG("ERROR!! cmdSequenceNumber changed from %u to %u with non-zero fileOffset %u\n",
           (unsigned)currentCmdSequenceNumber, (unsigned)seq, (unsigned)m->fileOffset);
    return false;
  }
  if (m->fileOffset != fileBytesArrived) {
    DBGLOG("ERROR!! unexpected file offset %u; expected %u; bytesArrived %u; prevFileSize %u\n",
           (unsigned)m->fileOffset, (unsigned)fileBytesArrived, (unsigned)fileBytesArrived,
           (unsigned)prevFileSize);
    return false;
  }
  if (m->fileType != (uint32_t)prevFileType) {
    DBGLOG("ERROR!! unexpected file type %u; expected %u; bytesArrived %u; prevFileSize %u\n",
           (unsigned)m->fileType, (unsigned)prevFileType, (unsigned)fileBytesArrived,
           (unsigned)prevFileSize);
    return false;
  }
  if (m->fileSize != prevFileSize) {
    DBGLOG("ERROR!! unexpected file size %u; expected %u; bytesArrived %u; prevFileSize %u\n",
           (unsigned)m->fileSize, (unsigned)prevFileSize, (unsigned)fileBytesArrived,
           (unsigned)prevFileSize);
    return false;
  }
  if (m->fileChecksum != prevFileChecksum) {
    DBGLOG("ERROR!! unexpected file checksum 0x%08x; expected 0x%08x; bytesArrived %u; "
           "prevFileSize %u\n",
           (unsigned)m->fileChecksum, (unsigned)prevFileChecksum, (unsigned)fileBytesArrived,
           (unsigned)prevFileSize);
    return false;
  }
  return true;
}

static void logProgress(uint32_t offset) {
  const char* name = fwudFileNames[computeFilenameIndex(prevFileType)];
  uint32_t step = (uint32_t)((uint64_t)prevFileSize * RFWC_PROGRESS_STEP_PERCENT / 100u);
  if (offset == 0) {
    DBGLOG("new file \"%s\" started\n", name);
    nextProgressLogOffset = step;
  } else if (fileBytesArrived >= nextProgressLogOffset && prevFileSize != 0) {
    DBGLOG("file \"%s\" progress: %u%%\n", name,
           (unsigned)((uint64_t)fileBytesArrived * 100u / prevFileSize));
    nextProgressLogOffset += step;
  } else if (fileBytesArrived == prevFileSize) {
    DBGLOG("file \"%s\" complete\n", name);
  }
}

void rfwcRootFileWriteChunkToSTM32(tcpSTCRootFileWriteChunk_t* tcpMsg_in) {
  tcpMsg = tcpMsg_in;
  uint32_t seq = tcpMsg->header.cmdSequenceNumber;
  if (seq <= lastFailedCmdSequenceNumber) {
    respondToCameraServer((uint32_t)ERRORCODE_GENERIC);
    return;
  }
  if (prevFileType == tcpRootFileType_Invalid) markReadyForNewUpdate(false);

  uint32_t msgLength = tcpMsg->header.msgLength;
  if (msgLength < ROOTFILE_CHUNK_HEADER_SIZE ||
      msgLength - ROOTFILE_CHUNK_HEADER_SIZE > TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD) {
    DBGLOG("ERROR!! too much incoming data %u; our max is %u\n",
           (unsigned)(msgLength < ROOTFILE_CHUNK_HEADER_SIZE ? 0
                                                             : msgLength - ROOTFILE_CHUNK_HEADER_SIZE),
           (unsigned)TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD);
    discardAttempt();
    return;
  }
  bytesInPayload = msgLength - ROOTFILE_CHUNK_HEADER_SIZE;
  if (bytesInPayload > 0) {
    uint32_t crc = ~crc32_update(RFWC_CRC_START, tcpMsg->payload, bytesInPayload);
    if (crc != tcpMsg->payloadChecksum) {
      DBGLOG("ERROR!! payload checksum 0x%08x != calcd chunk checksum 0x%08x\n",
             (unsigned)tcpMsg->payloadChecksum, (unsigned)crc);
      printPayloadInHex(tcpMsg->payload, bytesInPayload);
      discardAttempt();
      return;
    }
  }

  uint32_t offset = tcpMsg->fileOffset;
  if (!(offset == 0 ? startFile(seq) : continueFile(seq))) {
    discardAttempt();
    return;
  }
  // Both are at most RFWC_MAX_FILE_SIZE here: the sum cannot wrap.
  if (fileBytesArrived + bytesInPayload > prevFileSize) {
    DBGLOG("ERROR!! chunk of %u bytes at offset %u runs past the file size %u\n",
           (unsigned)bytesInPayload, (unsigned)offset, (unsigned)prevFileSize);
    discardAttempt();
    return;
  }

  memcpy(myRootFileWriteMsg.payload, tcpMsg->payload, bytesInPayload);
  fileCRC_InProgress = crc32_update(fileCRC_InProgress, tcpMsg->payload, bytesInPayload);
  if (!writeToSTM32(fileBytesArrived, bytesInPayload, tcpMsg->payloadChecksum)) {
    discardAttempt();
    return;
  }
  fileBytesArrived += bytesInPayload;

  if (!respondToCameraServer(ERRORCODE_SUCCESS)) {
    markReadyForNewUpdate(true);
    return;
  }
  logProgress(offset);
  if (fileBytesArrived < prevFileSize) return;

  uint32_t fileCRC = ~fileCRC_InProgress;
  if (fileCRC != prevFileChecksum) {
    DBGLOG("ERROR!! unexpected file CRC32 %u; expected %u\n", (unsigned)fileCRC,
           (unsigned)prevFileChecksum);
    discardAttempt();
    return;
  }
  if (bytesInPayload == TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD) {
    DBGLOG_TEXT("sending 0-length chunk to signify EOF");
    if (!writeToSTM32(prevFileSize, 0, 0)) {
      discardAttempt();
      return;
    }
  }
  fileTypesCompleted_bitmap |= (uint32_t)prevFileType;
  if (fileTypesCompleted_bitmap != tcpRootFileType_All) {
    prevFileSize = 0;
    prevFileChecksum = 0;
    fileBytesArrived = 0;
    bytesInPayload = 0;
    fileCRC_InProgress = RFWC_CRC_START;
    return;
  }

  memset(&myRootFilesRenameAndRebootMsg, 0, sizeof myRootFilesRenameAndRebootMsg);
  for (int i = 0; i < RFWC_FILE_COUNT; i++) {
    memcpy(myRootFilesRenameAndRebootMsg.oldNames[i], fwudTemporaryFileNames[i],
           sizeof(filename_t));
    memcpy(myRootFilesRenameAndRebootMsg.newNames[i], fwudFileNames[i], sizeof(filename_t));
  }
  errorCodes rc = stmsgTxRx_noDebugPrint(
      &myRootFilesRenameAndRebootMsg, sizeof myRootFilesRenameAndRebootMsg,
      CMD_rootFilesRenameAndReboot, &myRootFilesRenameAndRebootMsg,
      sizeof myRootFilesRenameAndRebootMsg, RFWC_RENAME_TIMEOUT_MS);
  int32_t result = ERRORCODE_SUCCESS;
  if (rc != ERRORCODE_SUCCESS || myRootFilesRenameAndRebootMsg.errorCode < 0) {
    DBGLOG("ERROR!! failed to rename %d\n",
           rc != ERRORCODE_SUCCESS ? (int)rc : (int)myRootFilesRenameAndRebootMsg.errorCode);
    result = ERRORCODE_GENERIC;
    // Some names may have been renamed and others not: no mix of old and new files stays.
    markReadyForNewUpdate(true);
  }
  respondToCameraServer((uint32_t)result);
  DBGLOG_TEXT("Rebooting Innophase");
  sleepMSecs(RFWC_REBOOT_DELAY_MS);
  ostsReboot();
}
