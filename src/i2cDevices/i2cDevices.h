// The I2C devices: the two GPIO expanders (buttons, LEDs, USB power, power switch, STM32 signal
// lines) and the "i2c" thread that serves their shared interrupt line.
#ifndef I2C_DEVICES_H
#define I2C_DEVICES_H

// Opens the bus and the devices, before the LED, button and battery modules are used.
void i2cDevices_Init(void);
// Creates the "i2c" thread.
void i2cDevices_StartThreads(void);

#endif  // I2C_DEVICES_H
