// The configuration sync engine: keeps a validated mirror of the STM32's settings, credentials
// and status, and carries changes between the STM32, the phone and the camera server.
#ifndef GINF_GET_CONFIG_INFO_FROM_STM32_H
#define GINF_GET_CONFIG_INFO_FROM_STM32_H

#include "os.h"

void ginfGetConfigInfoFromSTM32_Init(void);
// Main-loop poll: takes the wake-up time chosen so far and returns the time it wants to run again.
systimer_t ginfGetConfigInfoFromSTM32_Poll(systimer_t next);
// Asks for this module's clock to be written to the STM32 (recording has stopped).
void ginfQueueSTClockUpdate(void);
// Asks for the STM32's status to be read: it signals that it has something to report. `caller`
// names the asking function in the log.
void ginfQueueStatusUpdate(const char* caller);

#endif  // GINF_GET_CONFIG_INFO_FROM_STM32_H
