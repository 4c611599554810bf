// The SPI channel from the FPGA: the "spi2fpga" thread that runs SPI tasks (live view, frames,
// file blocks, directory listings) and hands the data to their callbacks.
#ifndef SPI2FPGA_SPI_TO_FPGA_H
#define SPI2FPGA_SPI_TO_FPGA_H

#include <stdint.h>

#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes

// The receive mode of an FPGA message (its header's first word).
enum spiSourceFlagEnum : uint32_t {
  spiDataSrcFlag_LiveView = 1734701162u,  // "jpeg"
  spiDataSrcFlag_ReadJPEGFrameFromFile = 1,
  spiDataSrcFlag_INVALID_2 = 2,
  spiDataSrcFlag_ReadBlockFromFile = 3,
  spiDataSrcFlag_ReadFileContents = 4,
  spiDataSrcFlag_SingleBlock = 5,
  spiDataSrcFlag_DirList1 = 6,
};

// The message being received, as the callbacks see it.
struct spiMessage_t {
  volatile int32_t messageLength;            // the message's len (12 header bytes included)
  volatile uint32_t messageBytesRemaining;   // not yet received
  volatile uint32_t bytesInBuffer;           // valid bytes of the transfer just received
  volatile uint32_t spiXferLen;              // the SPI transfer length
  volatile bool beginningOfMessage;
  volatile bool endOfMessage;
  uint8_t* volatile buffer;                  // where the current transfer landed
};

// The part of a task its callbacks see.
struct spiTask_t {
  void* callbackArg;
  uint32_t tcpCmdSeqNum;
  uint32_t cameraMessageCommandSignature;  // set by the init callback; 0 disables the check
  errorCodes resultCode;                   // the last callback's result
};

enum spi2fpgaCallbackType : uint8_t {
  SPI2FPGA_CB_INIT_ON_QUEUE = 0,
  SPI2FPGA_CB_INIT_TRANSFER = 1,
  SPI2FPGA_CB_BUFF_RX = 2,
  SPI2FPGA_CB_ENDOF_MESSAGE = 3,
  SPI2FPGA_CB_ERROR = 4,
};

// A task's callback; a negative result cancels the task.
typedef errorCodes (*spi2fpgaCallback)(spi2fpgaCallbackType type, volatile spiMessage_t* message,
                                       volatile spiTask_t* task);

void spi2fpgaSPItoFPGA_Init(void);
// Creates the "spi2fpga" thread.
void spi2fpgaSPItoFPGA_StartThreads(void);
// Queues a task whose data lands in the channel's internal buffer; false when it cannot be queued.
bool spi2fpgaQueueTask_internalBuff(spiSourceFlagEnum recvMode, void* callbackArg,
                                    spi2fpgaCallback initOnQueueCallback,
                                    spi2fpgaCallback initCallback, spi2fpgaCallback recvCallback,
                                    spi2fpgaCallback cleanupCallback, uint32_t timeout);

#endif  // SPI2FPGA_SPI_TO_FPGA_H
