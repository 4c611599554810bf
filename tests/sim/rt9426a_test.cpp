// The RT9426A gauges and the pack's multiplexer, driven through the host I2C driver.
#include "sim/rt9426a.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "driver_side.h"
#include "sim/board_config.h"

namespace {

using simtest::ReadWord;
using simtest::WriteWord;

class Gauge : public ::testing::Test {
 protected:
  void OnBus(const std::function<void(i2c_device* gauge, i2c_device* mux)>& fn) {
    ASSERT_TRUE(inst.call([&] {
      i2c_bus* bus = i2c_bus_init(0);
      i2c_device* g = i2c_create_device(bus, 0x55, 400000);
      i2c_device* m = i2c_create_device(bus, 0x70, 400000);
      fn(g, m);
      i2c_destroy_device(g);
      i2c_destroy_device(m);
    }));
  }
  static void Unseal(i2c_device* g) {
    WriteWord(g, 0x00, 0x5678);
    WriteWord(g, 0x00, 0x1234);
  }
  camhost::Instance inst{simtest::VirtualTime()};
  sim::Board board;
};

TEST_F(Gauge, AnswersItsDeviceIdAndStartsSealedAndNeedingInitialisation) {
  OnBus([](i2c_device* g, i2c_device*) {
    EXPECT_EQ(ReadWord(g, 0x0E), 0x426A);
    int flag3 = ReadWord(g, 0x30);
    EXPECT_EQ(flag3 & 0x0001, 0);
    EXPECT_EQ(flag3 & 0x0100, 0x0100);
  });
}

TEST_F(Gauge, ThePageCommandTakesEffectOnlyWhenWrittenTwice) {
  OnBus([](i2c_device* g, i2c_device*) {
    Unseal(g);
    EXPECT_EQ(ReadWord(g, 0x30) & 1, 1);
    WriteWord(g, 0x3E, 0x6553);
    WriteWord(g, 0x40, 0x1111);  // ignored: the page is not selected yet
    WriteWord(g, 0x3E, 0x6553);
    WriteWord(g, 0x42, 0x2222);
    EXPECT_EQ(ReadWord(g, 0x40), 0);
    EXPECT_EQ(ReadWord(g, 0x42), 0x2222);
    EXPECT_EQ(ReadWord(g, 0x50), static_cast<uint16_t>(~0x2222));  // the page's checksum
  });
}

TEST_F(Gauge, SealedItIgnoresPageWritesAndAWrongKey) {
  OnBus([](i2c_device* g, i2c_device*) {
    WriteWord(g, 0x00, 0x5678);
    WriteWord(g, 0x00, 0x4321);
    EXPECT_EQ(ReadWord(g, 0x30) & 1, 0);
    WriteWord(g, 0x3E, 0x6550);
    WriteWord(g, 0x3E, 0x6550);
    WriteWord(g, 0x40, 0x1234);
    EXPECT_EQ(ReadWord(g, 0x40), 0);
  });
}

TEST_F(Gauge, TheTotalChecksumIsBusyForAMomentThenReadsTheCrcOfThePages) {
  OnBus([](i2c_device* g, i2c_device*) {
    WriteWord(g, 0x00, 0x9A12);
    EXPECT_EQ(ReadWord(g, 0x30) & 0x0008, 0x0008);
    os_sleep_us(2000, OS_TIMEOUT_WAKEUP);
    EXPECT_EQ(ReadWord(g, 0x30) & 0x0008, 0);
    uint8_t zeros[224] = {};
    EXPECT_EQ(ReadWord(g, 0x68), sim::gauge_crc16(zeros, sizeof zeros));
  });
}

TEST_F(Gauge, TheMultiplexerAnswersOnlyWithAPackAndTheShifterOnAndRoutesToTheChosenCell) {
  board.batteries().plug(2, 40);
  board.batteries().set_soc(0, 90);
  OnBus([&](i2c_device* g, i2c_device* m) {
    uint8_t control = 0x06;  // enable, channel 2
    i2c_msg msg{I2C_M_WRITE | I2C_M_STOP, 1, &control};
    EXPECT_NE(i2c_transfer(m, &msg, 1), 0);  // the level shifter is off
    auto e2 = simtest::Expander(0x21);
    WriteWord(e2, 0x06, 0xFDFF & ~0x0200);  // the shifter pin an output
    WriteWord(e2, 0x02, 0x0200);
    EXPECT_EQ(i2c_transfer(m, &msg, 1), 0);
    EXPECT_EQ(ReadWord(g, 0x2C), 40);
    control = 0x05;  // channel 1: no cell there
    EXPECT_EQ(i2c_transfer(m, &msg, 1), 0);
    EXPECT_LT(ReadWord(g, 0x2C), 0);
    WriteWord(e2, 0x02, 0x0000);  // shifter off: the internal gauge again
    EXPECT_EQ(ReadWord(g, 0x2C), 90);
    i2c_destroy_device(e2);
  });
}

TEST_F(Gauge, TheCellDrainsWithTheLoadOverSimulatedTime) {
  board.batteries().set_soc(0, 50);
  board.batteries().set_load(1950, 1950);  // 1 C
  inst.run_for(1800 * 1000000ull);
  EXPECT_NEAR(board.batteries().cell(0).soc, 0.0, 0.01);
  EXPECT_EQ(board.batteries().cell(0).current_ma, -1950);
  EXPECT_EQ(sim::cell_voltage_mv(0), 3000);
}

TEST(GaugeState, WhatAGaugeKeepsOutlivesTheBoardInTheStateDirectory) {
  std::string dir = (std::filesystem::temp_directory_path() /
                     ("camlink-gauges-" + std::to_string(getpid())))
                        .string();
  std::filesystem::create_directories(dir);
  {
    camhost::Instance inst{simtest::VirtualTime()};
    sim::BoardConfig config;
    config.state_dir = dir;
    sim::Board board{config};
    sim::Rt9426a::Memory m = board.batteries().gauge(0).memory();
    m.sealed = false;
    m.needs_init = false;
    m.ext[17] = 0xAB;
    m.ocv[76] = 0xA9B4;
    board.batteries().gauge(0).set_memory(m);
    board.batteries().set_soc(0, 33);
    board.batteries().plug(3, 70);
  }
  {
    camhost::Instance inst{simtest::VirtualTime()};
    sim::BoardConfig config;
    config.state_dir = dir;
    sim::Board board{config};
    sim::Rt9426a::Memory m = board.batteries().gauge(0).memory();
    EXPECT_FALSE(m.sealed);
    EXPECT_FALSE(m.needs_init);
    EXPECT_EQ(m.ext[17], 0xAB);
    EXPECT_EQ(m.ocv[76], 0xA9B4);
    EXPECT_NEAR(board.batteries().cell(0).soc, 33, 0.01);
    EXPECT_TRUE(board.batteries().plugged(3));
  }
  std::filesystem::remove_all(dir);
}

TEST(GaugeBoardFile, TheBatteriesKeySetsTheChargesTheLoadAndThePacksCells) {
  sim::BoardConfig config;
  std::string error;
  ASSERT_TRUE(sim::parse_board_json(
      R"({"batteries": {"internal_percent": 35, "idle_ma": 10, "recording_ma": 20,
                        "pack_percent": [60, 75]}})",
      &config, &error))
      << error;
  camhost::Instance inst{simtest::VirtualTime()};
  sim::Board board(config);
  EXPECT_NEAR(board.batteries().cell(0).soc, 35, 0.001);
  EXPECT_TRUE(board.batteries().plugged(2));
  EXPECT_FALSE(board.batteries().plugged(3));
  EXPECT_NEAR(board.batteries().cell(2).soc, 75, 0.001);
  EXPECT_TRUE(board.usb_power());  // the pack sits in the USB socket
}

TEST(GaugeBoardFile, ABadBatteriesValueIsNamedByItsKey) {
  const struct {
    const char* json;
    const char* key;
  } kCases[] = {
      {R"({"batteries": {"internal_percent": 101}})", "batteries.internal_percent"},
      {R"({"batteries": {"pack_percent": [1, 2, 3, 4]}})", "batteries.pack_percent"},
      {R"({"batteries": {"pack_percent": [50, "x"]}})", "batteries.pack_percent[1]"},
      {R"({"batteries": {"volts": 3}})", "batteries.volts"},
  };
  for (const auto& c : kCases) {
    sim::BoardConfig config;
    std::string error;
    EXPECT_FALSE(sim::parse_board_json(c.json, &config, &error)) << c.json;
    EXPECT_NE(error.find(c.key), std::string::npos) << error;
  }
}

}  // namespace
