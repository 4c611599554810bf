// A board whose module boots from its flash, as the chip does, so that an update changes what
// runs after the next reset. The flash starts with the build's own image.
#ifndef CAMLINK_TESTS_SYSTEM_UPDATE_FIXTURE_H
#define CAMLINK_TESTS_SYSTEM_UPDATE_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "camhost/flash.h"
#include "camhost/runtime.h"
#include "firmware_fixture.h"
#include "sim/board.h"

inline std::vector<uint8_t> ImageOf(const char* library) {
  std::string error;
  std::vector<uint8_t> image = camhost::image_from_library_file(library, &error);
  EXPECT_FALSE(image.empty()) << error;
  return image;
}

// A fresh flash holding the build's image, and a directory for the libraries the boots take
// from it.
struct FlashWithImage {
  FlashWithImage() {
    {
      std::string error;
      EXPECT_TRUE(camhost::flash_open("", &error)) << error;
    }
    std::string error;
    std::vector<uint8_t> image = camhost::image_from_library_file(CAMFW_FLASH_PATH, &error);
    fits = !image.empty();  // a sanitizer build's library is larger than the image region
    if (fits) camhost::flash_install_image(image);
    std::string pattern = ::testing::TempDir() + "/camlink-update-XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  ~FlashWithImage() {
    camhost::flash_on_operation(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  bool fits = false;
};

inline camhost::Options BootFromFlash(const std::string* dir, uint64_t seed = 1) {
  camhost::Options o;
  o.clock = camhost::ClockKind::Virtual;
  o.seed = seed;
  o.boot_image = [dir](std::string* why) { return camhost::flash_boot_library(*dir, why); };
  return o;
}

class UpdateBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!flash.fits) GTEST_SKIP() << "the firmware library does not fit the image region";
    ASSERT_TRUE(inst.ok());
  }

  sim::ModuleUpdateFeed& feed() { return board.module_update(); }
  std::string Console() const { return inst.console(); }
  bool Has(const std::string& text) const {
    return inst.console().find(text) != std::string::npos;
  }
  // Runs until `text` is on the console (at most `max_us`).
  bool RunUntilConsole(const std::string& text, uint64_t max_us) {
    return inst.run_until([&] { return Has(text); }, max_us, 10000);
  }
  std::vector<uint8_t> ImageRegion(size_t length) const {
    return camhost::flash_read(camhost::kImageStart, static_cast<uint32_t>(length));
  }

  FlashWithImage flash;
  camhost::Instance inst{BootFromFlash(&flash.dir)};
  sim::Board board;
};

#endif  // CAMLINK_TESTS_SYSTEM_UPDATE_FIXTURE_H
