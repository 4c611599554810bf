// The SoC's SPI NOR flash on the host: 2 MiB in memory, written through to a file so that the
// contents outlive the program as the chip's outlive a power cut.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

#include "camhost/flash.h"
#include "camhost/bus.h"
#include "os.h"
#include "spi_flash.h"

struct spi_mem {
  int unused;
};

namespace camhost::detail {
[[noreturn]] void power_cut_from_thread();  // in the kernel
}

namespace {

// Typical times of a serial NOR chip: a sector erase takes 45 ms, a 256-byte page 0.7 ms.
constexpr uint64_t kEraseUs = 45000, kPageProgramUs = 700;

std::mutex m;
std::vector<uint8_t> g_mem(camhost::kFlashBytes, 0xFF);
FILE* g_file = nullptr;
bool g_fresh = true;
int g_fail_writes = 0;
int g_ops = 0;
uint64_t g_busy_until = 0;  // instance time
std::function<bool(const camhost::FlashOperation&)> g_hook;
spi_mem g_dev;

bool in_range(uint32_t address, size_t length) {
  return address <= camhost::kFlashBytes && length <= camhost::kFlashBytes - address;
}

void persist(uint32_t address, size_t length) {  // m held
  if (!g_file || length == 0) return;
  fseek(g_file, static_cast<long>(address), SEEK_SET);
  fwrite(&g_mem[address], 1, length, g_file);
  fflush(g_file);
}

void wait_ready() {
  for (;;) {
    uint64_t now = camhost::time_now(), until;
    {
      std::lock_guard<std::mutex> g(m);
      until = g_busy_until;
    }
    if (now >= until) return;
    os_wait_usec(static_cast<uint32_t>(until - now));
  }
}

// Runs the power-cut hook for an operation about to start; does not return when it cuts.
void before_operation(bool erase, uint32_t address, uint32_t length) {
  std::function<bool(const camhost::FlashOperation&)> hook;
  camhost::FlashOperation op{0, erase, address, length};
  {
    std::lock_guard<std::mutex> g(m);
    op.index = g_ops++;
    hook = g_hook;
  }
  if (hook && hook(op)) camhost::detail::power_cut_from_thread();
}

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int b = 0; b < 8; b++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr size_t kHeader = 16;

}  // namespace

// ---- The driver -------------------------------------------------------------------------------

extern "C" {

struct spi_mem* os_flash_get_spi_dev(void) { return &g_dev; }

int spi_sector_erase(struct spi_mem* dev, uint32_t address) {
  if (!dev || address >= camhost::kFlashBytes) return -1;
  address &= ~(camhost::kFlashSector - 1);
  wait_ready();
  before_operation(true, address, camhost::kFlashSector);
  std::lock_guard<std::mutex> g(m);
  memset(&g_mem[address], 0xFF, camhost::kFlashSector);
  persist(address, camhost::kFlashSector);
  g_busy_until = camhost::time_now() + kEraseUs;
  return 0;
}

int spi_mem_write(struct spi_mem* dev, uint32_t address, const void* data, size_t length) {
  if (!dev || !data || !in_range(address, length)) return -1;
  wait_ready();
  before_operation(false, address, static_cast<uint32_t>(length));
  std::lock_guard<std::mutex> g(m);
  const auto* d = static_cast<const uint8_t*>(data);
  bool fail = g_fail_writes > 0;
  if (fail) g_fail_writes--;
  for (size_t i = 0; i < length; i++) {
    uint8_t old = g_mem[address + i], now = old & d[i];
    // A failing write leaves the first bit it should have cleared set.
    if (fail && now != old) {
      uint8_t bit = static_cast<uint8_t>((old & ~now) & -(old & ~now));
      now |= bit;
      fail = false;
    }
    g_mem[address + i] = now;
  }
  persist(address, length);
  g_busy_until = camhost::time_now() + (length + 255) / 256 * kPageProgramUs;
  return 0;
}

int spi_mem_read(struct spi_mem* dev, uint32_t address, void* data, size_t length) {
  if (!dev || !data || !in_range(address, length)) return -1;
  wait_ready();
  std::lock_guard<std::mutex> g(m);
  memcpy(data, &g_mem[address], length);
  return 0;
}

int spi_mem_busy(struct spi_mem* dev) {
  if (!dev) return 0;
  std::lock_guard<std::mutex> g(m);
  return camhost::time_now() < g_busy_until;
}

}  // extern "C"

// ---- The far end ----------------------------------------------------------------------------

namespace camhost {

bool flash_open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> g(m);
  if (g_file) fclose(g_file);
  g_file = nullptr;
  g_mem.assign(kFlashBytes, 0xFF);
  g_ops = 0;
  g_fail_writes = 0;
  g_busy_until = 0;
  g_fresh = true;
  if (path.empty()) return true;
  FILE* f = fopen(path.c_str(), "r+b");
  if (f) {
    size_t got = fread(g_mem.data(), 1, kFlashBytes, f);
    g_fresh = false;
    if (got < kFlashBytes) {  // a short file: the rest was never written
      std::fill(g_mem.begin() + static_cast<long>(got), g_mem.end(), 0xFF);
    }
  } else {
    f = fopen(path.c_str(), "w+b");
    if (!f) {
      *error = "cannot create the flash file " + path + ": " + strerror(errno);
      return false;
    }
  }
  g_file = f;
  persist(0, kFlashBytes);
  return true;
}

bool flash_was_fresh() {
  std::lock_guard<std::mutex> g(m);
  return g_fresh;
}

std::vector<uint8_t> flash_read(uint32_t address, uint32_t length) {
  std::lock_guard<std::mutex> g(m);
  if (!in_range(address, length)) return {};
  return std::vector<uint8_t>(g_mem.begin() + address, g_mem.begin() + address + length);
}

void flash_program(uint32_t address, const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> g(m);
  if (data.empty() || !in_range(address, data.size())) return;
  uint32_t first = address & ~(kFlashSector - 1);
  uint32_t end = (address + static_cast<uint32_t>(data.size()) + kFlashSector - 1) &
                 ~(kFlashSector - 1);
  if (end > kFlashBytes) end = kFlashBytes;
  memset(&g_mem[first], 0xFF, end - first);
  memcpy(&g_mem[address], data.data(), data.size());
  persist(first, end - first);
}

void flash_fail_writes(int count) {
  std::lock_guard<std::mutex> g(m);
  g_fail_writes = count;
}

void flash_on_operation(std::function<bool(const FlashOperation&)> hook) {
  std::lock_guard<std::mutex> g(m);
  g_hook = std::move(hook);
}

int flash_operations() {
  std::lock_guard<std::mutex> g(m);
  return g_ops;
}

std::vector<uint8_t> image_from_library(const std::vector<uint8_t>& library, std::string* error) {
  if (library.size() > kImageEnd - kImageStart - kHeader) {
    *error = "the firmware library (" + std::to_string(library.size()) +
             " bytes) does not fit the image region (" +
             std::to_string(kImageEnd - kImageStart - kHeader) + " bytes)";
    return {};
  }
  std::vector<uint8_t> image(kHeader + library.size());
  memcpy(image.data(), "CLFW", 4);
  put32(&image[4], static_cast<uint32_t>(library.size()));
  put32(&image[8], crc32(library.data(), library.size()));
  put32(&image[12], 0);
  memcpy(&image[kHeader], library.data(), library.size());
  return image;
}

std::vector<uint8_t> image_from_library_file(const std::string& path, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot read " + path + ": " + strerror(errno);
    return {};
  }
  std::vector<uint8_t> lib;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) lib.insert(lib.end(), buf, buf + n);
  fclose(f);
  return image_from_library(lib, error);
}

void image_split(const std::vector<uint8_t>& image, std::vector<uint8_t>* part1,
                 std::vector<uint8_t>* part2) {
  size_t cut = std::min<size_t>(image.size(), kImagePart2 - kImageStart);
  part1->assign(image.begin(), image.begin() + static_cast<long>(cut));
  part2->assign(image.begin() + static_cast<long>(cut), image.end());
}

void flash_install_image(const std::vector<uint8_t>& image) { flash_program(kImageStart, image); }

std::string flash_boot_library(const std::string& dir, std::string* why) {
  std::vector<uint8_t> header = flash_read(kImageStart, kHeader);
  if (memcmp(header.data(), "CLFW", 4) != 0) {
    *why = "no image header";
    return "";
  }
  uint32_t length = get32(&header[4]), crc = get32(&header[8]);
  if (length > kImageEnd - kImageStart - kHeader) {
    *why = "image length out of range";
    return "";
  }
  std::vector<uint8_t> lib = flash_read(kImageStart + kHeader, length);
  if (crc32(lib.data(), lib.size()) != crc) {
    *why = "image CRC mismatch";
    return "";
  }
  char name[32];
  snprintf(name, sizeof name, "/camfw-%08x.so", crc);
  std::string path = dir + name;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_size == static_cast<off_t>(length)) return path;
  std::string tmp = path + ".part";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f || fwrite(lib.data(), 1, lib.size(), f) != lib.size()) {
    if (f) fclose(f);
    *why = "cannot write " + tmp;
    return "";
  }
  fclose(f);
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path;
    return "";
  }
  return path;
}

}  // namespace camhost
