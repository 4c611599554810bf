// Layer 3 of the camera-server control plane: runs the server's commands on the main thread.
#ifndef UCSL3_UDP_CAMERA_SERVER_LAYER3_H
#define UCSL3_UDP_CAMERA_SERVER_LAYER3_H

#include "os.h"

// Main-loop poll: runs the queued commands; returns the time it wants to run again.
systimer_t ucsl3UDPCameraServerLayer3_Poll(systimer_t next);

#endif  // UCSL3_UDP_CAMERA_SERVER_LAYER3_H
