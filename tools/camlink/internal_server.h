// camlink's in-process camera server (--server internal): a camserver on the host side of the
// link, serving on a kernel thread so that a virtual-time run stays repeatable.
#ifndef CAMLINK_INTERNAL_SERVER_H
#define CAMLINK_INTERNAL_SERVER_H

#include <memory>
#include <string>

#include "camhost/runtime.h"
#include "server.h"

namespace camlink {

// Moves this process into a network namespace of its own with its loopback up, so that the
// in-process server's port and the link's sockets are this camera's alone: any number of
// camlinks with internal servers run side by side. Call before any thread starts. False, with the
// reason, when the system refuses.
bool enter_private_network(std::string* error);

class InternalServer {
 public:
  // Binds 127.0.0.1:46103; a virtual clock gives the server a fixed start time (2026-01-01T00:00:00
  // UTC) so that its keep-alives repeat byte for byte.
  InternalServer(bool virtual_time, uint32_t seed);
  bool ok() const { return server_->ok(); }
  const std::string& error() const { return server_->error(); }
  // Serves on a kernel thread of `inst` from now on.
  void start(camhost::Instance& inst);
  void stop() { server_->stop(); }

 private:
  std::unique_ptr<camserver::Server> server_;
};

}  // namespace camlink

#endif  // CAMLINK_INTERNAL_SERVER_H
