// Shell: the UDP pcb, the receive callback and the send path come with the UDP control plane.
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void ucsl1UDPCameraServerLayer1_Init(void) { DBGLOG_ENTRY(); }
