// BLE: when the module advertises and for how long, the phone's connection, and the work that
// must not run in the BLE host's callbacks (indications, settings the phone wrote, recording).
#ifndef BLE_BLUETOOTH_LOW_ENERGY_H
#define BLE_BLUETOOTH_LOW_ENERGY_H

#include <stddef.h>

#include "os.h"

// A debug-console line as indicated to the phone: 8 bytes of header, then the text without a
// terminator.
struct __attribute__((packed)) bleDebugConsoleMsg_t {
  uint32_t sequenceNumber;  // running count of lines queued, first is 1
  uint32_t timestamp;       // seconds since boot; all ones when that does not fit
  char debugLog[236];
};
static_assert(sizeof(bleDebugConsoleMsg_t) == 244, "bleDebugConsoleMsg_t is one indication");
static_assert(offsetof(bleDebugConsoleMsg_t, timestamp) == 4, "bleDebugConsoleMsg_t.timestamp");
static_assert(offsetof(bleDebugConsoleMsg_t, debugLog) == 8, "bleDebugConsoleMsg_t.debugLog");

// The state changes the phone can be told of; each carries the current value of the thing it
// names.
enum bleStateChange_t : uint32_t {
  BLE_STATE_CHANGE_NONE = 0,  // never sent
  BLE_STATE_CHANGE_SSID = 1,
  BLE_STATE_CHANGE_PASSWORD = 2,
  BLE_STATE_CHANGE_RECORDING = 3,
  BLE_STATE_CHANGE_ACCESS_CODE_AUTHENTICATION = 4,
  BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL = 5,
  BLE_STATE_CHANGE_SD_CARD_STATUS = 6,
  BLE_STATE_CHANGE_INTERVAL = 7,
  BLE_STATE_CHANGE_SCHEDULE = 8,
  BLE_STATE_CHANGE_BATTERY_LEVEL = 9,
  BLE_STATE_CHANGE_STATISTICS_REPORT = 10,
  BLE_STATE_CHANGE_EXPOSURE_MODE = 11,
  BLE_STATE_CHANGE_FLICKER_FILTER = 12,
  BLE_STATE_CHANGE_EMBED_TIMESTAMP = 13,
  BLE_STATE_CHANGE_SHARPNESS = 14,
  BLE_STATE_CHANGE_SATURATION = 15,
  BLE_STATE_CHANGE_PLAYBACK_RATE = 16,
  BLE_STATE_CHANGE_DELETE_FILE_RESULT = 17,
  BLE_STATE_CHANGE_SIZE = 18,  // the count; never sent
};

// When the phone's link last showed activity; all ones until then. Written and read with
// interrupts masked (a 64-bit value is two stores on the chip).
extern systimer_t lastBLECommunication;

void bleBluetoothLowEnergy_Init(void);
// Main-loop poll: runs the advertising state machine; returns the time it wants to run again.
systimer_t bleBluetoothLowEnergy_Poll(systimer_t next);
// The system state changed (session closed, Wi-Fi enabled or not) or a button was pressed.
void bleHandleSysstateChanges(bool wasButtonPressed);
// Battery cut-off: drops the phone and stops advertising.
void bleDisconnectAndStopAdvertising(void);
// Queues a formatted text for the phone's debug console and logs it, as "(BLE-Q<n>)" when queued
// or "(BLE-NQ)" when not. The queued entry, or null when it could not be queued.
bleDebugConsoleMsg_t* bleQueueDebugConsoleMsg(const char* fmt, ...)
    __attribute__((format(printf, 1, 2)));
// Queues state change `n` for the phone; true when queued (a phone is connected and subscribed).
// Callers log the outcome as "(BLE-QD)" or "(BLE-NQ)".
bool bleQueueStateChangeMsg(bleStateChange_t n);
// The advertised name, "QVR" followed by the camera ID's Ascii85 text; null while the camera ID
// is not known.
const char* bleGetAdvName(void);

#endif  // BLE_BLUETOOTH_LOW_ENERGY_H
