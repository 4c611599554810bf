#include "sim/sdcard.h"

#include <fnmatch.h>

#include <sys/stat.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxName = 12;

uint32_t fat_time_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  std::tm tm{};
  time_t t = st.st_mtime;
  gmtime_r(&t, &tm);  // the card keeps the camera's clock, which the board runs on UTC
  int year = std::clamp(tm.tm_year + 1900 - 1980, 0, 127);
  return uint32_t(tm.tm_sec / 2) | uint32_t(tm.tm_min) << 5 | uint32_t(tm.tm_hour) << 11 |
         uint32_t(tm.tm_mday) << 16 | uint32_t(tm.tm_mon + 1) << 21 | uint32_t(year) << 25;
}

bool slurp(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// A 5x7 font, column by column, bit 0 the top row.
const std::map<char, std::array<uint8_t, 5>>& font() {
  static const std::map<char, std::array<uint8_t, 5>> f = {
      {'0', {0x3E, 0x51, 0x49, 0x45, 0x3E}}, {'1', {0x00, 0x42, 0x7F, 0x40, 0x00}},
      {'2', {0x42, 0x61, 0x51, 0x49, 0x46}}, {'3', {0x21, 0x41, 0x45, 0x4B, 0x31}},
      {'4', {0x18, 0x14, 0x12, 0x7F, 0x10}}, {'5', {0x27, 0x45, 0x45, 0x45, 0x39}},
      {'6', {0x3C, 0x4A, 0x49, 0x49, 0x30}}, {'7', {0x01, 0x71, 0x09, 0x05, 0x03}},
      {'8', {0x36, 0x49, 0x49, 0x49, 0x36}}, {'9', {0x06, 0x49, 0x49, 0x29, 0x1E}},
      {':', {0x00, 0x36, 0x36, 0x00, 0x00}}, {'-', {0x08, 0x08, 0x08, 0x08, 0x08}},
      {'#', {0x14, 0x7F, 0x14, 0x7F, 0x14}}, {'/', {0x20, 0x10, 0x08, 0x04, 0x02}},
      {'.', {0x00, 0x60, 0x60, 0x00, 0x00}}, {' ', {0, 0, 0, 0, 0}},
      {'A', {0x7E, 0x11, 0x11, 0x11, 0x7E}}, {'B', {0x7F, 0x49, 0x49, 0x49, 0x36}},
      {'C', {0x3E, 0x41, 0x41, 0x41, 0x22}}, {'D', {0x7F, 0x41, 0x41, 0x22, 0x1C}},
      {'E', {0x7F, 0x49, 0x49, 0x49, 0x41}}, {'F', {0x7F, 0x09, 0x09, 0x01, 0x01}},
      {'G', {0x3E, 0x41, 0x41, 0x51, 0x32}}, {'H', {0x7F, 0x08, 0x08, 0x08, 0x7F}},
      {'I', {0x00, 0x41, 0x7F, 0x41, 0x00}}, {'J', {0x20, 0x40, 0x41, 0x3F, 0x01}},
      {'K', {0x7F, 0x08, 0x14, 0x22, 0x41}}, {'L', {0x7F, 0x40, 0x40, 0x40, 0x40}},
      {'M', {0x7F, 0x02, 0x04, 0x02, 0x7F}}, {'N', {0x7F, 0x04, 0x08, 0x10, 0x7F}},
      {'O', {0x3E, 0x41, 0x41, 0x41, 0x3E}}, {'P', {0x7F, 0x09, 0x09, 0x09, 0x06}},
      {'Q', {0x3E, 0x41, 0x51, 0x21, 0x5E}}, {'R', {0x7F, 0x09, 0x19, 0x29, 0x46}},
      {'S', {0x46, 0x49, 0x49, 0x49, 0x31}}, {'T', {0x01, 0x01, 0x7F, 0x01, 0x01}},
      {'U', {0x3F, 0x40, 0x40, 0x40, 0x3F}}, {'V', {0x1F, 0x20, 0x40, 0x20, 0x1F}},
      {'W', {0x7F, 0x20, 0x18, 0x20, 0x7F}}, {'X', {0x63, 0x14, 0x08, 0x14, 0x63}},
      {'Y', {0x03, 0x04, 0x78, 0x04, 0x03}}, {'Z', {0x61, 0x51, 0x49, 0x45, 0x43}}};
  return f;
}

void draw_text(std::vector<uint8_t>& rgb, int w, int h, int x0, int y0, int scale,
               const std::string& text) {
  for (size_t c = 0; c < text.size(); c++) {
    auto it = font().find(static_cast<char>(toupper(static_cast<unsigned char>(text[c]))));
    if (it == font().end()) continue;
    for (int col = 0; col < 5; col++)
      for (int row = 0; row < 7; row++) {
        if (!((it->second[col] >> row) & 1)) continue;
        for (int dy = 0; dy < scale; dy++)
          for (int dx = 0; dx < scale; dx++) {
            int x = x0 + (int(c) * 6 + col) * scale + dx, y = y0 + row * scale + dy;
            if (x < 0 || y < 0 || x >= w || y >= h) continue;
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = p[1] = p[2] = 255;
          }
      }
  }
}

}  // namespace

std::vector<std::pair<size_t, size_t>> jpeg_frames(const std::vector<uint8_t>& d) {
  std::vector<std::pair<size_t, size_t>> frames;
  size_t i = 0, n = d.size();
  while (i + 1 < n) {
    if (!(d[i] == 0xFF && d[i + 1] == 0xD8)) {  // look for the next start of image
      i++;
      continue;
    }
    size_t start = i;
    i += 2;
    bool done = false, bad = false;
    // Marker segments carry their length; after start-of-scan, entropy data runs to a marker
    // that is neither a stuffed 0xFF00 nor a restart.
    while (!done && !bad && i + 1 < n) {
      if (d[i] != 0xFF) {
        bad = true;
        break;
      }
      uint8_t marker = d[i + 1];
      if (marker == 0xFF) {
        i++;
        continue;
      }
      if (marker == 0xD9) {
        i += 2;
        done = true;
        break;
      }
      if (i + 3 >= n) break;
      size_t len = size_t(d[i + 2]) << 8 | d[i + 3];
      i += 2 + len;
      if (marker != 0xDA) continue;
      while (i + 1 < n) {
        if (d[i] == 0xFF && d[i + 1] != 0x00 && !(d[i + 1] >= 0xD0 && d[i + 1] <= 0xD7)) break;
        i++;
      }
    }
    if (done) frames.push_back({start, i - start});
    else i = start + 2;
  }
  return frames;
}

std::vector<uint8_t> test_card_jpeg(int w, int h, const std::string& line1,
                                    const std::string& line2) {
  static const uint8_t bars[7][3] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192}, {0, 192, 0},
                                     {192, 0, 192},   {192, 0, 0},   {0, 0, 192}};
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const uint8_t* c = bars[x * 7 / w];
      uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
      bool band = y > h * 2 / 3;
      p[0] = band ? 16 : c[0];
      p[1] = band ? 16 : c[1];
      p[2] = band ? 16 : c[2];
    }
  int scale = std::max(1, h / 100);
  draw_text(rgb, w, h, 8, h * 2 / 3 + 6, scale, line1);
  draw_text(rgb, w, h, 8, h * 2 / 3 + 6 + 10 * scale, scale, line2);
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> out;
  if (tj && tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_420, 75, 0) == 0)
    out.assign(jpeg, jpeg + size);
  if (jpeg) tjFree(jpeg);
  if (tj) tjDestroy(tj);
  return out;
}

SdCard::SdCard(std::string dir) : dir_(std::move(dir)) {}

std::string SdCard::path_of(const std::string& name) const {
  if (name.empty() || name.size() > kMaxName || name.find('/') != std::string::npos ||
      name == "." || name == "..")
    return "";
  return dir_ + "/" + name;
}

std::vector<SdFile> SdCard::list(const std::string& sub) const {
  std::vector<SdFile> files;
  std::string base = dir_;
  // A name with wildcards is a pattern over the root, as on the card's FAT ("*.*" is every file).
  bool pattern = sub.find_first_of("*?") != std::string::npos;
  if (!sub.empty() && sub != "/" && !pattern) {
    std::string p = path_of(sub);
    if (p.empty()) return files;
    base = p;
  }
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(base, ec)) {
    std::string name = e.path().filename().string();
    if (name.size() > kMaxName || !e.is_regular_file(ec)) continue;
    if (pattern && sub != "*.*" && fnmatch(sub.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    SdFile f;
    f.name = name;
    f.size = static_cast<uint32_t>(std::min<uintmax_t>(e.file_size(ec), 0xFFFFFFFFu));
    f.fat_time = fat_time_of(e.path().string());
    files.push_back(f);
  }
  std::sort(files.begin(), files.end(),
            [](const SdFile& a, const SdFile& b) { return a.name < b.name; });
  return files;
}

int32_t SdCard::info(const std::string& name, SdFile* file, uint32_t* frames) const {
  std::string p = path_of(name);
  std::error_code ec;
  if (p.empty() || !fs::is_regular_file(p, ec)) return kSdFileMissing;
  std::vector<uint8_t> data;
  if (!slurp(p, &data)) return kSdFileMissing;
  file->name = name;
  file->size = static_cast<uint32_t>(data.size());
  file->fat_time = fat_time_of(p);
  *frames = static_cast<uint32_t>(jpeg_frames(data).size());
  return kSdOk;
}

int32_t SdCard::read(const std::string& name, uint32_t offset, uint32_t count,
                     std::vector<uint8_t>* out) const {
  std::string p = path_of(name);
  std::error_code ec;
  if (p.empty() || !fs::is_regular_file(p, ec)) return kSdFileMissing;
  uintmax_t size = fs::file_size(p, ec);
  if (offset > size) return kSdIllegalParam;
  std::ifstream f(p, std::ios::binary);
  if (!f) return kSdFileMissing;
  f.seekg(offset);
  size_t n = static_cast<size_t>(std::min<uintmax_t>(count, size - offset));
  out->resize(n);
  f.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(n));
  return kSdOk;
}

int32_t SdCard::read_all(const std::string& name, std::vector<uint8_t>* out) const {
  std::string p = path_of(name);
  std::error_code ec;
  if (p.empty() || !fs::is_regular_file(p, ec) || !slurp(p, out)) return kSdFileMissing;
  return kSdOk;
}

int32_t SdCard::frame(const std::string& name, uint32_t n, std::vector<uint8_t>* out) const {
  std::vector<uint8_t> data;
  int32_t rc = read_all(name, &data);
  if (rc != kSdOk) return rc;
  auto frames = jpeg_frames(data);
  if (n >= frames.size()) return kSdIllegalParam;
  out->assign(data.begin() + frames[n].first, data.begin() + frames[n].first + frames[n].second);
  return kSdOk;
}

bool SdCard::make_samples(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) return false;
  if (!fs::is_empty(dir, ec)) return true;
  struct Sample {
    const char* name;
    int frames, w, h;
  };
  const Sample samples[] = {{"TL000001.MJP", 6, 640, 360}, {"TL000002.MJP", 3, 1280, 720}};
  for (const Sample& s : samples) {
    std::ofstream f(dir + "/" + s.name, std::ios::binary);
    for (int i = 0; i < s.frames; i++) {
      char line2[32];
      snprintf(line2, sizeof line2, "FRAME %d", i);
      std::vector<uint8_t> j = test_card_jpeg(s.w, s.h, s.name, line2);
      f.write(reinterpret_cast<const char*>(j.data()), static_cast<std::streamsize>(j.size()));
    }
    if (!f) return false;
  }
  std::ofstream notes(dir + "/NOTES.TXT");
  notes << "Sample recordings of the simulated camera: JPEG frames one after another.\n";
  return static_cast<bool>(notes);
}

}  // namespace sim
