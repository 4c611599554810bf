// The SPI channel from the FPGA: the "spi2fpga" thread that runs SPI tasks (live view, frames,
// file blocks, directory listings) one at a time and hands the data to the TCP connection or to
// the task's callbacks.
#ifndef SPI2FPGA_SPI_TO_FPGA_H
#define SPI2FPGA_SPI_TO_FPGA_H

#include <stdint.h>

#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes

// The first word of an FPGA message: what it carries.
enum spiSourceFlagEnum : uint32_t {
  spiDataSrcFlag_LiveView = 1734701162u,  // "jpeg" in memory order
  spiDataSrcFlag_ReadJPEGFrameFromFile = 1,
  spiDataSrcFlag_INVALID_2 = 2,
  spiDataSrcFlag_ReadBlockFromFile = 3,
  spiDataSrcFlag_ReadFileContents = 4,
  spiDataSrcFlag_SingleBlock = 5,
  spiDataSrcFlag_DirList1 = 6,
};

// The 12-byte header that begins every FPGA message.
struct __attribute__((packed)) fpgaToInnophaseHeader_t {
  uint32_t flag32;
  int32_t len;  // the whole message, this header included
  uint32_t commandSignature;
};
static_assert(sizeof(fpgaToInnophaseHeader_t) == 12, "fpgaToInnophaseHeader_t");
static_assert(__builtin_offsetof(fpgaToInnophaseHeader_t, flag32) == 0, "flag32");
static_assert(__builtin_offsetof(fpgaToInnophaseHeader_t, len) == 4, "len");
static_assert(__builtin_offsetof(fpgaToInnophaseHeader_t, commandSignature) == 8,
              "commandSignature");

// The state of the message being received, shared with the interrupt handler.
struct spiMessage_t {
  volatile int32_t messageLength;
  volatile uint32_t messageBytesRemaining;
  volatile uint32_t bytesInBuffer;  // valid bytes of the transfer just received
  volatile uint32_t spiXferLen;
  volatile bool beginningOfMessage;
  volatile bool endOfMessage;
  uint8_t* volatile buffer;
};

// What a task's callbacks see.
struct spiTask_t {
  void* callbackArg;
  uint32_t tcpCmdSeqNum;                  // the server's request; 0 for internal-buffer tasks
  uint32_t cameraMessageCommandSignature;  // the header must carry it; 0 disables the check
  enum errorCodes resultCode;
};

typedef uint8_t spi2fpgaCallbackType;
#define SPI2FPGA_CB_INIT_ON_QUEUE 0
#define SPI2FPGA_CB_INIT_TRANSFER 1
#define SPI2FPGA_CB_BUFF_RX 2
#define SPI2FPGA_CB_ENDOF_MESSAGE 3
#define SPI2FPGA_CB_ERROR 4

// A negative result cancels the task.
typedef enum errorCodes (*spi2fpgaCallback)(spi2fpgaCallbackType type,
                                            volatile spiMessage_t* message,
                                            volatile spiTask_t* task);

void spi2fpgaSPItoFPGA_Init(void);
// Creates the "spi2fpga" thread.
void spi2fpgaSPItoFPGA_StartThreads(void);
// Queues a task whose data goes to the camera server as the reply to `tcpCmdSeqNum`. Blocks while
// a task of the same mode is queued or running. The init-on-queue callback runs first, on the
// caller's thread; a negative result refuses the queueing. `timeout` in ms, 0 for the defaults.
bool spi2fpgaQueueTask_tcpTX(spiSourceFlagEnum recvMode, void* callbackArg,
                             spi2fpgaCallback initOnQueueCallback, spi2fpgaCallback initCallback,
                             spi2fpgaCallback recvCallback, spi2fpgaCallback cleanupCallback,
                             uint32_t timeout, uint32_t tcpCmdSeqNum);
// Queues a task whose transfers go to its receive callback.
bool spi2fpgaQueueTask_internalBuff(spiSourceFlagEnum recvMode, void* callbackArg,
                                    spi2fpgaCallback initOnQueueCallback,
                                    spi2fpgaCallback initCallback, spi2fpgaCallback recvCallback,
                                    spi2fpgaCallback cleanupCallback, uint32_t timeout);
// Withdraws a queued task of that mode that has not started; false when there is none.
bool spi2fpgaDequeueTask(spiSourceFlagEnum recvMode);
// From one of the running task's own callbacks: queue the task again when its session ends.
void spi2fpgaRequeueCurrentTask(volatile spiTask_t* task);
// Aborts a read in progress and lets the SPI slave sleep.
void spi2fpgaSuspend(void);
const char* spi2fpgaRecvModeToString_ISRsafe(uint32_t recvMode);
int spi2fpgaGetTaskIndex(uint32_t recvMode);
// Diagnostic receive callbacks.
enum errorCodes spi2fpgaPrintBuffInfo_recvCallback(spi2fpgaCallbackType type,
                                                   volatile spiMessage_t* message,
                                                   volatile spiTask_t* task);
enum errorCodes spi2fpgaPrintEntireBuffer_recvCallback(spi2fpgaCallbackType type,
                                                       volatile spiMessage_t* message,
                                                       volatile spiTask_t* task);

// Payload bytes copied between the SPI slave and lwIP since start-up (0 while transfers are
// TX_BUFFER_LEN long, which land straight in TX buffers).
uint64_t spi2fpgaBytesCopied(void);

#endif  // SPI2FPGA_SPI_TO_FPGA_H
