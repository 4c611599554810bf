// The SoC's GPIO pins and events. Pins are given as masks (bit n = GPIO n).
#ifndef CAMLINK_PLATFORM_GPIO_H
#define CAMLINK_PLATFORM_GPIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Pin functions for os_gpio_mux_sel.
#define GPIO_MUX_SEL_GPIO 0
#define GPIO_MUX_SEL_SCL 1
#define GPIO_MUX_SEL_SDA 2

#define OS_GPIO_PULL_NONE 0
#define OS_GPIO_PULL_UP 1

// Runs in interrupt context with the event number that fired.
typedef void (*os_gpio_event_t)(uint32_t event);

// Each returns 0 on success and a negative value on a bad argument.
int os_gpio_request(uint32_t mask);
int os_gpio_set_input(uint32_t mask);
int os_gpio_set_pull(uint32_t mask, int pull);
int os_gpio_mux_sel(int function, int pin);
// The pins' interrupt fires while the level is low (and again after re-enabling, if still low).
int os_gpio_set_irq_level_low(uint32_t mask);
// Calls `handler` for `event` when an enabled pin of `mask` interrupts.
int os_gpio_attach_event(uint32_t event, uint32_t mask, os_gpio_event_t handler);
int os_gpio_enable_irq(uint32_t mask);
int os_gpio_disable_irq(uint32_t mask);
int os_clear_event(uint32_t event);
// The level of an input pin (0 or 1).
int os_gpio_get_value(uint32_t mask);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_GPIO_H
