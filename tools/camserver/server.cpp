#include "server.h"

#include "bulk.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "camhost/runtime.h"
#include "camhost/bus.h"

namespace camserver {

namespace {

class WallClockWaiter : public Waiter {
 public:
  uint64_t now_us() override {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now() - start_)
        .count();
  }
  int wait(const int* fds, int count, uint64_t deadline_us) override {
    std::vector<pollfd> p(count);
    for (int i = 0; i < count; i++) p[i] = {fds[i], POLLIN, 0};
    uint64_t now = now_us();
    int ms = deadline_us <= now ? 0 : static_cast<int>(std::min<uint64_t>((deadline_us - now + 999) / 1000, 1000000));
    int n = poll(p.data(), p.size(), ms);
    return n < 0 ? 0 : n;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class KernelWaiter : public Waiter {
 public:
  uint64_t now_us() override { return camhost::time_now(); }
  int wait(const int* fds, int count, uint64_t deadline_us) override {
    return camhost::wait_fds(fds, count, deadline_us);
  }
};

// A session is taken for lost after this much silence from the camera (it closes its own after
// 30 s without a server message).
constexpr uint64_t kSessionLostUs = 45000000;
// A repeated OpenSession request within this time is the same burst and gets no second answer.
constexpr uint64_t kBurstUs = 2000000;

}  // namespace

std::unique_ptr<Waiter> wall_clock_waiter() { return std::make_unique<WallClockWaiter>(); }
std::unique_ptr<Waiter> kernel_waiter() { return std::make_unique<KernelWaiter>(); }

std::string Reply::text() const {
  if (!received) return "timed out";
  std::string s = header.persistentError  ? "persistentError"
                  : header.temporaryError ? "temporaryError"
                                          : "ok";
  std::string body = describe_body(header, bytes);
  if (!body.empty()) s += ": " + body;
  return s;
}

Server::Server(const Options& options, std::unique_ptr<Waiter> waiter)
    : o_(options), waiter_(std::move(waiter)), rng_(options.seed * 2654435761u + 12345) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error_ = std::string("socket: ") + strerror(errno);
    return;
  }
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(o_.port);
  if (inet_pton(AF_INET, o_.bind_address.c_str(), &a.sin_addr) != 1) {
    error_ = "not an IPv4 address: " + o_.bind_address;
    close(fd);
    return;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error_ = "bind " + o_.bind_address + ":" + std::to_string(o_.port) + ": " + strerror(errno);
    close(fd);
    return;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  fd_ = fd;
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Server::~Server() {
  if (fd_ >= 0) close(fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

void Server::log(const std::string& line) {
  if (!o_.log) return;
  uint64_t t = now();
  char stamp[32];
  snprintf(stamp, sizeof stamp, "[%4llu.%03llu] ", static_cast<unsigned long long>(t / 1000000),
           static_cast<unsigned long long>(t / 1000 % 1000));
  o_.log(stamp + line);
}

uint32_t Server::srv_ms() {
  return session_.opened_us == 0 ? 0 : static_cast<uint32_t>((now() - session_.opened_us) / 1000);
}

std::string Server::clock_text() {
  int64_t epoch = o_.clock_epoch >= 0 ? o_.clock_epoch + static_cast<int64_t>(now() / 1000000)
                                      : static_cast<int64_t>(time(nullptr));
  return iso8601_utc(epoch);
}

void Server::transmit(const Bytes& b) {
  if (!have_camera_addr_) return;
  Header h;
  decode_header(b, &h);
  if (!(o_.quiet && (h.cmdID == kKeepAlive))) log("-> " + describe(b, true));
  sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&camera_addr_),
         sizeof camera_addr_);
  camhost::expect_host_io();  // the link reads it in virtual time
}

uint32_t Server::send_to_camera(uint16_t id, Bytes body, bool is_command) {
  const CommandInfo* info = command_info(id);
  size_t length = info != nullptr ? info->stc : kHeaderBytes + body.size();
  Header h;
  h.cmdID = id;
  h.cmdSequenceNumber = ++cmd_seq_;
  h.packetSequenceNumber = ++pkt_seq_;
  h.serverMSecsSinceOpenSession = srv_ms();
  std::copy(session_.camera_id, session_.camera_id + 6, h.cameraID);
  Bytes b = encode(h, length);
  for (size_t i = 0; i < body.size() && kHeaderBytes + i < length; i++) b[kHeaderBytes + i] = body[i];
  if (!is_command) {
    transmit(b);
    return h.cmdSequenceNumber;
  }
  // The network's doing, on request: repeats, and two datagrams swapped.
  if (o_.reorder && held_.empty()) {
    held_ = b;
    return h.cmdSequenceNumber;
  }
  for (int i = 0; i <= o_.duplicate; i++) transmit(b);
  if (!held_.empty()) {
    Bytes held;
    held.swap(held_);
    for (int i = 0; i <= o_.duplicate; i++) transmit(held);
  }
  return h.cmdSequenceNumber;
}

void Server::send_keepalive() {
  Bytes body;
  put_text(body, 0, 21, clock_text());
  send_to_camera(kKeepAlive, body, false);
}

void Server::send_clear(uint32_t bits) {
  Bytes body;
  put32(body, 0, bits);
  clear_pending_seq_ = send_to_camera(kClearKAStatus, body, false);
}

void Server::on_open_session(const Header& h, const Bytes& b) {
  uint32_t token[4] = {get32(b, 36), get32(b, 40), get32(b, 44), get32(b, 48)};
  for (int i = 0; i < 3; i++) session_.wifi_version[i] = get32(b, 76 + 4 * i);
  if (redirect_pending_ && std::equal(token, token + 4, session_.token)) {
    redirect_pending_ = false;
    session_.open = true;
    session_.opened_us = now();
    session_.sessions_opened++;
    std::copy(h.cameraID, h.cameraID + 6, session_.camera_id);
    session_.camera_known = true;
    log("session open with camera " + camera_id_text(h.cameraID) + ", token " +
        token_text(token));
    next_keepalive_us_ = now();
    return;
  }
  if (b == last_open_request_ && now() - last_open_answer_us_ < kBurstUs) return;
  last_open_request_ = b;
  last_open_answer_us_ = now();
  session_.open = false;
  session_.opened_us = 0;
  std::copy(h.cameraID, h.cameraID + 6, session_.camera_id);
  session_.camera_known = true;
  for (uint32_t& w : session_.token) {
    rng_ = rng_ * 1664525u + 1013904223u;
    w = rng_;
  }
  redirect_pending_ = true;
  Bytes body;
  for (int i = 0; i < 4; i++) put32(body, 4 * i, session_.token[i]);
  put16(body, 16, static_cast<uint16_t>(o_.redirect_port < 0 ? port_ : o_.redirect_port));
  put_text(body, 18, 17, o_.redirect_ip);
  send_to_camera(kOpenSession, body, false);
}

void Server::on_keepalive_reply(const Header& /*h*/, const Bytes& b) {
  session_.status = get32(b, 32);
  session_.last_keepalive_us = now();
  session_.keepalives_answered++;
  uint32_t bits = session_.status;
  if (!o_.auto_clear || bits == 0 || pair_cmd_seq_ != 0 || clear_pending_seq_ != 0) return;
  if ((bits & kRegistrationCodeChangedBit) != 0 && o_.auto_pair) {
    log("the camera announces a new registration code; asking for it");
    pair_status_ = bits;
    pair_cmd_seq_ = send_to_camera(kGetRegistrationCode, {}, false);
    return;
  }
  send_clear(bits);
}

void Server::handle(const Bytes& b, const sockaddr_in& from) {
  received_.push_back(b);
  last_from_camera_us_ = now();
  camera_addr_ = from;
  have_camera_addr_ = true;
  Header h;
  if (!decode_header(b, &h)) {
    log("<- " + describe(b, false));
    return;
  }
  if (!(o_.quiet && h.cmdID == kKeepAlive)) log("<- " + describe(b, false));
  switch (h.cmdID) {
    case kOpenSession:
      on_open_session(h, b);
      return;
    case kKeepAlive:
      on_keepalive_reply(h, b);
      return;
    case kClearKAStatus:
      if (clear_pending_seq_ != 0 && h.cmdSequenceNumber == clear_pending_seq_) {
        clear_pending_seq_ = 0;
        return;
      }
      break;
    case kGetRegistrationCode:
      if (pair_cmd_seq_ != 0 && h.cmdSequenceNumber == pair_cmd_seq_) {
        pair_cmd_seq_ = 0;
        if (!h.persistentError && !h.temporaryError) {
          session_.registration_code = get_text(b, 32, 12);
          session_.user_id = get_text(b, 44, 65);
          log("paired: registration code '" + session_.registration_code + "', user '" +
              session_.user_id + "'");
        }
        send_clear(pair_status_);
        return;
      }
      break;
    default:
      break;
  }
  inbox_.push_back(b);
}

void Server::run_jobs() {
  uint64_t v;
  while (read(wake_fd_, &v, sizeof v) > 0) {
  }
  std::vector<std::function<void()>> jobs;
  {
    std::lock_guard<std::mutex> lock(jobs_mu_);
    jobs.swap(jobs_);
  }
  for (auto& job : jobs) job();
}

void Server::serve_once(uint64_t deadline_us) {
  uint64_t t = now();
  if (session_.open && t - last_from_camera_us_ > kSessionLostUs) {
    session_.open = false;
    log("session lost: nothing from the camera for " +
        std::to_string((t - last_from_camera_us_) / 1000000) + " s");
  }
  if (session_.open && t >= next_keepalive_us_) {
    send_keepalive();
    next_keepalive_us_ = t + static_cast<uint64_t>(o_.keepalive_period_ms) * 1000;
  }
  uint64_t until = deadline_us;
  if (session_.open && next_keepalive_us_ < until) until = next_keepalive_us_;
  int fds[8] = {fd_, wake_fd_};
  int nfds = 2;
  for (const auto& w : watched_)
    if (nfds < 8) fds[nfds++] = w.first;
  if (t < until) waiter_->wait(fds, nfds, until);
  for (size_t i = 0; i < watched_.size(); i++) {
    auto fn = watched_[i].second;  // a handler may unwatch
    fn();
  }
  for (;;) {
    uint8_t buf[2048];
    sockaddr_in from = {};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) break;
    handle(Bytes(buf, buf + n), from);
  }
  run_jobs();
}

void Server::serve_until(uint64_t deadline_us) {
  if (!ok()) return;
  while (!stop_ && now() < deadline_us) serve_once(deadline_us);
}

void Server::serve_forever() { serve_until(~0ull); }

void Server::watch_fd(int fd, std::function<void()> on_readable) {
  unwatch_fd(fd);
  watched_.push_back({fd, std::move(on_readable)});
}

void Server::unwatch_fd(int fd) {
  for (size_t i = 0; i < watched_.size(); i++)
    if (watched_[i].first == fd) {
      watched_.erase(watched_.begin() + static_cast<long>(i));
      return;
    }
}

Bulk& Server::bulk() {
  if (!bulk_) bulk_ = std::make_unique<Bulk>(*this);
  return *bulk_;
}

void Server::stop() {
  stop_ = true;
  uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!write(wake_fd_, &one, sizeof one);
}

void Server::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(jobs_mu_);
    jobs_.push_back(std::move(job));
  }
  uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof one);
}

bool Server::wait_for_session(uint64_t timeout_us) {
  uint64_t deadline = now() + timeout_us;
  while (!session_.open && !stop_ && now() < deadline) serve_once(deadline);
  return session_.open;
}

Reply Server::command(uint16_t id, const Bytes& body, uint64_t timeout_us) {
  Reply r;
  if (timeout_us == 0) timeout_us = static_cast<uint64_t>(o_.command_timeout_ms) * 1000;
  uint64_t deadline = now() + timeout_us;
  if (!session_.open && !wait_for_session(timeout_us)) return r;
  uint32_t seq = send_to_camera(id, body, true);
  while (!stop_) {
    for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
      Header h;
      if (decode_header(*it, &h) && h.cmdSequenceNumber == seq && h.cmdID == id) {
        r.received = true;
        r.header = h;
        r.bytes = *it;
        inbox_.erase(it);
        return r;
      }
    }
    if (now() >= deadline) break;
    serve_once(deadline);
  }
  return r;
}

std::vector<Bytes> Server::raw(const Bytes& datagram, uint64_t listen_us) {
  size_t before = received_.size();
  if (have_camera_addr_) {
    log("-> raw " + std::to_string(datagram.size()) + " bytes: " + describe(datagram, true));
    sendto(fd_, datagram.data(), datagram.size(), 0,
           reinterpret_cast<const sockaddr*>(&camera_addr_), sizeof camera_addr_);
    camhost::expect_host_io();  // the link reads it in virtual time
  } else {
    log("no camera address known yet; raw datagram not sent");
  }
  serve_until(now() + listen_us);
  return std::vector<Bytes>(received_.begin() + before, received_.end());
}

}  // namespace camserver
