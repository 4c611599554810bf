// Shell: the SPI slave, the task queue and the "spi2fpga" thread come with the SPI channel.
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void spi2fpgaSPItoFPGA_Init(void) { DBGLOG_ENTRY(); }

void spi2fpgaSPItoFPGA_StartThreads(void) {}
