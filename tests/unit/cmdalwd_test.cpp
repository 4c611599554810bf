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

class Cmdalwd : public OnKernel {
 protected:
  int linesWith(const std::string& text) {
    int n = 0;
    for (const std::string& l : ConsoleLines()) n += l.find(text) != std::string::npos;
    return n;
  }
};

TEST_F(Cmdalwd, WhenNotRecordingEveryIDIsAllowedWithResult1AndNothingLogged) {
  inst.call([] {
    for (int id : {0xFFFF, 0x102}) EXPECT_EQ(cmdalwdIsCameraCommandIDAllowed(id, false), 1);
    for (int id = 0; id < 256; id++) {
      EXPECT_EQ(cmdalwdIsCameraCommandIDAllowed((uint16_t)id, false), 1) << "id " << id;
    }
  });
  EXPECT_EQ(linesWith("Unrecognized"), 0);
}

TEST_F(Cmdalwd, WhileRecordingEveryIDGetsTheResultTheRuleGivesAndOnlyNonCommandsAreLogged) {
  int unrecognised = 0;
  inst.call([&] {
    for (int id = 0; id < 256; id++) {
      int32_t want = expectedWhileRecording(id);
      EXPECT_EQ(cmdalwdIsCameraCommandIDAllowed((uint16_t)id, true), want) << "id " << id;
      unrecognised += want == -112;
    }
  });
  EXPECT_EQ(linesWith("Unrecognized"), unrecognised);
  EXPECT_EQ(linesWith("  FREEZE -- Unrecognized command ID: 134"), 1);  // the full ID
}

TEST_F(Cmdalwd, WhileRecordingAnIDWithBitsAbove7IsUnrecognisedRatherThanTakenForItsLowByte) {
  int32_t plain = 0, get = 0;
  inst.call([&] {
    plain = cmdalwdIsCameraCommandIDAllowed(0x100 + 2, true);
    get = cmdalwdIsCameraCommandIDAllowed(0x100 + 130, true);
  });
  EXPECT_EQ(plain, -112);
  EXPECT_EQ(get, -112);
}

}  // namespace
