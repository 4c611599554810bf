// The semaphore the main loop sleeps on, and the wake-up any thread or interrupt may post.
#ifndef MTC_MAIN_THREAD_CONTROL_H
#define MTC_MAIN_THREAD_CONTROL_H

#include <stdint.h>

void mtcMainThreadControl_Init(void);
// From the "main" thread only: waits at most `sleepUsecs` for a wake-up; 0 when woken, -1 on
// time-out. From any other thread: logs an error and returns -1 at once.
int mtcSleep_CallOnlyFromMainThread(uint32_t sleepUsecs);
// Wakes the main loop; wake-ups between two sleeps count as one. Safe from interrupt context.
void mtcWakeUpMainThread(const char* funcName);

#endif  // MTC_MAIN_THREAD_CONTROL_H
