// The recording gate in front of the STM32 link: which command IDs may go to the STM32 while the
// camera records.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "cmdalwdCameraCommandAllowed/cmdalwdCameraCommandAllowed.h"
#include "unit/host_fixture.h"

namespace {

// The rule, written out independently of the module: bases that name no command, SET forms that
// would disturb a recording, and the GET-only root-file operations.
const std::set<int> kUnassignedBases = {0, 1, 6, 12, 32, 36, 39, 45};
const std::set<int> kSetsBlockedWhileRecording = {3,  4,  5,  7,  13, 14, 15, 16, 17, 18, 19, 20,
                                                  21, 22, 23, 24, 25, 26, 27, 28, 29, 37, 47};
const std::set<int> kGetsBlockedWhileRecording = {33 + 128, 34 + 128, 35 + 128};

int32_t expectedWhileRecording(int id) {
  int base = id & ~0x80;
  if (base > 62 || kUnassignedBases.count(base)) return -112;
  bool isGet = (id & 0x80) != 0;
  if (!isGet && kSetsBlockedWhileRecording.count(base)) return -110;
  if (isGet && kGetsBlockedWhileRecording.count(id)) return -110;
  return 2;
}

class CmdalwdTest : public OnKernel {
 protected:
  int32_t allowed(uint16_t id, bool recording) {
    int32_t r = 0;
    EXPECT_TRUE(inst.call([&] { r = cmdalwdIsCameraCommandIDAllowed(id, recording); }));
    return r;
  }
  int countInConsole(const std::string& text) {
    int n = 0;
    for (const std::string& l : ConsoleLines()) n += l.find(text) != std::string::npos;
    return n;
  }
};

// ---- Not recording ------------------------------------------------------------------------------

using CmdalwdNotRecording = CmdalwdTest;

TEST_F(CmdalwdNotRecording, EveryIDFrom0To255IsAllowedWithResult1) {
  inst.call([] {
    for (int id = 0; id < 256; id++) {
      EXPECT_EQ(cmdalwdIsCameraCommandIDAllowed((uint16_t)id, false), 1) << "id " << id;
    }
  });
}

TEST_F(CmdalwdNotRecording, AnUnassignedIDIsNeitherCheckedNorLogged) {
  EXPECT_EQ(allowed(6, false), 1);
  EXPECT_EQ(allowed(0xFFFF, false), 1);
  EXPECT_EQ(countInConsole("Unrecognized command ID"), 0);
}

// ---- Recording ----------------------------------------------------------------------------------

using CmdalwdRecording = CmdalwdTest;

TEST_F(CmdalwdRecording, EveryIDFrom0To255GetsTheResultTheRuleGives) {
  inst.call([] {
    for (int id = 0; id < 256; id++) {
      EXPECT_EQ(cmdalwdIsCameraCommandIDAllowed((uint16_t)id, true), expectedWhileRecording(id))
          << "id " << id;
    }
  });
}

TEST_F(CmdalwdRecording, TheRootFileDeleteIsBlockedAsAGetButAllowedAsASet) {
  EXPECT_EQ(allowed(161, true), -110);
  EXPECT_EQ(allowed(33, true), 2);
}

TEST_F(CmdalwdRecording, ScheduleChangesAreBlockedButReadingTheScheduleIsAllowed) {
  EXPECT_EQ(allowed(5, true), -110);
  EXPECT_EQ(allowed(133, true), 2);
}

TEST_F(CmdalwdRecording, ModeChangesStayAllowedSoRecordingCanBeStopped) {
  EXPECT_EQ(allowed(48, true), 2);
  EXPECT_EQ(allowed(2, true), 2);
}

TEST_F(CmdalwdRecording, AnUnassignedIDIsUnrecognisedAndLoggedWithTheFullID) {
  EXPECT_EQ(allowed(6 + 128, true), -112);
  EXPECT_EQ(countInConsole("  FREEZE -- Unrecognized command ID: 134"), 1);
}

TEST_F(CmdalwdRecording, AnIDAboveTheHighestCommandIsUnrecognised) {
  EXPECT_EQ(allowed(63, true), -112);
  EXPECT_EQ(allowed(63 + 128, true), -112);
  EXPECT_EQ(countInConsole("Unrecognized command ID: 63"), 1);
  EXPECT_EQ(countInConsole("Unrecognized command ID: 191"), 1);
}

TEST_F(CmdalwdRecording, AnIDWithBitsAbove7IsUnrecognisedRatherThanTakenForItsLowByte) {
  EXPECT_EQ(allowed(0x100 + 2, true), -112);
  EXPECT_EQ(allowed(0x100 + 130, true), -112);
}

TEST_F(CmdalwdRecording, AnAllowedOrBlockedIDIsNotLogged) {
  allowed(130, true);
  allowed(5, true);
  EXPECT_EQ(countInConsole("Unrecognized"), 0);
}

}  // namespace
