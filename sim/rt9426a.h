// The camera's batteries: RT9426A fuel gauges (register level) on the cells they measure, the
// I2C multiplexer of the external pack, and a battery model that moves voltage, current, state of
// charge and temperature over simulated time.
//
// The internal gauge answers at 0x55 while the level shifter is off or no pack channel is
// selected; with the shifter on and a channel of a plugged pack selected (mux at 0x70, control
// byte 0x04 | channel), 0x55 reaches that pack cell's gauge. A gauge keeps what it holds (seal,
// extended pages, OCV table, its "needs initialising" flag) for as long as its cell is there: the
// module's resets do not touch it.
#ifndef CAMSIM_RT9426A_H
#define CAMSIM_RT9426A_H

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camhost/bus.h"

namespace sim {

// One cell and the charge it holds.
struct Cell {
  double soc = 80.0;             // percent, 0..100
  uint16_t design_mah = 2000;
  uint16_t full_charge_mah = 1950;
  uint16_t cycles = 12;
  uint16_t temp_dk = 2982;       // 0.1 K (25 °C)
  int32_t current_ma = 0;        // positive while charging, as the gauge reports it
  int32_t voltage_override_mv = -1;  // >= 0: reported instead of the curve's voltage
};

// Open-circuit voltage of a Li-ion cell at `soc` percent, and the reverse.
uint16_t cell_voltage_mv(double soc);
double cell_soc_for_voltage(uint16_t mv);

enum class GaugeFault {
  kNone,
  kNack,          // answers nothing (the next `count` messages, or until cleared with count < 0)
  kNeverReady,    // the ready bits never come up
  kStuckBusy,     // the total-checksum command never finishes
  kBadChecksum,   // page checksums read one off, so pages never verify
  kSealFails,     // the seal command is ignored
};

class Rt9426a : public camhost::I2cTarget {
 public:
  static constexpr uint16_t kDeviceId = 0x426A;
  static constexpr uint32_t kUnsealKey = 0x12345678;
  static constexpr uint16_t kOcvMarker = 0xA9B4;

  Rt9426a();

  // What the gauge keeps (all of it survives the module's resets; gauges.json keeps it across
  // runs).
  struct Memory {
    bool sealed = true;
    bool needs_init = true;                     // FLAG3 bit 8
    std::array<uint8_t, 256> ext{};             // 16 extended pages of 16 bytes
    std::array<uint16_t, 80> ocv{};             // the OCV table
    uint16_t preserve_marker = 0;               // register 0x7E
  };
  Memory memory() const;
  void set_memory(const Memory& m);

  // The cell behind the gauge (read at every register access).
  std::function<Cell()> cell;

  void set_fault(GaugeFault fault, int count = -1);
  // A raw state of charge reported instead of the cell's (a gauge glitch), or -1.
  void set_soc_override(int soc);
  // Times the gauge went through a full initialisation (OCV table written) and was sealed.
  int ocv_writes() const;
  int seals() const;

  bool i2c_write(const uint8_t* data, size_t count, bool stop) override;
  bool i2c_read(uint8_t* data, size_t count, bool stop) override;

 private:
  uint16_t read_reg(uint8_t reg);                 // lock held
  void write_reg(uint8_t reg, uint16_t value);    // lock held
  bool fault_nack();                              // lock held
  uint16_t page_word(int word) const;             // lock held
  static int ext_slot(int page);                  // extended page -> offset in Memory::ext

  mutable std::mutex m_;
  Memory mem_;
  GaugeFault fault_ = GaugeFault::kNone;
  int fault_count_ = 0;
  int soc_override_ = -1;
  uint8_t pointer_ = 0;
  uint64_t ready_at_ = 0;
  uint64_t busy_until_ = 0;
  uint16_t total_crc_ = 0;
  uint16_t key_low_ = 0;
  bool key_low_seen_ = false;
  uint16_t last_page_cmd_ = 0;
  uint16_t page_cmd_ = 0;        // the page command in effect (written twice)
  bool ocv_pages_[10] = {};
  bool ocv_pass_ = false;
  int ocv_writes_ = 0;
  int seals_ = 0;
};

// The CRC-16 the gauge keeps over its extended pages (reflected 0xA001, initial 0xFFFF).
uint16_t gauge_crc16(const uint8_t* data, size_t count);

class Board;

// The batteries a board starts with when its state directory holds none (board file key
// "batteries").
struct BatteryConfig {
  double internal_percent = 80;
  uint32_t idle_ma = 120;       // the camera's draw while idle
  uint32_t recording_ma = 480;  // and while recording
  std::vector<double> pack_percent;  // the pack's cells 1.. (at most 3), by their charge
};

// The internal battery, the external pack (multiplexer and up to three cells) and the routing of
// 0x55 between their gauges. Discharge follows the board's load; charge flows while the module
// enables charging and USB power (or the pack) supplies it.
class Batteries {
 public:
  Batteries(Board& board, const std::string& state_dir, const BatteryConfig& config);
  ~Batteries();

  // 0 internal, 1-3 pack cells.
  Rt9426a& gauge(int id);
  Cell cell(int id);
  void set_soc(int id, double soc);
  void set_voltage(int id, uint16_t mv);  // moves the charge to the curve's point for it
  void set_temperature(int id, uint16_t temp_dk);
  // Plugs a pack cell in channel `id` (1-3) with `soc`, or takes it out.
  void plug(int id, double soc);
  void unplug(int id);
  bool plugged(int id) const;
  // The camera's draw from its batteries (mA) while idle and while recording.
  void set_load(uint32_t idle_ma, uint32_t recording_ma);
  // The mux's control byte and whether it answers (a pack is plugged).
  uint8_t mux_control() const;

  // Writes DIR/gauges.json now (also done when the board goes).
  void save();

 private:
  class Router;
  class Mux;
  void advance();  // moves every cell on to now (lock held)
  void load_state();

  Board& board_;
  std::string path_;
  mutable std::mutex m_;
  std::array<Cell, 4> cells_;
  std::array<bool, 4> present_{{true, false, false, false}};
  std::array<std::unique_ptr<Rt9426a>, 4> gauges_;
  std::unique_ptr<Router> router_;
  std::unique_ptr<Mux> mux_;
  uint8_t mux_control_ = 0;
  uint64_t last_ = 0;
  uint32_t idle_ma_ = 120, recording_ma_ = 480;
  uint32_t charge_ma_ = 900;
};

}  // namespace sim

#endif  // CAMSIM_RT9426A_H
