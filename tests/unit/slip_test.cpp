// SLIP framing of STM32 messages: encoder, decoder, header extraction and the frame test.
#include <gtest/gtest.h>
#include <string.h>

#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "slipSLIPUtilities/slipSLIPUtilities.h"
#include "unit/host_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Failures log, and logging needs a kernel thread: every call runs inside one.
class Slip : public OnKernel {
 protected:
  void inKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst.call(fn)); }
  // Each log line as "<function>: <message>", without the module and the source line.
  std::vector<std::string> logged() const {
    std::vector<std::string> out;
    std::istringstream in(inst.console());
    for (std::string l; std::getline(in, l);) {
      size_t name = l.find("::"), at = l.find("() @"), colon = l.find(": ", at);
      if (name != std::string::npos && at != std::string::npos && colon != std::string::npos)
        out.push_back(l.substr(name + 2, at - name - 2) + ": " + l.substr(colon + 2));
    }
    return out;
  }
  // Encodes into `size` bytes prefilled with 0x55; the result and what it wrote.
  int encode(const Bytes& in, size_t size, Bytes* out) {
    *out = Bytes(size, 0x55);
    int n = -1;
    inKernel([&] { n = slipEncode(in.data(), uint16_t(in.size()), out->data(), uint16_t(size)); });
    if (n > 0) out->resize(n);
    return n;
  }
  int decode(const Bytes& frame, uint32_t frameLen, size_t size, Bytes* out) {
    *out = Bytes(size);
    int n = -1;
    inKernel([&] { n = slipDecode(frame.data(), frameLen, out->data(), uint16_t(size)); });
    if (n > 0) out->resize(n);
    return n;
  }
};

// ---- Encoding -----------------------------------------------------------------------------------

TEST_F(Slip, EncodingEscapesTheSpecialBytesBetweenTwoEnds) {
  Bytes worst(202, 0xDB);  // 100 ENDs
  for (size_t i = 1; i < 201; i += 2) worst[i + 1] = 0xDC;
  worst[0] = worst[201] = 0xC0;
  const std::tuple<Bytes, size_t, Bytes> kCases[] = {
      {{0xC0, 0xDB, 0x41}, 16, {0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0x41, 0xC0}},
      {{}, 2, {0xC0, 0xC0}},
      {{0x41}, 4, {0xC0, 0x41, 0xC0}},
      {Bytes(100, 0xC0), 202, worst}};
  for (const auto& [in, size, frame] : kCases) {
    SCOPED_TRACE(testing::PrintToString(in));
    Bytes out;
    EXPECT_EQ(encode(in, size, &out), int(frame.size()));
    EXPECT_EQ(out, frame);
  }
  EXPECT_TRUE(logged().empty()) << inst.console();
}

TEST_F(Slip, EncodingFailsUnlessEveryByteHasRoomForAnEscapePairAndTheClosingEnd) {
  const std::tuple<Bytes, size_t, std::string> kCases[] = {
      {{0x41}, 3, "msg len 1, output buffer len 3"},
      {{}, 1, "msg len 0, output buffer len 1"},
      {Bytes(100, 0xDB), 201, "msg len 100, output buffer len 201"}};
  for (const auto& [in, size, log] : kCases) {
    SCOPED_TRACE(log);
    inst.clear_console();
    Bytes out;
    EXPECT_EQ(encode(in, size, &out), 0);
    EXPECT_EQ(logged(),
              std::vector<std::string>{"slipEncode: buffer overflow; can't encode; " + log});
    if (size < 2) {
      EXPECT_EQ(out, Bytes(size, 0x55));  // too small for the two ENDs: not written at all
    }
  }
}

// ---- Decoding -----------------------------------------------------------------------------------

TEST_F(Slip, DecodingGivesTheDataUpToTheClosingEndUnescaped) {
  const std::tuple<Bytes, size_t, Bytes> kCases[] = {
      {{0xC0, 0x41, 0x42, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, {0x41, 0x42}},  // shorter than room
      {{0xC0, 0x41, 0x42, 0xC0}, 2, {0x41, 0x42}},                          // exactly the room
      {{0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0xDC, 0xDD, 0xC0}, 8, {0xC0, 0xDB, 0xDC, 0xDD}},
  };
  for (const auto& [frame, size, data] : kCases) {
    SCOPED_TRACE(testing::PrintToString(frame));
    Bytes out;
    EXPECT_EQ(decode(frame, uint32_t(frame.size()), size, &out), int(data.size()));
    EXPECT_EQ(out, data);
  }
}

TEST_F(Slip, EveryByteValueSurvivesEncodingAndDecoding) {
  Bytes message(512), frame, decoded;
  for (size_t i = 0; i < message.size(); i++) message[i] = uint8_t(i * 131 + 7);
  int frameLen = encode(message, 2 * message.size() + 2, &frame);
  ASSERT_GT(frameLen, 0);
  ASSERT_EQ(decode(frame, uint32_t(frameLen), message.size(), &decoded), int(message.size()));
  EXPECT_EQ(decoded, message);
}

TEST_F(Slip, DecodingRefusesAnOutputLargerThanTheInput) {
  Bytes out;
  EXPECT_EQ(decode({0xC0, 0x41, 0xC0}, 3, 5, &out), 0);
  EXPECT_EQ(logged(), std::vector<std::string>{
                          "slipDecode: ERROR!! provided buffer larger than slip buffer"});
}

// A length shorter than the frame stands for the end of the input: a decoder reading beyond it
// would find the END after it.
TEST_F(Slip, DecodingFailsReportingWhyForAFrameThatIsNotOneWholeMessageThatFits) {
  const Bytes escapes = {0xC0, 0x41, 0x42, 0xDB, 0xDC, 0x44, 0xDB, 0xDD, 0x45, 0xC0};
  const Bytes endBeyond = {0xC0, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0xC0};
  Bytes long2000(2000, 0x55);
  long2000[0] = long2000[1999] = 0xC0;
  const std::tuple<Bytes, uint32_t, size_t, std::string> kCases[] = {
      {{0x41, 0x42, 0xC0}, 3, 8, "no start char found"},
      {{0xC0, 0xC0}, 0, 0, "no start char found"},
      {{0xC0, 0xDB, 0x41, 0xC0}, 4, 2, "unexpected escape char 0x41 at position 2"},
      {{0xC0, 0x41, 0x42, 0xC0}, 3, 3, "no end char within 3 bytes"},
      {{0xC0, 0x41, 0x42, 0xC0}, 3, 2, "no end char within 3 bytes"},
      {{0xC0, 0x41, 0xDB, 0x99, 0xC0}, 3, 3, "no end char within 3 bytes"},
      {{0xC0, 0x41, 0x42, 0x43, 0xC0}, 5, 2, "end char found 0 bytes beyond expected"},
      {escapes, 10, 2, "end char found 3 bytes beyond expected"},  // escape pairs count once
      {endBeyond, 6, 2, "end char found 2 bytes beyond expected"},
      {long2000, 2000, 1, "end char found 1437 bytes beyond expected"},  // looks up to 1440
  };
  for (const auto& [frame, length, size, log] : kCases) {
    SCOPED_TRACE(log);
    inst.clear_console();
    Bytes out;
    EXPECT_EQ(decode(frame, length, size, &out), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{"slipDecode: SLIP decode error: " + log});
  }
}

// ---- Header extraction --------------------------------------------------------------------------

TEST_F(Slip, TheHeaderIsTheFirstTwelveBytesReadLittleEndianThroughEscapes) {
  const Bytes kMessages[] = {
      {0xC0, 0x00, 0xDB, 0x00, 0x78, 0x56, 0x34, 0x12, 0xFB, 0xFF, 0xFF, 0xFF},
      {16, 0, 0x34, 0x12, 1, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xC0, 0xC0, 0xC0}};
  const CameraMessageHeader kHeaders[] = {{0x00C0, 0x00DB, 0x12345678u, -5}, {16, 0x1234, 1, 0}};
  for (int i = 0; i < 2; i++) {
    Bytes frame;
    ASSERT_GT(encode(kMessages[i], 40, &frame), 0);
    CameraMessageHeader h;
    bool ok = false;
    inKernel([&] { ok = slipGetHeaderFromSLIP(frame.data(), &h); });
    ASSERT_TRUE(ok) << i;
    EXPECT_EQ(memcmp(&h, &kHeaders[i], sizeof h), 0) << i;
  }
}

TEST_F(Slip, AFrameWithoutAWholeHeaderGivesAZeroHeaderReportingWhy) {
  // Each frame starts a 26-byte buffer, zeroed beyond.
  const std::pair<Bytes, std::string> kCases[] = {
      {{0x41}, "SLIP decode error: no start char found"},
      {{0xC0, 0xC0}, "SLIP_END at pos 1; no header found"},
      {{0xC0, 0x01, 0x02, 0x03, 0xDB, 0x99},
       "SLIP decode error: unexpected escape char 0x99 at position 5"},
      {{0xC0, 1, 2, 3, 4, 5, 0xC0, 9, 9, 9, 9, 9, 9, 9},
       "SLIP decode error: end char at position 6, inside the 12-byte header"},
  };
  for (const auto& [frame, log] : kCases) {
    SCOPED_TRACE(log);
    inst.clear_console();
    Bytes buffer = frame;
    buffer.resize(26);
    CameraMessageHeader h, zero = {};
    memset(&h, 0xAA, sizeof h);
    bool ok = true;
    inKernel([&] { ok = slipGetHeaderFromSLIP(buffer.data(), &h); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(memcmp(&h, &zero, sizeof h), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{"slipGetHeaderFromSLIP: " + log});
  }
}

// ---- Frame test ---------------------------------------------------------------------------------

TEST(SlipIsFrame, AFrameIsTwoBytesOrMoreStartingAndEndingWithEnd) {
  const std::tuple<Bytes, size_t, bool> kCases[] = {
      {{0xC0}, 0, false},       {{0xC0}, 1, false},
      {{0xC0, 0xC0}, 2, true},  {{0xC0, 0x41, 0xC0}, 3, true},
      {{0xC0, 0x41}, 2, false}, {{0x41, 0xC0}, 2, false}};
  for (const auto& [bytes, length, frame] : kCases)
    EXPECT_EQ(isSLIPFrame(bytes.data(), length), frame) << testing::PrintToString(bytes) << length;
}

}  // namespace
