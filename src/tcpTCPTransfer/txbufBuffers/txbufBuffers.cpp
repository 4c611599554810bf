// Shell: the buffer pool and the "txbuf" thread come with the TCP data plane.
#include "tcpTCPTransfer/txbufBuffers/txbufBuffers.h"

void txbufBuffers_StartThreads(void) {}
