// The STM32 and the FPGA serving bulk data from the SD card directory: the answers on the UART
// and the messages on SPI, read as the module reads them.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <fstream>
#include <string>
#include <vector>

#include "driver_side.h"
#include "sim/board.h"
#include "sim/sdcard.h"
#include "spi_slave.h"

namespace {

using simtest::Decode;
using simtest::GetLe;
using simtest::ModuleSide;
using simtest::PutLe;
using simtest::Request;

constexpr uint16_t kSetLiveViewMode = 29, kClearSpi = 54, kSendSingleBlock = 55,
                   kReadBlock = 168, kReadContents = 170, kReadFrame = 171, kFileInfo = 172,
                   kDirectory = 185;
constexpr uint32_t kFlagLiveView = 0x6765706A, kFlagFrame = 1, kFlagBlock = 3,
                   kFlagContents = 4, kFlagSingleBlock = 5, kFlagDir = 6;

std::vector<uint8_t> Named(uint16_t command, uint32_t sig, size_t size, const std::string& name,
                           std::initializer_list<std::pair<size_t, uint32_t>> fields = {}) {
  std::vector<uint8_t> m = Request(command, sig, size);
  for (size_t i = 0; i < name.size(); i++) m[12 + i] = static_cast<uint8_t>(name[i]);
  for (auto [off, v] : fields) PutLe(m, off, v, 4);
  return m;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

// The module's SPI side: reads transfers one at a time, as the firmware arms them.
os_semaphore g_spi_done;
uint32_t g_spi_len;
void OnSpi(uint32_t len) {
  g_spi_len = len;
  os_sem_post(&g_spi_done);
}

struct SpiReader {
  spi_slave* s;
  uint32_t xfer;
  explicit SpiReader(uint32_t x) : xfer(x) {
    os_sem_init(&g_spi_done, 0);
    s = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    spi_slave_set_rx_cb(s, OnSpi);
  }
  ~SpiReader() { spi_slave_close(s); }
  // One transfer; empty on time-out.
  std::vector<uint8_t> Transfer(uint32_t timeout_us = 2000000) {
    std::vector<uint8_t> buf(xfer);
    if (spi_slave_read(s, buf.data(), buf.size()) != 0) return {};
    if (os_sem_wait_timeout(&g_spi_done, timeout_us) != 0) {
      spi_slave_read_abort(s);
      return {};
    }
    buf.resize(g_spi_len);
    return buf;
  }
  // A whole message: the header's flag and signature, and the payload.
  bool Message(uint32_t* flag, uint32_t* sig, std::vector<uint8_t>* payload) {
    std::vector<uint8_t> first = Transfer();
    if (first.size() < 12) return false;
    *flag = GetLe(first, 0, 4);
    *sig = GetLe(first, 8, 4);
    int32_t len = static_cast<int32_t>(GetLe(first, 4, 4));
    if (len < 12) return false;
    std::vector<uint8_t> all(first.begin(), first.end());
    while (all.size() < size_t(len)) {
      std::vector<uint8_t> more = Transfer();
      if (more.empty()) return false;
      all.insert(all.end(), more.begin(), more.end());
    }
    payload->assign(all.begin() + 12, all.begin() + len);
    return true;
  }
};

class SdCardBoard : public ::testing::Test {
 protected:
  SdCardBoard() {
    WriteFile(dir.path() + "/A.BIN", Pattern(5000));
    WriteFile(dir.path() + "/EMPTY.BIN", {});
    std::vector<uint8_t> rec;
    for (int i = 0; i < 3; i++) {
      auto j = sim::test_card_jpeg(64, 48, "T", std::to_string(i));
      rec.insert(rec.end(), j.begin(), j.end());
    }
    WriteFile(dir.path() + "/REC.MJP", rec);
    board = std::make_unique<sim::Board>(Config());
  }
  sim::BoardConfig Config() {
    sim::BoardConfig c;
    c.sdcard_dir = dir.path();
    return c;
  }
  void AsModule(const std::function<void(ModuleSide&, SpiReader&)>& fn) {
    simtest::AsModule(inst, [&](ModuleSide& m) {
      SpiReader spi(2048);
      fn(m, spi);
    });
  }

  simtest::TempDir dir;
  camhost::Instance inst{simtest::VirtualTime()};
  std::unique_ptr<sim::Board> board;
};

TEST_F(SdCardBoard, FileContentsComeOverSpiAsOneMessageWithTheRequestsSignature) {
  std::vector<uint8_t> answer, payload;
  uint32_t flag = 0, sig = 0;
  AsModule([&](ModuleSide& m, SpiReader& spi) {
    answer = Decode(m.Transact(Named(kReadContents, 41, 25, "A.BIN")));
    ASSERT_TRUE(spi.Message(&flag, &sig, &payload));
  });
  EXPECT_EQ(simtest::Result(answer), 0);
  EXPECT_EQ(flag, kFlagContents);
  EXPECT_EQ(sig, 41u);
  EXPECT_EQ(payload, Pattern(5000));
  EXPECT_EQ(board->fpga().transfers_sent(), 3u) << "5012 bytes in 2048-byte transfers";
}

TEST_F(SdCardBoard, TheCardsRequestsAnswerFromTheDirectory) {
  struct Case {
    const char* what;
    std::vector<uint8_t> request;
    int32_t result;
    uint32_t flag;
    std::vector<uint8_t> payload;  // when the result is 0
  };
  std::vector<uint8_t> rec_frame1;
  board->sdcard().frame("REC.MJP", 1, &rec_frame1);
  std::vector<uint8_t> all = Pattern(5000);
  std::vector<uint8_t> block(all.begin() + 100, all.begin() + 400);
  std::vector<Case> cases = {
      {"a block", Named(kReadBlock, 5, 33, "A.BIN", {{25, 100}, {29, 300}}), 0, kFlagBlock, block},
      {"a block past the end", Named(kReadBlock, 6, 33, "A.BIN", {{25, 6000}, {29, 10}}), -103, 0,
       {}},
      {"an empty file", Named(kReadContents, 7, 25, "EMPTY.BIN"), 0, kFlagContents, {}},
      {"a missing file", Named(kReadContents, 8, 25, "NONE.BIN"), -113, 0, {}},
      {"frame 1", Named(kReadFrame, 9, 29, "REC.MJP", {{25, 1}}), 0, kFlagFrame, rec_frame1},
      {"frame 3 of 3", Named(kReadFrame, 10, 29, "REC.MJP", {{25, 3}}), -103, 0, {}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> answer, payload;
    uint32_t flag = 0, sig = 0;
    AsModule([&](ModuleSide& m, SpiReader& spi) {
      answer = Decode(m.Transact(c.request));
      if (simtest::Result(answer) == 0) spi.Message(&flag, &sig, &payload);
    });
    EXPECT_EQ(simtest::Result(answer), c.result) << c.what;
    if (c.result != 0) continue;
    EXPECT_EQ(flag, c.flag) << c.what;
    EXPECT_EQ(payload, c.payload) << c.what;
  }
  EXPECT_EQ(board->fpga().pending_transfers(), 0u);
}

TEST_F(SdCardBoard, TheDirectoryListsEachFileWithItsSizeAndFileInfoCountsFrames) {
  std::vector<uint8_t> info, payload;
  uint32_t flag = 0, sig = 0;
  AsModule([&](ModuleSide& m, SpiReader& spi) {
    Decode(m.Transact(Named(kDirectory, 3, 49, "")));
    ASSERT_TRUE(spi.Message(&flag, &sig, &payload));
    info = Decode(m.Transact(Named(kFileInfo, 4, 40, "REC.MJP")));
  });
  EXPECT_EQ(flag, kFlagDir);
  ASSERT_EQ(payload.size(), 3u * 24);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&payload[0])), "A.BIN");
  EXPECT_EQ(GetLe(payload, 16, 4), 5000u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&payload[24])), "EMPTY.BIN");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&payload[48])), "REC.MJP");
  EXPECT_NE(GetLe(payload, 20, 4), 0u) << "a FAT time stamp";
  EXPECT_EQ(simtest::Result(info), 0);
  EXPECT_EQ(GetLe(info, 36, 4), 3u) << "frames";
}

TEST_F(SdCardBoard, LiveViewStreamsPacedJpegsWithTheStartsSignatureUntilStopped) {
  board->stm32().set_live_view_fps(10);
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint64_t> times;
  bool quiet_after_stop = false;
  AsModule([&](ModuleSide& m, SpiReader& spi) {
    Decode(m.Transact(Request(kSetLiveViewMode, 20, 20, {5, 0xFFFFFF})));
    for (int i = 0; i < 3; i++) {
      std::vector<uint8_t> p;
      uint32_t flag = 0, sig = 0;
      ASSERT_TRUE(spi.Message(&flag, &sig, &p));
      EXPECT_EQ(flag, kFlagLiveView);
      EXPECT_EQ(sig, 20u);
      frames.push_back(p);
      times.push_back(camhost::time_now());
    }
    os_sleep_us(150000, OS_TIMEOUT_NO_WAKEUP);  // a frame is prepared and waits
    Decode(m.Transact(Request(kSetLiveViewMode, 31, 20, {5, 0})));
    quiet_after_stop = spi.Transfer(500000).empty();
  });
  EXPECT_TRUE(quiet_after_stop) << "the prepared frame is dropped";
  for (size_t i = 1; i < times.size(); i++) EXPECT_GE(times[i] - times[i - 1], 90000u);
  tjhandle tj = tjInitDecompress();
  for (const auto& f : frames) {
    int w = 0, h = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, f.data(), static_cast<unsigned long>(f.size()), &w, &h, &sub,
                                  &cs),
              0);
    EXPECT_EQ(w, 768);
    EXPECT_EQ(h, 432);
  }
  tjDestroy(tj);
}

TEST_F(SdCardBoard, ClearSpiDropsWhatIsQueuedAndTheSingleBlockFollows) {
  uint32_t first = 0;
  AsModule([&](ModuleSide& m, SpiReader& spi) {
    Decode(m.Transact(Named(kReadContents, 50, 25, "A.BIN")));
    ASSERT_FALSE(spi.Transfer().empty());  // the module takes one transfer, then gives up
    Decode(m.Transact(Request(kClearSpi, 51, 12)));
    Decode(m.Transact(Request(kSendSingleBlock, 52, 16)));
    first = GetLe(spi.Transfer(), 0, 4);
  });
  EXPECT_EQ(first, kFlagSingleBlock);
  EXPECT_EQ(board->fpga().pending_transfers(), 0u);
}

TEST_F(SdCardBoard, FaultHooksPutJunkAheadOfTheHeaderOrCutTransfersShort) {
  std::vector<uint8_t> junk, real, cut;
  AsModule([&](ModuleSide& m, SpiReader& spi) {
    sim::FpgaFaults f;
    f.junk_before = 1;
    board->fpga().set_faults(f);
    Decode(m.Transact(Named(kReadContents, 60, 25, "EMPTY.BIN")));
    junk = spi.Transfer();
    real = spi.Transfer();
    f = {};
    f.short_transfers = 1;
    board->fpga().set_faults(f);
    Decode(m.Transact(Named(kReadContents, 61, 25, "EMPTY.BIN")));
    cut = spi.Transfer();
  });
  EXPECT_NE(GetLe(junk, 0, 4), kFlagContents);
  EXPECT_EQ(GetLe(real, 0, 4), kFlagContents);
  EXPECT_EQ(cut.size(), 1024u);
}

TEST(SdCardSamples, ANewCardGetsRecordingsOfTestCardFrames) {
  simtest::TempDir dir;
  ASSERT_TRUE(sim::SdCard::make_samples(dir.path() + "/card"));
  sim::SdCard card(dir.path() + "/card");
  int recordings = 0;
  for (const sim::SdFile& file : card.list()) {
    sim::SdFile f;
    uint32_t frames = 0;
    ASSERT_EQ(card.info(file.name, &f, &frames), sim::kSdOk);
    if (frames > 1) recordings++;
  }
  EXPECT_GE(recordings, 2);
}

}  // namespace
