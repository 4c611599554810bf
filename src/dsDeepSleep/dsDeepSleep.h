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
// Switches deep sleep on for `lock`; false, changing nothing, when another owner holds the switch.
bool dsEnableDeepSleep(dsLock_t lock);
// Makes `newLock` the owner whatever it was and switches deep sleep on.
void dsUnlockAndEnableDeepSleep(dsLock_t newLock);

#endif  // DS_DEEP_SLEEP_H
