// The power module: a place for power management of the local hardware; it holds nothing yet.
#ifndef I2CPWR_POWER_H
#define I2CPWR_POWER_H

// Logs the entry line.
void i2cpwrPower_Init(void);

#endif  // I2CPWR_POWER_H
