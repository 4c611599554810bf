// The statistics reporter: the 80-byte report and its wire layout, the counting operations, the
// refreshed ages, the report line, and the periodic report to the STM32 (with its retries) against
// the simulated board, in virtual time.
#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "i2cDevices/i2cDevices.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "unit/host_fixture.h"

namespace {

const uint64_t kMs = 1000, kSec = 1000000;
const uint32_t kAllOnes32 = 4294967295u;
const uint64_t kAllOnes64 = ~0ull;
const uint16_t kStatisticsReportCommand = 61;
const uint64_t kFirstReportAt = 60 * kSec;
const uint64_t kPeriod = 300 * kSec;

// ---- The test's own reading of the wire bytes ---------------------------------------------------

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// The report as the table lays it out, read field by field from its 80 bytes.
struct DecodedReport {
  uint32_t uptimeMs, apOpen, dnsResolve, sessionCount;
  uint64_t sessionLastTime;
  uint32_t tcpCount;
  uint64_t tcpLastTime;
  uint32_t stCmdSeqErr, stUartTimeout, spiReadTimeout, semtmoCount, semtmoLine;
  uint32_t secsBle, secsUdpTx, secsUdpRx, secsSession, apNotFound, heap;
};

DecodedReport decode(const uint8_t* b) {
  DecodedReport d;
  d.uptimeMs = le32(b + 0);
  d.apOpen = le32(b + 4);
  d.dnsResolve = le32(b + 8);
  d.sessionCount = le32(b + 12);
  d.sessionLastTime = le64(b + 16);
  d.tcpCount = le32(b + 24);
  d.tcpLastTime = le64(b + 28);
  d.stCmdSeqErr = le32(b + 36);
  d.stUartTimeout = le32(b + 40);
  d.spiReadTimeout = le32(b + 44);
  d.semtmoCount = le32(b + 48);
  d.semtmoLine = le32(b + 52);
  d.secsBle = le32(b + 56);
  d.secsUdpTx = le32(b + 60);
  d.secsUdpRx = le32(b + 64);
  d.secsSession = le32(b + 68);
  d.apNotFound = le32(b + 72);
  d.heap = le32(b + 76);
  return d;
}

DecodedReport decode(const srReport_t& r) {
  uint8_t bytes[80];
  memcpy(bytes, &r, sizeof bytes);
  return decode(bytes);
}

// The report inside a recorded CMD_StatisticsReport request: message bytes 12..91.
DecodedReport decode(const sim::Stm32::Request& r) {
  EXPECT_EQ(r.message.size(), 92u);
  if (r.message.size() < 92) return DecodedReport{};
  return decode(r.message.data() + 12);
}

// The STM32 model's own decoding of the same request, for a second opinion.
void expectSameAsModel(const DecodedReport& d, const sim::StatisticsReport& s) {
  EXPECT_EQ(s.uptime_ms, d.uptimeMs);
  EXPECT_EQ(s.ap_open_count, d.apOpen);
  EXPECT_EQ(s.dns_resolve_count, d.dnsResolve);
  EXPECT_EQ(s.session_opened_count, d.sessionCount);
  EXPECT_EQ(s.session_opened_last_time, d.sessionLastTime);
  EXPECT_EQ(s.tcp_opened_count, d.tcpCount);
  EXPECT_EQ(s.tcp_opened_last_time, d.tcpLastTime);
  EXPECT_EQ(s.st_cmd_seq_err_count, d.stCmdSeqErr);
  EXPECT_EQ(s.st_uart_response_timeout_count, d.stUartTimeout);
  EXPECT_EQ(s.spi_read_timeout_count, d.spiReadTimeout);
  EXPECT_EQ(s.semtmo_msg_err_count, d.semtmoCount);
  EXPECT_EQ(s.semtmo_msg_err_last_line, d.semtmoLine);
  EXPECT_EQ(s.sec_since_last_ble_communication, d.secsBle);
  EXPECT_EQ(s.sec_since_last_udp_tx, d.secsUdpTx);
  EXPECT_EQ(s.sec_since_last_udp_rx, d.secsUdpRx);
  EXPECT_EQ(s.sec_since_current_session, d.secsSession);
  EXPECT_EQ(s.consecutive_ap_not_found_count, d.apNotFound);
  EXPECT_EQ(s.heap_size_remaining, d.heap);
}

// ---- The layout ---------------------------------------------------------------------------------

TEST(SrReportLayout, EveryFieldSitsAtItsWireOffsetLittleEndian) {
  srReport_t r;
  r.srReport1.uptime_ms = 0x01020304;
  r.srReport1.apOpen_count = 0x05060708;
  r.srReport1.dnsResolve_count = 0x090A0B0C;
  r.srReport1.sessionOpened.count = 0x0D0E0F10;
  r.srReport1.sessionOpened.lastTime = 0x1112131415161718ull;
  r.srReport1.tcpOpened.count = 0x191A1B1C;
  r.srReport1.tcpOpened.lastTime = 0x1D1E1F2021222324ull;
  r.srReport1.stCmdSeqErr_count = 0x25262728;
  r.srReport1.stUARTResponseTimeout_count = 0x292A2B2C;
  r.srReport1.SPIReadTimeout_count = 0x2D2E2F30;
  r.srReport2.semtmoMsgErr.count = 0x31323334;
  r.srReport2.semtmoMsgErr.lastLineNumber = 0x35363738;
  r.srReport2.secSinceLastBLECommunication = 0x393A3B3C;
  r.srReport2.secSinceLastUDPtx = 0x3D3E3F40;
  r.srReport2.secSinceLastUDPrx = 0x41424344;
  r.srReport2.secSinceCurrentSession = 0x45464748;
  r.srReport2.consecutiveAPNotFound_count = 0x494A4B4C;
  r.srReport2.heapSizeRemaining = 0x4D4E4F50;
  ASSERT_EQ(sizeof r, 80u);
  DecodedReport d = decode(r);
  EXPECT_EQ(d.uptimeMs, 0x01020304u);
  EXPECT_EQ(d.apOpen, 0x05060708u);
  EXPECT_EQ(d.dnsResolve, 0x090A0B0Cu);
  EXPECT_EQ(d.sessionCount, 0x0D0E0F10u);
  EXPECT_EQ(d.sessionLastTime, 0x1112131415161718ull);
  EXPECT_EQ(d.tcpCount, 0x191A1B1Cu);
  EXPECT_EQ(d.tcpLastTime, 0x1D1E1F2021222324ull);
  EXPECT_EQ(d.stCmdSeqErr, 0x25262728u);
  EXPECT_EQ(d.stUartTimeout, 0x292A2B2Cu);
  EXPECT_EQ(d.spiReadTimeout, 0x2D2E2F30u);
  EXPECT_EQ(d.semtmoCount, 0x31323334u);
  EXPECT_EQ(d.semtmoLine, 0x35363738u);
  EXPECT_EQ(d.secsBle, 0x393A3B3Cu);
  EXPECT_EQ(d.secsUdpTx, 0x3D3E3F40u);
  EXPECT_EQ(d.secsUdpRx, 0x41424344u);
  EXPECT_EQ(d.secsSession, 0x45464748u);
  EXPECT_EQ(d.apNotFound, 0x494A4B4Cu);
  EXPECT_EQ(d.heap, 0x4D4E4F50u);
}

// ---- The fixture --------------------------------------------------------------------------------

// The poll as the main loop drives it: at most 3 s apart, at once (after a 5 ms pause) when it
// asks for a time already past.
void* mainLoopLike(void*) {
  for (;;) {
    systimer_t next = os_systime64() + 3 * kSec;
    systimer_t wanted = srStatisticsReporter_Poll(next);
    if (wanted < next) next = wanted;
    systimer_t now = os_systime64();
    os_sleep_us(next <= now ? 5000u : uint32_t(next - now), OS_TIMEOUT_WAKEUP);
  }
  return nullptr;
}

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

  srReport_t copy() {
    srReport_t r;
    memset(&r, 0xA5, sizeof r);
    inKernel([&] { srCopyUpdatedStatisticsReport(&r); });
    return r;
  }
  DecodedReport fresh() { return decode(copy()); }

  uint64_t kernelNow() {
    uint64_t t = 0;
    inKernel([&] { t = os_systime64(); });
    return t;
  }
  // Runs until the kernel's clock reads `t`.
  void runUntil(uint64_t t) {
    uint64_t now = kernelNow();
    if (t > now) inst.run_for(t - now);
  }

  // One poll on a firmware thread; the kernel's time just after it returned in *after.
  systimer_t poll(uint64_t* after = nullptr) {
    systimer_t wanted = 0, done = 0;
    EXPECT_TRUE(onFirmwareThread(
        [&] {
          wanted = srStatisticsReporter_Poll(os_systime64() + 3 * kSec);
          done = os_systime64();
        },
        120 * kSec));
    if (after) *after = done;
    return wanted;
  }

  void startMainLoop() {
    inKernel([] { ASSERT_NE(os_create_thread("srloop", mainLoopLike, nullptr, 6, 8192), nullptr); });
  }

  std::vector<sim::Stm32::Request> reports() {
    std::vector<sim::Stm32::Request> out;
    for (const auto& r : board.stm32().requests())
      if (r.command == kStatisticsReportCommand) out.push_back(r);
    return out;
  }

  int failures() const { return logged("Failed to send statistics report to ST"); }
};

// ---- Counting -----------------------------------------------------------------------------------

using SrCounting = Sr;

TEST_F(SrCounting, BeforeAnySessionTheSessionTimeIsNeverAndTheSessionAgeIsZero) {
  DecodedReport d = fresh();
  EXPECT_EQ(d.sessionCount, 0u);
  EXPECT_EQ(d.sessionLastTime, kAllOnes64);
  EXPECT_EQ(d.secsSession, 0u);
}

TEST_F(SrCounting, BeforeAnyTcpConnectionTheConnectionTimeIsZero) {
  DecodedReport d = fresh();
  EXPECT_EQ(d.tcpCount, 0u);
  EXPECT_EQ(d.tcpLastTime, 0u);
}

TEST_F(SrCounting, EachCounterCountsOnlyItsOwnEvents) {
  inKernel([] {
    srApOpen();
    for (int i = 0; i < 2; i++) srDnsResolve();
    for (int i = 0; i < 3; i++) srStCmdSeqErr();
    for (int i = 0; i < 4; i++) srStUARTResponseTimeout();
    for (int i = 0; i < 5; i++) srSPIReadTimeout();
  });
  DecodedReport d = fresh();
  EXPECT_EQ(d.apOpen, 1u);
  EXPECT_EQ(d.dnsResolve, 2u);
  EXPECT_EQ(d.stCmdSeqErr, 3u);
  EXPECT_EQ(d.stUartTimeout, 4u);
  EXPECT_EQ(d.spiReadTimeout, 5u);
  EXPECT_EQ(d.sessionCount, 0u);
  EXPECT_EQ(d.tcpCount, 0u);
  EXPECT_EQ(d.semtmoCount, 0u);
  EXPECT_EQ(d.apNotFound, 0u);
}

TEST_F(SrCounting, OpeningASessionCountsItAndStampsItsTime) {
  runUntil(7 * kSec);
  uint64_t at = 0;
  inKernel([&] {
    srSessionOpened();
    at = os_systime64();
  });
  inst.run_for(2 * kSec);
  inKernel([] { srSessionOpened(); });
  DecodedReport d = fresh();
  EXPECT_EQ(d.sessionCount, 2u);
  EXPECT_EQ(d.sessionLastTime, at + 2 * kSec);
}

TEST_F(SrCounting, OpeningATcpConnectionCountsItAndStampsItsTime) {
  runUntil(11 * kSec);
  uint64_t at = 0;
  inKernel([&] {
    srTcpOpened();
    at = os_systime64();
  });
  DecodedReport d = fresh();
  EXPECT_EQ(d.tcpCount, 1u);
  EXPECT_EQ(d.tcpLastTime, at);
}

TEST_F(SrCounting, ATimeOutWorkerErrorKeepsTheLineOfTheLatestOne) {
  inKernel([] {
    srSemtmoMsgErr(120);
    srSemtmoMsgErr(345);
  });
  DecodedReport d = fresh();
  EXPECT_EQ(d.semtmoCount, 2u);
  EXPECT_EQ(d.semtmoLine, 345u);
}

TEST_F(SrCounting, AccessPointsNotFoundCountUpInARowUntilOneIsFound) {
  inKernel([] {
    for (int i = 0; i < 3; i++) srIncrementResetConsecutiveAPNotFound(true);
  });
  EXPECT_EQ(fresh().apNotFound, 3u);
  inKernel([] { srIncrementResetConsecutiveAPNotFound(false); });
  EXPECT_EQ(fresh().apNotFound, 0u);
  inKernel([] { srIncrementResetConsecutiveAPNotFound(true); });
  EXPECT_EQ(fresh().apNotFound, 1u);
}

// ---- The refreshed fields -----------------------------------------------------------------------

using SrRefresh = Sr;

TEST_F(SrRefresh, UptimeIsTheWholeMillisecondsSinceBoot) {
  runUntil(12 * kSec + 345678);
  EXPECT_EQ(fresh().uptimeMs, 12345u);
}

TEST_F(SrRefresh, ServerTimeStampsNeverSetGiveAllOnesSeconds) {
  DecodedReport d = fresh();
  EXPECT_EQ(d.secsUdpTx, kAllOnes32);
  EXPECT_EQ(d.secsUdpRx, kAllOnes32);
}

TEST_F(SrRefresh, ServerTimeStampsGiveTheWholeSecondsSinceThem) {
  runUntil(30 * kSec);
  inKernel([] {
    ucscTimeOfLastMsgToCameraServer = os_systime64() - 7 * kSec - 500 * kMs;
    ucscTimeOfLastMsgFromCameraServer = os_systime64() - 21 * kSec;
  });
  DecodedReport d = fresh();
  EXPECT_EQ(d.secsUdpTx, 7u);
  EXPECT_EQ(d.secsUdpRx, 21u);
}

TEST_F(SrRefresh, AServerTimeStampNotInThePastGivesZeroSeconds) {
  inKernel([] {
    ucscTimeOfLastMsgToCameraServer = os_systime64() + 5 * kSec;
    ucscTimeOfLastMsgFromCameraServer = os_systime64();
  });
  DecodedReport d = fresh();
  EXPECT_EQ(d.secsUdpTx, 0u);
  EXPECT_EQ(d.secsUdpRx, 0u);
}

TEST_F(SrRefresh, WithoutAnyBleExchangeItsAgeIsAllOnes) {
  EXPECT_EQ(fresh().secsBle, kAllOnes32);
}

TEST_F(SrRefresh, TheBleAgeIsTheWholeSecondsSinceTheLastExchange) {
  runUntil(20 * kSec);
  inKernel([] { lastBLECommunication = os_systime64() - 4 * kSec - 999 * kMs; });
  EXPECT_EQ(fresh().secsBle, 4u);
}

TEST_F(SrRefresh, WhileASessionIsOpenItsAgeCountsFromItsOpening) {
  runUntil(5 * kSec);
  inKernel([] {
    srSessionOpened();
    sysstate_setWiFiSessionOpenState(true);
  });
  inst.run_for(42 * kSec + 300 * kMs);
  EXPECT_EQ(fresh().secsSession, 42u);
}

TEST_F(SrRefresh, AClosedSessionHasNoAge) {
  inKernel([] {
    srSessionOpened();
    sysstate_setWiFiSessionOpenState(true);
  });
  inst.run_for(10 * kSec);
  inKernel([] { sysstate_setWiFiSessionOpenState(false); });
  DecodedReport d = fresh();
  EXPECT_EQ(d.secsSession, 0u);
  EXPECT_EQ(d.sessionCount, 1u);
}

TEST_F(SrRefresh, TheFreeHeapIsWhatTheKernelReports) {
  void* held = nullptr;
  srReport_t r;
  int avail = 0;
  inKernel([&] {
    held = os_alloc(3000);
    srCopyUpdatedStatisticsReport(&r);
    avail = os_avail_heap();
    os_free(held);
  });
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(decode(r).heap, static_cast<uint32_t>(avail));
}

TEST_F(SrRefresh, ACopyWritesTheEightyBytesAndNothingAround) {
  uint8_t buf[82];
  memset(buf, 0xEE, sizeof buf);
  int avail = 0;
  uint64_t now = 0;
  inKernel([&] {
    srCopyUpdatedStatisticsReport(reinterpret_cast<srReport_t*>(buf + 1));
    avail = os_avail_heap();
    now = os_systime64();
  });
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(buf[81], 0xEE);
  // The first and the last field, unaligned in the buffer.
  EXPECT_EQ(le32(buf + 1), static_cast<uint32_t>(now / 1000));
  EXPECT_EQ(le32(buf + 1 + 76), static_cast<uint32_t>(avail));
}

// Fifty days would take the board's threads through millions of passes: a bare kernel instead.
class SrLongUptime : public OnKernel {};

TEST_F(SrLongUptime, UptimeSaturatesOnceItNoLongerFitsIn32Bits) {
  srReport_t before, after;
  inst.run_for(1000ull * (1ull << 32) - 2000);
  ASSERT_TRUE(inst.call([&] { srCopyUpdatedStatisticsReport(&before); }));
  inst.run_for(3000);
  ASSERT_TRUE(inst.call([&] { srCopyUpdatedStatisticsReport(&after); }));
  EXPECT_EQ(decode(before).uptimeMs, kAllOnes32 - 1);
  EXPECT_EQ(decode(after).uptimeMs, kAllOnes32);
}

// ---- The report line ----------------------------------------------------------------------------

using SrPrint = Sr;

TEST_F(SrPrint, AReportIsLoggedWithItsFieldsInTableOrder) {
  srReport_t r;
  r.srReport1.uptime_ms = 1;
  r.srReport1.apOpen_count = 2;
  r.srReport1.dnsResolve_count = 3;
  r.srReport1.sessionOpened.count = 4;
  r.srReport1.sessionOpened.lastTime = 18446744073709551615ull;
  r.srReport1.tcpOpened.count = 6;
  r.srReport1.tcpOpened.lastTime = 7000000000ull;
  r.srReport1.stCmdSeqErr_count = 8;
  r.srReport1.stUARTResponseTimeout_count = 9;
  r.srReport1.SPIReadTimeout_count = 10;
  r.srReport2.semtmoMsgErr.count = 11;
  r.srReport2.semtmoMsgErr.lastLineNumber = 12;
  r.srReport2.secSinceLastBLECommunication = 13;
  r.srReport2.secSinceLastUDPtx = 14;
  r.srReport2.secSinceLastUDPrx = 15;
  r.srReport2.secSinceCurrentSession = 16;
  r.srReport2.consecutiveAPNotFound_count = 17;
  r.srReport2.heapSizeRemaining = 4294967295u;
  inKernel([&] { srPrintStatisticsReport(&r); });
  const std::string origin = "::srPrintStatisticsReport() @";
  const std::string body =
      "uptime_ms: 1, #apOpen: 2, #dnsResolve: 3, sessionOpened: {#: 4, lastTime: "
      "18446744073709551615}, tcpOpened: {#: 6, lastTime: 7000000000}, \r\n  #stCmdSeqErr: 8, "
      "#stUARTResponseTimeout: 9, #SPIReadTimeout: 10, semtmoMsgErr: {#: 11, lastLineNumber: 12}, "
      "secSinceLastBLECommunication: 13, \r\n  secSinceLastUDPtx: 14, secSinceLastUDPrx: 15, "
      "secSinceCurrentSession: 16, #consecutiveAPNotFound: 17, heapSizeRemaining: 4294967295\n";
  std::string console = inst.console();
  size_t header = console.find(origin);
  ASSERT_NE(header, std::string::npos) << console;
  size_t text = console.find(": ", header + origin.size());
  ASSERT_NE(text, std::string::npos);
  EXPECT_EQ(console.substr(text + 2), body);
}

TEST_F(SrPrint, WithoutAReportTheModulesOwnIsLogged) {
  inKernel([] {
    srApOpen();
    srApOpen();
    srSemtmoMsgErr(77);
    srPrintStatisticsReport(nullptr);
  });
  std::string console = inst.console();
  EXPECT_NE(console.find("#apOpen: 2, "), std::string::npos) << console;
  EXPECT_NE(console.find("semtmoMsgErr: {#: 1, lastLineNumber: 77}"), std::string::npos);
  EXPECT_NE(console.find("sessionOpened: {#: 0, lastTime: 18446744073709551615}"),
            std::string::npos);
}

// ---- The poll, called at chosen times -----------------------------------------------------------

using SrPoll = Sr;

TEST_F(SrPoll, BeforeTheFirstReportIsDueThePollAsksToRunAtOneMinute) {
  runUntil(59 * kSec);
  EXPECT_EQ(poll(), kFirstReportAt);
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ(loggedStartingWith("reporting stats"), 0);
}

TEST_F(SrPoll, ADueReportGoesToTheStm32AsA92ByteStatisticsReport) {
  runUntil(kFirstReportAt);
  poll();
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].length, 92);
  EXPECT_EQ(r[0].message.size(), 92u);
  EXPECT_EQ(board.stm32().requests().size(), 1u);
  EXPECT_EQ(loggedStartingWith("id/len/sig tx:61/92/"), 1) << inst.console();
}

TEST_F(SrPoll, AfterASuccessfulReportThePollAsksToRunFiveMinutesLater) {
  runUntil(kFirstReportAt);
  uint64_t after = 0;
  systimer_t wanted = poll(&after);
  EXPECT_EQ(wanted, after + kPeriod);
  EXPECT_EQ(failures(), 0);
  EXPECT_EQ(poll(), wanted);  // not due again yet
  EXPECT_EQ(reports().size(), 1u);
}

TEST_F(SrPoll, AReportLogsTheStateChangeThenItsHeaderThenTheReportThenTheResult) {
  runUntil(kFirstReportAt);
  poll();
  int change = indexOf("(BLE-NQ) stateChange: BLE_STATE_CHANGE_STATISTICS_REPORT");
  int header = indexOf("reporting stats to ST");
  ASSERT_GE(change, 0) << inst.console();
  ASSERT_GT(header, change);
  std::vector<std::string> m = messages();
  ASSERT_GT(m.size(), static_cast<size_t>(header + 2));
  EXPECT_EQ(m[header + 1].rfind("uptime_ms: 60000, #apOpen: 0, ", 0), 0u) << m[header + 1];
  // The report spans three console lines; the transaction's result line follows it.
  int result = -1;
  for (size_t i = header + 1; i < m.size(); i++)
    if (m[i].rfind("id/len/sig tx:61/92/", 0) == 0) result = static_cast<int>(i);
  EXPECT_GT(result, header + 1);
}

TEST_F(SrPoll, TheStm32ReceivesTheReportFieldByField) {
  runUntil(30 * kSec);
  uint64_t sessionAt = 0;
  inKernel([&] {
    srApOpen();
    srDnsResolve();
    srDnsResolve();
    srSessionOpened();
    sessionAt = os_systime64();
    sysstate_setWiFiSessionOpenState(true);
    srSPIReadTimeout();
    srSemtmoMsgErr(512);
    srIncrementResetConsecutiveAPNotFound(true);
  });
  runUntil(50 * kSec);
  uint64_t tcpAt = 0;
  inKernel([&] {
    srTcpOpened();
    tcpAt = os_systime64();
    ucscTimeOfLastMsgToCameraServer = os_systime64() - 1 * kSec;
    ucscTimeOfLastMsgFromCameraServer = os_systime64() - 2 * kSec;
    lastBLECommunication = os_systime64() - 3 * kSec;
  });
  runUntil(kFirstReportAt);
  int heapBefore = 0;
  inKernel([&] { heapBefore = os_avail_heap(); });
  poll();
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 1u);
  DecodedReport d = decode(r[0]);
  EXPECT_EQ(d.uptimeMs, 60000u);
  EXPECT_EQ(d.apOpen, 1u);
  EXPECT_EQ(d.dnsResolve, 2u);
  EXPECT_EQ(d.sessionCount, 1u);
  EXPECT_EQ(d.sessionLastTime, sessionAt);
  EXPECT_EQ(d.tcpCount, 1u);
  EXPECT_EQ(d.tcpLastTime, tcpAt);
  EXPECT_EQ(d.stCmdSeqErr, 0u);
  EXPECT_EQ(d.stUartTimeout, 0u);
  EXPECT_EQ(d.spiReadTimeout, 1u);
  EXPECT_EQ(d.semtmoCount, 1u);
  EXPECT_EQ(d.semtmoLine, 512u);
  EXPECT_EQ(d.secsBle, 13u);
  EXPECT_EQ(d.secsUdpTx, 11u);
  EXPECT_EQ(d.secsUdpRx, 12u);
  EXPECT_EQ(d.secsSession, 30u);
  EXPECT_EQ(d.apNotFound, 1u);
  EXPECT_EQ(d.heap, static_cast<uint32_t>(heapBefore));
  std::vector<sim::StatisticsReport> model = board.stm32().statistics_reports();
  ASSERT_EQ(model.size(), 1u);
  expectSameAsModel(d, model[0]);
}

TEST_F(SrPoll, AFailedSendIsLoggedAndAsksToBePolledAgainAtOnce) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  runUntil(kFirstReportAt);
  uint64_t after = 0;
  systimer_t wanted = poll(&after);
  EXPECT_LE(wanted, after);
  EXPECT_EQ(failures(), 1) << inst.console();
  EXPECT_EQ(reports().size(), 1u);
}

TEST_F(SrPoll, TheThirdFailedSendInARowPostponesTheReportByFiveMinutes) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 3, -110);
  runUntil(kFirstReportAt);
  uint64_t after = 0;
  EXPECT_LE(poll(&after), after);
  EXPECT_EQ(failures(), 1);
  EXPECT_LE(poll(&after), after);
  EXPECT_EQ(failures(), 2);
  systimer_t wanted = poll(&after);
  EXPECT_EQ(failures(), 3);
  EXPECT_EQ(wanted, after + kPeriod);
  EXPECT_EQ(reports().size(), 3u);
}

TEST_F(SrPoll, ASuccessStartsTheCountOfFailuresAgain) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 2, -110);
  runUntil(kFirstReportAt);
  uint64_t after = 0;
  poll();
  poll();
  systimer_t wanted = poll(&after);
  ASSERT_EQ(wanted, after + kPeriod);  // failed, failed, sent
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  runUntil(wanted);
  // One failure after a success is a first failure again: retried at once.
  EXPECT_LE(poll(&after), after);
  EXPECT_EQ(failures(), 3);
  EXPECT_EQ(reports().size(), 4u);
}

// ---- The poll, driven like the main loop --------------------------------------------------------

using SrSchedule = Sr;

TEST_F(SrSchedule, TheFirstReportReachesTheStm32OneMinuteAfterBoot) {
  startMainLoop();
  runUntil(kFirstReportAt - 100 * kMs);
  EXPECT_TRUE(reports().empty());
  runUntil(kFirstReportAt + 1 * kSec);
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_GE(r[0].time, kFirstReportAt);
  EXPECT_LT(r[0].time, kFirstReportAt + 100 * kMs);
}

TEST_F(SrSchedule, AfterASuccessTheNextReportComesFiveMinutesLater) {
  startMainLoop();
  runUntil(kFirstReportAt + kPeriod + 1 * kSec);
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_GE(r[1].time, r[0].time + kPeriod);
  EXPECT_LT(r[1].time, r[0].time + kPeriod + 100 * kMs);
}

TEST_F(SrSchedule, AFailedSendIsResentAtOnceWithAFreshlyBuiltReport) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  startMainLoop();
  runUntil(kFirstReportAt + 1 * kSec);
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_LT(r[1].time, r[0].time + 100 * kMs);
  EXPECT_GT(decode(r[1]).uptimeMs, decode(r[0]).uptimeMs);
  EXPECT_EQ(failures(), 1);
}

TEST_F(SrSchedule, ThreeFailedSendsInARowLeaveTheNextTryFiveMinutesLater) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 3, -110);
  startMainLoop();
  runUntil(kFirstReportAt + 1 * kSec);
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_LT(r[2].time, kFirstReportAt + 100 * kMs);
  EXPECT_EQ(failures(), 3);
  runUntil(r[2].time + kPeriod - 100 * kMs);
  EXPECT_EQ(reports().size(), 3u);
  runUntil(r[2].time + kPeriod + 1 * kSec);
  r = reports();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_GE(r[3].time, r[2].time + kPeriod);
  EXPECT_EQ(failures(), 3);
}

TEST_F(SrSchedule, AnUnansweredReportIsCountedInTheReportThatRetriesIt) {
  board.stm32().set_fault(sim::Stm32Fault::kNoAnswer, 1);
  startMainLoop();
  runUntil(kFirstReportAt + 30 * kSec);
  std::vector<sim::Stm32::Request> r = reports();
  ASSERT_EQ(r.size(), 2u) << inst.console();
  EXPECT_EQ(decode(r[0]).stUartTimeout, 0u);
  EXPECT_EQ(decode(r[1]).stUartTimeout, 1u);
  EXPECT_EQ(failures(), 1);
}

}  // namespace
