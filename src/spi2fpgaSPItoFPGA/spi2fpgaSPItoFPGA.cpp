// Shell: the SPI slave, the task queue and the "spi2fpga" thread come with the SPI channel.
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void spi2fpgaSPItoFPGA_Init(void) { DBGLOG_ENTRY(); }

void spi2fpgaSPItoFPGA_StartThreads(void) {}

// Shell: no thread runs tasks yet, so none is accepted.
bool spi2fpgaQueueTask_internalBuff(spiSourceFlagEnum, void*, spi2fpgaCallback, spi2fpgaCallback,
                                    spi2fpgaCallback, spi2fpgaCallback, uint32_t) {
  return false;
}
