// Shell: the power hold, the update LEDs and the UART update protocols come with the updater.
#include "fwudFirmwareUpdater/fwudFirmwareUpdater.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void fwudFirmwareUpdater_Init(void) { DBGLOG_ENTRY(); }

// No update is offered yet.
void fwudDoUpdate(void) {}
