// Layer 1 of the camera-server control plane: the UDP endpoint, its receive checks and the
// serialised send.
#ifndef UCSL1_UDP_CAMERA_SERVER_LAYER1_H
#define UCSL1_UDP_CAMERA_SERVER_LAYER1_H

// Once, at start-up; the UDP pcb is created by the first send.
void ucsl1UDPCameraServerLayer1_Init(void);

#endif  // UCSL1_UDP_CAMERA_SERVER_LAYER1_H
