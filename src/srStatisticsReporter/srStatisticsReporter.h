// The statistics reporter: counters and ages of the module's health in one 80-byte report, sent to
// the STM32 every 5 minutes and offered to the phone and the camera server.
#ifndef SR_STATISTICS_REPORTER_H
#define SR_STATISTICS_REPORTER_H

#include <stddef.h>
#include <stdint.h>

#include "os.h"

// ---- The report (little-endian, packed: the same bytes go to the STM32, the phone and the
// camera server) --------------------------------------------------------------------------------

// A count with the time of its last event.
struct __attribute__((packed)) statistic_time_entry_t {
  uint32_t count;
  systimer_t lastTime;  // µs since boot
};
static_assert(sizeof(statistic_time_entry_t) == 12, "statistic_time_entry_t is 12 bytes");
static_assert(offsetof(statistic_time_entry_t, count) == 0, "statistic_time_entry_t.count");
static_assert(offsetof(statistic_time_entry_t, lastTime) == 4, "statistic_time_entry_t.lastTime");

// A count with the source line of its last event.
struct __attribute__((packed)) statistic_line_entry_t {
  uint32_t count;
  uint32_t lastLineNumber;
};
static_assert(sizeof(statistic_line_entry_t) == 8, "statistic_line_entry_t is 8 bytes");
static_assert(offsetof(statistic_line_entry_t, count) == 0, "statistic_line_entry_t.count");
static_assert(offsetof(statistic_line_entry_t, lastLineNumber) == 4,
              "statistic_line_entry_t.lastLineNumber");

struct __attribute__((packed)) srReport1_t {
  uint32_t uptime_ms;  // 4294967295 once it no longer fits
  uint32_t apOpen_count;
  uint32_t dnsResolve_count;
  statistic_time_entry_t sessionOpened;  // lastTime all ones until the first session
  statistic_time_entry_t tcpOpened;      // lastTime 0 until the first connection
  uint32_t stCmdSeqErr_count;
  uint32_t stUARTResponseTimeout_count;
  uint32_t SPIReadTimeout_count;
};
static_assert(sizeof(srReport1_t) == 48, "srReport1_t is 48 bytes");

// The ages are in whole seconds, 4294967295 when the thing never happened.
struct __attribute__((packed)) srReport2_t {
  statistic_line_entry_t semtmoMsgErr;
  uint32_t secSinceLastBLECommunication;
  uint32_t secSinceLastUDPtx;
  uint32_t secSinceLastUDPrx;
  uint32_t secSinceCurrentSession;  // 0 without a session
  uint32_t consecutiveAPNotFound_count;
  uint32_t heapSizeRemaining;  // bytes
};
static_assert(sizeof(srReport2_t) == 32, "srReport2_t is 32 bytes");

struct __attribute__((packed)) srReport_t {
  srReport1_t srReport1;
  srReport2_t srReport2;
};
static_assert(sizeof(srReport_t) == 80, "srReport_t is 80 bytes");
static_assert(offsetof(srReport_t, srReport1) == 0, "srReport1");
static_assert(offsetof(srReport_t, srReport1.uptime_ms) == 0, "uptime_ms");
static_assert(offsetof(srReport_t, srReport1.apOpen_count) == 4, "apOpen_count");
static_assert(offsetof(srReport_t, srReport1.dnsResolve_count) == 8, "dnsResolve_count");
static_assert(offsetof(srReport_t, srReport1.sessionOpened.count) == 12, "sessionOpened.count");
static_assert(offsetof(srReport_t, srReport1.sessionOpened.lastTime) == 16,
              "sessionOpened.lastTime");
static_assert(offsetof(srReport_t, srReport1.tcpOpened.count) == 24, "tcpOpened.count");
static_assert(offsetof(srReport_t, srReport1.tcpOpened.lastTime) == 28, "tcpOpened.lastTime");
static_assert(offsetof(srReport_t, srReport1.stCmdSeqErr_count) == 36, "stCmdSeqErr_count");
static_assert(offsetof(srReport_t, srReport1.stUARTResponseTimeout_count) == 40,
              "stUARTResponseTimeout_count");
static_assert(offsetof(srReport_t, srReport1.SPIReadTimeout_count) == 44, "SPIReadTimeout_count");
static_assert(offsetof(srReport_t, srReport2) == 48, "srReport2");
static_assert(offsetof(srReport_t, srReport2.semtmoMsgErr.count) == 48, "semtmoMsgErr.count");
static_assert(offsetof(srReport_t, srReport2.semtmoMsgErr.lastLineNumber) == 52,
              "semtmoMsgErr.lastLineNumber");
static_assert(offsetof(srReport_t, srReport2.secSinceLastBLECommunication) == 56,
              "secSinceLastBLECommunication");
static_assert(offsetof(srReport_t, srReport2.secSinceLastUDPtx) == 60, "secSinceLastUDPtx");
static_assert(offsetof(srReport_t, srReport2.secSinceLastUDPrx) == 64, "secSinceLastUDPrx");
static_assert(offsetof(srReport_t, srReport2.secSinceCurrentSession) == 68,
              "secSinceCurrentSession");
static_assert(offsetof(srReport_t, srReport2.consecutiveAPNotFound_count) == 72,
              "consecutiveAPNotFound_count");
static_assert(offsetof(srReport_t, srReport2.heapSizeRemaining) == 76, "heapSizeRemaining");

// ---- Counting operations: one line each, from any thread --------------------------------------

// Wi-Fi connected to an access point.
void srApOpen(void);
// The camera server's address was resolved.
void srDnsResolve(void);
// A camera-server session opened (also stamps its time).
void srSessionOpened(void);
// A TCP connection opened (also stamps its time).
void srTcpOpened(void);
// The STM32 answered with a signature other than the request's.
void srStCmdSeqErr(void);
// An STM32 request got no byte back.
void srStUARTResponseTimeout(void);
// An SPI read from the FPGA timed out.
void srSPIReadTimeout(void);
// The time-out worker failed to get or register a message, at source line `lineNum`.
void srSemtmoMsgErr(uint16_t lineNum);
// A Wi-Fi attempt found no access point (`inc`), or one was found (the run starts again).
void srIncrementResetConsecutiveAPNotFound(bool inc);

// ---- The report ---------------------------------------------------------------------------------

// Brings the ages, the uptime and the free heap up to date and copies the whole report to `dest`
// in one piece.
void srCopyUpdatedStatisticsReport(srReport_t* dest);
// Logs `report`, or the module's own as it stands when `report` is null.
void srPrintStatisticsReport(const srReport_t* report);

// Main-loop poll: sends the report to the STM32 and tells the phone when it is due (one minute
// after boot, then every 5 minutes); returns the time it wants to run again, which is already
// past after a failed send that is to be retried at once.
systimer_t srStatisticsReporter_Poll(systimer_t next);

#endif  // SR_STATISTICS_REPORTER_H
