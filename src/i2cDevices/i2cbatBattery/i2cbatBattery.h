// The battery module: the "i2cbat" thread that finds and initialises the RT9426A fuel gauges
// (the internal one and up to three behind the external pack's multiplexer), reads them on an
// adaptive schedule, drives the battery-low ladder of the system state from the internal
// battery's voltage, decides whether the battery may charge (with a thermal latch), and reports
// changes to the STM32, the camera server and the phone.
#ifndef I2CBAT_BATTERY_H
#define I2CBAT_BATTERY_H

#include <stddef.h>

#include "stmsgSTM32Message/stmsgMessages.h"  // unnamedFuelguage_t, additionalBatteryInfo_t

// The fuel gauges: the internal battery and up to three in the external pack.
#define I2CBAT_BATTERIES 4
#define I2CBAT_NAME_SIZE 16

// One gauge's readings with the battery's name ("Internal", "External 1".."External 3"); also
// the layout the server's battery status carries.
struct __attribute__((packed)) fuelguage_t {
  char batteryName[I2CBAT_NAME_SIZE];
  unnamedFuelguage_t info;
};
static_assert(sizeof(fuelguage_t) == 36, "fuelguage_t");
static_assert(offsetof(fuelguage_t, info) == 16, "fuelguage_t.info");

// Logs the entry line and sets up the thread's semaphore; called by the I2C devices' set-up.
void i2cbatBattery_Init(void);
// Creates the "i2cbat" thread.
void i2cbatBattery_StartThreads(void);
// USB power came or went: the battery thread checks it (and looks for the pack) at once.
void i2cbatWakeupForUSBCheck(void);
// A button was pressed: the gauges go back to their normal read intervals and are read now.
void i2cbatWakeupForBackoffReset(void);
// Reads every battery only every 10 minutes from now on (the battery cut-off).
void i2cbatBackoffAllBatteries(void);
// Copies the last readings (I2CBAT_BATTERIES entries) or the derived information; false,
// copying nothing, until the gauges have been read once. A copy never mixes two reads.
bool i2cbatCopyFuelgauges(fuelguage_t* dest);
bool i2cbatCopyUnnamedFuelgauges(unnamedFuelguage_t* dest);
bool i2cbatCopyAdditionalBatteryInfo(additionalBatteryInfo_t* dest);
// Logs the USB, charging and pack state and every battery's readings.
void i2cbatPrintBatteryInfo(void);

// Derivations of the thread, exposed for their tests.
// The internal gauge's state of charge as reported: above 90 stretched so that 95 reads 100.
uint16_t i2cbatScaleInternalSOC(uint16_t soc);
// The ladder level (lowBatteryValues) for the internal battery's voltage.
uint8_t i2cbatLowBatteryLevelForVoltage(uint16_t millivolts);

#endif  // I2CBAT_BATTERY_H
