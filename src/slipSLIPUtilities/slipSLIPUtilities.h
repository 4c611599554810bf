// SLIP framing of the messages exchanged with the STM32: END, the data bytes (0xC0 sent as
// ESC ESC_END, 0xDB as ESC ESC_ESC) and END again. Pure functions over caller-supplied buffers.
#ifndef SLIP_SLIP_UTILITIES_H
#define SLIP_SLIP_UTILITIES_H

#include <stddef.h>
#include <stdint.h>

#define SLIP_END 0xC0
#define SLIP_ESC 0xDB
#define SLIP_ESC_END 0xDC
#define SLIP_ESC_ESC 0xDD

// How far into a frame the decoder looks for the END of a frame longer than expected, to report
// by how much it ran over.
#define SLIP_MAX_SCAN_POSITION 1440

// The header of every STM32 message: 12 bytes, little-endian, no padding.
struct __attribute__((packed)) CameraMessageHeader {
  uint16_t length;
  uint16_t command;
  uint32_t commandSignature;
  int32_t result;
};
static_assert(sizeof(CameraMessageHeader) == 12, "CameraMessageHeader is 12 bytes on the wire");
static_assert(offsetof(CameraMessageHeader, length) == 0, "CameraMessageHeader.length");
static_assert(offsetof(CameraMessageHeader, command) == 2, "CameraMessageHeader.command");
static_assert(offsetof(CameraMessageHeader, commandSignature) == 4,
              "CameraMessageHeader.commandSignature");
static_assert(offsetof(CameraMessageHeader, result) == 8, "CameraMessageHeader.result");

// Frames `binaryBufferLen` bytes into `slipBuffer`; returns the frame length, or 0 (logged) when
// the frame may not fit: every data byte wants room for an escape pair and the closing END.
int slipEncode(const uint8_t* binaryBuffer, uint16_t binaryBufferLen, uint8_t* slipBuffer,
               uint16_t slipBufferLen);

// Decodes the frame at the start of `slipBuffer` (`slipBufferLen` bytes) into at most
// `binaryBufferLen` bytes; returns the number of data bytes, or 0 (logged) on any error: no
// opening END, an invalid escape, more data than `binaryBufferLen`, or no closing END within
// `slipBufferLen` bytes.
int slipDecode(const uint8_t* slipBuffer, uint32_t slipBufferLen, uint8_t* binaryBuffer,
               uint16_t binaryBufferLen);

// Decodes only the 12-byte message header of a frame, to learn its command and length before
// decoding the rest. `slipBuffer` holds at least the opening END and 12 encoded data bytes (25
// bytes cover any header). False (logged), with `header` zeroed, when the frame does not start
// with END, is shorter than a header or has an invalid escape.
bool slipGetHeaderFromSLIP(const uint8_t* slipBuffer, CameraMessageHeader* header);

// True when `bufflen` is at least 2 and the first and last bytes are END.
bool isSLIPFrame(const uint8_t* buff, size_t bufflen);

#endif  // SLIP_SLIP_UTILITIES_H
