// Shell: the counters and the periodic report come with the statistics reporter.
#include "srStatisticsReporter/srStatisticsReporter.h"

systimer_t srStatisticsReporter_Poll(systimer_t next) { return next; }

void srStCmdSeqErr(void) {}

void srStUARTResponseTimeout(void) {}
