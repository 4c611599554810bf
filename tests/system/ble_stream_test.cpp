// The phone's large-data streams over BLE end to end: the firmware image, the board with its SD
// card and FPGA pushing over the SPI channel, camphone on a kernel thread. What arrives is checked
// against what the board's own models serve.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "camhost/ble_air.h"
#include "camphone/camera.h"
#include "sim/sdcard.h"
#include "system/firmware_fixture.h"
#include "system/phone_fixture.h"

namespace {

using camphone::Bytes;

uint32_t le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class BleStream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(inst.ok());
    char tmpl[] = "/tmp/camblestream.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/ble.sock";
    ASSERT_TRUE(sim::SdCard::make_samples(dir + "/card"));
    board.sdcard().set_dir(dir + "/card");
    ASSERT_TRUE(camhost::ble_listen(path));
    booted = board.stm32().rtc_utc();
    inst.boot();
    ASSERT_TRUE(inst.run_until(
        [&] { return inst.console().find("BLE server started with advName") != std::string::npos; },
        10 * kSec));
  }
  void TearDown() override {
    inst.halt();
    camhost::ble_close();
    std::filesystem::remove_all(dir);
  }
  // Runs `fn` as a phone, connected and discovered.
  void AsPhone(const std::function<void(camphone::Camera&)>& fn) {
    phonetest::AsPhone(inst, path, fn);
  }
  // Asks for a stream on `name` (frame: a 1 written; directory: the folder) and waits for it.
  static void Fetch(camphone::Camera& cam, const char* name, int32_t* size, Bytes* data,
                    const std::string& folder = "") {
    ASSERT_EQ(cam.subscribe(name), 0);
    Bytes req = std::string(name) == "frame" ? Bytes{1} : Bytes(13, 0);
    if (req.size() == 13) std::copy(folder.begin(), folder.end(), req.begin());
    ASSERT_EQ(cam.write(name, req), 0);
    ASSERT_TRUE(cam.stream(name, size, data, 70 * kSec));
  }
  // The live-view test card the board serves for frame `n` at any second between `from` and `to`
  // matching `jpeg`.
  bool IsLiveViewFrame(const Bytes& jpeg, int64_t from, int64_t to) {
    uint64_t frames = board.stm32().live_view_frames();
    for (int64_t s = from; s <= to; s++)
      for (uint64_t n = 0; n < frames; n++) {
        time_t t = static_cast<time_t>(s);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char line1[48], line2[32];
        strftime(line1, sizeof line1, "LIVE %Y-%m-%d %H:%M:%S", &tm);
        snprintf(line2, sizeof line2, "FRAME %llu", static_cast<unsigned long long>(n));
        if (sim::test_card_jpeg(768, 432, line1, line2) == jpeg) return true;
      }
    return false;
  }

  camhost::Instance inst{FirmwareOptions()};
  sim::Board board;
  std::string dir, path;
  int64_t booted = 0;
};

TEST_F(BleStream, AFrameFetchedOverBleIsTheLiveViewFrameTheBoardServed) {
  int64_t before = board.stm32().rtc_utc();
  int32_t size = 0;
  Bytes data;
  AsPhone([&](camphone::Camera& cam) { Fetch(cam, "frame", &size, &data); });
  int64_t after = board.stm32().rtc_utc();
  ASSERT_GT(size, 0);
  ASSERT_EQ(data.size(), static_cast<size_t>(size));
  auto frames = sim::jpeg_frames(data);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].second, data.size());
  EXPECT_TRUE(IsLiveViewFrame(data, before, after));
}

TEST_F(BleStream, ADirectoryListingOverBleMatchesTheCard) {
  int32_t size = 0;
  Bytes data;
  AsPhone([&](camphone::Camera& cam) { Fetch(cam, "directory", &size, &data); });
  auto files = board.sdcard().list();
  ASSERT_EQ(files.size(), 3u);
  ASSERT_EQ(size, static_cast<int32_t>(24 * files.size()));
  ASSERT_EQ(data.size(), 24 * files.size());
  for (size_t i = 0; i < files.size(); i++) {
    const uint8_t* r = &data[24 * i];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 13)),
              files[i].name);
    EXPECT_EQ(le32(data, 24 * i + 16), files[i].size) << files[i].name;
    EXPECT_EQ(le32(data, 24 * i + 20), files[i].fat_time) << files[i].name;
  }
}

TEST_F(BleStream, ADirectoryRequestTheCardCannotAnswerGivesTheNegativeErrorAsTheSize) {
  board.stm32().set_sd_error(true);
  int32_t size = 0;
  Bytes data;
  AsPhone([&](camphone::Camera& cam) { Fetch(cam, "directory", &size, &data); });
  EXPECT_EQ(size, sim::kSdNotPresent);
  EXPECT_TRUE(data.empty());
}

TEST_F(BleStream, APhoneThatDisconnectsMidFrameLeavesTheCameraServingTheNextPhone) {
  AsPhone([&](camphone::Camera& cam) {
    ASSERT_EQ(cam.subscribe("frame"), 0);
    ASSERT_EQ(cam.write("frame", Bytes{1}), 0);
    // The size and the first piece of data, then the link goes.
    uint16_t want = cam.handle("frame"), h = 0;
    Bytes v;
    int got = 0;
    while (got < 2 && cam.att.nextIndication(&h, &v, 70 * kSec)) got += h == want;
    ASSERT_EQ(got, 2);
    cam.att.close();
  });
  inst.run_for(5 * kSec);
  int32_t size = 0;
  Bytes data;
  AsPhone([&](camphone::Camera& cam) { Fetch(cam, "frame", &size, &data); });
  ASSERT_GT(size, 0);
  ASSERT_EQ(data.size(), static_cast<size_t>(size));
  // Live view stays on after a fetch, so this is the frame the FPGA has held since the first
  // phone left, not necessarily one made after this request.
  EXPECT_TRUE(IsLiveViewFrame(data, booted, board.stm32().rtc_utc()));
}

}  // namespace

namespace {

TEST_F(BleStream, APhoneThatStopsConfirmingMidFrameIsDroppedFromTheStreamAfter60Seconds) {
  uint64_t stopped = 0;
  AsPhone([&](camphone::Camera& cam) {
    ASSERT_EQ(cam.subscribe("frame"), 0);
    ASSERT_EQ(cam.write("frame", Bytes{1}), 0);
    uint16_t want = cam.handle("frame"), h = 0;
    Bytes v;
    int got = 0;
    while (got < 2 && cam.att.nextIndication(&h, &v, 70 * kSec)) {
      got += h == want;
      if (got == 2) cam.att.autoConfirm = false;
    }
    ASSERT_EQ(got, 2);
    stopped = os_systime64();
    os_sleep_us(70 * kSec, OS_TIMEOUT_NO_WAKEUP);
  });
  auto lines = LinesWith(inst.console(), "Timed out waiting for indication to be acknowledged");
  ASSERT_FALSE(lines.empty());
  EXPECT_GE(Micros(lines[0]), stopped + 59 * kSec);
  EXPECT_LE(Micros(lines[0]), stopped + 61 * kSec);
  int32_t size = 0;
  Bytes data;
  AsPhone([&](camphone::Camera& cam) { Fetch(cam, "frame", &size, &data); });
  ASSERT_GT(size, 0);
  EXPECT_TRUE(IsLiveViewFrame(data, booted, board.stm32().rtc_utc()));
}

// A transfer of the wrong length loses the rest of the message on the SPI side; the phone still
// gets as many bytes as were announced, the lost ones as zeros, and the stream ends there.
TEST_F(BleStream, AFrameCutShortOnTheSpiSideIsMadeUpWithZerosToTheAnnouncedSize) {
  int32_t size = 0;
  Bytes data;
  AsPhone([&](camphone::Camera& cam) {
    ASSERT_EQ(cam.subscribe("frame"), 0);
    ASSERT_EQ(cam.write("frame", Bytes{1}), 0);
    uint16_t want = cam.handle("frame"), h = 0;
    Bytes v;
    while (cam.att.nextIndication(&h, &v, 70 * kSec) && h != want) {
    }
    ASSERT_EQ(h, want);
    ASSERT_EQ(v.size(), 4u);
    size = static_cast<int32_t>(le32(v, 0));
    sim::FpgaFaults f;
    f.short_transfers = 1;
    board.fpga().set_faults(f);
    while (data.size() < static_cast<size_t>(size) && cam.att.nextIndication(&h, &v, 70 * kSec))
      if (h == want) data.insert(data.end(), v.begin(), v.end());
    // Nothing more on the stream after the announced size.
    EXPECT_FALSE(cam.indication("frame", &v, 5 * kSec));
  });
  ASSERT_GT(size, 2048);
  ASSERT_EQ(data.size(), static_cast<size_t>(size));
  EXPECT_EQ(data[0], 0xFF);
  EXPECT_EQ(data[1], 0xD8);
  size_t zeros = 0;
  while (zeros < data.size() && data[data.size() - 1 - zeros] == 0) zeros++;
  EXPECT_GE(zeros, 1024u);  // at least the lost transfer
  EXPECT_FALSE(LinesWith(inst.console(), "ERROR!! request failed with").empty());
  EXPECT_TRUE(LinesWith(inst.console(), "request failed to start").empty());
  // And the next fetch is whole.
  AsPhone([&](camphone::Camera& cam) { Fetch(cam, "frame", &size, &data); });
  ASSERT_GT(size, 0);
  EXPECT_TRUE(IsLiveViewFrame(data, booted, board.stm32().rtc_utc()));
}

}  // namespace
