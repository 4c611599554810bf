// The SPI channel from the FPGA: the "spi2fpga" thread that runs SPI tasks (live view, frames,
// file blocks, directory listings) and hands the data to their callbacks.
#ifndef SPI2FPGA_SPI_TO_FPGA_H
#define SPI2FPGA_SPI_TO_FPGA_H

void spi2fpgaSPItoFPGA_Init(void);
// Creates the "spi2fpga" thread.
void spi2fpgaSPItoFPGA_StartThreads(void);

#endif  // SPI2FPGA_SPI_TO_FPGA_H
