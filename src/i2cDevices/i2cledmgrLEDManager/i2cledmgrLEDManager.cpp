// Shell: the LED patterns and the "i2cledmgr" thread come with the LED manager.
#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

// Shell: the wake-up semaphore comes with the LED thread.
void i2cledmgrLEDManager_Init(void) { DBGLOG_ENTRY(); }

void i2cledmgrLEDManager_StartThreads(void) {}

void i2cledmgrWakeup(void) {}

void i2cledmgrWakeupFromLED_PowerSaveMode(void) {}
