// Camera-server datagram headers as text for log lines.
#ifndef DBGUDP_DEBUG_FOR_UDP_MESSAGES_H
#define DBGUDP_DEBUG_FOR_UDP_MESSAGES_H

#include "dbgudpDebugForUDPMessages/udpWireFormat.h"

// The command's short name, or "?cmdID? <number>" for a value without one (in a static buffer
// that the next such call overwrites).
const char* dbgudpCmdIDtoString(cmdID id);

// "cmd <name>, cmdSeq %u, pktSeq %u, camMS %u, srvMS %u, XXXX-XXXX-XXXX-XXXX-XXXX-XXXX [<body
// length>]" in one shared buffer allocated on first use; an empty text for no header or when the
// buffer cannot be allocated.
char* dbgudpHeaderToString(const cts_stc_MessageHeader_t* hdr);

#endif  // DBGUDP_DEBUG_FOR_UDP_MESSAGES_H
