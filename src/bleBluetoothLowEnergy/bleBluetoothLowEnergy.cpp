// Shell: the GATT service, advertising, the phone's link and the debug-console queue come with BLE.
#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"

#include <stdarg.h>
#include <stdio.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

// A debug-console text holds at most this many characters.
#define BLE_DEBUG_CONSOLE_TEXT_MAX 234

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
