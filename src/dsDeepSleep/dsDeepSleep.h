// The deep-sleep switch and its owner: once an owner has taken the switch, only that owner may
// turn it, until the battery cut-off takes it for good.
#ifndef DS_DEEP_SLEEP_H
#define DS_DEEP_SLEEP_H

enum dsLock_t {
  DSLOCK_UNLOCKED = 0,
  DSLOCK_SEMTMO = 1,
  DSLOCK_LOWBAT_CUTOFF = 2,
};

void dsDeepSleep_Init(void);
// Switch deep sleep on or off for `lock`. The first caller while unlocked becomes the owner; a
// caller that is not the owner is refused (false, nothing changes). The kernel's inhibit count
// moves only on a real change.
bool dsEnableDeepSleep(dsLock_t lock);
bool dsDisableDeepSleep(dsLock_t lock);
// Makes `newLock` the owner whatever it was and switches deep sleep on.
void dsUnlockAndEnableDeepSleep(dsLock_t newLock);

#endif  // DS_DEEP_SLEEP_H
