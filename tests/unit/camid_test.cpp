// The camera ID as 15 Ascii85 characters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "camidCameraID/camidCameraID.h"

namespace {

TEST(CamidAscii85, SixZeroWordsGiveFifteenExclamationMarks) {
  const uint16_t id[6] = {0, 0, 0, 0, 0, 0};
  char out[16];
  EXPECT_TRUE(encodeAscii85(id, out, sizeof out));
  EXPECT_EQ(std::string(out), std::string(15, '!'));
}

TEST(CamidAscii85, AKnownIdentityEncodesAsComputedByHand) {
  // Group 0x4D616E20 ("Man "): 1298230816 = 24*85^4 + 73*85^3 + 80*85^2 + 78*85 + 61
  //   -> 33+{24,73,80,78,61} = "9jqo^".
  // Group 0x00000001: digits 0,0,0,0,1 -> "!!!!\"".
  // Group 0xFFFFFFFF: 4294967295 = 82*85^4 + 23*85^3 + 54*85^2 + 12*85 + 0 -> "s8W-!".
  const uint16_t id[6] = {0x4D61, 0x6E20, 0x0000, 0x0001, 0xFFFF, 0xFFFF};
  char out[16];
  EXPECT_TRUE(encodeAscii85(id, out, sizeof out));
  EXPECT_EQ(std::string(out), "9jqo^!!!!\"s8W-!");
}

TEST(CamidAscii85, EachWordIsTakenHighByteFirst) {
  // Swapping the bytes of the words gives group 0x614D206E: 1632444526
  //   = 31*85^4 + 23*85^3 + 13*85^2 + 74*85 + 61 -> 33+{31,23,13,74,61} = "@8.k^".
  const uint16_t id[6] = {0x614D, 0x206E, 0, 0, 0, 0};
  char out[16];
  EXPECT_TRUE(encodeAscii85(id, out, sizeof out));
  EXPECT_EQ(std::string(out).substr(0, 5), "@8.k^");
}

TEST(CamidAscii85, ZeroGroupsAreWrittenInFullWithoutShorthand) {
  const uint16_t id[6] = {0xFFFF, 0xFFFF, 0, 0, 0xFFFF, 0xFFFF};
  char out[16];
  EXPECT_TRUE(encodeAscii85(id, out, sizeof out));
  EXPECT_EQ(std::string(out), "s8W-!!!!!!s8W-!");
  EXPECT_EQ(std::strchr(out, 'z'), nullptr);
}

TEST(CamidAscii85, SixteenBytesOfRoomAreEnoughAndNothingBeyondIsWritten) {
  const uint16_t id[6] = {0x4D61, 0x6E20, 0x0000, 0x0001, 0xFFFF, 0xFFFF};
  char out[32];
  std::memset(out, 'Z', sizeof out);
  EXPECT_TRUE(encodeAscii85(id, out, 16));
  EXPECT_EQ(out[15], '\0');
  for (size_t i = 16; i < sizeof out; i++) EXPECT_EQ(out[i], 'Z') << "byte " << i;
}

TEST(CamidAscii85, AnOutputSizeOfExactlyFifteenGivesAnEmptyStringAndFalse) {
  const uint16_t id[6] = {1, 2, 3, 4, 5, 6};
  char out[15];
  std::memset(out, 'Z', sizeof out);
  EXPECT_FALSE(encodeAscii85(id, out, sizeof out));
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'Z');
}

TEST(CamidAscii85, AnOutputSizeOfOneWritesOnlyTheTerminator) {
  const uint16_t id[6] = {1, 2, 3, 4, 5, 6};
  char out[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(encodeAscii85(id, out, 1));
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'b');
}

TEST(CamidAscii85, AnOutputSizeOfZeroWritesNothing) {
  const uint16_t id[6] = {1, 2, 3, 4, 5, 6};
  char out[4] = {'a', 'b', 'c', 'd'};
  EXPECT_FALSE(encodeAscii85(id, out, 0));
  EXPECT_EQ(out[0], 'a');
}

TEST(CamidAscii85, AMissingIdentityGivesAnEmptyStringAndFalse) {
  char out[16] = "previous";
  EXPECT_FALSE(encodeAscii85(nullptr, out, sizeof out));
  EXPECT_EQ(out[0], '\0');
}

TEST(CamidAscii85, AMissingOutputIsRefused) {
  const uint16_t id[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(encodeAscii85(id, nullptr, 16));
}

}  // namespace
