// The simulated camera board: the chips around the module, attached to the host drivers' far end.
// One board per instance; create it after the camhost::Instance and before booting.
#ifndef CAMSIM_BOARD_H
#define CAMSIM_BOARD_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camhost/net.h"
#include "sim/fpga.h"
#include "sim/module_update.h"
#include "sim/pcal6416a.h"
#include "sim/rt9426a.h"
#include "sim/sdcard.h"
#include "sim/stm32.h"

namespace sim {

struct BoardConfig {
  Stm32Config stm32;
  bool usb_powered = false;
  std::string state_dir;  // where chips keep what they keep across power cycles ("" = none)
  // The state directory goes when the camera stops and nothing comes back to it after a crash:
  // the STM32 then saves only on changes, not its clock each minute.
  bool state_is_temporary = false;
  BatteryConfig batteries;  // the batteries of a new state directory
  // Wi-Fi access points in range of the board (they belong to the room, not to the camera: a
  // board file names them, they are not kept in the state directory).
  std::vector<camhost::net::AccessPoint> access_points;
  // The SD card: a host directory. "" = "sdcard" in the state directory, filled with sample
  // recordings when new; with no state directory either, a card with no files.
  std::string sdcard_dir;
};

// The access point every default board is in range of, whose credentials the default STM32
// holds, so a camera out of the box joins Wi-Fi.
constexpr const char* kDefaultApSsid = "camlink";
constexpr const char* kDefaultApPassphrase = "timelapse-camlink";

class Board {
 public:
  // Expander 1 (0x20) and 2 (0x21) pins, as bits of their 16-bit words.
  static constexpr int kSignalToStm32 = 0, kStartStopButton = 1, kIntervalButton = 2,
                       kUsbPower = 5, kSignalFromStm32 = 15;                  // expander 1
  static constexpr int kPowerSwitch = 3, kChargeEnable = 5, kMainPowerHold = 6,
                       kLevelShifter = 9;                                     // expander 2
  static constexpr uint16_t kLedMask = 0x7ED8;                                // expander 1
  static constexpr int kInterruptGpio = 14;

  explicit Board(const BoardConfig& config = BoardConfig());
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  Pcal6416a& expander1() { return *exp1_; }
  Pcal6416a& expander2() { return *exp2_; }
  Stm32& stm32() { return *stm32_; }
  Batteries& batteries() { return *batteries_; }
  Fpga& fpga() { return *fpga_; }
  SdCard& sdcard() { return *sdcard_; }
  // The STM32's offer of new module firmware at each boot of the module ("nf" unless told).
  ModuleUpdateFeed& module_update() { return *module_update_; }
  const BoardConfig& config() const { return config_; }

  // Inputs the board drives. Buttons: bit 1 start/stop, bit 2 interval (0x0006 both).
  void set_buttons(uint16_t pressed);
  void set_usb_power(bool present);
  // The power switch asking to power off (true) or on.
  void set_power_switch_off(bool off);
  // The STM32's signal line (used by the STM32 model).
  void set_stm32_signal(bool active);

  // Outputs the board watches.
  bool module_signal() const;
  bool main_power_held() const;  // released means the camera is off
  bool charge_enabled() const;
  bool level_shifter() const;
  uint16_t leds() const;
  bool usb_power() const;

  // The LEDs over time: every change of expander 1's LED outputs (instance time, µs; the LED
  // bits after it, 1 = lit).
  struct LedChange {
    uint64_t time;
    uint16_t leds;
  };
  std::vector<LedChange> led_timeline() const;
  // Called on every LED change (on the thread that wrote the expander).
  std::function<void(uint64_t time, uint16_t leds)> on_leds_changed;

 private:
  void update_interrupt_line();

  BoardConfig config_;
  std::unique_ptr<Pcal6416a> exp1_, exp2_;
  // Before the STM32, which drives them until it goes.
  std::unique_ptr<Fpga> fpga_;
  std::unique_ptr<SdCard> sdcard_;
  std::unique_ptr<Stm32> stm32_;
  std::unique_ptr<Batteries> batteries_;
  std::unique_ptr<ModuleUpdateFeed> module_update_;
};

}  // namespace sim

#endif  // CAMSIM_BOARD_H
