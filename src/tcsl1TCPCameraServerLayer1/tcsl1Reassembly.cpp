// Request reassembly on its own, apart from the thread and the dispatch, so that it can be
// driven with any byte stream.
#include <string.h>

#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "tcsl1TCPCameraServerLayer1/tcsl1TCPCameraServerLayer1.h"

static uint32_t lengthOf(const uint8_t* msg) {
  uint32_t v;
  memcpy(&v, msg, 4);
  return v;
}

void tcsl1Drain(tcsl1Reassembly_t* rx, int (*take)(uint8_t* buffer, uint16_t length),
                void (*process)(uint8_t* msg), void (*reject)(const char* why)) {
  for (;;) {
    if (rx->bytesCopiedIntoBuffer < 4) {
      rx->bytesCopiedIntoBuffer +=
          take(rx->data + rx->bytesCopiedIntoBuffer, (uint16_t)(4 - rx->bytesCopiedIntoBuffer));
      if (rx->bytesCopiedIntoBuffer < 4) return;
    }
    uint32_t msgLength = lengthOf(rx->data);
    // Lengths that cannot be a request: reading on would run past the buffer (or, below the
    // header, "want" would underflow). The stream has lost its framing.
    if (msgLength < sizeof(TCPHeader_t) || msgLength > TCSL1_RX_BUFFER_LEN) {
      rx->bytesCopiedIntoBuffer = 0;
      reject("bad length");
      return;
    }
    if (rx->bytesCopiedIntoBuffer < msgLength) {
      rx->bytesCopiedIntoBuffer +=
          take(rx->data + rx->bytesCopiedIntoBuffer, (uint16_t)(msgLength - rx->bytesCopiedIntoBuffer));
      if (rx->bytesCopiedIntoBuffer < msgLength) return;
    }
    TCPHeader_t header;
    memcpy(&header, rx->data, sizeof header);
    size_t fixed = header.tcpCmdID == tcpCmdID_Invalid
                       ? 0
                       : tcpGetSTCMessageSize((tcpCmdID)header.tcpCmdID);
    // A known command shorter than its fixed part would be read past its end.
    if (fixed != 0 && msgLength < fixed) {
      rx->bytesCopiedIntoBuffer = 0;
      reject("short request");
      return;
    }
    process(rx->data);
    rx->bytesCopiedIntoBuffer = 0;
  }
}

