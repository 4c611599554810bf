// Shell: the fuel gauges, the read back-off and the "i2cbat" thread come with the battery module.
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

// Shell: the wake-up semaphore comes with the battery thread.
void i2cbatBattery_Init(void) { DBGLOG_ENTRY(); }

// Shell: the USB-power check comes with the battery thread.
void i2cbatWakeupForUSBCheck(void) {}

void i2cbatBattery_StartThreads(void) {}

void i2cbatBackoffAllBatteries(void) {}

void i2cbatWakeupForBackoffReset(void) {}

// Shell: no gauge is read yet, so there are no readings to copy.
bool i2cbatCopyUnnamedFuelgauges(unnamedFuelguage_t* /*dest*/) { return false; }

bool i2cbatCopyFuelgauges(fuelguage_t* /*dest*/) { return false; }

bool i2cbatCopyAdditionalBatteryInfo(additionalBatteryInfo_t* /*dest*/) { return false; }
