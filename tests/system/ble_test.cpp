// The phone's BLE service end to end: the firmware image and the board in virtual time, camphone
// on a kernel thread speaking ATT over the BLE socket.
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "camhost/ble_air.h"
#include "camphone/camera.h"
#include "system/firmware_fixture.h"
#include "system/phone_fixture.h"

namespace {

using camphone::Bytes;

sim::BoardConfig BoardWithCode(const std::string& code) {
  sim::BoardConfig c;
  c.stm32.access_code = code;
  return c;
}

class Ble : public ::testing::Test {
 protected:
  explicit Ble(const std::string& code = "") : board(BoardWithCode(code)) {}
  void SetUp() override {
    ASSERT_TRUE(inst.ok());
    char tmpl[] = "/tmp/camble.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/ble.sock";
    ASSERT_TRUE(camhost::ble_listen(path));
  }
  void TearDown() override {
    inst.halt();
    camhost::ble_close();
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  void BootUntilAdvertising() {
    inst.boot();
    ASSERT_TRUE(inst.run_until(
        [&] { return inst.console().find("BLE server started with advName") != std::string::npos; },
        10 * kSec));
  }
  // Runs `fn` as the phone, connected and discovered.
  void AsPhone(const std::function<void(camphone::Camera&)>& fn) {
    phonetest::AsPhone(inst, path, fn);
  }

  camhost::Instance inst{FirmwareOptions()};
  sim::Board board;
  std::string dir, path;
};

class BleWithCode : public Ble {
 protected:
  BleWithCode() : Ble("1234") {}
};

TEST_F(Ble, NothingAdvertisesBeforeTheCameraIdIsKnown) {
  inst.boot();
  bool found = true;
  ASSERT_TRUE(inst.call([&] {
    camphone::AttClient phone(phonetest::KernelWait());
    camphone::Advert ad;
    found = phone.scan(path, &ad, 1000);
  }));
  EXPECT_FALSE(found);
}

TEST_F(Ble, TheAdvertisedNameAndAddressComeFromTheCameraId) {
  BootUntilAdvertising();
  camphone::Advert ad;
  ASSERT_TRUE(inst.call([&] {
    camphone::AttClient phone(phonetest::KernelWait());
    ASSERT_TRUE(phone.scan(path, &ad));
  }));
  EXPECT_EQ(ad.name.substr(0, 3), "QVR");
  EXPECT_EQ(ad.name.size(), 18u);
  // The low byte of each camera ID word, the first with its two top bits set.
  const uint8_t want[6] = {0x2B | 0xC0, 0x4D, 0x6F, 0x81, 0xA3, 0xC5};
  EXPECT_EQ(memcmp(ad.address, want, 6), 0);
  EXPECT_EQ(ad.addressType, 1);
}

TEST_F(Ble, TheServiceHas24CharacteristicsAndFourCccdsAfterTheStandardServices) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    const auto& all = cam.att.characteristics();
    ASSERT_EQ(all.size(), 3u + 24u);
    int cccds = 0;
    for (size_t i = 0; i < 24; i++) {
      const auto& want = camphone::cameraCharacteristics()[i];
      EXPECT_EQ(all[3 + i].uuid, camphone::uuidOf(want)) << want.name;
      cccds += all[3 + i].cccdHandle != 0;
    }
    EXPECT_EQ(cccds, 4);
  });
}

TEST_F(Ble, ACameraWithoutAnAccessCodeIsOpenAtConnect) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    Bytes v;
    ASSERT_EQ(cam.read("accesscode", &v), 0);
    EXPECT_EQ(v, Bytes{1});
    ASSERT_EQ(cam.read("interval", &v), 0);
    EXPECT_EQ(v, (Bytes{60, 0, 0, 0}));
  });
}

TEST_F(BleWithCode, EveryGuardedCharacteristicRefusesBeforeAuthentication) {
  BootUntilAdvertising();
  const struct {
    const char* name;
    bool write;
  } kGuarded[] = {
      {"frame", true},     {"regcode", false},   {"ssid", false},     {"password", false},
      {"clock", true},     {"recordmode", false}, {"battery", false}, {"interval", false},
      {"schedule", false}, {"sdcard", false},    {"stack", false},    {"exposure", false},
      {"flicker", false},  {"timestamp", false}, {"sharpness", false}, {"saturation", false},
      {"playback", false}, {"directory", true},  {"delete", true},
  };
  AsPhone([&](camphone::Camera& cam) {
    for (const auto& g : kGuarded) {
      Bytes v(13, 0);
      int e = g.write ? cam.write(g.name, v) : cam.read(g.name, &v);
      EXPECT_EQ(e, 6) << g.name;
    }
    Bytes v;
    EXPECT_EQ(cam.read("cameraid", &v), 0);  // not guarded
  });
}

TEST_F(BleWithCode, AWrongCodeIsToldByTheAuthenticationStateChangeAndTheRightOneOpens) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    EXPECT_FALSE(cam.authenticate("9999"));
    Bytes v;
    ASSERT_EQ(cam.read("accesscode", &v), 0);
    EXPECT_EQ(v, Bytes{0});
    EXPECT_TRUE(cam.authenticate("1234"));
    EXPECT_EQ(cam.read("stack", &v), 0);
    EXPECT_EQ(v, Bytes{0x4F});
  });
}

TEST_F(Ble, AnIntervalWrittenByThePhoneReachesTheStm32AndComesBackAsAStateChange) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    ASSERT_EQ(cam.subscribe("statechange"), 0);
    ASSERT_EQ(cam.write("interval", Bytes{30, 0, 0, 0}), 0);
    EXPECT_EQ(cam.write("interval", Bytes{45, 0, 0, 0}), 14);  // one pending at a time
    Bytes ind;
    bool seen = false;
    while (!seen && cam.indication("statechange", &ind, 10 * kSec))
      seen = ind.size() == 16 && ind[0] == 7 && ind[12] == 30;
    EXPECT_TRUE(seen);
  });
  EXPECT_EQ(board.stm32().state().capture.interval, 30);
  // The server is told through its status bits.
  auto status = reinterpret_cast<uint32_t (*)()>(inst.firmware_symbol("_Z13statGetStatusv"));
  ASSERT_NE(status, nullptr);
  uint32_t bits = 0;
  ASSERT_TRUE(inst.call([&] { bits = status(); }));
  EXPECT_TRUE(bits & 0x8) << "intervalChanged";
}

TEST_F(Ble, WritesOfTheWrongSizeAreRefused) {
  BootUntilAdvertising();
  const struct {
    const char* name;
    size_t size;
  } kWrong[] = {{"interval", 3}, {"schedule", 23}, {"clock", 11}, {"frame", 2},
                {"recordmode", 0}, {"directory", 12}, {"delete", 14}, {"regcode", 12},
                {"ssid", 65}, {"password", 65}};
  AsPhone([&](camphone::Camera& cam) {
    for (const auto& w : kWrong) EXPECT_EQ(cam.write(w.name, Bytes(w.size, 'a')), 13) << w.name;
    // A file name without its terminator.
    EXPECT_EQ(cam.write("delete", Bytes(13, 'a')), 13);
  });
}

TEST_F(Ble, SubscriptionsEndWithTheLink) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    ASSERT_EQ(cam.subscribe("debug"), 0);
    ASSERT_EQ(cam.subscribe("directory"), 0);
    cam.att.close();
    os_sleep_us(10000, OS_TIMEOUT_NO_WAKEUP);
    std::string error;
    ASSERT_TRUE(cam.open(path, &error)) << error;
    for (const char* name : {"debug", "directory"}) {
      Bytes v;
      const auto* c = cam.att.find(camphone::uuidOf(*camphone::charByName(name)));
      ASSERT_EQ(cam.att.read(c->cccdHandle, &v), 0);
      EXPECT_EQ(v, (Bytes{0, 0})) << name;
    }
  });
}

}  // namespace

namespace {

// Seeded noise from a phone: any opcode, handle and length, in any order; the camera answers
// every request (or drops the link) and keeps serving a well-formed read afterwards.
TEST_F(Ble, RandomPdusFromThePhoneLeaveTheServiceAnswering) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    uint32_t x = 12345;
    auto rnd = [&] { return x = x * 1103515245u + 12345u, (x >> 16) & 0x7FFF; };
    const uint8_t kOps[] = {0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x10, 0x12, 0x52, 0x1E,
                            0x01, 0x20, 0x18, 0x16, 0x0E};
    for (int i = 0; i < 3000; i++) {
      Bytes pdu(rnd() % 40);
      for (auto& b : pdu) b = static_cast<uint8_t>(rnd());
      if (!pdu.empty() && rnd() % 4) pdu[0] = kOps[rnd() % sizeof kOps];
      // Handles in the service's range most of the time.
      if (pdu.size() >= 3 && rnd() % 2) pdu[1] = static_cast<uint8_t>(rnd() % 80), pdu[2] = 0;
      bool request = !pdu.empty() && !(pdu[0] & 0x40) && !(pdu[0] & 1) && pdu[0] != 0x1E;
      if (pdu.empty()) continue;
      Bytes rsp;
      if (cam.att.raw(pdu, &rsp, !request) != 0) {
        std::string error;
        ASSERT_TRUE(cam.open(path, &error)) << error;
      }
    }
    Bytes v;
    EXPECT_EQ(cam.read("cameraid", &v), 0);
    EXPECT_EQ(v.size(), 12u);
  });
}

}  // namespace

namespace {

// A camera with Wi-Fi credentials (so Wi-Fi stays enabled) and no access point in range.
class BleWindows : public Ble {
 protected:
  BleWindows() { board.stm32().set_ssid("somewhere"), board.stm32().set_password("password1"); }
  void Set(const char* mangled, bool on) {
    auto set = reinterpret_cast<bool (*)(bool)>(inst.firmware_symbol(mangled));
    ASSERT_NE(set, nullptr) << mangled;
    ASSERT_TRUE(inst.call([&] { set(on); }));
  }
  void SetWiFiEnabled(bool on) { Set("_Z28sysstate_setWiFiEnabledStateb", on); }
  void SetSessionOpen(bool on) { Set("_Z32sysstate_setWiFiSessionOpenStateb", on); }
  bool Stopped() { return inst.console().find("BLE server stopped") != std::string::npos; }
  uint64_t StopTime() { return Micros(LinesWith(inst.console(), "BLE server stopped").at(0)); }
};

TEST_F(BleWindows, AdvertisingNeverEndsWhileWiFiIsOnAndNoSessionIsOpen) {
  BootUntilAdvertising();
  inst.run_for(5 * 3600 * kSec);
  EXPECT_FALSE(Stopped());
}

TEST_F(BleWindows, AdvertisingEnds30MinutesAfterTheLastExtensionOnceASessionIsOpen) {
  BootUntilAdvertising();
  SetWiFiEnabled(true);
  SetSessionOpen(true);
  uint64_t opened = inst.now();
  inst.run_for(3600 * kSec);
  ASSERT_TRUE(Stopped());
  // The last extension was the poll just before the session opened.
  EXPECT_LE(StopTime(), opened + 1800 * kSec + 4 * kSec);
  EXPECT_GE(StopTime(), opened + 1800 * kSec - 4 * kSec);
}

TEST_F(BleWindows, WithWiFiOffTheWindowIsThreeHoursAndAButtonPressRestartsAdvertising) {
  BootUntilAdvertising();
  inst.run_for(10 * kSec);
  SetWiFiEnabled(false);
  uint64_t off = inst.now();
  inst.run_for(4 * 3600 * kSec);
  ASSERT_TRUE(Stopped());
  EXPECT_LE(StopTime(), off + 3 * 3600 * kSec + 4 * kSec);
  EXPECT_GE(StopTime(), off + 3 * 3600 * kSec - 4 * kSec);
  size_t starts = LinesWith(inst.console(), "BLE server started").size();
  board.set_buttons(1u << sim::Board::kIntervalButton);
  inst.run_for(kSec / 2);
  board.set_buttons(0);
  inst.run_for(5 * kSec);
  EXPECT_EQ(LinesWith(inst.console(), "BLE server started").size(), starts + 1);
}

TEST_F(Ble, AnUnconfirmedIndicationFailsItsMessageAfter60Seconds) {
  BootUntilAdvertising();
  uint64_t wrote = 0;
  AsPhone([&](camphone::Camera& cam) {
    cam.att.autoConfirm = false;
    ASSERT_EQ(cam.subscribe("statechange"), 0);  // indicates the connection level at once
    ASSERT_EQ(cam.write("interval", Bytes{30, 0, 0, 0}), 0);
    wrote = os_systime64();
    os_sleep_us(70 * kSec, OS_TIMEOUT_NO_WAKEUP);
  });
  auto lines = LinesWith(inst.console(), "Timed out waiting for indication to be acknowledged");
  ASSERT_FALSE(lines.empty());
  EXPECT_GE(Micros(lines[0]), wrote + 59 * kSec);
  EXPECT_LE(Micros(lines[0]), wrote + 61 * kSec);
}

}  // namespace

namespace {

// Lines about the debug console's own failures are logged, not queued on it again (where they
// would fail again and queue another line, for ever).
TEST_F(Ble, AnUnconfirmingPhoneDoesNotKeepTheDebugConsoleFailingForEver) {
  BootUntilAdvertising();
  AsPhone([&](camphone::Camera& cam) {
    cam.att.autoConfirm = false;
    ASSERT_EQ(cam.subscribe("debug"), 0);
    ASSERT_EQ(cam.subscribe("frame"), 0);  // debug lines are queued for a frame subscriber
    ASSERT_EQ(cam.write("interval", Bytes{30, 0, 0, 0}), 0);
    os_sleep_us(1200 * kSec, OS_TIMEOUT_NO_WAKEUP);
  });
  auto lines = LinesWith(inst.console(), "Timed out waiting for indication to be acknowledged");
  ASSERT_FALSE(lines.empty());
  for (const auto& l : lines) EXPECT_NE(l.find("(BLE-NQ)"), std::string::npos) << l;
  // One time-out per line that was waiting, each a minute after the one before.
  for (size_t i = 1; i < lines.size(); i++) EXPECT_GE(Micros(lines[i]) - Micros(lines[i - 1]), 59 * kSec);
}

}  // namespace

namespace {

TEST_F(Ble, AnIntervalChangedOnTheCameraReachesThePhoneAsAStateChange) {
  BootUntilAdvertising();
  uint32_t told = 0;
  ASSERT_TRUE(inst.call([&] {
    camphone::Camera cam(phonetest::KernelWait());
    std::string error;
    ASSERT_TRUE(cam.open(path, &error)) << error;
    ASSERT_EQ(cam.subscribe("statechange"), 0);
    for (int press = 0; press < 3 && told == 0; press++) {
      board.set_buttons(1u << sim::Board::kIntervalButton);
      os_sleep_us(300000, OS_TIMEOUT_NO_WAKEUP);
      board.set_buttons(0);
      Bytes ind;
      while (told == 0 && cam.indication("statechange", &ind, 5 * kSec))
        if (ind.size() == 16 && ind[0] == 7) told = ind[12] | ind[13] << 8;
    }
  }));
  EXPECT_NE(told, 0u);
  EXPECT_NE(told, 60u);
  EXPECT_EQ(static_cast<int32_t>(told), board.stm32().state().capture.interval);
}

}  // namespace
