// The battery module: the "i2cbat" thread that reads the fuel gauges and drives the battery-low
// ladder of the system state.
#ifndef I2CBAT_BATTERY_H
#define I2CBAT_BATTERY_H

#include <stddef.h>

#include "stmsgSTM32Message/stmsgMessages.h"  // unnamedFuelguage_t

// The fuel gauges: the internal battery and up to three in the external pack.
#define I2CBAT_BATTERIES 4

// One gauge's readings under the battery's name ("Internal", "External 1" ...).
struct __attribute__((packed)) fuelguage_t {
  char batteryName[16];
  unnamedFuelguage_t info;
};
static_assert(sizeof(fuelguage_t) == 36, "fuelguage_t");
static_assert(offsetof(fuelguage_t, info) == 16, "fuelguage_t.info");

// Logs the entry line; called by the I2C devices' set-up.
void i2cbatBattery_Init(void);
// USB power came or went: the battery thread checks it on its next pass.
void i2cbatWakeupForUSBCheck(void);
// Creates the "i2cbat" thread.
void i2cbatBattery_StartThreads(void);
// Reads every battery only every 10 minutes from now on (the battery cut-off).
void i2cbatBackoffAllBatteries(void);
// A button was pressed: the gauges go back to their normal read intervals.
void i2cbatWakeupForBackoffReset(void);
// Copies the last readings of all four gauges into `dest` (I2CBAT_BATTERIES entries); false,
// copying nothing, until the gauges have been read once.
bool i2cbatCopyUnnamedFuelgauges(unnamedFuelguage_t* dest);
// The same readings with the batteries' names (I2CBAT_BATTERIES entries); false, copying nothing,
// until the gauges have been read once.
bool i2cbatCopyFuelgauges(fuelguage_t* dest);
// The summary of USB power, charging, total charge and battery-low level; false, copying nothing,
// until the gauges have been read once.
bool i2cbatCopyAdditionalBatteryInfo(additionalBatteryInfo_t* dest);

#endif  // I2CBAT_BATTERY_H
