// Thread support: atomic counters, semaphore helpers, reboot, thread names, stack diagnostics.
#ifndef OSTS_OS_THREAD_SUPPORT_H
#define OSTS_OS_THREAD_SUPPORT_H

#include <stdint.h>

#include "os.h"

// Logs the entry line and starts per-thread statistics for up to 40 threads.
void ostsOSThreadSupport_Init(void);

// Resets the module at once; never returns.
[[noreturn]] void ostsReboot(void);

// The current thread's stored (possibly cut) name.
const char* ostsGetThreadName(void);
// True when `threadName` is the current thread's name: equal to the stored name, or, when the
// kernel cut the name to 7 characters, starting with it ("spi2fpga" matches "spi2fpg").
bool ostsIsCurrentThread(const char* threadName);

// Posts only when the count is 0, so wake-ups coalesce and the count never exceeds 1.
void ostsSemaphorePostIfZero_ISRsafe(os_semaphore* sem);
// Posts until the count is at least `value`.
void ostsSemaphoreSet(os_semaphore* sem, int32_t value);

// Atomic with respect to all threads and interrupt handlers.
int32_t ostsAtomicGetThenIncrement(int32_t* value);
int32_t ostsAtomicIncrementThenGet(int32_t* value);
int32_t ostsAtomicGetThenIncrementIfZero(int32_t* value);
int32_t ostsAtomicGetThenDecrement(int32_t* value);
int32_t ostsAtomicDecrementThenGet(int32_t* value);
int32_t ostsAtomicGetThenDecrementIfGreaterThanZero(int32_t* value);
int32_t ostsAtomicGetThenReplace(int32_t* value, int32_t newValue);

// Stack diagnostics, only from the thread named (a null name skips the check; from another thread
// they log an error and return 0). Fill writes 0xDEADC0DE below the current stack pointer down to
// the stack base and returns the bytes filled; check counts the bytes from the base up that still
// hold the pattern.
uint32_t ostsFillStackWithPattern(const char* intendedThreadName);
uint32_t ostsCheckUntouchedStackPattern(const char* intendedThreadName);
void ostsPrintStatsForAllThreads(void);

#endif  // OSTS_OS_THREAD_SUPPORT_H
