// The few kernel services the parsers' log lines need, for fuzzing outside any kernel: the clock
// stands still, the console swallows everything and the interrupt mask does nothing.
#include <cstdarg>

#include "os.h"

extern "C" {
systimer_t os_systime64(void) { return 0; }
uint32_t os_systime(void) { return 0; }
void os_sleep_us(uint32_t, int) {}
uint32_t os_irq_disable(void) { return 0; }
void os_irq_restore(uint32_t) {}
int os_printf(const char*, ...) { return 0; }
}
