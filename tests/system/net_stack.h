// The firmware's lwIP, driven from a test: name lookups and UDP datagrams run on lwIP's own
// thread inside the booted image (through tcpip_callback), and its pool statistics are read.
// Kept apart from the tests' own translation units: lwIP's headers and POSIX's do not mix.
#ifndef CAMLINK_TESTS_SYSTEM_NET_STACK_H
#define CAMLINK_TESTS_SYSTEM_NET_STACK_H

#include <cstdint>
#include <string>
#include <vector>

#include "camhost/runtime.h"

namespace netstack {

// Resolves `name` with lwIP's DNS on lwIP's thread. The address (host order), 0 for "no such
// name", or -1 when no answer came within `max_usecs`.
int64_t Resolve(camhost::Instance& inst, const std::string& name, uint64_t max_usecs);

// A UDP endpoint of the firmware's stack on `local_port`, for the test's lifetime.
class UdpEndpoint {
 public:
  UdpEndpoint(camhost::Instance& inst, uint16_t local_port);
  ~UdpEndpoint();
  // Sends `payload` to address:port (host order); false when lwIP refused it.
  bool SendTo(uint32_t address, uint16_t port, const std::string& payload);
  // Sends `count` datagrams one after another, each once the answer to the one before came back
  // (or `max_wait_usecs` passed), from one kernel thread; the round trips in wall microseconds.
  std::vector<double> PingPong(uint32_t address, uint16_t port, int count,
                               uint32_t max_wait_usecs);
  // Datagrams received so far.
  std::vector<std::string> Received() const;

 private:
  camhost::Instance& inst_;
  void* state_;
};

// What lwIP's pools hold now: used pbufs (pool and headers), the heap's used bytes, UDP and TCP
// control blocks, time-outs.
struct PoolUse {
  int pbuf_pool, pbuf, udp_pcb, tcp_pcb, tcp_seg, sys_timeout;
  uint32_t heap;
  bool operator==(const PoolUse& o) const {
    return pbuf_pool == o.pbuf_pool && pbuf == o.pbuf && udp_pcb == o.udp_pcb &&
           tcp_pcb == o.tcp_pcb && tcp_seg == o.tcp_seg && heap == o.heap;
  }
};
PoolUse Pools(camhost::Instance& inst);
std::string Describe(const PoolUse& p);

// Runs lwIP out of memory as a busy module does: Take grabs every element still free in the
// chosen pools, through lwIP's own memp_malloc on lwIP's thread, and keeps them until Release (or
// destruction) gives them back with memp_free. Take may be called again to grab what has been
// freed meanwhile. Call both from a kernel thread.
class PoolHog {
 public:
  struct Pools {
    bool pbuf = false;     // reference pbufs: every no-copy tcp_write needs them
    bool tcp_seg = false;  // TCP segments
    bool tcp_pcb = false;  // TCP control blocks: tcp_new
    bool pbuf_pool = false;  // receive buffers: every frame that comes in
  };
  PoolHog(camhost::Instance& inst, Pools pools);
  ~PoolHog();
  PoolHog(const PoolHog&) = delete;
  PoolHog& operator=(const PoolHog&) = delete;
  // Elements newly taken.
  int Take();
  void Release();
  int held() const;

 private:
  camhost::Instance& inst_;
  void* state_;
};

}  // namespace netstack

#endif  // CAMLINK_TESTS_SYSTEM_NET_STACK_H
