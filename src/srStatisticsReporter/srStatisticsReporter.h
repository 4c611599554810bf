// The statistics reporter: counters of the module's health, reported to the log, the phone and
// the camera server.
#ifndef SR_STATISTICS_REPORTER_H
#define SR_STATISTICS_REPORTER_H

#include "os.h"

// Main-loop poll: reports the statistics when due; returns the time it wants to run again.
systimer_t srStatisticsReporter_Poll(systimer_t next);

#endif  // SR_STATISTICS_REPORTER_H
