// Shell: the fuel gauges, the read back-off and the "i2cbat" thread come with the battery module.
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"

void i2cbatBattery_StartThreads(void) {}

void i2cbatBackoffAllBatteries(void) {}

void i2cbatWakeupForBackoffReset(void) {}
