// The module's self-update over the UART at boot, against the board's STM32 feed, in virtual
// time: listening, "nf", the version-2 transfer and its every refusal, the older line commands,
// and an update that changes the firmware that boots next.
#include <algorithm>
#include <cstring>

#include "update_fixture.h"

namespace {

constexpr uint32_t kStaging1 = 0xF8000, kStaging2 = 0x137000;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 5));
  // The bytes SLIP must escape, early on.
  if (n > 2) {
    v[1] = 0xC0;
    v[2] = 0xDB;
  }
  return v;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> v) {
  v.resize((v.size() + 4095) / 4096 * 4096, 0);
  return v;
}

bool LedsShowed(const sim::Board& board, uint16_t pattern) {
  for (auto& c : board.led_timeline())
    if (c.leds == (pattern & sim::Board::kLedMask)) return true;
  return false;
}

using UartUpdate = UpdateBoard;

TEST_F(UartUpdate, AModuleThatHearsNothingListensFor160SecondsThenStarts) {
  feed().set_mode(sim::FeedMode::kSilent);
  inst.boot();
  inst.run_for(150 * kSec);
  EXPECT_TRUE(Has("Time remaining = 159 seconds\n"));
  EXPECT_TRUE(Has("Time remaining = 10 seconds\n"));
  EXPECT_FALSE(Has("whWorkHandler_Init"));
  EXPECT_TRUE(LedsShowed(board, 32384));  // the listening blink
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", 15 * kSec));
  EXPECT_GE(inst.now(), 160 * kSec);
  EXPECT_TRUE(LedsShowed(board, 16));  // green: going on
}

TEST_F(UartUpdate, NoFirmwareEndsListeningAtTheNextQuietRead) {
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", kSec));
  EXPECT_LT(inst.now(), 100000u);
  EXPECT_TRUE(Has("buffLen 2, buff: nf\nNo firmware available\n"));
  EXPECT_EQ(feed().received().substr(0, 43), "Innophase says: UART serial console ready\n\r");
}

TEST_F(UartUpdate, ALineOfFortyCharactersLosesItsFirstThirtyTwo) {
  feed().set_mode(sim::FeedMode::kScript);
  feed().on_greeting = [](sim::ModuleUpdateFeed& f) {
    f.send(std::string(32, 'a') + "nf-12345\n");
  };
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", kSec));
  EXPECT_TRUE(Has("buffLen 8, buff: nf-12345\n"));
}

struct Sizes {
  size_t file1, file2;
  int blocks;
};

class Version2Sizes : public UpdateBoard, public ::testing::WithParamInterface<Sizes> {};

TEST_P(Version2Sizes, FilesAreStagedCheckedAndCopiedOverTheFirmwareInWholePages) {
  auto f1 = Pattern(GetParam().file1, 1), f2 = Pattern(GetParam().file2, 2);
  feed().set_files(f1, f2);
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("Firmware update complete; rebooting; rebooting\r\n", 60 * kSec));
  EXPECT_EQ(feed().blocks_acknowledged(), GetParam().blocks);
  EXPECT_EQ(camhost::flash_read(0x1000, static_cast<uint32_t>(Padded(f1).size())), Padded(f1));
  EXPECT_EQ(camhost::flash_read(0x40000, static_cast<uint32_t>(Padded(f2).size())), Padded(f2));
  EXPECT_EQ(camhost::flash_read(kStaging1, static_cast<uint32_t>(Padded(f1).size())), Padded(f1));
  for (uint16_t p : {24704, 25728, 26752, 25216}) EXPECT_TRUE(LedsShowed(board, p)) << p;
}

INSTANTIATE_TEST_SUITE_P(OneBlockExactPageAndOneByteMore, Version2Sizes,
                         ::testing::Values(Sizes{100, 10, 2}, Sizes{4096, 4096, 2},
                                           Sizes{4097, 1, 3}));

struct Refusal {
  const char* name;
  sim::FeedFault fault;
  int file, block;
  uint32_t length;
  const char* message;
};

class Version2Refusals : public UpdateBoard, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Version2Refusals, RebootWithTheOldFirmwareUntouched) {
  const Refusal& r = GetParam();
  std::vector<uint8_t> before = ImageRegion(0x3F000);
  feed().set_files(Pattern(5000, 3), Pattern(9000, 4));
  feed().set_fault(r.fault, r.file, r.block, 200000, r.length);
  inst.boot();
  ASSERT_TRUE(RunUntilConsole(r.message, 60 * kSec)) << Console();
  ASSERT_TRUE(inst.run_until([&] { return inst.boots() == 2; }, 7 * kSec));
  EXPECT_EQ(ImageRegion(0x3F000), before);
  EXPECT_FALSE(Has("moveFlashToFlash"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryCheck, Version2Refusals,
    ::testing::Values(
        Refusal{"BlockCrc", sim::FeedFault::kBadBlockCrc, 2, 1, 0,
                "getFileFromST - computed crc 0x"},
        Refusal{"FileCrc", sim::FeedFault::kBadFileCrc, 1, 0, 0,
                "getFileFromST - computed fileCRC 0x"},
        Refusal{"TooManyPages", sim::FeedFault::kWrongFileLength, 1, 0, 64 * 4096,
                "getFileFromST - fileLen 0x00040000; blocksExpected 0x00000040 > maxPages "
                "0x0000003F; rebooting\r\n"},
        Refusal{"LengthThatWouldWrap", sim::FeedFault::kWrongFileLength, 1, 0, 0xFFFFF001u,
                "blocksExpected 0x00100000 > maxPages 0x0000003F; rebooting\r\n"},
        Refusal{"PauseInsideABlock", sim::FeedFault::kStallInBlock, 1, 1, 0,
                "getDataBlockFromST - Timeout while decoding SLIP data; rebooting\r\n"},
        Refusal{"BadEscape", sim::FeedFault::kBadEscape, 1, 0, 0,
                "getDataBlockFromST - Invalid SLIP escape sequence 0x00; rebooting\r\n"},
        Refusal{"GiveUp", sim::FeedFault::kExit, 2, 0, 0,
                "getCommandFromST - Got FROM_ST_EXIT_cmdByte from ST; rebooting\r\n"}),
    [](const ::testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

TEST_F(UartUpdate, TooManyPagesAreRefusedBeforeAnythingIsWritten) {
  feed().set_files(Pattern(64 * 4096, 5), Pattern(10, 6));
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("> maxPages 0x0000003F; rebooting", 60 * kSec));
  EXPECT_EQ(camhost::flash_operations(), 0);
}

TEST_F(UartUpdate, AStagedPageThatDoesNotReadBackRebootsBeforeTheFirmwareIsTouched) {
  std::vector<uint8_t> before = ImageRegion(0x3F000);
  feed().set_files(Pattern(5000, 3), Pattern(10, 4));
  camhost::flash_fail_writes(1);
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("write_flashBuffer_ToFlash - Verification error; rebooting\r\n",
                              60 * kSec));
  EXPECT_EQ(ImageRegion(0x3F000), before);
}

TEST_F(UartUpdate, ACopiedPageThatDoesNotReadBackIsRetriedNotRebooted) {
  auto f1 = Pattern(5000, 3), f2 = Pattern(10, 4);
  feed().set_files(f1, f2);
  bool armed = false;
  camhost::flash_on_operation([&armed](const camhost::FlashOperation& op) {
    if (op.address == 0x1000 && !op.erase && !armed) {
      armed = true;
      camhost::flash_fail_writes(2);
    }
    return false;
  });
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("Firmware update complete", 120 * kSec));
  EXPECT_TRUE(Has("Verification error but cannot reboot; retrying; retry #2"));
  EXPECT_EQ(camhost::flash_read(0x1000, 8192), Padded(f1));
}

TEST_F(UartUpdate, ACopiedPageThatNeverReadsBackHaltsAfterTenTries) {
  feed().set_files(Pattern(100, 3), Pattern(10, 4));
  camhost::flash_on_operation([](const camhost::FlashOperation& op) {
    if (op.address == 0x1000 && !op.erase) camhost::flash_fail_writes(1);
    return false;
  });
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("cannot retry again; already tried 10 times", 200 * kSec));
  inst.run_for(60 * kSec);
  EXPECT_EQ(inst.boots(), 1);
}

// ---- The older line commands ------------------------------------------------------------------

std::string Block(const std::vector<uint8_t>& page, bool corruptOdd, bool badSum) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 4096; i += 2) sum += page[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t check = static_cast<uint16_t>(~sum);
  if (badSum) check ^= 1;
  std::string out(page.begin(), page.end());
  if (corruptOdd) out[1] ^= 0x55;
  out += static_cast<char>(check & 0xFF);
  out += static_cast<char>(check >> 8);
  return out;
}

class OlderProtocol : public UpdateBoard {
 protected:
  // Sends `lines` 400 ms apart, as the STM32 does after each echo and answer: a block sent right
  // behind its command line would be flushed with the line's tail.
  void Script(std::vector<std::string> lines) {
    feed().set_mode(sim::FeedMode::kScript);
    feed().on_greeting = [lines](sim::ModuleUpdateFeed& f) {
      uint64_t t = camhost::time_now();
      for (const std::string& l : lines) {
        camhost::at(t, [&f, l] { f.send(l); });
        t += 400000;
      }
    };
  }
};

TEST_F(OlderProtocol, BlocksWithTheirChecksumAreStagedAndCopiedWhereTheStartSays) {
  auto page = Pattern(4096, 9);
  Script({"uf 4096 0x40000\n", "ub 4096\n", Block(page, false, false), "ud\n", "nf\n"});
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", 5 * kSec)) << Console();
  EXPECT_TRUE(Has("CHECKSUM : rx - 0x"));
  EXPECT_TRUE(Has("Upload done  Received 1 blocks\n"));
  EXPECT_EQ(camhost::flash_read(0x100000, 4096), page);
  EXPECT_EQ(camhost::flash_read(0x40000, 4096), page);
  EXPECT_NE(feed().received().find('z'), std::string::npos);
}

TEST_F(OlderProtocol, OddOffsetBytesAreNotCoveredByTheChecksum) {
  auto page = Pattern(4096, 9);
  Script({"uf 4096 0x40000\n", "ub 4096\n", Block(page, true, false), "nf\n"});
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", 5 * kSec));
  auto staged = camhost::flash_read(0x100000, 4096);
  EXPECT_EQ(staged[1], page[1] ^ 0x55);
}

TEST_F(OlderProtocol, AChecksumMismatchAnswersXAndReboots) {
  Script({"uf 4096 0x40000\n", "ub 4096\n", Block(Pattern(4096, 9), false, true)});
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("!!!!!!!!!!!!CHECKSUM MISMATCH!!!!!!!!!!!\n; rebooting\r\n", 5 * kSec));
  ASSERT_TRUE(inst.run_until([&] { return inst.boots() == 2; }, 7 * kSec));
}

TEST_F(OlderProtocol, AStartThatWouldOverwriteTheBootPageOrRunPastTheStagingIsRefused) {
  for (const char* line : {"uf 4096 0x0\n", "uf 4096 0x1800\n", "uf 8192 0xFF000\n"}) {
    SCOPED_TRACE(line);
    Script({line});
    inst.reset(OS_RESET_EXTERNAL);
    ASSERT_TRUE(RunUntilConsole("Invalid upload of", 5 * kSec));
    inst.clear_console();
  }
  EXPECT_EQ(camhost::flash_operations(), 0);
}

TEST_F(OlderProtocol, ANumberWiderThan32BitsVoidsTheCommand) {
  Script({"uf 99999999999 0x1000\n", "ub 4096\n", "nf\n"});
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", 5 * kSec));
  EXPECT_TRUE(Has("getArgs - number wider than 32 bits"));
  EXPECT_TRUE(Has("ub - no upload started; refused\n"));
  EXPECT_EQ(camhost::flash_operations(), 0);
}

TEST_F(OlderProtocol, MoreBlocksThanAnnouncedAreRefused) {
  auto page = Pattern(4096, 9);
  Script({"uf 100 0x40000\n", "ub 4096\n", Block(page, false, false),
          "ub 4096\n", Block(page, false, false)});
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("Block 2 beyond the 1 announced", 5 * kSec));
  EXPECT_EQ(camhost::flash_read(0x101000, 4), std::vector<uint8_t>(4, 0xFF));
}

// ---- An update that changes what runs --------------------------------------------------------

TEST_F(UartUpdate, ANewImageSentAtBootRunsAfterTheReboot) {
  std::vector<uint8_t> part1, part2;
  camhost::image_split(ImageOf(CAMFW_NEXT_PATH), &part1, &part2);
  feed().set_files(part1, part2);
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("WiFi FW version 0.1.15254", kSec));
  ASSERT_TRUE(RunUntilConsole("Firmware update complete; rebooting", 120 * kSec));
  inst.clear_console();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", 8 * kSec)) << Console();
  EXPECT_EQ(inst.boots(), 2);
  EXPECT_TRUE(Has("WiFi FW version 0.1.15255"));
  EXPECT_TRUE(Has("No firmware available"));  // the files were taken
}

TEST_F(UartUpdate, TheOlderLineCommandsCarryTheNextImageAsTwoUploads) {
  std::vector<uint8_t> part1, part2;
  camhost::image_split(ImageOf(CAMFW_NEXT_PATH), &part1, &part2);
  feed().set_mode(sim::FeedMode::kLine);
  feed().set_files(part1, part2);
  inst.boot();
  ASSERT_TRUE(RunUntilConsole("Rebooting after 2nd upload", 300 * kSec)) << Console();
  EXPECT_TRUE(Has("Start moving " + std::to_string(part1.size()) + " bytes from flash 0x  100000 "
                  "to flash 0x    1000"));
  EXPECT_TRUE(Has("Start moving " + std::to_string(part2.size()) + " bytes from flash 0x  100000 "
                  "to flash 0x   40000"));
  EXPECT_FALSE(Has("MISMATCH"));
  inst.clear_console();
  ASSERT_TRUE(RunUntilConsole("whWorkHandler_Init", 10 * kSec)) << Console();
  EXPECT_EQ(inst.boots(), 2);
  EXPECT_TRUE(Has("WiFi FW version 0.1.15255"));
  EXPECT_EQ(feed().transfers_completed(), 1);
  EXPECT_TRUE(Has("No firmware available"));  // the files were taken
}

}  // namespace
