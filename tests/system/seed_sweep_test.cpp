// The seed sweep: twenty seeds of thirty simulated minutes, each its own interleaving of the
// camera's threads (the STM32's latencies, the UART's and the I2C bus's jitter), every one sound.
// Each runs camlink itself, so a failing seed's replay command is exactly what ran.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tools/seedsweep/sweep.h"

namespace {

constexpr uint64_t kSweepSeconds = 1800;

sweep::RunSpec Camera(uint64_t seed, uint64_t seconds = kSweepSeconds) {
  sweep::RunSpec spec;
  spec.camlink = CAMLINK_PATH;
  spec.seed = seed;
  spec.seconds = seconds;
  return spec;
}

std::string Explain(const std::vector<std::string>& broken, const sweep::RunSpec& spec) {
  std::string why;
  for (const std::string& b : broken) why += "\n  " + b;
  return why + "\n  replay: " + sweep::command_line(spec);
}

TEST(SeedSweep, TwentySeedsOfThirtyMinutesEachRunSoundlyAndEachItsOwnWay) {
  std::map<std::string, uint64_t> seed_of_hash;
  for (uint64_t seed = 1; seed <= 20; seed++) {
    sweep::RunSpec spec = Camera(seed);
    sweep::Run run = sweep::run(spec);
    std::vector<std::string> broken = sweep::check(run, spec.seconds);
    EXPECT_TRUE(broken.empty()) << "seed " << seed << ":" << Explain(broken, spec);
    std::string hash = sweep::trace_hash(run);
    auto [it, fresh] = seed_of_hash.emplace(hash, seed);
    EXPECT_TRUE(fresh) << "seeds " << it->second << " and " << seed << " ran identically";
  }
}

TEST(SeedSweep, OneSeedRunTwiceGivesTheSameOutputAndTraceHashByteForByte) {
  sweep::Run first = sweep::run(Camera(1)), second = sweep::run(Camera(1));
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(sweep::trace_hash(first).size(), 16u);
  EXPECT_EQ(sweep::trace_hash(first), sweep::trace_hash(second));
  EXPECT_TRUE(first.output == second.output) << "the two outputs differ";
}

TEST(SeedSweep, SeedsThatDifferOnlyAbove32BitsRunDifferently) {
  sweep::Run low = sweep::run(Camera(1, 120)), high = sweep::run(Camera((1ull << 32) + 1, 120));
  EXPECT_NE(sweep::trace_hash(low), sweep::trace_hash(high));
}

// ---- The checks themselves --------------------------------------------------------------------

// Two minutes of a sound camera, as camlink prints it.
sweep::Run SoundTwoMinutes() {
  sweep::Run r;
  r.output =
      "0001  000,000.000,000: main::main_thread() @128: WiFi FW version 0.1.15254, 2026\n"
      "0040  000,000.229,694: ginf::doQueuedWork() @730: all data is valid after attempt #1; "
      "resetting counter\n"
      "[stm32 60.004279] statistics report received: uptime_ms 60000, heap 163840, UART "
      "time-outs 0, sequence errors 0\n"
      "  #stCmdSeqErr: 0, a continuation line\n"
      "0080  000,117.091,289: main::main_loopPass() @117: sleeping for 3000 mSecs\n";
  r.errors = "trace hash 9b4d2b785017ae97\n";
  return r;
}

struct BrokenRun {
  const char* what;
  void (*spoil)(sweep::Run&);
  const char* reported;  // a text of the one line check() gives
};

const BrokenRun kBrokenRuns[] = {
    {"an error line",
     [](sweep::Run& r) { r.output += "0081  000,118.000,000: x::y() @1: ERROR!! lost it\n"; },
     "unexpected error line: 0081"},
    {"a stall report",
     [](sweep::Run& r) {
       r.errors += "camhost: thread \"i2c\" has held the processor for 10 s\n";
     },
     "reported on standard error: camhost: thread \"i2c\""},
    {"a crash", [](sweep::Run& r) { r.status = 134; }, "ended with status 134"},
    {"no trace hash", [](sweep::Run& r) { r.errors.clear(); }, "no trace hash"},
    {"a reboot",
     [](sweep::Run& r) { r.output += "0001  000,100.000,000: main() @1: WiFi FW version 0\n"; },
     "started 2 times"},
    {"no validation",
     [](sweep::Run& r) { r.output.erase(r.output.find("all data is valid"), 17); },
     "never validated"},
    {"a missing report",
     [](sweep::Run& r) { r.output.erase(r.output.find("[stm32"), 7); },
     "received 0 statistics reports, not at least 1"},
    {"a report with time-outs",
     [](sweep::Run& r) { r.output.replace(r.output.find("time-outs 0"), 11, "time-outs 2"); },
     "counts UART time-outs or sequence errors"},
    {"a console gone quiet",
     [](sweep::Run& r) { r.output.replace(r.output.find("000,117."), 8, "000,040."); },
     "went quiet at 40 s"},
    {"a hang", [](sweep::Run& r) { r.timed_out = true; }, "wall-clock limit"},
};

TEST(SeedSweepChecks, ASoundRunPassesAndEachBrokenInvariantIsReportedOnce) {
  EXPECT_EQ(sweep::check(SoundTwoMinutes(), 120), std::vector<std::string>{});
  for (const BrokenRun& b : kBrokenRuns) {
    sweep::Run r = SoundTwoMinutes();
    b.spoil(r);
    std::vector<std::string> broken = sweep::check(r, 120);
    ASSERT_EQ(broken.size(), 1u) << b.what << ":" << Explain(broken, Camera(1));
    EXPECT_NE(broken[0].find(b.reported), std::string::npos) << b.what << ": " << broken[0];
  }
}

TEST(SeedSweepChecks, ErrorLinesTheScenarioAllowsAndItsRebootsPass) {
  sweep::Run r = SoundTwoMinutes();
  r.output += "0081  000,118.000,000: x::y() @1: ERROR!! ST did not respond\n"
              "0001  000,118.500,000: main() @1: WiFi FW version 0\n";
  sweep::Expectations e;
  e.allowed_errors = {"ST did not respond"};
  e.boots = 2;
  EXPECT_EQ(sweep::check(r, 120, e), std::vector<std::string>{});
}

TEST(SeedSweepChecks, TheReplayCommandIsCamlinkInVirtualTimeWithTheSeedAndTheScenariosOptions) {
  sweep::RunSpec spec = Camera(7, 1800);
  spec.camlink = "build/bin/camlink";
  spec.extra = {"--boot-arg", "wifi.cloud_pm=0", "--board", "my board.json"};
  EXPECT_EQ(sweep::command_line(spec),
            "build/bin/camlink --time virtual --for 1800 --seed 7 --trace-hash --boot-arg "
            "wifi.cloud_pm=0 --board 'my board.json'");
}

}  // namespace
