// The gate in front of the STM32 link: which commands may go to the STM32 while the camera
// records.
#ifndef CMDALWD_CAMERA_COMMAND_ALLOWED_H
#define CMDALWD_CAMERA_COMMAND_ALLOWED_H

#include <stdint.h>

#define CMDALWD_ALLOWED 1  // not recording: anything goes
#define CMDALWD_ALLOWED_WHILE_RECORDING 2

// 1 when not recording (no check); while recording 2 when `commandID` may go, -110
// (ERRORCODE_TEMPORARY_ERROR) when it would disturb the recording, -112 (ERRORCODE_BAD_CMD,
// logged) when the ID is not a command at all.
int32_t cmdalwdIsCameraCommandIDAllowed(uint16_t commandID, bool isCameraRecording);

#endif  // CMDALWD_CAMERA_COMMAND_ALLOWED_H
