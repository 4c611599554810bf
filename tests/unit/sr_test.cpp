// The statistics reporter against the simulated board in virtual time: the counts and ages of the
// 80-byte report, its log line, and when it goes to the STM32 (with its retries).
#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "board_fixture.h"
#include "i2cDevices/i2cDevices.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "unit/host_fixture.h"

namespace {

const uint64_t kMs = 1000, kSec = 1000000, kFirstReportAt = 60 * kSec, kPeriod = 300 * kSec;
const uint64_t kNever = ~0ull;
const uint32_t kAllOnes = 4294967295u;

// The report's fields in table order, read by the test's own code from their little-endian bytes.
// clang-format off
enum Field { kUptimeMs, kApOpen, kDns, kSessions, kSessionAt, kTcps, kTcpAt, kSeqErrs,
             kUartTimeouts, kSpiTimeouts, kSemtmoErrs, kSemtmoLine, kSecsBle, kSecsTx, kSecsRx,
             kSecsSession, kApNotFound, kHeap, kFieldCount };
// clang-format on
const int kOffset[kFieldCount + 1] = {0,  4,  8,  12, 16, 24, 28, 36, 40, 44,
                                      48, 52, 56, 60, 64, 68, 72, 76, 80};
using Fields = std::array<uint64_t, kFieldCount>;

Fields decode(const uint8_t* b) {
  Fields f{};
  for (int i = 0; i < kFieldCount; i++)
    for (int at = kOffset[i + 1] - 1; at >= kOffset[i]; at--) f[i] = f[i] << 8 | b[at];
  return f;
}
Fields decode(const srReport_t& r) { return decode(reinterpret_cast<const uint8_t*>(&r)); }
// The report inside a CMD_StatisticsReport request: message bytes 12..91.
Fields decode(const sim::Stm32::Request& r) {
  EXPECT_EQ(r.message.size(), 92u);
  return r.message.size() < 92 ? Fields{} : decode(r.message.data() + 12);
}

// Each counted event and the field that counts it.
const std::pair<void (*)(), Field> kEvents[] = {
    {srApOpen, kApOpen},
    {srDnsResolve, kDns},
    {srSessionOpened, kSessions},
    {srTcpOpened, kTcps},
    {srStCmdSeqErr, kSeqErrs},
    {srStUARTResponseTimeout, kUartTimeouts},
    {srSPIReadTimeout, kSpiTimeouts},
    {[] { srSemtmoMsgErr(512); }, kSemtmoErrs},
    {[] { srIncrementResetConsecutiveAPNotFound(true); }, kApNotFound}};

class Sr : public OnBoard {
 protected:
  void SetUp() override {
    inKernel([] {
      stmsgSTM32Message_Init();
      sysstateSystemState_Init();
      ucscUDPCameraServerCommon_Init();
      i2cDevices_Init();
      i2cDevices_StartThreads();
      i2cDeactivateSignalToSTM32();
    });
    inst.run_for(100 * kMs);
    board.stm32().clear_record();
    inst.clear_console();
  }
  Fields fresh() {
    srReport_t r;
    memset(&r, 0xA5, sizeof r);
    inKernel([&] { srCopyUpdatedStatisticsReport(&r); });
    return decode(r);
  }
  void runUntil(uint64_t t) {
    uint64_t now = 0;
    inKernel([&] { now = os_systime64(); });
    if (t > now) inst.run_for(t - now);
  }
  // One poll on a firmware thread; the kernel's time just after it returned in polledAt.
  systimer_t poll() {
    systimer_t wanted = 0;
    EXPECT_TRUE(onFirmwareThread([&] {
      wanted = srStatisticsReporter_Poll(os_systime64() + 3 * kSec);
      polledAt = os_systime64();
    }));
    return wanted;
  }
  // Nothing but the reporter talks to the STM32 here.
  std::vector<sim::Stm32::Request> reports() { return board.stm32().requests(); }
  int failures() const { return logged("Failed to send statistics report to ST"); }
  uint64_t polledAt = 0;
};

// ---- Counting -----------------------------------------------------------------------------------

using SrCounting = Sr;

TEST_F(SrCounting, EachEventCountsInItsOwnFieldAndNoOther) {
  for (const auto& [happen, count] : kEvents) {
    SCOPED_TRACE(count);
    Fields before = fresh();
    inKernel([&, happen = happen] {
      happen();
      happen();
    });
    Fields after = fresh();
    for (const auto& [other, field] : kEvents)
      EXPECT_EQ(after[field], before[field] + (field == count ? 2 : 0)) << field;
  }
}

TEST_F(SrCounting, TheSessionTimeIsNeverAndTheConnectionTimeZeroUntilStampedByTheLatestOpening) {
  const std::tuple<void (*)(), Field, uint64_t> kOpenings[] = {
      {srSessionOpened, kSessionAt, kNever}, {srTcpOpened, kTcpAt, 0}};
  runUntil(7 * kSec);
  for (const auto& [open, field, initially] : kOpenings) {
    SCOPED_TRACE(field);
    EXPECT_EQ(fresh()[field], initially);
    uint64_t at = 0;
    inKernel([&, open = open] { open(); });
    inst.run_for(2 * kSec);
    inKernel([&, open = open] {
      open();
      at = os_systime64();
    });
    EXPECT_EQ(fresh()[field], at);
  }
}

TEST_F(SrCounting, ATimeOutWorkerErrorKeepsTheLineOfTheLatestOne) {
  inKernel([] {
    srSemtmoMsgErr(120);
    srSemtmoMsgErr(345);
  });
  EXPECT_EQ(fresh()[kSemtmoLine], 345u);
}

TEST_F(SrCounting, AccessPointsNotFoundCountUpInARowUntilOneIsFound) {
  inKernel([] {
    for (int i = 0; i < 3; i++) srIncrementResetConsecutiveAPNotFound(true);
    srIncrementResetConsecutiveAPNotFound(false);
    srIncrementResetConsecutiveAPNotFound(true);
  });
  EXPECT_EQ(fresh()[kApNotFound], 1u);
}

// ---- The refreshed fields -----------------------------------------------------------------------

using SrRefresh = Sr;

TEST_F(SrRefresh, AnAgeIsTheWholeSecondsSinceItsStampAllOnesForNeverAndZeroForNotYet) {
  systimer_t* const kStamps[] = {&ucscTimeOfLastMsgToCameraServer,
                                 &ucscTimeOfLastMsgFromCameraServer, &lastBLECommunication};
  const Field kAges[] = {kSecsTx, kSecsRx, kSecsBle};
  // Milliseconds ago, and the whole seconds.
  const std::pair<int64_t, uint64_t> kCases[] = {
      {7500, 7}, {21000, 21}, {4999, 4}, {0, 0}, {-5000, 0}};
  runUntil(30 * kSec);
  Fields never = fresh();
  for (int s = 0; s < 3; s++) {
    SCOPED_TRACE(kAges[s]);
    EXPECT_EQ(never[kAges[s]], kAllOnes);
    for (const auto& [agoMs, secs] : kCases) {
      inKernel([&, agoMs = agoMs] { *kStamps[s] = os_systime64() - agoMs * int64_t(kMs); });
      EXPECT_EQ(fresh()[kAges[s]], secs) << agoMs << " ms ago";
    }
  }
}

TEST_F(SrRefresh, ASessionHasAnAgeFromItsOpeningOnlyWhileItIsOpen) {
  runUntil(5 * kSec);
  inKernel([] {
    srSessionOpened();
    sysstate_setWiFiSessionOpenState(true);
  });
  inst.run_for(42 * kSec + 300 * kMs);
  EXPECT_EQ(fresh()[kSecsSession], 42u);
  inKernel([] { sysstate_setWiFiSessionOpenState(false); });
  EXPECT_EQ(fresh()[kSecsSession], 0u);
}

// Fifty days would take the board's threads through millions of passes: a bare kernel instead.
class SrLongUptime : public OnKernel {};

TEST_F(SrLongUptime, UptimeIsTheWholeMillisecondsSinceBootUntilItSaturatesAt32Bits) {
  srReport_t before, after;
  inst.run_for(1000ull * (1ull << 32) - 1500);
  ASSERT_TRUE(inst.call([&] { srCopyUpdatedStatisticsReport(&before); }));
  inst.run_for(2000);
  ASSERT_TRUE(inst.call([&] { srCopyUpdatedStatisticsReport(&after); }));
  EXPECT_EQ(decode(before)[kUptimeMs], kAllOnes - 1);
  EXPECT_EQ(decode(after)[kUptimeMs], kAllOnes);
}

// ---- The report line ----------------------------------------------------------------------------

using SrPrint = Sr;

TEST_F(SrPrint, AReportIsLoggedWithItsFieldsInTableOrder) {
  const srReport_t r = {{1, 2, 3, {4, kNever}, {6, 7000000000ull}, 8, 9, 10},
                        {{11, 12}, 13, 14, 15, 16, 17, kAllOnes}};
  inKernel([&] { srPrintStatisticsReport(&r); });
  std::string console = inst.console();
  size_t header = console.find("::srPrintStatisticsReport() @");
  ASSERT_NE(header, std::string::npos) << console;
  EXPECT_EQ(console.substr(console.find(": ", header) + 2),
            "uptime_ms: 1, #apOpen: 2, #dnsResolve: 3, sessionOpened: {#: 4, lastTime: "
            "18446744073709551615}, tcpOpened: {#: 6, lastTime: 7000000000}, \r\n  #stCmdSeqErr: "
            "8, #stUARTResponseTimeout: 9, #SPIReadTimeout: 10, semtmoMsgErr: {#: 11, "
            "lastLineNumber: 12}, secSinceLastBLECommunication: 13, \r\n  secSinceLastUDPtx: 14, "
            "secSinceLastUDPrx: 15, secSinceCurrentSession: 16, #consecutiveAPNotFound: 17, "
            "heapSizeRemaining: 4294967295\n");
}

TEST_F(SrPrint, WithoutAReportTheModulesOwnIsLogged) {
  inKernel([] {
    srSemtmoMsgErr(77);
    srPrintStatisticsReport(nullptr);
  });
  EXPECT_NE(inst.console().find("semtmoMsgErr: {#: 1, lastLineNumber: 77}"), std::string::npos);
}

// ---- The poll -----------------------------------------------------------------------------------

using SrPoll = Sr;

TEST_F(SrPoll, ThePollAsksToRunAtOneMinuteThenFiveMinutesAfterEachReport) {
  runUntil(59 * kSec);
  EXPECT_EQ(poll(), kFirstReportAt);
  EXPECT_TRUE(reports().empty());
  runUntil(kFirstReportAt);
  systimer_t wanted = poll();
  EXPECT_EQ(wanted, polledAt + kPeriod);
  EXPECT_EQ(poll(), wanted);  // not due again yet
  EXPECT_EQ(reports().size(), 1u);
}

TEST_F(SrPoll, AReportTellsThePhoneThenLogsItsHeaderAndTheReportThenTheResult) {
  runUntil(kFirstReportAt);
  poll();
  int change = indexOf("(BLE-NQ) stateChange: BLE_STATE_CHANGE_STATISTICS_REPORT");
  int header = indexOf("reporting stats to ST", change);
  ASSERT_GE(change, 0) << inst.console();
  ASSERT_GT(header, change);
  std::vector<std::string> m = messages();
  EXPECT_EQ(m.at(header + 1).rfind("uptime_ms: 60000, #apOpen: 0, ", 0), 0u) << m[header + 1];
  EXPECT_EQ(m.back().rfind("id/len/sig tx:61/92/", 0), 0u) << m.back();
}

TEST_F(SrPoll, TheStm32ReceivesTheReportFieldByField) {
  runUntil(30 * kSec);
  uint64_t sessionAt = 0, tcpAt = 0;
  inKernel([&] {
    for (size_t i = 0; i < 9; i++)  // the i-th event i + 1 times
      for (size_t j = 0; j <= i; j++) kEvents[i].first();
    sysstate_setWiFiSessionOpenState(true);
    sessionAt = os_systime64();
    ucscTimeOfLastMsgToCameraServer = sessionAt + 19 * kSec;
    ucscTimeOfLastMsgFromCameraServer = sessionAt + 18 * kSec;
    lastBLECommunication = sessionAt + 17 * kSec;
  });
  runUntil(50 * kSec);
  inKernel([&] {
    srTcpOpened();
    tcpAt = os_systime64();
  });
  runUntil(kFirstReportAt);
  int heap = 0;
  inKernel([&] { heap = os_avail_heap(); });
  poll();
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].command, 61);
  EXPECT_EQ(r[0].length, 92);
  EXPECT_EQ(decode(r[0]), (Fields{60000, 1, 2, 3, sessionAt, 5, tcpAt, 5, 6, 7, 8, 512, 13, 11, 12,
                                  30, 9, uint64_t(heap)}));
}

// Each send fails or not; after a failure the poll asks to run again at once, unless it was the
// third in a row, and five minutes later otherwise.
TEST_F(SrPoll, AFailedSendIsRetriedAtOnceUntilTheThirdFailureInARow) {
  const struct {
    bool fails, retriedAtOnce;
  } kSends[] = {{true, true}, {true, true}, {false, false},
                {true, true}, {true, true}, {true, false}};
  systimer_t wanted = kFirstReportAt;
  for (size_t i = 0; i < sizeof kSends / sizeof kSends[0]; i++) {
    SCOPED_TRACE(i);
    board.stm32().set_fault(
        kSends[i].fails ? sim::Stm32Fault::kErrorResult : sim::Stm32Fault::kNone, 1, -110);
    runUntil(wanted);
    wanted = poll();
    if (kSends[i].retriedAtOnce) {
      EXPECT_LE(wanted, polledAt);
    } else {
      EXPECT_EQ(wanted, polledAt + kPeriod);
    }
  }
  EXPECT_EQ(reports().size(), 6u);
  EXPECT_EQ(failures(), 5);
}

TEST_F(SrPoll, ARetryCarriesAFreshReportCountingTheTimeOutOfTheUnansweredOne) {
  board.stm32().set_fault(sim::Stm32Fault::kNoAnswer, 1);
  runUntil(kFirstReportAt);
  poll();
  poll();
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 2u) << inst.console();
  EXPECT_GT(decode(r[1])[kUptimeMs], decode(r[0])[kUptimeMs]);
  EXPECT_EQ(decode(r[0])[kUartTimeouts], 0u);
  EXPECT_EQ(decode(r[1])[kUartTimeouts], 1u);
}

}  // namespace
