// The SoC's UART driver: the STM32 link.
#ifndef CAMLINK_PLATFORM_UART_H
#define CAMLINK_PLATFORM_UART_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct uart;  // opaque, owned by the driver

#define UART_EVENT_RX 0x1u  // received bytes are waiting

// Runs in interrupt context: may only post semaphores and use the atomic helpers.
typedef void (*uart_callback_t)(struct uart* uart, uint32_t events);

// Opens the UART at `baud` on the given pins; NULL when it cannot be opened (or is open already).
struct uart* uart_open_ext(uint32_t baud, int txdPin, int rxdPin, int ctsPin, int rtsPin,
                           uint32_t flags);
struct uart* uart_open_ex(uint32_t baud, int txdPin, int rxdPin, uint32_t flags);
// Calls `callback` on every receive event until cleared.
void uart_set_callback_all(struct uart* uart, uart_callback_t callback);
void uart_clear_callback(struct uart* uart);
// The next received byte (0-255), waiting at most `timeoutUsecs` for it; negative when none came.
int uart_getchar_tmo(struct uart* uart, uint32_t timeoutUsecs);
// Queues a byte for sending; bytes leave at the line's speed (10 bits a byte).
void uart_putchar(struct uart* uart, uint8_t c);
void uart_puts(struct uart* uart, const char* s);
// Returns once every queued byte has left.
void uart_flush(struct uart* uart);
void uart_close(struct uart* uart);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_UART_H
