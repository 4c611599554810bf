// The semaphore time-out worker: the "semtmo" thread behind semaphore waits whose deadline is also
// a kernel time-out message, so that the deadline wakes the system from power save. While a
// deadline could not be registered, deep sleep stays off. The battery cut-off ends the thread.
#ifndef SEMTMO_SEMAPHORE_TIMEOUT_WORKER_H
#define SEMTMO_SEMAPHORE_TIMEOUT_WORKER_H

#include <stdint.h>

#include "os.h"

enum semtmo_msg_type_t : uint32_t {
  SEMTMO_MSG_TYPE_TIMEOUT = 1,
  SEMTMO_MSG_TYPE_WAKEUP = 2,
  SEMTMO_MSG_TYPE_WAKEUP_FOR_CUTOFF = 3,
};

// Logs the entry line and allocates the cut-off message ahead of need.
void semtmoSemaphoreTimeoutWorker_Init(void);
// Creates the "semtmo" thread.
void semtmoSemaphoreTimeoutWorker_StartThreads(void);
// As os_sem_wait_timeout (`tmo` in µs): 0 when the semaphore was taken, -1 on time-out.
int semtmoSemaphoreWaitTimeout(struct os_semaphore* semaphore, uint32_t tmo);
// Battery cut-off: ends the worker; deep sleep then stays on. Waits after it still keep their own
// time-out but no longer involve the worker.
void semtmoLowBatteryCutoffEnter(void);

#endif  // SEMTMO_SEMAPHORE_TIMEOUT_WORKER_H
