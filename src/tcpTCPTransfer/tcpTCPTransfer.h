// The TCP data connection to the camera server: opening, sending, receiving, and closing it when
// idle. It owns the TCP wire format: every message in both directions begins with TCPHeader_t.
#ifndef TCP_TCP_TRANSFER_H
#define TCP_TCP_TRANSFER_H

#include <stddef.h>
#include <stdint.h>

#include "os.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes
#include "tcpTCPTransfer/txbufBuffers/txbufBuffers.h"

enum tcpCmdID : uint16_t {
  tcpCmdID_Invalid = 0,
  tcpCmdID_LiveViewFrame = 1,
  tcpCmdID_RootFileWriteChunk = 11,
  tcpCmdID_ReadSD_Directory = 12,
  tcpCmdID_ReadSD_BlockFromFile = 13,
  tcpCmdID_ReadSD_FileContents = 14,
  tcpCmdID_ReadSD_JPEGFrameFromFile = 15,
  tcpCmdID_GetFileInfo = 16,
  tcpCmdID_WillClose = 22,
};
// The live-view end marker's command: the UDP LiveView command's number, not a named TCP command.
#define TCP_CMD_ID_LIVE_VIEW_END 3

#define TCP_FILENAME_LEN 13

struct __attribute__((packed)) TCPHeader_t {
  uint32_t msgLength;  // the whole message, header included
  uint16_t tcpCmdID;
  int16_t result;
  uint32_t cmdSequenceNumber;
};
static_assert(sizeof(TCPHeader_t) == 12, "TCPHeader_t");
static_assert(__builtin_offsetof(TCPHeader_t, msgLength) == 0, "TCPHeader_t.msgLength");
static_assert(__builtin_offsetof(TCPHeader_t, tcpCmdID) == 4, "TCPHeader_t.tcpCmdID");
static_assert(__builtin_offsetof(TCPHeader_t, result) == 6, "TCPHeader_t.result");
static_assert(__builtin_offsetof(TCPHeader_t, cmdSequenceNumber) == 8,
              "TCPHeader_t.cmdSequenceNumber");

struct __attribute__((packed)) tcpSTCLiveViewFrame_t {
  TCPHeader_t header;
  uint32_t durationSeconds;
  uint32_t numberOfFrames;
  uint16_t resolutionCode;
  uint8_t padding[2];
};
static_assert(sizeof(tcpSTCLiveViewFrame_t) == 24, "tcpSTCLiveViewFrame_t");
static_assert(__builtin_offsetof(tcpSTCLiveViewFrame_t, durationSeconds) == 12, "durationSeconds");
static_assert(__builtin_offsetof(tcpSTCLiveViewFrame_t, numberOfFrames) == 16, "numberOfFrames");
static_assert(__builtin_offsetof(tcpSTCLiveViewFrame_t, resolutionCode) == 20, "resolutionCode");

// The update files, a bit each (see rfwcRootFileWriteChunk for their names on the card).
enum tcpRootFileType_t : uint32_t {
  tcpRootFileType_Invalid = 0,
  tcpRootFileType_STM32_Firmware = 1,
  tcpRootFileType_FPGA_Firmware = 2,
  tcpRootFileType_Innophase_Firmware1 = 4,
  tcpRootFileType_Innophase_Firmware2 = 8,
  tcpRootFileType_All = 15,
};

// The largest payload of one update-file chunk.
#define TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD 1400

// One chunk of an update file: the fixed part, then `msgLength` - 32 payload bytes.
struct __attribute__((packed)) tcpSTCRootFileWriteChunk_t {
  TCPHeader_t header;
  uint32_t fileType;         // one tcpRootFileType_t bit
  uint32_t fileSize;         // bytes of the whole file
  uint32_t fileOffset;       // where this chunk's payload belongs
  uint32_t fileChecksum;     // CRC-32 of the whole file
  uint32_t payloadChecksum;  // CRC-32 of this chunk's payload
  uint8_t payload[TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD];
};
static_assert(sizeof(tcpSTCRootFileWriteChunk_t) == 32 + TCP_ROOT_FILE_CHUNK_MAX_PAYLOAD,
              "tcpSTCRootFileWriteChunk_t");
static_assert(__builtin_offsetof(tcpSTCRootFileWriteChunk_t, fileType) == 12, "fileType");
static_assert(__builtin_offsetof(tcpSTCRootFileWriteChunk_t, fileSize) == 16, "fileSize");
static_assert(__builtin_offsetof(tcpSTCRootFileWriteChunk_t, fileOffset) == 20, "fileOffset");
static_assert(__builtin_offsetof(tcpSTCRootFileWriteChunk_t, fileChecksum) == 24, "fileChecksum");
static_assert(__builtin_offsetof(tcpSTCRootFileWriteChunk_t, payloadChecksum) == 28,
              "payloadChecksum");
static_assert(__builtin_offsetof(tcpSTCRootFileWriteChunk_t, payload) == 32, "payload");

struct __attribute__((packed)) tcpSTCReadSD_Directory_t {
  TCPHeader_t header;
  char filename[TCP_FILENAME_LEN];
  uint8_t padding[3];
};
static_assert(sizeof(tcpSTCReadSD_Directory_t) == 28, "tcpSTCReadSD_Directory_t");
static_assert(__builtin_offsetof(tcpSTCReadSD_Directory_t, filename) == 12, "filename");

struct __attribute__((packed)) tcpSTCReadSD_BlockFromFile_t {
  TCPHeader_t header;
  char filename[TCP_FILENAME_LEN];
  uint8_t padding[3];
  uint32_t fileOffset;
  uint32_t bytesToRead;
};
static_assert(sizeof(tcpSTCReadSD_BlockFromFile_t) == 36, "tcpSTCReadSD_BlockFromFile_t");
static_assert(__builtin_offsetof(tcpSTCReadSD_BlockFromFile_t, fileOffset) == 28, "fileOffset");
static_assert(__builtin_offsetof(tcpSTCReadSD_BlockFromFile_t, bytesToRead) == 32, "bytesToRead");

struct __attribute__((packed)) tcpSTCReadSD_FileContents_t {
  TCPHeader_t header;
  char filename[TCP_FILENAME_LEN];
  uint8_t cancelXfer;
  uint8_t padding[2];
};
static_assert(sizeof(tcpSTCReadSD_FileContents_t) == 28, "tcpSTCReadSD_FileContents_t");
static_assert(__builtin_offsetof(tcpSTCReadSD_FileContents_t, cancelXfer) == 25, "cancelXfer");

struct __attribute__((packed)) tcpSTCReadSD_JPEGFrameFromFile_t {
  TCPHeader_t header;
  char filename[TCP_FILENAME_LEN];
  uint8_t padding[3];
  uint32_t frameNumber;
};
static_assert(sizeof(tcpSTCReadSD_JPEGFrameFromFile_t) == 32, "tcpSTCReadSD_JPEGFrameFromFile_t");
static_assert(__builtin_offsetof(tcpSTCReadSD_JPEGFrameFromFile_t, frameNumber) == 28,
              "frameNumber");

struct __attribute__((packed)) tcpSTCGetFileInfo_t {
  TCPHeader_t header;
  char filename[TCP_FILENAME_LEN];
  uint8_t padding1[3];
};
static_assert(sizeof(tcpSTCGetFileInfo_t) == 28, "tcpSTCGetFileInfo_t");

struct __attribute__((packed)) tcpCTSGetFileInfo_t {
  TCPHeader_t header;
  char filename[TCP_FILENAME_LEN];
  uint8_t padding[3];
  uint32_t fileSize;
  uint32_t fileTimeDate;
  uint32_t numFrames;
};
static_assert(sizeof(tcpCTSGetFileInfo_t) == 40, "tcpCTSGetFileInfo_t");
static_assert(__builtin_offsetof(tcpCTSGetFileInfo_t, fileSize) == 28, "fileSize");
static_assert(__builtin_offsetof(tcpCTSGetFileInfo_t, fileTimeDate) == 32, "fileTimeDate");
static_assert(__builtin_offsetof(tcpCTSGetFileInfo_t, numFrames) == 36, "numFrames");

void tcpTCPTransfer_Init(void);
// Main-loop poll: closes an idle connection; returns the time it wants to run again.
systimer_t tcpTCPTransfer_Poll(systimer_t next);
// Opens the connection to the camera server's current address on `serverPort`, replacing any
// existing one; true when it was started. `serverName` names the server in logs.
bool tcpOpen(const char* serverName, uint16_t serverPort);
// Closes the connection, after announcing it when `willCloseTimeoutMSecs` is nonzero; always
// cleans up. `funcName` names the caller in logs.
void tcpClose(const char* funcName, uint32_t willCloseTimeoutMSecs);
// The one way producers send a locked TX buffer: writes the header into the first buffer of a
// message and queues the buffer. `msgLength` 0 stands for the command's camera-to-server size,
// `bytesInBuffer` 0 for as much of the rest of the message as fits. Buffers of one message are
// never interleaved with another's. False leaves the buffer LOCKED for the caller to unlock.
bool tcpSendTXBuffer(XferBufHandle_t txBufHandle, tcpCmdID cmdID, uint32_t msgLength,
                     uint32_t bytesInBuffer, uint32_t cmdSequenceNumber, enum errorCodes result);
// After a failed transfer answering request `cmdSequenceNumber`: a header-only reply carrying
// `tcpResult` when nothing of the reply was sent yet, else the connection is closed.
bool tcpCleanupMessageAfterFailure(tcpCmdID cmdID, enum errorCodes tcpResult,
                                   uint32_t cmdSequenceNumber);
// Hands one buffer to lwIP without copying; only the "txbuf" thread calls it.
bool tcpSendData(uint8_t* buffer, size_t size);
// Moves up to `length` bytes already received into `buffer`; never waits for more.
int tcpGetBytes(uint8_t* buffer, uint16_t length, uint32_t timeout_ms);
size_t tcpGetCTSMessageSize(tcpCmdID cmdID);
size_t tcpGetSTCMessageSize(tcpCmdID cmdID);
const char* tcpGetCMDIDString(tcpCmdID cmdID);
void tcpDebugPrint(void);
// The number of the current connection; it changes at every clean-up, so a producer can tell that
// the connection its message began on is gone.
int32_t tcpConnectionNumber(void);

#endif  // TCP_TCP_TRANSFER_H
