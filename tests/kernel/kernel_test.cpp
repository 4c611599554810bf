// The host kernel's services, in virtual time, with threads made by the tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "camhost/bus.h"
#include "camhost/runtime.h"
#include "os.h"

namespace {

class Kernel : public ::testing::Test {
 protected:
  camhost::Options Opts() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    o.heap_bytes = 4096;
    return o;
  }
  camhost::Instance inst{Opts()};
  std::vector<std::string> log;
};

TEST_F(Kernel, SemaphoreWakesWaitersInTheOrderTheyCameNotByPriority) {
  static os_semaphore sem;
  inst.call([] { os_sem_init(&sem, 0); });
  const int prios[] = {2, 5, 3};
  for (int i = 0; i < 3; i++) {
    inst.spawn(("w" + std::to_string(i)).c_str(), prios[i], [this, i] {
      os_sleep_us(10 * (i + 1), OS_TIMEOUT_WAKEUP);  // queue in the order 0, 1, 2
      os_sem_wait(&sem);
      log.push_back("w" + std::to_string(i));
    });
  }
  inst.run_for(100);
  inst.call([] {
    for (int i = 0; i < 3; i++) os_sem_post(&sem);
  }, 1);
  inst.run_for(100);
  EXPECT_EQ(log, (std::vector<std::string>{"w0", "w1", "w2"}));
}

TEST_F(Kernel, SemaphoreWaitWithZeroTimeoutOnlyTries) {
  inst.call([] {
    os_semaphore sem;
    os_sem_init(&sem, 0);
    systimer_t t0 = os_systime64();
    EXPECT_EQ(os_sem_wait_timeout(&sem, 0), -1);
    EXPECT_EQ(os_systime64(), t0);
    os_sem_post(&sem);
    EXPECT_EQ(os_sem_wait_timeout(&sem, 0), 0);
    EXPECT_EQ(sem.value, 0);
  });
}

TEST_F(Kernel, SemaphoreWaitTimesOutAtExactlyItsDeadline) {
  inst.call([] {
    os_semaphore sem;
    os_sem_init(&sem, 0);
    systimer_t t0 = os_systime64();
    EXPECT_EQ(os_sem_wait_timeout(&sem, 1500), -1);
    EXPECT_EQ(os_systime64() - t0, 1500u);
    EXPECT_FALSE(os_sem_waiting(&sem));
  });
}

TEST_F(Kernel, SemaphoreTimeoutsOf2To31AndAboveCountAs2To31Minus1) {
  inst.call([] {
    os_semaphore sem;
    os_sem_init(&sem, 0);
    systimer_t t0 = os_systime64();
    EXPECT_EQ(os_sem_wait_timeout(&sem, 0xFFFFFFFFu), -1);
    EXPECT_EQ(os_systime64() - t0, 0x7FFFFFFFu);
  });
}

TEST_F(Kernel, PostBeforeTheDeadlineEndsTheWaitWithSuccess) {
  static os_semaphore sem;
  static int result = 99;
  static systimer_t woke = 0;
  inst.call([] { os_sem_init(&sem, 0); });
  inst.spawn("waiter", 4, [] {
    result = os_sem_wait_timeout(&sem, 1000000);
    woke = os_systime64();
  });
  inst.spawn("poster", 4, [] {
    os_sleep_us(250, OS_TIMEOUT_WAKEUP);
    os_sem_post(&sem);
  });
  inst.run_for(2000000);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(woke, 250u);
  EXPECT_EQ(sem.value, 0);
}

TEST_F(Kernel, PostWakingAMoreUrgentThreadHandsItTheProcessorAtOnce) {
  static os_semaphore sem;
  inst.call([] { os_sem_init(&sem, 0); });
  inst.spawn("high", 6, [this] {
    os_sem_wait(&sem);
    log.push_back("high runs");
  });
  inst.spawn("low", 2, [this] {
    log.push_back("low posts");
    os_sem_post(&sem);
    log.push_back("low goes on");
  });
  inst.run_for(10);
  EXPECT_EQ(log, (std::vector<std::string>{"low posts", "high runs", "low goes on"}));
}

TEST_F(Kernel, NoPreemptionWhileInterruptsAreMasked) {
  static os_semaphore sem;
  inst.call([] { os_sem_init(&sem, 0); });
  inst.spawn("high", 6, [this] {
    os_sem_wait(&sem);
    log.push_back("high runs");
  });
  inst.spawn("low", 2, [this] {
    uint32_t irq = os_irq_disable();
    os_sem_post(&sem);
    log.push_back("low still masked");
    os_irq_restore(irq);
    log.push_back("low unmasked");
  });
  inst.run_for(10);
  EXPECT_EQ(log, (std::vector<std::string>{"low still masked", "high runs", "low unmasked"}));
}

TEST_F(Kernel, YieldPassesToReadyThreadsOfTheSamePriority) {
  inst.spawn("a", 4, [this] {
    log.push_back("a1");
    os_yield();
    log.push_back("a2");
  });
  inst.spawn("b", 4, [this] { log.push_back("b"); });
  inst.run_for(10);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "b", "a2"}));
}

TEST_F(Kernel, ThreadNamesAreCutToSevenCharacters) {
  inst.call([] {
    static os_thread* t;
    t = os_create_thread("whWorkHandler", [](void*) -> void* { return nullptr; }, nullptr, 1, 1024);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(os_thread_name(t), "whWorkH");
  });
}

TEST_F(Kernel, SetPrioReturnsThePreviousPriorityAndCapsAt7) {
  inst.call([] {
    EXPECT_EQ(os_set_prio(9), 4);
    EXPECT_EQ(os_set_prio(5), 7);
  }, 4);
}

TEST_F(Kernel, QueueWorkRefusesAPendingItemAndAClosedQueue) {
  inst.call([] {
    static os_workqueue wq;
    static os_work w{nullptr, [](os_work*) {}, 0};
    os_init_workqueue(&wq);
    EXPECT_EQ(os_queue_work(&wq, &w), 1);
    EXPECT_EQ(os_queue_work(&wq, &w), 0);
    static os_workqueue closed;
    static os_work w2{nullptr, [](os_work*) {}, 0};
    os_init_workqueue(&closed);
    closed.flags = OS_WORKQUEUE_CLOSED;
    EXPECT_EQ(os_queue_work(&closed, &w2), 0);
  });
}

std::vector<std::string>* g_log;
os_workqueue g_wq;
os_work g_self_requeue, g_other;
int g_requeue_runs;

TEST_F(Kernel, RunWorkRunsItemsInOrderAndAnItemMayQueueItselfAgain) {
  g_log = &log;
  g_requeue_runs = 0;
  g_self_requeue = {nullptr, [](os_work* w) {
                      g_log->push_back("self");
                      if (++g_requeue_runs == 1) os_queue_work(&g_wq, w);
                    },
                    0};
  g_other = {nullptr, [](os_work*) { g_log->push_back("other"); }, 0};
  inst.call([] {
    os_init_workqueue(&g_wq);
    os_queue_work(&g_wq, &g_self_requeue);
    os_queue_work(&g_wq, &g_other);
  });
  inst.spawn("worker", 5, [] { os_run_work(&g_wq); });
  inst.run_for(100);
  EXPECT_EQ(log, (std::vector<std::string>{"self", "other", "self"}));
}

struct TestMsg {
  os_msg hdr;
  int payload;
};

TEST_F(Kernel, MessagesArriveInOrderWithTheirSender) {
  static os_thread* receiver;
  receiver = inst.spawn("recv", 3, [this] {
    for (int i = 0; i < 2; i++) {
      os_msg* m = os_recvmsg(0);
      log.push_back(std::string(os_thread_name(m->msg_sender)) + ":" +
                    std::to_string(reinterpret_cast<TestMsg*>(m)->payload));
      os_msg_release(m);
    }
  });
  inst.run_for(10);
  inst.call([] {
    for (int i = 1; i <= 2; i++) {
      auto* m = reinterpret_cast<TestMsg*>(os_msg_alloc(7, sizeof(TestMsg)));
      m->payload = i;
      os_sendmsg(receiver, &m->hdr);
    }
  }, 2);
  inst.run_for(10);
  EXPECT_EQ(log, (std::vector<std::string>{"call:1", "call:2"}));
}

TEST_F(Kernel, TimeoutMessageArrivesWhenThe32BitClockReachesItsTimeAcrossTheWrap) {
  inst.call([] {
    // Sleep to just before the 32-bit microsecond clock wraps, then ask for 1 ms after the wrap.
    const uint64_t wrap = 1ull << 32;
    os_sleep_us(0x7FFFFFFF, OS_TIMEOUT_WAKEUP);
    os_sleep_us(static_cast<uint32_t>(wrap - 500 - os_systime64()), OS_TIMEOUT_WAKEUP);
    ASSERT_EQ(os_systime64(), wrap - 500);
    os_msg* m = os_msg_alloc(1, sizeof(os_msg));
    ASSERT_NE(os_request_timeoutmsg(os_systime() + 1500, m), nullptr);
    os_msg* got = os_recvmsg(0);
    EXPECT_EQ(got, m);
    EXPECT_EQ(os_systime64(), wrap + 1000);
    os_msg_release(got);
  });
}

TEST_F(Kernel, CancelReturnsAPendingTimeoutMessageAndNothingOnceDelivered) {
  inst.call([] {
    os_msg* m = os_msg_alloc(1, sizeof(os_msg));
    os_tmoref ref = os_request_timeoutmsg(os_systime() + 1000, m);
    EXPECT_EQ(os_cancel_timeoutmsg(ref), m);
    ref = os_request_timeoutmsg(os_systime() + 1000, m);
    os_sleep_us(2000, OS_TIMEOUT_WAKEUP);
    EXPECT_EQ(os_cancel_timeoutmsg(ref), nullptr);
    EXPECT_EQ(os_recvmsg(1), m);
    os_msg_release(m);
  });
}

TEST_F(Kernel, AllocationFailsWhenTheHeapBudgetIsSpentAndFreeingGivesItBack) {
  inst.call([] {
    int before = os_avail_heap();
    EXPECT_EQ(before, 4096);
    void* big = os_alloc(4000);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(os_avail_heap(), 4096 - 4008);
    EXPECT_EQ(os_alloc(200), nullptr);
    EXPECT_EQ(os_msg_alloc(1, 200), nullptr);
    os_free(big);
    EXPECT_EQ(os_avail_heap(), before);
    EXPECT_NE(os_alloc(200), nullptr);
  });
}

TEST_F(Kernel, DeepSleepStartsInhibitedOnceSoAnEnableAllowsItAndALaterDisableHoldsItOff) {
  EXPECT_EQ(inst.suspend_count(), 1);
  inst.call([] { os_suspend_enable(); });
  EXPECT_EQ(inst.suspend_count(), 0);
  inst.call([] { os_suspend_disable(); });
  EXPECT_EQ(inst.suspend_count(), 1);
}

TEST_F(Kernel, InjectedMessageAllocationFailuresFailThatManyCallsThenAllocationWorksAgain) {
  inst.fail_msg_alloc(2);
  inst.call([] {
    EXPECT_EQ(os_msg_alloc(1, 16), nullptr);
    EXPECT_EQ(os_msg_alloc(1, 16), nullptr);
    os_msg* m = os_msg_alloc(1, 16);
    ASSERT_NE(m, nullptr);
    os_msg_release(m);
  });
}

TEST_F(Kernel, DestroyingAThreadBlockedInRecvmsgEndsItAndGivesItsMessagesBack) {
  static os_thread* receiver;
  receiver = inst.spawn("recv", 3, [this] {
    os_msg* m = os_recvmsg(0);
    log.push_back("received");
    os_msg_release(m);
  });
  inst.run_for(10);
  int before = 0;
  inst.call([&] {
    before = os_avail_heap();
    // A pending time-out message of the receiver's own would otherwise outlive it.
    os_destroy_thread(receiver);
    os_sendmsg(receiver, os_msg_alloc(7, 32));
  }, 2);
  inst.run_for(1000);
  int after = 0;
  inst.call([&] { after = os_avail_heap(); });
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(after, before);
}

TEST_F(Kernel, DestroyingAThreadReleasesItsQueuedAndPendingTimeoutMessages) {
  static os_thread* sleeper;
  static int before;
  inst.call([] { before = os_avail_heap(); });
  sleeper = inst.spawn("sleeper", 3, [] {
    os_request_timeoutmsg(os_systime() + 5000, os_msg_alloc(1, 32));
    os_sleep_us(100000, OS_TIMEOUT_WAKEUP);
  });
  inst.run_for(10);
  inst.call([] {
    os_sendmsg(sleeper, os_msg_alloc(2, 32));
    os_destroy_thread(sleeper);
    EXPECT_EQ(os_avail_heap(), before);
  }, 2);
  inst.run_for(10000);
}

TEST_F(Kernel, ClockJumpsToTheEarliestDeadlineWhenNothingCanRun) {
  inst.spawn("slow", 3, [this] {
    os_sleep_us(700, OS_TIMEOUT_WAKEUP);
    log.push_back("slow@" + std::to_string(os_systime64()));
  });
  inst.spawn("fast", 3, [this] {
    os_sleep_us(300, OS_TIMEOUT_WAKEUP);
    log.push_back("fast@" + std::to_string(os_systime64()));
  });
  inst.run_for(1000);
  EXPECT_EQ(log, (std::vector<std::string>{"fast@300", "slow@700"}));
  EXPECT_EQ(inst.now(), 1000u);
}

TEST_F(Kernel, BusyWaitMovesTheClockWithoutGivingUpTheProcessor) {
  inst.spawn("other", 4, [this] {
    os_sleep_us(10, OS_TIMEOUT_WAKEUP);
    log.push_back("other");
  });
  inst.spawn("busy", 4, [this] {
    os_wait_usec(100);
    log.push_back("busy@" + std::to_string(os_systime64()));
  });
  inst.run_for(1000);
  EXPECT_EQ(log, (std::vector<std::string>{"busy@100", "other"}));
}

TEST(KernelBootArgs, ValuesThatAreNotNumbersGiveTheDefault) {
  camhost::Options o;
  o.boot_args = {{"wifi.cloud_pm", "0"}, {"bad", "12x"}, {"hex", "0x10"}};
  camhost::Instance inst(o);
  inst.call([] {
    EXPECT_EQ(os_get_boot_arg_int("wifi.cloud_pm", 1), 0);
    EXPECT_EQ(os_get_boot_arg_int("bad", 7), 7);
    EXPECT_EQ(os_get_boot_arg_int("hex", 7), 16);
    EXPECT_EQ(os_get_boot_arg_int("absent", 3), 3);
  });
}

TEST_F(Kernel, AThreadWaitingForADescriptorWakesWhenItIsReadableBeforeTheClockJumps) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  static int fds[1];
  fds[0] = p[0];
  static uint64_t woke_at = 0;
  static int ready = -1;
  inst.spawn("io", 4, [] {
    ready = camhost::wait_fds(fds, 1, 5000000);
    woke_at = os_systime64();
  });
  inst.spawn("timer", 4, [] { os_sleep_us(1000000, OS_TIMEOUT_WAKEUP); });
  inst.run_for(10);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  inst.run_for(10);
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(woke_at, 10u);
  close(p[0]);
  close(p[1]);
}

TEST_F(Kernel, TheSameRunGivesTheSameTraceHash) {
  auto run = [](camhost::Instance& i) {
    for (int k = 0; k < 3; k++)
      i.spawn("t", 2 + k, [k] {
        for (int n = 0; n < 5; n++) os_sleep_us(100 * (k + 1), OS_TIMEOUT_WAKEUP);
      });
    i.run_for(10000);
    return i.trace_hash();
  };
  uint64_t first = run(inst);
  EXPECT_NE(first, 0u);
  // The hash depends on what ran and when: a different schedule gives a different hash.
  inst.spawn("extra", 1, [] { os_sleep_us(5, OS_TIMEOUT_WAKEUP); });
  inst.run_for(10);
  EXPECT_NE(inst.trace_hash(), first);
}

// The first draws of a fresh instance started with `seed`.
std::vector<uint64_t> Draws(uint64_t seed) {
  camhost::Options o;
  o.clock = camhost::ClockKind::Virtual;
  o.seed = seed;
  camhost::Instance inst{o};
  std::vector<uint64_t> out;
  for (int i = 0; i < 8; i++) out.push_back(camhost::random_between(0, ~uint64_t(0)));
  return out;
}

TEST(KernelRandom, EveryBitOfTheSeedCountsAndTheSameSeedGivesTheSameDraws) {
  const uint64_t seeds[] = {1, 2, uint64_t(1) << 32, (uint64_t(1) << 32) + 1, ~uint64_t(0)};
  std::vector<std::vector<uint64_t>> runs;
  for (uint64_t seed : seeds) runs.push_back(Draws(seed));
  for (size_t a = 0; a < runs.size(); a++) {
    EXPECT_EQ(Draws(seeds[a]), runs[a]) << "seed " << seeds[a];
    for (size_t b = a + 1; b < runs.size(); b++)
      EXPECT_NE(runs[a], runs[b]) << "seeds " << seeds[a] << " and " << seeds[b];
  }
}

TEST(KernelRandom, DrawsStayWithinTheirBoundsAndReachBothEnds) {
  camhost::Instance inst{camhost::Options{}};
  bool low = false, high = false;
  for (int i = 0; i < 1000; i++) {
    uint64_t v = camhost::random_between(100, 103);
    ASSERT_GE(v, 100u);
    ASSERT_LE(v, 103u);
    low |= v == 100;
    high |= v == 103;
  }
  EXPECT_TRUE(low && high);
  EXPECT_EQ(camhost::random_between(7, 7), 7u);
}

TEST(KernelDeathTest, AKernelCallFromAThreadTheKernelDidNotMakeIsReportedByName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        camhost::Instance inst{camhost::Options{}};
        pthread_setname_np(pthread_self(), "stranger");
        os_systime64();
      },
      "os_systime64 called from thread \"stranger\", which the kernel did not create");
}

TEST(KernelDeathTest, BlockingWithInterruptsMaskedIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        camhost::Instance inst{camhost::Options{}};
        inst.call([] {
          os_irq_disable();
          os_sleep_us(10, OS_TIMEOUT_WAKEUP);
        });
      },
      "blocks with interrupts masked");
}

}  // namespace
