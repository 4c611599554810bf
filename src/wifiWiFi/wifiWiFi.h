// Wi-Fi: the station's connection to the access point through the connection manager, and its
// power state (full power while the camera server or a TCP transfer needs it).
#ifndef WIFI_WIFI_H
#define WIFI_WIFI_H

#include "os.h"

enum wifiStateUpdateReason_t {
  WIFISTATE_UPDATE_REASON_POLL = 0,
  WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD = 1,
  WIFISTATE_UPDATE_REASON_SESSION_CHANGE = 2,
  WIFISTATE_UPDATE_REASON_STARTING_TCP = 3,
  WIFISTATE_UPDATE_REASON_TCP_CLOSED = 4,
};

// Starts the station with the STM32's credentials; once at start-up, then from the poll.
void wifiStart(void);
// Main-loop poll: retries a failed start and updates the power state; returns the time it wants
// to run again.
systimer_t wifiWiFi_Poll(systimer_t next);
// Tells the power state machine of activity at `reasonTime`; returns when the full-power window
// ends, or all ones.
systimer_t wifiUpdateStateMachine(wifiStateUpdateReason_t reason, systimer_t* reasonTime);
// Tears the station down; the poll starts it again from scratch.
void wifiDisconnectAppWcmif(void);

#endif  // WIFI_WIFI_H
