// The SoC's SPI slave: bulk data clocked in by the FPGA. The master decides when and how much to
// send; the slave only offers one buffer at a time.
#ifndef CAMLINK_PLATFORM_SPI_SLAVE_H
#define CAMLINK_PLATFORM_SPI_SLAVE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spi_slave;  // opaque, owned by the driver

#define SPI_SLAVE_IRQ_MODE_NONE 0u

// Runs in interrupt context when an armed read ends, with the number of bytes the master actually
// clocked into the buffer (fewer than asked when it stopped early). May re-arm with
// spi_slave_read; may only post semaphores and use the atomic helpers otherwise.
typedef void (*spi_slave_rx_cb_t)(uint32_t len);

// Opens slave `instance` (only 0 exists); NULL when it cannot be opened (or is open already).
struct spi_slave* spi_slave_open(int instance, uint32_t irqMode);
void spi_slave_set_rx_cb(struct spi_slave* slave, spi_slave_rx_cb_t callback);
// Arms one transfer of at most `length` bytes into `buffer`: the next transfer the master clocks
// lands there, then the read is spent (one-shot) and the callback runs. Re-arming replaces a read
// not yet begun. Nonzero when it cannot be armed (no buffer, zero length, a transfer already
// being clocked).
int spi_slave_read(struct spi_slave* slave, void* buffer, size_t length);
// Withdraws the armed read; a transfer being clocked into it is dropped. No callback follows.
void spi_slave_read_abort(struct spi_slave* slave);
// Lets the slave sleep while no read is expected (the master then finds it unready), and wakes it.
void spi_slave_suspend_enable(struct spi_slave* slave);
void spi_slave_suspend_disable(struct spi_slave* slave);
void spi_slave_close(struct spi_slave* slave);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_SPI_SLAVE_H
