// Layer 3 of the camera-server control plane: runs the server's commands on the main thread.
#ifndef UCSL3_UDP_CAMERA_SERVER_LAYER3_H
#define UCSL3_UDP_CAMERA_SERVER_LAYER3_H

#include "os.h"

// Main-loop poll: runs the queued commands, each answered with one reply; returns the time it
// wants to run again (live view's stop), all ones for none.
systimer_t ucsl3UDPCameraServerLayer3_Poll(systimer_t next);

#endif  // UCSL3_UDP_CAMERA_SERVER_LAYER3_H
