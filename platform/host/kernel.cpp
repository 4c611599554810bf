// The host kernel: the platform's os_* services on Linux threads, with a real or a virtual clock,
// and the runtime that runs one firmware instance on it.
//
// Virtual time: one kernel thread holds the processor (the token) at a time. It passes at kernel
// calls to the most urgent ready thread (priority, then first come). The clock jumps to the
// earliest deadline only when no thread is ready and no watched descriptor is readable, so code
// takes no simulated time and the same inputs give the same run.
//
// Real time: threads run concurrently as preemption would let them; the interrupt mask is one
// kernel-wide lock.
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "camhost/bus.h"
#include "camhost/runtime.h"
#include "image.h"

using camhost::ClockKind;

namespace {

constexpr uint64_t kNever = ~uint64_t(0);
// Host code (printf, sanitizers) needs far more stack than the firmware asks for; the thread
// sanitizer's own pthread_create wants at least 921,088 bytes.
#if defined(__SANITIZE_THREAD__)
constexpr size_t kHostStackExtra = 2048 * 1024;
#else
constexpr size_t kHostStackExtra = 512 * 1024;
#endif
constexpr int kMainThreadInitialPrio = 3;
constexpr size_t kMainThreadStack = 4096;

enum class St { Ready, Running, Blocked, Done };

}  // namespace

struct os_thread {
  char name[OS_THREAD_NAME_MAX + 1] = {};
  int prio = 0;
  bool host = false;  // outside the firmware: survives resets
  St st = St::Ready;
  bool retired = false;
  bool exited = false;
  bool posted = false;  // why the last wait ended: a post (true) or the deadline (false)
  int64_t order = 0;    // among ready threads of one priority, the smaller runs first
  uint64_t deadline = kNever;
  uint64_t block_seq = 0;
  std::condition_variable cv;

  pthread_t pt{};
  void* stack = nullptr;
  size_t stack_size = 0;
  size_t stack_requested = 0;
  os_entry_t entry = nullptr;
  void* arg = nullptr;
  std::function<void()> fn;

  os_semaphore* wait_sem = nullptr;  // the semaphore this thread queues on
  os_thread* sem_next = nullptr;

  os_msg* mq_head = nullptr;
  os_msg* mq_tail = nullptr;
  bool wants_msg = false;

  const int* fds = nullptr;
  int nfds = 0;

  uint64_t kcalls = 0;
  uint64_t switches = 0;
};

namespace {

struct Tmo {
  uint64_t due;
  os_msg* msg;
  os_thread* owner;
  uint64_t seq;
};

struct Alloc {
  Alloc* prev;
  Alloc* next;
  size_t size;
  size_t charged;
};
static_assert(sizeof(Alloc) % 16 == 0, "allocations stay 16-byte aligned");

struct Kernel {
  camhost::Options opt;
  bool virt = true;
  std::mutex m;
  std::condition_variable ctl_cv;

  // Clock: world time runs on across resets; the firmware sees time since its boot.
  uint64_t vclock = 0;
  std::chrono::steady_clock::time_point t0;
  uint64_t boot_start = 0;

  os_thread* token = nullptr;
  uint64_t limit = 0;
  bool paused = true;
  uint64_t seq = 0;
  std::vector<os_thread*> threads;    // not yet exited
  std::vector<os_thread*> graveyard;  // exited or about to, to be joined

  camhost::Image* image = nullptr;
  int boots = 0;
  int reset_reason = OS_RESET_POWER_ON;
  bool shutting_down = false;

  size_t heap_used = 0;
  Alloc* allocs = nullptr;
  // The chip comes out of reset with deep sleep inhibited once: the application's start-up enables
  // it when it is ready.
  int suspend_count = 1;
  int msg_alloc_failures = 0;  // os_msg_alloc fails this many more times (a test's fault)
  bool stats_on = false;

  std::map<uint64_t, Tmo> tmos;
  uint64_t tmo_seq = 0;

  std::recursive_mutex irq;

  std::mutex console_m;
  std::string console;

  uint64_t trace = 1469598103934665603ull;
  std::mt19937 rng;

  struct HostEvent {
    uint64_t when;
    uint64_t seq;
    std::function<void()> fn;
  };
  std::vector<HostEvent> events;  // kept as a heap ordered by (when, seq)
  uint64_t event_seq = 0;
  os_thread* hostev = nullptr;

  // Virtual time: a kernel thread just sent on a host socket whose far end is in this process
  // (the link to slirp's host socket, a peer to the link). The host's network may deliver it a
  // moment later (softirq work deferred under load), so the clock waits for it a little.
  bool host_io_expected = false;

  int cpu = 0;  // virtual time: the processor every kernel thread runs on
  std::thread watchdog;
  std::mutex wd_m;
  std::condition_variable wd_cv;
  bool wd_stop = false;
};

Kernel* K = nullptr;
thread_local os_thread* tl_self = nullptr;

std::vector<std::function<void()>>& reset_hooks() {
  static auto* hooks = new std::vector<std::function<void()>>;
  return *hooks;
}

void run_reset_hooks() {
  for (auto& h : reset_hooks()) h();
}

bool event_later(const Kernel::HostEvent& a, const Kernel::HostEvent& b) {
  return a.when != b.when ? a.when > b.when : a.seq > b.seq;
}
thread_local int tl_irq_depth = 0;
thread_local bool tl_exiting = false;  // exit_thread has given back every mask the thread held

using Lock = std::unique_lock<std::mutex>;

// The kernel changes a semaphore's count with interrupts masked, as the chip's kernel does, so an
// interrupt handler that reads the count under the mask (a post-if-zero) sees a settled value.
// Taken before the kernel lock, never after it; released before the caller blocks or yields.
class MaskedForKernel {
 public:
  MaskedForKernel() {
    K->irq.lock();
    tl_irq_depth++;
  }
  ~MaskedForKernel() { release(); }
  void release() {
    if (!held_ || tl_exiting) return;
    held_ = false;
    tl_irq_depth--;
    K->irq.unlock();
  }

 private:
  bool held_ = true;
};

void trace_mix(uint64_t v) {
  for (int i = 0; i < 8; i++) {
    K->trace ^= (v >> (i * 8)) & 0xff;
    K->trace *= 1099511628211ull;
  }
}

uint64_t world_now() {
  if (K->virt) return K->vclock;
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               K->t0)
      .count();
}

[[noreturn]] void fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("camhost: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  abort();
}

// Every kernel call starts here: it must come from a thread the kernel made.
os_thread* self_or_die(const char* call) {
  os_thread* t = tl_self;
  if (!t || !K) {
    char name[32] = "?";
    pthread_getname_np(pthread_self(), name, sizeof name);
    fatal("%s called from thread \"%s\", which the kernel did not create", call, name);
  }
  return t;
}

void console_write(const char* s, size_t n) {
  std::lock_guard<std::mutex> g(K->console_m);
  K->console.append(s, n);
  if (K->opt.echo_fd >= 0) {
    while (n > 0) {
      ssize_t w = write(K->opt.echo_fd, s, n);
      if (w <= 0) break;
      s += w;
      n -= static_cast<size_t>(w);
    }
  }
}

// ---- Scheduling (kernel lock held) -----------------------------------------------------------

[[noreturn]] void exit_thread(Lock& lk, os_thread* self) {
  tl_exiting = true;
  while (tl_irq_depth > 0) {
    tl_irq_depth--;
    K->irq.unlock();
  }
  self->st = St::Done;
  self->exited = true;
  K->threads.erase(std::remove(K->threads.begin(), K->threads.end(), self), K->threads.end());
  K->ctl_cv.notify_all();
  lk.unlock();
  pthread_exit(nullptr);
}

void make_ready(os_thread* t, bool front = false) {
  t->st = St::Ready;
  t->deadline = kNever;
  ++K->seq;
  t->order = front ? -static_cast<int64_t>(K->seq) : static_cast<int64_t>(K->seq);
}

os_thread* pick() {
  os_thread* best = nullptr;
  for (os_thread* t : K->threads) {
    if (t->st != St::Ready || t->retired) continue;
    if (!best || t->prio > best->prio || (t->prio == best->prio && t->order < best->order))
      best = t;
  }
  return best;
}

void sem_unlink(os_thread* t) {
  os_semaphore* s = t->wait_sem;
  if (!s) return;
  os_thread** pp = &s->waiters.head;
  os_thread* prev = nullptr;
  while (*pp && *pp != t) {
    prev = *pp;
    pp = &(*pp)->sem_next;
  }
  if (*pp) {
    *pp = t->sem_next;
    if (s->waiters.tail == t) s->waiters.tail = prev;
  }
  t->sem_next = nullptr;
  t->wait_sem = nullptr;
}

// Queues `t` last among the semaphore's waiters.
void sem_enqueue(os_semaphore* sem, os_thread* t) {
  t->wait_sem = sem;
  t->sem_next = nullptr;
  if (sem->waiters.tail)
    sem->waiters.tail->sem_next = t;
  else
    sem->waiters.head = t;
  sem->waiters.tail = t;
}

// Wakes every blocked thread whose deadline has come, in (time, priority, sequence) order.
void fire_due(uint64_t now) {
  std::vector<os_thread*> due;
  for (os_thread* t : K->threads)
    if (t->st == St::Blocked && !t->retired && t->deadline <= now) due.push_back(t);
  std::sort(due.begin(), due.end(), [](os_thread* a, os_thread* b) {
    if (a->deadline != b->deadline) return a->deadline < b->deadline;
    if (a->prio != b->prio) return a->prio > b->prio;
    return a->block_seq < b->block_seq;
  });
  for (os_thread* t : due) {
    sem_unlink(t);
    t->posted = false;
    make_ready(t);
  }
}

void poll_fds() {
  for (os_thread* t : K->threads) {
    if (t->st != St::Blocked || t->retired || t->nfds == 0) continue;
    std::vector<pollfd> p(t->nfds);
    for (int i = 0; i < t->nfds; i++) p[i] = {t->fds[i], POLLIN, 0};
    if (poll(p.data(), p.size(), 0) > 0) {
      t->posted = true;
      make_ready(t);
      K->host_io_expected = false;  // what was sent has arrived
    }
  }
}

// Waits up to a few wall milliseconds for a descriptor a blocked thread watches to become
// readable, after a send whose answer comes through the host's network; true when one did.
bool await_host_io() {
  K->host_io_expected = false;
  std::vector<pollfd> p;
  for (os_thread* t : K->threads)
    if (t->st == St::Blocked && !t->retired)
      for (int i = 0; i < t->nfds; i++) p.push_back({t->fds[i], POLLIN, 0});
  if (p.empty() || poll(p.data(), p.size(), 5) <= 0) return false;
  poll_fds();
  return true;
}

uint64_t earliest_deadline() {
  uint64_t e = kNever;
  for (os_thread* t : K->threads)
    if (t->st == St::Blocked && !t->retired) e = std::min(e, t->deadline);
  return e;
}

// Virtual time: gives the processor to the most urgent ready thread, moving the clock on when
// nothing can run; pauses when the next event lies beyond the limit.
void dispatch() {
  for (;;) {
    fire_due(K->vclock);
    poll_fds();
    if (os_thread* t = pick()) {
      K->token = t;
      t->st = St::Running;
      t->switches++;
      trace_mix(K->vclock);
      trace_mix(static_cast<uint64_t>(t->prio));
      for (const char* c = t->name; *c; c++) trace_mix(static_cast<uint8_t>(*c));
      t->cv.notify_all();
      return;
    }
    K->token = nullptr;
    if (K->host_io_expected && await_host_io()) continue;
    uint64_t next = earliest_deadline();
    if (next == kNever || next > K->limit) {
      if (K->limit != kNever && K->vclock < K->limit) K->vclock = K->limit;
      K->paused = true;
      K->ctl_cv.notify_all();
      return;
    }
    K->vclock = next;
  }
}

void wait_for_cpu(Lock& lk, os_thread* self) {
  self->cv.wait(lk, [&] { return K->token == self || self->retired; });
  if (self->retired) exit_thread(lk, self);
}

// Gives up the processor until `deadline` or a wake-up; true when woken by a post.
bool block(Lock& lk, os_thread* self, uint64_t deadline) {
  if (tl_irq_depth > 0)
    fatal("thread \"%s\" blocks with interrupts masked", self->name);
  self->st = St::Blocked;
  self->deadline = deadline;
  self->block_seq = ++K->seq;
  self->posted = false;
  if (K->virt) {
    if (K->token == self) dispatch();
    wait_for_cpu(lk, self);
    return self->posted;
  }
  if (deadline == kNever) {
    self->cv.wait(lk, [&] { return self->st != St::Blocked || self->retired; });
  } else {
    auto when = K->t0 + std::chrono::microseconds(deadline);
    self->cv.wait_until(lk, when, [&] { return self->st != St::Blocked || self->retired; });
  }
  if (self->retired) exit_thread(lk, self);
  if (self->st == St::Blocked) {
    sem_unlink(self);
    self->posted = false;
  }
  self->st = St::Running;
  self->deadline = kNever;
  return self->posted;
}

// Virtual time: lets a more urgent ready thread run now. Never while interrupts are masked.
void maybe_preempt(Lock& lk, os_thread* self) {
  if (!K->virt || K->token != self || tl_irq_depth > 0) return;
  os_thread* t = pick();
  if (!t || t->prio <= self->prio) return;
  make_ready(self, /*front=*/true);
  dispatch();
  wait_for_cpu(lk, self);
}

void wake(os_thread* t) {
  t->posted = true;
  if (K->virt) {
    make_ready(t);
  } else {
    t->st = St::Running;
    t->deadline = kNever;
    t->cv.notify_all();
  }
}

os_thread* enter(Lock& lk, const char* call) {
  os_thread* self = self_or_die(call);
  lk = Lock(K->m);
  if (self->retired) exit_thread(lk, self);
  self->kcalls++;
  return self;
}

// ---- Threads --------------------------------------------------------------------------------

void* trampoline(void* p) {
  auto* t = static_cast<os_thread*>(p);
  tl_self = t;
  tl_irq_depth = 0;
  pthread_setname_np(pthread_self(), t->name);
  if (K->virt) {
    // One kernel thread runs at a time: keeping them all on one processor makes a hand-off a
    // local switch instead of a wake-up across processors.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(K->cpu, &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
  } else {
    // A timed wake-up comes when it is due, as the chip's timer fires: Linux would otherwise let
    // a sleep overrun by its default 50 µs slack, three times an SPI transfer at 1 GHz.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  {
    Lock lk(K->m);
    if (K->virt) wait_for_cpu(lk, t);
    if (t->retired) exit_thread(lk, t);
  }
  if (t->fn)
    t->fn();
  else
    t->entry(t->arg);
  Lock lk(K->m);
  if (K->virt && K->token == t) {
    t->st = St::Done;
    K->token = nullptr;
    dispatch();
  }
  exit_thread(lk, t);
}

os_thread* create(Lock& lk, const char* name, int prio, size_t stack, bool host) {
  auto* t = new os_thread;
  snprintf(t->name, sizeof t->name, "%s", name ? name : "");
  t->prio = std::clamp(prio, OS_PRIO_MIN, OS_PRIO_MAX);
  t->host = host;
  t->stack_requested = (stack + 7) & ~size_t(7);
  t->stack_size = ((t->stack_requested + kHostStackExtra) + 4095) & ~size_t(4095);
  t->stack = mmap(nullptr, t->stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                  -1, 0);
  if (t->stack == MAP_FAILED) {
    delete t;
    return nullptr;
  }
  auto* w = static_cast<uint32_t*>(t->stack);
  for (size_t i = 0; i < t->stack_size / 4; i++) w[i] = 0xDEADC0DE;
  make_ready(t);
  if (!K->virt) t->st = St::Running;
  K->threads.push_back(t);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, t->stack, t->stack_size);
  int rc = pthread_create(&t->pt, &attr, trampoline, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    K->threads.pop_back();
    munmap(t->stack, t->stack_size);
    delete t;
    return nullptr;
  }
  K->graveyard.push_back(t);  // joined and freed when the instance ends
  return t;
}

int (*g_main_entry)(void) = nullptr;

void* main_entry(void*) {
  g_main_entry();
  return nullptr;
}

void start_main(Lock& lk) {
  if (K->opt.boot_image) {
    // The image comes from the flash at every boot, as the chip's boot loader takes it.
    std::string why, err;
    std::string path = K->opt.boot_image(&why);
    K->image = path.empty() ? nullptr : camhost::image_load(path, &err);
    if (!K->image) {
      std::string line = "boot: no firmware to run (" + (path.empty() ? why : err) + ")\n";
      console_write(line.data(), line.size());
      return;
    }
    camhost::image_restore(K->image);
  }
  if (!K->image) return;
  g_main_entry = camhost::image_main(K->image);
  os_thread* t = create(lk, "main", kMainThreadInitialPrio, kMainThreadStack, false);
  if (!t) fatal("cannot create the main thread");
  t->entry = main_entry;
}

// Retires every thread of the firmware, gives back its heap, puts its RAM back to the load-time
// image and starts main again. The board and the peers (host threads) live on.
void reset_locked(Lock& lk, int reason) {
  os_thread* self = tl_self;
  for (os_thread* t : K->threads) {
    if (t->host) continue;
    t->retired = true;
    t->cv.notify_all();
  }
  // No thread of the old boot may touch the new boot's RAM: wait until all have left.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool ok = K->ctl_cv.wait_until(lk, until, [&] {
    for (os_thread* t : K->threads)
      if (!t->host && t != self) return false;
    return true;
  });
  if (!ok) {
    for (os_thread* t : K->threads)
      if (!t->host && t != self)
        fprintf(stderr, "camhost: thread \"%s\" did not stop at the reset (running without kernel "
                        "calls?)\n", t->name);
  }
  // Nor may an interrupt handler (a driver's callback into the old boot's code, on the event
  // thread) be half-way through while the heap and RAM are put back: hold the mask for that. The
  // kernel lock is let go while waiting, since a handler may need it to finish.
  while (!K->irq.try_lock()) K->ctl_cv.wait_for(lk, std::chrono::microseconds(100));
  while (K->allocs) {
    Alloc* a = K->allocs;
    K->allocs = a->next;
    free(a);
  }
  K->heap_used = 0;
  for (auto it = K->tmos.begin(); it != K->tmos.end();)
    it = it->second.owner->host ? std::next(it) : K->tmos.erase(it);
  K->suspend_count = 1;
  K->msg_alloc_failures = 0;
  K->stats_on = false;
  run_reset_hooks();
  if (K->image) camhost::image_restore(K->image);
  K->irq.unlock();
  K->boots++;
  K->reset_reason = reason;
  K->boot_start = world_now();
  start_main(lk);
}

// The calling thread ends for good, handing the processor on.
[[noreturn]] void retire_self(Lock& lk, os_thread* self) {
  if (K->virt && K->token == self) {
    self->st = St::Done;
    K->token = nullptr;
    dispatch();
  }
  exit_thread(lk, self);
}

void watchdog_loop() {
  uint64_t last_calls = 0;
  os_thread* last = nullptr;
  int still = 0;
  std::unique_lock<std::mutex> wl(K->wd_m);
  while (!K->wd_stop) {
    K->wd_cv.wait_for(wl, std::chrono::seconds(1));
    if (K->wd_stop) break;
    Lock lk(K->m, std::try_to_lock);
    if (!lk.owns_lock() || !K->virt) continue;
    os_thread* t = K->token;
    if (t && t == last && t->kcalls == last_calls) {
      if (++still == K->opt.stall_report_seconds)
        fprintf(stderr,
                "camhost: thread \"%s\" has held the processor for %d s without a kernel call "
                "(a spin, or a blocking host call)\n",
                t->name, still);
    } else {
      still = 0;
    }
    last = t;
    last_calls = t ? t->kcalls : 0;
  }
}

// Gives an os_alloc block back (kernel lock held).
void heap_free_locked(void* ptr) {
  if (!ptr) return;
  Alloc* a = static_cast<Alloc*>(ptr) - 1;
  if (a->prev)
    a->prev->next = a->next;
  else
    K->allocs = a->next;
  if (a->next) a->next->prev = a->prev;
  K->heap_used -= a->charged;
  free(a);
}

}  // namespace

// ---- The os_* services ----------------------------------------------------------------------

extern "C" {

os_thread* os_create_thread(const char* name, os_entry_t entry, void* arg, int priority,
                            size_t stackSize) {
  Lock lk;
  os_thread* self = enter(lk, "os_create_thread");
  os_thread* t = create(lk, name, priority, stackSize, false);
  if (!t) return nullptr;
  t->entry = entry;
  t->arg = arg;
  maybe_preempt(lk, self);
  return t;
}

void os_destroy_thread(os_thread* thread) {
  Lock lk;
  os_thread* self = enter(lk, "os_destroy_thread");
  if (!thread) return;
  if (thread == self) retire_self(lk, self);
  sem_unlink(thread);
  thread->retired = true;
  thread->st = St::Done;
  thread->wants_msg = false;
  // A thread ended while it waited for messages (or before it read them) never takes them: give
  // its queue and its pending time-out messages back to the heap.
  while (os_msg* m = thread->mq_head) {
    thread->mq_head = m->next;
    heap_free_locked(m);
  }
  thread->mq_tail = nullptr;
  for (auto it = K->tmos.begin(); it != K->tmos.end();) {
    if (it->second.owner != thread) {
      ++it;
      continue;
    }
    heap_free_locked(it->second.msg);
    it = K->tmos.erase(it);
  }
  thread->cv.notify_all();
}

os_thread* os_self(void) { return self_or_die("os_self"); }

const char* os_thread_name(os_thread* thread) { return thread ? thread->name : ""; }

int os_set_prio(int priority) {
  Lock lk;
  os_thread* self = enter(lk, "os_set_prio");
  int old = self->prio;
  self->prio = std::clamp(priority, OS_PRIO_MIN, OS_PRIO_MAX);
  maybe_preempt(lk, self);
  return old;
}

void os_yield(void) {
  Lock lk;
  os_thread* self = enter(lk, "os_yield");
  if (!K->virt) {
    lk.unlock();
    std::this_thread::yield();
    return;
  }
  os_thread* t = pick();
  if (!t || t->prio < self->prio || tl_irq_depth > 0) return;
  make_ready(self);
  dispatch();
  wait_for_cpu(lk, self);
}

size_t os_thread_stacksz(os_thread* thread) { return thread ? thread->stack_size : 0; }
void* os_thread_stack_base(os_thread* thread) { return thread ? thread->stack : nullptr; }
__attribute__((noinline)) void* os_thread_stack_cur(void) { return __builtin_frame_address(0); }

void os_thread_stat_init(int maxThreads) {
  Lock lk;
  enter(lk, "os_thread_stat_init");
  K->stats_on = true;
}

void os_thread_stat_print(void) {
  std::string out;
  {
    Lock lk;
    enter(lk, "os_thread_stat_print");
    if (!K->stats_on) return;
    char line[128];
    for (os_thread* t : K->threads) {
      static const char* const names[] = {"ready", "running", "blocked", "done"};
      snprintf(line, sizeof line, "%-7s prio %d %-7s switches %llu calls %llu\n", t->name,
               t->prio, names[static_cast<int>(t->st)],
               static_cast<unsigned long long>(t->switches),
               static_cast<unsigned long long>(t->kcalls));
      out += line;
    }
  }
  console_write(out.data(), out.size());
}

uint32_t os_irq_disable(void) {
  self_or_die("os_irq_disable");
  K->irq.lock();
  return static_cast<uint32_t>(tl_irq_depth++);
}

void os_irq_restore(uint32_t state) {
  self_or_die("os_irq_restore");
  if (tl_irq_depth <= 0) fatal("os_irq_restore without os_irq_disable");
  tl_irq_depth--;
  K->irq.unlock();
  if (tl_irq_depth == 0 && K->virt) {
    Lock lk;
    os_thread* self = enter(lk, "os_irq_restore");
    maybe_preempt(lk, self);
  }
}

void os_sem_init(os_semaphore* sem, int32_t count) {
  sem->value = count;
  sem->waiters.head = sem->waiters.tail = nullptr;
}

// Hands the count or a wake-up to `sem`; true when a more urgent thread may now want the processor.
static bool sem_post_locked(os_semaphore* sem) {
  os_thread* t = sem->waiters.head;
  if (!t) {
    sem->value = sem->value + 1;
    return false;
  }
  sem->waiters.head = t->sem_next;
  if (!sem->waiters.head) sem->waiters.tail = nullptr;
  t->sem_next = nullptr;
  t->wait_sem = nullptr;
  wake(t);
  return true;
}

void os_sem_post(os_semaphore* sem) {
  self_or_die("os_sem_post");
  MaskedForKernel mask;
  Lock lk;
  os_thread* self = enter(lk, "os_sem_post");
  if (!sem_post_locked(sem)) return;
  mask.release();
  maybe_preempt(lk, self);
}

int os_sem_wait_timeout(os_semaphore* sem, uint32_t usecs) {
  self_or_die("os_sem_wait_timeout");
  MaskedForKernel mask;
  Lock lk;
  os_thread* self = enter(lk, "os_sem_wait_timeout");
  if (sem->value > 0) {
    sem->value = sem->value - 1;
    return 0;
  }
  if (usecs == 0) return -1;
  if (usecs >= 0x80000000u) usecs = 0x7FFFFFFFu;
  sem_enqueue(sem, self);
  mask.release();
  return block(lk, self, world_now() + usecs) ? 0 : -1;
}

void os_sem_wait(os_semaphore* sem) {
  self_or_die("os_sem_wait");
  MaskedForKernel mask;
  Lock lk;
  os_thread* self = enter(lk, "os_sem_wait");
  if (sem->value > 0) {
    sem->value = sem->value - 1;
    return;
  }
  sem_enqueue(sem, self);
  mask.release();
  block(lk, self, kNever);
}

int os_sem_waiting(os_semaphore* sem) { return sem->waiters.head != nullptr; }

// ---- Heap -----------------------------------------------------------------------------------

void* os_alloc(size_t size) {
  Lock lk;
  enter(lk, "os_alloc");
  // What a small first-fit allocator costs: 8-byte granules plus an 8-byte block header.
  size_t charged = ((size + 7) & ~size_t(7)) + 8;
  if (K->heap_used + charged > K->opt.heap_bytes) return nullptr;
  auto* a = static_cast<Alloc*>(malloc(sizeof(Alloc) + size));
  if (!a) return nullptr;
  a->size = size;
  a->charged = charged;
  a->prev = nullptr;
  a->next = K->allocs;
  if (K->allocs) K->allocs->prev = a;
  K->allocs = a;
  K->heap_used += charged;
  return a + 1;
}

void os_free(void* ptr) {
  if (!ptr) return;
  Lock lk;
  enter(lk, "os_free");
  heap_free_locked(ptr);
}

int os_avail_heap(void) {
  Lock lk;
  enter(lk, "os_avail_heap");
  return static_cast<int>(K->opt.heap_bytes - K->heap_used);
}

// ---- Messages -------------------------------------------------------------------------------

os_msg* os_msg_alloc(uint32_t type, size_t size) {
  {
    Lock lk;
    enter(lk, "os_msg_alloc");
    if (K->msg_alloc_failures > 0) {
      K->msg_alloc_failures--;
      return nullptr;
    }
  }
  auto* m = static_cast<os_msg*>(os_alloc(std::max(size, sizeof(os_msg))));
  if (!m) return nullptr;
  memset(m, 0, std::max(size, sizeof(os_msg)));
  m->msg_type = type;
  return m;
}

void os_msg_release(os_msg* msg) { os_free(msg); }

static void enqueue_msg(os_thread* t, os_msg* msg) {
  msg->next = nullptr;
  if (t->mq_tail)
    t->mq_tail->next = msg;
  else
    t->mq_head = msg;
  t->mq_tail = msg;
  if (t->wants_msg && t->st == St::Blocked) {
    t->wants_msg = false;
    wake(t);
  }
}

// Time-out messages reach their thread's queue once their time has come.
static uint64_t deliver_due_tmos(os_thread* self) {
  uint64_t now = world_now(), next = kNever;
  std::vector<std::pair<uint64_t, uint64_t>> due;  // (due, id)
  for (auto& [id, t] : K->tmos) {
    if (t.owner != self) continue;
    if (t.due <= now)
      due.push_back({t.due, id});
    else
      next = std::min(next, t.due);
  }
  std::sort(due.begin(), due.end());
  for (auto [when, id] : due) {
    enqueue_msg(self, K->tmos[id].msg);
    K->tmos.erase(id);
  }
  return next;
}

void os_sendmsg(os_thread* thread, os_msg* msg) {
  Lock lk;
  os_thread* self = enter(lk, "os_sendmsg");
  if (thread->retired || thread->exited) {
    heap_free_locked(msg);  // an ended thread never reads it
    return;
  }
  msg->msg_sender = self;
  enqueue_msg(thread, msg);
  maybe_preempt(lk, self);
}

os_msg* os_recvmsg(int noWait) {
  Lock lk;
  os_thread* self = enter(lk, "os_recvmsg");
  for (;;) {
    uint64_t next_tmo = deliver_due_tmos(self);
    if (os_msg* m = self->mq_head) {
      self->mq_head = m->next;
      if (!self->mq_head) self->mq_tail = nullptr;
      m->next = nullptr;
      return m;
    }
    if (noWait) return nullptr;
    self->wants_msg = true;
    block(lk, self, next_tmo);
    self->wants_msg = false;
  }
}

os_tmoref os_request_timeoutmsg(uint32_t when, os_msg* msg) {
  Lock lk;
  os_thread* self = enter(lk, "os_request_timeoutmsg");
  if (!msg) return nullptr;
  uint64_t now = world_now();
  uint32_t now32 = static_cast<uint32_t>(now - K->boot_start);
  int32_t ahead = static_cast<int32_t>(when - now32);  // the 32-bit clock wraps
  uint64_t id = ++K->tmo_seq;
  K->tmos[id] = Tmo{now + static_cast<uint64_t>(std::max(ahead, 0)), msg, self, id};
  return reinterpret_cast<os_tmoref>(static_cast<uintptr_t>(id));
}

os_msg* os_cancel_timeoutmsg(os_tmoref ref) {
  Lock lk;
  os_thread* self = enter(lk, "os_cancel_timeoutmsg");
  deliver_due_tmos(self);
  auto it = K->tmos.find(reinterpret_cast<uintptr_t>(ref));
  if (it == K->tmos.end()) return nullptr;
  os_msg* m = it->second.msg;
  K->tmos.erase(it);
  return m;
}

// ---- Work queues ----------------------------------------------------------------------------

void os_init_workqueue(os_workqueue* wq) {
  wq->head = wq->tail = nullptr;
  wq->flags = 0;
  os_sem_init(&wq->sem, 0);
}

int os_queue_work(os_workqueue* wq, os_work* work) {
  {
    Lock lk;
    enter(lk, "os_queue_work");
    if ((work->flags & OS_WORK_PENDING) || (wq->flags & OS_WORKQUEUE_CLOSED)) return 0;
    work->flags = work->flags | OS_WORK_PENDING;
    work->next = nullptr;
    if (wq->tail)
      wq->tail->next = work;
    else
      wq->head = work;
    wq->tail = work;
  }
  os_sem_post(&wq->sem);
  return 1;
}

void os_run_work(os_workqueue* wq) {
  for (;;) {
    os_sem_wait(&wq->sem);
    os_work* w;
    {
      Lock lk;
      enter(lk, "os_run_work");
      w = wq->head;
      wq->head = wq->tail = nullptr;
    }
    while (w) {
      os_work* next = w->next;
      {
        Lock lk;
        enter(lk, "os_run_work");
        w->flags = w->flags & ~OS_WORK_PENDING;  // the function may queue its own item again
      }
      w->func(w);
      w = next;
    }
  }
}

// ---- Time -----------------------------------------------------------------------------------

systimer_t os_systime64(void) {
  Lock lk;
  enter(lk, "os_systime64");
  return world_now() - K->boot_start;
}

uint32_t os_systime(void) { return static_cast<uint32_t>(os_systime64()); }

void os_sleep_us(uint32_t usecs, int mode) {
  Lock lk;
  os_thread* self = enter(lk, "os_sleep_us");
  block(lk, self, world_now() + usecs);
}

void os_wait_usec(uint32_t usecs) {
  Lock lk;
  os_thread* self = enter(lk, "os_wait_usec");
  if (!K->virt) {
    lk.unlock();
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(usecs);
    while (std::chrono::steady_clock::now() < until) {
    }
    return;
  }
  // A busy wait holds the processor while the clock moves on.
  K->vclock += usecs;
  fire_due(K->vclock);
  maybe_preempt(lk, self);
}

// ---- System ---------------------------------------------------------------------------------

int os_get_reset_reason(void) {
  Lock lk;
  enter(lk, "os_get_reset_reason");
  return K->reset_reason;
}


void os_core_reset(void) {
  Lock lk;
  os_thread* self = enter(lk, "os_core_reset");
  reset_locked(lk, OS_RESET_SOFTWARE);
  // The reset ends the caller too, even a host thread that made it (a test calling firmware code).
  retire_self(lk, self);
}

int os_get_boot_arg_int(const char* name, int defaultValue) {
  Lock lk;
  enter(lk, "os_get_boot_arg_int");
  for (auto& [k, v] : K->opt.boot_args) {
    if (k != name) continue;
    char* end = nullptr;
    long n = strtol(v.c_str(), &end, 0);
    if (v.empty() || *end != '\0') return defaultValue;
    return static_cast<int>(n);
  }
  return defaultValue;
}

void os_suspend_disable(void) {
  Lock lk;
  enter(lk, "os_suspend_disable");
  K->suspend_count++;
}

void os_suspend_enable(void) {
  Lock lk;
  enter(lk, "os_suspend_enable");
  K->suspend_count--;
}

int os_printf(const char* fmt, ...) {
  self_or_die("os_printf");
  char small[512];
  va_list ap, ap2;
  va_start(ap, fmt);
  va_copy(ap2, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(ap2);
    return n;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    console_write(small, static_cast<size_t>(n));
  } else {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(big.data(), big.size(), fmt, ap2);
    console_write(big.data(), static_cast<size_t>(n));
  }
  va_end(ap2);
  {
    Lock lk;
    enter(lk, "os_printf");
  }
  return n;
}

}  // extern "C"

namespace camhost::detail {
// The power goes at this instant: the chip starts again from power-on, and the caller's work ends.
[[noreturn]] void power_cut_from_thread() {
  Lock lk;
  os_thread* self = enter(lk, "power cut");
  reset_locked(lk, OS_RESET_POWER_ON);
  retire_self(lk, self);
}
}  // namespace camhost::detail

// ---- The runtime ----------------------------------------------------------------------------

namespace camhost {

namespace detail {
void drivers_instance_start();
void drivers_instance_end();
}

namespace {
void hostev_loop();
Instance* g_instance = nullptr;
bool g_image_ok = true;
}  // namespace

Instance* current() { return g_instance; }

Instance::Instance(const Options& options) {
  if (K) fatal("only one firmware instance may run in a process at a time");
  K = new Kernel;
  K->opt = options;
  K->virt = options.clock == ClockKind::Virtual;
  K->t0 = std::chrono::steady_clock::now();
  // Both halves of the seed: seeds that differ only above bit 31 give different runs.
  std::seed_seq seeds{static_cast<uint32_t>(options.seed),
                      static_cast<uint32_t>(options.seed >> 32)};
  K->rng.seed(seeds);
  {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    // Spread processes (tests run two at a time) over the processors this one may use.
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
      int pick = static_cast<int>(getpid()) % CPU_COUNT(&allowed);
      for (int c = 0; c < CPU_SETSIZE; c++)
        if (CPU_ISSET(c, &allowed) && pick-- == 0) {
          K->cpu = c;
          break;
        }
    }
  }
  g_instance = this;
  g_image_ok = true;
  if (!options.firmware.empty()) {
    std::string err;
    K->image = image_load(options.firmware, &err);
    if (!K->image) {
      fprintf(stderr, "camhost: %s\n", err.c_str());
      g_image_ok = false;
    } else {
      image_restore(K->image);
    }
  }
  detail::drivers_instance_start();
  run_reset_hooks();
  K->watchdog = std::thread(watchdog_loop);
  K->hostev = spawn("hostev", OS_PRIO_MAX, hostev_loop);
}

bool Instance::halt() {
  Lock lk(K->m);
  K->shutting_down = true;
  for (os_thread* t : K->threads) {
    t->retired = true;
    t->cv.notify_all();
  }
  bool done = K->ctl_cv.wait_for(lk, std::chrono::seconds(5), [] { return K->threads.empty(); });
  if (!done)
    for (os_thread* t : K->threads)
      fprintf(stderr, "camhost: thread \"%s\" did not stop with the instance\n", t->name);
  return done;
}

Instance::~Instance() {
  {
    std::lock_guard<std::mutex> g(K->wd_m);
    K->wd_stop = true;
  }
  K->wd_cv.notify_all();
  K->watchdog.join();
  if (!halt()) {
    // Those threads still use the kernel: leave it to them rather than free it under them.
    g_instance = nullptr;
    K = nullptr;
    return;
  }
  for (os_thread* t : K->graveyard) {
    pthread_join(t->pt, nullptr);
    munmap(t->stack, t->stack_size);
    delete t;
  }
  while (K->allocs) {
    Alloc* a = K->allocs;
    K->allocs = a->next;
    free(a);
  }
  detail::drivers_instance_end();
  delete K;
  K = nullptr;
  g_instance = nullptr;
}

bool Instance::ok() const { return g_image_ok; }

void Instance::boot() {
  Lock lk(K->m);
  K->boots++;
  K->reset_reason = OS_RESET_POWER_ON;
  K->boot_start = world_now();
  start_main(lk);
}

void Instance::run_for(uint64_t usecs) {
  if (!K->virt) {
    std::this_thread::sleep_for(std::chrono::microseconds(usecs));
    return;
  }
  Lock lk(K->m);
  K->limit = K->vclock + usecs;
  K->paused = false;
  if (!K->token) dispatch();
  K->ctl_cv.wait(lk, [] { return K->paused; });
}

bool Instance::run_until(const std::function<bool()>& pred, uint64_t max_usecs,
                         uint64_t step_usecs) {
  uint64_t start = now();
  while (!pred()) {
    uint64_t spent = now() - start;
    if (spent >= max_usecs) return false;
    run_for(std::min(step_usecs, max_usecs - spent));
  }
  return true;
}

bool Instance::call(const std::function<void()>& fn, int prio, uint64_t max_usecs) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  spawn("call", prio, [fn, done] {
    fn();
    done->store(true);
    // Stop the run as soon as everything ready at this instant has run.
    std::lock_guard<std::mutex> g(K->m);
    K->limit = K->vclock;
    K->ctl_cv.notify_all();
  });
  if (!K->virt) {
    Lock lk(K->m);
    return K->ctl_cv.wait_for(lk, std::chrono::microseconds(max_usecs), [&] { return done->load(); });
  }
  uint64_t start = now();
  while (!done->load() && now() - start < max_usecs) run_for(max_usecs - (now() - start));
  return done->load();
}

os_thread* Instance::spawn(const char* name, int prio, std::function<void()> fn) {
  Lock lk(K->m);
  os_thread* t = create(lk, name, prio, 0, true);
  if (!t) fatal("cannot create thread %s", name);
  t->fn = std::move(fn);
  return t;
}

uint64_t Instance::now() const {
  Lock lk(K->m);
  return world_now();
}

std::string Instance::console() const {
  std::lock_guard<std::mutex> g(K->console_m);
  return K->console;
}

void Instance::clear_console() {
  std::lock_guard<std::mutex> g(K->console_m);
  K->console.clear();
}

int Instance::boots() const {
  Lock lk(K->m);
  return K->boots;
}

int Instance::reset_reason() const {
  Lock lk(K->m);
  return K->reset_reason;
}

void Instance::reset(int reason) {
  Lock lk(K->m);
  reset_locked(lk, reason);
}

uint64_t Instance::trace_hash() const {
  Lock lk(K->m);
  return K->trace;
}

void* Instance::firmware_symbol(const char* name) const {
  return K->image ? image_symbol(K->image, name) : nullptr;
}

int Instance::suspend_count() const {
  Lock lk(K->m);
  return K->suspend_count;
}

void Instance::fail_msg_alloc(int count) {
  Lock lk(K->m);
  K->msg_alloc_failures = count;
}

uint32_t Instance::random() {
  Lock lk(K->m);
  return K->rng();
}

namespace {

// The host event thread: runs board and driver events at their time, one after another.
void hostev_loop() {
  for (;;) {
    std::function<void()> fn;
    {
      Lock lk;
      os_thread* self = enter(lk, "hostev");
      for (;;) {
        if (!K->events.empty() && K->events.front().when <= world_now()) {
          std::pop_heap(K->events.begin(), K->events.end(), event_later);
          fn = std::move(K->events.back().fn);
          K->events.pop_back();
          break;
        }
        block(lk, self, K->events.empty() ? kNever : K->events.front().when);
      }
    }
    fn();
  }
}

}  // namespace

void at(uint64_t when, std::function<void()> fn) {
  Lock lk(K->m);
  K->events.push_back(Kernel::HostEvent{when, ++K->event_seq, std::move(fn)});
  std::push_heap(K->events.begin(), K->events.end(), event_later);
  os_thread* h = K->hostev;
  if (h && h->st == St::Blocked && h->deadline > when) {
    sem_unlink(h);
    wake(h);
    if (tl_self && tl_self != h) maybe_preempt(lk, tl_self);
  }
}

uint64_t time_now() {
  // Real time needs no lock (the clock's origin is fixed at the start): the link and the board
  // read the clock many times per frame, and every thread of the module wants that lock.
  if (!K->virt) return world_now();
  Lock lk(K->m);
  return world_now();
}

bool real_time() { return K && !K->virt; }

uint64_t random_between(uint64_t lo, uint64_t hi) {
  if (!K || hi <= lo) return lo;
  Lock lk(K->m);
  uint64_t high = K->rng();
  uint64_t r = high << 32 | K->rng();
  uint64_t span = hi - lo + 1;  // 0: the whole 64-bit range
  return span == 0 ? r : lo + r % span;
}

void on_module_reset(std::function<void()> fn) { reset_hooks().push_back(std::move(fn)); }

void expect_host_io() {
  if (!K || !tl_self || !K->virt) return;
  std::lock_guard<std::mutex> g(K->m);
  K->host_io_expected = true;
}

namespace detail {
// A driver's interrupt handler waking its reader: posts only when the count is 0, in one step with
// the kernel's own bookkeeping, so a reader that is just taking the count cannot miss the post.
void sem_post_if_zero(os_semaphore* sem) {
  self_or_die("sem_post_if_zero");
  MaskedForKernel mask;
  Lock lk;
  os_thread* self = enter(lk, "sem_post_if_zero");
  if (sem->value != 0 || !sem_post_locked(sem)) return;
  mask.release();
  maybe_preempt(lk, self);
}
}  // namespace detail

int wait_fds(const int* fds, int count, uint64_t deadline) {
  Lock lk;
  os_thread* self = enter(lk, "wait_fds");
  auto ready = [&] {
    std::vector<pollfd> p(count);
    for (int i = 0; i < count; i++) p[i] = {fds[i], POLLIN, 0};
    return poll(p.data(), p.size(), 0);
  };
  if (!K->virt) {
    // In slices, so that a reset or the instance's end can retire a thread that waits here.
    constexpr uint64_t kSliceUs = 50000;
    std::vector<pollfd> p(count);
    for (int i = 0; i < count; i++) p[i] = {fds[i], POLLIN, 0};
    for (;;) {
      uint64_t now = world_now();
      if (now >= deadline && deadline != kNever) return 0;
      uint64_t wait = deadline == kNever ? kSliceUs : std::min(deadline - now, kSliceUs);
      lk.unlock();
      timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
      int n = ppoll(p.data(), p.size(), &ts, nullptr);
      if (n > 0) return n;
      lk.lock();
      if (self->retired) exit_thread(lk, self);
    }
  }
  int n = ready();
  if (n > 0) return n;
  self->fds = fds;
  self->nfds = count;
  block(lk, self, deadline);
  self->fds = nullptr;
  self->nfds = 0;
  n = ready();
  return n < 0 ? 0 : n;
}

}  // namespace camhost
