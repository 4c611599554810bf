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

TEST(CamidAscii85, AKnownIdentityEncodesAsComputedByHandWithinSixteenBytes) {
  // Group 0x4D616E20: 1298230816 = 24*85^4 + 73*85^3 + 80*85^2 + 78*85 + 61 -> "9jqo^".
  // Group 0x00000001: digits 0,0,0,0,1 -> "!!!!\"".
  // Group 0xFFFFFFFF: 4294967295 = 82*85^4 + 23*85^3 + 54*85^2 + 12*85 + 0 -> "s8W-!".
  const uint16_t id[6] = {0x4D61, 0x6E20, 0x0000, 0x0001, 0xFFFF, 0xFFFF};
  char out[32];
  std::memset(out, 'Z', sizeof out);
  EXPECT_TRUE(encodeAscii85(id, out, 16));
  EXPECT_EQ(std::string(out), "9jqo^!!!!\"s8W-!");
  EXPECT_EQ(std::string(out + 16, 16), std::string(16, 'Z'));
}

TEST(CamidAscii85, TooLittleRoomOrNoIdentityGivesFalseAndAnEmptyStringWhereThereIsRoom) {
  const uint16_t id[6] = {1, 2, 3, 4, 5, 6};
  struct Case { const uint16_t* id; size_t size; char first; };
  for (const Case& c : {Case{id, 15, '\0'}, Case{id, 1, '\0'}, Case{id, 0, 'Z'},
                        Case{nullptr, 16, '\0'}}) {
    SCOPED_TRACE(c.size);
    char out[16];
    std::memset(out, 'Z', sizeof out);
    EXPECT_FALSE(encodeAscii85(c.id, out, c.size));
    EXPECT_EQ(out[0], c.first);
    EXPECT_EQ(out[1], 'Z');
  }
  EXPECT_FALSE(encodeAscii85(id, nullptr, 16));
}

}  // namespace
