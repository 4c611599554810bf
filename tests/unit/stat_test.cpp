// The keep-alive status bits: marking, the server's acknowledgement and the reboot bit.
#include <bitset>
#include <string>
#include <utility>
#include <vector>

#include "board_fixture.h"
#include "statStatus/statStatus.h"

namespace {

const uint32_t kAllOnes = 0xFFFFFFFFu;

class StatStatus : public OnBoard {
 protected:
  // Puts the whole word to `word`, then forgets the log.
  void startFrom(uint32_t word) {
    inKernel([&] { statMarkStatusBits(kAllOnes, word); });
    inst.clear_console();
  }
};

TEST_F(StatStatus, InitLogsItsEntryLineThenTellsTheServerThatThisModuleRebooted) {
  inKernel([] { statStatus_Init(); });
  EXPECT_EQ(statGetStatus(), 0x2000u);
  EXPECT_EQ(messages(),
            (std::vector<std::string>{"", "new KAstatus: 00000000000000000010000000000000"}));
  EXPECT_NE(inst.console().find("stat::statStatus_Init() @"), std::string::npos);
}

// Each change logs the whole new word, most significant bit first.
TEST_F(StatStatus, MarkingSetsTheMaskedBitsToThePatternAndLogsTheWordWhenItChanged) {
  const struct {
    std::vector<std::pair<uint32_t, uint32_t>> marks;  // mask, pattern
    uint32_t status;
    std::vector<uint32_t> logged;
  } kCases[] = {
      {{{0x80000001u, kAllOnes}}, 0x80000001u, {0x80000001u}},
      {{{0x11, kAllOnes}, {0x100020, kAllOnes}}, 0x100031, {0x11, 0x100031}},
      {{{0x200, 0x600}}, 0x200, {0x200}},  // a pattern bit outside the mask
      {{{0x400, kAllOnes}, {0x400, 0}}, 0, {0x400, 0}},
      {{{0x8, kAllOnes}, {0x8, kAllOnes}}, 0x8, {0x8}},
      {{{0x200, 0}}, 0, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.marks));
    startFrom(0);
    inKernel([&] {
      for (const auto& m : c.marks) statMarkStatusBits(m.first, m.second);
    });
    EXPECT_EQ(statGetStatus(), c.status);
    std::vector<std::string> want;
    for (uint32_t w : c.logged) want.push_back("new KAstatus: " + std::bitset<32>(w).to_string());
    EXPECT_EQ(messages(), want);
  }
}

// The server's acknowledgement clears what it saw except the two SD levels, and is always logged.
TEST_F(StatStatus, ClearingReturnsAndLogsOnlyTheBitsReallyClearedKeepingTheSDLevels) {
  const struct {
    uint32_t marked, lastKnown, cleared, status;
    const char* log;
  } kCases[] = {
      {0x1FFFFF, kAllOnes, 0x1FF9FF, 0x600,
       "before: 0x001FFFFF, after: 0x00000600, lastKnownStatus: 0xFFFFF9FF, clearedBits: "
       "0x001FF9FF"},
      {0x5, 0x7, 0x5, 0,
       "before: 0x00000005, after: 0x00000000, lastKnownStatus: 0x00000007, clearedBits: "
       "0x00000005"},
      {0x2001, 0x1, 0x1, 0x2000,
       "before: 0x00002001, after: 0x00002000, lastKnownStatus: 0x00000001, clearedBits: "
       "0x00000001"},
      {0x10, 0, 0, 0x10,
       "before: 0x00000010, after: 0x00000010, lastKnownStatus: 0x00000000, clearedBits: "
       "0x00000000"},
      {0x200, 0x200, 0, 0x200,
       "before: 0x00000200, after: 0x00000200, lastKnownStatus: 0x00000000, clearedBits: "
       "0x00000000"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.log);
    startFrom(c.marked);
    uint32_t cleared = 1;
    inKernel([&] { cleared = statClearStatus(c.lastKnown); });
    EXPECT_EQ(cleared, c.cleared);
    EXPECT_EQ(statGetStatus(), c.status);
    EXPECT_EQ(messages(), std::vector<std::string>{c.log});
  }
}

}  // namespace
