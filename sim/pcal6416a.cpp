// PCAL6416A register model. Change detection works on pin levels (before polarity inversion), as
// the chip compares each input pin with the level the input port last returned for it.
#include "sim/pcal6416a.h"

#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kDriveStrength = 0x40, kPullSelect = 0x48,
                  kOutputPortConfig = 0x4F;

}  // namespace

// What a register access or a pin change did, for the callbacks that run after the lock is gone.
struct Pcal6416a::Change {
  uint16_t pins_before = 0, pins_after = 0;
  uint16_t outputs_before = 0, outputs_after = 0;  // pins the chip drives
  bool int_before = false, int_after = false;
};

Pcal6416a::Pcal6416a(uint8_t address) : address_(address) { power_on(0xFFFF); }

void Pcal6416a::power_on(uint16_t levels) {
  Change c;
  {
    std::lock_guard<std::mutex> g(m_);
    c = begin();
    std::memset(regs_, 0, sizeof regs_);
    regs_[kOutput] = regs_[kOutput + 1] = 0xFF;
    regs_[kConfig] = regs_[kConfig + 1] = 0xFF;
    for (int r = kDriveStrength; r < kDriveStrength + 4; r++) regs_[r] = 0xFF;
    regs_[kPullSelect] = regs_[kPullSelect + 1] = 0xFF;
    regs_[kIntMask] = regs_[kIntMask + 1] = 0xFF;
    pins_in_ = levels;
    latched_ = latch_value_ = 0;
    last_read_ = levels;  // the levels at power-on are the reference for the first changes
    pointer_ = 0;
    finish(c);
  }
  apply(c);
}

uint16_t Pcal6416a::pin_levels() const {
  uint16_t inputs = word(kConfig);
  return (word(kOutput) & ~inputs) | (pins_in_ & inputs);
}

uint16_t Pcal6416a::input_value() const {
  uint16_t raw = (pin_levels() & ~latched_) | (latch_value_ & latched_);
  return raw ^ (word(kPolarity) & word(kConfig));  // inversion applies to inputs only
}

bool Pcal6416a::int_line() const { return (word(kIntStatus) & ~word(kIntMask)) != 0; }

void Pcal6416a::detect(uint16_t before, uint16_t after) {
  uint16_t changed = (before ^ after) & word(kConfig);
  uint16_t latch = word(kInputLatch), mask = word(kIntMask), status = word(kIntStatus);
  for (int bit = 0; bit < 16; bit++) {
    uint16_t b = 1u << bit;
    if (!(changed & b)) continue;
    if (latch & b) {
      // A latched input keeps the first change until the port is read.
      if (latched_ & b) continue;
      latched_ |= b;
      latch_value_ = (latch_value_ & ~b) | (after & b);
      if (!(mask & b)) status |= b;
    } else if ((after ^ last_read_) & b) {
      if (!(mask & b)) status |= b;
    } else {
      status &= ~b;  // back at the level last read: the change is undone
    }
  }
  regs_[kIntStatus] = status & 0xFF;
  regs_[kIntStatus + 1] = status >> 8;
}

void Pcal6416a::port_read(uint16_t port_bits) {
  uint16_t returned = (pin_levels() & ~latched_) | (latch_value_ & latched_);
  last_read_ = (last_read_ & ~port_bits) | (returned & port_bits);
  uint16_t status = word(kIntStatus) & ~port_bits;
  regs_[kIntStatus] = status & 0xFF;
  regs_[kIntStatus + 1] = status >> 8;
  latched_ &= ~port_bits;
  // A latched pin that moved on since the level just returned is a new change.
  uint16_t live = pin_levels();
  detect((returned & port_bits) | (live & ~port_bits), live);
}

bool Pcal6416a::readable(uint8_t reg) {
  return reg <= kConfig + 1 || (reg >= kDriveStrength && reg <= kIntStatus + 1) ||
         reg == kOutputPortConfig;
}

bool Pcal6416a::writable(uint8_t reg) {
  return (reg >= kOutput && reg <= kConfig + 1) || (reg >= kDriveStrength && reg <= kIntMask + 1) ||
         reg == kOutputPortConfig;
}

uint8_t Pcal6416a::next(uint8_t reg) { return reg == kOutputPortConfig ? reg : reg ^ 1; }

Pcal6416a::Change Pcal6416a::begin() const {
  Change c;
  c.pins_before = pin_levels();
  c.outputs_before = ~word(kConfig);
  c.int_before = int_line();
  return c;
}

void Pcal6416a::finish(Change& c) const {
  c.pins_after = pin_levels();
  c.outputs_after = ~word(kConfig);
  c.int_after = int_line();
}

void Pcal6416a::apply(Change& c) {
  uint16_t driven = c.outputs_before | c.outputs_after;
  if ((c.pins_before ^ c.pins_after) & driven) {
    {
      std::lock_guard<std::mutex> g(m_);
      timeline_.push_back(OutputChange{camhost::time_now(), c.pins_after});
    }
    if (on_outputs_changed) on_outputs_changed(c.pins_before, c.pins_after);
  }
  if (c.int_before != c.int_after && on_int_changed) on_int_changed(c.int_after);
}

void Pcal6416a::set_pin(int bit, bool high) {
  if (bit < 0 || bit > 15) return;
  set_pins(static_cast<uint16_t>(1u << bit), high ? 0xFFFF : 0);
}

void Pcal6416a::set_pins(uint16_t mask, uint16_t levels) {
  Change c;
  {
    std::lock_guard<std::mutex> g(m_);
    c = begin();
    pins_in_ = (pins_in_ & ~mask) | (levels & mask);
    detect(c.pins_before, pin_levels());
    finish(c);
  }
  apply(c);
}

uint16_t Pcal6416a::pins() const {
  std::lock_guard<std::mutex> g(m_);
  return pin_levels();
}

uint16_t Pcal6416a::reg(uint8_t r) const {
  std::lock_guard<std::mutex> g(m_);
  if (r == kInput) return input_value();
  if (r >= sizeof regs_) return 0;
  if (r + 1u >= sizeof regs_) return regs_[r];
  return word(r);
}

bool Pcal6416a::int_asserted() const {
  std::lock_guard<std::mutex> g(m_);
  return int_line();
}

std::vector<Pcal6416a::Write> Pcal6416a::writes() const {
  std::lock_guard<std::mutex> g(m_);
  return writes_;
}

std::vector<Pcal6416a::OutputChange> Pcal6416a::output_timeline() const {
  std::lock_guard<std::mutex> g(m_);
  return timeline_;
}

int Pcal6416a::messages() const {
  std::lock_guard<std::mutex> g(m_);
  return messages_;
}

void Pcal6416a::clear_record() {
  std::lock_guard<std::mutex> g(m_);
  writes_.clear();
  messages_ = 0;
}

void Pcal6416a::fail_next(int count) {
  std::lock_guard<std::mutex> g(m_);
  fail_ = count;
}

bool Pcal6416a::i2c_write(const uint8_t* data, size_t count, bool stop) {
  Change c;
  {
    std::lock_guard<std::mutex> g(m_);
    messages_++;
    if (fail_ > 0) {
      fail_--;
      return false;
    }
    if (count == 0) return true;  // an address probe
    uint8_t reg = data[0];
    if (!readable(reg)) return false;  // no such command byte
    c = begin();
    pointer_ = reg;
    for (size_t i = 1; i < count; i++) {
      if (writable(pointer_)) regs_[pointer_] = data[i];  // read-only registers ignore data
      pointer_ = next(pointer_);
    }
    if (count > 1) {
      // A pin that stops being a latched input lets go of its latch.
      latched_ &= word(kConfig) & word(kInputLatch);
      detect(c.pins_before, pin_levels());
      writes_.push_back(Write{reg, std::vector<uint8_t>(data + 1, data + count)});
    }
    finish(c);
  }
  apply(c);
  return true;
}

bool Pcal6416a::i2c_read(uint8_t* data, size_t count, bool stop) {
  Change c;
  {
    std::lock_guard<std::mutex> g(m_);
    messages_++;
    if (fail_ > 0) {
      fail_--;
      return false;
    }
    c = begin();
    for (size_t i = 0; i < count; i++) {
      if (pointer_ == kInput || pointer_ == kInput + 1) {
        int port = pointer_ & 1;
        data[i] = static_cast<uint8_t>(input_value() >> (8 * port));
        port_read(port ? 0xFF00 : 0x00FF);
      } else {
        data[i] = regs_[pointer_];
      }
      pointer_ = next(pointer_);
    }
    finish(c);
  }
  apply(c);
  return true;
}

}  // namespace sim
