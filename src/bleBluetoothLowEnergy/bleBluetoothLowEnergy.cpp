// Shell: the GATT service, advertising, the phone's link and the debug-console queue come with BLE.
#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"

#include <stdarg.h>
#include <stdio.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"

// The advertised name's size, its terminator included.
#define BLE_ADV_NAME_SIZE 20

// A debug-console text holds at most this many characters.
#define BLE_DEBUG_CONSOLE_TEXT_MAX 234

// No phone can connect yet, so there is never any activity to stamp.
systimer_t lastBLECommunication = SYSTIMER_NEVER;

void bleBluetoothLowEnergy_Init(void) { DBGLOG_ENTRY(); }

systimer_t bleBluetoothLowEnergy_Poll(systimer_t next) { return next; }

void bleHandleSysstateChanges(bool /*wasButtonPressed*/) {}

void bleDisconnectAndStopAdvertising(void) {}

// No phone can be connected yet, so nothing is ever queued; the text still goes to the log.
bleDebugConsoleMsg_t* bleQueueDebugConsoleMsg(const char* fmt, ...) {
  char text[BLE_DEBUG_CONSOLE_TEXT_MAX + 1];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  DBGLOG("(BLE-NQ) log: \"%s\"\n", text);
  return nullptr;
}

// Shell: the state-change bitmap comes with the phone's link; with no phone nothing is queued.
bool bleQueueStateChangeMsg(bleStateChange_t /*n*/) { return false; }

// Shell: built here as advertising will use it; advertising itself comes with BLE.
const char* bleGetAdvName(void) {
  static char advName[BLE_ADV_NAME_SIZE];
  if (advName[0] != '\0') return advName;  // built once: the name is fixed for the run
  const cameraID_t* id = ginfGet_cameraID();
  if (id == nullptr) return nullptr;
  snprintf(advName, sizeof advName, "QVR%s", id->cameraID_ascii);
  return advName;
}
