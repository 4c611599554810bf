#include "mtcMainThreadControl/mtcMainThreadControl.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"

static os_semaphore mainThread_semaphore;

void mtcMainThreadControl_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&mainThread_semaphore, 0);
}

int mtcSleep_CallOnlyFromMainThread(uint32_t sleepUsecs) {
  if (strcmp(os_thread_name(os_self()), "main") != 0) {
    DBGLOG_TEXT("ERROR!! mtcSleep_CallOnlyFromMainThread called from non-main thread");
    return -1;
  }
  return os_sem_wait_timeout(&mainThread_semaphore, sleepUsecs);
}

void mtcWakeUpMainThread(const char* funcName) {
  (void)funcName;  // for tracing only
  ostsSemaphorePostIfZero_ISRsafe(&mainThread_semaphore);
}
