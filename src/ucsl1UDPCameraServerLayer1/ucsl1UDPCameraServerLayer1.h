// Layer 1 of the camera-server control plane: the UDP endpoint, its receive checks and the
// serialised send.
#ifndef UCSL1_UDP_CAMERA_SERVER_LAYER1_H
#define UCSL1_UDP_CAMERA_SERVER_LAYER1_H

#include <stdint.h>

#include "lwip/ip_addr.h"
#include "lwip/pbuf.h"
#include "ucscUDPCameraServerCommon/ucscMessages.h"

// The camera's UDP port, and the camera server's.
#define UCSL1_CAMERA_SERVER_PORT 46103

struct udp_pcb;
// The endpoint bound to UCSL1_CAMERA_SERVER_PORT; null until the first send opens it.
extern struct udp_pcb* ucsl1PCB;

// Once, at start-up; the UDP pcb is created by the first send.
void ucsl1UDPCameraServerLayer1_Init(void);
// Creates and binds the endpoint on lwIP's thread; true when it is open.
bool ucsl1UDPCameraServerLayer1_Open(void);
// Sends `txCtsMsgBytes` bytes of the control block's reply buffer to `addr`:`port` through lwIP's
// thread; true when lwIP took the datagram. Only while connected to the access point.
bool ucsl1UDPSend(udpControlBlock_t* controlBlock, const ip_addr_t* addr, uint16_t port);
// lwIP's receive callback (on lwIP's thread): checks the datagram, applies the command-sequence
// rule and files it into the layer-2 or layer-3 queue. Frees `p`.
void ucsl1ReceivedCallback(void* arg, struct udp_pcb* pcb, struct pbuf* p, const ip_addr_t* addr,
                           u16_t port);

#endif  // UCSL1_UDP_CAMERA_SERVER_LAYER1_H
