// Two rings of datagram slots. A slot is written before the indices move, and the indices move
// only with interrupts masked, so a reader never sees a half-written slot.
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

#define IUPQ_MAX_QUEUES 2
// The longest wait in milliseconds that still fits the kernel's microsecond time-out.
#define IUPQ_MAX_WAIT_MSECS 4294967u

struct iupqIncomingUDPPacketQueue_t {
  const char* queueName;
  incomingPacketStruct_t* packetBuffers;
  int queueSize;
  int queueHead;  // next slot to read
  int queueTail;  // next slot to write
  volatile int queueLength;
  os_semaphore dataAvailableSemaphore;
};

static iupqIncomingUDPPacketQueue_t queues[IUPQ_MAX_QUEUES];
static int numQueues;

static iupqIncomingUDPPacketQueue_t* queueOf(int handle) {
  return handle >= 0 && handle < numQueues ? &queues[handle] : nullptr;
}

int iupqOpenQueue(const char* queueName, incomingPacketStruct_t* packetBuffers, int numPackets) {
  if (numQueues >= IUPQ_MAX_QUEUES || packetBuffers == nullptr || numPackets <= 0) return -1;
  iupqIncomingUDPPacketQueue_t* q = &queues[numQueues];
  q->queueName = queueName;
  q->packetBuffers = packetBuffers;
  q->queueSize = numPackets;
  q->queueHead = 0;
  q->queueTail = 0;
  q->queueLength = 0;
  os_sem_init(&q->dataAvailableSemaphore, 0);
  return numQueues++;
}

bool iupqPushToQueue(int queueHandle, const uint8_t* data, uint32_t len,
                     const ip_addr_t* sourceAddr, u16_t sourcePort, const systimer_t* timeReceived) {
  iupqIncomingUDPPacketQueue_t* q = queueOf(queueHandle);
  if (q == nullptr || data == nullptr || q->queueLength >= q->queueSize ||
      len > sizeof(stcAllMessages_t)) {
    return false;
  }
  incomingPacketStruct_t* slot = &q->packetBuffers[q->queueTail];
  memset(&slot->thePacket, 0, sizeof slot->thePacket);
  memcpy(&slot->thePacket, data, len);
  slot->len = len;
  if (sourceAddr != nullptr) {
    ip_addr_copy(slot->source_addr, *sourceAddr);
  } else {
    ip_addr_set_zero(&slot->source_addr);
  }
  slot->source_port = sourcePort;
  slot->timeReceived = timeReceived != nullptr ? *timeReceived : SYSTIMER_NEVER;
  uint32_t irq = os_irq_disable();
  q->queueTail = (q->queueTail + 1) % q->queueSize;
  q->queueLength++;
  os_irq_restore(irq);
  os_sem_post(&q->dataAvailableSemaphore);
  return true;
}

bool iupqPopFromQueue(int queueHandle, udpControlBlock_t* dest, uint32_t mSecsToWait) {
  iupqIncomingUDPPacketQueue_t* q = queueOf(queueHandle);
  if (q == nullptr) {
    DBGLOG("Invalid queue handle %d; valid is 0 to %d\n", queueHandle, numQueues - 1);
    os_sleep_us(500000, OS_TIMEOUT_NO_WAKEUP);
    return false;
  }
  if (dest == nullptr || dest->rxStcMsgPtr == nullptr) {
    DBGLOG_TEXT("Invalid destination pointer");
    return false;
  }
  uint32_t usecs = mSecsToWait > IUPQ_MAX_WAIT_MSECS ? 0xFFFFFFFFu : mSecsToWait * 1000u;
  (void)os_sem_wait_timeout(&q->dataAvailableSemaphore, usecs);
  if (q->queueLength == 0) return false;
  const incomingPacketStruct_t* slot = &q->packetBuffers[q->queueHead];
  dest->rxStcMsgBytes = (uint16_t)slot->len;
  dest->timeReceived = slot->timeReceived;
  memcpy(dest->rxStcMsgPtr, &slot->thePacket, slot->len);
  uint32_t irq = os_irq_disable();
  q->queueHead = (q->queueHead + 1) % q->queueSize;
  q->queueLength--;
  os_irq_restore(irq);
  return true;
}

uint32_t iupqGetNumPacketsInQueue(int queueHandle) {
  iupqIncomingUDPPacketQueue_t* q = queueOf(queueHandle);
  return q == nullptr ? 0 : (uint32_t)q->queueLength;
}

void iupqClearQueue(int queueHandle) {
  iupqIncomingUDPPacketQueue_t* q = queueOf(queueHandle);
  if (q == nullptr) return;
  uint32_t irq = os_irq_disable();
  q->queueHead = 0;
  q->queueTail = 0;
  q->queueLength = 0;
  os_sem_init(&q->dataAvailableSemaphore, 0);
  os_irq_restore(irq);
}

int iupqFindQueueByName(const char* queueName) {
  if (queueName == nullptr) return -1;
  for (int i = 0; i < numQueues; i++) {
    if (strcmp(queues[i].queueName, queueName) == 0) return i;
  }
  return -1;
}
