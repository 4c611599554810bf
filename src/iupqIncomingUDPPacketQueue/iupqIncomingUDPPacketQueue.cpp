// Shell: the queues themselves (open, push, pop, clear) come with the UDP control plane.
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"

// No queue can be opened yet, so every handle is a bad one.
uint32_t iupqGetNumPacketsInQueue(int /*queueHandle*/) { return 0; }
