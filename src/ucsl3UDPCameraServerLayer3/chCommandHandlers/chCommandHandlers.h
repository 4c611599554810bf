// The handlers of the server's commands. Each reads the request from the control block, writes
// the reply body after the prepared header and returns the result that decides the reply's error
// bit.
#ifndef CH_COMMAND_HANDLERS_H
#define CH_COMMAND_HANDLERS_H

#include <stdint.h>

#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes
#include "ucscUDPCameraServerCommon/ucscMessages.h"

typedef errorCodes (*chHandler_t)(udpControlBlock_t* controlBlock);

// The handler of `cmdID`, or null for an identifier without one.
chHandler_t chFindHandler(uint16_t cmdID);

#endif  // CH_COMMAND_HANDLERS_H
