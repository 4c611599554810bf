// What the layers of the camera-server control plane share: the two incoming packet queues and
// the traffic counters that the main loop's status line and the statistics report.
#ifndef UCSC_UDP_CAMERA_SERVER_COMMON_H
#define UCSC_UDP_CAMERA_SERVER_COMMON_H

#include <stdint.h>

#include "os.h"

// All ones until the first datagram of the session in that direction.
extern systimer_t ucscTimeOfLastMsgFromCameraServer;
extern systimer_t ucscTimeOfLastMsgToCameraServer;
extern uint32_t ucscRxCount;
extern uint32_t ucscRxTooBigCount;
extern uint32_t ucscRxFragmentedCount;
extern uint32_t ucscTxCount;
extern uint32_t ucsc_layer2PacketQueueCount;
extern uint32_t ucsc_layer3PacketQueueCount;
// Handles of the layer-2 and layer-3 packet queues; -1 while a queue is not open.
extern int ucsc_layer2PacketQueueHandle;
extern int ucsc_layer3PacketQueueHandle;

// Once, at start-up: opens the two queues and resets the counters.
void ucscUDPCameraServerCommon_Init(void);

#endif  // UCSC_UDP_CAMERA_SERVER_COMMON_H
