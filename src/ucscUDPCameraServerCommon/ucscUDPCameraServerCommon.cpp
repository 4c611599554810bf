// Shell: opening the packet queues, the length table and the header helpers come with layer 1.
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

systimer_t ucscTimeOfLastMsgFromCameraServer = SYSTIMER_NEVER;
systimer_t ucscTimeOfLastMsgToCameraServer = SYSTIMER_NEVER;
uint32_t ucscRxCount;
uint32_t ucscRxTooBigCount;
uint32_t ucscRxFragmentedCount;
uint32_t ucscTxCount;
uint32_t ucsc_layer2PacketQueueCount;
uint32_t ucsc_layer3PacketQueueCount;
int ucsc_layer2PacketQueueHandle = -1;
int ucsc_layer3PacketQueueHandle = -1;

void ucscUDPCameraServerCommon_Init(void) {
  DBGLOG_ENTRY();
  ucscTimeOfLastMsgFromCameraServer = SYSTIMER_NEVER;
  ucscTimeOfLastMsgToCameraServer = SYSTIMER_NEVER;
  ucscRxCount = 0;
  ucscRxTooBigCount = 0;
  ucscRxFragmentedCount = 0;
  ucscTxCount = 0;
  ucsc_layer2PacketQueueCount = 0;
  ucsc_layer3PacketQueueCount = 0;
  ucsc_layer2PacketQueueHandle = -1;
  ucsc_layer3PacketQueueHandle = -1;
}
