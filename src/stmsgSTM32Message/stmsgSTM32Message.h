// The STM32 link: one request/response transaction at a time, and the result codes shared by the
// STM32 link, the command handlers and the TCP replies.
#ifndef STMSG_STM32_MESSAGE_H
#define STMSG_STM32_MESSAGE_H

#include <stdint.h>

#include "stmsgSTM32Message/stmsgMessages.h"

enum errorCodes : int32_t {
  ERRORCODE_SUCCESS = 0,
  ERRORCODE_GENERIC = -1,
  DEPRECATED_ERRORCODE_PERSISTENT_NORETRY = -1,
  DEPRECATED_ERRORCODE_PERSISTENT_NORETRY2 = -2,
  ERRORCODE_UNRECOGNIZED_COMMAND = -100,
  ERRORCODE_COMMAND_BLOCKED_WHILE_RECORDING = -101,
  ERRORCODE_ILLEGAL_SCHEDULE_REQUEST = -102,
  ERRORCODE_ILLEGAL_PARAM_VALUE = -103,
  ERRORCODE_CORRUPT_FILE = -104,
  ERRORCODE_CANT_DELETE_RECORDING_FILE = -105,
  ERRORCODE_SD_NOT_PRESENT = -106,
  ERRORCODE_FS_NOT_INITIALIZED = -107,
  ERRORCODE_CANT_DELETE_USB_HOSTED = -108,
  ERRORCODE_PERSISTENT_ERROR = -109,
  ERRORCODE_TEMPORARY_ERROR = -110,
  ERRORCODE_BAD_ARG = -111,
  ERRORCODE_BAD_CMD = -112,
  ERRORCODE_FRAME_FILE_MISSING = -113,
};

// The largest SLIP frame of a request or an answer.
#define STMSG_SLIP_BUFFER_SIZE 3000
// The STM32 gets at least this long to answer, whatever the caller asks for.
#define STMSG_MIN_RESPONSE_TIMEOUT_MS 15000

void stmsgSTM32Message_Init(void);

// One transaction with the STM32: wakes it through the signal lines, sends `msg` (`msgSize`
// bytes, header included; none sends a bare header) as `command` and waits for its answer in
// `responseMsg` (at most `responseMsgSize` bytes; may be `msg` itself). `timeout` in ms (the
// STM32 always gets at least 15 s). Fills the request's header. 0 on success, the STM32's own
// negative result when it reports one, else -110 (ERRORCODE_TEMPORARY_ERROR). Blocks while
// another thread's transaction runs.
errorCodes stmsgTxRx(void* msg, unsigned msgSize, uint16_t command, void* responseMsg,
                     unsigned responseMsgSize, unsigned timeout, bool debugPrintResult);
// The same, with and without the result line in the log.
errorCodes stmsgTxRx_debugPrint(void* msg, unsigned msgSize, uint16_t command, void* responseMsg,
                                unsigned responseMsgSize, unsigned timeout);
errorCodes stmsgTxRx_noDebugPrint(void* msg, unsigned msgSize, uint16_t command, void* responseMsg,
                                  unsigned responseMsgSize, unsigned timeout);

// The I2C thread saw the STM32's signal line become active: true when a transaction waits for it
// (it is released), false when the STM32 asks for attention on its own.
bool stmsgReleaseQueuedMessage(void);

#endif  // STMSG_STM32_MESSAGE_H
