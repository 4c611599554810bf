// lwIP's API, called through the booted image's own symbols (the test binary does not link lwIP:
// the firmware's copy, reset with the module, is the one that runs).
#include "system/net_stack.h"

#include <chrono>
#include <mutex>

#include "lwip/dns.h"
#include "lwip/memp.h"
#include "lwip/pbuf.h"
#include "lwip/stats.h"
#include "lwip/tcpip.h"
#include "lwip/udp.h"
#include "os.h"

namespace netstack {

namespace {

// Addresses cross in network order; this host, like the module, is little-endian.

// The image's copy of an lwIP function (decltype names its type without linking this binary's).
#define LWIP(inst, fn) reinterpret_cast<decltype(&fn)>((inst).firmware_symbol(#fn))

struct ResolveCall {
  camhost::Instance* inst;
  std::string name;
  os_semaphore done;
  int64_t result = -1;
};

void OnFound(const char*, const ip_addr_t* address, void* arg) {
  auto* c = static_cast<ResolveCall*>(arg);
  c->result = address ? __builtin_bswap32(ip4_addr_get_u32(ip_2_ip4(address))) : 0;
  os_sem_post(&c->done);
}

void ResolveWorker(void* arg) {
  auto* c = static_cast<ResolveCall*>(arg);
  ip_addr_t address;
  err_t e = LWIP(*c->inst, dns_gethostbyname)(c->name.c_str(), &address, OnFound, c);
  if (e == ERR_OK) OnFound(nullptr, &address, c);
  else if (e != ERR_INPROGRESS) OnFound(nullptr, nullptr, c);
}

struct Udp {
  camhost::Instance* inst;
  udp_pcb* pcb = nullptr;
  uint16_t port;
  mutable std::mutex m;
  std::vector<std::string> received;
  // One send at a time.
  uint32_t to;
  uint16_t to_port;
  std::string payload;
  bool sent;
  os_semaphore done;
  os_semaphore rx;  // posted for every datagram received
};

void UdpReceive(void* arg, udp_pcb*, pbuf* p, const ip_addr_t*, u16_t) {
  auto* u = static_cast<Udp*>(arg);
  std::string data(p->tot_len, '\0');
  LWIP(*u->inst, pbuf_copy_partial)(p, data.data(), p->tot_len, 0);
  LWIP(*u->inst, pbuf_free)(p);
  std::lock_guard<std::mutex> g(u->m);
  u->received.push_back(data);
  os_sem_post(&u->rx);
}

void OpenWorker(void* arg) {
  auto* u = static_cast<Udp*>(arg);
  os_sem_init(&u->rx, 0);
  u->pcb = LWIP(*u->inst, udp_new)();
  if (u->pcb) {
    ip_addr_t any;
    ip_addr_set_zero_ip4(&any);
    LWIP(*u->inst, udp_bind)(u->pcb, &any, u->port);
    LWIP(*u->inst, udp_recv)(u->pcb, UdpReceive, u);
  }
  os_sem_post(&u->done);
}

void CloseWorker(void* arg) {
  auto* u = static_cast<Udp*>(arg);
  if (u->pcb) LWIP(*u->inst, udp_remove)(u->pcb);
  u->pcb = nullptr;
  os_sem_post(&u->done);
}

void SendWorker(void* arg) {
  auto* u = static_cast<Udp*>(arg);
  u->sent = false;
  pbuf* p = LWIP(*u->inst, pbuf_alloc)(PBUF_TRANSPORT, static_cast<u16_t>(u->payload.size()),
                                       PBUF_RAM);
  if (p && u->pcb) {
    LWIP(*u->inst, pbuf_take)(p, u->payload.data(), static_cast<u16_t>(u->payload.size()));
    ip_addr_t to;
    ip_addr_set_ip4_u32(&to, __builtin_bswap32(u->to));
    u->sent = LWIP(*u->inst, udp_sendto)(u->pcb, p, &to, u->to_port) == ERR_OK;
  }
  if (p) LWIP(*u->inst, pbuf_free)(p);
  os_sem_post(&u->done);
}

// Runs `worker` on lwIP's thread and waits (on a kernel thread) for it to post `done`.
void OnStack(camhost::Instance& inst, tcpip_callback_fn worker, void* arg, os_semaphore* done) {
  inst.call([&] {
    os_sem_init(done, 0);
    if (LWIP(inst, tcpip_callback)(worker, arg) == ERR_OK) os_sem_wait_timeout(done, 5000000);
  });
}

}  // namespace

int64_t Resolve(camhost::Instance& inst, const std::string& name, uint64_t max_usecs) {
  ResolveCall c;
  c.inst = &inst;
  c.name = name;
  inst.call([&] {
    os_sem_init(&c.done, 0);
    if (LWIP(inst, tcpip_callback)(ResolveWorker, &c) == ERR_OK)
      os_sem_wait_timeout(&c.done, static_cast<uint32_t>(max_usecs));
  });
  return c.result;
}

UdpEndpoint::UdpEndpoint(camhost::Instance& inst, uint16_t local_port) : inst_(inst) {
  auto* u = new Udp;
  u->inst = &inst;
  u->port = local_port;
  state_ = u;
  OnStack(inst, OpenWorker, u, &u->done);
}

UdpEndpoint::~UdpEndpoint() {
  auto* u = static_cast<Udp*>(state_);
  OnStack(inst_, CloseWorker, u, &u->done);
  delete u;
}

bool UdpEndpoint::SendTo(uint32_t address, uint16_t port, const std::string& payload) {
  auto* u = static_cast<Udp*>(state_);
  u->to = address;
  u->to_port = port;
  u->payload = payload;
  OnStack(inst_, SendWorker, u, &u->done);
  return u->sent;
}

std::vector<double> UdpEndpoint::PingPong(uint32_t address, uint16_t port, int count,
                                          uint32_t max_wait_usecs) {
  auto* u = static_cast<Udp*>(state_);
  std::vector<double> out;
  inst_.call([&] {
    for (int i = 0; i < count; i++) {
      u->to = address;
      u->to_port = port;
      u->payload = "ping";
      auto t0 = std::chrono::steady_clock::now();
      os_sem_init(&u->done, 0);
      if (LWIP(inst_, tcpip_callback)(SendWorker, u) != ERR_OK) continue;
      os_sem_wait(&u->done);
      if (os_sem_wait_timeout(&u->rx, max_wait_usecs) == 0)
        out.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() -
                                                                t0).count());
    }
  }, 4, 3600000000ull);
  return out;
}

std::vector<std::string> UdpEndpoint::Received() const {
  auto* u = static_cast<Udp*>(state_);
  std::lock_guard<std::mutex> g(u->m);
  return u->received;
}

PoolUse Pools(camhost::Instance& inst) {
  auto* s = static_cast<stats_*>(inst.firmware_symbol("lwip_stats"));
  PoolUse p{};
  if (!s) return p;
  p.pbuf_pool = s->memp[MEMP_PBUF_POOL]->used;
  p.pbuf = s->memp[MEMP_PBUF]->used;
  p.udp_pcb = s->memp[MEMP_UDP_PCB]->used;
  p.tcp_pcb = s->memp[MEMP_TCP_PCB]->used;
  p.tcp_seg = s->memp[MEMP_TCP_SEG]->used;
  p.sys_timeout = s->memp[MEMP_SYS_TIMEOUT]->used;
  p.heap = static_cast<uint32_t>(s->mem.used);
  return p;
}

namespace {

struct Hog {
  camhost::Instance* inst;
  PoolHog::Pools pools;
  std::vector<std::pair<memp_t, void*>> held;
  int taken = 0;
  bool release = false;
  os_semaphore done;
};

void HogWorker(void* arg) {
  auto* h = static_cast<Hog*>(arg);
  h->taken = 0;
  if (h->release) {
    for (auto& [type, mem] : h->held) LWIP(*h->inst, memp_free)(type, mem);
    h->held.clear();
  } else {
    std::vector<memp_t> types;
    if (h->pools.pbuf) types.push_back(MEMP_PBUF);
    if (h->pools.tcp_seg) types.push_back(MEMP_TCP_SEG);
    if (h->pools.tcp_pcb) types.push_back(MEMP_TCP_PCB);
    if (h->pools.pbuf_pool) types.push_back(MEMP_PBUF_POOL);
    for (memp_t t : types) {
      while (void* mem = LWIP(*h->inst, memp_malloc)(t)) {
        h->held.emplace_back(t, mem);
        h->taken++;
      }
    }
  }
  os_sem_post(&h->done);
}

void RunHog(Hog* h, bool release) {
  h->release = release;
  os_sem_init(&h->done, 0);
  if (LWIP(*h->inst, tcpip_callback)(HogWorker, h) == ERR_OK) os_sem_wait(&h->done);
}

}  // namespace

PoolHog::PoolHog(camhost::Instance& inst, Pools pools) : inst_(inst) {
  auto* h = new Hog;
  h->inst = &inst;
  h->pools = pools;
  state_ = h;
}

PoolHog::~PoolHog() {
  auto* h = static_cast<Hog*>(state_);
  if (!h->held.empty()) inst_.call([&] { RunHog(h, true); });
  delete h;
}

int PoolHog::Take() {
  auto* h = static_cast<Hog*>(state_);
  RunHog(h, false);
  return h->taken;
}

void PoolHog::Release() { RunHog(static_cast<Hog*>(state_), true); }

int PoolHog::held() const { return static_cast<int>(static_cast<Hog*>(state_)->held.size()); }

std::string Describe(const PoolUse& p) {
  return "pbuf_pool " + std::to_string(p.pbuf_pool) + ", pbuf " + std::to_string(p.pbuf) +
         ", udp_pcb " + std::to_string(p.udp_pcb) + ", tcp_pcb " + std::to_string(p.tcp_pcb) +
         ", tcp_seg " + std::to_string(p.tcp_seg) + ", heap " + std::to_string(p.heap);
}

}  // namespace netstack
