// The main loop's timing: the 3 s ceiling, early polls, the 5 ms pause and coalesced wake-ups.
#include "firmware_fixture.h"

namespace {

int g_passes;
void (*g_wakeUp)(const char*);

systimer_t PastOnce(systimer_t next) {
  systimer_t now = os_systime64();
  if (now >= 4 * kSec && g_passes++ == 0) return now - 1000;
  return next;
}

TEST_F(Firmware, APollAskingForATimeInThePastIsPolledAgainAfter5Milliseconds) {
  ReplacePoll(5, PastOnce);
  QuietWiFi();
  inst.boot();
  inst.run_for(7 * kSec);
  auto said = LinesWith(inst.console(), "said wakeup");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("main::main_loopPass() @"), std::string::npos);
  EXPECT_NE(said[0].find(": srStatisticsReporter said wakeup in 0 mSecs"), std::string::npos);
  // No status line for the short pause; the next pass comes 5 ms later and sleeps normally.
  auto status = LinesWith(inst.console(), "sleeping for");
  ASSERT_EQ(status.size(), 3u);
  uint64_t start = Micros(status[0]);
  EXPECT_EQ(Micros(status[1]), start + 3 * kSec);
  EXPECT_EQ(Micros(said[0]), start + 6 * kSec);
  EXPECT_EQ(Micros(status[2]), start + 6 * kSec + 5000);
}

systimer_t InOneSecond(systimer_t next) { return os_systime64() + 1 * kSec; }

TEST_F(Firmware, APollAskingForAnEarlierTimeShortensTheSleep) {
  ReplacePoll(1, InOneSecond);
  inst.boot();
  inst.run_for(2500000);
  auto said = LinesWith(inst.console(), "said wakeup");
  ASSERT_EQ(said.size(), 3u);
  EXPECT_NE(said[0].find(": wifiWiFi said wakeup in 1000 mSecs"), std::string::npos);
  auto status = LinesWith(inst.console(), "sleeping for");
  ASSERT_EQ(status.size(), 3u);
  EXPECT_NE(status[1].find(": sleeping for 1000 mSecs; main;"), std::string::npos);
  EXPECT_EQ(Micros(status[2]), Micros(status[1]) + 1 * kSec);
}

systimer_t TwoWakeUpsOnTheSecondPass(systimer_t next) {
  if (++g_passes == 2) {
    g_wakeUp("test");
    g_wakeUp("test");
  }
  return next;
}

TEST_F(Firmware, WakeUpsPostedWhilePollingCoalesceIntoOneEarlyPass) {
  g_wakeUp = Symbol<void (*)(const char*)>("_Z19mtcWakeUpMainThreadPKc");
  g_passes = 0;
  ReplacePoll(3, TwoWakeUpsOnTheSecondPass);
  QuietWiFi();
  inst.boot();
  inst.run_for(7 * kSec);
  auto status = LinesWith(inst.console(), "sleeping for");
  ASSERT_EQ(status.size(), 4u);
  uint64_t start = Micros(status[0]);
  std::vector<uint64_t> offsets;
  for (auto& l : status) offsets.push_back(Micros(l) - start);
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 3 * kSec, 3 * kSec, 6 * kSec}));
}

TEST_F(Firmware, MainSleepFromAnotherThreadIsRefusedAtOnce) {
  auto sleep = Symbol<int (*)(uint32_t)>("_Z31mtcSleep_CallOnlyFromMainThreadj");
  inst.boot();
  inst.run_for(1 * kSec);
  int result = 0;
  uint64_t before = inst.now();
  inst.call([&] { result = sleep(1000000); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(inst.now(), before);
  EXPECT_NE(inst.console().find(
                "::mtcSleep_CallOnlyFromMainThread() @"),
            std::string::npos);
  EXPECT_NE(inst.console().find(
                ": ERROR!! mtcSleep_CallOnlyFromMainThread called from non-main thread\n"),
            std::string::npos);
}

}  // namespace
