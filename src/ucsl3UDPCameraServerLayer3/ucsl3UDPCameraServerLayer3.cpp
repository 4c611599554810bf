// Shell: the command dispatcher, its handlers and live view come with the command layer.
#include "ucsl3UDPCameraServerLayer3/ucsl3UDPCameraServerLayer3.h"

systimer_t ucsl3UDPCameraServerLayer3_Poll(systimer_t next) { return next; }
