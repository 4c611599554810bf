// The semaphore time-out worker: the "semtmo" thread behind semaphore waits with a time-out that
// can wake the system from deep sleep.
#ifndef SEMTMO_SEMAPHORE_TIMEOUT_WORKER_H
#define SEMTMO_SEMAPHORE_TIMEOUT_WORKER_H

void semtmoSemaphoreTimeoutWorker_Init(void);
// Creates the "semtmo" thread.
void semtmoSemaphoreTimeoutWorker_StartThreads(void);
// Battery cut-off: ends the worker; deep sleep then stays on.
void semtmoLowBatteryCutoffEnter(void);

#endif  // SEMTMO_SEMAPHORE_TIMEOUT_WORKER_H
