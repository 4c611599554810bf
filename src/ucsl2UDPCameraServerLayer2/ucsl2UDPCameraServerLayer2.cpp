// Shell: the session machine, the server address and the "ucsl2" thread come with layer 2.
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void ucsl2UDPCameraServerLayer2_Init(void) { DBGLOG_ENTRY(); }

void ucsl2UDPCameraServerLayer2_StartThreads(void) {}

// Shell: no session is ever opened yet, so there is none to close.
void forceCloseSession(void) {}
