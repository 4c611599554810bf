// The expander model on its own, reached through the module's I2C driver.
#include "sim/pcal6416a.h"

#include <gtest/gtest.h>

#include <functional>

#include "driver_side.h"

namespace {

using simtest::ReadWord;
using simtest::WriteWord;

constexpr uint8_t kInput = 0x00, kOutput = 0x02, kPolarity = 0x04, kConfig = 0x06,
                  kLatch = 0x44, kMask = 0x4A, kStatus = 0x4C;

class PcalExpander : public ::testing::Test {
 protected:
  void SetUp() override { camhost::i2c_attach(0x20, &chip); }
  void TearDown() override { camhost::i2c_attach(0x20, nullptr); }

  // Runs `fn` on a kernel thread with a device handle for the chip.
  void OnBus(const std::function<void(i2c_device*)>& fn) {
    ASSERT_TRUE(inst.call([&] {
      i2c_device* dev = simtest::Expander(0x20);
      fn(dev);
      i2c_destroy_device(dev);
    }));
  }

  camhost::Instance inst{simtest::VirtualTime()};
  sim::Pcal6416a chip{0x20};
};

TEST_F(PcalExpander, PowersUpWithAllPinsInputsAllInterruptsMaskedAndOutputsHigh) {
  const std::pair<uint8_t, int> resets[] = {{kOutput, 0xFFFF}, {kConfig, 0xFFFF},
                                            {kPolarity, 0},    {kLatch, 0},
                                            {kMask, 0xFFFF},   {kStatus, 0}};
  OnBus([&](i2c_device* dev) {
    for (auto [reg, value] : resets) EXPECT_EQ(ReadWord(dev, reg), value) << "register " << +reg;
  });
  EXPECT_FALSE(chip.int_asserted());
}

TEST_F(PcalExpander, InputPortInvertsInputsWherePolaritySaysAndShowsOutputsAsDriven) {
  chip.set_pins(0xFFFF, 0x5A3C);
  OnBus([](i2c_device* dev) {
    WriteWord(dev, kOutput, 0x00A5);
    WriteWord(dev, kConfig, 0xFF00);    // port 0 outputs, port 1 inputs
    WriteWord(dev, kPolarity, 0x0F0F);  // no effect on outputs
    EXPECT_EQ(ReadWord(dev, kInput), 0x55A5);
  });
  EXPECT_EQ(chip.pins(), 0x5AA5);
}

TEST_F(PcalExpander, UnmaskedInputInterruptsWhileItDiffersFromTheLevelLastRead) {
  OnBus([](i2c_device* dev) { WriteWord(dev, kMask, 0xFFFD); });  // bit 1
  chip.set_pin(3, false);
  EXPECT_FALSE(chip.int_asserted());
  chip.set_pin(1, false);
  EXPECT_TRUE(chip.int_asserted());
  EXPECT_EQ(chip.reg(kStatus), 0x0002);
  chip.set_pin(1, true);
  EXPECT_FALSE(chip.int_asserted());
  EXPECT_EQ(chip.reg(kStatus), 0x0000);
}

TEST_F(PcalExpander, ReadingAnInputPortClearsThatPortsStatusOnly) {
  OnBus([](i2c_device* dev) { WriteWord(dev, kMask, 0xFDFD); });  // bits 1 and 9
  chip.set_pins(0x0202, 0x0000);
  OnBus([](i2c_device* dev) {
    uint8_t reg = kInput + 1, port1 = 0;
    i2c_msg msgs[2] = {{I2C_M_WRITE, 1, &reg}, {I2C_M_READ | I2C_M_STOP, 1, &port1}};
    ASSERT_EQ(i2c_transfer(dev, msgs, 2), 0);
    EXPECT_EQ(port1, 0xFD);
    EXPECT_EQ(ReadWord(dev, kStatus), 0x0002);
  });
  EXPECT_TRUE(chip.int_asserted());
  OnBus([](i2c_device* dev) { EXPECT_EQ(ReadWord(dev, kInput), 0xFDFD); });
  EXPECT_EQ(chip.reg(kStatus), 0x0000);
  EXPECT_FALSE(chip.int_asserted());
}

TEST_F(PcalExpander, LatchedInputHoldsItsChangeUntilReadAndThenReportsTheReturn) {
  OnBus([](i2c_device* dev) {
    WriteWord(dev, kLatch, 0x0010);
    WriteWord(dev, kMask, 0xFFEF);
  });
  chip.set_pin(4, false);
  chip.set_pin(4, true);  // a pulse shorter than the module's reaction
  EXPECT_TRUE(chip.int_asserted());
  OnBus([](i2c_device* dev) {
    EXPECT_EQ(ReadWord(dev, kInput) & 0x0010, 0);       // the pulse, held
    EXPECT_EQ(ReadWord(dev, kStatus), 0x0010);          // the return: a new change
    EXPECT_EQ(ReadWord(dev, kInput) & 0x0010, 0x0010);
    EXPECT_EQ(ReadWord(dev, kStatus), 0x0000);
  });
  EXPECT_FALSE(chip.int_asserted());
}

TEST_F(PcalExpander, WriteBeyondARegisterPairWrapsToItsFirstRegisterAndIsRecorded) {
  OnBus([](i2c_device* dev) {
    uint8_t buf[4] = {kConfig, 0x11, 0x22, 0x33};
    i2c_msg msg{I2C_M_WRITE | I2C_M_STOP, 4, buf};
    ASSERT_EQ(i2c_transfer(dev, &msg, 1), 0);
  });
  EXPECT_EQ(chip.reg(kConfig), 0x2233);
  ASSERT_EQ(chip.writes().size(), 1u);
  EXPECT_EQ(chip.writes()[0].reg, kConfig);
  EXPECT_EQ(chip.writes()[0].data, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
}

TEST_F(PcalExpander, NotAcknowledgedMessageChangesNothing) {
  chip.fail_next(1);
  OnBus([](i2c_device* dev) {
    EXPECT_EQ(WriteWord(dev, kOutput, 0x1234), I2C_ERR_NACK);
    EXPECT_EQ(WriteWord(dev, kOutput, 0x5678), 0);
  });
  EXPECT_EQ(chip.reg(kOutput), 0x5678);
  EXPECT_EQ(chip.writes().size(), 1u);
  EXPECT_EQ(chip.messages(), 2);
}

}  // namespace
