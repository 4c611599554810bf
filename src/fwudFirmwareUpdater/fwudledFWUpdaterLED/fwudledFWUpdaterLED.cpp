// The updater's LEDs: one register write per pattern to the LED expander.
#include "fwudFirmwareUpdater/fwudledFWUpdaterLED/fwudledFWUpdaterLED.h"

#include "gpio.h"
#include "i2c.h"
#include "os.h"

#define FWUDLED_EXPANDER_ADDRESS 0x20
#define FWUDLED_I2C_SPEED_HZ 400000
#define FWUDLED_ON_US 150000u
#define FWUDLED_OFF_US 100000u

static struct i2c_device* ledDevice;
static systimer_t nextBlinkTime;
static bool lightsAreOn;

static void writeRegister(uint8_t reg, uint8_t low, uint8_t high) {
  if (ledDevice == nullptr) return;
  uint8_t bytes[3] = {reg, low, high};
  struct i2c_msg msg = {I2C_M_WRITE | I2C_M_STOP, sizeof bytes, bytes};
  i2c_transfer(ledDevice, &msg, 1);
}

void fwudled_init(void) {
  os_gpio_set_pull(24, OS_GPIO_PULL_UP);
  os_gpio_mux_sel(GPIO_MUX_SEL_SCL, 4);
  os_gpio_mux_sel(GPIO_MUX_SEL_SDA, 3);
  struct i2c_bus* bus = i2c_bus_init(0);
  if (bus == nullptr) return;
  ledDevice = i2c_create_device(bus, FWUDLED_EXPANDER_ADDRESS, FWUDLED_I2C_SPEED_HZ);
  writeRegister(0x4A, 0xFF, 0xFF);  // no interrupts
  writeRegister(0x02, 0x27, 0x81);  // outputs: every LED off
  writeRegister(0x44, 0x00, 0x00);  // no input latching
  writeRegister(0x06, 0x27, 0x81);  // the LED pins are outputs
}

void fwudled_I2C_Write_Word_LED(uint16_t pattern) {
  writeRegister(0x02, static_cast<uint8_t>(pattern & 0xFF), static_cast<uint8_t>(pattern >> 8));
}

void fwudled_blinkIfNeeded(void) {
  systimer_t now = os_systime64();
  if (now < nextBlinkTime) return;
  lightsAreOn = !lightsAreOn;
  fwudled_I2C_Write_Word_LED(lightsAreOn ? (uint16_t)(i2cLED_All_Interval | i2cLED_SS_Red) : 0);
  nextBlinkTime = now + (lightsAreOn ? FWUDLED_ON_US : FWUDLED_OFF_US);
}
