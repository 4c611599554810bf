// The keep-alive status bits: marking, the server's acknowledgement and the reboot bit.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "statStatus/statStatus.h"

namespace {

// The message part of every log line (what follows "<module>::<function>() @<line>: ").
std::vector<std::string> logMessages(const std::string& console) {
  std::vector<std::string> messages;
  std::istringstream lines(console);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find("() @");
    if (at == std::string::npos) continue;
    size_t colon = line.find(": ", at);
    if (colon == std::string::npos) continue;
    messages.push_back(line.substr(colon + 2));
  }
  return messages;
}

class StatStatusTest : public ::testing::Test {
 protected:
  StatStatusTest() : inst_(options()) {}
  static camhost::Options options() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }
  void inKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst_.call(fn)); }
  int logged(const std::string& message) const {
    int n = 0;
    for (const std::string& m : logMessages(inst_.console())) n += m == message;
    return n;
  }
  std::vector<std::string> messages() const { return logMessages(inst_.console()); }
  camhost::Instance inst_;
};

const uint32_t kAllOnes = 0xFFFFFFFFu;
const uint32_t kSDLevels = 0x200u | 0x400u;

// ---- Start-up -----------------------------------------------------------------------------------

using StatStatusInit = StatStatusTest;

TEST_F(StatStatusInit, InitTellsTheServerThatThisModuleRebooted) {
  inKernel([] { statStatus_Init(); });
  EXPECT_EQ(statGetStatus(), 0x2000u);
  EXPECT_EQ(logged("new KAstatus: 00000000000000000010000000000000"), 1);
}

TEST_F(StatStatusInit, InitLogsItsEntryLineFirst) {
  inKernel([] { statStatus_Init(); });
  std::vector<std::string> m = messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0], "");
  EXPECT_NE(inst_.console().find("stat::statStatus_Init() @"), std::string::npos);
}

// ---- Marking ------------------------------------------------------------------------------------

using StatStatusMarking = StatStatusTest;

TEST_F(StatStatusMarking, MarkingWithAllOnesSetsTheMaskedBits) {
  inKernel([] { statMarkStatusBits(0x4u | 0x100000u, kAllOnes); });
  EXPECT_EQ(statGetStatus(), 0x4u | 0x100000u);
}

TEST_F(StatStatusMarking, TheLoggedWordShowsTheMostSignificantBitFirst) {
  inKernel([] { statMarkStatusBits(0x80000001u, kAllOnes); });
  EXPECT_EQ(logged("new KAstatus: 10000000000000000000000000000001"), 1);
}

TEST_F(StatStatusMarking, TheLoggedWordIsTheWholeWordNotJustTheNewBits) {
  inKernel([] {
    statMarkStatusBits(0x1u, kAllOnes);
    statMarkStatusBits(0x100000u, kAllOnes);
  });
  EXPECT_EQ(logged("new KAstatus: 00000000000100000000000000000001"), 1);
}

TEST_F(StatStatusMarking, MarkingTheSameBitsTwiceLogsOnce) {
  inKernel([] {
    statMarkStatusBits(0x8u, kAllOnes);
    statMarkStatusBits(0x8u, kAllOnes);
  });
  EXPECT_EQ(messages().size(), 1u);
}

TEST_F(StatStatusMarking, MarkingLeavesTheBitsOutsideTheMask) {
  inKernel([] {
    statMarkStatusBits(0x1u | 0x10u, kAllOnes);
    statMarkStatusBits(0x20u, kAllOnes);
  });
  EXPECT_EQ(statGetStatus(), 0x1u | 0x10u | 0x20u);
}

TEST_F(StatStatusMarking, APatternBitOutsideTheMaskIsIgnored) {
  inKernel([] { statMarkStatusBits(0x200u, 0x200u | 0x400u); });
  EXPECT_EQ(statGetStatus(), 0x200u);
}

TEST_F(StatStatusMarking, AZeroPatternClearsALevelBit) {
  inKernel([] {
    statMarkStatusBits(0x400u, kAllOnes);
    statMarkStatusBits(0x400u, 0);
  });
  EXPECT_EQ(statGetStatus(), 0u);
  EXPECT_EQ(logged("new KAstatus: 00000000000000000000000000000000"), 1);
}

TEST_F(StatStatusMarking, ClearingABitThatIsNotSetLogsNothing) {
  inKernel([] { statMarkStatusBits(0x200u, 0); });
  EXPECT_TRUE(messages().empty());
}

// ---- The server's acknowledgement ---------------------------------------------------------------

using StatStatusClear = StatStatusTest;

TEST_F(StatStatusClear, ClearingWithAllOnesKeepsTheSDLevels) {
  uint32_t cleared = 0;
  inKernel([&] {
    statMarkStatusBits(0x1FFFFFu, kAllOnes);
    cleared = statClearStatus(kAllOnes);
  });
  EXPECT_EQ(statGetStatus(), kSDLevels);
  EXPECT_EQ(cleared, 0x1FFFFFu & ~kSDLevels);
}

TEST_F(StatStatusClear, ClearingLogsTheWordBeforeAndAfter) {
  inKernel([&] {
    statMarkStatusBits(0x1FFFFFu, kAllOnes);
    statClearStatus(kAllOnes);
  });
  EXPECT_EQ(logged("before: 0x001FFFFF, after: 0x00000600, lastKnownStatus: 0xFFFFF9FF, "
                   "clearedBits: 0x001FF9FF"),
            1);
}

TEST_F(StatStatusClear, OnlyTheBitsReallyClearedAreReturned) {
  uint32_t cleared = 0;
  inKernel([&] {
    statMarkStatusBits(0x1u | 0x4u, kAllOnes);
    cleared = statClearStatus(0x1u | 0x2u | 0x4u);
  });
  EXPECT_EQ(cleared, 0x1u | 0x4u);
  EXPECT_EQ(logged("before: 0x00000005, after: 0x00000000, lastKnownStatus: 0x00000007, "
                   "clearedBits: 0x00000005"),
            1);
}

TEST_F(StatStatusClear, EventsTheServerHasNotSeenSurviveTheClear) {
  uint32_t cleared = 0;
  inKernel([&] {
    statMarkStatusBits(0x1u, kAllOnes);
    statMarkStatusBits(0x2000u, kAllOnes);
    cleared = statClearStatus(0x1u);
  });
  EXPECT_EQ(cleared, 0x1u);
  EXPECT_EQ(statGetStatus(), 0x2000u);
}

TEST_F(StatStatusClear, ClearingNothingStillLogsAndReturnsZero) {
  uint32_t cleared = 1;
  inKernel([&] {
    statMarkStatusBits(0x10u, kAllOnes);
    cleared = statClearStatus(0);
  });
  EXPECT_EQ(cleared, 0u);
  EXPECT_EQ(statGetStatus(), 0x10u);
  EXPECT_EQ(logged("before: 0x00000010, after: 0x00000010, lastKnownStatus: 0x00000000, "
                   "clearedBits: 0x00000000"),
            1);
}

TEST_F(StatStatusClear, AnAcknowledgedSDLevelIsNeitherClearedNorReportedAsCleared) {
  uint32_t cleared = 1;
  inKernel([&] {
    statMarkStatusBits(0x200u, kAllOnes);
    cleared = statClearStatus(0x200u);
  });
  EXPECT_EQ(cleared, 0u);
  EXPECT_EQ(statGetStatus(), 0x200u);
  EXPECT_EQ(logged("before: 0x00000200, after: 0x00000200, lastKnownStatus: 0x00000000, "
                   "clearedBits: 0x00000000"),
            1);
}

}  // namespace
