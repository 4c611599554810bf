// The board around the module: its inputs through the expanders, its outputs, the interrupt line.
#include "sim/board.h"

#include <gtest/gtest.h>

#include <functional>

#include "driver_side.h"
#include "gpio.h"

namespace {

using simtest::ReadWord;
using simtest::WriteWord;

class BoardTest : public ::testing::Test {
 protected:
  // Runs `fn` on a kernel thread with handles for expanders 1 and 2.
  void OnBus(const std::function<void(i2c_device*, i2c_device*)>& fn) {
    ASSERT_TRUE(inst.call([&] {
      i2c_device *e1 = simtest::Expander(0x20), *e2 = simtest::Expander(0x21);
      fn(e1, e2);
      for (i2c_device* e : {e1, e2}) i2c_destroy_device(e);
    }));
  }

  camhost::Instance inst{simtest::VirtualTime()};
  static sim::BoardConfig UsbPowered() {
    sim::BoardConfig config;
    config.usb_powered = true;
    return config;
  }
  sim::Board board{UsbPowered()};
};

TEST_F(BoardTest, InputsReadAsTheModuleExpectsThroughItsPolaritySettings) {
  // Buttons released, USB present, STM32 idle, power switch on.
  OnBus([](i2c_device* e1, i2c_device* e2) {
    WriteWord(e1, 0x04, 0x0006);
    WriteWord(e2, 0x04, 0x0008);
    EXPECT_EQ(ReadWord(e1, 0x00) & 0x8026, 0x0020);
    EXPECT_EQ(ReadWord(e2, 0x00) & 0x0008, 0);
  });
  board.set_buttons(0x0006);
  board.set_usb_power(false);
  board.set_power_switch_off(true);  // reads 1 when it asks to power off
  board.set_stm32_signal(true);
  OnBus([](i2c_device* e1, i2c_device* e2) {
    EXPECT_EQ(ReadWord(e1, 0x00) & 0x8026, 0x8006);
    EXPECT_EQ(ReadWord(e2, 0x00) & 0x0008, 0x0008);
  });
}

TEST_F(BoardTest, OutputsAreReleasedUntilTheModuleDrivesThem) {
  EXPECT_FALSE(board.main_power_held());
  EXPECT_FALSE(board.module_signal());
  OnBus([](i2c_device* e1, i2c_device* e2) {
    WriteWord(e1, 0x02, 0x8127 | 0x0210);  // signal to the STM32 and two LEDs on
    WriteWord(e1, 0x06, 0x8126);
    WriteWord(e2, 0x02, 0xFDDF);  // main power held, charging off, level shifter off
    WriteWord(e2, 0x06, 0xFD9F);
  });
  EXPECT_TRUE(board.main_power_held());
  EXPECT_FALSE(board.charge_enabled());
  EXPECT_FALSE(board.level_shifter());
  EXPECT_TRUE(board.module_signal());
  EXPECT_EQ(board.leds(), 0x0210);
}

TEST_F(BoardTest, Gpio14IsLowWhileEitherExpanderAssertsItsInterrupt) {
  OnBus([](i2c_device* e1, i2c_device* e2) {
    WriteWord(e1, 0x4A, 0xFFFD);  // start/stop button
    WriteWord(e2, 0x4A, 0xFFF7);  // power switch
  });
  EXPECT_EQ(camhost::gpio_level(14), 1);
  board.set_buttons(0x0002);
  EXPECT_EQ(camhost::gpio_level(14), 0);
  board.set_power_switch_off(true);
  OnBus([](i2c_device* e1, i2c_device* e2) {
    ReadWord(e1, 0x00);
    EXPECT_EQ(os_gpio_get_value(1u << 14), 0);  // expander 2 still asserts
    ReadWord(e2, 0x00);
    EXPECT_EQ(os_gpio_get_value(1u << 14), 1);
  });
}

}  // namespace
