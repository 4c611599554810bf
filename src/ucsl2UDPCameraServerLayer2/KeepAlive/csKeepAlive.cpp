// Shell: the keep-alive reply and the server clock come with the session layer.
#include "ucsl2UDPCameraServerLayer2/KeepAlive/csKeepAlive.h"

void kaHandleSysstateChanges(void) {}
