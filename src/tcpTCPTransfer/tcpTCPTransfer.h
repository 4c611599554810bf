// The TCP data connection to the camera server: opening, sending, receiving, and closing it when
// idle.
#ifndef TCP_TCP_TRANSFER_H
#define TCP_TCP_TRANSFER_H

#include "os.h"

void tcpTCPTransfer_Init(void);
// Main-loop poll: closes an idle connection; returns the time it wants to run again.
systimer_t tcpTCPTransfer_Poll(systimer_t next);

#endif  // TCP_TCP_TRANSFER_H
