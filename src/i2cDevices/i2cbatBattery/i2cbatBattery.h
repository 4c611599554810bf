// The battery module: the "i2cbat" thread that reads the fuel gauges and drives the battery-low
// ladder of the system state.
#ifndef I2CBAT_BATTERY_H
#define I2CBAT_BATTERY_H

// Creates the "i2cbat" thread.
void i2cbatBattery_StartThreads(void);
// Reads every battery only every 10 minutes from now on (the battery cut-off).
void i2cbatBackoffAllBatteries(void);
// A button was pressed: the gauges go back to their normal read intervals.
void i2cbatWakeupForBackoffReset(void);

#endif  // I2CBAT_BATTERY_H
