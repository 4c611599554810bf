// An update pushed by the camera server, in virtual time: camserver sends the four update files
// in chunks over TCP, the firmware checks each against its file and has the STM32 write it to the
// SD card, the STM32 renames the files into place and reboots, the module reboots, takes its own
// two files over the UART, and the new image opens the next session.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bulk.h"
#include "camhost/flash.h"
#include "commands.h"
#include "system/update_fixture.h"
#include "udp_fixture.h"

namespace {

using camserver::Bytes;

constexpr uint16_t kWrite = 162, kDelete = 161, kRename = 163;

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

uint32_t Crc(const Bytes& b, size_t from = 0, size_t n = SIZE_MAX) {
  n = std::min(n, b.size() - from);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = from; i < from + n; i++) {
    crc ^= b[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "camupd-XXXXXX").string();
    if (mkdtemp(pattern.data())) path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  void Write(const std::string& name, const Bytes& data) const {
    std::ofstream f(path + "/" + name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  Bytes Read(const std::string& name) const {
    std::ifstream f(path + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }
  // The update files (final and temporary names) on it.
  std::set<std::string> UpdateFiles() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path)) {
      std::string n = e.path().filename().string();
      if (n.rfind("qvr8k_", 0) == 0) out.insert(n);
    }
    return out;
  }
  std::string path;
};

// One chunk as the server would send it; every field may be spoilt on purpose.
struct Chunk {
  uint32_t type;
  uint32_t size;
  uint32_t offset;
  Bytes payload;
  uint32_t file_crc;
  uint32_t payload_crc;
};

// Chunk `index` (of 1400 bytes) of `file`, with the right CRCs.
Chunk Piece(uint32_t type, const Bytes& file, size_t index) {
  size_t at = index * 1400, n = std::min<size_t>(1400, file.size() - at);
  Chunk c{type, static_cast<uint32_t>(file.size()), static_cast<uint32_t>(at),
          Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + n)),
          Crc(file), 0};
  c.payload_crc = Crc(c.payload);
  return c;
}

class UpdateChunks : public UdpWorld {
 protected:
  using UdpWorld::UdpWorld;
  void SetUp() override {
    UdpWorld::SetUp();
    board.sdcard().set_dir(card.path);
  }
  bool OpenAndConnect() {
    if (!Open()) return false;
    return Connect();
  }
  bool Connect() {
    bool ok = false;
    OnKernel([&] { ok = server->bulk().connect(60 * kSec); });
    return ok;
  }
  uint32_t NewAttempt() { return server->bulk().next_sequence(); }
  // Sends `c` under `seq`; the camera's reply's result (1000 when none came within 30 s).
  int Send(const Chunk& c, uint32_t seq) {
    Bytes f(20 + c.payload.size(), 0);
    camserver::put32(f, 0, c.type);
    camserver::put32(f, 4, c.size);
    camserver::put32(f, 8, c.offset);
    camserver::put32(f, 12, c.file_crc);
    camserver::put32(f, 16, c.payload_crc);
    std::copy(c.payload.begin(), c.payload.end(), f.begin() + 20);
    OnKernel([&] { server->bulk().send_with_sequence(camserver::kTcpRootFileWriteChunk, f, seq); });
    return Reply(seq);
  }
  int Reply(uint32_t seq, uint64_t timeout_us = 30 * kSec) {
    camserver::TcpMessage m;
    bool ok = false;
    OnKernel([&] {
      ok = server->bulk().wait_message(seq, camserver::kTcpRootFileWriteChunk, &m, timeout_us);
    });
    return ok ? m.result : 1000;
  }
  // Sends a whole file under `seq`: true when every chunk was answered 0.
  bool SendFile(uint32_t type, const Bytes& file, uint32_t seq) {
    size_t chunks = file.empty() ? 1 : (file.size() + 1399) / 1400;
    for (size_t i = 0; i < chunks; i++)
      if (Send(Piece(type, file, i), seq) != 0) return false;
    return true;
  }
  int Writes(size_t payload_bytes) {
    int n = 0;
    for (const auto& r : board.stm32().requests())
      n += r.command == kWrite && r.message.size() == 40 + payload_bytes;
    return n;
  }
  uint32_t FreeBuffers() {
    Serve(2 * kSec);
    return Symbol<uint32_t (*)()>("_Z16txAvailableCountv")();
  }

  TempDir card;
};

// ---- Rejections -------------------------------------------------------------------------------

struct Rejection {
  const char* what;
  std::function<void(sim::Board&)> arrange;
  // Chunks in order, each with the results the camera answers it with (a failure after a
  // written chunk is a second reply).
  std::vector<std::pair<Chunk, std::vector<int>>> chunks;
  const char* logged;
};

TEST_F(UpdateChunks, EveryRejectionDeletesTheUpdateFilesAndNothingReboots) {
  const Bytes a = Pattern(2800, 1), b = Pattern(4200, 3), small = Pattern(100, 2);
  Chunk bad_crc = Piece(1, a, 0);
  bad_crc.payload_crc ^= 1;
  Chunk bad_file_crc = Piece(2, small, 0);
  bad_file_crc.file_crc ^= 1;
  Chunk skipped = Piece(1, a, 1);
  skipped.offset = 1000;
  Chunk past_end = Piece(1, a, 0);
  past_end.size = 1000;
  Chunk other_size = Piece(1, a, 1);
  other_size.size = 2801;
  Chunk absurd = Piece(1, a, 0);
  absurd.size = 0xFFFFFFFFu;
  Chunk two_types = Piece(3, a, 0);
  const std::vector<Rejection> table = {
      {"a bad chunk CRC", nullptr, {{bad_crc, {-1}}}, "ERROR!! payload checksum 0x"},
      {"a bad file CRC", nullptr, {{bad_file_crc, {0, -1}}}, "ERROR!! unexpected file CRC32"},
      {"an offset out of order", nullptr, {{Piece(1, a, 0), {0}}, {skipped, {-1}}},
       "ERROR!! unexpected file offset 1000; expected 1400"},
      {"a repeated chunk", nullptr,
       {{Piece(1, b, 0), {0}}, {Piece(1, b, 1), {0}}, {Piece(1, b, 1), {-1}}},
       "ERROR!! unexpected file offset 1400; expected 2800"},
      {"a chunk past the file's end", nullptr, {{past_end, {-1}}},
       "ERROR!! chunk of 1400 bytes at offset 0 runs past the file size 1000"},
      {"another file size mid-file", nullptr, {{Piece(1, a, 0), {0}}, {other_size, {-1}}},
       "ERROR!! unexpected file size 2801; expected 2800"},
      {"a new file while the last is incomplete", nullptr,
       {{Piece(1, a, 0), {0}}, {Piece(2, small, 0), {-1}}},
       "ERROR!! file type 2 started while file type 1 is incomplete"},
      {"a file type started twice", nullptr,
       {{Piece(2, small, 0), {0}}, {Piece(2, small, 0), {-1}}},
       "ERROR!! file type 2 (qvr8k_hw.udf); already received or started"},
      {"an absurd file size", nullptr, {{absurd, {-1}}}, "ERROR!! file size 4294967295 above"},
      {"two file types at once", nullptr, {{two_types, {-1}}}, "ERROR!! invalid file type 3"},
      {"the STM32 failing a write",
       [](sim::Board& b) { b.stm32().fail_root_file_request(kWrite, -109); },
       {{Piece(1, a, 0), {-1}}}, "ERROR!! STM32 reported .errorCode -109"},
  };
  ASSERT_TRUE(OpenAndConnect());
  for (const Rejection& r : table) {
    SCOPED_TRACE(r.what);
    if (r.arrange) r.arrange(board);
    uint32_t seq = NewAttempt();
    for (const auto& [chunk, results] : r.chunks) {
      EXPECT_EQ(Send(chunk, seq), results[0]);
      for (size_t i = 1; i < results.size(); i++) EXPECT_EQ(Reply(seq), results[i]);
    }
    EXPECT_TRUE(Logged(r.logged)) << r.logged;
    EXPECT_TRUE(Logged("update failed; set last failed cmd sequence number: " +
                       std::to_string(seq)));
    EXPECT_TRUE(card.UpdateFiles().empty());
    EXPECT_EQ(inst.boots(), 1);
    EXPECT_EQ(board.stm32().update_reboots(), 0);
    EXPECT_EQ(FreeBuffers(), 15u);
    inst.clear_console();
  }
}

TEST_F(UpdateChunks, AFailedAttemptsNumberIsRefusedUntilTheSessionCloses) {
  const Bytes a = Pattern(3000, 3);
  ASSERT_TRUE(OpenAndConnect());
  NewAttempt();  // an earlier attempt that went well
  uint32_t seq = NewAttempt();
  Chunk bad = Piece(1, a, 0);
  bad.payload_crc ^= 1;
  ASSERT_EQ(Send(bad, seq), -1);
  int writes = board.stm32().count(kWrite), deletes = board.stm32().count(kDelete);
  EXPECT_EQ(Send(Piece(1, a, 0), seq), -1);
  EXPECT_EQ(Send(Piece(1, a, 0), seq - 1), -1);
  EXPECT_EQ(board.stm32().count(kWrite), writes) << "a refused chunk is not written";
  EXPECT_EQ(board.stm32().count(kDelete), deletes) << "nor does it touch the card";

  inst.run_for(40 * kSec);  // the server says nothing: the camera closes the session
  ASSERT_TRUE(Logged("sessionIsOpen: 0"));
  Serve(20 * kSec);
  ASSERT_TRUE(server->session().open);
  ASSERT_TRUE(Connect());
  EXPECT_EQ(Send(Piece(1, a, 0), seq), 0) << "the same number starts a new attempt now";
}

TEST_F(UpdateChunks, AnUnfinishedAttemptFailsAtTheNextAttemptsFirstChunk) {
  const Bytes a = Pattern(3000, 4);
  ASSERT_TRUE(OpenAndConnect());
  uint32_t first = NewAttempt();
  ASSERT_EQ(Send(Piece(1, a, 0), first), 0);
  uint32_t second = NewAttempt();
  EXPECT_EQ(Send(Piece(4, a, 0), second), -1);
  EXPECT_TRUE(Logged("ERROR!! file chunk has different cmdSequenceNumber"));
  EXPECT_TRUE(card.UpdateFiles().empty());
}

// ---- Chunks and end-of-file markers ---------------------------------------------------------

TEST_F(UpdateChunks, AFileOfTwoFullChunksEndsWithAZeroLengthWriteAndOneByteMoreNeedsNone) {
  ASSERT_TRUE(OpenAndConnect());
  uint32_t seq = NewAttempt();
  const Bytes exact = Pattern(2800, 6), longer = Pattern(2801, 7);
  ASSERT_TRUE(SendFile(1, exact, seq));
  EXPECT_EQ(Writes(0), 1);
  EXPECT_TRUE(Logged("sending 0-length chunk to signify EOF"));
  EXPECT_EQ(card.Read("qvr8k_fw.tmp"), exact);
  ASSERT_TRUE(SendFile(2, longer, seq));
  EXPECT_EQ(Writes(0), 1) << "2801 bytes end with a 1-byte chunk";
  EXPECT_EQ(Writes(1), 1);
  EXPECT_EQ(card.Read("qvr8k_hw.tmp"), longer);
  EXPECT_TRUE(Logged("new file \"qvr8k_hw.udf\" started"));
  EXPECT_TRUE(Logged("file \"qvr8k_hw.udf\" progress: 99%"));
}

TEST_F(UpdateChunks, TheFirstChunkAfterStartUpDeletesAllEightUpdateFilesFirst) {
  for (const char* n : {"qvr8k_fw.bin", "qvr8k_hw.udf", "qvr8k_w1.udf", "qvr8k_w2.udf",
                        "qvr8k_fw.tmp", "qvr8k_hw.tmp", "qvr8k_w1.tmp", "qvr8k_w2.tmp"})
    card.Write(n, Pattern(10, 8));
  card.Write("REC1.MJP", Pattern(10, 9));
  ASSERT_TRUE(OpenAndConnect());
  const Bytes a = Pattern(500, 10);
  ASSERT_EQ(Send(Piece(4, a, 0), NewAttempt()), 0);
  EXPECT_EQ(card.UpdateFiles(), std::set<std::string>{"qvr8k_w1.tmp"});
  EXPECT_EQ(card.Read("qvr8k_w1.tmp"), a);
  EXPECT_EQ(card.Read("REC1.MJP"), Pattern(10, 9)) << "other files stay";
  ASSERT_EQ(board.stm32().count(kDelete), 1);
}

TEST_F(UpdateChunks, AnEmptyChunkAtOffsetZeroStartsAFileWithAWriteOfNothing) {
  ASSERT_TRUE(OpenAndConnect());
  Chunk empty{8, 0, 0, {}, Crc({}), 0x12345678};
  EXPECT_EQ(Send(empty, NewAttempt()), 0);
  EXPECT_EQ(Writes(0), 1);
  EXPECT_TRUE(Logged("new file \"qvr8k_w2.udf\" started"));
  EXPECT_EQ(card.UpdateFiles(), std::set<std::string>{"qvr8k_w2.tmp"});
  EXPECT_TRUE(card.Read("qvr8k_w2.tmp").empty());
}

// ---- All four files ---------------------------------------------------------------------------

TEST_F(UpdateChunks, FourCompleteFilesAreRenamedWithASecondReplyAndTheModuleReboots) {
  TempDir elsewhere;  // the feed looks there: these files are no firmware to boot
  board.module_update().set_update_dir(elsewhere.path);
  ASSERT_TRUE(OpenAndConnect());
  uint32_t seq = NewAttempt();
  std::vector<Bytes> files = {Pattern(3000, 11), Pattern(1400, 12), Pattern(5, 13),
                              Pattern(4000, 14)};
  for (uint32_t i = 0; i < 4; i++) ASSERT_TRUE(SendFile(1u << i, files[i], seq)) << i;
  EXPECT_EQ(Reply(seq), 0) << "the rename's result";
  ASSERT_TRUE(inst.run_until([&] { return Logged("Rebooting Innophase"); }, kSec, 1000));
  uint64_t said = inst.now();
  ASSERT_TRUE(inst.run_until([&] { return inst.boots() == 2; }, 2 * kSec, 1000));
  // The console shows the line a few milliseconds after it was written.
  EXPECT_GE(inst.now() - said, 490000u);
  EXPECT_LE(inst.now() - said, 520000u);
  EXPECT_EQ(board.stm32().update_reboots(), 1);
  inst.run_for(kSec);
  // The STM32 installed its own and the FPGA's file; the module's two wait for its feed.
  EXPECT_EQ(card.UpdateFiles(), (std::set<std::string>{"qvr8k_w1.udf", "qvr8k_w2.udf"}));
  EXPECT_EQ(card.Read("qvr8k_w2.udf"), files[3]);
}

TEST_F(UpdateChunks, ARenameTheStm32FailsIsAnsweredMinusOneAndLeavesNoUpdateFiles) {
  board.stm32().fail_root_file_request(kRename, -113);
  ASSERT_TRUE(OpenAndConnect());
  uint32_t seq = NewAttempt();
  for (uint32_t i = 0; i < 4; i++) ASSERT_TRUE(SendFile(1u << i, Pattern(700, i), seq));
  EXPECT_EQ(Reply(seq), -1);
  EXPECT_TRUE(Logged("ERROR!! failed to rename -113"));
  EXPECT_TRUE(card.UpdateFiles().empty());
  EXPECT_EQ(board.stm32().update_reboots(), 0);
  // The module reboots all the same, and finds nothing to take.
  ASSERT_TRUE(inst.run_until([&] { return inst.boots() == 2; }, 2 * kSec, 1000));
  inst.clear_console();
  EXPECT_TRUE(RunUntilLogged("No firmware available", kSec));
}

TEST_F(UpdateChunks, ThreeFilesAreNotRenamed) {
  ASSERT_TRUE(OpenAndConnect());
  uint32_t seq = NewAttempt();
  for (uint32_t i = 0; i < 3; i++) ASSERT_TRUE(SendFile(1u << i, Pattern(700, i), seq));
  EXPECT_EQ(Reply(seq, 5 * kSec), 1000) << "no second reply";
  EXPECT_EQ(board.stm32().count(kRename), 0);
  EXPECT_EQ(card.UpdateFiles(),
            (std::set<std::string>{"qvr8k_fw.tmp", "qvr8k_hw.tmp", "qvr8k_w1.tmp"}));
  EXPECT_EQ(inst.boots(), 1);
}

TEST_F(UpdateChunks, CamserverNamesTheFilesADirectoryLacks) {
  TempDir dir;
  dir.Write("qvr8k_fw.bin", Pattern(10, 1));
  dir.Write("qvr8k_w1.udf", Pattern(10, 1));
  ASSERT_TRUE(Open());
  std::string out;
  bool ok = true;
  OnKernel([&] { ok = camserver::run_commands(*server, "update " + dir.path, &out); });
  EXPECT_FALSE(ok);
  EXPECT_NE(out.find("lacks qvr8k_hw.udf, qvr8k_w2.udf"), std::string::npos) << out;
  EXPECT_EQ(board.stm32().count(kWrite), 0);
}

TEST_F(UpdateChunks, CamserverStopsAtARefusedChunkAndItsNextAttemptSucceeds) {
  TempDir dir;
  for (const auto& n : camserver::update_file_names()) dir.Write(n, Pattern(2000, n[6]));
  TempDir elsewhere;  // the feed looks there: these files are no firmware to boot
  board.module_update().set_update_dir(elsewhere.path);
  ASSERT_TRUE(Open());
  board.stm32().fail_root_file_request(kWrite, -109);
  std::string out;
  bool ok = true;
  OnKernel([&] { ok = camserver::run_commands(*server, "update " + dir.path, &out); });
  EXPECT_FALSE(ok);
  EXPECT_NE(out.find("refused the chunk of qvr8k_fw.bin at offset 0 (result -1)"),
            std::string::npos)
      << out;
  out.clear();
  OnKernel([&] { ok = camserver::run_commands(*server, "update " + dir.path, &out); });
  EXPECT_TRUE(ok) << out;
  EXPECT_NE(out.find("update: camera back with firmware version 0.1.15254"), std::string::npos)
      << out;
  EXPECT_EQ(ServerLogged("update: qvr8k_w2.udf 100% 2000 B of 2000 B"), 1);
}

// ---- End to end -------------------------------------------------------------------------------

struct FlashFirst {
  FlashWithImage flash;
};

class UpdatePushEndToEnd : public FlashFirst, public UpdateChunks {
 protected:
  UpdatePushEndToEnd() : UpdateChunks(BootFromFlash(&flash.dir)) {}
  void SetUp() override {
    if (!flash.fits) GTEST_SKIP() << "the firmware library does not fit the image region";
    UpdateChunks::SetUp();
  }
};

TEST_F(UpdatePushEndToEnd, CamserverUpdatesARunningCameraToTheNextImage) {
  std::vector<uint8_t> part1, part2;
  camhost::image_split(ImageOf(CAMFW_NEXT_PATH), &part1, &part2);
  TempDir dir;
  dir.Write("qvr8k_fw.bin", Pattern(70000, 21));
  dir.Write("qvr8k_hw.udf", Pattern(30000, 22));
  dir.Write("qvr8k_w1.udf", part1);
  dir.Write("qvr8k_w2.udf", part2);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Logged("WiFi FW version 0.1.15254"));
  std::string out;
  bool ok = false;
  OnKernel([&] { ok = camserver::run_commands(*server, "update " + dir.path, &out); });
  EXPECT_TRUE(ok) << out;
  EXPECT_NE(out.find("update: camera back with firmware version 0.1.15255"), std::string::npos)
      << out;
  EXPECT_TRUE(Logged("WiFi FW version 0.1.15255"));
  EXPECT_EQ(inst.boots(), 3) << "the push's reboot, then the self-update's";
  EXPECT_EQ(board.module_update().transfers_completed(), 1);
  EXPECT_TRUE(card.UpdateFiles().empty());
  EXPECT_EQ(ServerLogged("update: qvr8k_w1.udf 100%"), 1);
}

}  // namespace
