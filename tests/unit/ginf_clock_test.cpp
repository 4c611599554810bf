// The module's clock and time zone: who may set the clock, when it is written to the STM32, the
// hand-back of authority to the STM32, and the offset kept in the STM32's non-volatile memory.
#include <array>
#include <cstring>
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
  sim::NvmBlock b{};
  b[0] = uint8_t(uint16_t(offset) & 0xFF);
  b[1] = uint8_t(uint16_t(offset) >> 8);
  uint32_t crc = crc32(b.data(), 2) ^ (rightCRC ? 0u : 0x1u);
  for (int i = 0; i < 4; i++) b[2 + i] = uint8_t(crc >> (8 * i));
  return b;
}

int16_t offsetIn(const sim::NvmBlock& b) { return int16_t(uint16_t(b[0] | (b[1] << 8))); }

class GinfClock : public GinfOnBoard {
 protected:
  // Offers `time` as true now, from `authority`; the instant it was offered.
  uint64_t offer(time_t time, dataAuthority_t authority) {
    systimer_t at = 0;
    inKernel([&] {
      at = os_systime64();
      ginfSetClock(&at, &time, authority);
    });
    return at;
  }
  // Runs until `when` (instance time) exactly.
  void runUntil(uint64_t when) {
    ASSERT_GT(when, inst.now());
    inst.run_for(when - inst.now());
  }
  systimer_t poll(systimer_t next = 123456789) {
    systimer_t got = 0;
    inKernel([&] { got = ginfGetConfigInfoFromSTM32_Poll(next); });
    return got;
  }
  std::vector<std::string> clockWrites() { return stm32().clock_writes(); }
};

// ---- The STM32's clock --------------------------------------------------------------------------

TEST_F(GinfClock, TheStm32sFirstTimeSetsTheClockAndNothingIsWrittenBack) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_GE(logged("ST is the highest authority; using its clock for now"), 1);
  EXPECT_TRUE(clockWrites().empty());
  EXPECT_EQ(logged("all data is valid after attempt #1; resetting counter"), 1);
}

class GinfClockStm32InAnotherZone : public GinfClock {
  void configure(sim::BoardConfig& c) override {
    GinfClock::configure(c);
    c.stm32.rtc_offset_minutes = 60;
  }
};

TEST_F(GinfClockStm32InAnotherZone, TheStm32GetsTheTimeBackInTheModulesZone) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("WARNING: nvm timezone offset 0 != st timezone offset 60; queued ST clock "
                   "update with correct timezone offset 0 (fixing 2025-01-01T01:00:00)"),
            1)
      << inst.console();
  ASSERT_EQ(clockWrites().size(), 1u);
  // The STM32's wall clock is kept; only its zone is put right.
  EXPECT_EQ(clockWrites()[0], "2025-01-01T01:00:00+00:00");
  EXPECT_EQ(phoneLine("STM32 updated clock to: 2025-01-01T01:00:00+00:00"), 1);
  EXPECT_EQ(stm32().rtc_offset_minutes(), 0);
}

class GinfClockBefore1970 : public GinfClock {
  void configure(sim::BoardConfig& c) override {
    GinfClock::configure(c);
    c.stm32.rtc_utc = -100;  // an RTC that lost its time
  }
};

TEST_F(GinfClockBefore1970, AnUnreadableTimeWithNoClockYetWritesNothingAndDoesNotSpin) {
  start(false);
  inst.run_for(5 * kGinfSec);
  EXPECT_EQ(logged("Failed to convert dateTime8601 1969-12-31T23:58:20+00:00 to TimeDate"), 1)
      << inst.console();
  EXPECT_TRUE(clockWrites().empty());
  EXPECT_EQ(stm32().count(CMD_getStatus3), 1);  // no clock to write, so nothing to retry
  EXPECT_TRUE(errorFlag());
}

TEST_F(GinfClockBefore1970, APhoneTimeThenMakesEverythingValid) {
  start(false);
  inst.run_for(1 * kGinfSec);
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(loggedStartingWith("all data is valid after attempt #"), 1) << inst.console();
  ASSERT_EQ(clockWrites().size(), 1u);
  EXPECT_EQ(clockWrites()[0], "2025-06-15T15:06:40+00:00");
}

TEST_F(GinfClock, AnUnreadableStm32TimeIsReplacedWithTheModulesClock) {
  start();
  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_BLE);
  runUntil(at + 1 * kGinfSec);
  stm32().clear_record();
  stm32().set_rtc(-100, 0);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("Failed to convert dateTime8601 1969-12-31T23:58:20+00:00 to TimeDate"), 1)
      << inst.console();
  ASSERT_EQ(clockWrites().size(), 1u);
  EXPECT_EQ(clockWrites()[0], "2025-06-15T15:06:41+00:00");
}

// ---- Phone and server time ----------------------------------------------------------------------

TEST_F(GinfClock, APhoneTimeWinsOverTheStm32sAndIsWrittenToIt) {
  start();
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(logged("Queued initial clock update to ST from authority 3 -> 4"), 1);
  EXPECT_EQ(logged("handling queued clock update"), 1);
  ASSERT_EQ(clockWrites().size(), 1u);
  EXPECT_EQ(clockWrites()[0], "2025-06-15T15:06:40+00:00");
  EXPECT_NEAR(double(stm32().rtc_utc()), double(kPhoneTime + 1), 1.0);
}

TEST_F(GinfClock, ASecondServerTimeIsTakenWithoutWritingAgain) {
  start();
  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_WiFi);
  runUntil(at + 1 * kGinfSec);
  offer(kPhoneTime + 1, DATA_AUTHORITY_WiFi);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(loggedStartingWith("Queued initial clock update to ST"), 1);
  EXPECT_EQ(clockWrites().size(), 1u);
}

TEST_F(GinfClock, AnStm32TimeDoesNotMoveAPhonesClock) {
  start();
  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_BLE);
  runUntil(at + 1 * kGinfSec);
  offer(kPhoneTime + 5000, DATA_AUTHORITY_ST);
  inKernel([] { ginfQueueSTClockUpdate(); });  // recording stopped
  inst.run_for(500 * kGinfMs);
  ASSERT_EQ(clockWrites().size(), 2u);
  EXPECT_EQ(clockWrites()[1], "2025-06-15T15:06:41+00:00");
}

TEST_F(GinfClock, TheClockIsWrittenWhenRecordingStopsOnlyIfThePhoneOrServerSetIt) {
  start();
  inKernel([] { ginfQueueSTClockUpdate(); });
  inst.run_for(500 * kGinfMs);
  EXPECT_TRUE(clockWrites().empty());  // the STM32's own time

  uint64_t at = offer(kPhoneTime, DATA_AUTHORITY_WiFi);
  runUntil(at + 2 * kGinfSec);
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
  EXPECT_EQ(logged("ST clock is 5 s off; queued ST clock update"), 1);
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

TEST_F(GinfClock, ThePollNeverAsksForAnEarlierPass) {
  start();
  EXPECT_EQ(poll(987654321), 987654321u);
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inst.run_for(601 * kGinfSec);
  EXPECT_EQ(poll(5), 5u);
}

TEST_F(GinfClock, TenMinutesWithoutTheServerHandTheClockBackToTheStm32) {
  start();
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inKernel([] { sysstate_setWiFiSessionOpenState(true); });
  inst.run_for(1 * kGinfSec);
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
  EXPECT_EQ(logged("Queued initial clock update to ST from authority 3 -> 4"), 1);
  EXPECT_EQ(clockWrites().size(), 1u);
}

TEST_F(GinfClock, AnOpenSessionKeepsTheServersClock) {
  start();
  offer(kPhoneTime, DATA_AUTHORITY_WiFi);
  inKernel([] { sysstate_setWiFiSessionOpenState(true); });
  inst.run_for(700 * kGinfSec);
  poll();
  EXPECT_EQ(logged("Resetting clock auth to ST"), 0);
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

class GinfTimeZone : public GinfClock {
 protected:
  // Queues `offset` and lets the work item apply it; what the queueing returned.
  int changeTo(int16_t offset) {
    int res = -5;
    inKernel([&] { res = ginfQueueTZOffsetUpdate(offset); });
    inst.run_for(500 * kGinfMs);
    return res;
  }
};

TEST_F(GinfTimeZone, AnOffsetOf345MinutesBecomes330) {
  start();
  EXPECT_EQ(changeTo(345), 0);
  EXPECT_EQ(logged("Queued TZ offset update to: 345"), 1);
  EXPECT_EQ(logged("handling queued timezone offset update"), 1);
  EXPECT_EQ(phoneLine("TZ offset set 0 => 330"), 1) << inst.console();
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 330);
}

TEST_F(GinfTimeZone, AnOffsetOf900MinutesBecomes840) {
  start();
  changeTo(900);
  EXPECT_EQ(phoneLine("TZ offset set 0 => 840"), 1);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 840);
}

TEST_F(GinfTimeZone, AnOffsetOfMinus800MinutesBecomesMinus720) {
  start();
  changeTo(-800);
  EXPECT_EQ(phoneLine("TZ offset set 0 => -720"), 1);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), -720);
}

TEST_F(GinfTimeZone, TheBlockWrittenCarriesTheOffsetAndItsStandardCRC32) {
  start();
  changeTo(-300);
  std::vector<sim::Stm32::Request> writes = requestsOf(CMD_setNonVolatileMemory);
  ASSERT_EQ(writes.size(), 1u);
  const std::vector<uint8_t>& m = writes[0].message;
  ASSERT_EQ(m.size(), 78u);
  EXPECT_EQ(ginfLE(m, 12, 2), 0u);  // block 0
  EXPECT_EQ(int16_t(ginfLE(m, 14, 2)), -300);
  EXPECT_EQ(ginfLE(m, 16, 4), crc32(&m[14], 2));
  for (size_t i = 20; i < 78; i++) EXPECT_EQ(m[i], 0) << "byte " << i;
}

TEST_F(GinfTimeZone, TheCurrentOffsetNeedsNoChange) {
  start();
  EXPECT_EQ(changeTo(0), 1);
  EXPECT_EQ(stm32().count(CMD_setNonVolatileMemory), 0);
}

TEST_F(GinfTimeZone, AnOffsetThatRoundsToTheCurrentOneIsReportedAsAlreadyCorrect) {
  start();
  EXPECT_EQ(changeTo(20), 0);
  EXPECT_EQ(phoneLine("TZ offset was already correct: 0"), 1);
  EXPECT_EQ(stm32().count(CMD_setNonVolatileMemory), 0);
}

TEST_F(GinfTimeZone, ASecondOffsetWhileOneIsPendingIsRefused) {
  start();
  int first = -5, second = 5;
  inKernel(
      [&] {
        first = ginfQueueTZOffsetUpdate(60);
        second = ginfQueueTZOffsetUpdate(120);
      },
      6);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, -1);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 60);
}

TEST_F(GinfTimeZone, AFailedWriteKeepsTheOldOffset) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  changeTo(60);
  EXPECT_EQ(phoneLine("Failed to set TZ offset: 0 => 60"), 1) << inst.console();
  EXPECT_EQ(changeTo(0), 1);  // still the current offset
}

TEST_F(GinfTimeZone, TheNewOffsetGoesIntoTheClockWrittenToTheStm32) {
  start();
  changeTo(120);
  offer(kPhoneTime, DATA_AUTHORITY_BLE);
  inst.run_for(500 * kGinfMs);
  ASSERT_FALSE(clockWrites().empty());
  EXPECT_EQ(clockWrites().back(), "2025-06-15T17:06:40+02:00");
}

TEST_F(GinfTimeZone, AnOffsetAskedForBeforeTheCurrentOneIsKnownWaitsForIt) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 2, -110);  // SPI length, then the block
  inKernel(
      [] {
        ginfGetConfigInfoFromSTM32_Init();
        EXPECT_EQ(ginfQueueTZOffsetUpdate(60), 0);
        i2cDevices_StartThreads();
        whWorkHandler_StartThreads();
      },
      6);
  inst.run_for(2 * kGinfSec);
  EXPECT_EQ(logged("ERROR!! couldn't read block 0; res: -110"), 1) << inst.console();
  EXPECT_EQ(phoneLine("TZ offset set 0 => 60"), 1);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 60);
}

class GinfStoredTimeZone : public GinfTimeZone {
 protected:
  void configure(sim::BoardConfig& c) override {
    GinfTimeZone::configure(c);
    c.stm32.nvm[0] = stored;
  }
  sim::NvmBlock stored = blockWith(0, true);
};

class GinfTimeZoneWithWrongCRC : public GinfStoredTimeZone {
 public:
  GinfTimeZoneWithWrongCRC() { stored = blockWith(120, false); }
};

TEST_F(GinfTimeZoneWithWrongCRC, AStoredBlockWithAWrongCRCStillYieldsItsOffset) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("WARNING!! CRC32 mismatch for block 0"), 1);
  EXPECT_EQ(logged("the crc mismatch is ignored in this build"), 1);
  EXPECT_EQ(logged("Validated timezone offset: 120"), 1) << inst.console();
}

class GinfTimeZoneWithRightCRC : public GinfStoredTimeZone {
 public:
  GinfTimeZoneWithRightCRC() { stored = blockWith(-180, true); }
};

TEST_F(GinfTimeZoneWithRightCRC, AStoredBlockWithTheRightCRCIsReadWithoutWarning) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(loggedStartingWith("WARNING!! CRC32 mismatch"), 0);
  EXPECT_EQ(logged("Validated timezone offset: -180"), 1);
}

class GinfInvalidStoredTimeZone : public GinfStoredTimeZone {
 public:
  GinfInvalidStoredTimeZone() { stored = blockWith(45, true); }
};

TEST_F(GinfInvalidStoredTimeZone, AnInvalidStoredOffsetIsPutRightAsZero) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("Invalid timezone offset: 45; updating to 0"), 1) << inst.console();
  EXPECT_EQ(phoneLine("TZ offset set 45 => 0"), 1);
  EXPECT_EQ(logged("Validated timezone offset: 0"), 1);
  EXPECT_EQ(stm32().nvm_block(0), blockWith(0, true));
}

TEST_F(GinfInvalidStoredTimeZone, AnInvalidOffsetThatCannotBeWrittenIsNotUsedAndIsReadAgain) {
  start(false);
  // Turn the write down: it follows the block's read.
  ASSERT_TRUE(inst.run_until([&] { return stm32().count(CMD_getNonVolatileMemory) >= 1; },
                             1 * kGinfSec, 100));
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(phoneLine("Failed to set TZ offset: 45 => 0"), 1) << inst.console();
  EXPECT_EQ(logged("Validated timezone offset: 45"), 0);
  EXPECT_EQ(stm32().count(CMD_getNonVolatileMemory), 2);
  EXPECT_EQ(phoneLine("TZ offset set 45 => 0"), 1);
  EXPECT_EQ(logged("Validated timezone offset: 0"), 1);
  EXPECT_EQ(offsetIn(stm32().nvm_block(0)), 0);
}

}  // namespace
