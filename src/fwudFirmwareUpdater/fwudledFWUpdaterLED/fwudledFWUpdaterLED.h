// The update's progress on the camera's LEDs, written straight to the LED expander: the LED
// manager is not running yet while the updater works.
#ifndef FWUDLED_FW_UPDATER_LED_H
#define FWUDLED_FW_UPDATER_LED_H

#include <stdint.h>

// Bits of the LED expander's 16-bit output word; a set bit lights that LED.
#define i2cLED_WiFi ((uint16_t)8)
#define i2cLED_10sec ((uint16_t)512)
#define i2cLED_30sec ((uint16_t)1024)
#define i2cLED_1min ((uint16_t)2048)
#define i2cLED_5min ((uint16_t)4096)
#define i2cLED_10min ((uint16_t)8192)
#define i2cLED_Custom ((uint16_t)16384)
#define i2cLED_SS_Red ((uint16_t)128)
#define i2cLED_SS_Green ((uint16_t)16)
#define i2cLED_SS_Blue ((uint16_t)64)
#define i2cLED_SS_Yellow ((uint16_t)144)
#define i2cLED_SS_Cyan ((uint16_t)80)
#define i2cLED_SS_Magenta ((uint16_t)192)
#define i2cLED_SS_White ((uint16_t)208)
#define i2cLED_Flash_Idle_Interval ((uint16_t)24576)
#define i2cLED_Flash_Read_Interval ((uint16_t)25088)
#define i2cLED_Flash_Erase_Interval ((uint16_t)25600)
#define i2cLED_Flash_Write_Interval ((uint16_t)26624)
#define i2cLED_Flash_ERROR_Interval ((uint16_t)21640)
#define i2cLED_All_Interval ((uint16_t)32256)
#define i2cLED_All_Left ((uint16_t)32264)
#define i2cLED_All_SS ((uint16_t)208)
#define i2cLED_All ((uint16_t)32472)

// Opens the LED expander (0x20) on I2C bus 0 and sets its pins up; kept open from then on.
void fwudled_init(void);
// Shows `pattern` (one write of the output register); nothing if the expander did not open.
void fwudled_I2C_Write_Word_LED(uint16_t pattern);
// While listening: every LED lit with the red light for 150 ms, then all off for 100 ms.
void fwudled_blinkIfNeeded(void);

#endif  // FWUDLED_FW_UPDATER_LED_H
