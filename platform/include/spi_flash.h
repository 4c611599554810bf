// The SoC's SPI NOR flash, where the module's firmware image lives.
//
// NOR semantics: an erase sets one 4096-byte sector to 0xFF; a write can only clear bits (it
// stores the AND of what was there and the data), so a sector is erased before it is rewritten.
// Erase and write start the operation and return; the device is busy until it ends, and every
// operation first waits for the one before it.
#ifndef CAMLINK_PLATFORM_SPI_FLASH_H
#define CAMLINK_PLATFORM_SPI_FLASH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spi_mem;  // opaque, owned by the driver

#define SPI_FLASH_SECTOR_SIZE 4096u

// The flash the firmware boots from; NULL when it is missing.
struct spi_mem* os_flash_get_spi_dev(void);
// Erases the sector that holds `address`. 0, or negative when the address is outside the flash.
int spi_sector_erase(struct spi_mem* dev, uint32_t address);
// Clears the bits that are 0 in `data` at `address`. 0, or negative when the range is outside
// the flash.
int spi_mem_write(struct spi_mem* dev, uint32_t address, const void* data, size_t length);
// Reads `length` bytes at `address`. 0, or negative when the range is outside the flash.
int spi_mem_read(struct spi_mem* dev, uint32_t address, void* data, size_t length);
// Whether an erase or write is still under way.
int spi_mem_busy(struct spi_mem* dev);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_SPI_FLASH_H
