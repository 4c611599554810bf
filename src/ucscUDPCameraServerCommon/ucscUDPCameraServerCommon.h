// What the layers of the camera-server control plane share: the two incoming packet queues and
// the traffic counters that the main loop's status line and the statistics report.
#ifndef UCSC_UDP_CAMERA_SERVER_COMMON_H
#define UCSC_UDP_CAMERA_SERVER_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "os.h"

// The radio's power parameters as the camera server sets and reads them (SetWiFiParameters,
// GetWiFiParameters).
struct __attribute__((packed)) wifiParameters_t {
  uint32_t fullPower_arp_grat_period;
  uint32_t lowPower_arp_grat_period;
  uint32_t enableCloudMode : 1;
  uint32_t padding1 : 31;
  uint32_t lowPower_listen_interval;
  uint32_t lowPower_traffic_tmo;
  uint32_t lowPower_pm_flags;
};
static_assert(sizeof(wifiParameters_t) == 24, "wifiParameters_t is 24 bytes");
static_assert(offsetof(wifiParameters_t, lowPower_arp_grat_period) == 4, "offset 4");
static_assert(offsetof(wifiParameters_t, lowPower_listen_interval) == 12, "offset 12");
static_assert(offsetof(wifiParameters_t, lowPower_traffic_tmo) == 16, "offset 16");
static_assert(offsetof(wifiParameters_t, lowPower_pm_flags) == 20, "offset 20");

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
