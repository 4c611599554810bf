// The self-update's speed: a whole version-2 update of the module's image over the UART at boot,
// in virtual time, next to the UART's physical floor for the same bytes (460800 baud, 10 bits a
// byte). A plain program: one run prints every figure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camhost/flash.h"
#include "camhost/runtime.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kSec = 1000000;

std::vector<uint8_t> Image(const char* path) {
  std::string error;
  std::vector<uint8_t> image = camhost::image_from_library_file(path, &error);
  if (image.empty()) {
    fprintf(stderr, "%s\n", error.c_str());
    exit(1);
  }
  return image;
}

// The bytes the STM32 sends for one file: per block its command and the SLIP-framed page.
uint64_t WireBytes(const std::vector<uint8_t>& file) {
  uint64_t bytes = 20;  // the file's start command
  for (size_t at = 0; at < file.size(); at += 4096) {
    bytes += 20 + 2;  // the block's command, the frame's two ENDs
    for (size_t i = 0; i < 4096; i++) {
      uint8_t b = at + i < file.size() ? file[at + i] : 0;
      bytes += (b == 0xC0 || b == 0xDB) ? 2 : 1;
    }
  }
  return bytes;
}

}  // namespace

int main() {
  std::string error;
  if (!camhost::flash_open("", &error)) return 1;
  camhost::flash_install_image(Image(CAMFW_FLASH_PATH));
  std::vector<uint8_t> image = Image(CAMFW_NEXT_PATH), part1, part2;
  camhost::image_split(image, &part1, &part2);

  char dir[] = "/tmp/camlink-update-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string d = dir;
  camhost::Options o;
  o.clock = camhost::ClockKind::Virtual;
  o.boot_image = [d](std::string* why) { return camhost::flash_boot_library(d, why); };
  camhost::Instance inst(o);
  sim::Board board;
  board.module_update().set_files(part1, part2);
  uint64_t greeted = 0, done = 0;
  auto wall0 = std::chrono::steady_clock::now();
  inst.boot();
  inst.run_until([&] { return inst.console().find("baud rate set at") != std::string::npos; },
                 kSec, 100);
  greeted = inst.now();
  inst.run_until(
      [&] { return inst.console().find("Firmware update complete") != std::string::npos; },
      600 * kSec, 1000);
  done = inst.now();
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  uint64_t wire = WireBytes(part1) + WireBytes(part2);
  double floor_s = wire * 10.0 / 460800.0, took_s = (done - greeted) / 1e6;
  printf("image %zu bytes (%zu pages): %llu bytes on the wire\n", image.size(),
         (image.size() + 4095) / 4096, (unsigned long long)wire);
  printf("self-update, offer to \"Firmware update complete\": %.3f s virtual (%.2f s wall)\n",
         took_s, wall);
  printf("UART floor for the same bytes at 460800 baud: %.3f s; ratio %.2f\n", floor_s,
         took_s / floor_s);
  inst.halt();
  std::string rm = "rm -rf " + d;
  return system(rm.c_str()) == 0 ? 0 : 1;
}
