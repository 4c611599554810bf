// The TCP data connection to the camera server: opening, sending, receiving, and closing it when
// idle.
#ifndef TCP_TCP_TRANSFER_H
#define TCP_TCP_TRANSFER_H

#include "os.h"

void tcpTCPTransfer_Init(void);
// Main-loop poll: closes an idle connection; returns the time it wants to run again.
systimer_t tcpTCPTransfer_Poll(systimer_t next);
// Opens the connection to the camera server's current address on `serverPort`, replacing any
// existing one; true when it was started. `serverName` names the server in logs.
bool tcpOpen(const char* serverName, uint16_t serverPort);
// Closes the connection, after announcing it when `willCloseTimeoutMSecs` is nonzero; always
// cleans up. `funcName` names the caller in logs.
void tcpClose(const char* funcName, uint32_t willCloseTimeoutMSecs);

#endif  // TCP_TCP_TRANSFER_H
