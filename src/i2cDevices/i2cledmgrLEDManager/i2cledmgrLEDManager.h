// The LED manager: the "i2cledmgr" thread that shows the system state on the LEDs of expander 1
// (the three-colour start/stop LED, the Wi-Fi LED and six interval LEDs); other modules wake it
// when something it shows has changed. 15 s after the last button press or explicit wake-up most
// LEDs go dark to save power.
#ifndef I2CLEDMGR_LED_MANAGER_H
#define I2CLEDMGR_LED_MANAGER_H

#include <stdint.h>

// LED bits of expander 1's output word (1 = lit).
enum i2cLED_t : uint16_t {
  i2cLED_WiFi = 0x0008,
  i2cLED_SS_Green = 0x0010,
  i2cLED_SS_Blue = 0x0040,
  i2cLED_SS_Red = 0x0080,
  i2cLED_SS_Yellow = 0x0090,
  i2cLED_SS_Cyan = 0x0050,
  i2cLED_SS_Magenta = 0x00C0,
  i2cLED_SS_White = 0x00D0,
  i2cLED_All_SS = 0x00D0,
  i2cLED_10sec = 0x0200,
  i2cLED_30sec = 0x0400,
  i2cLED_1min = 0x0800,
  i2cLED_5min = 0x1000,
  i2cLED_10min = 0x2000,
  i2cLED_Custom = 0x4000,
  i2cLED_All_Interval = 0x7E00,
  i2cLED_All_Left = 0x7E08,
};

// Logs the entry line; called first thing by the I2C devices' set-up.
void i2cledmgrLEDManager_Init(void);
// Creates the "i2cledmgr" thread.
void i2cledmgrLEDManager_StartThreads(void);
// Asks the LED thread to redraw; wake-ups coalesce.
void i2cledmgrWakeup(void);
// As i2cledmgrWakeup, and also brings the LEDs out of their power-save mode.
void i2cledmgrWakeupFromLED_PowerSaveMode(void);
// One short red flash of the start/stop LED.
void i2cledmgrFlashError(void);

#endif  // I2CLEDMGR_LED_MANAGER_H
