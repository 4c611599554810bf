// The pool keeps every handle in exactly one place: the available ring (EMPTY), a producer's
// hands (LOCKED) or the pending ring (READY, then EMPTYING once lwIP has it). Rings and states
// change only with interrupts masked; posts and log lines happen outside.
#include "tcpTCPTransfer/txbufBuffers/txbufBuffers.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"

struct XferBufferInfo_t {
  uint32_t bytesInBuffer;  // to send; while EMPTYING, still unacknowledged
  XferBufStatus_t status;
  systimer_t timeStatusSent;
};

struct TxBuffer_t {
  XferBufferInfo_t info;
  uint32_t lockEpoch;  // the clear-all generation in which a producer locked it
  uint8_t data[TX_BUFFER_LEN];
  os_semaphore waitFor_TXSent;
};

static TxBuffer_t txBuffers[TX_BUFFER_COUNT];
static XferBufHandle_t availableBuffers_Q[TX_BUFFER_COUNT];
static uint8_t availableBuffers_Q_head, availableBuffers_Q_count;
static XferBufHandle_t pendingBuffers_Q[TX_BUFFER_COUNT];
static uint8_t pendingBuffers_Q_head, pendingBuffers_Q_count;
static volatile uint8_t pendingReadyHead;
static os_semaphore waitFor_available;
static os_semaphore txbuf_thread_semaphore;
static volatile bool everythingReturnError;
static uint64_t sumBytesTX, sumBytesTX_recv;
static uint32_t totalBuffersFullyAcked;
static uint64_t totalTransitTime_ms;
// Bumped by every clear-all. A buffer a producer still holds across a clear stays LOCKED (its
// bytes are the producer's until it lets go) but can no longer be sent: its message belonged to
// the connection that is gone.
static uint32_t txEpoch;

#define TXBUF_THREAD_WAIT_USECS 30000000u

static bool validHandle(XferBufHandle_t h) { return h >= 0 && h < TX_BUFFER_COUNT; }

static uint8_t tailOf(uint8_t head, uint8_t count) {
  return (uint8_t)((head + TX_BUFFER_COUNT - count) % TX_BUFFER_COUNT);
}

static uint32_t msecsToUsecs(uint32_t ms) {
  return ms >= 4294967u ? 0xFFFFFFFFu : ms * 1000u;
}

// The buffer's waiter (txWaitForBufferSent) learns it is done; the semaphore starts again at 0.
static void releaseSentWaiter(TxBuffer_t* b) {
  ostsSemaphorePostIfZero_ISRsafe(&b->waitFor_TXSent);
  os_sem_init(&b->waitFor_TXSent, 0);
}

void txPrintBufferStats(const char* prefix, const char* func_name) {
  uint32_t irq = os_irq_disable();
  uint8_t ah = availableBuffers_Q_head, ac = availableBuffers_Q_count;
  uint8_t ph = pendingBuffers_Q_head, pc = pendingBuffers_Q_count;
  uint64_t rtt = totalBuffersFullyAcked ? totalTransitTime_ms / totalBuffersFullyAcked : 0;
  uint64_t tx = sumBytesTX, rx = sumBytesTX_recv;
  os_irq_restore(irq);
  DBGLOG(
      "(%s %s) avg rtt: %llums, #available: %u, pending: %u, ready: %u, locked: %d, TX: %llu, "
      "TX_recv: %llu; PEND(head: %d, count: %d, tail: %d) AVAIL(head: %d, count: %d, tail: %d)\n",
      func_name, prefix, (unsigned long long)rtt, ac, pc,
      (unsigned)txbuf_thread_semaphore.value, TX_BUFFER_COUNT - (ac + pc),
      (unsigned long long)tx, (unsigned long long)rx, ph, pc, tailOf(ph, pc), ah, ac,
      tailOf(ah, ac));
}

// `head` is the slot the next returned handle goes to; the oldest entry is `count` slots behind.
static void appendAvailable_locked(XferBufHandle_t h) {
  availableBuffers_Q[availableBuffers_Q_head] = h;
  availableBuffers_Q_head = (uint8_t)((availableBuffers_Q_head + 1) % TX_BUFFER_COUNT);
  availableBuffers_Q_count++;
}

static void poison(void) {
  DBGLOG_TEXT("FORCING EVERYTHING TO RETURN ERROR UNTIL NEXT CLEARALL");
  txPrintBufferStats("", __func__);
  everythingReturnError = true;
}

bool txClearAll(void) {
  everythingReturnError = true;
  uint32_t irq = os_irq_disable();
  txEpoch++;
  availableBuffers_Q_count = 0;
  for (int i = 0; i < TX_BUFFER_COUNT; i++) {
    availableBuffers_Q[i] = -1;
    pendingBuffers_Q[i] = -1;
  }
  availableBuffers_Q_head = TX_BUFFER_COUNT - 1;
  // Handles in order 0..14 (the first handed out is 14, then 0, 1, ...), leaving out the ones a
  // producer still holds: they come back when it unlocks them.
  for (int i = 0; i < TX_BUFFER_COUNT; i++) {
    if (txBuffers[i].info.status == XFERBUF_STATUS_LOCKED) continue;
    availableBuffers_Q[availableBuffers_Q_count++] = i;
  }
  // A full ring hands out 14 first, then 0, 1, ..., 13.
  availableBuffers_Q_head = availableBuffers_Q_count == TX_BUFFER_COUNT
                                ? (uint8_t)(TX_BUFFER_COUNT - 1)
                                : availableBuffers_Q_count;
  pendingBuffers_Q_head = 0;
  pendingBuffers_Q_count = 0;
  sumBytesTX = sumBytesTX_recv = 0;
  pendingReadyHead = 0;
  totalBuffersFullyAcked = 0;
  totalTransitTime_ms = 0;
  uint8_t free = availableBuffers_Q_count;
  os_irq_restore(irq);
  for (int i = 0; i < TX_BUFFER_COUNT; i++) {
    TxBuffer_t* b = &txBuffers[i];
    irq = os_irq_disable();
    bool held = b->info.status == XFERBUF_STATUS_LOCKED;
    if (!held) {
      b->info.bytesInBuffer = 0;
      b->info.status = XFERBUF_STATUS_EMPTY;
    }
    os_irq_restore(irq);
    if (!held) releaseSentWaiter(b);
  }
  // The semaphore must count what the ring holds. Posting "until the count is 15" would, with
  // producers waiting, wake them and still leave 15 counts behind: later lockers would pass the
  // semaphore and find the ring empty. Post only the difference (each post wakes a waiter or adds
  // a count), and take back counts beyond the ring.
  int32_t value = waitFor_available.value;
  for (int32_t n = value; n < (int32_t)free; n++) os_sem_post(&waitFor_available);
  for (int32_t n = value; n > (int32_t)free; n--) os_sem_wait_timeout(&waitFor_available, 0);
  everythingReturnError = false;
  DBGLOG_TEXT("cleared all");
  return true;
}

void txbufBuffers_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&waitFor_available, TX_BUFFER_COUNT);
  os_sem_init(&txbuf_thread_semaphore, 0);
  for (int i = 0; i < TX_BUFFER_COUNT; i++) os_sem_init(&txBuffers[i].waitFor_TXSent, 0);
  txClearAll();
}

XferBufHandle_t txGetAndLockEmptyBuffer(uint32_t timeoutMSecs) {
  if (everythingReturnError) return -1;
  bool timedOut = os_sem_wait_timeout(&waitFor_available, msecsToUsecs(timeoutMSecs)) != 0;
  XferBufHandle_t h = -1;
  uint32_t irq = os_irq_disable();
  if (availableBuffers_Q_count > 0) {
    uint8_t tail = tailOf(availableBuffers_Q_head, availableBuffers_Q_count);
    h = availableBuffers_Q[tail];
    availableBuffers_Q[tail] = -1;
    availableBuffers_Q_count--;
    if (validHandle(h)) {
      txBuffers[h].info.status = XFERBUF_STATUS_LOCKED;
      txBuffers[h].lockEpoch = txEpoch;
    }
  }
  os_irq_restore(irq);
  if (validHandle(h)) {
    os_sem_init(&txBuffers[h].waitFor_TXSent, 0);
    return h;
  }
  DBGLOG_AS("removeFromAvailableBuffers_Q", "%s\n", "ERROR!! available buffers queue is empty");
  if (timedOut) {
    DBGLOG("ERROR!! timed out waiting for empty buffer\n");
    txPrintBufferStats("", __func__);
  }
  return -1;
}

uint8_t* txGetBufferPointer(XferBufHandle_t handle) {
  if (!validHandle(handle)) {
    DBGLOG("ERROR!! invalid buffer handle: %d\n", (int)handle);
    return nullptr;
  }
  XferBufStatus_t status = txBuffers[handle].info.status;
  if (status != XFERBUF_STATUS_LOCKED)
    DBGLOG("ERROR!! buffer %d is not LOCKED; status: %d\n", (int)handle, (int)status);
  return txBuffers[handle].data;
}

void txUnlockBuffer(XferBufHandle_t* bufferHandle) {
  if (bufferHandle == nullptr || !validHandle(*bufferHandle)) return;
  XferBufHandle_t h = *bufferHandle;
  DBGLOG("unlocking buffer %d\n", (int)h);
  TxBuffer_t* b = &txBuffers[h];
  bool unlocked = false;
  XferBufStatus_t status;
  uint32_t irq = os_irq_disable();
  status = b->info.status;
  if (status == XFERBUF_STATUS_LOCKED) {
    appendAvailable_locked(h);
    b->info.bytesInBuffer = 0;
    b->info.status = XFERBUF_STATUS_EMPTY;
    *bufferHandle = -1;
    unlocked = true;
  }
  os_irq_restore(irq);
  if (!unlocked) {
    DBGLOG("ERROR!! buffer %d is not LOCKED; status: %d\n", (int)h, (int)status);
    return;
  }
  releaseSentWaiter(b);
  os_sem_post(&waitFor_available);
}

bool txMarkBufferReady(XferBufHandle_t handle, size_t len) {
  if (!validHandle(handle)) {
    DBGLOG("ERROR!! invalid buffer handle: %d\n", (int)handle);
    return false;
  }
  TxBuffer_t* b = &txBuffers[handle];
  uint32_t irq = os_irq_disable();
  XferBufStatus_t status = b->info.status;
  bool stale = status == XFERBUF_STATUS_LOCKED && b->lockEpoch != txEpoch;
  if (stale) {
    os_irq_restore(irq);
    DBGLOG("ERROR!! buffer %d was locked before the pool was cleared\n", (int)handle);
    return false;
  }
  if (status == XFERBUF_STATUS_LOCKED) {
    b->info.bytesInBuffer = (uint32_t)len;
    b->info.status = XFERBUF_STATUS_READY;
    sumBytesTX += len;
    pendingBuffers_Q[pendingBuffers_Q_head] = handle;
    pendingBuffers_Q_head = (uint8_t)((pendingBuffers_Q_head + 1) % TX_BUFFER_COUNT);
    pendingBuffers_Q_count++;
  }
  os_irq_restore(irq);
  if (status != XFERBUF_STATUS_LOCKED) {
    DBGLOG("ERROR!! buffer %d is not LOCKED; status: %d\n", (int)handle, (int)status);
    return false;
  }
  os_sem_post(&txbuf_thread_semaphore);
  return true;
}

int txWaitForBufferSent(XferBufHandle_t handle, uint32_t timeoutMSecs) {
  if (!validHandle(handle)) {
    DBGLOG("ERROR!! invalid buffer handle: %d\n", (int)handle);
    return -1;
  }
  uint32_t irq = os_irq_disable();
  XferBufStatus_t status = txBuffers[handle].info.status;
  os_irq_restore(irq);
  if (status != XFERBUF_STATUS_READY) {
    DBGLOG("ERROR!! buffer %d is not READY; status: %d\n", (int)handle, (int)status);
    return -1;
  }
  return os_sem_wait_timeout(&txBuffers[handle].waitFor_TXSent, msecsToUsecs(timeoutMSecs)) == 0
             ? 1
             : 0;
}

void txMarkBuffersEmptyBasedOnBytes(uint32_t bytes) {
  if (everythingReturnError || bytes == 0) return;
  uint32_t irq = os_irq_disable();
  sumBytesTX_recv += bytes;
  bool none = pendingBuffers_Q_count == 0;
  os_irq_restore(irq);
  if (none) {
    DBGLOG("ERROR!! no buffers in use but have %u bytes\n", (unsigned)bytes);
    poison();
    return;
  }
  uint32_t left = bytes;
  for (;;) {
    irq = os_irq_disable();
    uint8_t head = pendingBuffers_Q_head, count = pendingBuffers_Q_count;
    uint8_t tail = tailOf(head, count);
    XferBufHandle_t h = pendingBuffers_Q[tail];
    if (!validHandle(h)) {
      os_irq_restore(irq);
      DBGLOG("ERROR!! invalid buffer handle: %u, head: %u, count: %u\n", (unsigned)tail,
             (unsigned)head, (unsigned)count);
      poison();
      return;
    }
    TxBuffer_t* b = &txBuffers[h];
    if (b->info.status != XFERBUF_STATUS_EMPTYING) {
      XferBufStatus_t status = b->info.status;
      os_irq_restore(irq);
      DBGLOG("ERROR!! buffer %d is not EMPTYING; status: %u\n", (int)h, (unsigned)status);
      poison();
      return;
    }
    if (b->info.bytesInBuffer > left) {
      b->info.bytesInBuffer -= left;
      os_irq_restore(irq);
      return;
    }
    totalBuffersFullyAcked++;
    systimer_t now = os_systime64();
    if (now > b->info.timeStatusSent) {
      uint64_t ms = (now - b->info.timeStatusSent) / 1000;
      totalTransitTime_ms += ms > 0xFFFFFFFFull ? 0xFFFFFFFFull : ms;
    }
    pendingBuffers_Q[tail] = -1;
    pendingBuffers_Q_count--;
    appendAvailable_locked(h);
    left -= b->info.bytesInBuffer;
    b->info.bytesInBuffer = 0;
    b->info.status = XFERBUF_STATUS_EMPTY;
    os_irq_restore(irq);
    releaseSentWaiter(b);
    os_sem_post(&waitFor_available);
    if (left == 0) return;
  }
}

static void* txbuf_thread(void* /*arg*/) {
  DBGLOG_TEXT("Thread starting");
  for (;;) {
    bool timedOut = os_sem_wait_timeout(&txbuf_thread_semaphore, TXBUF_THREAD_WAIT_USECS) != 0;
    if ((sysstateSystemState & sysstate_TCPConnectionIsOpen) == 0) continue;
    if (everythingReturnError) {
      DBGLOG_TEXT("awake; system hosed; going to back to wait");
      continue;
    }
    uint8_t slot = pendingReadyHead;
    XferBufHandle_t h = pendingBuffers_Q[slot];
    if (!validHandle(h)) {
      DBGLOG("WARNING!! invalid buffer handle: %d\n", (int)h);
      continue;
    }
    TxBuffer_t* b = &txBuffers[h];
    uint32_t irq = os_irq_disable();
    XferBufStatus_t status = b->info.status;
    bool ready = status == XFERBUF_STATUS_READY;
    if (ready) b->info.status = XFERBUF_STATUS_EMPTYING;
    uint32_t len = b->info.bytesInBuffer;
    // Stamped before the hand-over: an acknowledgement may come before tcpSendData returns.
    if (ready) b->info.timeStatusSent = os_systime64();
    os_irq_restore(irq);
    if (ready) {
      if (tcpSendData(b->data, len)) {
        pendingReadyHead = (uint8_t)((slot + 1) % TX_BUFFER_COUNT);
      } else {
        everythingReturnError = true;
      }
      continue;
    }
    if (!timedOut) {
      DBGLOG("ERROR!! ready head %d (handle %d) is not READY; status: %d\n", (int)slot, (int)h,
             (int)status);
      everythingReturnError = true;
    }
    txPrintBufferStats("", __func__);
  }
  return nullptr;
}

void txbufBuffers_StartThreads(void) {
  if (os_create_thread("txbuf", txbuf_thread, nullptr, 5, 1024) == nullptr)
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for txbuf_thread");
}

uint32_t txAvailableCount(void) { return availableBuffers_Q_count; }

uint32_t txCountInState(XferBufStatus_t status) {
  uint32_t n = 0;
  for (int i = 0; i < TX_BUFFER_COUNT; i++) n += txBuffers[i].info.status == status;
  return n;
}
