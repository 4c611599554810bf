// Root-file write chunks: the four update files the camera server pushes in checked chunks over
// TCP, written through the STM32 into temporary files in the SD card's root, then renamed into
// place by the STM32, which reboots itself; this module reboots 500 ms later.
#ifndef RFWC_ROOT_FILE_WRITE_CHUNK_H
#define RFWC_ROOT_FILE_WRITE_CHUNK_H

#include <stdint.h>

#include "tcpTCPTransfer/tcpTCPTransfer.h"

// The session-open flag changed: a closed session forgets the last failed attempt's sequence
// number, so a server may start again from any number.
void rfwcHandleSysstateChanges(void);
// One update-file chunk from the server (the whole TCP message, `msgLength` bytes); answers it
// itself with header-only replies: 0 for a chunk written, -1 for a refused chunk or a failed
// attempt. A failure deletes the update files from the card and refuses chunks whose sequence
// number is not above the failed attempt's. After the fourth file is complete, a second reply
// carries the rename's result and the module reboots. Runs on the "tcsl1" thread only.
void rfwcRootFileWriteChunkToSTM32(tcpSTCRootFileWriteChunk_t* tcpMsg_in);

#endif  // RFWC_ROOT_FILE_WRITE_CHUNK_H
