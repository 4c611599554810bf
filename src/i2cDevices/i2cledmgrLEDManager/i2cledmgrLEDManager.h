// The LED manager: the "i2cledmgr" thread that shows the system state on the LEDs; other modules
// wake it when something it shows has changed.
#ifndef I2CLEDMGR_LED_MANAGER_H
#define I2CLEDMGR_LED_MANAGER_H

// Logs the entry line; called first thing by the I2C devices' set-up.
void i2cledmgrLEDManager_Init(void);
// Creates the "i2cledmgr" thread.
void i2cledmgrLEDManager_StartThreads(void);
// Asks the LED thread to redraw; wake-ups coalesce.
void i2cledmgrWakeup(void);
// As i2cledmgrWakeup, and also brings the LEDs out of their power-save mode.
void i2cledmgrWakeupFromLED_PowerSaveMode(void);

#endif  // I2CLEDMGR_LED_MANAGER_H
