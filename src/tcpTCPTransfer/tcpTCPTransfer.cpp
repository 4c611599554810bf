// Shell: the connection, its lwIP workers and the idle close come with the TCP data plane.
#include "tcpTCPTransfer/tcpTCPTransfer.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void tcpTCPTransfer_Init(void) { DBGLOG_ENTRY(); }

systimer_t tcpTCPTransfer_Poll(systimer_t next) { return next; }

// Shell: the connection comes with the data plane; until then none can be opened.
bool tcpOpen(const char* /*serverName*/, uint16_t /*serverPort*/) { return false; }

void tcpClose(const char* /*funcName*/, uint32_t /*willCloseTimeoutMSecs*/) {}
