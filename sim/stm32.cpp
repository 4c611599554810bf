// The STM32's side of the message exchange: the signal-line handshake, SLIP framing and the
// answers. Messages are little-endian and packed; every field is read and written by offset here.
#include "sim/stm32.h"

#include <algorithm>
#include <cstring>

#include "sim/board.h"

namespace sim {

namespace {

constexpr uint8_t kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;
constexpr size_t kHeaderBytes = 12;
constexpr size_t kMaxFrame = 4096;  // more than any message; anything longer is line noise
// The module re-raises its line 5 ms after lowering it while it waits; a longer quiet spell with
// no request means it gave up.
constexpr uint64_t kTxnGapUs = 20000;
constexpr int kMaxEdges = 4;  // the module's attempts per transaction

constexpr int32_t kBadCmd = -112;

// Commands with answers of their own; the rest of the catalogue is echoed.
enum : uint16_t {
  kSetLiveViewMode = 29,
  kSetModeWithReason = 48,
  kSetPowerDown = 52,
  kDeleteFileFromSDCard = 62,
  kGetMode = 130,
  kGetUID = 136,
  kXchgBatteryAndRecordingStatus = 174,
  kGetStatus3 = 177,
  kGetVersion1 = 179,
  kGetSystemConfig = 188,
};

// Every command the module exchanges with the camera.
constexpr uint16_t kCatalogue[] = {
    130, 48,  29,  185, 62,  9,   137, 10,  138, 56,  184, 139, 30,  158, 136, 179, 177,
    37,  15,  143, 5,   133, 27,  155, 59,  187, 21,  149, 22,  150, 16,  144, 20,  148,
    19,  147, 28,  156, 174, 188, 31,  159, 61,  17,  145, 18,  146, 23,  151, 24,  152,
    25,  153, 26,  154, 169, 186, 172, 171, 168, 170, 162, 161, 163, 54,  55,  52,  53};

bool in_catalogue(uint16_t command) {
  return std::find(std::begin(kCatalogue), std::end(kCatalogue), command) != std::end(kCatalogue);
}

constexpr uint32_t kStatusNormal = 0x1, kStatusExternalPower = 0x2;
constexpr int32_t kModeTimeLapse = 2;

uint32_t get_le(const std::vector<uint8_t>& m, size_t off, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes && off + i < m.size(); i++) v |= uint32_t(m[off + i]) << (8 * i);
  return v;
}

// Fields past the end of a short message are left out rather than written.
void put_le(std::vector<uint8_t>& m, size_t off, uint32_t v, int bytes) {
  for (int i = 0; i < bytes && off + i < m.size(); i++) m[off + i] = uint8_t(v >> (8 * i));
}

void put_text(std::vector<uint8_t>& m, size_t off, size_t field, const std::string& s) {
  for (size_t i = 0; i < field && off + i < m.size(); i++)
    m[off + i] = i + 1 < field && i < s.size() ? uint8_t(s[i]) : 0;  // always NUL-terminated
}

std::string get_text(const std::vector<uint8_t>& m, size_t off, size_t field) {
  std::string s;
  for (size_t i = 0; i < field && off + i < m.size() && m[off + i]; i++) s += char(m[off + i]);
  return s;
}

void escape_into(std::vector<uint8_t>& out, uint8_t b) {
  if (b == kEnd) {
    out.push_back(kEsc);
    out.push_back(kEscEnd);
  } else if (b == kEsc) {
    out.push_back(kEsc);
    out.push_back(kEscEsc);
  } else {
    out.push_back(b);
  }
}

bool handshake_fault(Stm32Fault f) {
  return f == Stm32Fault::kSilent || f == Stm32Fault::kAnswerOnEdge2 ||
         f == Stm32Fault::kAnswerOnEdge3;
}

}  // namespace

struct Stm32::Life {
  std::mutex m;
  bool alive = true;
};

Stm32::Stm32(Board& board, const Stm32Config& config)
    : board_(board), config_(config), life_(std::make_shared<Life>()) {}

Stm32::~Stm32() {
  std::lock_guard<std::mutex> g(life_->m);
  life_->alive = false;
}

void Stm32::later(uint64_t when, std::function<void()> fn) {
  camhost::at(when, [life = life_, fn = std::move(fn)] {
    std::lock_guard<std::mutex> g(life->m);
    if (life->alive) fn();
  });
}

void Stm32::sync_line() {
  bool active;
  {
    std::lock_guard<std::mutex> g(m_);
    active = line_;
  }
  board_.set_stm32_signal(active);
}

void Stm32::set_fault(Stm32Fault fault, int count, int32_t result) {
  std::lock_guard<std::mutex> g(m_);
  fault_ = fault;
  fault_count_ = fault == Stm32Fault::kNone ? 0 : count;
  fault_result_ = result;
}

void Stm32::take_fault() {
  txn_fault_taken_ = true;
  txn_fault_ = Stm32Fault::kNone;
  if (fault_count_ == 0 || fault_ == Stm32Fault::kNone) return;
  txn_fault_ = fault_;
  txn_result_ = fault_result_;
  if (fault_count_ > 0 && --fault_count_ == 0) fault_ = Stm32Fault::kNone;
}

bool Stm32::raises_now() const {
  switch (txn_fault_taken_ ? txn_fault_ : Stm32Fault::kNone) {
    case Stm32Fault::kSilent:
      return false;
    case Stm32Fault::kAnswerOnEdge2:
      return edges_ >= 2;
    case Stm32Fault::kAnswerOnEdge3:
      return edges_ >= 3;
    default:
      return true;
  }
}

void Stm32::poke(uint32_t hold_us) {
  uint64_t token;
  {
    std::lock_guard<std::mutex> g(m_);
    if (line_) return;  // already asking
    line_ = true;
    token = ++poke_token_;
  }
  sync_line();
  later(camhost::time_now() + hold_us, [this, token] {
    bool lower = false;
    {
      std::lock_guard<std::mutex> g(m_);
      if (poke_token_ == token && line_) {
        line_ = false;
        lower = true;
      }
    }
    if (lower) sync_line();
  });
}

void Stm32::module_signal_changed(bool active) {
  uint64_t now = camhost::time_now();
  uint64_t token;
  bool raise = false, lower = false, watch_gap = false;
  {
    std::lock_guard<std::mutex> g(m_);
    if (active == module_line_) return;
    module_line_ = active;
    token = ++edge_token_;
    if (active) {
      if (!in_txn_ || edges_ >= kMaxEdges) {
        in_txn_ = true;
        edges_ = 0;
        txn_fault_taken_ = false;
        // Faults of the handshake act from the first edge; the others wait for the request, so
        // one set after the handshake still applies to it.
        if (fault_count_ != 0 && handshake_fault(fault_)) take_fault();
      }
      edges_++;
      if (line_)
        ++poke_token_;  // the line is up already: the transaction takes it over
      else
        raise = raises_now();
    } else {
      if (line_) {
        line_ = false;
        lower = true;
      }
      watch_gap = in_txn_;
    }
  }
  if (lower) sync_line();
  if (raise) {
    later(now + config_.edge_latency_us, [this, token] {
      bool up = false;
      {
        std::lock_guard<std::mutex> g(m_);
        if (edge_token_ == token && module_line_ && !line_) {
          line_ = up = true;
          answer_edges_.push_back(camhost::time_now());
        }
      }
      if (up) sync_line();
    });
  }
  if (watch_gap) {
    later(now + kTxnGapUs, [this, token] {
      std::lock_guard<std::mutex> g(m_);
      if (edge_token_ == token && !module_line_) in_txn_ = false;
    });
  }
}

void Stm32::uart_byte_from_module(uint8_t byte) {
  std::vector<uint8_t> frame;
  {
    std::lock_guard<std::mutex> g(m_);
    if (!in_frame_) {
      if (byte == kEnd) in_frame_ = true;  // anything before the first END is noise
      return;
    }
    if (byte == kEnd) {
      // Closes a frame and may open the next; empty frames are just back-to-back ENDs.
      if (!rx_.empty() && !bad_frame_ && !escaped_) frame.swap(rx_);
      rx_.clear();
      escaped_ = bad_frame_ = false;
      if (frame.empty()) return;
    } else if (bad_frame_) {
      return;
    } else if (escaped_) {
      escaped_ = false;
      if (byte == kEscEnd)
        rx_.push_back(kEnd);
      else if (byte == kEscEsc)
        rx_.push_back(kEsc);
      else
        bad_frame_ = true;
      return;
    } else if (byte == kEsc) {
      escaped_ = true;
      return;
    } else {
      rx_.push_back(byte);
      if (rx_.size() > kMaxFrame) bad_frame_ = true;
      return;
    }
  }
  handle_frame(std::move(frame));
}

void Stm32::handle_frame(std::vector<uint8_t> frame) {
  if (frame.size() < kHeaderBytes) return;  // not a message
  uint64_t now = camhost::time_now();
  bool usb = (board_.expander1().pins() >> Board::kUsbPower) & 1;
  std::vector<uint8_t> wire;
  {
    std::lock_guard<std::mutex> g(m_);
    Request r;
    r.time = now;
    r.length = static_cast<uint16_t>(get_le(frame, 0, 2));
    r.command = static_cast<uint16_t>(get_le(frame, 2, 2));
    r.signature = get_le(frame, 4, 4);
    r.message = frame;
    requests_.push_back(r);

    if (!txn_fault_taken_) take_fault();
    Stm32Fault fault = txn_fault_;
    int32_t fault_result = txn_result_;
    in_txn_ = txn_fault_taken_ = false;
    if (fault == Stm32Fault::kSilent) return;

    // A camera that turns the request down does not act on it.
    std::vector<uint8_t> msg = answer(frame, fault != Stm32Fault::kErrorResult);
    if (msg.size() > 12 && r.command == kGetStatus3 && usb)
      put_le(msg, 48, get_le(msg, 48, 4) | kStatusExternalPower, 4);
    if (fault == Stm32Fault::kNoAnswer) return;
    if (fault == Stm32Fault::kLargerSignature) put_le(msg, 4, r.signature + 1, 4);
    if (fault == Stm32Fault::kErrorResult) put_le(msg, 8, static_cast<uint32_t>(fault_result), 4);
    if (fault == Stm32Fault::kStaleAnswerFirst) {
      std::vector<uint8_t> stale = msg;
      put_le(stale, 4, r.signature - 1, 4);
      wire = encode(stale, Stm32Fault::kNone);
    }
    std::vector<uint8_t> frame_out = encode(msg, fault);
    wire.insert(wire.end(), frame_out.begin(), frame_out.end());
  }
  later(now + config_.answer_delay_us,
        [wire] { camhost::uart_send_to_module(wire.data(), wire.size()); });
}

std::vector<uint8_t> Stm32::answer(const std::vector<uint8_t>& request, bool take_effect) {
  std::vector<uint8_t> m = request;  // same layout and size; fields not answered are echoed
  uint16_t command = static_cast<uint16_t>(get_le(m, 2, 2));
  put_le(m, 0, static_cast<uint32_t>(m.size()), 2);
  put_le(m, 8, 0, 4);
  if (!in_catalogue(command)) {
    put_le(m, 8, static_cast<uint32_t>(kBadCmd), 4);
    return m;
  }
  switch (command) {
    case kGetMode:
      put_le(m, 12, static_cast<uint32_t>(config_.mode), 4);
      break;
    case kSetModeWithReason:
      if (take_effect && m.size() >= 16) config_.mode = static_cast<int32_t>(get_le(m, 12, 4));
      break;
    case kSetLiveViewMode:
      // A frame count asks for live view; none stops it.
      if (take_effect && m.size() >= 20) config_.mode = get_le(m, 16, 4) > 0 ? 1 : 0;
      break;
    case kDeleteFileFromSDCard:
      if (take_effect) sd_files_deleted_.push_back(get_text(m, 12, 13));
      break;
    case kSetPowerDown:
      if (take_effect) power_down_ = true;
      break;
    case kGetUID:
      for (int i = 0; i < 6; i++) put_le(m, 12 + 2 * i, config_.camera_uid[i], 2);
      break;
    case kGetVersion1:
      // The module's own version (36..47) stays as it sent it.
      for (int i = 0; i < 3; i++) {
        put_le(m, 12 + 4 * i, config_.fw_version[i], 4);
        put_le(m, 24 + 4 * i, config_.fpga_version[i], 4);
      }
      put_text(m, 48, 20, config_.ble_name);
      break;
    case kGetStatus3:
      put_le(m, 44, static_cast<uint32_t>(config_.mode), 4);
      put_le(m, 48, kStatusNormal, 4);
      put_le(m, 52, 29000, 4);  // free and total MB of a 32 GB card
      put_le(m, 56, 30436, 4);
      break;
    case kXchgBatteryAndRecordingStatus:
      // The answer replaces the battery report with the recording information.
      for (size_t i = 12; i < 44 && i < m.size(); i++) m[i] = 0;
      if (m.size() > 33) m[33] = config_.mode == kModeTimeLapse ? 0x01 : 0x00;
      break;
    case kGetSystemConfig:
      put_le(m, 12, config_.spi_transfer_length, 4);
      break;
    default:
      break;
  }
  return m;
}

std::vector<uint8_t> Stm32::encode(const std::vector<uint8_t>& message, Stm32Fault fault) {
  std::vector<uint8_t> out{kEnd};
  size_t half = message.size() / 2;
  for (size_t i = 0; i < message.size(); i++) {
    if (i == half && fault == Stm32Fault::kTruncatedFrame) return out;
    if (i == half && fault == Stm32Fault::kCorruptFrame) {
      out.push_back(kEsc);
      out.push_back(0x41);  // neither ESC_END nor ESC_ESC
    }
    escape_into(out, message[i]);
  }
  out.push_back(kEnd);
  return out;
}

std::vector<Stm32::Request> Stm32::requests() const {
  std::lock_guard<std::mutex> g(m_);
  return requests_;
}

int Stm32::count(uint16_t command) const {
  std::lock_guard<std::mutex> g(m_);
  return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                        [&](const Request& r) { return r.command == command; }));
}

void Stm32::clear_record() {
  std::lock_guard<std::mutex> g(m_);
  requests_.clear();
  answer_edges_.clear();
}

int32_t Stm32::mode() const {
  std::lock_guard<std::mutex> g(m_);
  return config_.mode;
}

void Stm32::set_mode(int32_t mode) {
  std::lock_guard<std::mutex> g(m_);
  config_.mode = mode;
}

bool Stm32::power_down_requested() const {
  std::lock_guard<std::mutex> g(m_);
  return power_down_;
}

std::vector<std::string> Stm32::deleted_files() const {
  std::lock_guard<std::mutex> g(m_);
  return sd_files_deleted_;
}

std::vector<uint64_t> Stm32::answer_edges() const {
  std::lock_guard<std::mutex> g(m_);
  return answer_edges_;
}

}  // namespace sim
