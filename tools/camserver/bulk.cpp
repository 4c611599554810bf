#include "bulk.h"

#include "camhost/runtime.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server.h"

namespace camserver {

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kName = 13;
constexpr uint16_t kUdpStartTcpConnection = 26;
constexpr uint64_t kReplyTimeoutUs = 30000000;
// After a StartTCPConnection the camera answered with success, the time its connection may take
// (its own open time-out is 10 s); after a refusal, the pause before asking again.
constexpr uint64_t kConnectWaitUs = 15000000;
constexpr uint64_t kConnectRetryUs = 1000000;

void put_name(Bytes& b, size_t at, const std::string& name) {
  for (size_t i = 0; i < kName; i++) b[at + i] = i < name.size() && i + 1 < kName ? name[i] : 0;
}

std::string name_at(const Bytes& b, size_t at) {
  std::string s;
  for (size_t i = 0; i < kName && at + i < b.size() && b[at + i]; i++) s += char(b[at + i]);
  return s;
}

}  // namespace

std::string human_bytes(uint64_t n) {
  char buf[32];
  if (n < 10000) snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(n));
  else if (n < 10000000) snprintf(buf, sizeof buf, "%.1f KB", n / 1024.0);
  else snprintf(buf, sizeof buf, "%.1f MB", n / 1048576.0);
  return buf;
}

Bulk::Bulk(Server& server) : server_(server) {}

Bulk::~Bulk() {
  if (conn_fd_ >= 0) {
    server_.unwatch_fd(conn_fd_);
    ::close(conn_fd_);
  }
  if (listen_fd_ >= 0) {
    server_.unwatch_fd(listen_fd_);
    ::close(listen_fd_);
  }
}

void Bulk::log(const std::string& line) {
  if (server_.options().log) server_.options().log("tcp: " + line);
}

bool Bulk::connect(uint64_t timeout_us) {
  if (conn_fd_ >= 0) return true;
  if (listen_fd_ < 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    inet_pton(AF_INET, server_.options().bind_address.c_str(), &a.sin_addr);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 2) != 0) {
      error_ = std::string("cannot listen: ") + strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    listen_fd_ = fd;
    listen_port_ = ntohs(a.sin_port);
    server_.watch_fd(listen_fd_, [this] { on_listen_readable(); });
  }
  uint64_t deadline = server_.waiter().now_us() + timeout_us;
  if (!server_.session().open &&
      !server_.wait_for_session(deadline - server_.waiter().now_us())) {
    error_ = "no session";
    return false;
  }
  Bytes body;
  put16(body, 0, listen_port_);
  put16(body, 2, 0);
  // The camera answers -110 in resultCode when it could not connect (its session not yet open on
  // its side, say): ask again a little later rather than wait for a connection that never comes.
  while (conn_fd_ < 0 && server_.waiter().now_us() < deadline) {
    Reply r = server_.command(kUdpStartTcpConnection, body);
    if (r.error()) {
      error_ = "StartTCPConnection: " + r.text();
      return false;
    }
    int32_t rc = r.bytes.size() >= 36 ? static_cast<int32_t>(get32(r.bytes, 32)) : 0;
    uint64_t wait_until = std::min(deadline, server_.waiter().now_us() +
                                                 (rc == 0 ? kConnectWaitUs : kConnectRetryUs));
    if (rc != 0)
      log("StartTCPConnection: the camera answered " + std::to_string(rc) + "; asking again");
    while (conn_fd_ < 0 && server_.waiter().now_us() < wait_until)
      server_.serve_until(std::min(wait_until, server_.waiter().now_us() + 100000));
  }
  if (conn_fd_ < 0) error_ = "the camera did not connect";
  return conn_fd_ >= 0;
}

void Bulk::on_listen_readable() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // A new connection replaces the old one, as on the camera's side.
    if (conn_fd_ >= 0) drop_connection("replaced by a new connection");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conn_fd_ = fd;
    rx_.clear();
    server_.watch_fd(conn_fd_, [this] { on_conn_readable(); });
    log("camera connected");
  }
}

void Bulk::drop_connection(const std::string& why) {
  if (conn_fd_ < 0) return;
  server_.unwatch_fd(conn_fd_);
  ::close(conn_fd_);
  conn_fd_ = -1;
  rx_.clear();
  log("connection closed: " + why);
}

void Bulk::on_conn_readable() {
  if (conn_fd_ < 0) return;
  for (;;) {
    uint8_t buf[65536];
    ssize_t n = recv(conn_fd_, buf, sizeof buf, 0);
    if (n == 0) {
      drop_connection("by the camera");
      return;
    }
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        drop_connection(strerror(errno));
      break;
    }
    bytes_received_ += static_cast<uint64_t>(n);
    rx_.insert(rx_.end(), buf, buf + n);
  }
  size_t at = 0;
  while (rx_.size() - at >= kHeader) {
    uint32_t len = get32(rx_, at);
    if (len < kHeader) {
      drop_connection("a message shorter than its header");
      return;
    }
    if (rx_.size() - at < len) break;
    TcpMessage m;
    m.length = len;
    m.command = get16(rx_, at + 4);
    m.result = static_cast<int16_t>(get16(rx_, at + 6));
    m.sequence = get32(rx_, at + 8);
    m.data.assign(rx_.begin() + static_cast<long>(at + kHeader),
                  rx_.begin() + static_cast<long>(at + len));
    inbox_.push_back(std::move(m));
    at += len;
  }
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(at));
}

uint32_t Bulk::send_request(uint16_t command, const Bytes& fields) {
  uint32_t seq = ++seq_;
  send_with_sequence(command, fields, seq);
  return seq;
}

void Bulk::send_with_sequence(uint16_t command, const Bytes& fields, uint32_t seq) {
  Bytes m(kHeader + fields.size(), 0);
  put32(m, 0, static_cast<uint32_t>(m.size()));
  put16(m, 4, command);
  put16(m, 6, 0);
  put32(m, 8, seq);
  std::copy(fields.begin(), fields.end(), m.begin() + kHeader);
  send_raw(m);
}

void Bulk::send_raw(const Bytes& m) {
  size_t off = 0;
  while (conn_fd_ >= 0 && off < m.size()) {
    ssize_t n = send(conn_fd_, m.data() + off, m.size() - off, MSG_NOSIGNAL);
    camhost::expect_host_io();  // the link reads it in virtual time
    if (n > 0) {
      off += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      server_.serve_until(server_.waiter().now_us() + 1000);  // reads while it waits to send
    } else {
      drop_connection("send failed");
    }
  }
}

bool Bulk::wait_message(uint32_t sequence, uint16_t command, TcpMessage* out, uint64_t timeout_us,
                        const Progress& progress) {
  uint64_t deadline = server_.waiter().now_us() + timeout_us;
  uint64_t last_progress = 0;
  for (;;) {
    for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
      if (it->sequence != sequence || (command != 0 && it->command != command)) continue;
      *out = std::move(*it);
      inbox_.erase(it);
      if (progress) progress(out->length, out->length);
      return true;
    }
    if (conn_fd_ < 0 || server_.waiter().now_us() >= deadline) return false;
    if (progress && rx_.size() >= kHeader && get32(rx_, 8) == sequence &&
        rx_.size() - last_progress >= 65536) {
      last_progress = rx_.size();
      progress(rx_.size(), get32(rx_, 0));
    }
    server_.serve_until(std::min(deadline, server_.waiter().now_us() + 20000));
  }
}

bool Bulk::list(const std::string& dir, std::vector<DirEntry>* entries, int16_t* result) {
  Bytes f(16, 0);
  put_name(f, 0, dir);
  uint32_t seq = send_request(kTcpDirectory, f);
  TcpMessage m;
  if (!wait_message(seq, kTcpDirectory, &m, kReplyTimeoutUs)) return false;
  *result = m.result;
  if (m.result != 0) return true;
  for (size_t at = 0; at + 24 <= m.data.size(); at += 24) {
    DirEntry e;
    e.name = name_at(m.data, at);
    e.size = get32(m.data, at + 16);
    e.fat_time = get32(m.data, at + 20);
    entries->push_back(e);
  }
  // A listing ends with an empty message of the same command and sequence number.
  TcpMessage end;
  return wait_message(seq, kTcpDirectory, &end, kReplyTimeoutUs) && end.data.empty();
}

bool Bulk::get_file(const std::string& name, Bytes* data, int16_t* result,
                    const Progress& progress) {
  Bytes f(16, 0);
  put_name(f, 0, name);
  uint32_t seq = send_request(kTcpFileContents, f);
  TcpMessage m;
  if (!wait_message(seq, kTcpFileContents, &m, 120000000, progress)) return false;
  *result = m.result;
  *data = std::move(m.data);
  return true;
}

bool Bulk::get_block(const std::string& name, uint32_t offset, uint32_t count, Bytes* data,
                     int16_t* result) {
  Bytes f(24, 0);
  put_name(f, 0, name);
  put32(f, 16, offset);
  put32(f, 20, count);
  uint32_t seq = send_request(kTcpBlockFromFile, f);
  TcpMessage m;
  if (!wait_message(seq, kTcpBlockFromFile, &m, kReplyTimeoutUs)) return false;
  *result = m.result;
  *data = std::move(m.data);
  return true;
}

bool Bulk::get_frame(const std::string& name, uint32_t frame, Bytes* data, int16_t* result) {
  Bytes f(20, 0);
  put_name(f, 0, name);
  put32(f, 16, frame);
  uint32_t seq = send_request(kTcpJpegFrameFromFile, f);
  TcpMessage m;
  if (!wait_message(seq, kTcpJpegFrameFromFile, &m, kReplyTimeoutUs)) return false;
  *result = m.result;
  *data = std::move(m.data);
  return true;
}

bool Bulk::file_info(const std::string& name, FileInfo* info, int16_t* result) {
  Bytes f(16, 0);
  put_name(f, 0, name);
  uint32_t seq = send_request(kTcpGetFileInfo, f);
  TcpMessage m;
  if (!wait_message(seq, kTcpGetFileInfo, &m, kReplyTimeoutUs)) return false;
  *result = m.result;
  if (m.data.size() >= 28) {
    info->name = name_at(m.data, 0);
    info->size = get32(m.data, 16);
    info->fat_time = get32(m.data, 20);
    info->frames = get32(m.data, 24);
  }
  return true;
}

bool Bulk::live(uint32_t seconds, const std::function<void(const Bytes&)>& on_frame,
                int* frames) {
  Bytes f(12, 0);
  put32(f, 0, seconds);
  put32(f, 4, 0);
  put16(f, 8, 0);
  uint32_t seq = send_request(kTcpLiveViewFrame, f);
  *frames = 0;
  uint64_t deadline = server_.waiter().now_us() + (seconds + 30ull) * 1000000;
  for (;;) {
    TcpMessage m;
    uint64_t now = server_.waiter().now_us();
    if (now >= deadline || !wait_message(seq, 0, &m, deadline - now)) return false;
    if (m.command == kTcpLiveViewEnd) return true;
    if (m.command != kTcpLiveViewFrame || m.result != 0) return false;
    (*frames)++;
    on_frame(m.data);
  }
}

const std::vector<std::string>& update_file_names() {
  static const std::vector<std::string> names = {"qvr8k_fw.bin", "qvr8k_hw.udf", "qvr8k_w1.udf",
                                                 "qvr8k_w2.udf"};
  return names;
}

namespace {

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int b = 0; b < 8; b++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

bool read_whole(const std::string& path, Bytes* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

}  // namespace

bool Bulk::push_update(const std::string& dir, const std::function<void(const std::string&)>& say,
                       uint64_t reboot_timeout_us, std::string* why) {
  constexpr size_t kChunk = 1400, kChunkFields = 20;
  constexpr uint64_t kChunkReplyUs = 30000000;
  const std::vector<std::string>& names = update_file_names();
  std::vector<Bytes> files(names.size());
  std::string missing;
  for (size_t i = 0; i < names.size(); i++)
    if (!read_whole(dir + "/" + names[i], &files[i])) missing += (missing.empty() ? "" : ", ") + names[i];
  if (!missing.empty()) {
    *why = dir + " lacks " + missing;
    return false;
  }
  for (size_t i = 0; i < files.size(); i++)
    if (files[i].size() > 0xFFFFFFFFu) {
      *why = names[i] + " is too large";
      return false;
    }
  if (!connect(60000000)) {
    *why = error_;
    return false;
  }
  uint32_t seq = next_sequence();
  say("update: attempt " + std::to_string(seq) + ", 4 files from " + dir);
  uint64_t t0 = server_.waiter().now_us();
  for (size_t i = 0; i < files.size(); i++) {
    const Bytes& f = files[i];
    uint32_t size = static_cast<uint32_t>(f.size()), file_crc = crc32(f.data(), f.size());
    uint32_t type = 1u << i;
    unsigned shown = 0;  // the last tenth shown
    size_t offset = 0;
    do {
      size_t n = std::min(kChunk, f.size() - offset);
      Bytes fields(kChunkFields + n, 0);
      put32(fields, 0, type);
      put32(fields, 4, size);
      put32(fields, 8, static_cast<uint32_t>(offset));
      put32(fields, 12, file_crc);
      put32(fields, 16, crc32(f.data() + offset, n));
      std::copy(f.begin() + static_cast<long>(offset), f.begin() + static_cast<long>(offset + n),
                fields.begin() + kChunkFields);
      send_with_sequence(kTcpRootFileWriteChunk, fields, seq);
      TcpMessage r;
      if (!wait_message(seq, kTcpRootFileWriteChunk, &r, kChunkReplyUs)) {
        *why = "no reply to the chunk of " + names[i] + " at offset " + std::to_string(offset);
        return false;
      }
      if (r.result != 0) {
        *why = "the camera refused the chunk of " + names[i] + " at offset " +
               std::to_string(offset) + " (result " + std::to_string(r.result) +
               "); the update files are deleted, start the update again";
        return false;
      }
      offset += n;
      unsigned tenth = size == 0 ? 10 : static_cast<unsigned>(uint64_t(offset) * 10 / size);
      if (tenth > shown || offset == f.size()) {
        shown = tenth;
        say("update: " + names[i] + " " + std::to_string(tenth * 10) + "% " +
            human_bytes(offset) + " of " + human_bytes(size));
      }
    } while (offset < f.size());
  }
  // The last chunk's second reply: the rename's result; the camera then reboots.
  TcpMessage r;
  if (!wait_message(seq, kTcpRootFileWriteChunk, &r, kChunkReplyUs)) {
    *why = "no reply after the last file (the files may be incomplete)";
    return false;
  }
  if (r.result != 0) {
    *why = "the camera could not put the files in place (result " + std::to_string(r.result) +
           "); the update files are deleted, start the update again";
    return false;
  }
  char took[64];
  snprintf(took, sizeof took, "%.1f s", double(server_.waiter().now_us() - t0) / 1e6);
  say(std::string("update: all files written and renamed in ") + took +
      "; the camera reboots and updates itself");
  drop_connection("the camera reboots");
  uint32_t sessions = server_.session().sessions_opened;
  uint64_t deadline = server_.waiter().now_us() + reboot_timeout_us;
  while (server_.session().sessions_opened == sessions || !server_.session().open) {
    if (server_.waiter().now_us() >= deadline) {
      *why = "the camera did not come back within " + std::to_string(reboot_timeout_us / 1000000) + " s";
      return false;
    }
    server_.serve_until(std::min(deadline, server_.waiter().now_us() + 100000));
  }
  return true;
}

void Bulk::close() {
  if (conn_fd_ < 0) return;
  Bytes m(kHeader, 0);
  put32(m, 0, kHeader);
  put16(m, 4, kTcpWillClose);
  put32(m, 8, 0);
  (void)!send(conn_fd_, m.data(), m.size(), MSG_NOSIGNAL);
  camhost::expect_host_io();
  drop_connection("WillClose sent");
}

}  // namespace camserver
