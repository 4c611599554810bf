// Live view for the camera server: frames streamed over TCP for as long as the server asked.
#ifndef CHLV_LIVE_VIEW_H
#define CHLV_LIVE_VIEW_H

#include "os.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes
#include "ucscUDPCameraServerCommon/ucscMessages.h"

// The LiveView command: opens the data connection to the port the server names and starts (or,
// for 0 seconds, stops) live view. The reply's status tells whether the connection opened.
errorCodes chlvLiveView(udpControlBlock_t* controlBlock);
// Ends live view when its time is up; returns when it next needs to run, all ones for never.
systimer_t chlvLiveView_Poll(void);
// Starts live view for `durationSeconds` (0 stops it), every frame and the end marker carrying
// `serverCmdSeqNum`; `func_name` goes into the log.
void chlvStartStop(const char* func_name, uint32_t durationSeconds, uint32_t serverCmdSeqNum);
// Ends live view at once; `func_name` goes into the log.
void abortLiveView(const char* func_name);

#endif  // CHLV_LIVE_VIEW_H
