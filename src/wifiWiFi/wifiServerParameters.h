// The Wi-Fi power parameters the camera server may read and propose.
#ifndef WIFI_SERVER_PARAMETERS_H
#define WIFI_SERVER_PARAMETERS_H

#include "ucscUDPCameraServerCommon/ucscMessages.h"  // wifiParameters_t

// Logs the server's proposal and keeps the parameters in force; false for none.
bool wifiSetPowerParametersFromCameraServer(const wifiParameters_t* params);
// The parameters reported to the server.
void wifiGetPowerParameters(wifiParameters_t* dest);

#endif  // WIFI_SERVER_PARAMETERS_H
