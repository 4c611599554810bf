// RT9426A register model, the pack's multiplexer and the cells' charge over simulated time.
#include "sim/rt9426a.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "sim/board.h"

namespace sim {

namespace {

// Registers.
constexpr uint8_t kControl = 0x00, kCurrent = 0x04, kVoltage = 0x08, kPresence = 0x0A,
                  kFlag1 = 0x0C, kDeviceIdReg = 0x0E, kRemaining = 0x10, kFullCharge = 0x12,
                  kTimeToEmpty = 0x16, kCommit = 0x1E, kTemperature = 0x28, kCycles = 0x2A,
                  kSoc = 0x2C, kFlag3 = 0x30, kDesign = 0x3C, kPageCmd = 0x3E, kPageData = 0x40,
                  kPageSum = 0x50, kTotalSum = 0x68, kPreserve = 0x7E;
// Control commands.
constexpr uint16_t kSealCmd = 0x0020, kQuickStart = 0x4000, kTotalSumCmd = 0x9A12;
// FLAG1 and FLAG3 bits.
constexpr uint16_t kReady = 0x0080, kOcvPass = 0x0800;
constexpr uint16_t kUnsealed = 0x0001, kBusy = 0x0008, kNeedsInit = 0x0100;

constexpr uint64_t kChecksumBusyUs = 1500;
constexpr uint8_t kGaugeAddress = 0x55, kMuxAddress = 0x70;
constexpr uint8_t kMuxEnable = 0x04;
constexpr int kStateFormat = 1;

struct CurvePoint {
  double soc;
  double mv;
};
// A Li-ion cell's open-circuit voltage.
constexpr CurvePoint kCurve[] = {{0, 3000}, {3, 3180},  {5, 3300},  {8, 3390},  {12, 3480},
                                 {20, 3580}, {30, 3650}, {50, 3750}, {70, 3870}, {90, 4050},
                                 {100, 4180}};

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

bool unhex(const std::string& s, uint8_t* p, size_t n) {
  if (s.size() != 2 * n) return false;
  auto nib = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (size_t i = 0; i < n; i++) {
    int hi = nib(s[2 * i]), lo = nib(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    p[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace

uint16_t cell_voltage_mv(double soc) {
  soc = std::clamp(soc, 0.0, 100.0);
  for (size_t i = 1; i < std::size(kCurve); i++) {
    if (soc <= kCurve[i].soc) {
      const CurvePoint &a = kCurve[i - 1], &b = kCurve[i];
      return static_cast<uint16_t>(std::lround(a.mv + (b.mv - a.mv) * (soc - a.soc) / (b.soc - a.soc)));
    }
  }
  return static_cast<uint16_t>(kCurve[std::size(kCurve) - 1].mv);
}

double cell_soc_for_voltage(uint16_t mv) {
  if (mv <= kCurve[0].mv) return 0;
  for (size_t i = 1; i < std::size(kCurve); i++) {
    if (mv <= kCurve[i].mv) {
      const CurvePoint &a = kCurve[i - 1], &b = kCurve[i];
      return a.soc + (b.soc - a.soc) * (mv - a.mv) / (b.mv - a.mv);
    }
  }
  return 100;
}

uint16_t gauge_crc16(const uint8_t* data, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; i++) {
    crc ^= data[i];
    for (int b = 0; b < 8; b++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// ---- The gauge --------------------------------------------------------------------------------

Rt9426a::Rt9426a() {}

Rt9426a::Memory Rt9426a::memory() const {
  std::lock_guard<std::mutex> g(m_);
  return mem_;
}

void Rt9426a::set_memory(const Memory& m) {
  std::lock_guard<std::mutex> g(m_);
  mem_ = m;
}

void Rt9426a::set_fault(GaugeFault fault, int count) {
  std::lock_guard<std::mutex> g(m_);
  fault_ = fault;
  fault_count_ = count;
}

void Rt9426a::set_soc_override(int soc) {
  std::lock_guard<std::mutex> g(m_);
  soc_override_ = soc;
}

int Rt9426a::ocv_writes() const {
  std::lock_guard<std::mutex> g(m_);
  return ocv_writes_;
}

int Rt9426a::seals() const {
  std::lock_guard<std::mutex> g(m_);
  return seals_;
}

bool Rt9426a::fault_nack() {
  if (fault_ != GaugeFault::kNack) return false;
  if (fault_count_ > 0 && --fault_count_ == 0) fault_ = GaugeFault::kNone;
  return true;
}

int Rt9426a::ext_slot(int page) { return (page & 15) * 16; }

uint16_t Rt9426a::page_word(int word) const {
  uint8_t hi = page_cmd_ >> 8;
  int page = page_cmd_ & 0x0F;
  if (hi == 0x65) {
    int at = ext_slot(page) + 2 * word;
    return static_cast<uint16_t>(mem_.ext[at] | mem_.ext[at + 1] << 8);
  }
  if (hi == 0xCA || hi == 0xCB) {
    int i = page * 8 + word;
    return i < 80 ? mem_.ocv[i] : 0;
  }
  return 0;
}

uint16_t Rt9426a::read_reg(uint8_t reg) {
  Cell c = cell ? cell() : Cell();
  uint64_t now = camhost::time_now();
  bool ready = fault_ != GaugeFault::kNeverReady && now >= ready_at_;
  uint16_t mv = c.voltage_override_mv >= 0 ? static_cast<uint16_t>(c.voltage_override_mv)
                                           : cell_voltage_mv(c.soc);
  uint16_t remaining = static_cast<uint16_t>(std::lround(c.full_charge_mah * c.soc / 100.0));
  switch (reg) {
    case kCurrent:
      return static_cast<uint16_t>(static_cast<int16_t>(c.current_ma));
    case kVoltage:
      return mv;
    case kPresence:
      return 0x0001;
    case kFlag1:
      return static_cast<uint16_t>((ready ? kReady : 0) | (ocv_pass_ ? kOcvPass : 0));
    case kDeviceIdReg:
      return kDeviceId;
    case kRemaining:
      return remaining;
    case kFullCharge:
      return c.full_charge_mah;
    case kTimeToEmpty:
      return c.current_ma < 0 ? static_cast<uint16_t>(std::min<int64_t>(
                                    0xFFFE, int64_t(remaining) * 60 / -c.current_ma))
                              : 0xFFFF;
    case kTemperature:
      return c.temp_dk;
    case kCycles:
      return c.cycles;
    case kSoc:
      return soc_override_ >= 0 ? static_cast<uint16_t>(soc_override_)
                                : static_cast<uint16_t>(std::lround(c.soc));
    case kFlag3: {
      bool busy = fault_ == GaugeFault::kStuckBusy ? busy_until_ != 0 : now < busy_until_;
      uint16_t v = static_cast<uint16_t>((mem_.sealed ? 0 : kUnsealed) | (busy ? kBusy : 0));
      if (mem_.needs_init && fault_ != GaugeFault::kNeverReady) v |= kNeedsInit;
      return v;
    }
    case kDesign:
      return c.design_mah;
    case kPageSum: {
      if ((page_cmd_ >> 8) != 0x65) return 0;
      uint16_t sum = 0;
      for (int w = 0; w < 8; w++) sum = static_cast<uint16_t>(sum + page_word(w));
      uint16_t chk = static_cast<uint16_t>(~sum);
      return fault_ == GaugeFault::kBadChecksum ? static_cast<uint16_t>(chk + 1) : chk;
    }
    case kTotalSum:
      return total_crc_;
    case kPreserve:
      return mem_.preserve_marker;
    default:
      if (reg >= kPageData && reg < kPageData + 16) return page_word((reg - kPageData) / 2);
      return 0;
  }
}

void Rt9426a::write_reg(uint8_t reg, uint16_t value) {
  switch (reg) {
    case kControl:
      if (mem_.sealed) {
        // The key goes in as two halves, low first.
        if (key_low_seen_ && value == (kUnsealKey >> 16)) {
          mem_.sealed = false;
          key_low_seen_ = false;
          return;
        }
        key_low_seen_ = value == (kUnsealKey & 0xFFFF);
      }
      if (value == kSealCmd && !mem_.sealed) {
        if (fault_ == GaugeFault::kSealFails) return;
        mem_.sealed = true;
        seals_++;
      } else if (value == kTotalSumCmd) {
        uint8_t image[224];
        size_t n = 0;
        for (int page = 0; page < 16; page++) {
          if (page == 4 || page == 9) continue;
          std::copy_n(&mem_.ext[ext_slot(page)], 16, image + n);
          n += 16;
        }
        total_crc_ = gauge_crc16(image, n);
        if (fault_ == GaugeFault::kBadChecksum) total_crc_ ^= 0x0101;
        busy_until_ = camhost::time_now() + kChecksumBusyUs;
      } else if (value == kQuickStart) {
        // Re-estimates the charge from the voltage: the model's charge is already exact.
      }
      return;
    case kFlag3:
      if (!mem_.sealed) mem_.needs_init = (value & kNeedsInit) != 0;
      return;
    case kPageCmd: {
      if (mem_.sealed) return;
      // A page command takes effect when written twice in a row.
      bool twice = value == last_page_cmd_;
      last_page_cmd_ = value;
      if (!twice) return;
      page_cmd_ = value;
      last_page_cmd_ = 0;
      if (value == 0xCA09) {
        ocv_pass_ = false;
        std::fill(std::begin(ocv_pages_), std::end(ocv_pages_), false);
      }
      return;
    }
    case kCommit:
      return;
    default:
      break;
  }
  if (reg < kPageData || reg >= kPageData + 16 || mem_.sealed) return;
  int word = (reg - kPageData) / 2;
  uint8_t hi = page_cmd_ >> 8;
  int page = page_cmd_ & 0x0F;
  if (hi == 0x65 && (page_cmd_ & 0x50) == 0x50) {
    int at = ext_slot(page) + 2 * word;
    mem_.ext[at] = value & 0xFF;
    mem_.ext[at + 1] = value >> 8;
  } else if (hi == 0xCB && page < 10) {
    int i = page * 8 + word;
    if (i < 80) mem_.ocv[i] = value;
    ocv_pages_[page] = true;
    if (std::all_of(std::begin(ocv_pages_), std::end(ocv_pages_), [](bool b) { return b; }) &&
        !ocv_pass_) {
      ocv_pass_ = true;
      ocv_writes_++;
    }
  }
}

bool Rt9426a::i2c_write(const uint8_t* data, size_t count, bool stop) {
  std::lock_guard<std::mutex> g(m_);
  if (fault_nack()) return false;
  if (count == 0) return true;
  pointer_ = data[0];
  if (count >= 3) write_reg(pointer_, static_cast<uint16_t>(data[1] | data[2] << 8));
  return true;
}

bool Rt9426a::i2c_read(uint8_t* data, size_t count, bool stop) {
  std::lock_guard<std::mutex> g(m_);
  if (fault_nack()) return false;
  for (size_t i = 0; i < count; i += 2) {
    uint16_t v = read_reg(static_cast<uint8_t>(pointer_ + i));
    data[i] = v & 0xFF;
    if (i + 1 < count) data[i + 1] = v >> 8;
  }
  return true;
}

// ---- Routing and the multiplexer --------------------------------------------------------------

class Batteries::Router : public camhost::I2cTarget {
 public:
  explicit Router(Batteries& b) : b_(b) {}
  bool i2c_write(const uint8_t* data, size_t count, bool stop) override {
    Rt9426a* g = target();
    return g && g->i2c_write(data, count, stop);
  }
  bool i2c_read(uint8_t* data, size_t count, bool stop) override {
    Rt9426a* g = target();
    return g && g->i2c_read(data, count, stop);
  }

 private:
  // The shifter connects the pack's bus; a selected channel puts its cell's gauge on 0x55.
  Rt9426a* target() {
    bool shifter = b_.board_.level_shifter();
    std::lock_guard<std::mutex> g(b_.m_);
    bool any = b_.present_[1] || b_.present_[2] || b_.present_[3];
    int ch = b_.mux_control_ & 0x03;
    if (shifter && any && (b_.mux_control_ & kMuxEnable) && ch >= 1) {
      return b_.present_[ch] ? b_.gauges_[ch].get() : nullptr;
    }
    return b_.present_[0] ? b_.gauges_[0].get() : nullptr;
  }
  Batteries& b_;
};

class Batteries::Mux : public camhost::I2cTarget {
 public:
  explicit Mux(Batteries& b) : b_(b) {}
  bool i2c_write(const uint8_t* data, size_t count, bool stop) override {
    if (!answers()) return false;
    std::lock_guard<std::mutex> g(b_.m_);
    if (count >= 1) b_.mux_control_ = data[count - 1];
    return true;
  }
  bool i2c_read(uint8_t* data, size_t count, bool stop) override {
    if (!answers()) return false;
    std::lock_guard<std::mutex> g(b_.m_);
    for (size_t i = 0; i < count; i++) data[i] = b_.mux_control_;
    return true;
  }

 private:
  bool answers() {
    bool shifter = b_.board_.level_shifter();
    std::lock_guard<std::mutex> g(b_.m_);
    return shifter && (b_.present_[1] || b_.present_[2] || b_.present_[3]);
  }
  Batteries& b_;
};

// ---- The batteries ----------------------------------------------------------------------------

Batteries::Batteries(Board& board, const std::string& state_dir, const BatteryConfig& config)
    : board_(board), path_(state_dir.empty() ? "" : state_dir + "/gauges.json") {
  for (int i = 0; i < 4; i++) {
    gauges_[i] = std::make_unique<Rt9426a>();
    gauges_[i]->cell = [this, i] { return cell(i); };
  }
  cells_[0].soc = std::clamp(config.internal_percent, 0.0, 100.0);
  for (size_t i = 0; i < config.pack_percent.size() && i < 3; i++) {
    present_[i + 1] = true;
    cells_[i + 1].soc = std::clamp(config.pack_percent[i], 0.0, 100.0);
  }
  idle_ma_ = config.idle_ma;
  recording_ma_ = config.recording_ma;
  load_state();  // what the gauges kept wins
  last_ = camhost::time_now();
  router_ = std::make_unique<Router>(*this);
  mux_ = std::make_unique<Mux>(*this);
  camhost::i2c_attach(kGaugeAddress, router_.get());
  camhost::i2c_attach(kMuxAddress, mux_.get());
}

Batteries::~Batteries() {
  camhost::i2c_attach(kGaugeAddress, nullptr);
  camhost::i2c_attach(kMuxAddress, nullptr);
  save();
}

Rt9426a& Batteries::gauge(int id) { return *gauges_[std::clamp(id, 0, 3)]; }

void Batteries::advance() {
  uint64_t now = camhost::time_now();
  double hours = (now - last_) / 3600e6;
  last_ = now;
  bool usb = board_.usb_power();
  bool charging = board_.charge_enabled();
  bool recording = board_.stm32().mode() == 2;
  int packs = present_[1] + present_[2] + present_[3];
  int sources = present_[0] + packs;
  int32_t load = static_cast<int32_t>(recording ? recording_ma_ : idle_ma_);
  for (int i = 0; i < 4; i++) {
    Cell& c = cells_[i];
    if (!present_[i]) {
      c.current_ma = 0;
      continue;
    }
    int32_t ma = 0;
    if (usb) {
      // USB powers the camera; it charges the internal cell when allowed, and the pack.
      if (i == 0) ma = charging && c.soc < 100 ? static_cast<int32_t>(charge_ma_) : 0;
      else ma = c.soc < 100 ? static_cast<int32_t>(charge_ma_ / 2) : 0;
    } else {
      ma = sources ? -load / sources : 0;
      if (charging && packs > 0) {
        if (i == 0 && c.soc < 100) ma += static_cast<int32_t>(charge_ma_);
        if (i > 0 && cells_[0].soc < 100) ma -= static_cast<int32_t>(charge_ma_) / packs;
      }
    }
    c.current_ma = ma;
    c.soc = std::clamp(c.soc + ma * hours / c.full_charge_mah * 100.0, 0.0, 100.0);
  }
}

Cell Batteries::cell(int id) {
  std::lock_guard<std::mutex> g(m_);
  advance();
  return cells_[std::clamp(id, 0, 3)];
}

void Batteries::set_soc(int id, double soc) {
  std::lock_guard<std::mutex> g(m_);
  advance();
  Cell& c = cells_[std::clamp(id, 0, 3)];
  c.soc = std::clamp(soc, 0.0, 100.0);
  c.voltage_override_mv = -1;
}

void Batteries::set_voltage(int id, uint16_t mv) { set_soc(id, cell_soc_for_voltage(mv)); }

void Batteries::set_temperature(int id, uint16_t temp_dk) {
  std::lock_guard<std::mutex> g(m_);
  cells_[std::clamp(id, 0, 3)].temp_dk = temp_dk;
}

void Batteries::plug(int id, double soc) {
  if (id < 1 || id > 3) return;
  std::lock_guard<std::mutex> g(m_);
  advance();
  present_[id] = true;
  cells_[id].soc = std::clamp(soc, 0.0, 100.0);
}

void Batteries::unplug(int id) {
  if (id < 1 || id > 3) return;
  std::lock_guard<std::mutex> g(m_);
  advance();
  present_[id] = false;
  if (!(present_[1] || present_[2] || present_[3])) mux_control_ = 0;  // the mux goes with it
}

bool Batteries::plugged(int id) const {
  std::lock_guard<std::mutex> g(m_);
  return present_[std::clamp(id, 0, 3)];
}

void Batteries::set_load(uint32_t idle_ma, uint32_t recording_ma) {
  std::lock_guard<std::mutex> g(m_);
  advance();
  idle_ma_ = idle_ma;
  recording_ma_ = recording_ma;
}

uint8_t Batteries::mux_control() const {
  std::lock_guard<std::mutex> g(m_);
  return mux_control_;
}

void Batteries::save() {
  if (path_.empty()) return;
  nlohmann::ordered_json j;
  j["format"] = kStateFormat;
  std::array<Cell, 4> cells;
  std::array<bool, 4> present;
  {
    std::lock_guard<std::mutex> g(m_);
    cells = cells_;
    present = present_;
  }
  for (int i = 0; i < 4; i++) {
    Rt9426a::Memory m = gauges_[i]->memory();
    nlohmann::ordered_json e;
    e["present"] = present[i];
    e["soc"] = std::round(cells[i].soc * 1000) / 1000;
    e["temp_dk"] = cells[i].temp_dk;
    e["sealed"] = m.sealed;
    e["needs_init"] = m.needs_init;
    e["preserve_marker"] = m.preserve_marker;
    e["ext"] = hex(m.ext.data(), m.ext.size());
    e["ocv"] = m.ocv;
    j["gauges"].push_back(e);
  }
  std::string tmp = path_ + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << j.dump(2) << "\n";
    if (!out) return;
  }
  std::rename(tmp.c_str(), path_.c_str());
}

void Batteries::load_state() {
  if (path_.empty()) return;
  std::ifstream in(path_);
  if (!in) return;  // a new state directory
  std::stringstream text;
  text << in.rdbuf();
  auto fail = [&](const std::string& what) {
    throw std::runtime_error(path_ + ": " + what);
  };
  nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) fail("not valid JSON");
  if (j.value("format", 0) != kStateFormat) fail("unknown format");
  const auto& g = j["gauges"];
  if (!g.is_array() || g.size() != 4) fail("gauges: four entries expected");
  for (int i = 0; i < 4; i++) {
    const auto& e = g[i];
    try {
      present_[i] = i == 0 ? true : e.at("present").get<bool>();
      cells_[i].soc = std::clamp(e.at("soc").get<double>(), 0.0, 100.0);
      cells_[i].temp_dk = e.at("temp_dk").get<uint16_t>();
      Rt9426a::Memory m;
      m.sealed = e.at("sealed").get<bool>();
      m.needs_init = e.at("needs_init").get<bool>();
      m.preserve_marker = e.at("preserve_marker").get<uint16_t>();
      if (!unhex(e.at("ext").get<std::string>(), m.ext.data(), m.ext.size()))
        fail("gauges[" + std::to_string(i) + "].ext: 512 hex digits expected");
      m.ocv = e.at("ocv").get<std::array<uint16_t, 80>>();
      gauges_[i]->set_memory(m);
    } catch (const nlohmann::json::exception&) {
      fail("gauges[" + std::to_string(i) + "]: a key is missing or has the wrong type");
    }
  }
}

}  // namespace sim
