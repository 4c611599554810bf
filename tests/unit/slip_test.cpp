// SLIP framing of STM32 messages: encoder, decoder, header extraction and the frame test.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "slipSLIPUtilities/slipSLIPUtilities.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Failures log, and logging needs a kernel thread: every call that may fail runs inside one.
class SlipInKernel : public ::testing::Test {
 protected:
  SlipInKernel() : inst_(options()) {}
  static camhost::Options options() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }
  void inKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst_.call(fn)); }
  bool logged(const std::string& text) const {
    return inst_.console().find(text) != std::string::npos;
  }
  int encode(const Bytes& in, Bytes& out) {
    int n = -1;
    inKernel(
        [&] { n = slipEncode(in.data(), (uint16_t)in.size(), out.data(), (uint16_t)out.size()); });
    return n;
  }
  int decode(const Bytes& frame, uint32_t frameLen, Bytes& out) {
    int n = -1;
    inKernel([&] { n = slipDecode(frame.data(), frameLen, out.data(), (uint16_t)out.size()); });
    return n;
  }
  camhost::Instance inst_;
};

// ---- Encoding -----------------------------------------------------------------------------------

TEST(SlipEncode, SpecialBytesAreEscapedBetweenTwoEnds) {
  const uint8_t in[] = {0xC0, 0xDB, 0x41};
  uint8_t out[16];
  ASSERT_EQ(slipEncode(in, sizeof(in), out, sizeof(out)), 7);
  EXPECT_EQ(Bytes(out, out + 7), (Bytes{0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0x41, 0xC0}));
}

TEST(SlipEncode, AnEmptyMessageIsTwoEnds) {
  uint8_t out[2] = {0};
  ASSERT_EQ(slipEncode(nullptr, 0, out, sizeof(out)), 2);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0xC0, 0xC0}));
}

TEST(SlipEncode, AMessageOfOnlySpecialBytesFitsItsExactWorstCaseSize) {
  Bytes in(100, 0xC0);
  uint8_t out[202];
  ASSERT_EQ(slipEncode(in.data(), (uint16_t)in.size(), out, sizeof(out)), 202);
  EXPECT_EQ(out[201], 0xC0);
}

using SlipEncodeFailure = SlipInKernel;

TEST_F(SlipEncodeFailure, EveryByteWantsRoomForAnEscapePairAndTheClosingEnd) {
  Bytes three(3), four(4, 0);
  EXPECT_EQ(encode({0x41}, three), 0);
  EXPECT_TRUE(logged("slipEncode() @")) << inst_.console();
  EXPECT_TRUE(logged("buffer overflow; can't encode; msg len 1, output buffer len 3\n"));
  EXPECT_EQ(encode({0x41}, four), 3);
  EXPECT_EQ(Bytes(four.begin(), four.begin() + 3), (Bytes{0xC0, 0x41, 0xC0}));
}

TEST_F(SlipEncodeFailure, AnOutputTooSmallForTwoEndsIsNeverWritten) {
  Bytes one = {0x55};
  EXPECT_EQ(encode({}, one), 0);
  EXPECT_EQ(one[0], 0x55);
  EXPECT_TRUE(logged("buffer overflow; can't encode; msg len 0, output buffer len 1\n"));
}

TEST_F(SlipEncodeFailure, AMessageOfSpecialBytesOneByteShortOfItsWorstCaseFails) {
  Bytes out(201);
  EXPECT_EQ(encode(Bytes(100, 0xDB), out), 0);
  EXPECT_TRUE(logged("msg len 100, output buffer len 201\n"));
}

// ---- Decoding -----------------------------------------------------------------------------------

TEST(SlipDecode, AFrameShorterThanTheBufferGivesItsLength) {
  const uint8_t received[16] = {0xC0, 0x41, 0x42, 0xC0};  // a receive buffer, zeroed beyond
  uint8_t out[8];
  ASSERT_EQ(slipDecode(received, sizeof(received), out, sizeof(out)), 2);
  EXPECT_EQ(out[0], 0x41);
  EXPECT_EQ(out[1], 0x42);
}

TEST(SlipDecode, AFrameThatFillsTheBufferExactlyIsComplete) {
  const uint8_t frame[] = {0xC0, 0x41, 0x42, 0xC0};
  uint8_t out[2];
  EXPECT_EQ(slipDecode(frame, sizeof(frame), out, sizeof(out)), 2);
}

TEST(SlipDecode, EscapePairsBecomeTheirSpecialBytes) {
  const uint8_t frame[] = {0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0xDC, 0xDD, 0xC0};
  uint8_t out[8];
  ASSERT_EQ(slipDecode(frame, sizeof(frame), out, sizeof(out)), 4);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xC0, 0xDB, 0xDC, 0xDD}));
}

TEST(SlipDecode, EveryByteValueSurvivesEncodingAndDecoding) {
  uint8_t message[512];
  for (size_t i = 0; i < sizeof(message); i++) message[i] = (uint8_t)(i * 131 + 7);
  uint8_t frame[2 * sizeof(message) + 2];
  int frameLen = slipEncode(message, sizeof(message), frame, sizeof(frame));
  ASSERT_GT(frameLen, 0);
  uint8_t decoded[sizeof(message)];
  ASSERT_EQ(slipDecode(frame, (uint32_t)frameLen, decoded, sizeof(decoded)), (int)sizeof(message));
  EXPECT_EQ(memcmp(decoded, message, sizeof(message)), 0);
}

TEST(SlipDecode, BytesAfterTheClosingEndAreIgnored) {
  const uint8_t received[] = {0xC0, 0x01, 0x02, 0xC0, 0x00, 0x00, 0x00};
  uint8_t out[4];
  EXPECT_EQ(slipDecode(received, sizeof(received), out, sizeof(out)), 2);
}

using SlipDecodeFailure = SlipInKernel;

TEST_F(SlipDecodeFailure, AFrameNotStartingWithEndIsRejected) {
  Bytes out(8);
  EXPECT_EQ(decode({0x41, 0x42, 0xC0}, 3, out), 0);
  EXPECT_TRUE(logged("slipDecode() @")) << inst_.console();
  EXPECT_TRUE(logged("SLIP decode error: no start char found\n"));
}

TEST_F(SlipDecodeFailure, AnOutputLargerThanTheInputIsRejected) {
  Bytes out(5);
  EXPECT_EQ(decode({0xC0, 0x41, 0xC0}, 3, out), 0);
  EXPECT_TRUE(logged("ERROR!! provided buffer larger than slip buffer\n"));
}

TEST_F(SlipDecodeFailure, AnInvalidEscapeIsReportedWithItsByteAndPosition) {
  Bytes out(2);
  EXPECT_EQ(decode({0xC0, 0xDB, 0x41, 0xC0}, 4, out), 0);
  EXPECT_TRUE(logged("SLIP decode error: unexpected escape char 0x41 at position 2\n"))
      << inst_.console();
}

TEST_F(SlipDecodeFailure, OneSurplusByteRightBeforeTheEndReportsZeroBeyond) {
  Bytes out(2);
  EXPECT_EQ(decode({0xC0, 0x41, 0x42, 0x43, 0xC0}, 5, out), 0);
  EXPECT_TRUE(logged("SLIP decode error: end char found 0 bytes beyond expected\n"))
      << inst_.console();
}

TEST_F(SlipDecodeFailure, SurplusBytesAfterTheFirstAreCountedWithEscapePairsOnce) {
  Bytes out(2);
  EXPECT_EQ(decode({0xC0, 0x41, 0x42, 0xDB, 0xDC, 0x44, 0xDB, 0xDD, 0x45, 0xC0}, 10, out), 0);
  EXPECT_TRUE(logged("end char found 3 bytes beyond expected\n")) << inst_.console();
}

TEST_F(SlipDecodeFailure, TheSurplusCountStopsLookingAtPosition1440) {
  Bytes frame(2000, 0x55);
  frame[0] = 0xC0;
  frame[1999] = 0xC0;
  Bytes out(1);
  EXPECT_EQ(decode(frame, (uint32_t)frame.size(), out), 0);
  // Data byte at 1, first surplus at 2, counted from 3 up to 1439.
  EXPECT_TRUE(logged("end char found 1437 bytes beyond expected\n")) << inst_.console();
}

// Each input is the first 3 bytes of a longer buffer that goes on to an END: a decoder that read
// beyond the length it was given would find that END and succeed.
TEST_F(SlipDecodeFailure, AFrameWithoutItsClosingEndFailsAtTheEndOfTheInput) {
  Bytes three(3), two(2);
  EXPECT_EQ(decode({0xC0, 0x41, 0x42, 0xC0}, 3, three), 0);        // still short of the buffer
  EXPECT_EQ(decode({0xC0, 0x41, 0x42, 0xC0}, 3, two), 0);          // buffer full, END beyond
  EXPECT_EQ(decode({0xC0, 0x41, 0xDB, 0xDC, 0xC0}, 3, three), 0);  // cut inside an escape
  std::string console = inst_.console();
  size_t lines = 0;
  for (size_t at = 0; (at = console.find("slipDecode() @", at)) != std::string::npos; at++) lines++;
  EXPECT_EQ(lines, 3u);
  EXPECT_TRUE(logged("SLIP decode error: no end char within 3 bytes\n")) << console;
}

TEST_F(SlipDecodeFailure, TheSurplusCountStopsAtTheEndOfTheInput) {
  Bytes buffer = {0xC0, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0xC0};
  Bytes out(2);
  EXPECT_EQ(decode(buffer, 6, out), 0);
  EXPECT_TRUE(logged("end char found 2 bytes beyond expected\n")) << inst_.console();
}

TEST_F(SlipDecodeFailure, AnEmptyInputHasNoStartChar) {
  Bytes buffer = {0xC0, 0xC0};
  Bytes out(0);
  EXPECT_EQ(decode(buffer, 0, out), 0);
  EXPECT_TRUE(logged("SLIP decode error: no start char found\n"));
}

// ---- Header extraction --------------------------------------------------------------------------

TEST(SlipHeader, TheTwelveHeaderBytesAreReadLittleEndianThroughEscapes) {
  const uint8_t header[12] = {0xC0, 0x00, 0xDB, 0x00, 0x78, 0x56,
                              0x34, 0x12, 0xFB, 0xFF, 0xFF, 0xFF};
  uint8_t frame[40];
  ASSERT_GT(slipEncode(header, sizeof(header), frame, sizeof(frame)), 0);
  CameraMessageHeader h;
  ASSERT_TRUE(slipGetHeaderFromSLIP(frame, &h));
  EXPECT_EQ(h.length, 0x00C0);
  EXPECT_EQ(h.command, 0x00DB);
  EXPECT_EQ(h.commandSignature, 0x12345678u);
  EXPECT_EQ(h.result, -5);
}

TEST(SlipHeader, OnlyTheHeaderOfALongerFrameIsRead) {
  const uint8_t message[16] = {16, 0, 0x34, 0x12, 1, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xC0, 0xC0, 0xC0};
  uint8_t frame[40];
  ASSERT_GT(slipEncode(message, sizeof(message), frame, sizeof(frame)), 0);
  CameraMessageHeader h;
  ASSERT_TRUE(slipGetHeaderFromSLIP(frame, &h));
  EXPECT_EQ(h.length, 16);
  EXPECT_EQ(h.command, 0x1234);
  EXPECT_EQ(h.commandSignature, 1u);
  EXPECT_EQ(h.result, 0);
}

using SlipHeaderFailure = SlipInKernel;

static CameraMessageHeader filledHeader() {
  CameraMessageHeader h;
  memset(&h, 0xAA, sizeof(h));
  return h;
}

static bool isZero(const CameraMessageHeader& h) {
  static const CameraMessageHeader zero = {};
  return memcmp(&h, &zero, sizeof(h)) == 0;
}

TEST_F(SlipHeaderFailure, AFrameNotStartingWithEndGivesAZeroHeader) {
  CameraMessageHeader h = filledHeader();
  const uint8_t frame[26] = {0x41};
  bool ok = true;
  inKernel([&] { ok = slipGetHeaderFromSLIP(frame, &h); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(isZero(h));
  EXPECT_TRUE(logged("slipGetHeaderFromSLIP() @")) << inst_.console();
  EXPECT_TRUE(logged("SLIP decode error: no start char found\n"));
}

TEST_F(SlipHeaderFailure, AnEmptyFrameHasNoHeader) {
  CameraMessageHeader h = filledHeader();
  const uint8_t frame[26] = {0xC0, 0xC0};
  bool ok = true;
  inKernel([&] { ok = slipGetHeaderFromSLIP(frame, &h); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(isZero(h));
  EXPECT_TRUE(logged("SLIP_END at pos 1; no header found\n")) << inst_.console();
}

TEST_F(SlipHeaderFailure, AnInvalidEscapeGivesAZeroHeader) {
  CameraMessageHeader h = filledHeader();
  const uint8_t frame[26] = {0xC0, 0x01, 0x02, 0x03, 0xDB, 0x99};
  bool ok = true;
  inKernel([&] { ok = slipGetHeaderFromSLIP(frame, &h); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(isZero(h));
  EXPECT_TRUE(logged("SLIP decode error: unexpected escape char 0x99 at position 5\n"))
      << inst_.console();
}

TEST_F(SlipHeaderFailure, AFrameShorterThanAHeaderIsNotReadBeyondItsEnd) {
  CameraMessageHeader h = filledHeader();
  // Five data bytes, END, then bytes of whatever came next in the buffer.
  const uint8_t buffer[26] = {0xC0, 1, 2, 3, 4, 5, 0xC0, 9, 9, 9, 9, 9, 9, 9};
  bool ok = true;
  inKernel([&] { ok = slipGetHeaderFromSLIP(buffer, &h); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(isZero(h));
  EXPECT_TRUE(logged("end char at position 6, inside the 12-byte header\n")) << inst_.console();
}

// ---- Frame test ---------------------------------------------------------------------------------

TEST(SlipIsFrame, ASingleEndIsNotAFrame) {
  const uint8_t b[] = {0xC0};
  EXPECT_FALSE(isSLIPFrame(b, 1));
  EXPECT_FALSE(isSLIPFrame(b, 0));
}

TEST(SlipIsFrame, AFrameStartsAndEndsWithEnd) {
  const uint8_t empty[] = {0xC0, 0xC0}, data[] = {0xC0, 0x41, 0xC0};
  const uint8_t noClose[] = {0xC0, 0x41}, noOpen[] = {0x41, 0xC0};
  EXPECT_TRUE(isSLIPFrame(empty, sizeof(empty)));
  EXPECT_TRUE(isSLIPFrame(data, sizeof(data)));
  EXPECT_FALSE(isSLIPFrame(noClose, sizeof(noClose)));
  EXPECT_FALSE(isSLIPFrame(noOpen, sizeof(noOpen)));
}

}  // namespace
