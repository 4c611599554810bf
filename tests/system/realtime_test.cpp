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

TEST(RealTimeCamera, BootsValidatesItsConfigurationAndComesBackAfterAResetMidExchange) {
  camhost::Instance inst{RealTimeFirmware()};
  ASSERT_TRUE(inst.ok());
  sim::Board board;
  // Before the board goes, whatever the test's outcome: the firmware runs on its own in real time.
  struct HaltFirst {
    camhost::Instance& inst;
    ~HaltFirst() { inst.halt(); }
  } halt_first{inst};
  const std::string valid = "all data is valid after attempt #";
  inst.boot();
  ASSERT_TRUE(inst.run_until([&] { return inst.console().find(valid) != std::string::npos; },
                             kGenerousWall, 10000));
  EXPECT_EQ(inst.console().find("ERROR!!"), std::string::npos) << inst.console();
  // The reset may cut an exchange short: the STM32's late answer then reaches the new boot, which
  // refuses it and asks again. The camera must come back all the same.
  inst.clear_console();
  inst.reset(OS_RESET_WATCHDOG);
  ASSERT_TRUE(inst.run_until([&] { return inst.console().find(valid) != std::string::npos; },
                             kGenerousWall, 10000));
  EXPECT_EQ(inst.boots(), 2);
}

}  // namespace
