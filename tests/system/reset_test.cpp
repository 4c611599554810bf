// A reset restarts the firmware as a chip reset does: fresh RAM, no thread of the old boot, the
// heap given back, and the reason told at the next boot.
#include "firmware_fixture.h"

namespace {

// The console of the latest boot: from its banner on.
std::string LastBoot(const std::string& console) {
  auto p = console.rfind("0001  000,000.000,000: main::main_thread()");
  return p == std::string::npos ? std::string() : console.substr(p);
}

TEST_F(Firmware, AResetStartsTheFirmwareAgainFromItsLoadTimeState) {
  inst.boot();
  inst.run_for(10 * kSec);
  inst.reset(OS_RESET_WATCHDOG);
  QuietWiFi();
  inst.run_for(30 * kSec);
  EXPECT_EQ(inst.boots(), 2);
  std::string boot2 = LastBoot(inst.console());
  ASSERT_FALSE(boot2.empty()) << "no second banner with a fresh line counter";
  EXPECT_NE(boot2.find("os_get_reset_reason 2\n"), std::string::npos);
  // Every line of the new boot is numbered on from 1 and stamped from 0: the counter and the
  // clock restarted, and no thread of the old boot printed in between.
  int expect = 1;
  for (auto& l : Lines(boot2)) {
    // The updater's progress lines at boot go to the console plain, without a number.
    if (l.empty() || l[0] == '=' || l[0] < '0' || l[0] > '9') continue;
    EXPECT_EQ(std::stoi(l.substr(0, 4)), expect) << l;
    expect++;
  }
  // The main loop starts a few milliseconds after boot and then passes every 3 s.
  EXPECT_EQ(LinesWith(boot2, "sleeping for").size(), 10u);
}

systimer_t AllocateThenReboot(systimer_t next) {
  static bool done;
  if (!done && os_systime64() >= 6 * kSec) {
    done = true;
    EXPECT_NE(os_alloc(5000), nullptr);
    reinterpret_cast<void (*)(void)>(
        camhost::current()->firmware_symbol("_Z10ostsRebootv"))();
  }
  return next;
}

TEST_F(Firmware, RebootFromTheFirmwareRetiresItsThreadAndGivesTheHeapBack) {
  ReplacePoll(0, AllocateThenReboot);
  inst.boot();
  inst.run_for(20 * kSec);
  EXPECT_EQ(inst.boots(), 2);
  EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
  std::string boot2 = LastBoot(inst.console());
  EXPECT_NE(boot2.find("os_get_reset_reason 1\n"), std::string::npos);
  EXPECT_NE(boot2.find("os_avail_heap 163840\n"), std::string::npos);
  EXPECT_EQ(inst.console().find("ostsReboot failed!"), std::string::npos);
  // The old main loop stopped at 6 s; the new one runs from its own 0.
  EXPECT_EQ(LinesWith(boot2, "sleeping for").size(), 5u);
}

}  // namespace
