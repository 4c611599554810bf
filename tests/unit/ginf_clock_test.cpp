// The module's clock and time zone: who may set the clock, when it is written to the STM32, the
// hand-back of authority to the STM32, and the offset kept in the STM32's non-volatile memory.
#include <string>
#include <vector>

#include "ginf_fixture.h"

namespace {

const time_t kPhoneTime = 1750000000;  // 2025-06-15T15:06:40Z

// The standard CRC-32 (IEEE 802.3), bit by bit.
uint32_t crc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; i++) {
    crc ^= data[i];
    for (int b = 0; b < 8; b++) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

sim::NvmBlock blockWith(int16_t offset, bool rightCRC) {
  sim::NvmBlock b{{uint8_t(offset), uint8_t(uint16_t(offset) >> 8)}};
  uint32_t crc = crc32(b.data(), 2) ^ (rightCRC ? 0u : 0x1u);
  for (int i = 0; i < 4; i++) b[2 + i] = uint8_t(crc >> (8 * i));
  return b;
}

int16_t offsetIn(const sim::NvmBlock& b) { return int16_t(uint16_t(b[0] | (b[1] << 8))); }

class GinfClock : public GinfOnBoard {
 protected:
  // Offers `time` as true now, from `authority`; the instant it was offered.
  uint64_t offer(time_t time, dataAuthority_t authority) {
    return fromKernel([&] {
      systimer_t at = os_systime64();
      ginfSetClock(&at, &time, authority);
      return at;
    });
  }
  void runUntil(uint64_t when) { inst.run_for(when - inst.now()); }
  // The authority poll, which never asks for an earlier pass than the one it is given.
  void poll() {
    EXPECT_EQ(fromKernel([] { return ginfGetConfigInfoFromSTM32_Poll(4321); }), 4321u);
  }
  std::vector<std::string> clockWrites() { return stm32().clock_writes(); }
  // Queues `offset` and lets the work item apply it; what the queueing returned.
  int changeZoneTo(int16_t offset) {
    int res = fromKernel([&] { return ginfQueueTZOffsetUpdate(offset); });
    inst.run_for(500 * kGinfMs);
    return res;
  }
};

// ---- Who sets the clock -------------------------------------------------------------------------

TEST_F(GinfClock, TheStm32sFirstTimeSetsTheClockAndNothingIsWrittenBack) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("ST is the highest authority; using its clock for now"), 1) << inst.console();
  EXPECT_TRUE(clockWrites().empty());
}

TEST_F(GinfClock, AnStm32InAnotherZoneGetsItsWallClockBackInTheModulesZone) {
  config.stm32.rtc_offset_minutes = 60;
  start(false);
  inst.run_for(3 * kGinfSec);
  ASSERT_EQ(clockWrites().size(), 1u) << inst.console();
  EXPECT_EQ(clockWrites()[0], "2025-01-01T01:00:00+00:00");
  EXPECT_EQ(stm32().rtc_offset_minutes(), 0);
}

TEST_F(GinfClock, AnUnreadableStm32TimeIsReplacedOnceThereIsAClockAndNeverMakesTheModuleSpin) {
  config.stm32.rtc_utc = -100;  // an RTC that lost its time
  start(false);
  inst.run_for(5 * kGinfSec);
  EXPECT_EQ(logged("Failed to convert dateTime8601 1969-12-31T23:58:20+00:00 to TimeDate"), 1)
      << inst.console();
  EXPECT_EQ(stm32().count(CMD_getStatus3), 1);  // no clock to write, so nothing to retry
  EXPECT_TRUE(clockWrites().empty());
  EXPECT_TRUE(errorFlag());

  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_BLE);
  runUntil(at + 1 * kGinfSec);
  EXPECT_EQ(loggedStartingWith("all data is valid after attempt #"), 1) << inst.console();
  stm32().set_rtc(-100, 0);  // unreadable again: the module's clock replaces it
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(clockWrites(),
            (std::vector<std::string>{"2025-06-15T15:06:40+00:00", "2025-06-15T15:06:41+00:00"}));
}

class GinfClockFrom : public GinfClock, public testing::WithParamInterface<dataAuthority_t> {};

TEST_P(GinfClockFrom, APhoneOrServerTimeWinsOverTheStm32sAndIsWrittenToItOnce) {
  start();
  uint64_t at = offer(kPhoneTime, GetParam());
  runUntil(at + 1 * kGinfSec);
  EXPECT_EQ(clockWrites(), std::vector<std::string>{"2025-06-15T15:06:40+00:00"}) << inst.console();
  EXPECT_NEAR(double(stm32().rtc_utc()), double(kPhoneTime + 1), 1.0);
  offer(kPhoneTime + 1, GetParam());
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(clockWrites().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(PhoneAndServer, GinfClockFrom,
                         testing::Values(DATA_AUTHORITY_BLE, DATA_AUTHORITY_WiFi));

TEST_F(GinfClock, WhenRecordingStopsThePhoneOrServerClockIsWrittenButNeverAnStm32Time) {
  start();
  inKernel([] { ginfQueueSTClockUpdate(); });
  inst.run_for(500 * kGinfMs);
  EXPECT_TRUE(clockWrites().empty());  // the STM32's own time

  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_WiFi);
  runUntil(at + 2 * kGinfSec);
  offer(kPhoneTime + 5000, DATA_AUTHORITY_ST);  // does not move the server's clock
  inKernel([] { ginfQueueSTClockUpdate(); });
  inst.run_for(500 * kGinfMs);
  ASSERT_EQ(clockWrites().size(), 2u);
  EXPECT_EQ(clockWrites()[1], "2025-06-15T15:06:42+00:00");
}

TEST_F(GinfClock, AnStm32UnderThreeSecondsOffIsLeftAloneAndFiveSecondsOffIsCorrected) {
  start();
  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_BLE);
  runUntil(at + 1 * kGinfSec);
  ASSERT_EQ(clockWrites().size(), 1u);

  stm32().set_rtc(kPhoneTime + 1 + 2, 0);  // 2 s ahead; the change makes the STM32 report
  runUntil(at + 2 * kGinfSec);
  EXPECT_EQ(stm32().count(CMD_getStatus3), 1);
  EXPECT_EQ(clockWrites().size(), 1u) << inst.console();

  stm32().set_rtc(kPhoneTime + 2 + 5, 0);  // 5 s ahead
  runUntil(at + 3 * kGinfSec);
  EXPECT_EQ(stm32().count(CMD_getStatus3), 2);
  ASSERT_EQ(clockWrites().size(), 2u) << inst.console();
  EXPECT_EQ(clockWrites()[1], "2025-06-15T15:06:42+00:00");
}

TEST_F(GinfClock, AFailedWriteTellsThePhoneAndIsNotRetriedByItself) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(phoneLine("ERR sending clock to STM32"), 1) << inst.console();
  EXPECT_EQ(stm32().count(CMD_setDateTime8601), 1);
}

// ---- Authority going back to the STM32 ----------------------------------------------------------

TEST_F(GinfClock, TenMinutesWithoutAServerSessionHandTheClockBackToTheStm32) {
  start();
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inKernel([] { sysstate_setWiFiSessionOpenState(true); });
  inst.run_for(700 * kGinfSec);
  poll();
  EXPECT_EQ(logged("Resetting clock auth to ST"), 0);  // an open session keeps it
  inKernel([] { sysstate_setWiFiSessionOpenState(false); });
  uint64_t closed = inst.now();
  runUntil(closed + 599 * kGinfSec);
  poll();
  EXPECT_EQ(logged("Resetting clock auth to ST"), 0);
  runUntil(closed + 601 * kGinfSec);
  poll();
  poll();
  EXPECT_EQ(logged("Resetting clock auth to ST"), 1);

  // The STM32 is the authority again: the next phone time is written to it once more.
  forget();
  offer(kPhoneTime + 700, DATA_AUTHORITY_BLE);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(clockWrites().size(), 1u);
}

TEST_F(GinfClock, TheStm32sClockIsStillTakenWhenItAnswersOnlyAfterTenMinutes) {
  stm32().set_fault(sim::Stm32Fault::kSilent, -1);
  start(false);
  inst.run_for(601 * kGinfSec);
  poll();
  EXPECT_EQ(logged("Resetting clock auth to ST"), 0);  // there is no clock to hand back
  stm32().set_fault(sim::Stm32Fault::kNone);
  inst.run_for(60 * kGinfSec);
  EXPECT_EQ(loggedStartingWith("all data is valid after attempt #"), 1);
  EXPECT_FALSE(errorFlag());
}

// ---- Time-zone offset ---------------------------------------------------------------------------

TEST_F(GinfClock, AnOffsetIsMadeWholeHalfHoursWithinRangeAndWrittenOnlyWhenItChanges) {
  start();
  // Asked for, what queueing it returns, the offset then stored, the blocks written so far.
  const int rows[][4] = {
      {0, 1, 0, 0}, {20, 0, 0, 0}, {345, 0, 330, 1}, {900, 0, 840, 2}, {-800, 0, -720, 3}};
  for (const auto& [asked, queued, stored, writes] : rows) {
    SCOPED_TRACE(asked);
    EXPECT_EQ(changeZoneTo(int16_t(asked)), queued);
    EXPECT_EQ(stm32().count(CMD_setNonVolatileMemory), writes);
    EXPECT_EQ(offsetIn(stm32().nvm_block(0)), stored) << inst.console();
  }
}

TEST_F(GinfClock, TheBlockWrittenCarriesTheOffsetAndItsStandardCRC32) {
  start();
  changeZoneTo(-300);
  ASSERT_EQ(stm32().count(CMD_setNonVolatileMemory), 1);
  const std::vector<uint8_t> m = lastRequest(CMD_setNonVolatileMemory);
  ASSERT_EQ(m.size(), 78u);
  EXPECT_EQ(ginfLE(m, 12, 2), 0u);  // block 0
  EXPECT_EQ(int16_t(ginfLE(m, 14, 2)), -300);
  EXPECT_EQ(ginfLE(m, 16, 4), crc32(&m[14], 2));
  for (size_t i = 20; i < 78; i++) EXPECT_EQ(m[i], 0) << "byte " << i;
}

TEST_F(GinfClock, ASecondOffsetWhileOneIsPendingIsRefused) {
  start();
  inKernel(
      [&] {
        EXPECT_EQ(ginfQueueTZOffsetUpdate(60), 0);
        EXPECT_EQ(ginfQueueTZOffsetUpdate(120), -1);
      },
      6);  // above the work handler: both come before it runs
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 60);
}

TEST_F(GinfClock, AFailedOffsetWriteKeepsTheOldOffset) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  changeZoneTo(60);
  EXPECT_EQ(phoneLine("Failed to set TZ offset: 0 => 60"), 1) << inst.console();
  EXPECT_EQ(changeZoneTo(0), 1);  // still the current offset
}

TEST_F(GinfClock, TheNewOffsetGoesIntoTheClockWrittenToTheStm32) {
  start();
  changeZoneTo(120);
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inst.run_for(500 * kGinfMs);
  ASSERT_FALSE(clockWrites().empty());
  EXPECT_EQ(clockWrites().back(), "2025-06-15T17:06:40+02:00");
}

TEST_F(GinfClock, AnOffsetAskedForBeforeTheCurrentOneIsKnownWaitsForIt) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 2, -110);  // SPI length, then the block
  start(false, [] { EXPECT_EQ(ginfQueueTZOffsetUpdate(60), 0); });
  inst.run_for(2 * kGinfSec);
  EXPECT_EQ(logged("ERROR!! couldn't read block 0; res: -110"), 1) << inst.console();
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 60);
}

TEST_F(GinfClock, AStoredBlockWithAWrongCRCStillYieldsItsOffset) {
  config.stm32.nvm[0] = blockWith(-180, false);
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("WARNING!! CRC32 mismatch for block 0"), 1);
  EXPECT_EQ(logged("Validated timezone offset: -180"), 1) << inst.console();
}

TEST_F(GinfClock, AnInvalidStoredOffsetIsNotUsedButReadAgainUntilItIsPutRightAsZero) {
  config.stm32.nvm[0] = blockWith(45, true);
  start(false);
  // Turn the write down: it follows the block's read.
  ASSERT_TRUE(inst.run_until([&] { return stm32().count(CMD_getNonVolatileMemory) >= 1; },
                             1 * kGinfSec, 100));
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(loggedStartingWith("WARNING!! CRC32 mismatch"), 0);
  EXPECT_EQ(phoneLine("Failed to set TZ offset: 45 => 0"), 1) << inst.console();
  EXPECT_EQ(logged("Validated timezone offset: 45"), 0);
  EXPECT_EQ(stm32().count(CMD_getNonVolatileMemory), 2);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 0);
}

}  // namespace
