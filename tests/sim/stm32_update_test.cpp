// The STM32 writing, deleting and renaming the update files on the SD card as the module asks,
// with the errorCode of every refusal, and its reboot after the rename.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver_side.h"
#include "sim/board.h"

namespace {

using simtest::Decode;
using simtest::GetLe;
using simtest::ModuleSide;
using simtest::PutLe;
using simtest::Request;

constexpr uint16_t kDelete = 161, kWrite = 162, kRename = 163;
const char* const kTemp[4] = {"qvr8k_fw.tmp", "qvr8k_hw.tmp", "qvr8k_w1.tmp", "qvr8k_w2.tmp"};
const char* const kFinal[4] = {"qvr8k_fw.bin", "qvr8k_hw.udf", "qvr8k_w1.udf", "qvr8k_w2.udf"};

uint32_t Crc(const std::vector<uint8_t>& b) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t x : b) {
    crc ^= x;
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutName(std::vector<uint8_t>& m, size_t at, const std::string& name) {
  for (size_t i = 0; i < name.size(); i++) m[at + i] = static_cast<uint8_t>(name[i]);
}

std::vector<uint8_t> Write(uint32_t sig, const std::string& name, uint32_t offset,
                           const std::vector<uint8_t>& payload, uint32_t file_crc = 0) {
  std::vector<uint8_t> m = Request(kWrite, sig, 40 + payload.size(), {offset, Crc(payload), file_crc});
  PutName(m, 26, name);
  std::copy(payload.begin(), payload.end(), m.begin() + 40);
  return m;
}

std::vector<uint8_t> Rename(uint32_t sig) {
  std::vector<uint8_t> m = Request(kRename, sig, 120);
  for (int i = 0; i < 4; i++) {
    PutName(m, 14 + 13 * i, kTemp[i]);
    PutName(m, 66 + 13 * i, kFinal[i]);
  }
  return m;
}

int16_t ErrorCode(const std::vector<uint8_t>& answer, size_t at) {
  return static_cast<int16_t>(GetLe(answer, at, 2));
}

class Stm32Update : public ::testing::Test {
 protected:
  Stm32Update() {
    std::string pattern = (std::filesystem::temp_directory_path() / "camsd-XXXXXX").string();
    if (mkdtemp(pattern.data())) dir = pattern;
    board.sdcard().set_dir(dir);
  }
  ~Stm32Update() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  // The errorCode the STM32 answers `request` with (at `at` in the answer).
  int16_t Ask(const std::vector<uint8_t>& request, size_t at) {
    int16_t code = 1;
    simtest::AsModule(inst, [&](ModuleSide& m) { code = ErrorCode(Decode(m.Transact(request)), at); });
    return code;
  }
  bool Exists(const std::string& name) { return std::filesystem::exists(dir + "/" + name); }
  std::vector<uint8_t> Read(const std::string& name) {
    std::ifstream f(dir + "/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
  }

  camhost::Instance inst{simtest::VirtualTime()};
  sim::Board board;
  std::string dir;
};

TEST_F(Stm32Update, WritesRefuseWhatWouldSpoilAFileWithTheirOwnCodes) {
  const std::vector<uint8_t> a(1400, 0x11), b(600, 0x22);
  std::vector<uint8_t> all = a;
  all.insert(all.end(), b.begin(), b.end());
  std::vector<uint8_t> bad_crc = Write(5, "qvr8k_w1.tmp", 0, a);
  bad_crc[16] ^= 1;
  struct Case {
    const char* what;
    std::vector<uint8_t> request;
    int16_t code;
  } cases[] = {
      {"the first chunk", Write(1, "qvr8k_w1.tmp", 0, a), 0},
      {"the next one", Write(2, "qvr8k_w1.tmp", 1400, b), 0},
      {"a write that leaves a hole", Write(3, "qvr8k_w1.tmp", 2100, b), -103},
      {"a name that is no update file", Write(4, "TL000001.MJP", 0, a), -103},
      {"a chunk CRC that does not hold", bad_crc, -104},
      {"the end marker with a wrong file CRC", Write(6, "qvr8k_w1.tmp", 2000, {}, 1), -104},
      {"the end marker elsewhere than the end", Write(7, "qvr8k_w1.tmp", 1400, {}, Crc(all)), -103},
      {"the end marker", Write(8, "qvr8k_w1.tmp", 2000, {}, Crc(all)), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Ask(c.request, 24), c.code) << c.what;
  EXPECT_EQ(Read("qvr8k_w1.tmp"), all);
  EXPECT_FALSE(Exists("TL000001.MJP"));
}

TEST_F(Stm32Update, DeletesOnlyUpdateFiles) {
  std::ofstream(dir + "/qvr8k_fw.bin") << "x";
  std::ofstream(dir + "/NOTES.TXT") << "x";
  std::vector<uint8_t> m = Request(kDelete, 1, 120);
  PutName(m, 14, "qvr8k_fw.bin");
  PutName(m, 27, "qvr8k_w2.tmp");  // not there: nothing to do
  EXPECT_EQ(Ask(m, 12), 0);
  EXPECT_FALSE(Exists("qvr8k_fw.bin"));
  PutName(m, 40, "NOTES.TXT");
  EXPECT_EQ(Ask(m, 12), -103);
  EXPECT_TRUE(Exists("NOTES.TXT"));
}

TEST_F(Stm32Update, ARenameNeedsAllFourFilesThenTheStm32RebootsAndInstallsItsOwn) {
  for (int i = 0; i < 3; i++) std::ofstream(dir + "/" + kTemp[i]) << kTemp[i];
  EXPECT_EQ(Ask(Rename(1), 12), -113);
  EXPECT_TRUE(Exists(kTemp[0]));
  std::ofstream(dir + "/" + kTemp[3]) << kTemp[3];
  EXPECT_EQ(Ask(Rename(2), 12), 0);
  EXPECT_EQ(board.stm32().update_reboots(), 1);
  // Away for a moment: no answer.
  bool answered = true;
  simtest::AsModule(inst, [&](ModuleSide& m) {
    m.Signal(true);
    answered = m.WaitForStm32(200000);
    m.Signal(false);
  });
  EXPECT_FALSE(answered);
  inst.run_for(1000000);
  EXPECT_TRUE(board.stm32().status_word() & sim::kStatusStRebooted);
  EXPECT_FALSE(Exists("qvr8k_fw.bin")) << "installed and deleted";
  EXPECT_FALSE(Exists("qvr8k_hw.udf"));
  EXPECT_TRUE(Exists("qvr8k_w1.udf"));
  EXPECT_TRUE(Exists("qvr8k_w2.udf"));
  for (const char* t : kTemp) EXPECT_FALSE(Exists(t));
}

TEST_F(Stm32Update, AFaultHookAnswersTheChosenCodeOnceAndChangesNothing) {
  board.stm32().fail_root_file_request(kWrite, -109);
  EXPECT_EQ(Ask(Write(1, "qvr8k_fw.tmp", 0, {1, 2, 3}), 24), -109);
  EXPECT_FALSE(Exists("qvr8k_fw.tmp"));
  EXPECT_EQ(Ask(Write(2, "qvr8k_fw.tmp", 0, {1, 2, 3}), 24), 0);
}

}  // namespace
