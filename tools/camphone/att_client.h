// camphone's ATT client: a phone's side of the camera's BLE air (a Unix-domain SOCK_SEQPACKET
// socket, one ATT PDU per packet), written from the attribute protocol's byte layouts.
#ifndef CAMPHONE_ATT_CLIENT_H
#define CAMPHONE_ATT_CLIENT_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace camphone {

using Bytes = std::vector<uint8_t>;

// Waits until `fd` is readable or `usecs` pass; true when readable. The default polls the wall
// clock; tests on the host kernel pass one that blocks the kernel thread instead.
using WaitFn = std::function<bool(int fd, uint64_t usecs)>;

struct Advert {
  uint8_t addressType = 0;
  uint8_t address[6] = {};  // little-endian, as on the air
  uint8_t flags = 0;
  std::string name;
};

// Result of a request: 0 success, an ATT error code (1-255), or kLinkLost.
constexpr int kLinkLost = -1;
// No such characteristic or descriptor on the camera.
constexpr int kNotFound = -2;

struct Characteristic {
  Bytes uuid;  // 2 or 16 bytes, little-endian
  uint16_t declHandle = 0;
  uint16_t valueHandle = 0;
  uint8_t properties = 0;
  uint16_t cccdHandle = 0;  // 0 when it has none
};

class AttClient {
 public:
  explicit AttClient(WaitFn wait = {});
  ~AttClient();

  // Asks the socket at `path` for the advertising report; false when nothing advertises.
  bool scan(const std::string& path, Advert* out, uint64_t timeoutUsecs = 2000000);
  bool connect(const std::string& path);
  void close();
  bool connected() const { return fd_ >= 0; }

  int exchangeMtu(uint16_t clientMtu);  // the result; mtu() then holds the agreed MTU
  uint16_t mtu() const { return mtu_; }
  // Primary services, characteristics and their CCCDs.
  int discover();
  const std::vector<Characteristic>& characteristics() const { return chars_; }
  const Characteristic* find(const Bytes& uuid) const;

  int read(uint16_t handle, Bytes* value);  // long values with Read Blob
  int write(uint16_t handle, const Bytes& value);
  void writeCommand(uint16_t handle, const Bytes& value);
  // Sends raw bytes as one PDU (for fuzzing and odd cases) and, unless `noReply`, waits for the
  // next response.
  int raw(const Bytes& pdu, Bytes* response, bool noReply = false);

  // Indications received so far (each confirmed on arrival unless autoConfirm is off); waits up to
  // `usecs` for one when none is queued.
  bool nextIndication(uint16_t* handle, Bytes* value, uint64_t usecs);
  void confirm();
  bool autoConfirm = true;
  uint64_t timeoutUsecs = 5000000;

 private:
  bool send(const Bytes& pdu);
  // The next response PDU (indications that arrive meanwhile are queued); empty on failure.
  Bytes response(uint64_t usecs);
  bool pump(uint64_t usecs);  // reads one packet; false on time-out or loss
  int request(const Bytes& pdu, uint8_t expected, Bytes* rsp);

  WaitFn wait_;
  int fd_ = -1;
  uint16_t mtu_ = 23;
  std::vector<Characteristic> chars_;
  std::deque<std::pair<uint16_t, Bytes>> indications_;
  std::deque<Bytes> responses_;
};

}  // namespace camphone

#endif  // CAMPHONE_ATT_CLIENT_H
