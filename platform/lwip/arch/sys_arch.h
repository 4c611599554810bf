// lwIP's operating-system port onto the platform kernel: semaphores, mutexes and mailboxes are
// kernel semaphores, the stack thread is a kernel thread and time is the kernel's clock, so the
// stack's timers run on the same (real or virtual) clock as everything else.
#ifndef CAMLINK_LWIP_ARCH_SYS_ARCH_H
#define CAMLINK_LWIP_ARCH_SYS_ARCH_H

#include <stdint.h>

#include "os.h"

#define SYS_MBOX_NULL NULL
#define SYS_SEM_NULL NULL
#define SYS_MBOX_CAPACITY 16

typedef struct sys_sem {
  struct os_semaphore sem;
  int valid;
} sys_sem_t;

typedef struct sys_mutex {
  struct os_semaphore sem;
  int valid;
} sys_mutex_t;

typedef struct sys_mbox {
  struct os_semaphore items;  // filled slots
  struct os_semaphore space;  // empty slots
  void* slots[SYS_MBOX_CAPACITY];
  uint32_t head;
  uint32_t count;
  uint32_t size;
  int valid;
} sys_mbox_t;

typedef struct os_thread* sys_thread_t;
typedef uint32_t sys_prot_t;

#endif  // CAMLINK_LWIP_ARCH_SYS_ARCH_H
