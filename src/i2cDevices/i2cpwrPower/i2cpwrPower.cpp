#include "i2cDevices/i2cpwrPower/i2cpwrPower.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void i2cpwrPower_Init(void) { DBGLOG_ENTRY(); }
