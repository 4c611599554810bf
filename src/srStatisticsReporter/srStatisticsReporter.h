// The statistics reporter: counters of the module's health, reported to the log, the phone and
// the camera server.
#ifndef SR_STATISTICS_REPORTER_H
#define SR_STATISTICS_REPORTER_H

#include "os.h"

// Main-loop poll: reports the statistics when due; returns the time it wants to run again.
systimer_t srStatisticsReporter_Poll(systimer_t next);

// Counting operations.
// The STM32 answered with a signature other than the request's.
void srStCmdSeqErr(void);
// An STM32 request got no byte back.
void srStUARTResponseTimeout(void);

#endif  // SR_STATISTICS_REPORTER_H
