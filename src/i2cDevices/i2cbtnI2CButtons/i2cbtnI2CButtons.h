// Button debouncing for the local UI: how long a press is held, and waiting for the release.
#ifndef I2CBTN_I2C_BUTTONS_H
#define I2CBTN_I2C_BUTTONS_H

#include <stdint.h>

#include "os.h"

// Logs the entry line.
void i2cbtnI2CButtons_Init(void);
// True as soon as the buttons of `initialButtonValue` (i2cButtons_t bits) have been held, and
// nothing else pressed, for longer than `*timeLimit` µs; false as soon as they change before
// that, or for no buttons at all.
bool debounce(uint16_t initialButtonValue, systimer_t* timeLimit);
// Returns once none of the buttons of `initialButtonValue` is pressed any more.
void waitForButtonRelease(uint16_t initialButtonValue);

#endif  // I2CBTN_I2C_BUTTONS_H
