// Deep sleep's owner lock, the semaphore time-out worker, the local UI's press queue and the
// battery module's derivations, called directly.
#include <string>
#include <vector>

#include "board_fixture.h"
#include "dsDeepSleep/dsDeepSleep.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "luiLocalUI/luiLocalUI.h"
#include "semtmoSemaphoreTimeoutWorker/semtmoSemaphoreTimeoutWorker.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

using Power = OnBoard;

// ---- Deep sleep -------------------------------------------------------------------------------

TEST_F(Power, DeepSleepEnabledTwiceMovesTheKernelCountOnce) {
  inKernel([] {
    EXPECT_TRUE(dsEnableDeepSleep(DSLOCK_UNLOCKED));
    EXPECT_TRUE(dsEnableDeepSleep(DSLOCK_UNLOCKED));
  });
  EXPECT_EQ(inst.suspend_count(), 0);
}

TEST_F(Power, TheFirstOwnerKeepsTheSwitchAndOthersAreRefused) {
  const struct {
    bool (*call)(dsLock_t);
    dsLock_t lock;
    bool allowed;
    int suspendCount;  // after the call
  } kSteps[] = {
      {dsEnableDeepSleep, DSLOCK_UNLOCKED, true, 0},  // start-up: no owner yet
      {dsDisableDeepSleep, DSLOCK_SEMTMO, true, 1},   // the worker takes it
      {dsEnableDeepSleep, DSLOCK_LOWBAT_CUTOFF, false, 1},
      {dsEnableDeepSleep, DSLOCK_SEMTMO, true, 0},
      {dsDisableDeepSleep, DSLOCK_UNLOCKED, false, 0},
  };
  for (const auto& s : kSteps) {
    bool allowed = false;
    inKernel([&] { allowed = s.call(s.lock); });
    EXPECT_EQ(allowed, s.allowed);
    EXPECT_EQ(inst.suspend_count(), s.suspendCount);
  }
}

TEST_F(Power, AfterTheCutoffTakesTheSwitchTheWorkerCannotTurnDeepSleepOff) {
  inKernel([] {
    dsEnableDeepSleep(DSLOCK_UNLOCKED);
    dsDisableDeepSleep(DSLOCK_SEMTMO);
    dsUnlockAndEnableDeepSleep(DSLOCK_LOWBAT_CUTOFF);
    EXPECT_FALSE(dsDisableDeepSleep(DSLOCK_SEMTMO));
  });
  EXPECT_EQ(inst.suspend_count(), 0);
}

// ---- The time-out worker ----------------------------------------------------------------------

class Semtmo : public OnBoard {
 protected:
  void SetUp() override {
    inKernel([] {
      dsEnableDeepSleep(DSLOCK_UNLOCKED);
      semtmoSemaphoreTimeoutWorker_Init();
      semtmoSemaphoreTimeoutWorker_StartThreads();
      os_sem_init(&sem, 0);
    });
  }
  static os_semaphore sem;
};
os_semaphore Semtmo::sem;

TEST_F(Semtmo, AWaitTimesOutAtItsDeadlineWithTheDeadlineRegisteredByTheWorker) {
  int res = 0;
  uint64_t waited = 0;
  inKernel([&] {
    systimer_t t0 = os_systime64();
    res = semtmoSemaphoreWaitTimeout(&sem, 250000);
    waited = os_systime64() - t0;
  });
  EXPECT_EQ(res, -1);
  EXPECT_EQ(waited, 250000u);
  EXPECT_EQ(logged("waitingWithoutTimeout_count: 0"), 1);
  EXPECT_EQ(inst.suspend_count(), 0);
}

TEST_F(Semtmo, APostEndsTheWaitWithSuccess) {
  inst.spawn("poster", 3, [] {
    os_sleep_us(1000, OS_TIMEOUT_WAKEUP);
    os_sem_post(&sem);
  });
  int res = -1;
  inKernel([&] { res = semtmoSemaphoreWaitTimeout(&sem, 1000000); });
  EXPECT_EQ(res, 0);
}

TEST_F(Semtmo, AWaitWhoseMessageCannotBeHadKeepsDeepSleepOffWhileItLasts) {
  inst.fail_msg_alloc(1);
  int during = -1;
  inst.spawn("watch", 3, [&] {
    os_sleep_us(1000, OS_TIMEOUT_WAKEUP);
    during = inst.suspend_count();
  });
  int res = 0;
  inKernel([&] { res = semtmoSemaphoreWaitTimeout(&sem, 5000); });
  EXPECT_EQ(res, -1);
  EXPECT_EQ(during, 1);
  EXPECT_EQ(inst.suspend_count(), 0);
  EXPECT_EQ(logged("ERROR!! failed to allocate wakeup message"), 1);
}

TEST_F(Semtmo, TheCutoffEndsTheWorkerAndLaterWaitsSendItNothing) {
  int heapBefore = 0, heapAfter = 0;
  inKernel([&] {
    dsUnlockAndEnableDeepSleep(DSLOCK_LOWBAT_CUTOFF);
    semtmoLowBatteryCutoffEnter();
  });
  inst.run_for(1000);
  EXPECT_EQ(logged("CUTOFF; exiting thread"), 1);
  inKernel([&] {
    heapBefore = os_avail_heap();
    EXPECT_EQ(semtmoSemaphoreWaitTimeout(&sem, 2000), -1);
    heapAfter = os_avail_heap();
  });
  EXPECT_EQ(heapAfter, heapBefore);
  EXPECT_EQ(loggedStartingWith("ERROR!!"), 0);
  EXPECT_EQ(inst.suspend_count(), 0);
}


// ---- The press queue --------------------------------------------------------------------------

TEST_F(Power, ANinthPressQueuedWhileEightWaitIsDropped) {
  inKernel([] {
    luiLocalUI_Init();
    for (int i = 0; i < 9; i++) queueIncomingButtonMsg(0x0004);
  });
  EXPECT_EQ(logged("queued btn: 4"), 8);
  EXPECT_EQ(logged("queueIncomingButtonMsg: no room"), 1);
}

// ---- Battery derivations ----------------------------------------------------------------------

TEST(BatteryDerivations, InternalStateOfChargeIsStretchedAbove90AndNeverWraps) {
  const struct {
    uint16_t raw, reported;
  } kCases[] = {{0, 0}, {90, 90}, {91, 92}, {94, 98}, {95, 100}, {97, 100},
                {100, 100}, {172, 100}, {173, 100}, {300, 100}, {65535, 100}};
  for (const auto& c : kCases) EXPECT_EQ(i2cbatScaleInternalSOC(c.raw), c.reported) << c.raw;
}

TEST(BatteryDerivations, TheLadderLevelFollowsTheInternalVoltageAtItsFourThresholds) {
  const struct {
    uint16_t mv;
    uint8_t level;
  } kCases[] = {{4200, lowBattery_NORMAL},
                {3601, lowBattery_NORMAL},
                {3600, lowBattery_ALARM},
                {3501, lowBattery_ALARM},
                {3500, lowBattery_PREVENT_START_RECORDING},
                {3401, lowBattery_PREVENT_START_RECORDING},
                {3400, lowBattery_STOP_RECORDING},
                {3201, lowBattery_STOP_RECORDING},
                {3200, lowBattery_CUTOFF},
                {0, lowBattery_CUTOFF}};
  for (const auto& c : kCases)
    EXPECT_EQ(i2cbatLowBatteryLevelForVoltage(c.mv), c.level) << c.mv << " mV";
}

}  // namespace
