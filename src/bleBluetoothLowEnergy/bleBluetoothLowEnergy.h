// BLE: when the module advertises and for how long, the phone's connection, and the work that
// must not run in the BLE host's callbacks (indications, settings the phone wrote, recording).
#ifndef BLE_BLUETOOTH_LOW_ENERGY_H
#define BLE_BLUETOOTH_LOW_ENERGY_H

#include "os.h"

// A debug-console entry queued for the phone.
struct bleDebugConsoleMsg_t;

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

#endif  // BLE_BLUETOOTH_LOW_ENERGY_H
