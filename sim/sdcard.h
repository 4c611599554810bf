// The camera's SD card as a directory of the host: each regular file whose name fits the card's
// 8.3 form (at most 12 characters) is a file on the card, with its size and its modification time
// as the FAT time stamp. A recording is a file of JPEG frames one after another (each from its
// start-of-image to its end-of-image marker); frame N is the N-th of them, counting from 0.
#ifndef CAMSIM_SDCARD_H
#define CAMSIM_SDCARD_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Results the STM32 gives for card requests.
constexpr int32_t kSdOk = 0, kSdIllegalParam = -103, kSdNotPresent = -106,
                  kSdFileMissing = -113;

struct SdFile {
  std::string name;
  uint32_t size = 0;
  uint32_t fat_time = 0;  // bits 0-4 s/2, 5-10 min, 11-15 h, 16-20 day, 21-24 month, 25-31 y-1980
};

class SdCard {
 public:
  explicit SdCard(std::string dir);
  const std::string& dir() const { return dir_; }
  // Another card in the slot (before the module reads it).
  void set_dir(const std::string& dir) { dir_ = dir; }

  // The files of the card's root (or of the folder `sub`), sorted by name.
  std::vector<SdFile> list(const std::string& sub = "") const;
  // kSdOk and the file's entry and frame count, or kSdFileMissing.
  int32_t info(const std::string& name, SdFile* file, uint32_t* frames) const;
  // Up to `count` bytes from `offset` (fewer at the end). kSdIllegalParam past the end.
  int32_t read(const std::string& name, uint32_t offset, uint32_t count,
               std::vector<uint8_t>* out) const;
  int32_t read_all(const std::string& name, std::vector<uint8_t>* out) const;
  // Frame `n` of a recording; kSdIllegalParam when it has fewer frames.
  int32_t frame(const std::string& name, uint32_t n, std::vector<uint8_t>* out) const;

  // Fills an empty (or missing) directory with a few sample recordings; false when it cannot.
  static bool make_samples(const std::string& dir);

 private:
  std::string path_of(const std::string& name) const;  // "" for a name not on the card
  std::string dir_;
};

// The (offset, length) of each whole JPEG image in `data`, in order.
std::vector<std::pair<size_t, size_t>> jpeg_frames(const std::vector<uint8_t>& data);
// A test card: colour bars with `line1` and `line2` drawn in (digits, capitals, ':', '-', '#',
// '/', '.', ' '), as a baseline JPEG.
std::vector<uint8_t> test_card_jpeg(int width, int height, const std::string& line1,
                                    const std::string& line2);

}  // namespace sim

#endif  // CAMSIM_SDCARD_H
