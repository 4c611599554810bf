#include "internal_server.h"

#include <unistd.h>

#include "camhost/bus.h"
#include "netns.h"

namespace camlink {

namespace {

constexpr int64_t kVirtualClockEpoch = 1767225600;  // 2026-01-01T00:00:00Z

}  // namespace

bool enter_private_network(std::string* error) { return camserver::enter_private_network(error); }

InternalServer::InternalServer(bool virtual_time, uint32_t seed) {
  camserver::Options o;
  o.seed = seed;
  o.clock_epoch = virtual_time ? kVirtualClockEpoch : -1;
  o.log = [](const std::string& line) {
    std::string text = "[camserver] " + line + "\n";
    if (write(STDOUT_FILENO, text.data(), text.size()) < 0) {
    }
  };
  server_ = std::make_unique<camserver::Server>(o, camserver::kernel_waiter());
}

void InternalServer::start(camhost::Instance& inst) {
  camserver::Server* s = server_.get();
  inst.spawn("camserver", 4, [s] { s->serve_forever(); });
}

}  // namespace camlink
