// Root-file write chunks: the update files the camera server pushes to the SD card's root in
// chunks over TCP.
#ifndef RFWC_ROOT_FILE_WRITE_CHUNK_H
#define RFWC_ROOT_FILE_WRITE_CHUNK_H

#include <stdint.h>

// The session-open flag changed: a closed session forgets the last failed chunk.
void rfwcHandleSysstateChanges(void);
// One update-file chunk from the server (the whole TCP message); answers it with a header-only
// reply.
void rfwcRootFileWriteChunkToSTM32(uint8_t* tcpMsg);

#endif  // RFWC_ROOT_FILE_WRITE_CHUNK_H
