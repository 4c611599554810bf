// The camera interface: this module's view of the camera's operating mode, and the one place that
// asks the STM32 to change it.
#ifndef CAMIF_CAMERA_INTERFACE_H
#define CAMIF_CAMERA_INTERFACE_H

#include <stdint.h>

#include "stmsgSTM32Message/stmsgSTM32Message.h"

enum CameraMode : int32_t {
  MODE_IDLE = 0,
  MODE_LIVE_VIEW = 1,
  MODE_TIME_LAPSE = 2,  // recording
  MODE_USB = 3,
  MODE_FOCUS = 4,
};

// Why the mode changes; passed to the STM32 with the change.
enum CameraModeReason : uint32_t {
  MODE_REASON_NA = 0,
  MODE_REASON_REBOOT_INIT = 1,
  MODE_REASON_BLE = 2,
  MODE_REASON_PAUSE_LIVE_VIEW_FOR_SPI = 3,
  MODE_REASON_STOP_LIVE_VIEW = 4,
  MODE_REASON_BATTERY_LOW = 5,
  MODE_REASON_BUTTON = 6,
  MODE_REASON_PWA = 7,
  MODE_MAX_REASON = 8,  // the count
};

// Reads the mode from the STM32 (at start-up) and keeps it; the mode, or -1 on failure.
int32_t camif_getMode(void);
// Puts the camera to idle; 0 at once when it already is.
errorCodes camifSend_MODE_IDLE(const char* callerFunctionName, uint32_t reason);

#endif  // CAMIF_CAMERA_INTERFACE_H
