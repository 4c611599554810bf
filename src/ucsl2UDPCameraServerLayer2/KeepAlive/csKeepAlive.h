// The camera-server keep-alive: answers the server's keep-alives with the status word, takes the
// server's clock from them and clears the status bits the server acknowledges.
#ifndef CS_KEEP_ALIVE_H
#define CS_KEEP_ALIVE_H

#include "ucscUDPCameraServerCommon/ucscMessages.h"

// Logs the entry line.
void csKeepAlive_Init(void);
// A KeepAlive or ClearKAStatus from the server; either is answered, unless it is addressed to
// another camera, which changes nothing.
void KeepAlive_ProcessCommand(udpControlBlock_t* controlBlock);
// The session-open flag changed: after a close, the next session's first keep-alive sets the
// clock.
void kaHandleSysstateChanges(void);

#endif  // CS_KEEP_ALIVE_H
