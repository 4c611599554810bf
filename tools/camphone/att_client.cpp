#include "att_client.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace camphone {

namespace {

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void put16(Bytes* b, uint16_t v) {
  b->push_back(v & 0xFF);
  b->push_back(v >> 8);
}

bool pollWait(int fd, uint64_t usecs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(usecs / 1000)) > 0;
}

int openSocket(const std::string& path) {
  sockaddr_un a{};
  if (path.size() >= sizeof a.sun_path) return -1;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  a.sun_family = AF_UNIX;
  memcpy(a.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

AttClient::AttClient(WaitFn wait) : wait_(wait ? std::move(wait) : WaitFn(pollWait)) {}
AttClient::~AttClient() { close(); }

bool AttClient::scan(const std::string& path, Advert* out, uint64_t timeoutUsecs) {
  int fd = openSocket(path);
  if (fd < 0) return false;
  uint8_t req = 0x00;
  uint8_t buf[256];
  ssize_t n = -1;
  if (::send(fd, &req, 1, MSG_NOSIGNAL) == 1 && wait_(fd, timeoutUsecs))
    n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  ::close(fd);
  if (n < 7) return false;
  *out = Advert{};
  out->addressType = buf[0];
  memcpy(out->address, buf + 1, 6);
  for (ssize_t i = 7; i + 1 < n;) {
    uint8_t len = buf[i];
    if (len == 0 || i + 1 + len > n) break;
    uint8_t type = buf[i + 1];
    if (type == 0x01 && len >= 2) out->flags = buf[i + 2];
    if (type == 0x09 || type == 0x08)
      out->name.assign(reinterpret_cast<const char*>(buf + i + 2), len - 1);
    i += 1 + len;
  }
  return true;
}

bool AttClient::connect(const std::string& path) {
  close();
  fd_ = openSocket(path);
  mtu_ = 23;
  return fd_ >= 0;
}

void AttClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  chars_.clear();
  indications_.clear();
  responses_.clear();
}

bool AttClient::send(const Bytes& pdu) {
  if (fd_ < 0) return false;
  if (::send(fd_, pdu.data(), pdu.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(pdu.size())) {
    close();
    return false;
  }
  return true;
}

bool AttClient::pump(uint64_t usecs) {
  if (fd_ < 0) return false;
  uint8_t buf[1024];
  ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    if (!wait_(fd_, usecs)) return false;
    n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  }
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) close();
    return false;
  }
  Bytes pdu(buf, buf + n);
  if (pdu[0] == 0x1D && pdu.size() >= 3) {
    indications_.emplace_back(get16(&pdu[1]), Bytes(pdu.begin() + 3, pdu.end()));
    if (autoConfirm) confirm();
  } else if (pdu[0] != 0x1B) {
    responses_.push_back(std::move(pdu));
  }
  return true;
}

void AttClient::confirm() { send(Bytes{0x1E}); }

Bytes AttClient::response(uint64_t usecs) {
  while (responses_.empty())
    if (!pump(usecs)) return {};
  Bytes r = std::move(responses_.front());
  responses_.pop_front();
  return r;
}

int AttClient::raw(const Bytes& pdu, Bytes* rsp, bool noReply) {
  if (!send(pdu)) return kLinkLost;
  if (noReply) return 0;
  Bytes r = response(timeoutUsecs);
  if (r.empty()) return kLinkLost;
  if (rsp) *rsp = r;
  return 0;
}

int AttClient::request(const Bytes& pdu, uint8_t expected, Bytes* rsp) {
  Bytes r;
  if (raw(pdu, &r) != 0) return kLinkLost;
  if (r[0] == 0x01 && r.size() == 5) return r[4];
  if (r[0] != expected) return kLinkLost;
  *rsp = std::move(r);
  return 0;
}

int AttClient::exchangeMtu(uint16_t clientMtu) {
  Bytes req{0x02};
  put16(&req, clientMtu);
  Bytes r;
  int e = request(req, 0x03, &r);
  if (e != 0) return e;
  if (r.size() != 3) return kLinkLost;
  uint16_t server = get16(&r[1]);
  mtu_ = std::max<uint16_t>(23, std::min(clientMtu, server));
  return 0;
}

int AttClient::read(uint16_t handle, Bytes* value) {
  Bytes req{0x0A};
  put16(&req, handle);
  Bytes r;
  int e = request(req, 0x0B, &r);
  if (e != 0) return e;
  value->assign(r.begin() + 1, r.end());
  // A full response may have more behind it.
  while (r.size() == mtu_) {
    Bytes blob{0x0C};
    put16(&blob, handle);
    put16(&blob, static_cast<uint16_t>(value->size()));
    e = request(blob, 0x0D, &r);
    if (e == 0x0B || e == 0x07) break;  // not long, or exactly at the end
    if (e != 0) return e;
    value->insert(value->end(), r.begin() + 1, r.end());
    if (r.size() == 1) break;
  }
  return 0;
}

int AttClient::write(uint16_t handle, const Bytes& value) {
  Bytes req{0x12};
  put16(&req, handle);
  req.insert(req.end(), value.begin(), value.end());
  Bytes r;
  return request(req, 0x13, &r);
}

void AttClient::writeCommand(uint16_t handle, const Bytes& value) {
  Bytes req{0x52};
  put16(&req, handle);
  req.insert(req.end(), value.begin(), value.end());
  send(req);
}

int AttClient::discover() {
  chars_.clear();
  // Services, then the characteristics of all of them, then their descriptors.
  std::vector<std::pair<uint16_t, uint16_t>> services;
  for (uint32_t start = 1; start <= 0xFFFF;) {
    Bytes req{0x10};
    put16(&req, static_cast<uint16_t>(start));
    put16(&req, 0xFFFF);
    put16(&req, 0x2800);
    Bytes r;
    int e = request(req, 0x11, &r);
    if (e == 0x0A) break;
    if (e != 0) return e;
    uint8_t each = r[1];
    if (each < 4) return kLinkLost;
    uint16_t last = 0;
    for (size_t i = 2; i + each <= r.size(); i += each) {
      services.emplace_back(get16(&r[i]), get16(&r[i + 2]));
      last = get16(&r[i + 2]);
    }
    if (last == 0xFFFF || last < start) break;
    start = last + 1u;
  }
  uint16_t end = services.empty() ? 0 : services.back().second;
  for (uint32_t start = 1; start <= end;) {
    Bytes req{0x08};
    put16(&req, static_cast<uint16_t>(start));
    put16(&req, end);
    put16(&req, 0x2803);
    Bytes r;
    int e = request(req, 0x09, &r);
    if (e == 0x0A) break;
    if (e != 0) return e;
    uint8_t each = r[1];
    if (each < 7) return kLinkLost;
    uint16_t last = 0;
    for (size_t i = 2; i + each <= r.size(); i += each) {
      Characteristic c;
      c.declHandle = get16(&r[i]);
      c.properties = r[i + 2];
      c.valueHandle = get16(&r[i + 3]);
      c.uuid.assign(r.begin() + i + 5, r.begin() + i + each);
      chars_.push_back(c);
      last = c.declHandle;
    }
    if (last < start) break;
    start = last + 1u;
  }
  // Descriptors: what lies between a value and the next declaration.
  for (size_t k = 0; k < chars_.size(); k++) {
    uint16_t from = chars_[k].valueHandle + 1;
    uint16_t to = k + 1 < chars_.size() ? chars_[k + 1].declHandle - 1 : end;
    for (const auto& s : services)
      if (chars_[k].valueHandle <= s.second && chars_[k].valueHandle >= s.first && to > s.second)
        to = s.second;
    if (from > to) continue;
    Bytes req{0x04};
    put16(&req, from);
    put16(&req, to);
    Bytes r;
    int e = request(req, 0x05, &r);
    if (e == 0x0A) continue;
    if (e != 0) return e;
    if (r[1] != 1) continue;
    for (size_t i = 2; i + 4 <= r.size(); i += 4)
      if (get16(&r[i + 2]) == 0x2902) chars_[k].cccdHandle = get16(&r[i]);
  }
  return 0;
}

const Characteristic* AttClient::find(const Bytes& uuid) const {
  for (const auto& c : chars_)
    if (c.uuid == uuid) return &c;
  return nullptr;
}

bool AttClient::nextIndication(uint16_t* handle, Bytes* value, uint64_t usecs) {
  while (indications_.empty())
    if (!pump(usecs)) return false;
  *handle = indications_.front().first;
  *value = std::move(indications_.front().second);
  indications_.pop_front();
  return true;
}

}  // namespace camphone
