// The I2C devices: the two GPIO expanders (buttons, LEDs, USB power, power switch, battery
// charging, the STM32 signal lines, the main-power hold), the fuel gauge and the multiplexer in
// front of the external packs, and the "i2c" thread that serves the expanders' shared interrupt
// line. Every transfer on the bus is serialised here.
//
// Functions returning int give the bus transfer's result: 0 on success, negative on an error.
#ifndef I2C_DEVICES_H
#define I2C_DEVICES_H

#include <stdint.h>

// The buttons as expander 1 reports them (1 = pressed).
enum i2cButtons_t : uint16_t {
  i2cSSButton = 0x0002,        // start/stop
  i2cIntervalButton = 0x0004,  // interval
  i2cAllButtons = 0x0006,
};

// Every LED bit of expander 1's output word.
#define i2cLED_All ((uint16_t)0x7ED8)

// Opens the bus and the devices and sets the expanders up, before the LED, button and battery
// modules are used. Holds the camera's power on and leaves charging off.
void i2cDevices_Init(void);
// Creates the "i2c" thread.
void i2cDevices_StartThreads(void);

// The signal lines of the STM32 handshake.
int i2cActivateSignalToSTM32(void);
int i2cDeactivateSignalToSTM32(void);
// 1 while the STM32's line is active, 0 while not, or a negative transfer error.
int i2cReadIsSignalActive_fromSTM32(void);
// True while the "i2c" thread itself talks to the STM32: nothing else would then deliver the
// STM32's answer edge, so the message exchange must poll for it.
bool i2cThreadNeedsToSendSTMessage(void);

// The buttons now pressed (i2cButtons_t bits); `*buttons` is left alone on an error.
int i2cReadWordButtons(uint16_t* buttons);
// 1 while USB power is present, 0 while not, or a negative transfer error.
int i2cIsUSBPwrDetected(void);

// Sets the LED bits of `mask` (limited to i2cLED_All) to those of `pattern`.
int i2cWriteWordLED(uint16_t mask, uint16_t pattern);
// The LED bits as last written successfully.
uint16_t i2cGetCurrentLEDPattern(void);

int i2cWriteChargeEnabled(bool enabled);
// Whether charging is enabled, as last written successfully.
bool i2cGetChargeEnabled(void);

// The retrying forms try once and then up to `retries` more times, sleeping `delay_us` before
// each retry; they return the last attempt's result.
int i2cWriteFuelgaugeLevelShifter(bool enabled, uint32_t retries, uint32_t delay_us);
// A 16-bit register of the fuel gauge (low byte first on the wire).
int i2cReadWordFuelguage(uint8_t reg, uint16_t* data, uint32_t retries, uint32_t delay_us);
int i2cWriteWordFuelguage(uint8_t reg, uint16_t data, uint32_t retries, uint32_t delay_us);
// Raw reads and writes of the multiplexer in front of the external packs.
int i2cReadFuelguageMux(uint8_t* data, uint32_t count, uint32_t retries, uint32_t delay_us);
int i2cWriteFuelguageMux(const uint8_t* data, uint32_t count, uint32_t retries, uint32_t delay_us);

#endif  // I2C_DEVICES_H
