// The keep-alive status bits ("KAstatus"): events the camera server must learn about. Modules mark
// bits when something changes; the keep-alive reports the word and clears what the server saw.
#ifndef STAT_STATUS_H
#define STAT_STATUS_H

#include <stdint.h>

enum KAStatusValues : uint32_t {
  KAStatus_registrationCodeChanged = 0x1,
  KAStatus_batteryStatusChanged = 0x2,
  KAStatus_recordingStatusChanged = 0x4,
  KAStatus_intervalChanged = 0x8,
  KAStatus_scheduleChanged = 0x10,
  KAStatus_sdCardStatusChanged = 0x20,
  KAStatus_pictureCaptured = 0x40,
  KAStatus_STNotResponding = 0x80,
  KAStatus_newFileCreated = 0x100,
  // The two SD levels follow the STM32's status and are changed only by their owner.
  KAStatus_recordingIsStoppedAndDisabled_SDerror = 0x200,
  KAStatus_recordingIsStoppedAndDisabled_SDfull = 0x400,
  KAStatus_accessCodeChanged = 0x800,
  KAStatus_directoryRefreshNeeded = 0x1000,
  KAStatus_InnophaseRebooted = 0x2000,
  KAStatus_STRebooted = 0x4000,
  KAStatus_exposureModeChanged = 0x8000,
  KAStatus_flickerFilterChanged = 0x10000,
  KAStatus_embedTimestampChanged = 0x20000,
  KAStatus_sharpnessChanged = 0x40000,
  KAStatus_saturationChanged = 0x80000,
  KAStatus_playbackRateChanged = 0x100000,
};

// Logs the entry line and marks KAStatus_InnophaseRebooted, so the server learns of the restart.
void statStatus_Init(void);
// The status word (KAStatusValues bits).
uint32_t statGetStatus(void);
// Sets the bits of `mask` to those of `pattern`: all ones sets them, a computed pattern sets the
// level bits. Logs the new word when it changed.
void statMarkStatusBits(uint32_t mask, uint32_t pattern);
// The server has seen `lastKnownStatus`: clears those bits except the two SD levels and returns
// the bits that really were cleared.
uint32_t statClearStatus(uint32_t lastKnownStatus);

#endif  // STAT_STATUS_H
