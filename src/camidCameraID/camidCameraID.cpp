#include "camidCameraID/camidCameraID.h"

#define CAMID_GROUPS 3            // 32-bit groups in a camera ID
#define CAMID_DIGITS_PER_GROUP 5  // base-85 digits of a 32-bit group
#define CAMID_ASCII85_FIRST '!'   // the character of digit 0

bool encodeAscii85(const uint16_t* input, char* output, size_t outSize) {
  if (output == nullptr || outSize == 0) return false;
  if (outSize <= CAMID_ASCII85_CHARS || input == nullptr) {
    output[0] = '\0';
    return false;
  }
  for (int g = 0; g < CAMID_GROUPS; g++) {
    // Two words, each high byte first, make one big-endian group.
    uint32_t value = ((uint32_t)input[2 * g] << 16) | input[2 * g + 1];
    for (int d = CAMID_DIGITS_PER_GROUP - 1; d >= 0; d--) {
      output[g * CAMID_DIGITS_PER_GROUP + d] = (char)(CAMID_ASCII85_FIRST + value % 85);
      value /= 85;
    }
  }
  output[CAMID_ASCII85_CHARS] = '\0';
  return true;
}
