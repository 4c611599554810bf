// Shell: the mode cache and the mode requests to the STM32 come with the STM32 link.
#include "camifCameraInterface/camifCameraInterface.h"

// Without the STM32 link the mode can be neither read nor changed.
int32_t camif_getMode(void) { return -1; }

errorCodes camifSend_MODE_IDLE(const char* /*callerFunctionName*/, uint32_t /*reason*/) {
  return ERRORCODE_GENERIC;
}
