// The far end of the SPI flash driver: the chip's contents, kept in a file so they survive the
// host program as they survive power on the camera, the firmware image format the host boots
// from, and the test hooks (verification errors, power cuts).
#ifndef CAMHOST_FLASH_H
#define CAMHOST_FLASH_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace camhost {

constexpr uint32_t kFlashBytes = 0x200000;  // 2 MiB
constexpr uint32_t kFlashSector = 4096;
// The firmware image: from the first page after the boot page to the end of the second part.
constexpr uint32_t kImageStart = 0x1000;
constexpr uint32_t kImagePart2 = 0x40000;
constexpr uint32_t kImageEnd = 0xF8000;

// Backs the flash with the file at `path` (created erased when missing) or, with "", with memory
// only. Without a call the flash is in memory and erased. False with `error` set on failure.
bool flash_open(const std::string& path, std::string* error);
// Whether the flash was created erased by the last flash_open (a fresh state).
bool flash_was_fresh();
std::vector<uint8_t> flash_read(uint32_t address, uint32_t length);
// Erases the sectors of [address, address + length) and writes `data` there, at once (the
// factory's programmer, or a test).
void flash_program(uint32_t address, const std::vector<uint8_t>& data);

// Fault hook: the next `count` writes leave one bit they should clear set, so that reading back
// differs.
void flash_fail_writes(int count);

struct FlashOperation {
  int index;        // 0 for the first erase or write since flash_open
  bool erase;       // else a write
  uint32_t address;
  uint32_t length;
};
// Called before every erase and write, on the thread that makes it, before the flash changes.
// Returning true cuts the power there: the module resets at once (reset reason power on) and the
// operation never happens. nullptr removes it.
void flash_on_operation(std::function<bool(const FlashOperation&)> hook);
// Erases and writes since flash_open.
int flash_operations();

// ---- The firmware image ----------------------------------------------------------------------
// In flash at kImageStart: a 16-byte header ("CLFW", the library's length and CRC-32, 0) and the
// firmware library itself.

// The image for `library`'s bytes; empty (with `error`) when it would not fit.
std::vector<uint8_t> image_from_library(const std::vector<uint8_t>& library, std::string* error);
// The image for the library file at `path`; empty (with `error`) on failure.
std::vector<uint8_t> image_from_library_file(const std::string& path, std::string* error);
// The two update files for an image: its first 63 pages and the rest.
void image_split(const std::vector<uint8_t>& image, std::vector<uint8_t>* part1,
                 std::vector<uint8_t>* part2);
// Writes `image` into the image region.
void flash_install_image(const std::vector<uint8_t>& image);
// The library of the image in flash, written into `dir` under a name of its CRC; "" (with `why`)
// when the image region holds no valid image.
std::string flash_boot_library(const std::string& dir, std::string* why);

}  // namespace camhost

#endif  // CAMHOST_FLASH_H
