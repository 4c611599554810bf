// A joined camera and an in-process camserver, in virtual time: the firmware, its board, the link
// behind the access point, and the server on the link's far side (127.0.0.1:46103 of this test's
// own network namespace). The server is driven from kernel threads, one call at a time.
#ifndef CAMLINK_TESTS_UDP_UDP_FIXTURE_H
#define CAMLINK_TESTS_UDP_UDP_FIXTURE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "server.h"
#include "system/net_fixture.h"

// 2026-01-01T00:00:00Z: the server clock at virtual time 0.
constexpr int64_t kServerEpoch = 1767225600;

inline camserver::Options ServerOptions() {
  camserver::Options o;
  o.clock_epoch = kServerEpoch;
  return o;
}

class UdpWorld : public NetWorld {
 protected:
  explicit UdpWorld(camserver::Options options = ServerOptions()) { MakeServer(options); }
  explicit UdpWorld(const camhost::Options& firmware, camserver::Options options = ServerOptions())
      : NetWorld(firmware) {
    MakeServer(options);
  }
  void MakeServer(camserver::Options options) {
    options.log = [this](const std::string& line) { server_log.push_back(line); };
    server = std::make_unique<camserver::Server>(options, camserver::kernel_waiter());
  }

  void SetUp() override {
    NetWorld::SetUp();
    ASSERT_TRUE(server->ok()) << server->error();
  }

  // Runs `fn` on a kernel thread until it returns.
  void OnKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst.call(fn, 4)); }

  // The server serves (keep-alives, answers) for `usecs` of virtual time.
  void Serve(uint64_t usecs) {
    OnKernel([&] { server->serve_until(server->waiter().now_us() + usecs); });
  }

  // Boots, joins and serves until the session is open.
  bool Open(uint64_t max_usecs = 60 * kSec) {
    if (!BootAndJoin()) return false;
    bool open = false;
    OnKernel([&] { open = server->wait_for_session(max_usecs); });
    return open;
  }

  camserver::Reply Command(uint16_t id, const camserver::Bytes& body = {}) {
    camserver::Reply r;
    OnKernel([&] { r = server->command(id, body); });
    return r;
  }
  camserver::Reply Set(uint16_t id, int32_t value) {
    camserver::Bytes body;
    camserver::put32(body, 0, static_cast<uint32_t>(value));
    return Command(id, body);
  }
  int32_t Value(const camserver::Reply& r) { return static_cast<int32_t>(camserver::get32(r.bytes, 32)); }

  // Sends a datagram as it is and serves `usecs`; what came back meanwhile.
  std::vector<camserver::Bytes> Raw(const camserver::Bytes& b, uint64_t usecs = 2 * kSec) {
    std::vector<camserver::Bytes> back;
    OnKernel([&] { back = server->raw(b, usecs); });
    return back;
  }

  // A request as the server would send it next, for hand-made variants.
  camserver::Bytes Request(uint16_t id, size_t length) {
    camserver::Header h;
    h.cmdID = id;
    h.cmdSequenceNumber = server->reserve_command_sequence();
    h.packetSequenceNumber = h.cmdSequenceNumber;
    std::copy(server->session().camera_id, server->session().camera_id + 6, h.cameraID);
    return camserver::encode(h, length);
  }

  int CountLogged(const std::string& text) {
    int n = 0;
    for (const std::string& l : Lines(inst.console())) n += l.find(text) != std::string::npos;
    return n;
  }
  int ServerLogged(const std::string& text) {
    int n = 0;
    for (const std::string& l : server_log) n += l.find(text) != std::string::npos;
    return n;
  }

  std::vector<std::string> server_log;
  std::unique_ptr<camserver::Server> server;
};

#endif  // CAMLINK_TESTS_UDP_UDP_FIXTURE_H
