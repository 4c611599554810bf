// The whole camera in real time, where the firmware's threads, the board and the event thread run
// at once: what the thread sanitizer watches. The bounds only guard against a hang.
#include "firmware_fixture.h"

namespace {

constexpr uint64_t kGenerousWall = 120 * kSec;

camhost::Options RealTimeFirmware() {
  camhost::Options o = FirmwareOptions();
  o.clock = camhost::ClockKind::Real;
  return o;
}

TEST(RealTimeCamera, BootsValidatesItsConfigurationAndDoesSoAgainAfterAReset) {
  camhost::Instance inst{RealTimeFirmware()};
  ASSERT_TRUE(inst.ok());
  sim::Board board;
  const std::string valid = "all data is valid after attempt #1";
  inst.boot();
  ASSERT_TRUE(inst.run_until([&] { return inst.console().find(valid) != std::string::npos; },
                             kGenerousWall, 10000));
  inst.clear_console();
  inst.reset(OS_RESET_WATCHDOG);
  ASSERT_TRUE(inst.run_until([&] { return inst.console().find(valid) != std::string::npos; },
                             kGenerousWall, 10000));
  EXPECT_EQ(inst.boots(), 2);
  EXPECT_EQ(inst.console().find("ERROR!!"), std::string::npos) << inst.console();
}

}  // namespace
