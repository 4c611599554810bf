// The link behind the board's access points: frames between the station and libslirp, the
// filter in front of slirp, the link's own DNS, loss, delay, cut and the pcap file. One kernel
// thread outside the firmware ("link") makes every slirp call and waits with camhost::wait_fds,
// so virtual time never jumps past a ready socket.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include <libslirp.h>

#include "camhost/bus.h"
#include "camhost/net.h"
#include "camhost/radio.h"
#include "camhost/runtime.h"
#include "frames.h"

namespace camhost::net {

namespace {

using frames::Verdict;

// Virtual time with outside peers: the longest stretch of virtual time per wall-clock wait.
constexpr int kPaceMs = 1;
// A frame the station could not take (its receive queue full) is offered again after this, for at
// most kStationGiveUpUs; the frames behind it wait with it, so none overtakes another.
constexpr uint64_t kStationRetryUs = 100;
constexpr uint64_t kStationGiveUpUs = 100000;
constexpr uint64_t kNotRefused = ~uint64_t(0);

struct Timer {
  SlirpTimerCb cb;
  void* opaque;
  int64_t expire_ms = -1;
};

struct Pending {
  uint64_t due;
  uint64_t seq;
  bool to_station;
  std::vector<uint8_t> bytes;
  uint64_t refused_since = kNotRefused;  // when the station first could not take it
};

}  // namespace

struct LinkState {
  LinkOptions opt;
  mutable std::mutex m;  // data only: never held across a kernel call or a firmware callback
  int wake_fd = -1;
  Slirp* slirp = nullptr;
  FILE* pcap = nullptr;
  std::vector<Timer*> timers;

  // Guarded by m.
  std::deque<std::vector<uint8_t>> from_station;
  std::vector<Pending> pending;
  uint64_t pending_seq = 0;
  uint64_t station_busy_until = 0;  // no frame goes to the station before this
  std::vector<std::string> dropped;
  std::set<std::string> dropped_seen;
  std::vector<std::pair<std::string, uint32_t>> hosts;
  bool cut = false, drop_all = false;
  double drop_fraction = 0;
  uint64_t delay = 0;
  bool joined = false;
  camhost_radio_rx_fn rx = nullptr;
  camhost_radio_state_fn state = nullptr;
  void* ctx = nullptr;
  bool told_up = true;  // the state last reported to the station
  int host_sockets = 0;
  uint64_t frames_from = 0, frames_to = 0;
  bool stop = false;

  std::vector<pollfd> pfds;  // link thread only

  ~LinkState() {
    if (slirp) slirp_cleanup(slirp);
    for (Timer* t : timers) delete t;
    if (pcap) fclose(pcap);
    if (wake_fd >= 0) close(wake_fd);
  }

  void wake() {
    uint64_t one = 1;
    ssize_t r = write(wake_fd, &one, sizeof one);
    (void)r;
  }
};

namespace {

std::mutex g_m;                    // guards g_link
std::shared_ptr<LinkState> g_link;  // the link of this process's instance

std::shared_ptr<LinkState> link_now() {
  std::lock_guard<std::mutex> g(g_m);
  return g_link;
}

void pcap_record(LinkState* s, const uint8_t* f, size_t n) {
  if (!s->pcap) return;
  uint64_t t = time_now();
  uint8_t h[16];
  uint32_t v[4] = {static_cast<uint32_t>(t / 1000000), static_cast<uint32_t>(t % 1000000),
                   static_cast<uint32_t>(n), static_cast<uint32_t>(n)};
  memcpy(h, v, sizeof h);  // pcap records are in the writer's byte order, as its header says
  std::lock_guard<std::mutex> g(s->m);
  fwrite(h, 1, sizeof h, s->pcap);
  fwrite(f, 1, n, s->pcap);
  fflush(s->pcap);
}

void pcap_open(LinkState* s) {
  if (s->opt.pcap_path.empty()) return;
  s->pcap = fopen(s->opt.pcap_path.c_str(), "wb");
  if (!s->pcap) {
    fprintf(stderr, "camlink: cannot write the pcap file %s\n", s->opt.pcap_path.c_str());
    return;
  }
  uint32_t hdr[6] = {0xA1B2C3D4, 0x00040002, 0, 0, 65535, 1};  // µs stamps, v2.4, Ethernet
  fwrite(hdr, 1, sizeof hdr, s->pcap);
  fflush(s->pcap);
}

// Whether this frame is lost on the air (link cut, drop all, or the seeded drop fraction).
bool lost(LinkState* s) {
  double fraction;
  {
    std::lock_guard<std::mutex> g(s->m);
    if (s->cut || s->drop_all) return true;
    fraction = s->drop_fraction;
  }
  if (fraction <= 0) return false;
  Instance* inst = current();
  double r = (inst ? inst->random() : 0) / 4294967296.0;
  return r < fraction;
}

void schedule(LinkState* s, bool to_station, std::vector<uint8_t> bytes) {
  uint64_t due = time_now();
  std::lock_guard<std::mutex> g(s->m);
  due += s->delay;
  s->pending.push_back(Pending{due, ++s->pending_seq, to_station, std::move(bytes)});
}

void refuse(LinkState* s, const std::string& what) {
  std::lock_guard<std::mutex> g(s->m);
  if (!s->dropped_seen.insert(what).second) return;
  s->dropped.push_back(what);
  fprintf(stderr, "camlink: link dropped traffic to %s: only 10.0.2.2 is forwarded\n",
          what.c_str());
}

bool lookup_host(LinkState* s, const std::string& name, uint32_t* address) {
  std::lock_guard<std::mutex> g(s->m);
  for (auto it = s->hosts.rbegin(); it != s->hosts.rend(); ++it) {
    const std::string& n = it->first;
    if (n.size() == name.size() &&
        std::equal(n.begin(), n.end(), name.begin(),
                   [](char a, char b) { return tolower(a) == tolower(b); })) {
      *address = it->second;
      return true;
    }
  }
  return false;
}

// A frame from the station, past the air: to slirp, to the link's DNS, or refused.
void from_station(LinkState* s, const uint8_t* f, size_t n) {
  frames::Decision d = frames::classify(f, n);
  switch (d.verdict) {
    case Verdict::kToNat:
      slirp_input(s->slirp, f, static_cast<int>(n));
      camhost::expect_host_io();
      break;
    case Verdict::kDns: {
      std::vector<uint8_t> r = frames::dns_answer(
          f, n, [s](const std::string& name, uint32_t* a) { return lookup_host(s, name, a); });
      if (r.empty()) break;
      pcap_record(s, r.data(), r.size());
      if (!lost(s)) schedule(s, true, std::move(r));
      break;
    }
    case Verdict::kRefuse:
      refuse(s, d.what);
      break;
    case Verdict::kIgnore:
      break;
  }
}

// ---- slirp's callbacks (all on the link thread) ----------------------------------------------

ssize_t cb_send_packet(const void* buf, size_t len, void* opaque) {
  auto* s = static_cast<LinkState*>(opaque);
  const auto* f = static_cast<const uint8_t*>(buf);
  pcap_record(s, f, len);
  if (!lost(s)) schedule(s, true, std::vector<uint8_t>(f, f + len));
  return static_cast<ssize_t>(len);
}

void cb_guest_error(const char* msg, void*) { fprintf(stderr, "camlink: link: %s\n", msg); }
int64_t cb_clock_ns(void*) { return static_cast<int64_t>(time_now()) * 1000; }
void* cb_timer_new(SlirpTimerCb cb, void* cb_opaque, void* opaque) {
  auto* s = static_cast<LinkState*>(opaque);
  auto* t = new Timer{cb, cb_opaque};
  s->timers.push_back(t);
  return t;
}
void cb_timer_free(void* timer, void* opaque) {
  auto* s = static_cast<LinkState*>(opaque);
  s->timers.erase(std::remove(s->timers.begin(), s->timers.end(), timer), s->timers.end());
  delete static_cast<Timer*>(timer);
}
void cb_timer_mod(void* timer, int64_t expire_ms, void*) {
  static_cast<Timer*>(timer)->expire_ms = expire_ms;
}
void cb_register_fd(int, void*) {}
void cb_unregister_fd(int, void*) {}
void cb_notify(void* opaque) { static_cast<LinkState*>(opaque)->wake(); }

int cb_add_poll(int fd, int events, void* opaque) {
  auto* s = static_cast<LinkState*>(opaque);
  short ev = 0;
  if (events & SLIRP_POLL_IN) ev |= POLLIN;
  if (events & SLIRP_POLL_OUT) ev |= POLLOUT;
  if (events & SLIRP_POLL_PRI) ev |= POLLPRI;
  s->pfds.push_back(pollfd{fd, ev, 0});
  return static_cast<int>(s->pfds.size() - 1);
}

int cb_get_revents(int idx, void* opaque) {
  auto* s = static_cast<LinkState*>(opaque);
  short r = s->pfds[static_cast<size_t>(idx)].revents;
  int out = 0;
  if (r & POLLIN) out |= SLIRP_POLL_IN;
  if (r & POLLOUT) out |= SLIRP_POLL_OUT;
  if (r & POLLPRI) out |= SLIRP_POLL_PRI;
  if (r & POLLERR) out |= SLIRP_POLL_ERR;
  if (r & POLLHUP) out |= SLIRP_POLL_HUP;
  return out;
}

const SlirpCb kCallbacks = {
    cb_send_packet, cb_guest_error, cb_clock_ns,  cb_timer_new,     cb_timer_free,
    cb_timer_mod,   cb_register_fd, cb_unregister_fd, cb_notify, nullptr, nullptr,
};

// ---- The link thread -------------------------------------------------------------------------

// Moves frames on and fires slirp's timers until nothing more is due now; the next due time.
uint64_t run_due(LinkState* s) {
  for (;;) {
    bool did = false;
    std::deque<std::vector<uint8_t>> sent;
    {
      std::lock_guard<std::mutex> g(s->m);
      sent.swap(s->from_station);
    }
    for (auto& f : sent) {
      did = true;
      pcap_record(s, f.data(), f.size());
      if (!lost(s)) schedule(s, false, std::move(f));
    }
    uint64_t now = time_now();
    Pending p;
    bool have = false;
    uint64_t next = ~uint64_t(0);
    {
      std::lock_guard<std::mutex> g(s->m);
      auto due = s->pending.end();
      for (auto it = s->pending.begin(); it != s->pending.end(); ++it) {
        uint64_t when = it->to_station ? std::max(it->due, s->station_busy_until) : it->due;
        if (when <= now && (due == s->pending.end() || it->due < due->due ||
                            (it->due == due->due && it->seq < due->seq)))
          due = it;
        next = std::min(next, when);
      }
      if (due != s->pending.end()) {
        p = std::move(*due);
        s->pending.erase(due);
        have = true;
      }
    }
    if (have) {
      did = true;
      if (p.to_station) {
        camhost_radio_rx_fn rx;
        void* ctx;
        {
          std::lock_guard<std::mutex> g(s->m);
          rx = s->joined ? s->rx : nullptr;
          ctx = s->ctx;
        }
        if (rx && rx(ctx, p.bytes.data(), p.bytes.size())) {
          std::lock_guard<std::mutex> g(s->m);
          s->frames_to++;
        } else if (rx) {
          uint64_t t = time_now();
          if (p.refused_since == kNotRefused) p.refused_since = t;
          if (t - p.refused_since < kStationGiveUpUs) {  // else lost, as after the air's retries
            std::lock_guard<std::mutex> g(s->m);
            s->station_busy_until = t + kStationRetryUs;
            s->pending.push_back(std::move(p));
          }
        }
      } else {
        from_station(s, p.bytes.data(), p.bytes.size());
      }
    }
    int64_t now_ms = static_cast<int64_t>(time_now() / 1000);
    for (size_t i = 0; i < s->timers.size(); i++) {
      Timer* t = s->timers[i];
      if (t->expire_ms >= 0 && t->expire_ms <= now_ms) {
        t->expire_ms = -1;
        t->cb(t->opaque);
        did = true;
      }
    }
    if (did) continue;
    for (Timer* t : s->timers)
      if (t->expire_ms >= 0) next = std::min(next, static_cast<uint64_t>(t->expire_ms) * 1000);
    return next;
  }
}

// Tells the joined station when its access point vanishes or comes back.
void report_state(LinkState* s) {
  camhost_radio_state_fn fn = nullptr;
  void* ctx = nullptr;
  bool up = false;
  {
    std::lock_guard<std::mutex> g(s->m);
    up = !s->cut;
    if (s->joined && s->state && up != s->told_up) {
      fn = s->state;
      ctx = s->ctx;
    }
    s->told_up = up;
  }
  if (fn) fn(ctx, up ? 1 : 0);
}

void link_loop(std::shared_ptr<LinkState> s) {
  std::vector<int> fds;
  for (;;) {
    {
      std::lock_guard<std::mutex> g(s->m);
      if (s->stop) return;
    }
    uint64_t drain;
    ssize_t r = read(s->wake_fd, &drain, sizeof drain);
    (void)r;
    report_state(s.get());
    uint64_t next = run_due(s.get());

    s->pfds.clear();
    uint32_t timeout_ms = 1000;
    slirp_pollfds_fill(s->slirp, &timeout_ms, cb_add_poll, s.get());
    uint64_t now = time_now();
    uint64_t deadline = std::min(next, now + uint64_t(timeout_ms) * 1000);
    fds.assign(1, s->wake_fd);
    bool wants_out = false;
    for (auto& p : s->pfds) {
      if (p.events & POLLIN) fds.push_back(p.fd);
      if (p.events & POLLOUT) wants_out = true;
    }
    {
      std::lock_guard<std::mutex> g(s->m);
      s->host_sockets = static_cast<int>(s->pfds.size());
    }
    int ready = 0;
    if (wants_out || (s->opt.pace_outside_peers && !s->pfds.empty())) {
      // A socket waiting to write is not something wait_fds watches; an outside peer answers
      // on the wall clock. Look at the sockets for a moment, then let at most that much time pass.
      std::vector<pollfd> all = s->pfds;
      int wait_ms = s->opt.pace_outside_peers && !s->pfds.empty() ? kPaceMs : 0;
      ready = poll(all.data(), all.size(), wait_ms);
      deadline = std::min(deadline, now + kPaceMs * 1000);
    }
    if (ready <= 0) wait_fds(fds.data(), static_cast<int>(fds.size()), deadline);
    for (auto& p : s->pfds) p.revents = 0;
    if (!s->pfds.empty()) poll(s->pfds.data(), s->pfds.size(), 0);
    slirp_pollfds_poll(s->slirp, 0, cb_get_revents, s.get());
  }
}

in_addr addr(uint32_t host_order) {
  in_addr a;
  a.s_addr = htonl(host_order);
  return a;
}

}  // namespace

bool parse_ipv4(const std::string& text, uint32_t* address) {
  in_addr a;
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *address = ntohl(a.s_addr);
  return true;
}

std::string ipv4_text(uint32_t address) {
  char buf[INET_ADDRSTRLEN];
  in_addr a = addr(address);
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

Link::Link(const LinkOptions& options) : s_(std::make_shared<LinkState>()) {
  s_->opt = options;
  s_->hosts.push_back({kDefaultServerHost, kHostAddress});
  for (auto& h : options.hosts) s_->hosts.push_back(h);
  s_->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  pcap_open(s_.get());

  SlirpConfig cfg{};
  cfg.version = 4;
  cfg.in_enabled = true;
  cfg.vnetwork = addr(0x0A000200);
  cfg.vnetmask = addr(0xFFFFFF00);
  cfg.vhost = addr(kHostAddress);
  cfg.vdhcp_start = addr(0x0A00020F);
  cfg.vnameserver = addr(kDnsAddress);
  cfg.in6_enabled = false;
  cfg.disable_dns = true;  // the link answers DNS itself; the host's resolver is never asked
  cfg.disable_host_loopback = false;
  s_->slirp = slirp_new(&cfg, &kCallbacks, s_.get());
  if (!s_->slirp) fprintf(stderr, "camlink: the link could not start libslirp\n");

  {
    std::lock_guard<std::mutex> g(g_m);
    g_link = s_;
  }
  std::shared_ptr<LinkState> s = s_;
  current()->spawn("link", OS_PRIO_MAX, [s] { link_loop(s); });
}

Link::~Link() {
  {
    std::lock_guard<std::mutex> g(g_m);
    if (g_link == s_) g_link.reset();
  }
  {
    std::lock_guard<std::mutex> g(s_->m);
    s_->stop = true;
    s_->rx = nullptr;
    s_->state = nullptr;
  }
  s_->wake();
}

void Link::drop_all(bool on) {
  std::lock_guard<std::mutex> g(s_->m);
  s_->drop_all = on;
}
void Link::drop_fraction(double fraction) {
  std::lock_guard<std::mutex> g(s_->m);
  s_->drop_fraction = fraction;
}
void Link::delay(uint64_t usecs) {
  std::lock_guard<std::mutex> g(s_->m);
  s_->delay = usecs;
}
void Link::cut() {
  {
    std::lock_guard<std::mutex> g(s_->m);
    s_->cut = true;
  }
  s_->wake();
}
void Link::restore() {
  {
    std::lock_guard<std::mutex> g(s_->m);
    s_->cut = false;
  }
  s_->wake();
}
void Link::set_host(const std::string& name, uint32_t address) {
  std::lock_guard<std::mutex> g(s_->m);
  s_->hosts.push_back({name, address});
}
std::vector<std::string> Link::dropped_destinations() const {
  std::lock_guard<std::mutex> g(s_->m);
  return s_->dropped;
}
int Link::host_sockets() const {
  std::lock_guard<std::mutex> g(s_->m);
  return s_->host_sockets;
}
uint64_t Link::frames_from_station() const {
  std::lock_guard<std::mutex> g(s_->m);
  return s_->frames_from;
}
uint64_t Link::frames_to_station() const {
  std::lock_guard<std::mutex> g(s_->m);
  return s_->frames_to;
}
bool Link::station_joined() const {
  std::lock_guard<std::mutex> g(s_->m);
  return s_->joined;
}

}  // namespace camhost::net

// ---- The radio, as the platform code inside the firmware image sees it ------------------------

using camhost::net::LinkState;

namespace {

struct RegisterReset {
  RegisterReset() {
    // A reset takes the station off the air; the link and the access points stay.
    camhost::on_module_reset([] {
      auto s = camhost::net::link_now();
      if (!s) return;
      std::lock_guard<std::mutex> g(s->m);
      s->joined = false;
      s->rx = nullptr;
      s->state = nullptr;
      s->ctx = nullptr;
      s->from_station.clear();
    });
  }
} g_register_reset;

}  // namespace

extern "C" {

int camhost_radio_find(const char* ssid, const char* passphrase, camhost_radio_ap* ap) {
  auto s = camhost::net::link_now();
  if (!s || !ssid) return CAMHOST_RADIO_NOT_FOUND;
  std::lock_guard<std::mutex> g(s->m);
  if (s->cut) return CAMHOST_RADIO_NOT_FOUND;
  for (size_t i = 0; i < s->opt.access_points.size(); i++) {
    const auto& a = s->opt.access_points[i];
    if (a.ssid != ssid) continue;
    if (ap) {
      ap->rssi = a.rssi;
      ap->channel = static_cast<uint8_t>(a.channel);
      const uint8_t bssid[6] = {0x02, 0xA0, 0x00, 0x00, 0x00, static_cast<uint8_t>(i + 1)};
      memcpy(ap->bssid, bssid, 6);
      ap->join_usecs = a.join_ms * 1000u;
    }
    std::string given = passphrase ? passphrase : "";
    return given == a.passphrase ? CAMHOST_RADIO_FOUND : CAMHOST_RADIO_WRONG_PASSPHRASE;
  }
  return CAMHOST_RADIO_NOT_FOUND;
}

int camhost_radio_join(const char* ssid, camhost_radio_rx_fn rx, camhost_radio_state_fn state,
                       void* ctx) {
  auto s = camhost::net::link_now();
  if (!s) return -1;
  std::lock_guard<std::mutex> g(s->m);
  if (s->cut) return -1;
  s->joined = true;
  s->rx = rx;
  s->state = state;
  s->ctx = ctx;
  s->told_up = true;
  return 0;
}

void camhost_radio_leave(void) {
  auto s = camhost::net::link_now();
  if (!s) return;
  std::lock_guard<std::mutex> g(s->m);
  s->joined = false;
  s->rx = nullptr;
  s->state = nullptr;
  s->ctx = nullptr;
}

int camhost_radio_send(const uint8_t* frame, size_t length) {
  auto s = camhost::net::link_now();
  if (!s) return -1;
  {
    std::lock_guard<std::mutex> g(s->m);
    if (!s->joined) return -1;
    s->from_station.emplace_back(frame, frame + length);
    s->frames_from++;
  }
  s->wake();
  return 0;
}

int camhost_radio_up(void) {
  auto s = camhost::net::link_now();
  if (!s) return 0;
  std::lock_guard<std::mutex> g(s->m);
  return !s->cut;
}

}  // extern "C"
