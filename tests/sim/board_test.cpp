// The board around the module: what its inputs read through the expanders, what it takes from the
// module's outputs, and the shared interrupt line.
#include "sim/board.h"

#include <gtest/gtest.h>

#include <memory>

#include "driver_side.h"
#include "gpio.h"

namespace {

using simtest::ReadWord;
using simtest::WriteWord;

class BoardTest : public ::testing::Test {
 protected:
  void Make(bool usb_powered) {
    sim::BoardConfig config;
    config.usb_powered = usb_powered;
    board = std::make_unique<sim::Board>(config);
  }

  camhost::Instance inst{simtest::VirtualTime()};
  std::unique_ptr<sim::Board> board;
};

TEST_F(BoardTest, InputsReadAsTheModuleExpectsThroughItsPolaritySettings) {
  Make(/*usb_powered=*/true);
  uint16_t idle1 = 0, idle2 = 0, busy1 = 0, busy2 = 0;
  ASSERT_TRUE(inst.call([&] {
    auto* e1 = simtest::Expander(0x20);
    auto* e2 = simtest::Expander(0x21);
    WriteWord(e1, 0x04, 0x0006);
    WriteWord(e2, 0x04, 0x0008);
    idle1 = ReadWord(e1, 0x00);
    idle2 = ReadWord(e2, 0x00);
    i2c_destroy_device(e1);
    i2c_destroy_device(e2);
  }));
  board->set_buttons(0x0006);
  board->set_usb_power(false);
  board->set_power_switch_off(true);
  board->set_stm32_signal(true);
  ASSERT_TRUE(inst.call([&] {
    auto* e1 = simtest::Expander(0x20);
    auto* e2 = simtest::Expander(0x21);
    busy1 = ReadWord(e1, 0x00);
    busy2 = ReadWord(e2, 0x00);
    i2c_destroy_device(e1);
    i2c_destroy_device(e2);
  }));
  // Buttons released, USB present, STM32 idle; then both pressed, USB gone, STM32 active.
  EXPECT_EQ(idle1 & 0x8026, 0x0020);
  EXPECT_EQ(busy1 & 0x8026, 0x8006);
  // The power switch reads 1 when it asks to power off.
  EXPECT_EQ(idle2 & 0x0008, 0);
  EXPECT_EQ(busy2 & 0x0008, 0x0008);
}

TEST_F(BoardTest, OutputsAreReleasedUntilTheModuleDrivesThem) {
  Make(false);
  EXPECT_FALSE(board->main_power_held());
  EXPECT_FALSE(board->module_signal());
  ASSERT_TRUE(inst.call([&] {
    auto* e1 = simtest::Expander(0x20);
    auto* e2 = simtest::Expander(0x21);
    WriteWord(e1, 0x02, 0x8127 | 0x0210);  // signal to the STM32 and two LEDs on
    WriteWord(e1, 0x06, 0x8126);
    WriteWord(e2, 0x02, 0xFDDF);  // main power held, charging off, level shifter off
    WriteWord(e2, 0x06, 0xFD9F);
    i2c_destroy_device(e1);
    i2c_destroy_device(e2);
  }));
  EXPECT_TRUE(board->main_power_held());
  EXPECT_FALSE(board->charge_enabled());
  EXPECT_FALSE(board->level_shifter());
  EXPECT_TRUE(board->module_signal());
  EXPECT_EQ(board->leds(), 0x0210);
}

TEST_F(BoardTest, Gpio14IsLowWhileEitherExpanderAssertsItsInterrupt) {
  Make(false);
  i2c_device *e1 = nullptr, *e2 = nullptr;
  ASSERT_TRUE(inst.call([&] {
    e1 = simtest::Expander(0x20);
    e2 = simtest::Expander(0x21);
    WriteWord(e1, 0x4A, 0xFFFD);  // start/stop button
    WriteWord(e2, 0x4A, 0xFFF7);  // power switch
  }));
  EXPECT_EQ(camhost::gpio_level(14), 1);
  board->set_buttons(0x0002);
  EXPECT_EQ(camhost::gpio_level(14), 0);
  board->set_power_switch_off(true);
  int after_first_read = -1, after_both_reads = -1;
  ASSERT_TRUE(inst.call([&] {
    ReadWord(e1, 0x00);
    after_first_read = os_gpio_get_value(1u << 14);
    ReadWord(e2, 0x00);
    after_both_reads = os_gpio_get_value(1u << 14);
    i2c_destroy_device(e1);
    i2c_destroy_device(e2);
  }));
  EXPECT_EQ(after_first_read, 0);
  EXPECT_EQ(after_both_reads, 1);
}

}  // namespace
