// The bulk data path end to end in virtual time: camserver asks over TCP, the firmware has the
// STM32 start the FPGA, SPI transfers land in TX buffers and leave through lwIP and the link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bulk_fixture.h"

namespace {

using camserver::Bytes;

TEST_F(Bulk, WholeFilesOfEverySizeArriveByteIdenticalWithoutACopy) {
  const size_t sizes[] = {0, 1, 2047, 2048, 2049, 3 * 1024 * 1024 + 17};
  for (size_t n : sizes) card.Write("F" + std::to_string(n) + ".BIN", Pattern(n, uint32_t(n)));
  ASSERT_TRUE(OpenAndConnect());
  for (size_t n : sizes) {
    Bytes got;
    int16_t result = 1;
    bool ok = false;
    OnKernel([&] { ok = server->bulk().get_file("F" + std::to_string(n) + ".BIN", &got, &result, nullptr); });
    ASSERT_TRUE(ok) << n;
    EXPECT_EQ(result, 0) << n;
    EXPECT_TRUE(got == Pattern(n, uint32_t(n))) << "size " << n << " got " << got.size();
  }
  EXPECT_EQ(BytesCopied(), 0u) << "2048-byte transfers land straight in TX buffers";
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, TheDirectoryListsTheCardAndEndsWithAnEmptyMessage) {
  for (int i = 0; i < 40; i++) card.Write("N" + std::to_string(i) + ".TXT", Pattern(i, i));
  ASSERT_TRUE(OpenAndConnect());
  std::vector<camserver::DirEntry> entries;
  int16_t result = 1;
  bool ok = false;
  OnKernel([&] { ok = server->bulk().list("", &entries, &result); });
  ASSERT_TRUE(ok);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(entries.size(), 41u);
  EXPECT_EQ(entries[0].name, "N0.TXT");
  EXPECT_EQ(entries.back().name, "REC1.MJP");
  EXPECT_TRUE(Logged("received 41 files in dirList1"));
}

TEST_F(Bulk, AnEmptyCardListsNoFiles) {
  TempCard empty;
  board.sdcard().set_dir(empty.path);
  ASSERT_TRUE(OpenAndConnect());
  std::vector<camserver::DirEntry> entries;
  int16_t result = 1;
  bool ok = false;
  OnKernel([&] { ok = server->bulk().list("", &entries, &result); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(entries.empty());
}

TEST_F(Bulk, BlocksFramesAndFileInfoComeFromTheCardAndMissingOnesCarryTheirErrors) {
  Bytes file = Pattern(10000, 7);
  card.Write("DATA.BIN", file);
  sim::SdCard reader(card.path);
  std::vector<uint8_t> frame2;
  ASSERT_EQ(reader.frame("REC1.MJP", 2, &frame2), sim::kSdOk);
  ASSERT_TRUE(OpenAndConnect());
  camserver::Bulk& b = server->bulk();
  struct Case {
    const char* what;
    std::function<bool(Bytes*, int16_t*)> ask;
    int16_t result;
    Bytes expected;
  };
  std::vector<Case> cases = {
      {"a block at 5000", [&](Bytes* d, int16_t* r) { return b.get_block("DATA.BIN", 5000, 3000, d, r); },
       0, Bytes(file.begin() + 5000, file.begin() + 8000)},
      {"a block over the end", [&](Bytes* d, int16_t* r) { return b.get_block("DATA.BIN", 9000, 3000, d, r); },
       0, Bytes(file.begin() + 9000, file.end())},
      {"frame 2", [&](Bytes* d, int16_t* r) { return b.get_frame("REC1.MJP", 2, d, r); }, 0,
       Bytes(frame2.begin(), frame2.end())},
      {"frame 9 of 4", [&](Bytes* d, int16_t* r) { return b.get_frame("REC1.MJP", 9, d, r); }, -103, {}},
      {"a missing file", [&](Bytes* d, int16_t* r) { return b.get_file("NONE.BIN", d, r, nullptr); }, -113, {}},
  };
  for (Case& c : cases) {
    Bytes got;
    int16_t result = 1;
    bool ok = false;
    OnKernel([&] { ok = c.ask(&got, &result); });
    ASSERT_TRUE(ok) << c.what;
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_TRUE(got == c.expected) << c.what << ": " << got.size() << " bytes";
  }
  camserver::FileInfo info;
  int16_t result = 1;
  OnKernel([&] { b.file_info("REC1.MJP", &info, &result); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(info.frames, 4u);
  OnKernel([&] { b.file_info("NONE.BIN", &info, &result); });
  EXPECT_EQ(result, -113);
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, LiveViewStreamsJpegFramesThenTheEndMarkerWithTheRequestsSequenceNumber) {
  ASSERT_TRUE(OpenAndConnect());
  std::vector<Bytes> frames;
  int count = 0;
  bool ended = false;
  OnKernel([&] {
    ended = server->bulk().live(3, [&](const Bytes& f) { frames.push_back(f); }, &count);
  });
  EXPECT_TRUE(ended);
  EXPECT_GE(count, 10) << "about 15 frames a second for 3 s";
  for (const Bytes& f : frames) EXPECT_TRUE(WholeJpeg(f)) << f.size() << " bytes";
  EXPECT_EQ(BytesCopied(), 0u);
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

// The bulk commands the module sent the STM32, in order.
std::vector<uint16_t> BulkRequests(const sim::Stm32& stm32) {
  std::vector<uint16_t> out;
  for (const auto& r : stm32.requests())
    if (r.command == 54 || r.command == 55 || (r.command >= 168 && r.command <= 171))
      out.push_back(r.command);
  return out;
}

TEST_F(Bulk, SpiSilenceTimesOutIsCountedAnsweredWithATemporaryErrorAndTheChannelCleared) {
  card.Write("A.BIN", Pattern(5000, 3));
  ASSERT_TRUE(OpenAndConnect());
  sim::FpgaFaults f;
  f.silent = true;
  board.fpga().set_faults(f);
  Bytes got{1};
  int16_t result = 0;
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, -110);
  EXPECT_TRUE(got.empty()) << "the header alone";
  board.fpga().set_faults(sim::FpgaFaults{});
  Serve(5 * kSec);
  EXPECT_TRUE(Logged("ERROR!! timeout after 60000 ms for spiDataSrcFlag_ReadFileContents"));
  EXPECT_TRUE(Logged("SPI cleared successfully"));
  EXPECT_EQ(BulkRequests(board.stm32()), (std::vector<uint16_t>{170, 54, 55}))
      << "the read, ClearSpi, then the single block";
  camserver::Reply stats = Command(camserver::kGetStatisticsReport);
  ASSERT_FALSE(stats.error());
  EXPECT_EQ(camserver::get32(stats.bytes, 32 + 44), 1u) << "SPIReadTimeout_count";
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(5000, 3));
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, TransfersAheadOfTheHeaderAreSkippedAndTheMessageStillArrives) {
  card.Write("A.BIN", Pattern(5000, 4));
  ASSERT_TRUE(OpenAndConnect());
  struct Case {
    const char* what;
    sim::FpgaFaults faults;
    const char* logged;
  };
  Case cases[] = {{"a wrong flag", {}, "Finally found valid header after 3 spi reads"},
                  {"a wrong signature", {}, "Finally found valid header after 2 spi reads"}};
  cases[0].faults.junk_before = 3;
  cases[1].faults.bad_signature_before = 2;
  for (const Case& c : cases) {
    board.fpga().set_faults(c.faults);
    Bytes got;
    int16_t result = 1;
    OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
    EXPECT_EQ(result, 0) << c.what;
    EXPECT_TRUE(got == Pattern(5000, 4)) << c.what;
    EXPECT_TRUE(Logged(c.logged)) << c.what;
  }
}

TEST_F(Bulk, AnStm32ErrorReachesTheServerInTheReplysResult) {
  card.Write("A.BIN", Pattern(100, 5));
  ASSERT_TRUE(OpenAndConnect());
  board.stm32().sd_card_removed();
  Bytes got;
  int16_t result = 0;
  std::vector<camserver::DirEntry> entries;
  int16_t dir_result = 0;
  OnKernel([&] {
    server->bulk().get_file("A.BIN", &got, &result, nullptr);
    server->bulk().list("", &entries, &dir_result);
  });
  EXPECT_EQ(result, -106) << "no card";
  EXPECT_EQ(dir_result, -106) << "a failed listing gets the error alone, no end marker";
  EXPECT_TRUE(server->bulk().unclaimed().empty());
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, TheServerClosingMidTransferLeavesTheCameraReadyForTheNextConnection) {
  card.Write("BIG.BIN", Pattern(2000000, 8));
  card.Write("A.BIN", Pattern(3000, 9));
  ASSERT_TRUE(OpenAndConnect());
  OnKernel([&] {
    StartBigDownloadAndTakeSome(*server);
    server->bulk().close();
    server->serve_until(server->waiter().now_us() + 20 * kSec);
  });
  ASSERT_TRUE(ReconnectsAndDownloads("A.BIN", Pattern(3000, 9)));
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, AReconnectionWhileAReplyIsInProgressNeitherHangsNorMixesTheOldReplyIn) {
  card.Write("BIG.BIN", Pattern(2000000, 10));
  card.Write("A.BIN", Pattern(5000, 11));
  ASSERT_TRUE(OpenAndConnect());
  Bytes got;
  int16_t result = 1;
  bool ok = false;
  OnKernel([&] {
    StartBigDownloadAndTakeSome(*server);
    camserver::Bytes body;
    camserver::put16(body, 0, server->bulk().listen_port());
    camserver::put16(body, 2, 0);
    server->command(26, body);  // StartTCPConnection again: the camera replaces the connection
    server->serve_until(server->waiter().now_us() + 20 * kSec);
    ok = server->bulk().connected() && server->bulk().get_file("A.BIN", &got, &result, nullptr);
  });
  ASSERT_TRUE(ok);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(5000, 11)) << got.size();
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

class BulkTinyTransfers : public Bulk {
 protected:
  void SetUp() override {
    Bulk::SetUp();
    board.stm32().set_spi_transfer_length(8);  // cannot even hold the header
  }
};

TEST_F(BulkTinyTransfers, ATransferLengthBelowTheHeaderIsRefusedAndTheRequestAnsweredWithAnError) {
  card.Write("A.BIN", Pattern(100, 12));
  ASSERT_TRUE(OpenAndConnect());
  Bytes got;
  int16_t result = 0;
  bool ok = false;
  OnKernel([&] { ok = server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  ASSERT_TRUE(ok);
  EXPECT_EQ(result, -110);
  EXPECT_TRUE(Logged("ERROR!! invalid spiXferLen 8"));
}

class BulkCopyPath : public Bulk {
 protected:
  void SetUp() override {
    Bulk::SetUp();
    board.stm32().set_spi_transfer_length(1024);
  }
};

TEST_F(BulkCopyPath, With1024ByteTransfersTheFileArrivesThroughTheCopyPath) {
  card.Write("A.BIN", Pattern(70000, 6));
  ASSERT_TRUE(OpenAndConnect());
  Bytes got;
  int16_t result = 1;
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(70000, 6));
  EXPECT_EQ(BytesCopied(), 70000u + 12);
}

}  // namespace
