// camserver's TCP side: the data connection the camera opens to it after StartTCPConnection, and
// the bulk requests on it (directory, file contents and blocks, JPEG frames, file information,
// live view). Its own codec, from the byte offsets of the TCP messages: a 12-byte header (length
// of the whole message, command, result, sequence number) then the command's fields. It reads
// while it sends and matches replies to requests by sequence number.
#ifndef CAMSERVER_BULK_H
#define CAMSERVER_BULK_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "codec.h"

namespace camserver {

class Server;

enum TcpCommand : uint16_t {
  kTcpLiveViewFrame = 1,
  kTcpLiveViewEnd = 3,
  kTcpRootFileWriteChunk = 11,
  kTcpDirectory = 12,
  kTcpBlockFromFile = 13,
  kTcpFileContents = 14,
  kTcpJpegFrameFromFile = 15,
  kTcpGetFileInfo = 16,
  kTcpWillClose = 22,
};

struct TcpMessage {
  uint32_t length = 0;
  uint16_t command = 0;
  int16_t result = 0;
  uint32_t sequence = 0;
  Bytes data;  // after the header
};

struct DirEntry {
  std::string name;
  uint32_t size = 0;
  uint32_t fat_time = 0;
};

struct FileInfo {
  std::string name;
  uint32_t size = 0, fat_time = 0, frames = 0;
};

// Bytes of the reply so far, and its whole length (0 until its header came).
using Progress = std::function<void(uint64_t have, uint64_t total)>;

class Bulk {
 public:
  explicit Bulk(Server& server);
  ~Bulk();
  Bulk(const Bulk&) = delete;
  Bulk& operator=(const Bulk&) = delete;

  // Listens (at the server's bind address, any port) and has the camera connect over UDP, unless
  // it is connected already. False with the reason in error().
  bool connect(uint64_t timeout_us);
  bool connected() const { return conn_fd_ >= 0; }
  uint16_t listen_port() const { return listen_port_; }
  const std::string& error() const { return error_; }

  // Each returns false on a time-out or a lost connection; `*result` is the camera's result.
  bool list(const std::string& dir, std::vector<DirEntry>* entries, int16_t* result);
  bool get_file(const std::string& name, Bytes* data, int16_t* result, const Progress& progress);
  bool get_block(const std::string& name, uint32_t offset, uint32_t count, Bytes* data,
                 int16_t* result);
  bool get_frame(const std::string& name, uint32_t frame, Bytes* data, int16_t* result);
  bool file_info(const std::string& name, FileInfo* info, int16_t* result);
  // Live view for `seconds` over the data connection; every frame goes to `on_frame`. True when
  // the end marker came; `*frames` counts the frames.
  bool live(uint32_t seconds, const std::function<void(const Bytes&)>& on_frame, int* frames);
  // Pushes the camera's four update files from `dir` (by their final names, update_file_names())
  // in checked chunks of up to 1400 bytes, one attempt under one sequence number, then follows the
  // camera through its reboot until its next session opens. `say` gets the progress lines. False
  // with the reason in *why: a file missing or unreadable, a chunk refused (-1), no reply, or no
  // new session within `reboot_timeout_us`; a new attempt may simply be started again.
  bool push_update(const std::string& dir, const std::function<void(const std::string&)>& say,
                   uint64_t reboot_timeout_us, std::string* why);
  // Says goodbye (WillClose) and closes.
  void close();

  // The raw request (header filled in here), for tests: its sequence number.
  uint32_t send_request(uint16_t command, const Bytes& fields);
  // The same under a sequence number of the caller's (an update attempt's chunks share one).
  void send_with_sequence(uint16_t command, const Bytes& fields, uint32_t sequence);
  // A new sequence number for such requests.
  uint32_t next_sequence() { return ++seq_; }
  // Bytes sent as they are, for tests of malformed requests.
  void send_raw(const Bytes& bytes);
  // Waits for the next message with `sequence` (and, unless 0, `command`).
  bool wait_message(uint32_t sequence, uint16_t command, TcpMessage* out, uint64_t timeout_us,
                    const Progress& progress = nullptr);
  // Messages from the camera not taken by a wait (WillClose and the like).
  std::deque<TcpMessage>& unclaimed() { return inbox_; }
  uint64_t bytes_received() const { return bytes_received_; }

 private:
  void on_listen_readable();
  void on_conn_readable();
  void drop_connection(const std::string& why);
  void log(const std::string& line);

  Server& server_;
  int listen_fd_ = -1, conn_fd_ = -1;
  uint16_t listen_port_ = 0;
  std::string error_;
  Bytes rx_;
  std::deque<TcpMessage> inbox_;
  uint32_t seq_ = 0;
  uint64_t bytes_received_ = 0;
};

// The update files in the order they are sent: the STM32's firmware, the FPGA's configuration,
// the module's firmware in two parts (file types 1, 2, 4, 8).
const std::vector<std::string>& update_file_names();

// "1.2 MB" and the like; "MB/s" likewise.
std::string human_bytes(uint64_t n);

}  // namespace camserver

#endif  // CAMSERVER_BULK_H
