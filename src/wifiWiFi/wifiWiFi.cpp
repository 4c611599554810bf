// Shell: the connection manager, its notifications and the power states come with Wi-Fi.
#include "wifiWiFi/wifiWiFi.h"

void wifiStart(void) {}

systimer_t wifiWiFi_Poll(systimer_t next) { return next; }

// No full-power window is ever open yet.
systimer_t wifiUpdateStateMachine(wifiStateUpdateReason_t /*reason*/, systimer_t* /*reasonTime*/) {
  return SYSTIMER_NEVER;
}

void wifiDisconnectAppWcmif(void) {}
