// Shell: the bus, the expanders and the "i2c" thread come with the I2C devices.
#include "i2cDevices/i2cDevices.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void i2cDevices_Init(void) { DBGLOG_ENTRY(); }

void i2cDevices_StartThreads(void) {}
