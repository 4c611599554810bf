#include "netns.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace camserver {

namespace {

bool loopback_up(std::string* error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return false;
  }
  ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  if (!ok) *error = std::string("bringing the loopback up: ") + strerror(errno);
  close(fd);
  return ok;
}

}  // namespace

bool enter_private_network(std::string* error) {
  // With the privilege a network namespace alone will do; otherwise a user namespace grants it.
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    *error = std::string("cannot make a private network namespace: ") + strerror(errno);
    return false;
  }
  return loopback_up(error);
}

}  // namespace camserver
