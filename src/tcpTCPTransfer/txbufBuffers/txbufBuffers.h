// The TX buffers of the TCP data connection and the "txbuf" thread that hands filled buffers to
// lwIP.
#ifndef TXBUF_BUFFERS_H
#define TXBUF_BUFFERS_H

// Creates the "txbuf" thread.
void txbufBuffers_StartThreads(void);

#endif  // TXBUF_BUFFERS_H
