// camserver: a reference camera server. It answers the camera's session opening with a
// redirection, sends keep-alives that carry its ISO 8601 clock, acknowledges status bits with
// ClearKAStatus (fetching the registration code first when the camera announces a new one) and
// issues any command of the protocol, decoding the replies.
//
// The session logic is one single-threaded object driven by whoever calls it; only the way it
// waits differs: on the wall clock with poll(), or, inside a camlink process in virtual time, on
// the host kernel's clock through camhost::wait_fds from a kernel thread, which keeps a run
// deterministic.
#ifndef CAMSERVER_SERVER_H
#define CAMSERVER_SERVER_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec.h"

namespace camserver {

class Bulk;

// The clock and the wait for readable descriptors.
class Waiter {
 public:
  virtual ~Waiter() = default;
  virtual uint64_t now_us() = 0;
  // Blocks until one of `fds` is readable or `deadline_us` passes; the number of readable ones.
  virtual int wait(const int* fds, int count, uint64_t deadline_us) = 0;
};
// The wall clock (monotonic), poll().
std::unique_ptr<Waiter> wall_clock_waiter();
// The host kernel's clock and camhost::wait_fds; use only from a kernel thread.
std::unique_ptr<Waiter> kernel_waiter();

constexpr uint16_t kDefaultPort = 46103;

struct Options {
  std::string bind_address = "127.0.0.1";
  uint16_t port = kDefaultPort;  // 0: any free port
  // What the redirection names: the address the camera reaches this server at, and the port
  // (-1: the port this server is bound to; 0 is sent as is, which the camera refuses).
  std::string redirect_ip = "10.0.2.2";
  int redirect_port = -1;
  uint32_t keepalive_period_ms = 10000;
  // The server clock's time at clock 0, in seconds since 1970; -1: the system's UTC clock.
  int64_t clock_epoch = -1;
  bool auto_clear = true;  // acknowledge status bits with ClearKAStatus
  bool auto_pair = true;   // fetch the registration code before acknowledging its bit
  bool quiet = false;      // leave keep-alives out of the log
  int duplicate = 0;       // send every command datagram this many extra times
  bool reorder = false;    // hold each command back and send it after the next one
  uint32_t seed = 1;       // redirection tokens
  uint32_t command_timeout_ms = 5000;
  // Where downloads and live-view frames are saved.
  std::string download_dir = ".";
  // Every log line (without a newline); null: no log.
  std::function<void(const std::string&)> log;
};

struct Reply {
  bool received = false;  // false: timed out, or no session to send to
  Header header;
  Bytes bytes;
  bool error() const { return !received || header.persistentError || header.temporaryError; }
  // "ok", "temporaryError", "persistentError" or "timed out", then the decoded body.
  std::string text() const;
};

struct SessionInfo {
  bool open = false;
  bool camera_known = false;
  uint16_t camera_id[6] = {};
  uint32_t token[4] = {};
  uint64_t opened_us = 0;
  uint64_t last_keepalive_us = 0;  // when the last keep-alive reply arrived; 0: none yet
  uint32_t status = 0;             // status bits of the last keep-alive reply
  uint32_t keepalives_answered = 0;
  uint32_t sessions_opened = 0;
  uint32_t wifi_version[3] = {};   // the module's firmware version, from its session opening
  std::string registration_code;  // from the last pairing
  std::string user_id;
};

class Server {
 public:
  Server(const Options& options, std::unique_ptr<Waiter> waiter);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // False, with the reason in error(), when the socket could not be bound.
  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  Waiter& waiter() { return *waiter_; }

  // Serves (datagrams, keep-alives, posted jobs) until `deadline_us` on the waiter's clock, or
  // until stop().
  void serve_until(uint64_t deadline_us);
  void serve_forever();
  // From any thread: serve_* returns soon.
  void stop();
  // From any thread: runs `job` on the serving thread at its next turn.
  void post(std::function<void()> job);

  // Serves until the session is open; whether it is.
  bool wait_for_session(uint64_t timeout_us);
  // Sends command `id` with `body` (the bytes after the header, cut or padded to the request's
  // length) and serves until its reply arrives or the time-out (0: the default) passes.
  Reply command(uint16_t id, const Bytes& body = {}, uint64_t timeout_us = 0);
  // Sends `datagram` as it is, with no session required beyond a known camera address, then
  // serves for `listen_us`; the datagrams that came back meanwhile.
  std::vector<Bytes> raw(const Bytes& datagram, uint64_t listen_us);

  // Takes the next command sequence number for a hand-made datagram, so that the server's own
  // commands that follow stay newer than it.
  uint32_t reserve_command_sequence() { return ++cmd_seq_; }

  // Also waits on `fd` while serving and calls `on_readable` on the serving thread whenever it
  // may be read (the TCP data connection); unwatch_fd stops it.
  void watch_fd(int fd, std::function<void()> on_readable);
  void unwatch_fd(int fd);
  // The TCP data plane's client, made at first use (bulk.h).
  Bulk& bulk();
  const Options& options() const { return o_; }

  const SessionInfo& session() const { return session_; }
  // Every datagram received from the camera, in order.
  const std::vector<Bytes>& received() const { return received_; }

 private:
  void log(const std::string& line);
  void handle(const Bytes& b, const sockaddr_in& from);
  void on_open_session(const Header& h, const Bytes& b);
  void on_keepalive_reply(const Header& h, const Bytes& b);
  void send_keepalive();
  void send_clear(uint32_t bits);
  uint32_t send_to_camera(uint16_t id, Bytes body, bool is_command);
  void transmit(const Bytes& b);
  void serve_once(uint64_t deadline_us);
  void run_jobs();
  uint64_t now() { return waiter_->now_us(); }
  uint32_t srv_ms();
  std::string clock_text();

  Options o_;
  std::unique_ptr<Waiter> waiter_;
  int fd_ = -1;
  int wake_fd_ = -1;
  uint16_t port_ = 0;
  std::string error_;
  bool have_camera_addr_ = false;
  sockaddr_in camera_addr_ = {};
  SessionInfo session_;
  bool redirect_pending_ = false;
  Bytes last_open_request_;
  uint64_t last_open_answer_us_ = 0;
  uint64_t next_keepalive_us_ = 0;
  uint64_t last_from_camera_us_ = 0;
  uint32_t cmd_seq_ = 0;
  uint32_t pkt_seq_ = 0;
  uint32_t rng_;
  uint32_t pair_cmd_seq_ = 0;     // the pairing's GetRegistrationCode, 0: none outstanding
  uint32_t pair_status_ = 0;      // the bits to acknowledge once the code came back
  uint32_t clear_pending_seq_ = 0;
  Bytes held_;                    // the command held back to be reordered
  std::vector<Bytes> received_;
  std::deque<Bytes> inbox_;       // replies not yet taken by command()
  std::atomic<bool> stop_{false};
  std::mutex jobs_mu_;
  std::vector<std::function<void()>> jobs_;
  std::vector<std::pair<int, std::function<void()>>> watched_;
  std::unique_ptr<Bulk> bulk_;
};

}  // namespace camserver

#endif  // CAMSERVER_SERVER_H
