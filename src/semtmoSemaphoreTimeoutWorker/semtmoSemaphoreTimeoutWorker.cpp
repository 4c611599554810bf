// Shell: the timed waits, the cut-off message and the "semtmo" thread come with the worker.
#include "semtmoSemaphoreTimeoutWorker/semtmoSemaphoreTimeoutWorker.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void semtmoSemaphoreTimeoutWorker_Init(void) { DBGLOG_ENTRY(); }

void semtmoSemaphoreTimeoutWorker_StartThreads(void) {}

void semtmoLowBatteryCutoffEnter(void) {}
