// The statistics reporter. Counters are plain increments from any thread (a count lost to a race
// is accepted); the 64-bit time stamps and the whole-report copy go under the interrupt mask so a
// reader never sees half of an update.
#include "srStatisticsReporter/srStatisticsReporter.h"

#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "utilities/utilities.h"

static_assert(sizeof(srReport_t) == STMSG_STATISTICS_REPORT_SIZE,
              "the STM32 message carries the report as it is");

#define SR_NOT_AVAILABLE 4294967295u
#define SR_FIRST_REPORT_US 60000000ull  // one minute after boot
#define SR_REPORT_PERIOD_US 300000000ull
#define SR_ST_TIMEOUT_MS 2000u
// Sends in a row that may fail before the report waits for its next period.
#define SR_SEND_ATTEMPTS 3u

static srReport_t srReport = {
    {0, 0, 0, {0, SYSTIMER_NEVER}, {0, 0}, 0, 0, 0},
    {{0, 0}, 0, 0, 0, 0, 0, 0},
};

static systimer_t whenToAnnounceStatisticsReport = SR_FIRST_REPORT_US;
static uint32_t failedSendsInARow;
static CameraStatisticsReport_Message stReportMsg;  // main thread only

// ---- Counting -----------------------------------------------------------------------------------

static void stampNow(statistic_time_entry_t* entry) {
  systimer_t now = os_systime64();
  uint32_t s = os_irq_disable();
  entry->lastTime = now;
  os_irq_restore(s);
}

void srApOpen(void) { srReport.srReport1.apOpen_count++; }

void srDnsResolve(void) { srReport.srReport1.dnsResolve_count++; }

void srSessionOpened(void) {
  srReport.srReport1.sessionOpened.count++;
  stampNow(&srReport.srReport1.sessionOpened);
}

void srTcpOpened(void) {
  srReport.srReport1.tcpOpened.count++;
  stampNow(&srReport.srReport1.tcpOpened);
}

void srStCmdSeqErr(void) { srReport.srReport1.stCmdSeqErr_count++; }

void srStUARTResponseTimeout(void) { srReport.srReport1.stUARTResponseTimeout_count++; }

void srSPIReadTimeout(void) { srReport.srReport1.SPIReadTimeout_count++; }

void srSemtmoMsgErr(uint16_t lineNum) {
  srReport.srReport2.semtmoMsgErr.count++;
  srReport.srReport2.semtmoMsgErr.lastLineNumber = lineNum;
}

void srIncrementResetConsecutiveAPNotFound(bool inc) {
  if (inc) {
    srReport.srReport2.consecutiveAPNotFound_count++;
  } else {
    srReport.srReport2.consecutiveAPNotFound_count = 0;
  }
}

// ---- The report ---------------------------------------------------------------------------------

// Whole seconds since `stamp`: all ones for never, 0 when not in the past.
static uint32_t secsSinceStamp(systimer_t stamp) {
  if (stamp == SYSTIMER_NEVER) return SR_NOT_AVAILABLE;
  return secsSince(stamp);
}

void srCopyUpdatedStatisticsReport(srReport_t* dest) {
  uint32_t s = os_irq_disable();
  systimer_t lastTx = ucscTimeOfLastMsgToCameraServer;
  systimer_t lastRx = ucscTimeOfLastMsgFromCameraServer;
  systimer_t lastBle = lastBLECommunication;
  systimer_t sessionOpenedAt = srReport.srReport1.sessionOpened.lastTime;
  os_irq_restore(s);

  // Computed outside the mask (the heap query may take the allocator's lock), stored with it.
  uint64_t uptimeMs = os_systime64() / 1000u;
  uint32_t uptime = uptimeMs > SR_NOT_AVAILABLE ? SR_NOT_AVAILABLE : (uint32_t)uptimeMs;
  uint32_t secsTx = secsSinceStamp(lastTx);
  uint32_t secsRx = secsSinceStamp(lastRx);
  uint32_t secsBle = secsSinceStamp(lastBle);
  int heap = os_avail_heap();
  uint32_t heapRemaining = heap > 0 ? (uint32_t)heap : 0u;
  uint32_t secsSession =
      (sysstateSystemState & sysstate_WiFiSessionIsOpen) ? secsSinceStamp(sessionOpenedAt) : 0u;

  s = os_irq_disable();
  srReport.srReport1.uptime_ms = uptime;
  srReport.srReport2.secSinceLastUDPtx = secsTx;
  srReport.srReport2.secSinceLastUDPrx = secsRx;
  srReport.srReport2.secSinceLastBLECommunication = secsBle;
  srReport.srReport2.heapSizeRemaining = heapRemaining;
  srReport.srReport2.secSinceCurrentSession = secsSession;
  if (dest != nullptr) memcpy(dest, &srReport, sizeof srReport);
  os_irq_restore(s);
}

void srPrintStatisticsReport(const srReport_t* report) {
  srReport_t own;
  if (report == nullptr) {
    uint32_t s = os_irq_disable();
    memcpy(&own, &srReport, sizeof own);
    os_irq_restore(s);
    report = &own;
  }
  const srReport1_t& r1 = report->srReport1;
  const srReport2_t& r2 = report->srReport2;
  DBGLOG(
      "uptime_ms: %u, #apOpen: %u, #dnsResolve: %u, sessionOpened: {#: %u, lastTime: %llu}, "
      "tcpOpened: {#: %u, lastTime: %llu}, \r\n  #stCmdSeqErr: %u, #stUARTResponseTimeout: %u, "
      "#SPIReadTimeout: %u, semtmoMsgErr: {#: %u, lastLineNumber: %u}, "
      "secSinceLastBLECommunication: %u, \r\n  secSinceLastUDPtx: %u, secSinceLastUDPrx: %u, "
      "secSinceCurrentSession: %u, #consecutiveAPNotFound: %u, heapSizeRemaining: %u\n",
      (unsigned)r1.uptime_ms, (unsigned)r1.apOpen_count, (unsigned)r1.dnsResolve_count,
      (unsigned)r1.sessionOpened.count, (unsigned long long)r1.sessionOpened.lastTime,
      (unsigned)r1.tcpOpened.count, (unsigned long long)r1.tcpOpened.lastTime,
      (unsigned)r1.stCmdSeqErr_count, (unsigned)r1.stUARTResponseTimeout_count,
      (unsigned)r1.SPIReadTimeout_count, (unsigned)r2.semtmoMsgErr.count,
      (unsigned)r2.semtmoMsgErr.lastLineNumber, (unsigned)r2.secSinceLastBLECommunication,
      (unsigned)r2.secSinceLastUDPtx, (unsigned)r2.secSinceLastUDPrx,
      (unsigned)r2.secSinceCurrentSession, (unsigned)r2.consecutiveAPNotFound_count,
      (unsigned)r2.heapSizeRemaining);
}

// ---- The periodic report ------------------------------------------------------------------------

static void scheduleNextReport(void) {
  whenToAnnounceStatisticsReport = os_systime64() + SR_REPORT_PERIOD_US;
  failedSendsInARow = 0;
}

systimer_t srStatisticsReporter_Poll(systimer_t /*next*/) {
  if (os_systime64() < whenToAnnounceStatisticsReport) return whenToAnnounceStatisticsReport;

  bool queued = bleQueueStateChangeMsg(BLE_STATE_CHANGE_STATISTICS_REPORT);
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ",
         "BLE_STATE_CHANGE_STATISTICS_REPORT");

  // Rebuilt for every attempt: a retry carries the values current when it goes out.
  srReport_t report;
  srCopyUpdatedStatisticsReport(&report);
  memset(&stReportMsg, 0, sizeof stReportMsg);
  memcpy(stReportMsg.report, &report, sizeof report);
  DBGLOG_TEXT("reporting stats to ST");
  srPrintStatisticsReport(&report);

  errorCodes res = stmsgTxRx_debugPrint(&stReportMsg, sizeof stReportMsg, CMD_StatisticsReport,
                                        &stReportMsg, sizeof stReportMsg, SR_ST_TIMEOUT_MS);
  if (res == ERRORCODE_SUCCESS) {
    scheduleNextReport();
  } else {
    DBGLOG_TEXT("Failed to send statistics report to ST");
    // The time stays as it is (already past) until the attempts run out, so the main loop
    // comes back at once.
    if (++failedSendsInARow >= SR_SEND_ATTEMPTS) scheduleNextReport();
  }
  return whenToAnnounceStatisticsReport;
}
