// Requests from the camera server arrive as a TCP byte stream in pieces of any size: reassembly
// never reads or writes outside its 1432-byte buffer, hands over only whole messages whose length
// is between the header's and the buffer's and at least their command's fixed part, and after a
// bad length starts over.
//
// Input: a series of pieces, each a length byte and its bytes, as the connection delivers them.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tcsl1TCPCameraServerLayer1/tcsl1TCPCameraServerLayer1.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"

namespace {

const uint8_t* piece;
size_t pieceLeft;
int rejected;

int take(uint8_t* buffer, uint16_t length) {
  size_t n = pieceLeft < length ? pieceLeft : length;
  memcpy(buffer, piece, n);
  piece += n;
  pieceLeft -= n;
  return static_cast<int>(n);
}

void process(uint8_t* msg) {
  uint32_t len;
  memcpy(&len, msg, 4);
  if (len < sizeof(TCPHeader_t) || len > TCSL1_RX_BUFFER_LEN) abort();
  uint16_t cmd;
  memcpy(&cmd, msg + 4, 2);
  size_t fixed = cmd == 0 ? 0 : tcpGetSTCMessageSize(static_cast<tcpCmdID>(cmd));
  if (len < fixed) abort();
  volatile uint8_t last = msg[len - 1];  // the whole message is readable
  (void)last;
}

void reject(const char*) { rejected++; }

}  // namespace

// The sizes the dispatch checks against, as the TCP module gives them.
size_t tcpGetSTCMessageSize(tcpCmdID cmdID) {
  switch (cmdID) {
    case tcpCmdID_LiveViewFrame: return 24;
    case tcpCmdID_RootFileWriteChunk: return 32;
    case tcpCmdID_ReadSD_Directory: return 28;
    case tcpCmdID_ReadSD_BlockFromFile: return 36;
    case tcpCmdID_ReadSD_FileContents: return 28;
    case tcpCmdID_ReadSD_JPEGFrameFromFile: return 32;
    case tcpCmdID_GetFileInfo: return 28;
    case tcpCmdID_WillClose: return 12;
    default: return 0;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tcsl1Reassembly_t rx;
  rx.bytesCopiedIntoBuffer = 0;
  rejected = 0;
  size_t at = 0;
  while (at < size) {
    size_t n = data[at++];
    if (n > size - at) n = size - at;
    piece = data + at;
    pieceLeft = n;
    at += n;
    // A piece may complete several messages; what is left of it waits for the next call, as
    // received data waits in lwIP.
    while (pieceLeft > 0) {
      size_t before = pieceLeft;
      tcsl1Drain(&rx, take, process, reject);
      if (rx.bytesCopiedIntoBuffer > TCSL1_RX_BUFFER_LEN) abort();
      if (pieceLeft == before) break;
    }
  }
  return 0;
}
