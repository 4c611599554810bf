// A scenario replayed on a fresh camera gives the same console, byte for byte.
#include "firmware_fixture.h"
#include "sim/scenario.h"

namespace {

// The buttons and the battery ladder in a few simulated minutes.
const char kScenario[] =
    "at 0s      load 0mA 0mA\n"
    "at 20s     press interval 0.2s\n"
    "at 21s     press interval 0.2s\n"
    "at 30s     press rec 1.5s\n"
    "at 1m      battery internal 3550mV\n"
    "at 1m1s    press interval 0.2s\n"
    "at 2m      battery internal 3350mV\n"
    "at 2m1s    press interval 0.2s\n"
    "at 3m      pack 1 plug 60%\n"
    "at 4m      pack 1 unplug\n"
    "at 5m      battery internal 3100mV\n"
    "at 5m1s    press rec 1.5s\n"
    "at 6m      leds\n"
    "at 7m      usb on\n";

std::string RunScenario(const std::vector<sim::ScenarioStep>& steps) {
  camhost::Instance inst{FirmwareOptions(7)};
  sim::Board board;
  std::string notes;
  sim::BoardDriver driver(board, [&](const std::string& line) { notes += line + "\n"; });
  driver.schedule(steps);
  inst.boot();
  inst.run_for(8 * 60 * kSec);
  EXPECT_EQ(inst.boots(), 2);  // the cut-off, then USB power
  return inst.console() + notes;
}

TEST(ScenarioReplay, TheSameScenarioTwiceGivesTheSameConsoleByteForByte) {
  std::vector<sim::ScenarioStep> steps;
  std::string error;
  ASSERT_TRUE(sim::parse_scenario(kScenario, &steps, &error)) << error;
  std::string first = RunScenario(steps);
  std::string second = RunScenario(steps);
  EXPECT_GT(first.size(), 10000u);
  EXPECT_TRUE(first == second);
}

}  // namespace
