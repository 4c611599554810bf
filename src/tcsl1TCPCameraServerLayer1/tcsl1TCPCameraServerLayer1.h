// Layer 1 of the camera-server data plane: the "tcsl1" thread that reassembles requests arriving
// over TCP and turns them into SPI tasks and replies.
#ifndef TCSL1_TCP_CAMERA_SERVER_LAYER1_H
#define TCSL1_TCP_CAMERA_SERVER_LAYER1_H

#include <stdint.h>

#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"

// The largest request the camera takes.
#define TCSL1_RX_BUFFER_LEN 1432

void tcsl1TCPCameraServerLayer1_Init(void);
// Creates the "tcsl1" thread.
void tcsl1TCPCameraServerLayer1_StartThreads(void);
// Data arrived on the connection (lwIP's thread).
void rxDataAvailable(void);
// Drops a partly received request (at every open and clean-up of the connection).
void tcsl1ResetRecvBuffer(void);
// Dispatches one complete request.
void tcsl1ProcessTCPMessage(uint8_t* tcpMsg);

// Reassembly on its own, for the thread and for tests: takes `take(buffer, want)` (bytes received
// so far, never waiting) until no whole request is left, handing each to `process`. A request
// whose length is below the header's or above the buffer's, or below its command's fixed size,
// closes the connection through `reject` (the stream cannot be resynchronised).
struct tcsl1Reassembly_t {
  uint32_t bytesCopiedIntoBuffer;
  uint8_t data[TCSL1_RX_BUFFER_LEN];
};
void tcsl1Drain(tcsl1Reassembly_t* rx, int (*take)(uint8_t* buffer, uint16_t length),
                void (*process)(uint8_t* msg), void (*reject)(const char* why));

enum errorCodes initReadJPEGFrameFromFile_spiCB(spi2fpgaCallbackType type,
                                                volatile spiMessage_t* message,
                                                volatile spiTask_t* task);
enum errorCodes initReadSDBlockFromFile_spiCB(spi2fpgaCallbackType type,
                                              volatile spiMessage_t* message,
                                              volatile spiTask_t* task);
enum errorCodes initReadFileContents_spiCB(spi2fpgaCallbackType type,
                                           volatile spiMessage_t* message,
                                           volatile spiTask_t* task);
enum errorCodes initReadDirectory_spiCB(spi2fpgaCallbackType type, volatile spiMessage_t* message,
                                        volatile spiTask_t* task);
enum errorCodes cleanupReadDirectory_spiCB(spi2fpgaCallbackType type,
                                           volatile spiMessage_t* message,
                                           volatile spiTask_t* task);

#endif  // TCSL1_TCP_CAMERA_SERVER_LAYER1_H
