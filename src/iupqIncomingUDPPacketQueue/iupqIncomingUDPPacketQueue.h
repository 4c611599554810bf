// The incoming UDP packet queues: fixed rings of received datagrams, filled on lwIP's thread and
// drained by the layer-2 thread and the layer-3 poll.
#ifndef IUPQ_INCOMING_UDP_PACKET_QUEUE_H
#define IUPQ_INCOMING_UDP_PACKET_QUEUE_H

#include <stdint.h>

// Packets waiting in the queue; 0 for a bad handle.
uint32_t iupqGetNumPacketsInQueue(int queueHandle);

#endif  // IUPQ_INCOMING_UDP_PACKET_QUEUE_H
