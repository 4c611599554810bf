// Shell: request reassembly and the "tcsl1" thread come with the TCP request layer.
#include "tcsl1TCPCameraServerLayer1/tcsl1TCPCameraServerLayer1.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void tcsl1TCPCameraServerLayer1_Init(void) { DBGLOG_ENTRY(); }

void tcsl1TCPCameraServerLayer1_StartThreads(void) {}
