// The version-2 update protocol (two files in 4096-byte SLIP-framed blocks, each checked by
// CRC-32, staged in spare flash, then copied over the firmware) and the flash work both
// protocols share.
#ifndef FWUDV2_FW_UPDATE_VERSION2_H
#define FWUDV2_FW_UPDATE_VERSION2_H

#include <stdint.h>

#include "spi_flash.h"

#define FWUD_PAGE_SIZE 4096u
#define FWUD_BUFFER_SIZE 4098u  // a page and the older protocol's checksum
// The firmware's two parts, where they are staged, and how many pages each may have.
#define FWUD_FIRMWARE1_ADDRESS 0x1000u
#define FWUD_FIRMWARE2_ADDRESS 0x40000u
#define FWUD_STAGING1_ADDRESS 0xF8000u
#define FWUD_STAGING2_ADDRESS 0x137000u
#define FWUD_FILE1_MAX_PAGES 63u
#define FWUD_FILE2_MAX_PAGES 184u
#define FWUD_FLASH_SIZE 0x200000u

// Receives both files, stages, checks and copies them; never returns (reboots, or halts when the
// firmware area cannot be written).
[[noreturn]] void fwudv2_Start(void* h_uart_param);

// The page buffers both protocols share (FWUD_BUFFER_SIZE bytes each), allocated on first use;
// false (logged as `caller`) when the heap has no room.
bool fwudv2_allocBuffers(const char* caller);
uint8_t* fwudv2_flashBuffer(void);  // NULL until allocated
uint8_t* fwudv2_checkBuffer(void);
// Erases the page at `flash_address`, writes flashBuffer there and reads it back. A difference
// reboots when `allowReboot`; otherwise the page is retried up to 10 times, then the module
// halts for good.
void write_flashBuffer_ToFlash(struct spi_mem* spi_mem, uint32_t flash_address, bool allowReboot);
// Copies `numPages` pages, each verified, without the possibility of a reboot.
void moveFlashToFlash(struct spi_mem* spi_mem, uint32_t dstFlashAddr, uint32_t srcFlashAddr,
                      uint32_t numPages);
// Prints `message`, waits 6 s and reboots.
[[noreturn]] void fwud_rebootAfterDelay(void);

#endif  // FWUDV2_FW_UPDATE_VERSION2_H
