// Layer 1 of the camera-server data plane: the "tcsl1" thread that reassembles requests arriving
// over TCP and turns them into SPI tasks and replies.
#ifndef TCSL1_TCP_CAMERA_SERVER_LAYER1_H
#define TCSL1_TCP_CAMERA_SERVER_LAYER1_H

void tcsl1TCPCameraServerLayer1_Init(void);
// Creates the "tcsl1" thread.
void tcsl1TCPCameraServerLayer1_StartThreads(void);

#endif  // TCSL1_TCP_CAMERA_SERVER_LAYER1_H
