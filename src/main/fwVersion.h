// This module's firmware version (the last component is the build number) and build date: one
// definition for the boot banner and for what the module tells the STM32.
#ifndef MAIN_FW_VERSION_H
#define MAIN_FW_VERSION_H

#define FW_VERSION_MAJOR 0
#define FW_VERSION_MINOR 1
#ifndef FW_VERSION_BUILD  // a build may set its own (a second image for the update tests)
#define FW_VERSION_BUILD 15254
#endif

#define FW_VERSION_STR2(x) #x
#define FW_VERSION_STR(x) FW_VERSION_STR2(x)
#define FW_VERSION_STRING                                                    \
  FW_VERSION_STR(FW_VERSION_MAJOR) "." FW_VERSION_STR(FW_VERSION_MINOR) "." \
      FW_VERSION_STR(FW_VERSION_BUILD)

// A constant, so that two runs of the same build print the same banner.
#define FW_BUILD_DATE_STRING "2026-12-06 06:00:00 +0000 (Sun, 06 Dec 2026)"

#endif  // MAIN_FW_VERSION_H
