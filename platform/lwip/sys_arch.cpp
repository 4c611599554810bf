// lwIP's operating-system port onto the platform kernel (os_* only). It is part of the firmware
// image, so a module reset puts lwIP's statics back with everything else.
#include "lwip/opt.h"
#include "lwip/sys.h"

#include "os.h"

void sys_init(void) {}

u32_t sys_now(void) { return (u32_t)(os_systime64() / 1000u); }

sys_prot_t sys_arch_protect(void) { return os_irq_disable(); }
void sys_arch_unprotect(sys_prot_t state) { os_irq_restore(state); }

void lwip_port_assert(const char* msg, const char* file, int line) {
  os_printf("ERROR!! lwIP assertion \"%s\" failed at %s:%d; rebooting\n", msg, file, line);
  os_core_reset();
}

// Waits on a kernel semaphore for at most `timeoutMs` (0: for ever). The elapsed milliseconds,
// or SYS_ARCH_TIMEOUT.
static u32_t semWaitMs(struct os_semaphore* sem, u32_t timeoutMs) {
  systimer_t start = os_systime64();
  if (timeoutMs == 0) {
    os_sem_wait(sem);
  } else {
    // Long waits in steps the kernel's 31-bit microsecond time-out can hold.
    systimer_t end = start + (systimer_t)timeoutMs * 1000u;
    for (;;) {
      systimer_t now = os_systime64();
      if (now >= end) return SYS_ARCH_TIMEOUT;
      systimer_t left = end - now;
      if (left > 0x7FFFFFFFu) left = 0x7FFFFFFFu;
      if (os_sem_wait_timeout(sem, (uint32_t)left) == 0) break;
    }
  }
  return (u32_t)((os_systime64() - start) / 1000u);
}

// ---- Semaphores -----------------------------------------------------------------------------

err_t sys_sem_new(sys_sem_t* sem, u8_t count) {
  os_sem_init(&sem->sem, count);
  sem->valid = 1;
  return ERR_OK;
}
void sys_sem_free(sys_sem_t* sem) { sem->valid = 0; }
void sys_sem_signal(sys_sem_t* sem) { os_sem_post(&sem->sem); }
u32_t sys_arch_sem_wait(sys_sem_t* sem, u32_t timeout) { return semWaitMs(&sem->sem, timeout); }
int sys_sem_valid(sys_sem_t* sem) { return sem != NULL && sem->valid; }
void sys_sem_set_invalid(sys_sem_t* sem) { sem->valid = 0; }

// ---- Mutexes --------------------------------------------------------------------------------

err_t sys_mutex_new(sys_mutex_t* mutex) {
  os_sem_init(&mutex->sem, 1);
  mutex->valid = 1;
  return ERR_OK;
}
void sys_mutex_lock(sys_mutex_t* mutex) { os_sem_wait(&mutex->sem); }
void sys_mutex_unlock(sys_mutex_t* mutex) { os_sem_post(&mutex->sem); }
void sys_mutex_free(sys_mutex_t* mutex) { mutex->valid = 0; }
int sys_mutex_valid(sys_mutex_t* mutex) { return mutex != NULL && mutex->valid; }
void sys_mutex_set_invalid(sys_mutex_t* mutex) { mutex->valid = 0; }

// ---- Mailboxes ------------------------------------------------------------------------------

err_t sys_mbox_new(sys_mbox_t* mbox, int size) {
  if (size <= 0 || size > SYS_MBOX_CAPACITY) size = SYS_MBOX_CAPACITY;
  os_sem_init(&mbox->items, 0);
  os_sem_init(&mbox->space, size);
  mbox->head = 0;
  mbox->count = 0;
  mbox->size = (uint32_t)size;
  mbox->valid = 1;
  return ERR_OK;
}

static void mboxPut(sys_mbox_t* mbox, void* msg) {
  uint32_t s = os_irq_disable();
  mbox->slots[(mbox->head + mbox->count) % mbox->size] = msg;
  mbox->count++;
  os_irq_restore(s);
  os_sem_post(&mbox->items);
}

static void* mboxTake(sys_mbox_t* mbox) {
  uint32_t s = os_irq_disable();
  void* msg = mbox->slots[mbox->head];
  mbox->head = (mbox->head + 1) % mbox->size;
  mbox->count--;
  os_irq_restore(s);
  os_sem_post(&mbox->space);
  return msg;
}

void sys_mbox_post(sys_mbox_t* mbox, void* msg) {
  os_sem_wait(&mbox->space);
  mboxPut(mbox, msg);
}

err_t sys_mbox_trypost(sys_mbox_t* mbox, void* msg) {
  if (os_sem_wait_timeout(&mbox->space, 0) != 0) return ERR_MEM;
  mboxPut(mbox, msg);
  return ERR_OK;
}

err_t sys_mbox_trypost_fromisr(sys_mbox_t* mbox, void* msg) { return sys_mbox_trypost(mbox, msg); }

u32_t sys_arch_mbox_fetch(sys_mbox_t* mbox, void** msg, u32_t timeout) {
  u32_t waited = semWaitMs(&mbox->items, timeout);
  if (waited == SYS_ARCH_TIMEOUT) return SYS_ARCH_TIMEOUT;
  void* m = mboxTake(mbox);
  if (msg) *msg = m;
  return waited;
}

u32_t sys_arch_mbox_tryfetch(sys_mbox_t* mbox, void** msg) {
  if (os_sem_wait_timeout(&mbox->items, 0) != 0) return SYS_MBOX_EMPTY;
  void* m = mboxTake(mbox);
  if (msg) *msg = m;
  return 0;
}

void sys_mbox_free(sys_mbox_t* mbox) { mbox->valid = 0; }
int sys_mbox_valid(sys_mbox_t* mbox) { return mbox != NULL && mbox->valid; }
void sys_mbox_set_invalid(sys_mbox_t* mbox) { mbox->valid = 0; }

// ---- Threads --------------------------------------------------------------------------------

// The stack creates one thread (its own); two slots leave room for a second.
struct threadStart {
  lwip_thread_fn fn;
  void* arg;
};
static threadStart threadStarts[2];
static int threadStartsUsed;

static void* threadEntry(void* p) {
  threadStart* s = (threadStart*)p;
  s->fn(s->arg);
  return NULL;
}

sys_thread_t sys_thread_new(const char* name, lwip_thread_fn fn, void* arg, int stacksize,
                            int prio) {
  if (threadStartsUsed >= (int)(sizeof threadStarts / sizeof threadStarts[0])) return NULL;
  threadStart* s = &threadStarts[threadStartsUsed++];
  s->fn = fn;
  s->arg = arg;
  return os_create_thread(name, threadEntry, s, prio, (size_t)stacksize);
}
