// Frames from the station as the link reads them: the filter's verdict and the DNS answer never
// read outside the frame, and an answer is a whole frame back to the sender.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frames.h"

using camhost::net::frames::Verdict;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so any read past the frame's end is caught.
  uint8_t* frame = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(frame, data, size);
  camhost::net::frames::Decision d = camhost::net::frames::classify(frame, size);
  if (d.verdict == Verdict::kRefuse && d.what.empty()) abort();
  if (d.verdict == Verdict::kDns) {
    auto answer = camhost::net::frames::dns_answer(
        frame, size, [](const std::string& name, uint32_t* a) {
          *a = 0x0A000202;
          return name == "camserver.camlink.test";
        });
    if (!answer.empty()) {
      if (answer.size() < 14 + 20 + 8 + 12) abort();
      if (memcmp(answer.data(), frame + 6, 6) != 0) abort();  // to the query's sender
    }
  }
  free(frame);
  return 0;
}
