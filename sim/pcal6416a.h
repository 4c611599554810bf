// PCAL6416A 16-bit I2C GPIO expander, register level: input, output, polarity inversion,
// configuration, input latch, interrupt mask and status, and the open-drain interrupt output.
#ifndef CAMSIM_PCAL6416A_H
#define CAMSIM_PCAL6416A_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "camhost/bus.h"

namespace sim {

class Pcal6416a : public camhost::I2cTarget {
 public:
  // Registers (port 0 at the even address, port 1 at the next).
  static constexpr uint8_t kInput = 0x00, kOutput = 0x02, kPolarity = 0x04, kConfig = 0x06,
                           kInputLatch = 0x44, kIntMask = 0x4A, kIntStatus = 0x4C;

  explicit Pcal6416a(uint8_t address);
  uint8_t address() const { return address_; }

  // The electrical level the board drives on pin `bit` (0-15). Only input pins take it.
  void set_pin(int bit, bool high);
  // Several pins at once (the bits of `mask` take their level from `levels`), as one change.
  void set_pins(uint16_t mask, uint16_t levels);
  // Power-on: registers to their reset values, the board driving `levels`, nothing pending.
  void power_on(uint16_t levels);
  // The level of every pin as the chip drives or sees it (outputs drive their register value).
  uint16_t pins() const;
  // A 16-bit register (port 0 low byte, port 1 high byte) as the chip holds it now.
  uint16_t reg(uint8_t reg) const;
  // True while the interrupt output pulls its line low.
  bool int_asserted() const;

  // Called (outside the model's lock) when output pins change level (with the levels of all pins,
  // as pins() gives them), and when the interrupt output changes.
  std::function<void(uint16_t before, uint16_t after)> on_outputs_changed;
  std::function<void(bool asserted)> on_int_changed;

  // What the module did: every register write that carried data (register, then the data
  // bytes; a bare register pointer before a read is not one) and a count of messages addressed
  // to the chip, acknowledged or not.
  struct Write {
    uint8_t reg;
    std::vector<uint8_t> data;
  };
  std::vector<Write> writes() const;
  int messages() const;
  void clear_record();

  // Every change of the output pins' levels, time-stamped (instance time, µs), with the levels of
  // all pins after it; kept from power-on (clear_record does not touch it).
  struct OutputChange {
    uint64_t time;
    uint16_t pins;
  };
  std::vector<OutputChange> output_timeline() const;

  // Fault hook: the next `count` messages are not acknowledged.
  void fail_next(int count);

  bool i2c_write(const uint8_t* data, size_t count, bool stop) override;
  bool i2c_read(uint8_t* data, size_t count, bool stop) override;

 private:
  struct Change;
  Change begin() const;           // the state a change starts from (lock held)
  void finish(Change& c) const;   // the state it ends in (lock held)
  void apply(Change& c);          // runs callbacks for what changed (lock not held)

  // All with the lock held.
  uint16_t word(uint8_t reg) const { return regs_[reg] | regs_[reg + 1] << 8; }
  uint16_t pin_levels() const;
  uint16_t input_value() const;
  bool int_line() const;
  void detect(uint16_t before, uint16_t after);  // interrupts and latching for pin changes
  void port_read(uint16_t port_bits);            // the input port was read: clear and re-arm
  static bool readable(uint8_t reg);
  static bool writable(uint8_t reg);
  static uint8_t next(uint8_t reg);              // auto-increment within a register pair

  const uint8_t address_;
  mutable std::mutex m_;
  uint8_t regs_[0x50] = {};
  uint16_t pins_in_ = 0xFFFF;  // levels the board drives (pulled up when undriven)
  uint16_t latched_ = 0;       // input pins whose value is held in the latch
  uint16_t latch_value_ = 0;
  uint16_t last_read_ = 0xFFFF;  // pin levels as the input port last returned them
  uint8_t pointer_ = 0;
  int fail_ = 0;
  int messages_ = 0;
  std::vector<Write> writes_;
  std::vector<OutputChange> timeline_;
};

}  // namespace sim

#endif  // CAMSIM_PCAL6416A_H
