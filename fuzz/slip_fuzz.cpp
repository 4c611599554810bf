// SLIP frames from the STM32: decoding never reads or writes outside its buffers, and whatever is
// encoded decodes back to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "slipSLIPUtilities/slipSLIPUtilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the output buffer's size; the rest is the frame as received.
  uint16_t outLen = static_cast<uint16_t>(data[0] | (data[1] << 8)) % 4096;
  std::vector<uint8_t> frame(data + 2, data + size);
  std::vector<uint8_t> out(outLen);
  int n = slipDecode(frame.data(), static_cast<uint32_t>(frame.size()), out.data(), outLen);
  if (n < 0 || n > outLen) abort();

  // The header reader has no length: callers hand it their whole receive buffer.
  std::vector<uint8_t> padded(frame);
  padded.resize(std::max<size_t>(padded.size(), 32), 0);
  CameraMessageHeader header;
  slipGetHeaderFromSLIP(padded.data(), &header);
  isSLIPFrame(frame.data(), frame.size());

  // Round trip of the input taken as a message.
  size_t msgLen = std::min<size_t>(frame.size(), 1400);
  std::vector<uint8_t> encoded(2 * msgLen + 3);
  int e = slipEncode(frame.data(), static_cast<uint16_t>(msgLen), encoded.data(),
                     static_cast<uint16_t>(encoded.size()));
  if (e <= 0 || static_cast<size_t>(e) > encoded.size()) abort();
  std::vector<uint8_t> back(msgLen + 1);
  int d = slipDecode(encoded.data(), static_cast<uint32_t>(encoded.size()), back.data(),
                     static_cast<uint16_t>(back.size()));
  if (static_cast<size_t>(d) != msgLen && !(msgLen == 0 && d == 0)) abort();
  if (msgLen && memcmp(back.data(), frame.data(), msgLen) != 0) abort();
  return 0;
}
