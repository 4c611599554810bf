// Layer 2 of the camera-server control plane: the "ucsl2" thread that opens and keeps the session
// with the camera server (session opening, keep-alives).
#ifndef UCSL2_UDP_CAMERA_SERVER_LAYER2_H
#define UCSL2_UDP_CAMERA_SERVER_LAYER2_H

void ucsl2UDPCameraServerLayer2_Init(void);
// Creates the "ucsl2" thread.
void ucsl2UDPCameraServerLayer2_StartThreads(void);
// Closes the session with the camera server at once (the station is going away).
void forceCloseSession(void);

#endif  // UCSL2_UDP_CAMERA_SERVER_LAYER2_H
