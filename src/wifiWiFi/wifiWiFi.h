// Wi-Fi: the station's connection to the access point through the connection manager, and its
// power state (full power while the camera server or a TCP transfer needs it).
#ifndef WIFI_WIFI_H
#define WIFI_WIFI_H

#include "lwip/ip_addr.h"
#include "os.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"

enum wifiStateUpdateReason_t {
  WIFISTATE_UPDATE_REASON_POLL = 0,
  WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD = 1,
  WIFISTATE_UPDATE_REASON_SESSION_CHANGE = 2,
  WIFISTATE_UPDATE_REASON_STARTING_TCP = 3,
  WIFISTATE_UPDATE_REASON_TCP_CLOSED = 4,
};

// Starts the station with the STM32's credentials: a profile and auto-connect on the connection
// manager. A failure is retried by the poll after 3, 5, 7 ... 60 s; without credentials after
// 5 s; with an empty SSID (Wi-Fi off) after 120 s.
void wifiStart(void);
// Main-loop poll: retries a failed start and updates the power state; returns the time it wants
// to run again.
systimer_t wifiWiFi_Poll(systimer_t next);
// Tells the power state machine of activity at `reasonTime` (user command: full power for 420 s,
// new session 120 s, TCP start 60 s; windows only extend); returns when the full-power window
// ends, or all ones.
systimer_t wifiUpdateStateMachine(wifiStateUpdateReason_t reason, systimer_t* reasonTime);
// Asks the connection manager whether the link is up, records it and returns it; false without
// a handle.
bool wifiIsWiFiConnectedToAP(void);
// Tears the station down; the next poll starts it again from scratch.
void wifiDisconnectAppWcmif(void);
// The server's power parameters are logged and ignored: true unless `params` is null.
bool wifiSetPowerParametersFromCameraServer(wifiParameters_t* params);
// The parameters reported to the server: all zero.
void wifiGetPowerParameters(wifiParameters_t* params);
// The station's IPv4 address, written only while connected to the access point.
void wifiGetIPAddress(ip_addr_t* address);
// Restarts the connection manager's own retry back-off.
void resetSDKAutoConnectBackoff(void);
void wifiScan(void);

#endif  // WIFI_WIFI_H
