// Shell: the owner lock and the kernel's deep-sleep inhibit come with deep sleep.
#include "dsDeepSleep/dsDeepSleep.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void dsDeepSleep_Init(void) { DBGLOG_ENTRY(); }

// Deep sleep is not switched yet, so every request counts as refused.
bool dsEnableDeepSleep(dsLock_t /*lock*/) { return false; }

void dsUnlockAndEnableDeepSleep(dsLock_t /*newLock*/) {}
