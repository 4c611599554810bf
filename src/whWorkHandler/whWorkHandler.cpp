#include "whWorkHandler/whWorkHandler.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

static os_workqueue workQueue;
static os_semaphore workQueueSem;

static void* whWorkHandler_thread(void* arg) {
  for (;;) {
    os_sem_wait_timeout(&workQueueSem, 60000000);
    os_run_work(&workQueue);  // runs the items for as long as the system runs
  }
  return nullptr;
}

void whWorkHandler_Init(void) {
  DBGLOG_ENTRY();
  os_init_workqueue(&workQueue);
  os_sem_init(&workQueueSem, 1);  // the worker's first wait passes at once
}

void whWorkHandler_StartThreads(void) {
  if (!os_create_thread("whWorkHandler", whWorkHandler_thread, nullptr, 5, 1024))
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for whWorkHandler_thread");
}

bool whQueueWork(os_work* work) {
  if (!os_queue_work(&workQueue, work)) return false;
  os_sem_post(&workQueueSem);
  return true;
}
