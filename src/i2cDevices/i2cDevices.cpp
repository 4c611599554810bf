#include "i2cDevices/i2cDevices.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "gpio.h"
#include "i2c.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "i2cDevices/i2cbtnI2CButtons/i2cbtnI2CButtons.h"
#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"
#include "luiLocalUI/luiLocalUI.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"

#define I2C_BUS_SPEED_HZ 400000

// 7-bit bus addresses.
#define I2C_ADDR_EXPANDER1 0x20
#define I2C_ADDR_EXPANDER2 0x21
#define I2C_ADDR_FUELGAUGE 0x55
#define I2C_ADDR_FUELGAUGE_MUX 0x70

// The bus pins and their pull-ups.
#define I2C_SDA_GPIO 3
#define I2C_SCL_GPIO 4
#define I2C_PULLUP_GPIO_MASK 0x18

// The expanders' shared open-drain interrupt line.
#define I2C_IRQ_GPIO_MASK 0x4000u  // GPIO 14
#define I2C_IRQ_EVENT 3

// Expander 1 pins (bits of the 16-bit word: port 0 low byte, port 1 high byte).
#define EXP1_SIGNAL_TO_STM32 0x0001u
#define EXP1_USB_POWER 0x0020u
#define EXP1_SIGNAL_FROM_STM32 0x8000u
// Expander 2 pins.
#define EXP2_POWER_SWITCH_OFF 0x0008u
#define EXP2_CHARGE_ENABLE 0x0020u
#define EXP2_MAIN_POWER_HOLD 0x0040u
#define EXP2_LEVEL_SHIFTER 0x0200u

#define I2C_THREAD_PRIORITY 7
#define I2C_THREAD_STACK_BYTES 1024
// A pass runs at least this often even without an interrupt.
#define I2C_THREAD_WAIT_US 120000000u

// The power switch must read "off" on two samples in a row within the window.
#define POWER_SWITCH_WINDOW_US 300000u
#define POWER_SWITCH_SAMPLE_US 20000u
#define POWER_SWITCH_SAMPLES_NEEDED 2

// The STM32 keeps the camera up this long after agreeing to power down.
#define POWER_DOWN_DELAY_MS 3000u
#define POWER_DOWN_TIMEOUT_MS 7000u

// PCAL6416A registers, each a 16-bit pair (port 0 at the even address).
enum I2CRegWord_t : uint8_t {
  INPUT = 0x00,
  OUTPUT = 0x02,
  POLARITY_INVERSION = 0x04,
  CONFIGURATION = 0x06,  // 1 = input
  INPUT_LATCH = 0x44,
  INTERRUPT_MASK = 0x4A,  // 1 = masked
  INTERRUPT_STATUS = 0x4C,
};

// Port 0 in the low byte, port 1 in the high byte.
typedef uint16_t ExpanderWord_t;

struct IOExpController_t {
  struct i2c_device* dev;
  // What the output registers drive: the only source of truth for the outputs, changed only
  // after a successful write.
  ExpanderWord_t output;
};

// One start-up register write: the register, then port 0's and port 1's values.
struct expanderRegisterWrite_t {
  uint8_t reg;
  uint8_t p0;
  uint8_t p1;
};

#define EXPANDER_SETUP_WRITES 5
static const expanderRegisterWrite_t expander1Setup[EXPANDER_SETUP_WRITES] = {
    {OUTPUT, 0x27, 0x81},         {CONFIGURATION, 0x26, 0x81},
    {INPUT_LATCH, 0x26, 0x81},    {POLARITY_INVERSION, 0x06, 0x00},
    {INTERRUPT_MASK, 0xD9, 0x7F},
};
static const expanderRegisterWrite_t expander2Setup[EXPANDER_SETUP_WRITES] = {
    {OUTPUT, 0xDF, 0xFD},         {CONFIGURATION, 0x9F, 0xFD},
    {INPUT_LATCH, 0x00, 0x00},    {POLARITY_INVERSION, 0x08, 0x00},
    {INTERRUPT_MASK, 0xF7, 0xFF},
};

static struct i2c_bus* bus;
static IOExpController_t expander1Control;
static IOExpController_t expander2Control;
static struct i2c_device* i2c_fuelguage_dev;
static struct i2c_device* i2c_fuelguage_mux;
static struct os_semaphore lock_i2c_semaphore;            // one bus transfer at a time
static struct os_semaphore lock_ExpanderWords_semaphore;  // one output-word update at a time
static struct os_semaphore i2c_thread_semaphore;
static volatile bool threadNeedsToSendSTMessage;
static CameraPowerDown_Message powerDownMsg;

// ---- Bus access ------------------------------------------------------------------------------

static int transfer(struct i2c_device* dev, struct i2c_msg* msgs, int count) {
  os_sem_wait(&lock_i2c_semaphore);
  int res = i2c_transfer(dev, msgs, count);
  os_sem_post(&lock_i2c_semaphore);
  return res;
}

static int i2cWrite(struct i2c_device* dev, const uint8_t* data, uint32_t count) {
  struct i2c_msg msg = {I2C_M_STOP, count, (uint8_t*)data};
  return transfer(dev, &msg, 1);
}

static int i2cReadWord(struct i2c_device* dev, uint8_t reg, uint16_t* data) {
  uint8_t bytes[2] = {0, 0};
  struct i2c_msg msgs[2] = {
      {I2C_M_WRITE, 1, &reg},
      {I2C_M_READ | I2C_M_STOP, 2, bytes},
  };
  int res = transfer(dev, msgs, 2);
  if (res == 0) *data = (uint16_t)(bytes[0] | (bytes[1] << 8));
  return res;
}

static int i2cRead(struct i2c_device* dev, uint8_t* data, uint32_t count) {
  struct i2c_msg msg = {I2C_M_READ | I2C_M_STOP, count, data};
  return transfer(dev, &msg, 1);
}

static ExpanderWord_t storedOutput(const IOExpController_t* ctl) {
  uint32_t s = os_irq_disable();
  ExpanderWord_t output = ctl->output;
  os_irq_restore(s);
  return output;
}

static void storeOutput(IOExpController_t* ctl, ExpanderWord_t output) {
  uint32_t s = os_irq_disable();
  ctl->output = output;
  os_irq_restore(s);
}

// Sets the bits of `mask` to those of `pattern`, leaving the others as they are. The whole
// read-modify-write runs under the lock, so two writers of different bits never undo each other.
// An unchanged word costs no bus traffic.
static int i2cWriteWord(IOExpController_t* ctl, I2CRegWord_t reg, uint16_t mask, uint16_t pattern) {
  os_sem_wait(&lock_ExpanderWords_semaphore);
  ExpanderWord_t old = storedOutput(ctl);
  ExpanderWord_t updated = (ExpanderWord_t)((pattern & mask) | (old & ~mask));
  int res = 0;
  if (updated != old) {
    uint8_t data[3] = {reg, (uint8_t)(updated & 0xFF), (uint8_t)(updated >> 8)};
    res = i2cWrite(ctl->dev, data, sizeof data);
    if (res == 0) storeOutput(ctl, updated);
  }
  os_sem_post(&lock_ExpanderWords_semaphore);
  return res;
}

// One input bit of expander 1: 1 or 0, or the transfer error.
static int readExpander1InputBit(uint16_t bit) {
  uint16_t inputs = 0;
  int res = i2cReadWord(expander1Control.dev, INPUT, &inputs);
  if (res != 0) return res;
  return (inputs & bit) ? 1 : 0;
}

int i2cReadWordButtons(uint16_t* buttons) {
  uint16_t inputs = 0;
  int res = i2cReadWord(expander1Control.dev, INPUT, &inputs);
  if (res == 0) *buttons = inputs & i2cAllButtons;
  return res;
}

int i2cIsUSBPwrDetected(void) { return readExpander1InputBit(EXP1_USB_POWER); }

int i2cReadIsSignalActive_fromSTM32(void) { return readExpander1InputBit(EXP1_SIGNAL_FROM_STM32); }

int i2cActivateSignalToSTM32(void) {
  return i2cWriteWord(&expander1Control, OUTPUT, EXP1_SIGNAL_TO_STM32, EXP1_SIGNAL_TO_STM32);
}

int i2cDeactivateSignalToSTM32(void) {
  return i2cWriteWord(&expander1Control, OUTPUT, EXP1_SIGNAL_TO_STM32, 0);
}

bool i2cThreadNeedsToSendSTMessage(void) { return threadNeedsToSendSTMessage; }

int i2cWriteWordLED(uint16_t mask, uint16_t pattern) {
  return i2cWriteWord(&expander1Control, OUTPUT, (uint16_t)(mask & i2cLED_All), pattern);
}

uint16_t i2cGetCurrentLEDPattern(void) {
  return (uint16_t)(storedOutput(&expander1Control) & i2cLED_All);
}

int i2cWriteChargeEnabled(bool enabled) {
  return i2cWriteWord(&expander2Control, OUTPUT, EXP2_CHARGE_ENABLE,
                      enabled ? EXP2_CHARGE_ENABLE : 0);
}

bool i2cGetChargeEnabled(void) {
  return (storedOutput(&expander2Control) & EXP2_CHARGE_ENABLE) != 0;
}

static int i2cSetMainPower(bool on) {
  return i2cWriteWord(&expander2Control, OUTPUT, EXP2_MAIN_POWER_HOLD,
                      on ? EXP2_MAIN_POWER_HOLD : 0);
}

// The retrying forms share one loop; the bus lock is taken per attempt, never across a sleep.
#define RETRY(retries, delay_us, attempt)                                 \
  do {                                                                    \
    res = (attempt);                                                      \
    for (uint32_t tryNum = 0; res != 0 && tryNum < (retries); tryNum++) { \
      os_sleep_us((delay_us), OS_TIMEOUT_NO_WAKEUP);                      \
      res = (attempt);                                                    \
    }                                                                     \
  } while (0)

int i2cWriteFuelgaugeLevelShifter(bool enabled, uint32_t retries, uint32_t delay_us) {
  int res;
  RETRY(retries, delay_us,
        i2cWriteWord(&expander2Control, OUTPUT, EXP2_LEVEL_SHIFTER,
                     enabled ? EXP2_LEVEL_SHIFTER : 0));
  return res;
}

int i2cReadWordFuelguage(uint8_t reg, uint16_t* data, uint32_t retries, uint32_t delay_us) {
  int res;
  RETRY(retries, delay_us, i2cReadWord(i2c_fuelguage_dev, reg, data));
  return res;
}

int i2cWriteWordFuelguage(uint8_t reg, uint16_t data, uint32_t retries, uint32_t delay_us) {
  uint8_t bytes[3] = {reg, (uint8_t)(data & 0xFF), (uint8_t)(data >> 8)};
  int res;
  RETRY(retries, delay_us, i2cWrite(i2c_fuelguage_dev, bytes, sizeof bytes));
  return res;
}

int i2cReadFuelguageMux(uint8_t* data, uint32_t count, uint32_t retries, uint32_t delay_us) {
  int res;
  RETRY(retries, delay_us, i2cRead(i2c_fuelguage_mux, data, count));
  return res;
}

int i2cWriteFuelguageMux(const uint8_t* data, uint32_t count, uint32_t retries, uint32_t delay_us) {
  int res;
  RETRY(retries, delay_us, i2cWrite(i2c_fuelguage_mux, data, count));
  return res;
}

// ---- Set-up ----------------------------------------------------------------------------------

static void setUpExpander(IOExpController_t* ctl, uint8_t address,
                          const expanderRegisterWrite_t* writes) {
  ctl->dev = i2c_create_device(bus, address, I2C_BUS_SPEED_HZ);
  // Not checked: a missing expander shows in every later access.
  for (int i = 0; i < EXPANDER_SETUP_WRITES; i++) {
    uint8_t data[3] = {writes[i].reg, writes[i].p0, writes[i].p1};
    i2cWrite(ctl->dev, data, sizeof data);
  }
}

// Makes the stored copy match what the chip drives.
static void readBackOutputs(IOExpController_t* ctl) {
  uint16_t output = 0;
  if (i2cReadWord(ctl->dev, OUTPUT, &output) == 0) storeOutput(ctl, output);
}

// Interrupt context: mask the level-triggered line until the thread has served it, so it cannot
// fire again and again while the thread works.
static void i2c_irq_ISRsafe(uint32_t event) {
  (void)event;
  os_gpio_disable_irq(I2C_IRQ_GPIO_MASK);
  os_clear_event(I2C_IRQ_EVENT);
  os_sem_post(&i2c_thread_semaphore);
}

void i2cDevices_Init(void) {
  DBGLOG_ENTRY();
  i2cledmgrLEDManager_Init();
  if (bus != nullptr) return;

  os_sem_init(&lock_i2c_semaphore, 1);
  os_sem_init(&lock_ExpanderWords_semaphore, 1);
  os_sem_init(&i2c_thread_semaphore, 0);

  os_gpio_set_pull(I2C_PULLUP_GPIO_MASK, OS_GPIO_PULL_UP);
  os_gpio_mux_sel(GPIO_MUX_SEL_SCL, I2C_SCL_GPIO);
  os_gpio_mux_sel(GPIO_MUX_SEL_SDA, I2C_SDA_GPIO);
  bus = i2c_bus_init(0);
  if (bus == nullptr) return;

  DBGLOG_TEXT("Initializing i2c first expander PCAL6416A");
  setUpExpander(&expander1Control, I2C_ADDR_EXPANDER1, expander1Setup);
  DBGLOG_TEXT("Initializing i2c second expander PCAL6416A");
  setUpExpander(&expander2Control, I2C_ADDR_EXPANDER2, expander2Setup);

  DBGLOG_TEXT("Fuel gauge i2c device created");
  i2c_fuelguage_dev = i2c_create_device(bus, I2C_ADDR_FUELGAUGE, I2C_BUS_SPEED_HZ);
  DBGLOG_TEXT("Fuel gauge mux device created");
  i2c_fuelguage_mux = i2c_create_device(bus, I2C_ADDR_FUELGAUGE_MUX, I2C_BUS_SPEED_HZ);

  readBackOutputs(&expander1Control);
  readBackOutputs(&expander2Control);

  i2cbtnI2CButtons_Init();
  i2cbatBattery_Init();

  os_gpio_request(I2C_IRQ_GPIO_MASK);
  os_gpio_set_input(I2C_IRQ_GPIO_MASK);
  os_gpio_set_irq_level_low(I2C_IRQ_GPIO_MASK);
  os_gpio_attach_event(I2C_IRQ_EVENT, I2C_IRQ_GPIO_MASK, i2c_irq_ISRsafe);

  i2cSetMainPower(true);
  i2cWriteChargeEnabled(false);
}

// ---- The "i2c" thread ------------------------------------------------------------------------

// Tells the STM32 we are going, lets the camera's power go and resets; never returns.
[[noreturn]] static void powerDown(void) {
  sysstate_setPoweringDownState(true);
  os_yield();  // let the modules that react to it (the LEDs) run
  DBGLOG_TEXT("POWERING DOWN!!");

  memset(&powerDownMsg, 0, sizeof powerDownMsg);
  powerDownMsg.delayBeforeReboot_ms = POWER_DOWN_DELAY_MS;
  // No other thread will deliver the STM32's answer edge while this one waits in the exchange.
  threadNeedsToSendSTMessage = true;
  errorCodes res = stmsgTxRx_debugPrint(&powerDownMsg, sizeof powerDownMsg, CMD_setPowerDown,
                                        &powerDownMsg, sizeof powerDownMsg, POWER_DOWN_TIMEOUT_MS);
  threadNeedsToSendSTMessage = false;
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("ERROR!! ST did not respond before dropping power override");
  }

  i2cSetMainPower(false);
  os_sleep_us(POWER_DOWN_DELAY_MS * 1000u, OS_TIMEOUT_NO_WAKEUP);
  ostsReboot();
}

// The switch asked to power off: it must still say so on two samples in a row within the window,
// else it was a bounce.
static void debouncePowerSwitch(void) {
  systimer_t start = os_systime64();
  int samplesOff = 0;
  while (os_systime64() - start < POWER_SWITCH_WINDOW_US) {
    uint16_t inputs = 0;
    i2cReadWord(expander2Control.dev, INPUT, &inputs);
    if (inputs & EXP2_POWER_SWITCH_OFF) {
      if (++samplesOff >= POWER_SWITCH_SAMPLES_NEEDED) powerDown();
    } else {
      samplesOff = 0;
    }
    os_sleep_us(POWER_SWITCH_SAMPLE_US, OS_TIMEOUT_NO_WAKEUP);
  }
  DBGLOG("ERROR!! we shouldn't see the power go OFF->ON\n");
}

static void* i2c_thread(void* arg) {
  (void)arg;
  os_gpio_enable_irq(I2C_IRQ_GPIO_MASK);
  // The first pass runs at once and clears whatever is already pending.
  os_sem_post(&i2c_thread_semaphore);
  DBGLOG_TEXT("starting interrupt thread");

  for (;;) {
    os_sem_wait_timeout(&i2c_thread_semaphore, I2C_THREAD_WAIT_US);

    // A failed read leaves zero: no interrupt.
    uint16_t status1 = 0;
    i2cReadWord(expander1Control.dev, INTERRUPT_STATUS, &status1);
    if (status1 != 0) {
      if (status1 & EXP1_USB_POWER) {
        DBGLOG_TEXT("USB PWR changed");
        i2cIsUSBPwrDetected();
        ginfQueueStatusUpdate("i2c_thread");
        i2cbatWakeupForUSBCheck();
      }
      // Only a successful read that sees the line active counts; an error is not a signal.
      if ((status1 & EXP1_SIGNAL_FROM_STM32) && i2cReadIsSignalActive_fromSTM32() > 0) {
        // A transaction waiting for the STM32's answer edge takes it; otherwise the STM32 wants
        // attention.
        if (!stmsgReleaseQueuedMessage()) {
          DBGLOG_TEXT("POKED by the STM32");
          ginfQueueStatusUpdate("i2c_thread");
        }
      }
      if (status1 & i2cAllButtons) {
        uint16_t buttons = 0;
        i2cReadWordButtons(&buttons);
        if (buttons != 0) {
          DBGLOG("queueing button press: %u\n", buttons);
          queueIncomingButtonMsg(buttons);
        }
      }
    } else {
      uint16_t status2 = 0;
      i2cReadWord(expander2Control.dev, INTERRUPT_STATUS, &status2);
      if (status2 & EXP2_POWER_SWITCH_OFF) debouncePowerSwitch();
    }

    os_gpio_enable_irq(I2C_IRQ_GPIO_MASK);
  }
  return nullptr;
}

void i2cDevices_StartThreads(void) {
  if (os_create_thread("i2c", i2c_thread, nullptr, I2C_THREAD_PRIORITY, I2C_THREAD_STACK_BYTES) ==
      nullptr) {
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for i2c");
  }
}
