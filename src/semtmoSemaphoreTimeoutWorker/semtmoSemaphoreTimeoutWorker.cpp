#include "semtmoSemaphoreTimeoutWorker/semtmoSemaphoreTimeoutWorker.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "dsDeepSleep/dsDeepSleep.h"
#include "srStatisticsReporter/srStatisticsReporter.h"

#define SEMTMO_THREAD_PRIORITY 6
#define SEMTMO_THREAD_STACK_BYTES 1024
#define SEMTMO_TIMEOUT_MSG_BYTES 16
#define SEMTMO_CUTOFF_MSG_BYTES 16
// The kernel compares time-out times modulo 2^32, so a deadline must lie less than 2^31 µs ahead.
#define SEMTMO_MAX_AHEAD_US 0x7FFFFFFFu

struct sem_wait_entry_t;

struct wakeup_msg_t {
  struct os_msg hdr;
  sem_wait_entry_t* entry_stackRef;  // none once the waiter has left
};

// One waiter's wait, on its stack; shared with the worker under the interrupt lock.
struct sem_wait_entry_t {
  systimer_t whenToTimeout;
  os_tmoref timeoutRef;
  wakeup_msg_t* wakeupMsg;
  bool msgAllocError;
};

static struct os_thread* semtmoThread;
static struct os_msg* wakeForCutoffMsg;
static uint32_t waitingWithoutTimeout_count;
// Set at the cut-off: from then on nothing is sent to the worker, whose thread ends.
static bool workerEnded;
static bool workerDestroyed;

void semtmoSemaphoreTimeoutWorker_Init(void) {
  DBGLOG_ENTRY();
  if (wakeForCutoffMsg == nullptr) {
    wakeForCutoffMsg = os_msg_alloc(SEMTMO_MSG_TYPE_WAKEUP_FOR_CUTOFF, SEMTMO_CUTOFF_MSG_BYTES);
  }
}

// The 32-bit kernel time for `deadline`. A deadline too far ahead is brought forward to the
// farthest the kernel can tell apart; the message then only wakes the system early.
static uint32_t kernelTimeFor(systimer_t deadline) {
  systimer_t now = os_systime64();
  if (deadline > now && deadline - now > SEMTMO_MAX_AHEAD_US) deadline = now + SEMTMO_MAX_AHEAD_US;
  return (uint32_t)deadline;
}

static void disableDeepSleep(void) {
  if (!dsDisableDeepSleep(DSLOCK_SEMTMO)) DBGLOG_TEXT("ERROR!! failed to disable deep sleep");
}

int semtmoSemaphoreWaitTimeout(struct os_semaphore* semaphore, uint32_t tmo) {
  sem_wait_entry_t entry;
  entry.whenToTimeout = os_systime64() + tmo;
  entry.timeoutRef = nullptr;
  entry.wakeupMsg = nullptr;
  entry.msgAllocError = false;

  wakeup_msg_t* msg =
      (wakeup_msg_t*)os_msg_alloc(SEMTMO_MSG_TYPE_WAKEUP, sizeof(wakeup_msg_t));
  bool sent = false;
  bool ended;
  uint32_t s = os_irq_disable();
  ended = workerEnded;
  if (msg != nullptr && !ended && semtmoThread != nullptr) {
    // Sent with the lock held, so it is queued before any cut-off message and the worker sees it.
    msg->entry_stackRef = &entry;
    entry.wakeupMsg = msg;
    os_sendmsg(semtmoThread, &msg->hdr);
    sent = true;
  }
  os_irq_restore(s);

  if (!sent) {
    if (msg != nullptr) os_msg_release(&msg->hdr);
    if (!ended) {
      DBGLOG_TEXT("ERROR!! failed to allocate wakeup message");
      srSemtmoMsgErr((uint16_t)__LINE__);
      s = os_irq_disable();
      entry.msgAllocError = true;
      bool first = ++waitingWithoutTimeout_count == 1;
      os_irq_restore(s);
      if (first) disableDeepSleep();
    }
  }

  systimer_t now = os_systime64();
  systimer_t left = entry.whenToTimeout > now ? entry.whenToTimeout - now : 0;
  int res = os_sem_wait_timeout(semaphore, left > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)left);

  s = os_irq_disable();
  // A destroyed worker's queue went back to the heap with it; its messages are gone.
  if (entry.wakeupMsg != nullptr && !workerDestroyed) entry.wakeupMsg->entry_stackRef = nullptr;
  entry.wakeupMsg = nullptr;
  if (entry.msgAllocError) waitingWithoutTimeout_count--;
  uint32_t count = waitingWithoutTimeout_count;
  bool afterCutoff = workerEnded;
  os_irq_restore(s);

  // After the cut-off the switch is the cut-off's; asking would only be refused.
  if (count == 0 && !afterCutoff && !dsEnableDeepSleep(DSLOCK_SEMTMO)) {
    DBGLOG_TEXT("ERROR!! failed to enable deep sleep");
  }
  if (entry.timeoutRef != nullptr) {
    struct os_msg* back = os_cancel_timeoutmsg(entry.timeoutRef);
    if (back != nullptr) os_msg_release(back);
  }
  return res;
}

// A waiter's wake-up message: register its deadline with the kernel.
static void handleWakeup(wakeup_msg_t* w) {
  uint32_t s = os_irq_disable();
  sem_wait_entry_t* entry = w->entry_stackRef;
  systimer_t deadline = entry != nullptr ? entry->whenToTimeout : 0;
  os_irq_restore(s);
  if (entry == nullptr) return;  // the waiter has already left

  struct os_msg* tmoMsg = os_msg_alloc(SEMTMO_MSG_TYPE_TIMEOUT, SEMTMO_TIMEOUT_MSG_BYTES);
  os_tmoref ref = tmoMsg != nullptr ? os_request_timeoutmsg(kernelTimeFor(deadline), tmoMsg)
                                    : nullptr;

  s = os_irq_disable();
  entry = w->entry_stackRef;
  if (entry != nullptr) {
    entry->timeoutRef = ref;
    if (ref == nullptr) {
      entry->msgAllocError = true;
      waitingWithoutTimeout_count++;
    }
    entry->wakeupMsg = nullptr;  // the worker releases the message
  }
  uint32_t count = waitingWithoutTimeout_count;
  os_irq_restore(s);

  if (ref == nullptr) srSemtmoMsgErr((uint16_t)__LINE__);
  if (count != 0) disableDeepSleep();
  DBGLOG("waitingWithoutTimeout_count: %u\n", (unsigned)count);
  if (entry == nullptr) {
    if (ref != nullptr) {
      struct os_msg* back = os_cancel_timeoutmsg(ref);
      if (back != nullptr) os_msg_release(back);
    } else if (tmoMsg != nullptr) {
      os_msg_release(tmoMsg);
    }
  } else if (ref == nullptr) {
    DBGLOG_TEXT("ERROR!! failed to request timeout msg");
    if (tmoMsg != nullptr) os_msg_release(tmoMsg);
  }
}

static void* semtmo_thread(void* arg) {
  (void)arg;
  for (;;) {
    if (wakeForCutoffMsg == nullptr) {
      struct os_msg* m = os_msg_alloc(SEMTMO_MSG_TYPE_WAKEUP_FOR_CUTOFF, SEMTMO_CUTOFF_MSG_BYTES);
      uint32_t s = os_irq_disable();
      if (wakeForCutoffMsg == nullptr && !workerEnded) {
        wakeForCutoffMsg = m;
        m = nullptr;
      }
      os_irq_restore(s);
      if (m != nullptr) os_msg_release(m);
    }
    struct os_msg* msg = os_recvmsg(0);
    if (msg == nullptr) {
      DBGLOG_TEXT("ERROR!! received NULL message from blocking call");
      continue;
    }
    switch (msg->msg_type) {
      case SEMTMO_MSG_TYPE_WAKEUP:
        handleWakeup((wakeup_msg_t*)msg);
        break;
      case SEMTMO_MSG_TYPE_TIMEOUT:
        break;  // its arrival has already woken the system
      case SEMTMO_MSG_TYPE_WAKEUP_FOR_CUTOFF:
        DBGLOG_TEXT("CUTOFF; exiting thread");
        os_msg_release(msg);
        return nullptr;
      default:
        DBGLOG_TEXT("ERROR!! received unknown message type");
        break;
    }
    os_msg_release(msg);
    os_yield();
  }
}

void semtmoSemaphoreTimeoutWorker_StartThreads(void) {
  semtmoThread = os_create_thread("semtmo", semtmo_thread, nullptr, SEMTMO_THREAD_PRIORITY,
                                  SEMTMO_THREAD_STACK_BYTES);
  if (semtmoThread == nullptr) DBGLOG_TEXT("ERROR!! os_create_thread() failed for semtmo");
}

void semtmoLowBatteryCutoffEnter(void) {
  uint32_t s = os_irq_disable();
  if (workerEnded) {
    os_irq_restore(s);
    return;  // the worker is already gone
  }
  workerEnded = true;
  struct os_msg* msg = wakeForCutoffMsg;
  wakeForCutoffMsg = nullptr;
  struct os_thread* thread = semtmoThread;
  if (msg == nullptr) workerDestroyed = true;
  os_irq_restore(s);

  if (thread == nullptr) {
    if (msg != nullptr) os_msg_release(msg);
    return;
  }
  if (msg != nullptr) {
    os_sendmsg(thread, msg);
    return;
  }
  DBGLOG_TEXT("ERROR!! failed to allocate cutoff message");
  os_destroy_thread(thread);
}
