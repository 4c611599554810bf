// Shell: the chunk writes and the update-file clean-up come with the update-file push.
#include "tcsl1TCPCameraServerLayer1/rfwcRootFileWriteChunk/rfwcRootFileWriteChunk.h"

#include <string.h>

#include "tcpTCPTransfer/tcpTCPTransfer.h"

void rfwcHandleSysstateChanges(void) {}

// Until the update-file push exists, every chunk is refused as a command the camera does not
// know, so a server never takes a chunk for written.
void rfwcRootFileWriteChunkToSTM32(uint8_t* tcpMsg) {
  TCPHeader_t header;
  memcpy(&header, tcpMsg, sizeof header);
  XferBufHandle_t h = txGetAndLockEmptyBuffer(15000);
  if (txGetBufferPointer(h) == nullptr) {
    txUnlockBuffer(&h);
    return;
  }
  if (!tcpSendTXBuffer(h, tcpCmdID_RootFileWriteChunk, sizeof header, sizeof header,
                       header.cmdSequenceNumber, ERRORCODE_UNRECOGNIZED_COMMAND))
    txUnlockBuffer(&h);
}
