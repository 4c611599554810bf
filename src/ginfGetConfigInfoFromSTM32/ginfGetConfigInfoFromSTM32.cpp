// Shell: the settings mirror, its work item and the clock authority come with the sync engine.
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void ginfGetConfigInfoFromSTM32_Init(void) { DBGLOG_ENTRY(); }

systimer_t ginfGetConfigInfoFromSTM32_Poll(systimer_t next) { return next; }

void ginfQueueSTClockUpdate(void) {}

void ginfQueueStatusUpdate(const char* /*caller*/) {}
