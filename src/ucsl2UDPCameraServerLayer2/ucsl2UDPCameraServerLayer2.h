// Layer 2 of the camera-server control plane: the "ucsl2" thread that opens and keeps the session
// with the camera server (session opening, keep-alives), and the one send function of every
// camera message.
#ifndef UCSL2_UDP_CAMERA_SERVER_LAYER2_H
#define UCSL2_UDP_CAMERA_SERVER_LAYER2_H

#include "ucscUDPCameraServerCommon/ucscMessages.h"

void ucsl2UDPCameraServerLayer2_Init(void);
// Creates the "ucsl2" thread.
void ucsl2UDPCameraServerLayer2_StartThreads(void);
// Sends the control block's reply to the current server address; false when Wi-Fi is down or the
// send failed.
bool ucsl2UDPCameraServerLayer2_Send(udpControlBlock_t* controlBlock);
// Closes the session with the camera server at once and forgets its address (also when the
// station is going away).
void forceCloseSession(void);

#endif  // UCSL2_UDP_CAMERA_SERVER_LAYER2_H
