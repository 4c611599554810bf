// The STM32's side of the message exchange: the signal-line handshake, SLIP framing and the
// answers, and the camera state they read and change. Messages are little-endian and packed;
// every field is read and written by offset here.
#include "sim/stm32.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include "camhost/runtime.h"
#include "sim/board.h"
#include "sim/board_config.h"

namespace sim {

namespace {

constexpr uint8_t kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;
constexpr size_t kHeaderBytes = 12;
constexpr size_t kMaxFrame = 4096;  // more than any message; anything longer is line noise
// The module re-raises its line 5 ms after lowering it while it waits; a longer quiet spell with
// no request means it gave up.
constexpr uint64_t kTxnGapUs = 20000;
constexpr int kMaxEdges = 4;  // the module's attempts per transaction
// The clock runs on between changes of the state; saving it this often bounds what a crash
// (kill -9, a power cut) takes from it.
constexpr uint64_t kClockSaveUs = 60000000;

constexpr int32_t kBlockedWhileRecording = -101, kIllegalParamValue = -103,
                  kPersistentError = -109, kBadArg = -111, kBadCmd = -112;

enum : uint16_t {
  kSetSchedule = 5,
  kSetSSID = 9,
  kSetPWD = 10,
  kSetLiveViewMode = 29,
  kSetBLEAccessCode = 30,
  kSetNonVolatileMemory = 31,
  kSetDateTime8601 = 37,
  kSetModeWithReason = 48,
  kSetPowerDown = 52,
  kSetBatteryInfo = 53,
  kSetUserUID = 56,
  kStatisticsReport = 61,
  kDeleteFileFromSDCard = 62,
  kGetMode = 130,
  kGetSchedule = 133,
  kGetUID = 136,
  kGetSSID = 137,
  kGetPWD = 138,
  kGetCode = 139,
  kGetBLEAccessCode = 158,
  kGetNonVolatileMemory = 159,
  kRootFileWrite = 162,
  kXchgBatteryAndRecordingStatus = 174,
  kGetStatus3 = 177,
  kGetVersion1 = 179,
  kGetUserUID = 184,
  kGetSystemConfig = 188,
};

// Every command the module exchanges with the camera, with its message size (0: variable).
struct CatalogueEntry {
  uint16_t command;
  uint16_t bytes;
};
constexpr CatalogueEntry kCatalogue[] = {
    {130, 16}, {48, 20},  {29, 20},  {185, 49}, {62, 25},  {9, 77},   {137, 77}, {10, 77},
    {138, 77}, {56, 77},  {184, 77}, {139, 24}, {30, 24},  {158, 24}, {136, 24}, {179, 68},
    {177, 60}, {37, 44},  {15, 16},  {143, 16}, {5, 28},   {133, 28}, {27, 16},  {155, 16},
    {59, 16},  {187, 16}, {21, 16},  {149, 16}, {22, 16},  {150, 16}, {16, 16},  {144, 16},
    {20, 16},  {148, 16}, {19, 16},  {147, 16}, {28, 16},  {156, 16}, {174, 44}, {188, 16},
    {31, 78},  {159, 78}, {61, 92},  {17, 16},  {145, 16}, {18, 16},  {146, 16}, {23, 16},
    {151, 16}, {24, 16},  {152, 16}, {25, 16},  {153, 16}, {26, 16},  {154, 16}, {169, 40},
    {186, 120}, {172, 40}, {171, 29}, {168, 33}, {170, 25}, {162, 0}, {161, 120}, {163, 120},
    {54, 12},  {55, 16},  {52, 16},  {53, 96}};
constexpr size_t kRootFileWriteMin = 40, kRootFileWriteMax = 1440;

const CatalogueEntry* find_in_catalogue(uint16_t command) {
  for (const CatalogueEntry& e : kCatalogue)
    if (e.command == command) return &e;
  return nullptr;
}

bool right_size(const CatalogueEntry& e, size_t size) {
  if (e.command == kRootFileWrite) return size >= kRootFileWriteMin && size <= kRootFileWriteMax;
  return size == e.bytes;
}

// The STM32 keeps the recording untouched: it refuses the same changes the module's own gate
// holds back while the camera records.
bool blocked_while_recording(uint16_t command) {
  uint16_t base = command & 0x7F;
  if (command & 0x80) return base == 33 || base == 34 || base == 35;
  return base == 3 || base == 4 || base == 5 || base == 7 || base == 13 || base == 14 ||
         (base >= 15 && base <= 29) || base == 37 || base == 47;
}

constexpr int32_t kModeLiveView = 1, kModeTimeLapse = 2, kModeUsb = 3;

constexpr size_t kWifiTextField = 65, kCodeField = 12, kDateTimeField = 32, kBleNameField = 20,
                 kFileNameField = 13;

uint32_t get_le(const std::vector<uint8_t>& m, size_t off, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes && off + i < m.size(); i++) v |= uint32_t(m[off + i]) << (8 * i);
  return v;
}

uint64_t get_le64(const std::vector<uint8_t>& m, size_t off) {
  return get_le(m, off, 4) | uint64_t(get_le(m, off + 4, 4)) << 32;
}

// Fields past the end of a short message are left out rather than written.
void put_le(std::vector<uint8_t>& m, size_t off, uint32_t v, int bytes) {
  for (int i = 0; i < bytes && off + i < m.size(); i++) m[off + i] = uint8_t(v >> (8 * i));
}

void put_text(std::vector<uint8_t>& m, size_t off, size_t field, const std::string& s) {
  for (size_t i = 0; i < field && off + i < m.size(); i++)
    m[off + i] = i + 1 < field && i < s.size() ? uint8_t(s[i]) : 0;  // always NUL-terminated
}

// At most `field` bytes, up to the first NUL.
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

// Instance time, or 0 before an instance exists (and after it is gone).
uint64_t instance_now() { return camhost::current() ? camhost::time_now() : 0; }

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// ---- Calendar ---------------------------------------------------------------------------------

int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int days_in_month(int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

bool digits(const std::string& s, size_t at, size_t n, int* out) {
  int v = 0;
  for (size_t i = at; i < at + n; i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

}  // namespace

// ---- Tables and text --------------------------------------------------------------------------

#define CAMSIM_SETTING(key, field, set, get, lo, hi)                                          \
  CaptureSettingInfo {                                                                         \
    key, set, get, lo, hi, std::is_signed<decltype(CaptureSettings::field)>::value,           \
        [](const CaptureSettings& s) -> int64_t { return s.field; },                          \
        [](CaptureSettings& s, int64_t v) {                                                    \
          s.field = static_cast<decltype(CaptureSettings::field)>(v);                         \
        }                                                                                      \
  }

const std::vector<CaptureSettingInfo>& capture_setting_table() {
  static const std::vector<CaptureSettingInfo> table = {
      CAMSIM_SETTING("interval", interval, 15, 143, 1, 86400),
      CAMSIM_SETTING("file_split", file_split, 27, 155, 0, 1),
      CAMSIM_SETTING("overwrite_old_files", overwrite_old_files, 59, 187, 0, 1),
      CAMSIM_SETTING("exposure_mode", exposure_mode, 21, 149, 0, 3),
      CAMSIM_SETTING("flicker_filter", flicker_filter, 22, 150, 0, 2),
      CAMSIM_SETTING("embed_timestamp", embed_timestamp, 16, 144, 0, 1),
      CAMSIM_SETTING("sharpness", sharpness, 20, 148, 0, 10),
      CAMSIM_SETTING("saturation", saturation, 19, 147, 0, 10),
      CAMSIM_SETTING("playback_rate", playback_rate, 28, 156, 1, 60),
      CAMSIM_SETTING("contrast", contrast, 17, 145, -10, 10),
      CAMSIM_SETTING("exposure_value", exposure_value, 18, 146, -3, 3),
      CAMSIM_SETTING("white_balance", white_balance, 23, 151, 0, 5),
      CAMSIM_SETTING("hdr", hdr, 24, 152, 0, 1),
      CAMSIM_SETTING("resolution", resolution, 25, 153, 0, 3),
      CAMSIM_SETTING("noise_filter", noise_filter, 26, 154, -2, 2),
  };
  return table;
}

#undef CAMSIM_SETTING

const std::vector<ScheduleFieldInfo>& schedule_field_table() {
  static const std::vector<ScheduleFieldInfo> table = {
      {"enabled", 1, &Schedule::enabled},
      {"start", 86399, &Schedule::start},
      {"stop", 86399, &Schedule::stop},
      {"week", 0x7F, &Schedule::week},
  };
  return table;
}

bool parse_date_time_8601(const std::string& s, int64_t* local_seconds, int* offset_minutes,
                          bool* has_offset) {
  if (s.size() != 19 && s.size() != 25) return false;
  if (s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':') return false;
  int year, month, day, hour, minute, second;
  if (!digits(s, 0, 4, &year) || !digits(s, 5, 2, &month) || !digits(s, 8, 2, &day) ||
      !digits(s, 11, 2, &hour) || !digits(s, 14, 2, &minute) || !digits(s, 17, 2, &second))
    return false;
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
      hour > 23 || minute > 59 || second > 59)
    return false;
  int offset = 0;
  if (s.size() == 25) {
    int oh, om;
    if ((s[19] != '+' && s[19] != '-') || s[22] != ':' || !digits(s, 20, 2, &oh) ||
        !digits(s, 23, 2, &om) || om > 59)
      return false;
    offset = (s[19] == '-' ? -1 : 1) * (oh * 60 + om);
    if (offset < kMinRtcOffsetMinutes || offset > kMaxRtcOffsetMinutes) return false;
  }
  *local_seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  *offset_minutes = offset;
  if (has_offset) *has_offset = s.size() == 25;
  return true;
}

std::string format_date_time_8601(int64_t local_seconds, int offset_minutes) {
  int64_t days = floor_div(local_seconds, 86400), secs = local_seconds - days * 86400;
  int64_t y;
  int m, d;
  civil_from_days(days, &y, &m, &d);
  int off = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char buf[48];
  snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
           static_cast<long long>(y), m, d, static_cast<int>(secs / 3600),
           static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
           offset_minutes < 0 ? '-' : '+', off / 60, off % 60);
  return buf;
}

// ---- The model --------------------------------------------------------------------------------

struct Stm32::Life {
  std::mutex m;
  bool alive = true;
};

Stm32::Stm32(Board& board, const Stm32Config& config)
    : board_(board), config_(config), life_(std::make_shared<Life>()) {
  const std::string& dir = board.config().state_dir;
  auto fail = [&](const std::string& what) {
    if (lock_fd_ >= 0) close(lock_fd_);
    throw std::runtime_error(what);
  };
  if (!dir.empty()) {
    state_path_ = stm32_state_path(dir);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) fail(dir + ": cannot create the state directory: " + ec.message());
    std::string error;
    lock_fd_ = lock_state_dir(dir, &error);
    if (lock_fd_ < 0) fail(error);
    // Whatever is at the path is read, or refused: a link to nowhere is not taken for "no state"
    // and replaced.
    if (std::filesystem::symlink_status(state_path_, ec).type() !=
        std::filesystem::file_type::not_found) {
      std::string text;
      if (!read_config_file(state_path_, &text, &error)) fail(error);
      if (!parse_stm32_state_json(text, &config_, &error)) fail(state_path_ + ": " + error);
    }
  }
  rtc_base_ = instance_now();
  rtc_at_base_us_ = config_.rtc_utc * 1000000;
  if (!state_path_.empty()) {
    {
      std::lock_guard<std::mutex> g(m_);
      save_locked();
    }
    if (save_failed_) fail(state_path_ + ": cannot be written");
    if (!board.config().state_is_temporary) save_clock_periodically();
  }
}

Stm32::~Stm32() {
  {
    std::lock_guard<std::mutex> g(life_->m);
    life_->alive = false;
  }
  std::lock_guard<std::mutex> g(m_);
  save_locked();  // the clock's reading at power-off
  if (lock_fd_ >= 0) close(lock_fd_);
}

void Stm32::save_clock_periodically() {
  later(instance_now() + kClockSaveUs, [this] {
    {
      std::lock_guard<std::mutex> g(m_);
      save_locked();
    }
    save_clock_periodically();
  });
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
  if (camhost::time_now() < down_until_) {
    txn_fault_ = Stm32Fault::kSilent;  // rebooting: nobody listens
    return;
  }
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
        if ((fault_count_ != 0 && handshake_fault(fault_)) || now < down_until_) take_fault();
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
    uint64_t latency =
        camhost::random_between(config_.edge_latency_min_us, config_.edge_latency_max_us);
    later(now + latency, [this, token] {
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
    record_sent(r.command, frame, now);

    if (!txn_fault_taken_) take_fault();
    Stm32Fault fault = txn_fault_;
    int32_t fault_result = txn_result_;
    in_txn_ = txn_fault_taken_ = false;
    if (fault == Stm32Fault::kSilent) return;

    // A camera that turns the request down does not act on it.
    std::vector<uint8_t> msg = answer(frame, fault != Stm32Fault::kErrorResult);
    if (r.command == kGetStatus3 && usb && get_le(msg, 8, 4) == 0)
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
  run_bulk_actions();
  uint64_t delay =
      camhost::random_between(config_.answer_delay_min_us, config_.answer_delay_max_us);
  later(now + delay, [wire] { camhost::uart_send_to_module(wire.data(), wire.size()); });
}

std::vector<uint8_t> Stm32::answer(const std::vector<uint8_t>& request, bool take_effect) {
  std::vector<uint8_t> m = request;  // same layout and size; fields not answered are echoed
  uint16_t command = static_cast<uint16_t>(get_le(m, 2, 2));
  put_le(m, 0, static_cast<uint32_t>(m.size()), 2);
  put_le(m, 8, 0, 4);
  auto refuse = [&m](int32_t result) {
    put_le(m, 8, static_cast<uint32_t>(result), 4);
    return m;
  };
  const CatalogueEntry* entry = find_in_catalogue(command);
  if (!entry) return refuse(kBadCmd);
  // A message of the wrong size, or whose length field disagrees with the frame, is a layout
  // fault on the module's side; nothing of it is used.
  if (!right_size(*entry, request.size()) || get_le(request, 0, 2) != request.size())
    return refuse(kBadArg);
  if (config_.mode == kModeTimeLapse && blocked_while_recording(command))
    return refuse(kBlockedWhileRecording);

  bool changed = false;  // the kept state, to be saved
  for (const CaptureSettingInfo& s : capture_setting_table()) {
    if (command != s.set_command && command != s.get_command) continue;
    if (command == s.set_command) {
      uint32_t raw = get_le(m, 12, 4);
      int64_t v = s.is_signed ? int64_t(int32_t(raw)) : int64_t(raw);
      if (v < s.min || v > s.max) {
        put_le(m, 12, static_cast<uint32_t>(s.get(config_.capture)), 4);
        return refuse(kIllegalParamValue);
      }
      if (take_effect && v != s.get(config_.capture)) {
        s.set(config_.capture, v);
        changed = true;
      }
    }
    put_le(m, 12, static_cast<uint32_t>(s.get(config_.capture)), 4);
    if (changed) save_locked();
    return m;
  }

  // The text settings: SSID and password answer "NONE" when there is none.
  auto wifi_text = [&](std::string& kept, bool none_text) {
    if (!(command & 0x80)) {
      std::string v = get_text(m, 12, kMaxWifiText);  // the 65th byte is the NUL
      if (take_effect && v != kept) {
        kept = v;
        changed = true;
      }
    }
    put_text(m, 12, kWifiTextField, kept.empty() && none_text ? "NONE" : kept);
  };

  if (bulk_answer(command, m, take_effect)) return m;
  if (update_answer(command, m, take_effect)) return m;

  switch (command) {
    case kGetMode:
      put_le(m, 12, static_cast<uint32_t>(config_.mode), 4);
      break;
    case kSetModeWithReason:
      if (take_effect) config_.mode = static_cast<int32_t>(get_le(m, 12, 4));
      break;
    case kSetLiveViewMode:
      // A frame count asks for live view; none stops it.
      if (take_effect) config_.mode = get_le(m, 16, 4) > 0 ? kModeLiveView : 0;
      break;
    case kDeleteFileFromSDCard:
      if (take_effect) sd_files_deleted_.push_back(get_text(m, 12, kFileNameField));
      break;
    case kSetPowerDown:
      if (take_effect) power_down_ = true;
      break;
    case kGetUID:
      for (int i = 0; i < 6; i++) put_le(m, 12 + 2 * i, config_.camera_uid[i], 2);
      break;
    case kSetSSID:
    case kGetSSID:
      wifi_text(config_.ssid, true);
      break;
    case kSetPWD:
    case kGetPWD:
      wifi_text(config_.password, true);
      break;
    case kSetUserUID:
    case kGetUserUID:
      wifi_text(config_.user_uid, false);
      break;
    case kGetCode:
      put_text(m, 12, kCodeField,
               config_.registration_code.empty() ? "NONE" : config_.registration_code);
      break;
    case kSetBLEAccessCode: {
      if (config_.access_code_locked) {
        put_text(m, 12, kCodeField, config_.access_code);
        return refuse(kPersistentError);
      }
      std::string v = get_text(m, 12, kMaxCode);  // the 12th byte is the NUL
      if (take_effect && v != config_.access_code) {
        config_.access_code = v;
        changed = true;
      }
      put_text(m, 12, kCodeField, config_.access_code);
      break;
    }
    case kGetBLEAccessCode:
      put_text(m, 12, kCodeField, config_.access_code);
      break;
    case kGetVersion1:
      // The module's own version (36..47) stays as it sent it.
      for (int i = 0; i < 3; i++) {
        put_le(m, 12 + 4 * i, config_.fw_version[i], 4);
        put_le(m, 24 + 4 * i, config_.fpga_version[i], 4);
      }
      if (!config_.ble_name.empty()) put_text(m, 48, kBleNameField, config_.ble_name);
      break;
    case kGetStatus3:
      put_text(m, 12, kDateTimeField,
               format_date_time_8601(floor_div(rtc_now_us(), 1000000) +
                                         config_.rtc_offset_minutes * 60,
                                     config_.rtc_offset_minutes));
      put_le(m, 44, static_cast<uint32_t>(config_.mode), 4);
      put_le(m, 48, status_locked(), 4);
      put_le(m, 52, config_.sd.present ? config_.sd.free_mb : 0, 4);
      put_le(m, 56, config_.sd.present ? config_.sd.total_mb : 0, 4);
      if (take_effect) events_ = 0;  // each event is reported once
      break;
    case kSetDateTime8601: {
      int64_t local;
      int offset;
      bool has_offset;
      if (!parse_date_time_8601(get_text(m, 12, kDateTimeField), &local, &offset, &has_offset))
        return refuse(kIllegalParamValue);
      if (!has_offset) offset = config_.rtc_offset_minutes;  // local time in the kept zone
      if (take_effect) {
        rtc_set_us((local - int64_t(offset) * 60) * 1000000);
        config_.rtc_offset_minutes = static_cast<int16_t>(offset);
        changed = true;
      }
      break;
    }
    case kSetSchedule:
    case kGetSchedule: {
      const auto& fields = schedule_field_table();
      if (command == kSetSchedule) {
        Schedule next = config_.capture.schedule;
        for (size_t i = 0; i < fields.size(); i++) {
          uint32_t v = get_le(m, 12 + 4 * i, 4);
          if (v > fields[i].max) {
            for (size_t j = 0; j < fields.size(); j++)
              put_le(m, 12 + 4 * j, config_.capture.schedule.*fields[j].field, 4);
            return refuse(kIllegalParamValue);
          }
          next.*fields[i].field = v;
        }
        if (take_effect) {
          config_.capture.schedule = next;
          changed = true;
        }
      }
      for (size_t i = 0; i < fields.size(); i++)
        put_le(m, 12 + 4 * i, config_.capture.schedule.*fields[i].field, 4);
      break;
    }
    case kSetNonVolatileMemory:
    case kGetNonVolatileMemory: {
      uint16_t block = static_cast<uint16_t>(get_le(m, 12, 2));
      if (block >= kNvmBlocks) return refuse(kIllegalParamValue);
      if (command == kSetNonVolatileMemory) {
        if (take_effect) {
          NvmBlock data;
          std::copy(m.begin() + 14, m.begin() + 14 + kNvmBlockBytes, data.begin());
          config_.nvm[block] = data;
          changed = true;
        }
      } else {
        auto it = config_.nvm.find(block);
        for (size_t i = 0; i < kNvmBlockBytes; i++)
          m[14 + i] = it == config_.nvm.end() ? 0 : it->second[i];
      }
      break;
    }
    case kXchgBatteryAndRecordingStatus:
      // The answer replaces the battery report with the recording information.
      std::fill(m.begin() + 12, m.end(), 0);
      put_le(m, 12, recording_.frame_count, 4);
      put_le(m, 16, recording_.current_size, 4);
      put_text(m, 20, kFileNameField, recording_.current_file_name);
      m[33] = uint8_t((config_.mode == kModeTimeLapse ? 0x01 : 0x00) |
                      (config_.capture.schedule.enabled ? 0x02 : 0x00));
      break;
    case kGetSystemConfig:
      put_le(m, 12, config_.spi_transfer_length, 4);
      break;
    default:
      break;
  }
  if (changed) save_locked();
  return m;
}

void Stm32::record_sent(uint16_t command, const std::vector<uint8_t>& m, uint64_t now) {
  const CatalogueEntry* entry = find_in_catalogue(command);
  if (!entry || !right_size(*entry, m.size())) return;
  switch (command) {
    case kSetDateTime8601:
      clock_writes_.push_back(get_text(m, 12, kDateTimeField));
      if (on_note) on_note("clock set to " + clock_writes_.back());
      break;
    case kStatisticsReport: {
      const size_t r = 12;  // the 80-byte report
      StatisticsReport s;
      s.received_at = now;
      s.uptime_ms = get_le(m, r + 0, 4);
      s.ap_open_count = get_le(m, r + 4, 4);
      s.dns_resolve_count = get_le(m, r + 8, 4);
      s.session_opened_count = get_le(m, r + 12, 4);
      s.session_opened_last_time = get_le64(m, r + 16);
      s.tcp_opened_count = get_le(m, r + 24, 4);
      s.tcp_opened_last_time = get_le64(m, r + 28);
      s.st_cmd_seq_err_count = get_le(m, r + 36, 4);
      s.st_uart_response_timeout_count = get_le(m, r + 40, 4);
      s.spi_read_timeout_count = get_le(m, r + 44, 4);
      s.semtmo_msg_err_count = get_le(m, r + 48, 4);
      s.semtmo_msg_err_last_line = get_le(m, r + 52, 4);
      s.sec_since_last_ble_communication = get_le(m, r + 56, 4);
      s.sec_since_last_udp_tx = get_le(m, r + 60, 4);
      s.sec_since_last_udp_rx = get_le(m, r + 64, 4);
      s.sec_since_current_session = get_le(m, r + 68, 4);
      s.consecutive_ap_not_found_count = get_le(m, r + 72, 4);
      s.heap_size_remaining = get_le(m, r + 76, 4);
      statistics_.push_back(s);
      if (on_note) {
        char text[160];
        snprintf(text, sizeof text,
                 "statistics report received: uptime_ms %u, heap %u, UART time-outs %u, "
                 "sequence errors %u",
                 s.uptime_ms, s.heap_size_remaining, s.st_uart_response_timeout_count,
                 s.st_cmd_seq_err_count);
        on_note(text);
      }
      break;
    }
    case kSetBatteryInfo: {
      BatteryInfo b;
      b.received_at = now;
      b.usb_powered = m[12] & 0x7F;
      b.charging_enabled = (m[12] & 0x80) != 0;
      b.total_charge_percent = m[13];
      b.low_battery = m[14];
      for (size_t i = 0; i < b.batteries.size(); i++) {
        const size_t e = 16 + 20 * i;
        BatteryEntry& x = b.batteries[i];
        x.active = static_cast<uint16_t>(get_le(m, e + 0, 2));
        x.voltage = static_cast<uint16_t>(get_le(m, e + 2, 2));
        x.current = static_cast<int16_t>(get_le(m, e + 4, 2));
        x.design_capacity = static_cast<uint16_t>(get_le(m, e + 6, 2));
        x.full_charge_capacity = static_cast<uint16_t>(get_le(m, e + 8, 2));
        x.remaining_capacity = static_cast<uint16_t>(get_le(m, e + 10, 2));
        x.state_of_charge = static_cast<uint16_t>(get_le(m, e + 12, 2));
        x.time_to_empty = static_cast<uint16_t>(get_le(m, e + 14, 2));
        x.cycle_count = static_cast<uint16_t>(get_le(m, e + 16, 2));
        x.internal_temp = static_cast<uint16_t>(get_le(m, e + 18, 2));
      }
      battery_infos_.push_back(b);
      if (on_note)
        on_note("battery info received: " + std::to_string(b.total_charge_percent) +
                "%, low level " + std::to_string(b.low_battery));
      break;
    }
    case kXchgBatteryAndRecordingStatus: {
      LegacyBatteryReport report;
      for (size_t i = 0; i < report.size(); i++) {
        const size_t e = 12 + 8 * i;
        report[i].voltage = static_cast<uint16_t>(get_le(m, e + 0, 2));
        report[i].full_charge_capacity = static_cast<uint16_t>(get_le(m, e + 2, 2));
        report[i].remaining_capacity = static_cast<uint16_t>(get_le(m, e + 4, 2));
        report[i].internal_temp = static_cast<uint16_t>(get_le(m, e + 6, 2));
      }
      battery_exchanges_.push_back(report);
      break;
    }
    case kGetVersion1:
      for (int i = 0; i < 3; i++) module_version_[i] = get_le(m, 36 + 4 * i, 4);
      module_ble_name_ = get_text(m, 48, kBleNameField);
      break;
    default:
      break;
  }
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
  clock_writes_.clear();
  statistics_.clear();
  battery_infos_.clear();
  battery_exchanges_.clear();
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

// ---- What the module sent -----------------------------------------------------------------

std::vector<std::string> Stm32::clock_writes() const {
  std::lock_guard<std::mutex> g(m_);
  return clock_writes_;
}

std::vector<StatisticsReport> Stm32::statistics_reports() const {
  std::lock_guard<std::mutex> g(m_);
  return statistics_;
}

std::vector<BatteryInfo> Stm32::battery_infos() const {
  std::lock_guard<std::mutex> g(m_);
  return battery_infos_;
}

std::optional<BatteryInfo> Stm32::last_battery_info() const {
  std::lock_guard<std::mutex> g(m_);
  if (battery_infos_.empty()) return std::nullopt;
  return battery_infos_.back();
}

std::vector<LegacyBatteryReport> Stm32::battery_exchanges() const {
  std::lock_guard<std::mutex> g(m_);
  return battery_exchanges_;
}

std::string Stm32::module_ble_name() const {
  std::lock_guard<std::mutex> g(m_);
  return module_ble_name_;
}

std::array<uint32_t, 3> Stm32::module_version() const {
  std::lock_guard<std::mutex> g(m_);
  return module_version_;
}

// ---- What the STM32 holds -----------------------------------------------------------------

int64_t Stm32::rtc_now_us() const {
  // It stops at the last second its text can show, rather than run into a year nobody reads.
  const int64_t end = (kLastLocalSecond - int64_t(config_.rtc_offset_minutes) * 60) * 1000000;
  const uint64_t ran = instance_now() - rtc_base_;
  if (rtc_at_base_us_ >= end || ran >= static_cast<uint64_t>(end - rtc_at_base_us_)) return end;
  return rtc_at_base_us_ + static_cast<int64_t>(ran);
}

void Stm32::rtc_set_us(int64_t utc_us) {
  rtc_base_ = instance_now();
  rtc_at_base_us_ = utc_us;
}

uint32_t Stm32::status_locked() const {
  uint32_t s = kStatusNormal | extra_status_ | events_;
  if (config_.mode == kModeUsb) s |= kStatusUsbMode;
  if (!config_.sd.present) {
    s |= kStatusNoSdCard;
  } else {
    if (config_.sd.full) s |= kStatusSdCardFull;
    if (config_.sd.error) s |= kStatusSdCardError;
  }
  return s;
}

Stm32Config Stm32::state() const {
  std::lock_guard<std::mutex> g(m_);
  Stm32Config c = config_;
  c.rtc_utc = floor_div(rtc_now_us(), 1000000);
  return c;
}

int64_t Stm32::rtc_utc() const {
  std::lock_guard<std::mutex> g(m_);
  return floor_div(rtc_now_us(), 1000000);
}

int16_t Stm32::rtc_offset_minutes() const {
  std::lock_guard<std::mutex> g(m_);
  return config_.rtc_offset_minutes;
}

std::string Stm32::rtc_local_text() const {
  std::lock_guard<std::mutex> g(m_);
  return format_date_time_8601(
      floor_div(rtc_now_us(), 1000000) + config_.rtc_offset_minutes * 60,
      config_.rtc_offset_minutes);
}

NvmBlock Stm32::nvm_block(uint16_t block) const {
  std::lock_guard<std::mutex> g(m_);
  auto it = config_.nvm.find(block);
  return it == config_.nvm.end() ? NvmBlock{} : it->second;
}

uint32_t Stm32::status_word() const {
  bool usb = (board_.expander1().pins() >> Board::kUsbPower) & 1;
  std::lock_guard<std::mutex> g(m_);
  return status_locked() | (usb ? kStatusExternalPower : 0);
}

RecordingInfo Stm32::recording_info() const {
  std::lock_guard<std::mutex> g(m_);
  return recording_;
}

void Stm32::save_locked() {
  if (state_path_.empty()) return;
  Stm32Config c = config_;
  c.rtc_utc = floor_div(rtc_now_us(), 1000000);
  const std::string text = stm32_state_json(c);
  const std::string tmp = state_path_ + ".tmp";
  bool ok = false;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    ok = static_cast<bool>(out);
  }
  if (ok) ok = std::rename(tmp.c_str(), state_path_.c_str()) == 0;
  if (!ok && !save_failed_)
    fprintf(stderr, "sim: cannot save the STM32's state to %s: %s\n", state_path_.c_str(),
            strerror(errno));
  save_failed_ = !ok;
}

// ---- The camera's own side ------------------------------------------------------------------

void Stm32::camera_side(uint32_t events, const std::function<void()>& change) {
  {
    std::lock_guard<std::mutex> g(m_);
    change();
    events_ |= events;
    save_locked();
  }
  poke();
}

void Stm32::set_ssid(const std::string& ssid) {
  camera_side(kStatusConfigValuesDirty, [&] { config_.ssid = ssid.substr(0, kMaxWifiText); });
}

void Stm32::set_password(const std::string& password) {
  camera_side(kStatusConfigValuesDirty,
              [&] { config_.password = password.substr(0, kMaxWifiText); });
}

void Stm32::set_registration_code(const std::string& code) {
  camera_side(kStatusConfigValuesDirty,
              [&] { config_.registration_code = code.substr(0, kMaxCode); });
}

void Stm32::set_user_uid(const std::string& uid) {
  camera_side(kStatusConfigValuesDirty, [&] { config_.user_uid = uid.substr(0, kMaxWifiText); });
}

void Stm32::set_access_code(const std::string& code) {
  camera_side(kStatusConfigValuesDirty,
              [&] { config_.access_code = code.substr(0, kMaxCode); });
}

void Stm32::set_access_code_locked(bool locked) {
  camera_side(kStatusConfigValuesDirty, [&] { config_.access_code_locked = locked; });
}

void Stm32::set_camera_uid(const std::array<uint16_t, 6>& uid) {
  camera_side(kStatusConfigValuesDirty,
              [&] { std::copy(uid.begin(), uid.end(), config_.camera_uid); });
}

void Stm32::set_capture_settings(const CaptureSettings& settings) {
  camera_side(kStatusConfigValuesDirty, [&] { config_.capture = settings; });
}

void Stm32::set_rtc(int64_t utc_seconds, int16_t offset_minutes) {
  camera_side(0, [&] {
    rtc_set_us(utc_seconds * 1000000);
    config_.rtc_offset_minutes = offset_minutes;
  });
}

void Stm32::sd_card_removed() {
  camera_side(0, [&] { config_.sd.present = false; });
}

void Stm32::sd_card_inserted() {
  camera_side(0, [&] {
    config_.sd.present = true;
    config_.sd.error = false;
  });
}

void Stm32::set_sd_full(bool full) {
  camera_side(0, [&] { config_.sd.full = full; });
}

void Stm32::set_sd_error(bool error) {
  camera_side(0, [&] { config_.sd.error = error; });
}

void Stm32::set_space(uint32_t free_mb, uint32_t total_mb) {
  camera_side(0, [&] {
    config_.sd.free_mb = free_mb;
    config_.sd.total_mb = total_mb;
  });
}

void Stm32::config_values_dirty() { camera_side(kStatusConfigValuesDirty, [] {}); }

void Stm32::st_rebooted() { camera_side(kStatusStRebooted, [] {}); }

void Stm32::picture_captured(uint32_t bytes) {
  camera_side(kStatusPictureCaptured, [&] {
    recording_.frame_count++;
    recording_.current_size += bytes;
  });
}

void Stm32::new_file_created(const std::string& name) {
  camera_side(kStatusNewFileCreated, [&] {
    recording_.current_file_name = name.substr(0, kFileNameField - 1);
    recording_.frame_count = 0;
    recording_.current_size = 0;
  });
}

void Stm32::live_view_stopped() {
  camera_side(kStatusLiveViewStopped, [&] {
    if (config_.mode == kModeLiveView) config_.mode = 0;
  });
}

void Stm32::set_status_bits(uint32_t bits, bool on) {
  // Event bits go out once, like the events above; the others stay until cleared.
  camera_side(on ? bits & kStatusEventBits : 0, [&] {
    if (on)
      extra_status_ |= bits & ~kStatusEventBits;
    else
      extra_status_ &= ~bits;
  });
}

}  // namespace sim
