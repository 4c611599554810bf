// The incoming UDP packet queues: fixed rings of received datagrams, filled on lwIP's thread and
// drained by the layer-2 thread and the layer-3 poll.
#ifndef IUPQ_INCOMING_UDP_PACKET_QUEUE_H
#define IUPQ_INCOMING_UDP_PACKET_QUEUE_H

#include <stdint.h>

#include "lwip/ip_addr.h"
#include "os.h"
#include "ucscUDPCameraServerCommon/ucscMessages.h"

// One received datagram.
struct incomingPacketStruct_t {
  uint32_t len;
  ip_addr_t source_addr;
  uint16_t source_port;
  stcAllMessages_t thePacket;
  systimer_t timeReceived;
};

// Opens a queue over `numPackets` slots that the caller owns; the new handle (0 or 1), or -1 when
// two queues are already open.
int iupqOpenQueue(const char* queueName, incomingPacketStruct_t* packetBuffers, int numPackets);
// Copies a datagram of at most UCSC_MAX_STC_MSG_BYTES into the next free slot; false for a bad
// handle, a full queue or a longer datagram.
bool iupqPushToQueue(int queueHandle, const uint8_t* data, uint32_t len,
                     const ip_addr_t* sourceAddr, u16_t sourcePort, const systimer_t* timeReceived);
// Waits up to `mSecsToWait` (no limit above 4294967) for a datagram and copies the oldest into
// `dest` (bytes, length, receive time); false when none came.
bool iupqPopFromQueue(int queueHandle, udpControlBlock_t* dest, uint32_t mSecsToWait);
// Packets waiting in the queue; 0 for a bad handle.
uint32_t iupqGetNumPacketsInQueue(int queueHandle);
// Empties the queue.
void iupqClearQueue(int queueHandle);
// The handle of the queue named `queueName`, or -1.
int iupqFindQueueByName(const char* queueName);

#endif  // IUPQ_INCOMING_UDP_PACKET_QUEUE_H
