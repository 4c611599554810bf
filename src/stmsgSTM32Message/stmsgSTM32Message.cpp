// Shell: the STM32 transaction and message catalogue come with the STM32 link.
#include "stmsgSTM32Message/stmsgSTM32Message.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void stmsgSTM32Message_Init(void) { DBGLOG_ENTRY(); }
