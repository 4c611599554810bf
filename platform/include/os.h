// The platform kernel: threads, semaphores, messages, time-out messages, work queues, time,
// heap, deep-sleep inhibit, reset, boot arguments and the console.
//
// This is the contract the application is written against. A port implements every function
// here; the host port (platform/host) does so on Linux threads with a real or a virtual clock.
#ifndef CAMLINK_PLATFORM_OS_H
#define CAMLINK_PLATFORM_OS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Microseconds since boot; all ones means "never".
typedef uint64_t systimer_t;
#define SYSTIMER_NEVER ((systimer_t)~(systimer_t)0)

// ---- Threads -------------------------------------------------------------------------------

struct os_thread;  // opaque, owned by the kernel

#define OS_PRIO_MIN 0
#define OS_PRIO_MAX 7
#define OS_THREAD_NAME_MAX 7  // the kernel keeps at most this many characters of a name

typedef void* (*os_entry_t)(void* arg);

// Creates and starts a thread; returns NULL on failure. `priority` 0-7 (7 most urgent); values
// above 7 count as 7. The stack is padded to a multiple of 8 and filled with 0xDEADC0DE.
struct os_thread* os_create_thread(const char* name, os_entry_t entry, void* arg, int priority,
                                   size_t stackSize);
// Ends `thread` for good; it never runs again.
void os_destroy_thread(struct os_thread* thread);
struct os_thread* os_self(void);
// The stored (possibly cut) name of `thread`.
const char* os_thread_name(struct os_thread* thread);
// Sets the calling thread's priority and returns the previous one.
int os_set_prio(int priority);
// Lets other ready threads of the same or higher priority run.
void os_yield(void);
size_t os_thread_stacksz(struct os_thread* thread);
void* os_thread_stack_base(struct os_thread* thread);  // lowest address of the stack
void* os_thread_stack_cur(void);                        // the caller's current stack pointer
// Per-thread CPU statistics for up to `maxThreads` threads; printed on the console on demand.
void os_thread_stat_init(int maxThreads);
void os_thread_stat_print(void);

// ---- Interrupt masking ---------------------------------------------------------------------

// Masks interrupts (nests) and returns the state to hand back to os_irq_restore. Interrupt-context
// callbacks of the drivers never run while a thread holds the mask. Never block while holding it.
uint32_t os_irq_disable(void);
void os_irq_restore(uint32_t state);

// ---- Semaphores ----------------------------------------------------------------------------

struct os_thread_waitq {
  struct os_thread* head;
  struct os_thread* tail;
};

struct os_semaphore {
  volatile int32_t value;          // the count; applications may read it directly
  struct os_thread_waitq waiters;  // first come, first served
};

// Sets the count and empties the wait queue.
void os_sem_init(struct os_semaphore* sem, int32_t count);
// Wakes the longest-waiting thread, or adds 1 to the count. Callable from interrupt context.
void os_sem_post(struct os_semaphore* sem);
// Blocks until the count can be taken. Never from interrupt context.
void os_sem_wait(struct os_semaphore* sem);
// 0 when the count was taken (at once or by a post in time), -1 on time-out. `usecs` 0 only
// tries; values of 2^31 and above count as 2^31-1.
int os_sem_wait_timeout(struct os_semaphore* sem, uint32_t usecs);
// Non-zero while at least one thread waits on `sem`.
int os_sem_waiting(struct os_semaphore* sem);

// ---- Messages and time-out messages --------------------------------------------------------

struct os_msg {
  struct os_msg* next;            // list link, the kernel's
  uint32_t msg_type;              // chosen by the application
  struct os_thread* msg_sender;   // set by the kernel on send
};

struct os_tmoref_s;
typedef struct os_tmoref_s* os_tmoref;

// A heap block of `size` bytes (at least the header) with msg_type = type; NULL when the heap is
// exhausted.
struct os_msg* os_msg_alloc(uint32_t type, size_t size);
void os_msg_release(struct os_msg* msg);
// Appends `msg` to `thread`'s queue and wakes it.
void os_sendmsg(struct os_thread* thread, struct os_msg* msg);
// With noWait false, blocks until the caller's queue holds a message and returns the oldest; with
// noWait true returns NULL at once when the queue is empty.
struct os_msg* os_recvmsg(int noWait);
// Delivers `msg` to the caller's own queue when the 32-bit clock (os_systime) reaches `when`.
// Returns NULL on failure.
os_tmoref os_request_timeoutmsg(uint32_t when, struct os_msg* msg);
// Cancels a pending time-out message and returns it (for the caller to release), or NULL when it
// was already delivered.
struct os_msg* os_cancel_timeoutmsg(os_tmoref ref);

// ---- Work queues ---------------------------------------------------------------------------

struct os_work;
typedef void (*os_work_fn)(struct os_work* work);

#define OS_WORK_PENDING 0x1u
#define OS_WORKQUEUE_CLOSED 0x1u

struct os_work {
  struct os_work* next;
  os_work_fn func;        // called with the work item itself
  volatile uint32_t flags;
};

struct os_workqueue {
  struct os_work* head;
  struct os_work* tail;
  struct os_semaphore sem;
  volatile uint32_t flags;
};

void os_init_workqueue(struct os_workqueue* wq);
// 1 when queued; 0 when the item is already pending or the queue is closed.
int os_queue_work(struct os_workqueue* wq, struct os_work* work);
// Runs for ever: waits on the queue's semaphore, takes the whole list and, for each item in
// order, clears its pending bit and calls its function.
void os_run_work(struct os_workqueue* wq);

// ---- Time ----------------------------------------------------------------------------------

systimer_t os_systime64(void);
uint32_t os_systime(void);  // the same clock, 32 bits, wrapping

#define OS_TIMEOUT_NO_WAKEUP 0
#define OS_TIMEOUT_WAKEUP 1
// Blocks the caller for `usecs`; OS_TIMEOUT_WAKEUP lets the expiry wake the system from sleep.
void os_sleep_us(uint32_t usecs, int mode);
// Busy-waits without giving up the processor.
void os_wait_usec(uint32_t usecs);

// ---- Heap ----------------------------------------------------------------------------------

void* os_alloc(size_t size);  // NULL on exhaustion
void os_free(void* ptr);
int os_avail_heap(void);  // free heap in bytes

// ---- System --------------------------------------------------------------------------------

// Why the module last started; only logged by the application.
#define OS_RESET_POWER_ON 0
#define OS_RESET_SOFTWARE 1
#define OS_RESET_WATCHDOG 2
#define OS_RESET_EXTERNAL 3
int os_get_reset_reason(void);
// Resets the whole chip at once (the processor's reset request); does not return.
void os_core_reset(void);
// The integer boot argument `name`, or `defaultValue` when absent or not a number.
int os_get_boot_arg_int(const char* name, int defaultValue);
// Nesting counter: while disables outnumber enables, the system does not enter deep sleep.
void os_suspend_disable(void);
void os_suspend_enable(void);

// Formatted print to the serial console.
int os_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_OS_H
