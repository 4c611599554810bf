// The statistics report in the whole firmware: the main loop wakes for it and the STM32 gets it one
// minute after boot and every five minutes after that.
#include "firmware_fixture.h"

namespace {

constexpr uint16_t kStatisticsReportCommand = 61;
constexpr uint64_t kMs = 1000;

std::vector<sim::Stm32::Request> StatisticsReports(sim::Board& board) {
  std::vector<sim::Stm32::Request> out;
  for (const auto& r : board.stm32().requests())
    if (r.command == kStatisticsReportCommand) out.push_back(r);
  return out;
}

TEST_F(Firmware, TheStm32GetsAStatisticsReportOneMinuteAfterBootThenFiveMinutesLater) {
  uint64_t boot = inst.now();
  inst.boot();
  inst.run_for(400 * kSec);
  auto reports = StatisticsReports(board);
  ASSERT_EQ(reports.size(), 2u) << inst.console();
  // On time rather than at the main loop's next 3-second pass.
  EXPECT_GE(reports[0].time, boot + 60 * kSec);
  EXPECT_LT(reports[0].time, boot + 60 * kSec + 100 * kMs);
  EXPECT_GE(reports[1].time, reports[0].time + 300 * kSec);
  EXPECT_LT(reports[1].time, reports[0].time + 300 * kSec + 100 * kMs);
  for (const auto& r : reports) {
    EXPECT_EQ(r.length, 92);
    EXPECT_EQ(r.message.size(), 92u);
  }
  // Each carries the uptime at which it was built, a few ms before it arrived; nothing has
  // connected yet.
  auto decoded = board.stm32().statistics_reports();
  ASSERT_EQ(decoded.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    uint64_t arrivedMs = (reports[i].time - boot) / 1000;
    EXPECT_LE(decoded[i].uptime_ms, arrivedMs) << i;
    EXPECT_GE(decoded[i].uptime_ms + 50, arrivedMs) << i;
    EXPECT_EQ(decoded[i].ap_open_count, 0u);
    EXPECT_EQ(decoded[i].session_opened_last_time, ~0ull);
    EXPECT_EQ(decoded[i].sec_since_last_udp_tx, 4294967295u);
    EXPECT_EQ(decoded[i].sec_since_current_session, 0u);
  }
}

TEST_F(Firmware, TheMainLoopWakesOnceForEachStatisticsReport) {
  inst.boot();
  inst.run_for(400 * kSec);
  auto said = LinesWith(inst.console(), ": srStatisticsReporter said wakeup in ");
  ASSERT_EQ(said.size(), 2u);
  auto sent = LinesWith(inst.console(), ": reporting stats to ST");
  ASSERT_EQ(sent.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    // The wake-up is asked for less than one 3-second pass before the report goes out.
    EXPECT_LT(Micros(said[i]), Micros(sent[i]));
    EXPECT_LT(Micros(sent[i]) - Micros(said[i]), 3 * kSec);
  }
  EXPECT_EQ(LinesWith(inst.console(), "Failed to send statistics report to ST").size(), 0u);
}

}  // namespace
