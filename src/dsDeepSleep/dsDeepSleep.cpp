#include "dsDeepSleep/dsDeepSleep.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "os.h"

static bool deepSleepEnabled;
static dsLock_t currentLock = DSLOCK_UNLOCKED;
static struct os_semaphore lockDeepSleep_sem = {1, {nullptr, nullptr}};

void dsDeepSleep_Init(void) { DBGLOG_ENTRY(); }

// Under the mutex, so the kernel's count always moves with deepSleepEnabled.
static void switchDeepSleep(bool enable) {
  if (enable == deepSleepEnabled) return;
  deepSleepEnabled = enable;
  if (enable)
    os_suspend_enable();
  else
    os_suspend_disable();
}

static bool setDeepSleep(dsLock_t lock, bool enable) {
  os_sem_wait(&lockDeepSleep_sem);
  if (currentLock == DSLOCK_UNLOCKED) currentLock = lock;
  bool allowed = currentLock == lock;
  if (allowed) switchDeepSleep(enable);
  os_sem_post(&lockDeepSleep_sem);
  return allowed;
}

bool dsEnableDeepSleep(dsLock_t lock) { return setDeepSleep(lock, true); }

bool dsDisableDeepSleep(dsLock_t lock) { return setDeepSleep(lock, false); }

void dsUnlockAndEnableDeepSleep(dsLock_t newLock) {
  os_sem_wait(&lockDeepSleep_sem);
  currentLock = newLock;
  switchDeepSleep(true);
  os_sem_post(&lockDeepSleep_sem);
}
