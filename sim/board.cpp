// The camera board: two expanders on the module's I2C bus, the STM32 on its UART, and the
// expanders' shared open-drain interrupt line on GPIO 14.
#include "sim/board.h"

namespace sim {

namespace {

constexpr uint8_t kExpander1Address = 0x20, kExpander2Address = 0x21;

constexpr uint16_t bit(int n) { return static_cast<uint16_t>(1u << n); }

}  // namespace

Board::Board(const BoardConfig& config)
    : config_(config),
      exp1_(new Pcal6416a(kExpander1Address)),
      exp2_(new Pcal6416a(kExpander2Address)) {
  std::string sd_dir = config_.sdcard_dir;
  if (sd_dir.empty() && !config_.state_dir.empty()) {
    sd_dir = config_.state_dir + "/sdcard";
    SdCard::make_samples(sd_dir);
  }
  sdcard_.reset(new SdCard(sd_dir));
  fpga_.reset(new Fpga(config_.stm32.spi_transfer_length));
  stm32_.reset(new Stm32(*this, config_.stm32));

  // What the board drives at power-on. Pins the module drives as outputs are pulled low until it
  // configures them, so the STM32 sees no request and the power hold is released. Buttons are
  // active low and released; the STM32's line is inactive; the power switch is on.
  uint16_t levels1 = static_cast<uint16_t>(
      0xFFFF & ~bit(kSignalToStm32) & ~kLedMask & ~bit(kSignalFromStm32) & ~bit(kUsbPower));
  if (config_.usb_powered) levels1 |= bit(kUsbPower);
  exp1_->power_on(levels1);
  exp2_->power_on(static_cast<uint16_t>(
      0xFFFF & ~bit(kChargeEnable) & ~bit(kMainPowerHold) & ~bit(kLevelShifter)));

  exp1_->on_outputs_changed = [this](uint16_t before, uint16_t after) {
    if ((before ^ after) & bit(kSignalToStm32)) stm32_->module_signal_changed(module_signal());
    if (((before ^ after) & kLedMask) && on_leds_changed)
      on_leds_changed(camhost::time_now(), after & kLedMask);
  };
  exp1_->on_int_changed = [this](bool) { update_interrupt_line(); };
  exp2_->on_int_changed = [this](bool) { update_interrupt_line(); };

  camhost::i2c_attach(kExpander1Address, exp1_.get());
  camhost::i2c_attach(kExpander2Address, exp2_.get());
  camhost::uart_attach(stm32_.get());
  module_update_.reset(new ModuleUpdateFeed(stm32_.get()));
  module_update_->set_card(sdcard_.get());
  batteries_.reset(new Batteries(*this, config_.state_dir, config_.batteries));
  // A plugged pack sits in the USB socket.
  if (batteries_->plugged(1) || batteries_->plugged(2) || batteries_->plugged(3))
    set_usb_power(true);
  update_interrupt_line();
}

Board::~Board() {
  module_update_.reset();
  batteries_.reset();
  camhost::i2c_attach(kExpander1Address, nullptr);
  camhost::i2c_attach(kExpander2Address, nullptr);
  camhost::uart_attach(nullptr);
}

void Board::update_interrupt_line() {
  // Either expander may change its output on another thread between the look and the drive; look
  // again afterwards so the line settles on the latest state.
  auto level = [this] { return exp1_->int_asserted() || exp2_->int_asserted() ? 0 : 1; };
  for (int l = level();;) {
    camhost::gpio_drive(kInterruptGpio, l);
    int again = level();
    if (again == l) return;
    l = again;
  }
}

void Board::set_buttons(uint16_t pressed) {
  uint16_t buttons = bit(kStartStopButton) | bit(kIntervalButton);
  exp1_->set_pins(buttons, static_cast<uint16_t>(~pressed));
}

void Board::set_usb_power(bool present) { exp1_->set_pin(kUsbPower, present); }

void Board::set_power_switch_off(bool off) { exp2_->set_pin(kPowerSwitch, !off); }

void Board::set_stm32_signal(bool active) { exp1_->set_pin(kSignalFromStm32, active); }

bool Board::module_signal() const { return exp1_->pins() & bit(kSignalToStm32); }

bool Board::main_power_held() const { return exp2_->pins() & bit(kMainPowerHold); }

bool Board::charge_enabled() const { return exp2_->pins() & bit(kChargeEnable); }

bool Board::level_shifter() const { return exp2_->pins() & bit(kLevelShifter); }

uint16_t Board::leds() const { return exp1_->pins() & kLedMask; }

bool Board::usb_power() const { return exp1_->pins() & bit(kUsbPower); }

std::vector<Board::LedChange> Board::led_timeline() const {
  std::vector<LedChange> out;
  uint16_t last = 0;
  for (const auto& c : exp1_->output_timeline()) {
    uint16_t leds = c.pins & kLedMask;
    if (leds == last) continue;
    out.push_back(LedChange{c.time, leds});
    last = leds;
  }
  return out;
}

}  // namespace sim
