// The server may propose low-power settings; they are not applied until tested on the real
// radio, so the camera reports fixed, all-zero parameters.
#include "wifiWiFi/wifiServerParameters.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

static const wifiParameters_t parametersFromServer = {};

bool wifiSetPowerParametersFromCameraServer(const wifiParameters_t* params) {
  if (params == nullptr) return false;
  DBGLOG("Received server parameters: listen interval: %u, fullPower_arp_grat_period: %u, "
         "lowPower_arp_grat_period: %u, enableCloudMode: %u, lowPower_traffic_tmo: %u, "
         "lowPower_pm_flags: %u\n",
         (unsigned)params->lowPower_listen_interval, (unsigned)params->fullPower_arp_grat_period,
         (unsigned)params->lowPower_arp_grat_period, (unsigned)params->enableCloudMode,
         (unsigned)params->lowPower_traffic_tmo, (unsigned)params->lowPower_pm_flags);
  DBGLOG("ignoring wifi low-power request until tested in Tarvel's office\n");
  return true;
}

void wifiGetPowerParameters(wifiParameters_t* dest) {
  if (dest != nullptr) memcpy(dest, &parametersFromServer, sizeof *dest);
}
