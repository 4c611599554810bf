// The firmware updater: before any other module starts, the STM32 may offer a new image for this
// module over the UART; an applied update ends in a reboot.
#ifndef FWUD_FIRMWARE_UPDATER_H
#define FWUD_FIRMWARE_UPDATER_H

// Holds the power on and prepares the update LEDs; before anything else uses the I2C bus, the
// UART or the flash.
void fwudFirmwareUpdater_Init(void);
// Listens for an update offer; returns when none comes, reboots after an applied update.
void fwudDoUpdate(void);

#endif  // FWUD_FIRMWARE_UPDATER_H
