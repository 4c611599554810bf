#include "ostsOSThreadSupport/ostsOSThreadSupport.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

static const uint32_t kStackPattern = 0xDEADC0DE;
// Words just below the stack pointer may still be in use (the callee's red zone); leave them.
static const uintptr_t kStackFillMargin = 256;

void ostsOSThreadSupport_Init(void) {
  DBGLOG_ENTRY();
  os_thread_stat_init(40);
}

void ostsReboot(void) {
  os_irq_disable();
  os_core_reset();  // the processor's reset request
  os_printf("ostsReboot failed!\n");
  for (;;) {
  }
}

const char* ostsGetThreadName(void) { return os_thread_name(os_self()); }

bool ostsIsCurrentThread(const char* threadName) {
  const char* stored = ostsGetThreadName();
  size_t n = strlen(stored);
  if (strncmp(threadName, stored, n) != 0) return false;
  // Only a name the kernel cut may go on past the stored copy: "spi2fpga" is the thread
  // "spi2fpg", but "i2cbat" is not the thread "i2c".
  return threadName[n] == '\0' || n == OS_THREAD_NAME_MAX;
}

void ostsSemaphorePostIfZero_ISRsafe(os_semaphore* sem) {
  // Test and post under one mask, so two racing wake-ups still post once.
  uint32_t irq = os_irq_disable();
  if (sem->value == 0) os_sem_post(sem);
  os_irq_restore(irq);
}

void ostsSemaphoreSet(os_semaphore* sem, int32_t value) {
  while (sem->value < value) os_sem_post(sem);
}

// Each operation is one read-modify-write under the interrupt mask.
#define OSTS_ATOMIC(body)             \
  uint32_t irq = os_irq_disable();    \
  int32_t old = *value;               \
  body;                               \
  os_irq_restore(irq);

int32_t ostsAtomicGetThenIncrement(int32_t* value) {
  OSTS_ATOMIC(*value = old + 1);
  return old;
}

int32_t ostsAtomicIncrementThenGet(int32_t* value) {
  OSTS_ATOMIC(*value = old + 1);
  return old + 1;
}

int32_t ostsAtomicGetThenIncrementIfZero(int32_t* value) {
  OSTS_ATOMIC(if (old == 0) *value = 1);
  return old;
}

int32_t ostsAtomicGetThenDecrement(int32_t* value) {
  OSTS_ATOMIC(*value = old - 1);
  return old;
}

int32_t ostsAtomicDecrementThenGet(int32_t* value) {
  OSTS_ATOMIC(*value = old - 1);
  return old - 1;
}

int32_t ostsAtomicGetThenDecrementIfGreaterThanZero(int32_t* value) {
  OSTS_ATOMIC(if (old > 0) *value = old - 1);
  return old;
}

int32_t ostsAtomicGetThenReplace(int32_t* value, int32_t newValue) {
  OSTS_ATOMIC(*value = newValue);
  return old;
}

__attribute__((no_sanitize("address"))) uint32_t ostsFillStackWithPattern(
    const char* intendedThreadName) {
  if (intendedThreadName && !ostsIsCurrentThread(intendedThreadName)) {
    DBGLOG_TEXT("ERROR!! fillStackWithPattern called from the wrong thread");
    return 0;
  }
  uintptr_t base = (uintptr_t)os_thread_stack_base(os_self());
  uintptr_t cur = (uintptr_t)os_thread_stack_cur();
  if (cur <= base + kStackFillMargin) return 0;
  volatile uint32_t* p = (volatile uint32_t*)((cur - kStackFillMargin) & ~(uintptr_t)3);
  uint32_t filled = 0;
  while ((uintptr_t)p > base) {
    --p;
    *p = kStackPattern;
    filled += 4;
  }
  return filled;
}

__attribute__((no_sanitize("address"))) uint32_t ostsCheckUntouchedStackPattern(
    const char* intendedThreadName) {
  if (intendedThreadName && !ostsIsCurrentThread(intendedThreadName)) {
    DBGLOG_TEXT("ERROR!! checkUntouchedStackPattern called from the wrong thread");
    return 0;
  }
  os_thread* self = os_self();
  const volatile uint32_t* p = (const volatile uint32_t*)os_thread_stack_base(self);
  uintptr_t cur = (uintptr_t)os_thread_stack_cur();
  uint32_t untouched = 0;
  while ((uintptr_t)(p + 1) <= cur && *p == kStackPattern) {
    p++;
    untouched += 4;
  }
  return untouched;
}

void ostsPrintStatsForAllThreads(void) {
  os_printf("---------------------------\n");
  os_thread_stat_print();
  os_printf("===========================\n\n");
}
