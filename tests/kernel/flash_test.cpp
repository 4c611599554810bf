// The SPI NOR flash driver on the host: erase, bit-clearing writes, the busy time, the contents
// kept in a file, and the test hooks.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "camhost/bus.h"
#include "camhost/flash.h"
#include "camhost/runtime.h"
#include "spi_flash.h"

namespace {

class Flash : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(camhost::flash_open("", &error)) << error;
  }
  void TearDown() override { camhost::flash_on_operation(nullptr); }
  camhost::Instance inst{camhost::Options{}};
};

TEST_F(Flash, EraseSetsAWholeSectorTo0xFF) {
  camhost::flash_program(0x3000, std::vector<uint8_t>(8192, 0x00));
  inst.call([] { spi_sector_erase(os_flash_get_spi_dev(), 0x3123); });
  EXPECT_EQ(camhost::flash_read(0x3000, 4096), std::vector<uint8_t>(4096, 0xFF));
  EXPECT_EQ(camhost::flash_read(0x4000, 1), std::vector<uint8_t>(1, 0x00));
}

TEST_F(Flash, AWriteOnlyClearsBits) {
  std::vector<uint8_t> got(2);
  inst.call([&] {
    spi_mem* dev = os_flash_get_spi_dev();
    uint8_t a[2] = {0xF0, 0x0F}, b[2] = {0x3C, 0xFF};
    spi_mem_write(dev, 0x2000, a, 2);
    spi_mem_write(dev, 0x2000, b, 2);
    spi_mem_read(dev, 0x2000, got.data(), 2);
  });
  EXPECT_EQ(got, (std::vector<uint8_t>{0x30, 0x0F}));
}

TEST_F(Flash, AnEraseKeepsTheDeviceBusyAndTheNextOperationWaits) {
  uint64_t erased = 0, read = 0;
  int busy = 0;
  inst.call([&] {
    spi_mem* dev = os_flash_get_spi_dev();
    spi_sector_erase(dev, 0x1000);
    erased = camhost::time_now();
    busy = spi_mem_busy(dev);
    uint8_t b;
    spi_mem_read(dev, 0x1000, &b, 1);
    read = camhost::time_now();
  });
  EXPECT_EQ(busy, 1);
  EXPECT_GE(read - erased, 45000u);
}

TEST_F(Flash, OperationsOutsideTheFlashAreRefused) {
  int erase = 0, write = 0, read = 0;
  inst.call([&] {
    spi_mem* dev = os_flash_get_spi_dev();
    uint8_t b[2] = {0, 0};
    erase = spi_sector_erase(dev, camhost::kFlashBytes);
    write = spi_mem_write(dev, camhost::kFlashBytes - 1, b, 2);
    read = spi_mem_read(dev, 0xFFFFFFFFu, b, 2);
  });
  EXPECT_LT(erase, 0);
  EXPECT_LT(write, 0);
  EXPECT_LT(read, 0);
}

TEST_F(Flash, AFailingWriteLeavesABitSetThatReadingBackFinds) {
  camhost::flash_fail_writes(1);
  std::vector<uint8_t> got(4);
  inst.call([&] {
    spi_mem* dev = os_flash_get_spi_dev();
    uint8_t zeros[4] = {0, 0, 0, 0};
    spi_mem_write(dev, 0x5000, zeros, 4);
    spi_mem_read(dev, 0x5000, got.data(), 4);
  });
  EXPECT_NE(got, std::vector<uint8_t>(4, 0));
}

TEST_F(Flash, TheContentsOutliveTheProgramInTheirFile) {
  std::string dir = ::testing::TempDir() + "/camlink-flash-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string path = dir + "/flash.bin", error;
  ASSERT_TRUE(camhost::flash_open(path, &error)) << error;
  EXPECT_TRUE(camhost::flash_was_fresh());
  inst.call([] {
    uint8_t b = 0x5A;
    spi_mem_write(os_flash_get_spi_dev(), 0x7000, &b, 1);
  });
  ASSERT_TRUE(camhost::flash_open(path, &error)) << error;
  EXPECT_FALSE(camhost::flash_was_fresh());
  EXPECT_EQ(camhost::flash_read(0x7000, 1), std::vector<uint8_t>(1, 0x5A));
  std::filesystem::remove_all(dir);
}

TEST_F(Flash, AnImageBootsOnlyWhileItsCrcHolds) {
  std::string error;
  std::vector<uint8_t> lib(10000, 0x42);
  camhost::flash_install_image(camhost::image_from_library(lib, &error));
  std::string dir = ::testing::TempDir(), why;
  std::string path = camhost::flash_boot_library(dir, &why);
  EXPECT_FALSE(path.empty()) << why;
  camhost::flash_program(0x1000 + 16 + 5000, {0x43});
  EXPECT_EQ(camhost::flash_boot_library(dir, &why), "");
  EXPECT_EQ(why, "image CRC mismatch");
  std::filesystem::remove(path);
}

TEST_F(Flash, AnImageLargerThanTheRegionIsRefused) {
  std::string error;
  EXPECT_TRUE(camhost::image_from_library(std::vector<uint8_t>(0xF7000), &error).empty());
  EXPECT_NE(error.find("does not fit"), std::string::npos);
}

}  // namespace
