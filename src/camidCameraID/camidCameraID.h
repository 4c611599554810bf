// The camera ID as a short printable text: 15 Ascii85 characters, used where the identity is shown
// to people (the BLE advertised name).
#ifndef CAMID_CAMERA_ID_H
#define CAMID_CAMERA_ID_H

#include <stddef.h>
#include <stdint.h>

// Words in a camera ID, and characters in its text (without the terminating zero).
#define CAMID_CAMERA_ID_WORDS 6
#define CAMID_ASCII85_CHARS 15

// Writes the six words of `input` (each high byte first, read as three big-endian 32-bit groups)
// as 15 Ascii85 characters and a zero into `output`; true on success. An `outSize` of 15 or less
// (or no `input`) writes an empty string when there is room for it and returns false.
bool encodeAscii85(const uint16_t* input, char* output, size_t outSize);

#endif  // CAMID_CAMERA_ID_H
