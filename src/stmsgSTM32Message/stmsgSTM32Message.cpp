// The STM32 link. A transaction: take the module lock, wake the STM32 by raising our signal line
// until it raises its own, send the SLIP-framed request over the UART, lower the line and wait
// for the answer that carries the request's signature.
#include "stmsgSTM32Message/stmsgSTM32Message.h"

#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "cmdalwdCameraCommandAllowed/cmdalwdCameraCommandAllowed.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cDevices.h"
#include "os.h"
#include "slipSLIPUtilities/slipSLIPUtilities.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "statStatus/statStatus.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "uart.h"

#define STMSG_UART_BAUD 460800
#define STMSG_UART_TXD_PIN 21
#define STMSG_UART_RXD_PIN 20

// Wake-up handshake: this many edges, each given this long to be answered, polled this often.
#define HANDSHAKE_ATTEMPTS 4
#define HANDSHAKE_ATTEMPT_US 1500000u
#define HANDSHAKE_POLL_US 25000u
#define HANDSHAKE_EDGE_LOW_US 5000u

// Lets a few bytes arrive between reads, so the reader does not wake for every byte.
#define RX_BYTE_PAUSE_US 32u
// A frame that could not be decoded is followed by one more try after this pause.
#define DECODE_RETRY_PAUSE_US 3000000u
#define DECODE_TRIES 2

#define NOT_AVAILABLE 4294967295u

static struct uart* uart;
static uint32_t prevCMDSeqNum;
static void* volatile currentMessagePtr;
static uint8_t slipData[STMSG_SLIP_BUFFER_SIZE];
static CameraMessageHeader bareHeader;                   // the request when a caller sends no body
static struct os_semaphore moduleLocked_semaphore;       // one transaction at a time
static struct os_semaphore rx_semaphore;                 // one post per received byte
static struct os_semaphore releaseMsgFromInterrupt_sem;  // the STM32 raised its line

// UART interrupt: only counts the arrival; the transaction reads the byte.
static void rx_callback(struct uart* /*u*/, uint32_t events) {
  if (events & UART_EVENT_RX) os_sem_post(&rx_semaphore);
}

static void setSemaphoreToZero(struct os_semaphore* sem) {
  uint32_t s = os_irq_disable();
  sem->value = 0;
  os_irq_restore(s);
}

static const char* getOrSet(uint16_t command) { return (command & CMD_GET_BIT) ? "GET" : "SET"; }

static unsigned withoutGetBit(uint16_t command) { return (unsigned)(command & ~CMD_GET_BIT); }

void stmsgSTM32Message_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&rx_semaphore, 0);
  os_sem_init(&moduleLocked_semaphore, 1);
  os_sem_init(&releaseMsgFromInterrupt_sem, 0);
}

bool stmsgReleaseQueuedMessage(void) {
  bool released = false;
  uint32_t s = os_irq_disable();
  if (currentMessagePtr != nullptr) {
    os_sem_post(&releaseMsgFromInterrupt_sem);
    released = true;
  }
  os_irq_restore(s);
  return released;
}

static bool openUART(void) {
  if (uart != nullptr) return true;
  uart = uart_open_ext(STMSG_UART_BAUD, STMSG_UART_TXD_PIN, STMSG_UART_RXD_PIN, 0, 0, 0);
  if (uart == nullptr) return false;
  uart_set_callback_all(uart, rx_callback);
  return true;
}

static void closeUART(void) {
  if (uart == nullptr) return;
  uart_flush(uart);
  uart_clear_callback(uart);
  uart_close(uart);
  uart = nullptr;
}

static bool isSTM32SignalActive(void) { return i2cReadIsSignalActive_fromSTM32() == 1; }

// Raises our line and waits for the STM32 to raise its own, with a fresh edge every 1.5 s.
// Leaves our line raised on success, lowered on failure.
static bool wakeUpSTM32(uint16_t command) {
  // Nothing would post the release semaphore while the I2C thread itself waits here.
  bool callerIsI2CThread = i2cThreadNeedsToSendSTMessage();
  setSemaphoreToZero(&releaseMsgFromInterrupt_sem);
  i2cActivateSignalToSTM32();

  for (int attempt = 0; attempt < HANDSHAKE_ATTEMPTS; attempt++) {
    systimer_t start = os_systime64();
    while (os_systime64() - start < HANDSHAKE_ATTEMPT_US) {
      if (isSTM32SignalActive()) return true;
      if (callerIsI2CThread) {
        os_sleep_us(HANDSHAKE_POLL_US, OS_TIMEOUT_WAKEUP);
      } else if (os_sem_wait_timeout(&releaseMsgFromInterrupt_sem, HANDSHAKE_POLL_US) == 0) {
        return true;
      }
    }
    if (attempt + 1 == HANDSHAKE_ATTEMPTS) break;  // no attempt follows: the last read decides
    bleQueueDebugConsoleMsg("Generating new edge for ST to wake up %02X", (unsigned)command);
    i2cDeactivateSignalToSTM32();
    os_sleep_us(HANDSHAKE_EDGE_LOW_US, OS_TIMEOUT_WAKEUP);
    i2cActivateSignalToSTM32();
  }

  if (isSTM32SignalActive()) return true;
  bleQueueDebugConsoleMsg("ST->INNO wasn't active before timeout %02X", (unsigned)command);
  i2cDeactivateSignalToSTM32();
  return false;
}

// Reads one frame into slipData: END, then bytes up to the next END or until the buffer is full
// (what does not fit is left unread, and the frame then fails to decode).
static errorCodes receiveFrame(uint32_t responseTimeoutUs) {
  unsigned count = 0;
  while (count < STMSG_SLIP_BUFFER_SIZE) {
    os_sleep_us(RX_BYTE_PAUSE_US, OS_TIMEOUT_WAKEUP);
    // A post can be stale: a byte that arrived after the count was cleared and before the UART
    // was drained (a late answer to a request of the last boot) leaves one behind. Only a byte
    // ends the wait, or the time-out.
    systimer_t deadline = os_systime64() + responseTimeoutUs;
    int c;
    for (;;) {
      bool posted = os_sem_wait_timeout(&rx_semaphore, responseTimeoutUs) == 0;
      c = uart_getchar_tmo(uart, 0);
      systimer_t now = os_systime64();
      if (c >= 0 || !posted || now >= deadline) break;
      responseTimeoutUs = (uint32_t)(deadline - now);
    }
    if (c < 0) {
      DBGLOG("Timeout waiting for response after %u bytes\n", count);
      if (count == 0) {
        srStUARTResponseTimeout();
        statMarkStatusBits(KAStatus_STNotResponding, KAStatus_STNotResponding);
      }
      return ERRORCODE_TEMPORARY_ERROR;
    }
    if (count == 0 && c != SLIP_END) {
      DBGLOG_TEXT("First byte received is not SLIP_END");
      return ERRORCODE_TEMPORARY_ERROR;
    }
    slipData[count++] = (uint8_t)c;
    if (count > 1 && c == SLIP_END) break;
  }
  return ERRORCODE_SUCCESS;
}

// Receives and decodes one answer into responseMsg, with a second try after a pause when the
// frame does not decode. The number of decoded bytes in *decodedLen (0 when none).
static errorCodes receiveResponse(void* responseMsg, unsigned responseMsgSize,
                                  uint32_t responseTimeoutUs, int* decodedLen) {
  uint16_t decodeLimit = responseMsgSize > 0xFFFFu ? (uint16_t)0xFFFFu : (uint16_t)responseMsgSize;
  *decodedLen = 0;
  for (int tryNum = 1; tryNum <= DECODE_TRIES; tryNum++) {
    memset(slipData, 0, sizeof slipData);
    memset(responseMsg, 0, responseMsgSize);
    errorCodes result = receiveFrame(responseTimeoutUs);
    if (result != ERRORCODE_SUCCESS) return result;
    int n = slipDecode(slipData, sizeof slipData, (uint8_t*)responseMsg, decodeLimit);
    if (n > 0) {
      *decodedLen = n;
      return ERRORCODE_SUCCESS;
    }
    DBGLOG("Failed to decode SLIP message; provided buffer len %u too small? tryNum left %d\n",
           responseMsgSize, tryNum);
    if (tryNum < DECODE_TRIES) os_sleep_us(DECODE_RETRY_PAUSE_US, OS_TIMEOUT_WAKEUP);
  }
  return ERRORCODE_TEMPORARY_ERROR;
}

static uint32_t msSince(systimer_t start) {
  uint64_t ms = (os_systime64() - start) / 1000u;
  return ms > NOT_AVAILABLE ? NOT_AVAILABLE : (uint32_t)ms;
}

// What the result line reports of a transaction.
struct TxRxOutcome {
  uint32_t elapsedMs;  // end of sending to the end of receiving
  bool answerDecoded;  // responseMsg holds a decoded answer
};

// Steps after the lock and the gate: wake, send, receive, match. Runs with the UART open.
static errorCodes exchange(const uint8_t* request, unsigned length, uint16_t command,
                           void* responseMsg, unsigned responseMsgSize, unsigned timeout,
                           TxRxOutcome* outcome) {
  if (!wakeUpSTM32(command)) return ERRORCODE_TEMPORARY_ERROR;

  // The header's length field and the encoder both count in 16 bits.
  int frameLen = 0;
  if (length <= 0xFFFFu) {
    frameLen = slipEncode(request, (uint16_t)length, slipData, (uint16_t)sizeof slipData);
  }
  systimer_t sendEnd = 0;
  if (frameLen <= 0) {
    DBGLOG("Failed to encode SLIP message; internal buffer len %u too small?\n",
           (unsigned)sizeof slipData);
  } else {
    for (int i = 0; i < frameLen; i++) uart_putchar(uart, slipData[i]);
    uart_flush(uart);
    sendEnd = os_systime64();
  }
  // Lowered after a failed encoding too: a line left raised would keep the STM32 waiting for us.
  i2cDeactivateSignalToSTM32();
  if (frameLen <= 0) {
    DBGLOG("  FREEZE -- Failed to send %s cmd %u to STM32; STMSGRES: %d\n\n\n", getOrSet(command),
           withoutGetBit(command), (int)ERRORCODE_TEMPORARY_ERROR);
    return ERRORCODE_TEMPORARY_ERROR;
  }

  uint64_t responseTimeoutUs =
      (uint64_t)(timeout > STMSG_MIN_RESPONSE_TIMEOUT_MS ? timeout
                                                         : STMSG_MIN_RESPONSE_TIMEOUT_MS) *
      1000u;
  if (responseTimeoutUs > NOT_AVAILABLE) responseTimeoutUs = NOT_AVAILABLE;

  const CameraMessageHeader* answer = (const CameraMessageHeader*)responseMsg;
  for (;;) {
    int decodedLen = 0;
    errorCodes result =
        receiveResponse(responseMsg, responseMsgSize, (uint32_t)responseTimeoutUs, &decodedLen);
    outcome->elapsedMs = msSince(sendEnd);
    outcome->answerDecoded = decodedLen > 0;
    if (result != ERRORCODE_SUCCESS) {
      DBGLOG("Failed to receive %s cmd %u from STM32; STMSGRES: %d\n", getOrSet(command),
             withoutGetBit(command), (int)result);
      return result;
    }

    uint32_t signature = answer->commandSignature;
    if (signature == prevCMDSeqNum) {
      int32_t stResult = answer->result;
      if (stResult >= 0) return ERRORCODE_SUCCESS;
      DBGLOG("STM32 reported err result %d from msg with %d slip-decoded bytes\n", (int)stResult,
             decodedLen);
      return (errorCodes)stResult;
    }
    srStCmdSeqErr();
    if (signature > prevCMDSeqNum) {
      DBGLOG(
          "ERROR!! STM32 reported command signature %d does not match expected %d from msg "
          "with %d slip-decoded bytes\n",
          (int)signature, (int)prevCMDSeqNum, decodedLen);
      return ERRORCODE_TEMPORARY_ERROR;
    }
    // A late answer to an earlier request: ours may still come.
    DBGLOG_TEXT("sig < expected; trying recv w/ new tmo period");
  }
}

errorCodes stmsgTxRx(void* msg, unsigned msgSize, uint16_t command, void* responseMsg,
                     unsigned responseMsgSize, unsigned timeout, bool debugPrintResult) {
  if (msg != nullptr && msgSize == 0) {
    DBGLOG_TEXT("msgSize is 0");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (responseMsg == nullptr) {
    DBGLOG_TEXT("responseMsg pointer is NULL");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (responseMsgSize == 0) {
    DBGLOG_TEXT("responseMsgSize is 0");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (timeout == 0) {
    DBGLOG_TEXT("timeout is 0");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  // Both buffers get a whole header written or read: anything smaller would be overrun.
  if (msg != nullptr && msgSize < sizeof(CameraMessageHeader)) {
    DBGLOG("msgSize %u is smaller than a message header\n", msgSize);
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (responseMsgSize < sizeof(CameraMessageHeader)) {
    DBGLOG("responseMsgSize %u is smaller than a message header\n", responseMsgSize);
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (msg == nullptr) msgSize = sizeof(CameraMessageHeader);

  os_sem_wait(&moduleLocked_semaphore);

  errorCodes result = ERRORCODE_TEMPORARY_ERROR;
  TxRxOutcome outcome = {NOT_AVAILABLE, false};
  bool isRecording = (sysstateSystemState & sysstate_Recording) != 0;
  int32_t allowed = cmdalwdIsCameraCommandIDAllowed(command, isRecording);
  if (allowed < 1) {
    DBGLOG("Command %d was blocked by current camera state before sending to STM32; error %d\n",
           (int)command, (int)allowed);
  } else {
    while (os_sem_wait_timeout(&rx_semaphore, 0) == 0) {
    }
    setSemaphoreToZero(&rx_semaphore);
    if (openUART()) {
      while (uart_getchar_tmo(uart, 1) >= 0) {
      }
      CameraMessageHeader* header = (CameraMessageHeader*)(msg != nullptr ? msg : &bareHeader);
      if (msg == nullptr) memset(&bareHeader, 0, sizeof bareHeader);
      header->length = (uint16_t)msgSize;
      header->command = command;
      header->commandSignature = ++prevCMDSeqNum;
      // A request carries no result; a reused buffer may still hold the last answer's.
      header->result = 0;
      currentMessagePtr = header;
      result = exchange((const uint8_t*)header, msgSize, command, responseMsg, responseMsgSize,
                        timeout, &outcome);
    }
  }

  if (debugPrintResult) {
    const char* prefix = result != ERRORCODE_SUCCESS ? "ERROR!! " : "";
    CameraMessageHeader* answer = (CameraMessageHeader*)responseMsg;
    unsigned rxCommand = NOT_AVAILABLE, rxLength = NOT_AVAILABLE, rxSignature = NOT_AVAILABLE;
    if (outcome.answerDecoded) {
      // Only a received answer is touched: otherwise the buffer may still hold the request.
      if (command & CMD_GET_BIT) answer->command = (uint16_t)(answer->command & ~CMD_GET_BIT);
      rxCommand = answer->command;
      rxLength = answer->length;
      rxSignature = answer->commandSignature;
    }
    if (command & CMD_GET_BIT) {
      DBGLOG("%sid/len/sig tx:+%u/%u/%u %ums rx:+%u/%u/%u\n", prefix, withoutGetBit(command),
             msgSize, (unsigned)prevCMDSeqNum, (unsigned)outcome.elapsedMs, rxCommand, rxLength,
             rxSignature);
    } else {
      DBGLOG("%sid/len/sig tx:%u/%u/%u %ums rx:%u/%u/%u\n", prefix, withoutGetBit(command), msgSize,
             (unsigned)prevCMDSeqNum, (unsigned)outcome.elapsedMs, rxCommand, rxLength,
             rxSignature);
    }
  }

  closeUART();
  // The STM32 keeps its line up when it has something to report.
  if (isSTM32SignalActive()) ginfQueueStatusUpdate("stmsgTxRx");

  currentMessagePtr = nullptr;
  os_sem_post(&moduleLocked_semaphore);
  return result;
}

errorCodes stmsgTxRx_debugPrint(void* msg, unsigned msgSize, uint16_t command, void* responseMsg,
                                unsigned responseMsgSize, unsigned timeout) {
  return stmsgTxRx(msg, msgSize, command, responseMsg, responseMsgSize, timeout, true);
}

errorCodes stmsgTxRx_noDebugPrint(void* msg, unsigned msgSize, uint16_t command, void* responseMsg,
                                  unsigned responseMsgSize, unsigned timeout) {
  return stmsgTxRx(msg, msgSize, command, responseMsg, responseMsgSize, timeout, false);
}
