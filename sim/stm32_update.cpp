// The STM32's side of an update pushed by the camera server: it writes the module's chunks into
// the temporary update files in the SD card's root, deletes update files on request, and on the
// rename request puts the four files in place and reboots itself. Back from the reboot it
// installs its own firmware and the FPGA's configuration (it notes them and deletes the files);
// the module's two files stay on the card for the update feed at the module's next boot.
//
// errorCode in the answers (0 success):
//   -103 a name that is not one of the update files, or a write that would leave a hole
//   -104 the chunk's CRC-32 does not match its payload, or at the end-of-file marker (a write
//        of nothing past offset 0) the whole file's CRC-32 does not match fileCRC32
//   -106 no SD card
//   -109 the card's directory could not be written
//   -113 the rename found a temporary file missing (nothing is renamed)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/board.h"
#include "sim/stm32.h"

namespace sim {

namespace {

enum : uint16_t { kRootFilesDelete = 161, kRootFileWrite = 162, kRootFilesRenameAndReboot = 163 };

constexpr int16_t kErrIllegalParam = -103, kErrCorrupt = -104, kErrNoCard = -106,
                  kErrPersistent = -109, kErrMissing = -113;
constexpr size_t kName = 13, kWriteHeader = 40;
constexpr uint64_t kRebootOutageUs = 300000;

const char* const kFinalNames[4] = {"qvr8k_fw.bin", "qvr8k_hw.udf", "qvr8k_w1.udf",
                                    "qvr8k_w2.udf"};
const char* const kTempNames[4] = {"qvr8k_fw.tmp", "qvr8k_hw.tmp", "qvr8k_w1.tmp",
                                   "qvr8k_w2.tmp"};

uint32_t le32(const std::vector<uint8_t>& m, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && off + i < m.size(); i++) v |= uint32_t(m[off + i]) << (8 * i);
  return v;
}

void put16(std::vector<uint8_t>& m, size_t off, int16_t v) {
  if (off + 2 > m.size()) return;
  m[off] = uint8_t(uint16_t(v));
  m[off + 1] = uint8_t(uint16_t(v) >> 8);
}

// The 13-byte field's name; "" when it is not terminated within the field.
std::string name_at(const std::vector<uint8_t>& m, size_t off) {
  std::string s;
  for (size_t i = 0; i < kName && off + i < m.size(); i++) {
    if (m[off + i] == 0) return s;
    s += char(m[off + i]);
  }
  return "";
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0xFFFFFFFFu) {
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int b = 0; b < 8; b++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

int index_of(const char* const names[4], const std::string& name) {
  for (int i = 0; i < 4; i++)
    if (name == names[i]) return i;
  return -1;
}

}  // namespace

void Stm32::fail_root_file_request(uint16_t command, int16_t error_code, int count) {
  std::lock_guard<std::mutex> g(m_);
  root_fault_command_ = command;
  root_fault_code_ = error_code;
  root_fault_count_ = count;
}

int Stm32::update_reboots() const {
  std::lock_guard<std::mutex> g(m_);
  return update_reboots_;
}

bool Stm32::update_answer(uint16_t command, std::vector<uint8_t>& m, bool take_effect) {
  if (command != kRootFileWrite && command != kRootFilesDelete &&
      command != kRootFilesRenameAndReboot)
    return false;
  const size_t code_at = command == kRootFileWrite ? 24 : 12;
  auto answer = [&](int16_t code) {
    put16(m, code_at, code);
    return true;
  };
  if (!take_effect) return answer(0);
  if (root_fault_count_ > 0 && root_fault_command_ == command) {
    root_fault_count_--;
    return answer(root_fault_code_);
  }
  const std::string dir = board_.sdcard().dir();
  if (!config_.sd.present || dir.empty()) return answer(kErrNoCard);
  std::error_code ec;

  if (command == kRootFilesDelete) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; i++) {
      std::string n = name_at(m, 14 + kName * i);
      if (n.empty()) continue;
      if (index_of(kTempNames, n) < 0 && index_of(kFinalNames, n) < 0)
        return answer(kErrIllegalParam);  // only update files go this way
      names.push_back(n);
    }
    for (const std::string& n : names) std::filesystem::remove(dir + "/" + n, ec);
    return answer(0);
  }

  if (command == kRootFileWrite) {
    std::string name = name_at(m, 26);
    if (index_of(kTempNames, name) < 0) return answer(kErrIllegalParam);
    uint32_t offset = le32(m, 12), chunk_crc = le32(m, 16), file_crc = le32(m, 20);
    size_t length = m.size() - kWriteHeader;
    const uint8_t* payload = m.data() + kWriteHeader;
    std::string path = dir + "/" + name;
    uint64_t size = std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec)
                                                               : 0;
    if (offset > size) return answer(kErrIllegalParam);
    if (length == 0 && offset > 0) {
      // The end-of-file marker (the module sends one after a last chunk of 1400 bytes): the
      // whole file must be what the module announced. An empty chunk in the middle of a file
      // is taken for one too.
      if (offset != size) return answer(kErrIllegalParam);
      std::ifstream f(path, std::ios::binary);
      std::vector<uint8_t> all((std::istreambuf_iterator<char>(f)), {});
      if (~crc32(all.data(), all.size()) != file_crc) return answer(kErrCorrupt);
      return answer(0);
    }
    if (length > 0 && ~crc32(payload, length) != chunk_crc) return answer(kErrCorrupt);
    // A write at offset 0 begins the file anew.
    std::fstream f(path, offset == 0 ? std::ios::binary | std::ios::out | std::ios::trunc
                                     : std::ios::binary | std::ios::in | std::ios::out);
    if (!f) return answer(kErrPersistent);
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(payload), static_cast<std::streamsize>(length));
    f.close();
    if (!f) return answer(kErrPersistent);
    return answer(0);
  }

  // Rename and reboot: each temporary name onto its final name, all four or none.
  for (int i = 0; i < 4; i++) {
    if (name_at(m, 14 + kName * i) != kTempNames[i] || name_at(m, 66 + kName * i) != kFinalNames[i])
      return answer(kErrIllegalParam);
    if (!std::filesystem::is_regular_file(dir + "/" + kTempNames[i], ec)) return answer(kErrMissing);
  }
  for (int i = 0; i < 4; i++) {
    std::filesystem::rename(dir + "/" + kTempNames[i], dir + "/" + kFinalNames[i], ec);
    if (ec) return answer(kErrPersistent);
  }
  // The answer goes out, then the STM32 is away for a moment.
  uint64_t answer_by = camhost::time_now() + config_.answer_delay_max_us;
  down_until_ = answer_by + kRebootOutageUs;
  update_reboots_++;
  if (on_note) on_note("update files renamed into place; rebooting");
  later(down_until_, [this] { finish_update_reboot(); });
  return answer(0);
}

void Stm32::finish_update_reboot() {
  {
    std::lock_guard<std::mutex> g(m_);
    const std::string dir = board_.sdcard().dir();
    for (int i = 0; i < 2; i++) {
      std::string path = dir + "/" + kFinalNames[i];
      std::error_code ec;
      if (!std::filesystem::is_regular_file(path, ec)) continue;
      uint64_t size = std::filesystem::file_size(path, ec);
      std::filesystem::remove(path, ec);
      if (on_note)
        on_note(std::string(i == 0 ? "installed its own firmware " : "installed the FPGA's ") +
                kFinalNames[i] + " (" + std::to_string(size) + " bytes) and deleted it");
    }
  }
  st_rebooted();
}

}  // namespace sim
