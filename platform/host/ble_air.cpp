// The BLE air: the listening socket, the links handed to the module and the ATT capture.
#include "camhost/ble_air.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "camhost/bus.h"

namespace {

std::mutex mu;
int listenFd = -1;
int wakeFds[2] = {-1, -1};
std::set<int> links;
FILE* pcap;

void put32be(uint8_t* p, uint32_t v) {
  p[0] = v >> 24;
  p[1] = v >> 16;
  p[2] = v >> 8;
  p[3] = v;
}

// One record: direction header (0 sent by the host, 1 received), H4 ACL, L2CAP on the ATT CID.
void capture(bool received, uint16_t conn, const uint8_t* pdu, size_t length) {
  std::lock_guard<std::mutex> g(mu);
  if (!pcap || length > 0xFFFF - 9) return;
  uint64_t t = camhost::time_now();
  uint32_t caplen = static_cast<uint32_t>(4 + 1 + 4 + 4 + length);
  uint32_t rec[4] = {static_cast<uint32_t>(t / 1000000), static_cast<uint32_t>(t % 1000000), caplen,
                     caplen};
  uint8_t h[13];
  put32be(h, received ? 1 : 0);
  h[4] = 0x02;  // ACL data
  uint16_t hf = (conn & 0x0FFF) | 0x2000;  // first automatically flushable packet
  h[5] = hf;
  h[6] = hf >> 8;
  h[7] = (length + 4);
  h[8] = (length + 4) >> 8;
  h[9] = length;
  h[10] = length >> 8;
  h[11] = 0x04;  // the attribute protocol's channel
  h[12] = 0x00;
  fwrite(rec, sizeof rec, 1, pcap);
  fwrite(h, sizeof h, 1, pcap);
  fwrite(pdu, length, 1, pcap);
  fflush(pcap);
}

void dropLinks() {
  std::lock_guard<std::mutex> g(mu);
  for (int fd : links) close(fd);
  links.clear();
  if (wakeFds[0] >= 0) {
    char b[64];
    while (read(wakeFds[0], b, sizeof b) > 0) {
    }
  }
}

struct RegisterReset {
  RegisterReset() { camhost::on_module_reset(dropLinks); }
} registerReset;

}  // namespace

namespace camhost {

bool ble_listen(const std::string& path) {
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) {
    fprintf(stderr, "camlink: BLE socket path too long: %s\n", path.c_str());
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  a.sun_family = AF_UNIX;
  memcpy(a.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
    fprintf(stderr, "camlink: cannot listen on BLE socket %s: %s\n", path.c_str(), strerror(errno));
    close(fd);
    return false;
  }
  std::lock_guard<std::mutex> g(mu);
  if (wakeFds[0] < 0 && pipe2(wakeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    close(fd);
    return false;
  }
  if (listenFd >= 0) close(listenFd);
  listenFd = fd;
  return true;
}

bool ble_pcap(const std::string& file) {
  FILE* f = fopen(file.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "camlink: cannot write %s: %s\n", file.c_str(), strerror(errno));
    return false;
  }
  uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 201};
  fwrite(hdr, sizeof hdr, 1, f);
  fflush(f);
  std::lock_guard<std::mutex> g(mu);
  if (pcap) fclose(pcap);
  pcap = f;
  return true;
}

void ble_close() {
  dropLinks();
  std::lock_guard<std::mutex> g(mu);
  if (listenFd >= 0) close(listenFd);
  listenFd = -1;
  if (pcap) fclose(pcap);
  pcap = nullptr;
}

}  // namespace camhost

extern "C" {

int camhost_ble_air_listen_fd(void) {
  std::lock_guard<std::mutex> g(mu);
  return listenFd;
}

int camhost_ble_air_wake_fd(void) {
  std::lock_guard<std::mutex> g(mu);
  return wakeFds[0];
}

void camhost_ble_air_wake(void) {
  std::lock_guard<std::mutex> g(mu);
  if (wakeFds[1] >= 0) {
    char b = 1;
    (void)!write(wakeFds[1], &b, 1);
  }
}

void camhost_ble_air_drain(void) {
  std::lock_guard<std::mutex> g(mu);
  char b[64];
  if (wakeFds[0] >= 0)
    while (read(wakeFds[0], b, sizeof b) > 0) {
    }
}

int camhost_ble_air_accept(void) {
  std::lock_guard<std::mutex> g(mu);
  if (listenFd < 0) return -1;
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) links.insert(fd);
  return fd;
}

void camhost_ble_air_close(int fd) {
  std::lock_guard<std::mutex> g(mu);
  if (links.erase(fd)) close(fd);
}

long camhost_ble_air_recv(int fd, uint16_t conn, uint8_t* buf, size_t cap) {
  {
    std::lock_guard<std::mutex> g(mu);
    if (!links.count(fd)) return 0;  // dropped by a reset
  }
  ssize_t n = recv(fd, buf, cap, MSG_DONTWAIT);
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? -1 : 0;
  if (n > 0 && conn != 0xFFFF) capture(true, conn, buf, static_cast<size_t>(n));
  return n;
}

int camhost_ble_air_send(int fd, uint16_t conn, const uint8_t* pdu, size_t length) {
  {
    std::lock_guard<std::mutex> g(mu);
    if (!links.count(fd)) return -1;
  }
  if (send(fd, pdu, length, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(length)) return -1;
  if (conn != 0xFFFF) capture(false, conn, pdu, length);
  return 0;
}

void camhost_ble_air_capture(int received, uint16_t conn, const uint8_t* pdu, size_t length) {
  capture(received != 0, conn, pdu, length);
}

}  // extern "C"
