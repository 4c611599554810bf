// What the layers of the camera-server control plane share: the two incoming packet queues, the
// length table of the commands, the header of outgoing messages and the traffic counters that the
// main loop's status line and the statistics report.
#ifndef UCSC_UDP_CAMERA_SERVER_COMMON_H
#define UCSC_UDP_CAMERA_SERVER_COMMON_H

#include <stdint.h>

#include "os.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"  // errorCodes
#include "ucscUDPCameraServerCommon/ucscMessages.h"

// All ones until the first datagram of the session in that direction.
extern systimer_t ucscTimeOfLastMsgFromCameraServer;
extern systimer_t ucscTimeOfLastMsgToCameraServer;
extern uint32_t ucscRxCount;
extern uint32_t ucscRxTooBigCount;
extern uint32_t ucscRxFragmentedCount;
extern uint32_t ucscTxCount;
extern uint32_t ucsc_layer2PacketQueueCount;
extern uint32_t ucsc_layer3PacketQueueCount;
// Handles of the layer-2 ("L2PQ", 5 slots) and layer-3 ("L3PQ", 23 slots) packet queues; -1
// while a queue is not open.
extern int ucsc_layer2PacketQueueHandle;
extern int ucsc_layer3PacketQueueHandle;

// Once, at start-up: opens the two queues and resets the counters.
void ucscUDPCameraServerCommon_Init(void);

// The datagram length of `cmdID` in `direction`, header included; 0 for an identifier that is not
// accepted.
uint32_t ucscGetLengthFromCommandID(uint16_t cmdID, udpDirection_t direction);
// Whether the command is one a person asked for (it keeps the radio at full power).
bool ucscIsUserGeneratedUICommand(cmdID id);
// Fills the header of an outgoing message: a reply to `rxMsgHeader` (its command, command
// sequence number and server time), or with none the camera's session-opening request (which
// restarts the packet numbering). False, when the camera ID is still unknown or the request is
// addressed to another camera.
bool ucscPrepareTXHeaderForCameraServer(const cts_stc_MessageHeader_t* rxMsgHeader,
                                        cts_stc_MessageHeader_t* txMsgHeader);
// Sets the reply's error bit for a handler's result: persistent for -109, -111 and -112,
// temporary for any other negative result. A null header or a result of 0 and above change
// nothing.
void ucscMarkHeaderErrorBasedOnResult(cts_stc_MessageHeader_t* txMsgHeader, errorCodes result);
// Whether the 12 identity words of `hdr` are the camera's own (false while they are unknown).
bool ucscIsAddressedToThisCamera(const cts_stc_MessageHeader_t* hdr);
// Resets the counters and times above, as a new session starts.
void ucscResetStatistics(void);

#endif  // UCSC_UDP_CAMERA_SERVER_COMMON_H
