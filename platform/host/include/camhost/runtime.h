// The host runtime: runs one firmware instance on the host kernel, for tools and tests.
//
// One Instance at a time per process (the kernel's os_* functions are free functions). In virtual
// time one kernel thread runs at a time and the clock jumps to the next deadline only when nothing
// can run, so the same options give the same console, byte for byte.
#ifndef CAMHOST_RUNTIME_H
#define CAMHOST_RUNTIME_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "os.h"

namespace camhost {

enum class ClockKind { Real, Virtual };

// The module's heap, as the chip leaves it to the application.
constexpr uint32_t kDefaultHeapBytes = 163840;

struct Options {
  ClockKind clock = ClockKind::Virtual;
  uint64_t seed = 1;
  uint32_t heap_bytes = kDefaultHeapBytes;
  std::vector<std::pair<std::string, std::string>> boot_args;  // NAME=VALUE
  // The firmware image (a shared library with `main`); empty runs the kernel alone.
  std::string firmware;
  // When set, the firmware image is taken anew at every boot from what this returns (a library
  // path; "" with `why` set when nothing can boot, and the module then stays dead), as the chip
  // boots whatever its flash holds.
  std::function<std::string(std::string* why)> boot_image;
  // Also write console output to this file descriptor as it comes (-1: keep it only in memory).
  int echo_fd = -1;
  // Report a thread that holds the processor this long (wall seconds) without a kernel call.
  int stall_report_seconds = 10;
};

class Instance {
 public:
  explicit Instance(const Options& options);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  // False, with the reason on stderr, when the firmware image could not be loaded.
  bool ok() const;
  // Runs the firmware's main on a fresh "main" thread (reset reason: power on).
  void boot();
  // Virtual time: runs until the clock has moved on by `usecs`. Real time: lets the system run
  // that long on the wall clock.
  void run_for(uint64_t usecs);
  // Runs in steps of `step_usecs` until pred() holds or `max_usecs` have passed; pred()'s result.
  bool run_until(const std::function<bool()>& pred, uint64_t max_usecs,
                 uint64_t step_usecs = 1000);
  // Runs fn on a new kernel thread of priority `prio` and runs the system until fn returns (or
  // `max_usecs` pass: then false).
  bool call(const std::function<void()>& fn, int prio = 4, uint64_t max_usecs = 3600000000ull);
  // Starts a kernel thread outside the firmware (a board model, a peer, a test driver): it takes
  // part in scheduling and survives the firmware's resets.
  os_thread* spawn(const char* name, int prio, std::function<void()> fn);

  // Stops every kernel thread for good, the firmware's and the host components'; the instance
  // runs nothing after it. In real time the firmware runs on its own, so call this before tearing
  // down the board and the peers it talks to. False when a thread would not stop.
  bool halt();

  // Time since the instance started (it goes on across the firmware's resets), in microseconds.
  uint64_t now() const;
  // Everything printed on the console so far.
  std::string console() const;
  void clear_console();
  // Boots so far (1 after boot(), +1 per reset) and why the last one happened.
  int boots() const;
  int reset_reason() const;
  // Resets the chip from outside, as a watchdog or a power cycle does.
  void reset(int reason);
  // A hash of every hand-off of the processor (time, thread): equal hashes, equal paths.
  uint64_t trace_hash() const;
  // An address inside the loaded firmware image, or nullptr.
  void* firmware_symbol(const char* name) const;
  // The deep-sleep inhibit count: disables not yet matched by enables (1 at every boot, until
  // the firmware enables deep sleep). Deep sleep is allowed while it is 0 or less.
  int suspend_count() const;
  // Fault hook: the next `count` os_msg_alloc calls fail as on an exhausted heap.
  void fail_msg_alloc(int count);
  // A seeded pseudo-random number; the same seed gives the same sequence.
  uint32_t random();
};

// The instance of this process, or nullptr.
Instance* current();

// A host component's wait for file descriptors: blocks the calling kernel thread until one of
// `fds` is readable, or until `deadline` (kernel time, µs) passes. In virtual time the clock does
// not jump while such a descriptor is ready. Returns the number of readable descriptors (0 on
// time-out).
int wait_fds(const int* fds, int count, uint64_t deadline);
// Said by a kernel thread right after it sent on a host socket whose answer comes back through
// the host's network to a descriptor another kernel thread waits on: in virtual time the clock
// then waits a few wall milliseconds for that answer before it jumps (the host may deliver it a
// moment late). Does nothing in real time or outside a kernel thread.
void expect_host_io();

}  // namespace camhost

#endif  // CAMHOST_RUNTIME_H
