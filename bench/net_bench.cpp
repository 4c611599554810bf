// Network figures: simulated seconds per wall second of a joined, idle camera in virtual time,
// and the UDP round trip through lwIP, the link and a host socket in real time, beside a plain
// host UDP round trip measured in the same run.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "camhost/net.h"
#include "camhost/runtime.h"
#include "sim/board.h"
#include "system/net_stack.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kSec = 1000000;
constexpr int kRoundTrips = 10000;

struct Echo {
  int fd;
  uint16_t port;
  std::atomic<bool> stop{false};
  std::thread t;
  Echo() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    t = std::thread([this] {
      char buf[1500];
      while (!stop) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n > 0) sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), flen);
      }
    });
  }
  ~Echo() {
    stop = true;
    t.join();
    close(fd);
  }
};

void Report(const char* what, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  if (us.empty()) {
    printf("%-44s no round trips\n", what);
    return;
  }
  printf("%-44s median %8.1f us   p99 %8.1f us   (%zu round trips)\n", what, us[us.size() / 2],
         us[us.size() * 99 / 100], us.size());
}

sim::BoardConfig Board() {
  sim::BoardConfig c;
  c.stm32.ssid = sim::kDefaultApSsid;
  c.stm32.password = sim::kDefaultApPassphrase;
  return c;
}

camhost::net::LinkOptions Link() {
  camhost::net::LinkOptions o;
  o.access_points.push_back({sim::kDefaultApSsid, sim::kDefaultApPassphrase});
  return o;
}

void IdleJoined() {
  camhost::Options o;
  o.firmware = CAMFW_PATH;
  camhost::Instance inst(o);
  sim::Board board(Board());
  camhost::net::Link link(Link());
  inst.boot();
  auto t0 = Clock::now();
  inst.run_for(1800 * kSec);
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  bool joined = inst.console().find("[APP]WiFi connection is established.") != std::string::npos;
  printf("idle joined camera, virtual time: %.0f simulated s per wall s (1800 s in %.3f s)%s\n",
         1800 / wall, wall, joined ? "" : "  [NOT JOINED]");
}

void RoundTrips() {
  Echo echo;
  // Plain host sockets first: the floor this machine sets.
  {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(echo.port);
    std::vector<double> us;
    char buf[64];
    for (int i = 0; i < kRoundTrips; i++) {
      auto t0 = Clock::now();
      sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (recv(fd, buf, sizeof buf, 0) > 0)
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(fd);
    Report("plain host UDP socket round trip:", us);
  }
  camhost::Options o;
  o.firmware = CAMFW_PATH;
  o.clock = camhost::ClockKind::Real;
  camhost::Instance inst(o);
  sim::Board board(Board());
  camhost::net::Link link(Link());
  inst.boot();
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (inst.console().find("[APP]WiFi connection is established.") == std::string::npos &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  netstack::UdpEndpoint udp(inst, 46103);
  Report("lwIP + link + slirp + host socket round trip:",
         udp.PingPong(camhost::net::kHostAddress, echo.port, kRoundTrips, 200000));
}

}  // namespace

int main() {
  IdleJoined();
  RoundTrips();
  return 0;
}
