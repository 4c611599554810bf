// The work handler: one thread that runs the queued work items of the configuration sync and the
// BLE module, one at a time, in the order they were queued.
#ifndef WH_WORK_HANDLER_H
#define WH_WORK_HANDLER_H

#include "os.h"

void whWorkHandler_Init(void);
// Creates the "whWorkHandler" thread (priority 5, 1024 bytes).
void whWorkHandler_StartThreads(void);
// Queues `work` and wakes the worker; false, changing nothing, when the item is already pending.
bool whQueueWork(os_work* work);

#endif  // WH_WORK_HANDLER_H
