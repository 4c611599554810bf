#include "i2cDevices/i2cbtnI2CButtons/i2cbtnI2CButtons.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "i2cDevices/i2cDevices.h"

// The first look comes after the contacts have settled; later looks are more frequent.
#define DEBOUNCE_SETTLE_US 20000u
#define DEBOUNCE_POLL_US 10000u

void i2cbtnI2CButtons_Init(void) { DBGLOG_ENTRY(); }

// The buttons pressed now; a failed read counts as none pressed.
static uint16_t readButtons(void) {
  uint16_t buttons = 0;
  i2cReadWordButtons(&buttons);
  return buttons;
}

static bool buttonReleasedEarly(systimer_t elapsed, systimer_t limit) {
  bool early = elapsed < limit;
  DBGLOG("buttonReleasedEarly: %s; elapsed: %llu; limit: %llu\n", early ? "true" : "false",
         (unsigned long long)elapsed, (unsigned long long)limit);
  return early;
}

bool debounce(uint16_t initialButtonValue, systimer_t* timeLimit) {
  if (initialButtonValue == 0 || timeLimit == nullptr) return false;
  uint16_t expected = initialButtonValue & i2cAllButtons;

  systimer_t start = os_systime64();
  os_sleep_us(DEBOUNCE_SETTLE_US, OS_TIMEOUT_NO_WAKEUP);
  if (readButtons() != expected) return false;  // a bounce

  for (;;) {
    os_sleep_us(DEBOUNCE_POLL_US, OS_TIMEOUT_NO_WAKEUP);
    uint16_t buttons = readButtons();
    systimer_t elapsed = os_systime64() - start;
    bool early = false;
    if (buttons != expected) early = buttonReleasedEarly(elapsed, *timeLimit);
    if (elapsed > *timeLimit) return !early;
    if (early) return false;
  }
}

void waitForButtonRelease(uint16_t initialButtonValue) {
  do {
    os_sleep_us(DEBOUNCE_POLL_US, OS_TIMEOUT_NO_WAKEUP);
  } while (readButtons() & initialButtonValue);
}
