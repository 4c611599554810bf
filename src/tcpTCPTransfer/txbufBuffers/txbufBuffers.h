// The TX buffers of the TCP data connection and the "txbuf" thread that hands filled buffers to
// lwIP. A producer locks an empty buffer, fills it and hands it to tcpSendTXBuffer (or unlocks it
// unsent). lwIP references the bytes without copying, so a buffer comes back only once the server
// has acknowledged all of them.
#ifndef TXBUF_BUFFERS_H
#define TXBUF_BUFFERS_H

#include <stddef.h>
#include <stdint.h>

#include "os.h"

#define TX_BUFFER_LEN 2048
#define TX_BUFFER_COUNT 15

// 0..14 name a buffer; -1 none.
typedef int32_t XferBufHandle_t;

enum XferBufStatus_t {
  XFERBUF_STATUS_INVALID = 0,
  XFERBUF_STATUS_EMPTY = 1,
  XFERBUF_STATUS_LOCKED = 2,
  XFERBUF_STATUS_READY = 3,
  XFERBUF_STATUS_EMPTYING = 4,
};

void txbufBuffers_Init(void);
// Creates the "txbuf" thread.
void txbufBuffers_StartThreads(void);
// Returns every buffer to the pool and lifts a poisoning; wakes threads waiting for a buffer to be
// sent. Always true.
bool txClearAll(void);
// Waits up to `timeoutMSecs` for an empty buffer and locks it; -1 when none came or the pool is
// poisoned.
XferBufHandle_t txGetAndLockEmptyBuffer(uint32_t timeoutMSecs);
// The buffer's TX_BUFFER_LEN data bytes; null for an invalid handle.
uint8_t* txGetBufferPointer(XferBufHandle_t handle);
// Gives a LOCKED buffer back unsent and sets `*bufferHandle` to -1.
void txUnlockBuffer(XferBufHandle_t* bufferHandle);
// Queues a LOCKED buffer holding `len` bytes for sending. Only tcpSendTXBuffer calls it.
bool txMarkBufferReady(XferBufHandle_t handle, size_t len);
// Waits until a READY buffer has been fully acknowledged: 1 when it was (or the pool was
// cleared), 0 on time-out, -1 for an invalid handle or a buffer not READY.
int txWaitForBufferSent(XferBufHandle_t handle, uint32_t timeoutMSecs);
// Applies `bytes` newly acknowledged bytes to the buffers in flight, oldest first. lwIP's thread.
void txMarkBuffersEmptyBasedOnBytes(uint32_t bytes);
void txPrintBufferStats(const char* prefix, const char* func_name);

// For tests and statistics: buffers in the available ring, and buffers in each state.
uint32_t txAvailableCount(void);
uint32_t txCountInState(XferBufStatus_t status);

#endif  // TXBUF_BUFFERS_H
