// The STM32 model as the owner of the camera's configuration and status, met as the module meets
// it: requests built with the tests' own codec, sent through expander 1 and the UART.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "driver_side.h"
#include "sim/board.h"
#include "sim/stm32.h"

namespace {

using simtest::GetLe;
using simtest::GetText;
using simtest::ModuleSide;
using simtest::PutLe;
using simtest::PutText;

// Commands and message sizes of the catalogue.
constexpr uint16_t kSetSSID = 9, kGetSSID = 137, kSetPWD = 10, kGetPWD = 138, kSetUserUID = 56,
                   kGetUserUID = 184, kGetCode = 139, kSetAccessCode = 30, kGetAccessCode = 158,
                   kGetUID = 136, kGetVersion1 = 179, kGetStatus3 = 177, kSetDateTime = 37,
                   kSetInterval = 15, kGetInterval = 143, kSetSchedule = 5, kGetSchedule = 133,
                   kGetSystemConfig = 188, kSetNvm = 31, kGetNvm = 159, kStatisticsReport = 61,
                   kSetBatteryInfo = 53, kXchgBattery = 174, kSetModeWithReason = 48;
constexpr size_t kTextMessage = 77, kCodeMessage = 24, kVersionMessage = 68, kStatusMessage = 60,
                 kDateTimeMessage = 44, kValueMessage = 16, kScheduleMessage = 28,
                 kNvmMessage = 78, kStatisticsMessage = 92, kBatteryInfoMessage = 96,
                 kXchgMessage = 44;

constexpr int32_t kBlockedWhileRecording = -101, kIllegalParamValue = -103,
                  kPersistentError = -109, kBadArg = -111;

constexpr uint32_t kStatusNormal = 0x1, kStatusUsbMode = 0x4, kStatusSdCardError = 0x10,
                   kStatusNoSdCard = 0x80, kStatusSdCardFull = 0x100,
                   kStatusLiveViewStopped = 0x4000, kStatusPictureCaptured = 0x8000,
                   kStatusNewFileCreated = 0x10000, kStatusConfigValuesDirty = 0x20000,
                   kStatusStRebooted = 0x40000;

constexpr int64_t k2025 = 1735689600;  // 2025-01-01T00:00:00Z
constexpr uint64_t kSec = 1000000;

std::vector<uint8_t> Message(uint16_t command, size_t size) {
  return simtest::Request(command, 0, size);
}

std::vector<uint8_t> ValueMessage(uint16_t command, uint32_t value) {
  std::vector<uint8_t> m = Message(command, kValueMessage);
  PutLe(m, 12, value, 4);
  return m;
}

std::vector<uint8_t> TextMessage(uint16_t command, size_t size, const std::string& text) {
  std::vector<uint8_t> m = Message(command, size);
  PutText(m, 12, size == kTextMessage ? 65 : 12, text);
  return m;
}

std::vector<uint8_t> NvmMessage(uint16_t command, uint16_t block) {
  std::vector<uint8_t> m = Message(command, kNvmMessage);
  PutLe(m, 12, block, 2);
  return m;
}

std::vector<uint8_t> ClockMessage(const std::string& text) {
  std::vector<uint8_t> m = Message(kSetDateTime, kDateTimeMessage);
  PutText(m, 12, 32, text);
  return m;
}

int32_t Result(const std::vector<uint8_t>& msg) { return static_cast<int32_t>(GetLe(msg, 8, 4)); }

// The standard CRC-32 (reflected, 0xEDB88320, complemented), as the module protects a block.
uint32_t Crc32(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++) {
    crc ^= data[i];
    for (int b = 0; b < 8; b++) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

class OnStm32 : public ::testing::Test {
 protected:
  // The board, made from `config` at first use.
  sim::Board& board() {
    if (!board_) board_ = std::make_unique<sim::Board>(config);
    return *board_;
  }
  sim::Stm32& stm32() { return board().stm32(); }
  void PowerOff() { board_.reset(); }

  // One transaction as the module makes it; the decoded answer.
  std::vector<uint8_t> Exchange(std::vector<uint8_t> request) {
    board();
    PutLe(request, 4, ++signature_, 4);
    std::vector<uint8_t> frame, msg;
    EXPECT_TRUE(inst.call([&] {
      ModuleSide side;
      side.Open();
      frame = side.Transact(request);
      side.Close();
    }));
    EXPECT_TRUE(simtest::Unslip(frame, &msg)) << "no whole answer frame";
    if (msg.size() < 12) return std::vector<uint8_t>(request.size(), 0xEE);
    EXPECT_EQ(msg.size(), request.size());
    EXPECT_EQ(GetLe(msg, 4, 4), signature_);
    return msg;
  }

  std::string StatusTime() {
    return GetText(Exchange(Message(kGetStatus3, kStatusMessage)), 12, 32);
  }
  uint32_t StatusWord() { return GetLe(Exchange(Message(kGetStatus3, kStatusMessage)), 48, 4); }
  bool Stm32LineHigh() { return board().expander1().pins() & 0x8000; }

  camhost::Instance inst{simtest::VirtualTime()};
  sim::BoardConfig config;

 private:
  std::unique_ptr<sim::Board> board_;
  uint32_t signature_ = 0;
};

// ---- Credentials and codes -------------------------------------------------------------------

using Stm32Credentials = OnStm32;

TEST_F(Stm32Credentials, SsidAndPasswordAnswerNoneWhenNoneIsSet) {
  EXPECT_EQ(GetText(Exchange(Message(kGetSSID, kTextMessage)), 12, 65), "NONE");
  EXPECT_EQ(GetText(Exchange(Message(kGetPWD, kTextMessage)), 12, 65), "NONE");
}

TEST_F(Stm32Credentials, SetSsidIsKeptAndAnsweredByLaterGets) {
  std::vector<uint8_t> set = Exchange(TextMessage(kSetSSID, kTextMessage, "Cabin Wi-Fi"));
  EXPECT_EQ(Result(set), 0);
  EXPECT_EQ(GetText(set, 12, 65), "Cabin Wi-Fi");
  EXPECT_EQ(GetText(Exchange(Message(kGetSSID, kTextMessage)), 12, 65), "Cabin Wi-Fi");
  EXPECT_EQ(stm32().state().ssid, "Cabin Wi-Fi");
}

TEST_F(Stm32Credentials, SetPasswordKeepsSixtyFourBytesAndTakesTheSixtyFifthAsItsEnd) {
  std::vector<uint8_t> set = Message(kSetPWD, kTextMessage);
  for (size_t i = 0; i < 65; i++) set[12 + i] = 'a' + i % 26;  // no NUL in the field at all
  EXPECT_EQ(Result(Exchange(set)), 0);
  std::vector<uint8_t> got = Exchange(Message(kGetPWD, kTextMessage));
  EXPECT_EQ(GetText(got, 12, 65), std::string(set.begin() + 12, set.begin() + 76));
  EXPECT_EQ(got[76], 0);
}

TEST_F(Stm32Credentials, RegistrationCodeAnswersNoneWithoutACode) {
  EXPECT_EQ(GetText(Exchange(Message(kGetCode, kCodeMessage)), 12, 12), "NONE");
}

TEST_F(Stm32Credentials, RegistrationCodeAnswersTheConfiguredCode) {
  config.stm32.registration_code = "K7Q-2M9";
  EXPECT_EQ(GetText(Exchange(Message(kGetCode, kCodeMessage)), 12, 12), "K7Q-2M9");
}

TEST_F(Stm32Credentials, UserUidIsEmptyUntilSetAndThenKept) {
  EXPECT_EQ(GetText(Exchange(Message(kGetUserUID, kTextMessage)), 12, 65), "");
  EXPECT_EQ(Result(Exchange(TextMessage(kSetUserUID, kTextMessage, "user-8f3a21"))), 0);
  EXPECT_EQ(GetText(Exchange(Message(kGetUserUID, kTextMessage)), 12, 65), "user-8f3a21");
}

TEST_F(Stm32Credentials, AccessCodeSetIsKeptAndAnsweredByTheNextGet) {
  config.stm32.access_code = "1111";
  EXPECT_EQ(GetText(Exchange(Message(kGetAccessCode, kCodeMessage)), 12, 12), "1111");
  EXPECT_EQ(Result(Exchange(TextMessage(kSetAccessCode, kCodeMessage, "482913"))), 0);
  EXPECT_EQ(GetText(Exchange(Message(kGetAccessCode, kCodeMessage)), 12, 12), "482913");
}

TEST_F(Stm32Credentials, LockedAccessCodeRefusesASetAsAPersistentErrorAndKeepsTheCode) {
  config.stm32.access_code = "1111";
  config.stm32.access_code_locked = true;
  EXPECT_EQ(Result(Exchange(TextMessage(kSetAccessCode, kCodeMessage, "482913"))),
            kPersistentError);
  EXPECT_EQ(GetText(Exchange(Message(kGetAccessCode, kCodeMessage)), 12, 12), "1111");
}

TEST_F(Stm32Credentials, ACredentialChangedOnTheCameraIsReportedDirtyAndPokesTheModule) {
  board();
  stm32().set_ssid("Barn");
  EXPECT_TRUE(Stm32LineHigh());
  EXPECT_TRUE(StatusWord() & kStatusConfigValuesDirty);
  EXPECT_EQ(GetText(Exchange(Message(kGetSSID, kTextMessage)), 12, 65), "Barn");
}

// ---- Identity, versions and system configuration -----------------------------------------------

using Stm32Identity = OnStm32;

TEST_F(Stm32Identity, CameraUidAnswersTheConfiguredSixValues) {
  std::vector<uint8_t> uid = Exchange(Message(kGetUID, kCodeMessage));
  const uint16_t want[6] = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
  for (int i = 0; i < 6; i++) EXPECT_EQ(GetLe(uid, 12 + 2 * i, 2), want[i]) << "value " << i;
}

TEST_F(Stm32Identity, TheBadUidPatternIsAnsweredAsConfiguredAndCanBeReplaced) {
  const uint16_t bad[6] = {0, 0, 0, 0, 0, 0x000C};
  std::copy(bad, bad + 6, config.stm32.camera_uid);
  std::vector<uint8_t> first = Exchange(Message(kGetUID, kCodeMessage));
  stm32().set_camera_uid({0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C});
  std::vector<uint8_t> second = Exchange(Message(kGetUID, kCodeMessage));
  for (int i = 0; i < 6; i++) EXPECT_EQ(GetLe(first, 12 + 2 * i, 2), bad[i]) << "value " << i;
  EXPECT_EQ(GetLe(second, 12, 2), 0x0102u);
  EXPECT_EQ(GetLe(second, 22, 2), 0x0B0Cu);
}

TEST_F(Stm32Identity, Version1AnswersItsVersionsEchoesTheModulesAndRecordsItsBleName) {
  std::vector<uint8_t> req = Message(kGetVersion1, kVersionMessage);
  PutLe(req, 36, 0, 4);
  PutLe(req, 40, 1, 4);
  PutLe(req, 44, 15254, 4);
  PutText(req, 48, 20, "QVR8K-4F2A");
  std::vector<uint8_t> got = Exchange(req);
  EXPECT_EQ(Result(got), 0);
  EXPECT_EQ(GetLe(got, 12, 4), 2u);  // the STM32's 2.4.1187
  EXPECT_EQ(GetLe(got, 16, 4), 4u);
  EXPECT_EQ(GetLe(got, 20, 4), 1187u);
  EXPECT_EQ(GetLe(got, 24, 4), 1u);  // the FPGA's 1.3.77
  EXPECT_EQ(GetLe(got, 28, 4), 3u);
  EXPECT_EQ(GetLe(got, 32, 4), 77u);
  EXPECT_EQ(GetLe(got, 36, 4), 0u);  // the module's own, unchanged
  EXPECT_EQ(GetLe(got, 40, 4), 1u);
  EXPECT_EQ(GetLe(got, 44, 4), 15254u);
  EXPECT_EQ(stm32().module_ble_name(), "QVR8K-4F2A");
  EXPECT_EQ(stm32().module_version(), (std::array<uint32_t, 3>{0, 1, 15254}));
}

TEST_F(Stm32Identity, SystemConfigAnswersTheSpiTransferLength) {
  EXPECT_EQ(GetLe(Exchange(Message(kGetSystemConfig, kValueMessage)), 12, 4), 2048u);
}

TEST_F(Stm32Identity, AMessageOfTheWrongSizeIsRefusedAsABadArgument) {
  std::vector<uint8_t> got = Exchange(Message(kGetSSID, kTextMessage - 1));
  EXPECT_EQ(Result(got), kBadArg);
}

// ---- Capture settings ----------------------------------------------------------------------

struct SettingCase {
  const char* name;
  uint16_t set, get;
  int32_t in_range;   // differs from the default
  int32_t too_far;    // just outside the range
};

void PrintTo(const SettingCase& c, std::ostream* os) { *os << c.name; }

class Stm32Setting : public OnStm32, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(Stm32Setting, ASetInRangeIsKeptAndAnsweredByTheNextGet) {
  const SettingCase& c = GetParam();
  std::vector<uint8_t> set = Exchange(ValueMessage(c.set, static_cast<uint32_t>(c.in_range)));
  std::vector<uint8_t> get = Exchange(Message(c.get, kValueMessage));
  EXPECT_EQ(Result(set), 0);
  EXPECT_EQ(static_cast<int32_t>(GetLe(set, 12, 4)), c.in_range);
  EXPECT_EQ(Result(get), 0);
  EXPECT_EQ(static_cast<int32_t>(GetLe(get, 12, 4)), c.in_range);
}

TEST_P(Stm32Setting, ASetOutOfRangeIsRefusedAsAnIllegalValueAndChangesNothing) {
  const SettingCase& c = GetParam();
  uint32_t before = GetLe(Exchange(Message(c.get, kValueMessage)), 12, 4);
  std::vector<uint8_t> set = Exchange(ValueMessage(c.set, static_cast<uint32_t>(c.too_far)));
  EXPECT_EQ(Result(set), kIllegalParamValue);
  EXPECT_EQ(GetLe(Exchange(Message(c.get, kValueMessage)), 12, 4), before);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, Stm32Setting,
    ::testing::Values(SettingCase{"Interval", 15, 143, 45, 0},
                      SettingCase{"FileSplit", 27, 155, 1, 2},
                      SettingCase{"OverwriteOldFiles", 59, 187, 1, 2},
                      SettingCase{"ExposureMode", 21, 149, 2, 4},
                      SettingCase{"FlickerFilter", 22, 150, 1, 3},
                      SettingCase{"EmbedTimestamp", 16, 144, 0, 2},
                      SettingCase{"Sharpness", 20, 148, 8, 11},
                      SettingCase{"Saturation", 19, 147, 2, 11},
                      SettingCase{"PlaybackRate", 28, 156, 24, 61},
                      SettingCase{"Contrast", 17, 145, -4, -11},
                      SettingCase{"ExposureValue", 18, 146, -2, 4},
                      SettingCase{"WhiteBalance", 23, 151, 3, 6},
                      SettingCase{"Hdr", 24, 152, 1, 2},
                      SettingCase{"Resolution", 25, 153, 2, 4},
                      SettingCase{"NoiseFilter", 26, 154, -1, -3}),
    [](const ::testing::TestParamInfo<SettingCase>& info) { return std::string(info.param.name); });

using Stm32Settings = OnStm32;

TEST_F(Stm32Settings, ScheduleSetIsKeptFieldByField) {
  std::vector<uint8_t> set = Message(kSetSchedule, kScheduleMessage);
  PutLe(set, 12, 1, 4);
  PutLe(set, 16, 6 * 3600, 4);
  PutLe(set, 20, 20 * 3600, 4);
  PutLe(set, 24, 0x3E, 4);  // weekdays
  EXPECT_EQ(Result(Exchange(set)), 0);
  std::vector<uint8_t> got = Exchange(Message(kGetSchedule, kScheduleMessage));
  EXPECT_EQ(GetLe(got, 12, 4), 1u);
  EXPECT_EQ(GetLe(got, 16, 4), 6u * 3600);
  EXPECT_EQ(GetLe(got, 20, 4), 20u * 3600);
  EXPECT_EQ(GetLe(got, 24, 4), 0x3Eu);
}

TEST_F(Stm32Settings, ScheduleWithOneFieldOutOfRangeChangesNoField) {
  std::vector<uint8_t> set = Message(kSetSchedule, kScheduleMessage);
  PutLe(set, 12, 1, 4);
  PutLe(set, 16, 6 * 3600, 4);
  PutLe(set, 20, 20 * 3600, 4);
  PutLe(set, 24, 0x80, 4);  // an eighth day
  EXPECT_EQ(Result(Exchange(set)), kIllegalParamValue);
  std::vector<uint8_t> got = Exchange(Message(kGetSchedule, kScheduleMessage));
  EXPECT_EQ(GetLe(got, 12, 4), 0u);
  EXPECT_EQ(GetLe(got, 16, 4), 8u * 3600);
  EXPECT_EQ(GetLe(got, 24, 4), 0x7Fu);
}

TEST_F(Stm32Settings, WhileRecordingASettingChangeIsBlockedAndAReadIsNot) {
  config.stm32.mode = 2;  // time lapse
  EXPECT_EQ(Result(Exchange(ValueMessage(kSetInterval, 45))), kBlockedWhileRecording);
  std::vector<uint8_t> get = Exchange(Message(kGetInterval, kValueMessage));
  EXPECT_EQ(Result(get), 0);
  EXPECT_EQ(GetLe(get, 12, 4), 60u);
}

// ---- Clock -----------------------------------------------------------------------------------

using Stm32Clock = OnStm32;

TEST_F(Stm32Clock, StatusReportsLocalTimeWithTheStm32sOwnOffset) {
  config.stm32.rtc_utc = k2025;
  config.stm32.rtc_offset_minutes = -330;
  EXPECT_EQ(StatusTime(), "2024-12-31T18:30:00-05:30");
}

TEST_F(Stm32Clock, TheClockRunsOnWithInstanceTime) {
  config.stm32.rtc_utc = k2025;
  board();
  inst.run_for(90 * kSec);
  EXPECT_EQ(StatusTime(), "2025-01-01T00:01:30+00:00");
}

TEST_F(Stm32Clock, SetDateTimeSetsTheClockAndTakesTheTextsOffset) {
  EXPECT_EQ(Result(Exchange(ClockMessage("2024-07-15T09:30:00+02:00"))), 0);
  EXPECT_EQ(StatusTime(), "2024-07-15T09:30:00+02:00");
  EXPECT_EQ(stm32().rtc_offset_minutes(), 120);
  EXPECT_EQ(stm32().rtc_utc(), 1721028600);  // 07:30 UTC
}

TEST_F(Stm32Clock, AnImpossibleDateIsRefusedAndTheClockKeepsRunning) {
  config.stm32.rtc_utc = k2025;
  EXPECT_EQ(Result(Exchange(ClockMessage("2024-02-30T09:30:00+02:00"))), kIllegalParamValue);
  EXPECT_EQ(StatusTime(), "2025-01-01T00:00:00+00:00");
}

TEST_F(Stm32Clock, EveryClockTextTheModuleSendsIsRecorded) {
  Exchange(ClockMessage("2024-07-15T09:30:00+02:00"));
  Exchange(ClockMessage("not a time"));
  EXPECT_EQ(stm32().clock_writes(),
            (std::vector<std::string>{"2024-07-15T09:30:00+02:00", "not a time"}));
}

TEST(Stm32DateTimeText, FormatsAndParsesLeapDaysAndNegativeOffsets) {
  int64_t local = 0;
  int offset = 0;
  ASSERT_TRUE(sim::parse_date_time_8601("2024-02-29T23:59:59-09:30", &local, &offset));
  EXPECT_EQ(offset, -570);
  EXPECT_EQ(sim::format_date_time_8601(local, offset), "2024-02-29T23:59:59-09:30");
  EXPECT_FALSE(sim::parse_date_time_8601("2023-02-29T00:00:00+00:00", &local, &offset));
  EXPECT_FALSE(sim::parse_date_time_8601("2024-01-01T24:00:00+00:00", &local, &offset));
  EXPECT_FALSE(sim::parse_date_time_8601("2024-01-01T00:00:00+15:00", &local, &offset));
  EXPECT_FALSE(sim::parse_date_time_8601("1969-12-31T23:59:59+00:00", &local, &offset));
}

// ---- Non-volatile blocks ---------------------------------------------------------------------

using Stm32Nvm = OnStm32;

TEST_F(Stm32Nvm, AnUnwrittenBlockReadsAsZeros) {
  std::vector<uint8_t> got = Exchange(NvmMessage(kGetNvm, 0));
  EXPECT_EQ(Result(got), 0);
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 14, got.end()), std::vector<uint8_t>(64, 0));
}

TEST_F(Stm32Nvm, AWrittenBlockReadsBackByteForByteEvenWithAWrongCrc) {
  std::vector<uint8_t> set = NvmMessage(kSetNvm, 0);
  PutLe(set, 14, static_cast<uint16_t>(-300), 2);  // a time-zone offset
  PutLe(set, 16, Crc32(&set[14], 2) ^ 0x1, 4);      // and a CRC one bit off
  set[77] = 0xA5;                                   // and a stray last byte
  EXPECT_EQ(Result(Exchange(set)), 0);
  std::vector<uint8_t> got = Exchange(NvmMessage(kGetNvm, 0));
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 14, got.end()),
            std::vector<uint8_t>(set.begin() + 14, set.end()));
}

TEST_F(Stm32Nvm, BlocksAreKeptApart) {
  std::vector<uint8_t> set = NvmMessage(kSetNvm, 1);
  set[14] = 0x42;
  Exchange(set);
  EXPECT_EQ(Exchange(NvmMessage(kGetNvm, 0))[14], 0);
  EXPECT_EQ(Exchange(NvmMessage(kGetNvm, 1))[14], 0x42);
}

TEST_F(Stm32Nvm, ABlockBeyondTheLastIsRefusedAsAnIllegalValue) {
  EXPECT_EQ(Result(Exchange(NvmMessage(kGetNvm, sim::kNvmBlocks))), kIllegalParamValue);
}

// ---- Status ----------------------------------------------------------------------------------

using Stm32Status = OnStm32;

TEST_F(Stm32Status, StatusCarriesTheModeTheWordAndTheCardsSpace) {
  config.stm32.mode = 2;
  config.stm32.sd.free_mb = 1200;
  config.stm32.sd.total_mb = 15000;
  std::vector<uint8_t> got = Exchange(Message(kGetStatus3, kStatusMessage));
  EXPECT_EQ(GetLe(got, 44, 4), 2u);
  EXPECT_EQ(GetLe(got, 48, 4), kStatusNormal);
  EXPECT_EQ(GetLe(got, 52, 4), 1200u);
  EXPECT_EQ(GetLe(got, 56, 4), 15000u);
}

TEST_F(Stm32Status, ARemovedCardReportsNoCardAndNoSpaceUntilOneIsInserted) {
  board();
  stm32().sd_card_removed();
  std::vector<uint8_t> removed = Exchange(Message(kGetStatus3, kStatusMessage));
  stm32().sd_card_inserted();
  std::vector<uint8_t> inserted = Exchange(Message(kGetStatus3, kStatusMessage));
  EXPECT_EQ(GetLe(removed, 48, 4) & kStatusNoSdCard, kStatusNoSdCard);
  EXPECT_EQ(GetLe(removed, 52, 4), 0u);
  EXPECT_EQ(GetLe(removed, 56, 4), 0u);
  EXPECT_EQ(GetLe(inserted, 48, 4) & kStatusNoSdCard, 0u);
  EXPECT_EQ(GetLe(inserted, 56, 4), 30436u);
}

TEST_F(Stm32Status, CardFullAndCardErrorLastUntilCleared) {
  board();
  stm32().set_sd_full(true);
  stm32().set_sd_error(true);
  uint32_t first = StatusWord(), second = StatusWord();
  stm32().set_sd_full(false);
  uint32_t cleared = StatusWord();
  EXPECT_EQ(first & (kStatusSdCardFull | kStatusSdCardError),
            kStatusSdCardFull | kStatusSdCardError);
  EXPECT_EQ(second, first);
  EXPECT_EQ(cleared & (kStatusSdCardFull | kStatusSdCardError), kStatusSdCardError);
}

TEST_F(Stm32Status, EachEventIsReportedInOneStatusAnswerOnly) {
  board();
  stm32().picture_captured();
  stm32().new_file_created("TL000042.AVI");
  stm32().live_view_stopped();
  stm32().st_rebooted();
  stm32().config_values_dirty();
  uint32_t first = StatusWord(), second = StatusWord();
  const uint32_t events = kStatusPictureCaptured | kStatusNewFileCreated |
                          kStatusLiveViewStopped | kStatusStRebooted | kStatusConfigValuesDirty;
  EXPECT_EQ(first & events, events);
  EXPECT_EQ(second, kStatusNormal);
}

TEST_F(Stm32Status, AnEventPokesTheModule) {
  board();
  EXPECT_FALSE(Stm32LineHigh());
  stm32().picture_captured();
  EXPECT_TRUE(Stm32LineHigh());
}

TEST_F(Stm32Status, AnEventIsNotLostWhenTheStatusAnswerIsRefused) {
  board();
  stm32().st_rebooted();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  std::vector<uint8_t> refused = Exchange(Message(kGetStatus3, kStatusMessage));
  EXPECT_EQ(Result(refused), -110);
  EXPECT_TRUE(StatusWord() & kStatusStRebooted);
}

TEST_F(Stm32Status, UsbModeIsReportedWhileTheCameraIsInUsbMode) {
  config.stm32.mode = 3;
  EXPECT_TRUE(StatusWord() & kStatusUsbMode);
}

TEST_F(Stm32Status, LiveViewStoppingOnTheCameraPutsItIdle) {
  config.stm32.mode = 1;
  board();
  stm32().live_view_stopped();
  EXPECT_EQ(stm32().mode(), 0);
}

// ---- What the module reports -----------------------------------------------------------------

using Stm32Reports = OnStm32;

TEST_F(Stm32Reports, AStatisticsReportIsDecodedFieldByField) {
  std::vector<uint8_t> m = Message(kStatisticsReport, kStatisticsMessage);
  const size_t r = 12;
  // Every 32-bit field its own value: 1000 + its offset.
  for (size_t off = 0; off < 80; off += 4) PutLe(m, r + off, 1000 + static_cast<uint32_t>(off), 4);
  // The two 64-bit times with both halves in use.
  PutLe(m, r + 16, 0x89ABCDEF, 4);
  PutLe(m, r + 20, 0x01234567, 4);
  PutLe(m, r + 28, 0x76543210, 4);
  PutLe(m, r + 32, 0x0000FEDC, 4);
  EXPECT_EQ(Result(Exchange(m)), 0);
  std::vector<sim::StatisticsReport> reports = stm32().statistics_reports();
  ASSERT_EQ(reports.size(), 1u);
  const sim::StatisticsReport& s = reports[0];
  EXPECT_EQ(s.uptime_ms, 1000u);
  EXPECT_EQ(s.ap_open_count, 1004u);
  EXPECT_EQ(s.dns_resolve_count, 1008u);
  EXPECT_EQ(s.session_opened_count, 1012u);
  EXPECT_EQ(s.session_opened_last_time, 0x0123456789ABCDEFull);
  EXPECT_EQ(s.tcp_opened_count, 1024u);
  EXPECT_EQ(s.tcp_opened_last_time, 0x0000FEDC76543210ull);
  EXPECT_EQ(s.st_cmd_seq_err_count, 1036u);
  EXPECT_EQ(s.st_uart_response_timeout_count, 1040u);
  EXPECT_EQ(s.spi_read_timeout_count, 1044u);
  EXPECT_EQ(s.semtmo_msg_err_count, 1048u);
  EXPECT_EQ(s.semtmo_msg_err_last_line, 1052u);
  EXPECT_EQ(s.sec_since_last_ble_communication, 1056u);
  EXPECT_EQ(s.sec_since_last_udp_tx, 1060u);
  EXPECT_EQ(s.sec_since_last_udp_rx, 1064u);
  EXPECT_EQ(s.sec_since_current_session, 1068u);
  EXPECT_EQ(s.consecutive_ap_not_found_count, 1072u);
  EXPECT_EQ(s.heap_size_remaining, 1076u);
}

TEST_F(Stm32Reports, BatteryInfoIsDecodedWithItsFlagsAndFourGauges) {
  std::vector<uint8_t> m = Message(kSetBatteryInfo, kBatteryInfoMessage);
  m[12] = 0x80 | 1;  // charging enabled, USB powered
  m[13] = 87;
  m[14] = 1;         // alarm
  for (int b = 0; b < 4; b++)
    for (int f = 0; f < 10; f++) PutLe(m, 16 + 20 * b + 2 * f, 100 * b + f, 2);
  PutLe(m, 16 + 20 * 2 + 4, static_cast<uint16_t>(-250), 2);  // gauge 2 discharging
  Exchange(m);
  std::optional<sim::BatteryInfo> info = stm32().last_battery_info();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->usb_powered, 1);
  EXPECT_TRUE(info->charging_enabled);
  EXPECT_EQ(info->total_charge_percent, 87);
  EXPECT_EQ(info->low_battery, 1);
  const sim::BatteryEntry& g3 = info->batteries[3];
  EXPECT_EQ(g3.active, 300);
  EXPECT_EQ(g3.voltage, 301);
  EXPECT_EQ(g3.design_capacity, 303);
  EXPECT_EQ(g3.full_charge_capacity, 304);
  EXPECT_EQ(g3.remaining_capacity, 305);
  EXPECT_EQ(g3.state_of_charge, 306);
  EXPECT_EQ(g3.time_to_empty, 307);
  EXPECT_EQ(g3.cycle_count, 308);
  EXPECT_EQ(g3.internal_temp, 309);
  EXPECT_EQ(info->batteries[2].current, -250);
}

TEST_F(Stm32Reports, RecordingExchangeRecordsTheGaugesAndAnswersTheRecordingInfo) {
  config.stm32.mode = 2;
  config.stm32.capture.schedule.enabled = 1;
  board();
  stm32().new_file_created("TL000042.AVI");
  stm32().picture_captured(150000);
  stm32().picture_captured(160000);
  std::vector<uint8_t> m = Message(kXchgBattery, kXchgMessage);
  for (int b = 0; b < 4; b++)
    for (int f = 0; f < 4; f++) PutLe(m, 12 + 8 * b + 2 * f, 1000 * (b + 1) + f, 2);
  std::vector<uint8_t> got = Exchange(m);
  EXPECT_EQ(GetLe(got, 12, 4), 2u);
  EXPECT_EQ(GetLe(got, 16, 4), 310000u);
  EXPECT_EQ(GetText(got, 20, 13), "TL000042.AVI");
  EXPECT_EQ(got[33], 0x03);  // recording, schedule enabled
  std::vector<sim::LegacyBatteryReport> sent = stm32().battery_exchanges();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][0].voltage, 1000);
  EXPECT_EQ(sent[0][1].full_charge_capacity, 2001);
  EXPECT_EQ(sent[0][2].remaining_capacity, 3002);
  EXPECT_EQ(sent[0][3].internal_temp, 4003);
}

// ---- Persistence -----------------------------------------------------------------------------

class Stm32Persistence : public OnStm32 {
 protected:
  Stm32Persistence() { config.state_dir = dir.path(); }
  std::string StateFile() const { return dir.path() + "/stm32.json"; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  simtest::TempDir dir;
};

TEST_F(Stm32Persistence, ANewStateDirectoryIsSeededFromTheConfiguration) {
  config.stm32.ssid = "Seeded";
  board();
  EXPECT_NE(Read(StateFile()).find("\"ssid\": \"Seeded\""), std::string::npos) << Read(StateFile());
}

TEST_F(Stm32Persistence, WhatTheModuleWroteIsAnsweredByTheNextBoardOnTheSameDirectory) {
  std::vector<uint8_t> nvm = NvmMessage(kSetNvm, 0);
  for (size_t i = 14; i < kNvmMessage; i++) nvm[i] = static_cast<uint8_t>(i * 7);
  Exchange(TextMessage(kSetSSID, kTextMessage, "Cabin"));
  Exchange(TextMessage(kSetPWD, kTextMessage, "hunter22"));
  Exchange(TextMessage(kSetAccessCode, kCodeMessage, "482913"));
  Exchange(ValueMessage(kSetInterval, 300));
  Exchange(nvm);
  PowerOff();
  config.stm32.ssid = "Other";  // an existing state wins over the configuration
  EXPECT_EQ(GetText(Exchange(Message(kGetSSID, kTextMessage)), 12, 65), "Cabin");
  EXPECT_EQ(GetText(Exchange(Message(kGetPWD, kTextMessage)), 12, 65), "hunter22");
  EXPECT_EQ(GetText(Exchange(Message(kGetAccessCode, kCodeMessage)), 12, 12), "482913");
  EXPECT_EQ(GetLe(Exchange(Message(kGetInterval, kValueMessage)), 12, 4), 300u);
  std::vector<uint8_t> block = Exchange(NvmMessage(kGetNvm, 0));
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 14, block.end()),
            std::vector<uint8_t>(nvm.begin() + 14, nvm.end()));
}

TEST_F(Stm32Persistence, AChangeIsOnDiskAsSoonAsItIsMade) {
  board();
  stm32().set_sd_full(true);
  Exchange(ValueMessage(kSetInterval, 300));
  Exchange(TextMessage(kSetSSID, kTextMessage, "Cabin"));
  const std::string kept = Read(StateFile());  // the board still on, as after a crash
  EXPECT_NE(kept.find("\"ssid\": \"Cabin\""), std::string::npos) << kept;
  EXPECT_NE(kept.find("\"interval\": 300"), std::string::npos) << kept;
  EXPECT_NE(kept.find("\"full\": true"), std::string::npos) << kept;
}

TEST_F(Stm32Persistence, TheClockGoesOnFromItsReadingAtPowerOffWithItsOffset) {
  Exchange(ClockMessage("2030-05-05T05:05:05+01:00"));
  inst.run_for(10 * kSec);
  PowerOff();
  inst.run_for(60 * kSec);  // the camera lies switched off
  board();
  inst.run_for(5 * kSec);
  EXPECT_EQ(StatusTime(), "2030-05-05T05:05:20+01:00");
}

TEST_F(Stm32Persistence, CardStateLockAndCodesSurviveAPowerCycle) {
  config.stm32.access_code = "1111";
  board();
  stm32().set_access_code_locked(true);
  stm32().set_registration_code("K7Q-2M9");
  stm32().sd_card_removed();
  PowerOff();
  EXPECT_EQ(Result(Exchange(TextMessage(kSetAccessCode, kCodeMessage, "2222"))), kPersistentError);
  EXPECT_EQ(GetText(Exchange(Message(kGetCode, kCodeMessage)), 12, 12), "K7Q-2M9");
  EXPECT_TRUE(StatusWord() & kStatusNoSdCard);
}

TEST_F(Stm32Persistence, AnUnreadableStateFileStopsTheBoardAndIsLeftAsItWas) {
  {
    std::ofstream out(StateFile());
    out << "{ \"format\": 1, \"ssid\": ";
  }
  EXPECT_THROW(sim::Board b(config), std::runtime_error);
  EXPECT_EQ(Read(StateFile()), "{ \"format\": 1, \"ssid\": ");
}

TEST_F(Stm32Persistence, ModeIsABoardInputAndNotKept) {
  config.stm32.mode = 0;
  Exchange([] {
    std::vector<uint8_t> m = Message(kSetModeWithReason, 20);
    PutLe(m, 12, 2, 4);
    return m;
  }());
  PowerOff();
  EXPECT_EQ(stm32().mode(), 0);
}

}  // namespace
