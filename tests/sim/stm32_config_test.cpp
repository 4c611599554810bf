// The STM32 model as the owner of the camera's configuration and status, met as the module meets
// it: requests built with the tests' own codec, sent through expander 1 and the UART.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "driver_side.h"
#include "sim/board.h"
#include "sim/board_config.h"
#include "sim/stm32.h"

namespace {

using simtest::GetLe;
using simtest::GetText;
using simtest::PutLe;
using simtest::Result;

constexpr uint16_t kSetSSID = 9, kGetSSID = 137, kSetPWD = 10, kGetPWD = 138, kSetUserUID = 56,
                   kGetUserUID = 184, kGetCode = 139, kSetAccessCode = 30, kGetAccessCode = 158,
                   kGetUID = 136, kGetStatus3 = 177, kSetDateTime = 37, kSetInterval = 15,
                   kGetInterval = 143, kSetSchedule = 5, kGetSchedule = 133, kSetNvm = 31,
                   kGetNvm = 159;
constexpr size_t kTextMessage = 77, kCodeMessage = 24, kStatusMessage = 60, kValueMessage = 16,
                 kScheduleMessage = 28, kNvmMessage = 78, kDateTimeMessage = 44;
constexpr int32_t kIllegalParamValue = -103, kPersistentError = -109;
constexpr uint32_t kNormal = 0x1, kUsbMode = 0x4, kSdCardError = 0x10, kNoSdCard = 0x80,
                   kSdCardFull = 0x100, kStRebooted = 0x40000,
                   kEvents = 0x4000 | 0x8000 | 0x10000 | 0x20000 | kStRebooted;
constexpr int64_t k2025 = 1735689600;  // 2025-01-01T00:00:00Z
constexpr uint64_t kSec = 1000000;

std::vector<uint8_t> Message(uint16_t command, size_t size,
                             std::initializer_list<uint32_t> words = {}) {
  return simtest::Request(command, 0, size, words);
}

// A request whose body is one text field.
std::vector<uint8_t> Message(uint16_t command, size_t size, const std::string& text) {
  std::vector<uint8_t> m = simtest::Request(command, 0, size);
  simtest::PutText(m, 12, size - 12, text);
  return m;
}

// `n` 32-bit fields from `off` on.
std::vector<uint32_t> Words(const std::vector<uint8_t>& m, size_t off, size_t n) {
  std::vector<uint32_t> v;
  for (size_t i = 0; i < n; i++) v.push_back(GetLe(m, off + 4 * i, 4));
  return v;
}

std::vector<uint8_t> Tail(const std::vector<uint8_t>& m, size_t off) {
  return {m.begin() + off, m.end()};
}

class Stm32Config : public ::testing::Test {
 protected:
  // The board, made from `config` at first use.
  sim::Board& board() {
    if (!board_) board_ = std::make_unique<sim::Board>(config);
    return *board_;
  }
  sim::Stm32& stm32() { return board().stm32(); }
  void PowerOff() { board_.reset(); }

  // One transaction as the module makes it; the decoded answer, checked against the request.
  std::vector<uint8_t> Exchange(std::vector<uint8_t> request) {
    board();
    PutLe(request, 4, ++signature_, 4);
    std::vector<uint8_t> msg;
    simtest::AsModule(inst, [&](auto& m) { msg = simtest::Decode(m.Transact(request)); });
    EXPECT_EQ(msg.size(), request.size());
    EXPECT_EQ(simtest::Signature(msg), signature_);
    return msg;
  }
  std::vector<uint8_t> Ask(uint16_t command, size_t size, std::initializer_list<uint32_t> w = {}) {
    return Exchange(Message(command, size, w));
  }
  std::vector<uint8_t> Ask(uint16_t command, size_t size, const std::string& text) {
    return Exchange(Message(command, size, text));
  }
  std::string Text(uint16_t command, size_t size) {
    return GetText(Ask(command, size), 12, size - 12);
  }
  std::vector<uint32_t> Status(size_t from = 44, size_t n = 4) {
    return Words(Ask(kGetStatus3, kStatusMessage), from, n);
  }
  uint32_t StatusWord() { return Status(48, 1)[0]; }
  std::string StatusTime() { return GetText(Ask(kGetStatus3, kStatusMessage), 12, 32); }
  std::string StateFile() const {
    std::stringstream s;
    s << std::ifstream(dir.path() + "/stm32.json").rdbuf();
    return s.str();
  }

  camhost::Instance inst{simtest::VirtualTime()};
  sim::BoardConfig config;
  simtest::TempDir dir;  // a state directory, for the tests that name it

 private:
  std::unique_ptr<sim::Board> board_;
  uint32_t signature_ = 0;
};

// ---- Credentials, codes and identity ----------------------------------------------------------

TEST_F(Stm32Config, ATextAnswersNoneOrEmptyUntilSetAndThenWhatWasSet) {
  EXPECT_EQ(Text(kGetCode, kCodeMessage), "NONE");  // the registration code, never set here
  std::string long_password;  // no NUL in the field at all: the 65th byte is taken as the end
  for (int i = 0; i < 65; i++) long_password += char('a' + i % 26);
  const struct { uint16_t set, get; size_t size; std::string unset, value, kept; } cases[] = {
      {kSetSSID, kGetSSID, kTextMessage, "NONE", "Cabin Wi-Fi", "Cabin Wi-Fi"},
      {kSetPWD, kGetPWD, kTextMessage, "NONE", long_password, long_password.substr(0, 64)},
      {kSetUserUID, kGetUserUID, kTextMessage, "", "user-8f3a21", "user-8f3a21"},
      {kSetAccessCode, kGetAccessCode, kCodeMessage, "", "482913", "482913"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Text(c.get, c.size), c.unset);
    std::vector<uint8_t> set = Ask(c.set, c.size, c.value);
    EXPECT_EQ(Result(set), 0);
    EXPECT_EQ(GetText(set, 12, c.size - 12), c.kept);
    EXPECT_EQ(Text(c.get, c.size), c.kept);
  }
}

TEST_F(Stm32Config, ALockedAccessCodeRefusesASetAsAPersistentErrorAndIsKept) {
  config.stm32.access_code = "1111";
  config.stm32.access_code_locked = true;
  EXPECT_EQ(Result(Ask(kSetAccessCode, kCodeMessage, "4829")), kPersistentError);
  EXPECT_EQ(Text(kGetAccessCode, kCodeMessage), "1111");
}

TEST_F(Stm32Config, TheRejectedUidPatternIsAnsweredAsConfiguredAndCanBeReplaced) {
  const uint16_t bad[6] = {0, 0, 0, 0, 0, 0x000C};
  std::copy(bad, bad + 6, config.stm32.camera_uid);
  // The six 16-bit values, read two to a word.
  EXPECT_EQ(Words(Ask(kGetUID, kCodeMessage), 12, 3), (std::vector<uint32_t>{0, 0, 0x000C0000}));
  stm32().set_camera_uid({0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C});
  EXPECT_EQ(Words(Ask(kGetUID, kCodeMessage), 12, 3),
            (std::vector<uint32_t>{0x03040102, 0x07080506, 0x0B0C090A}));
}

TEST_F(Stm32Config, Version1AnswersItsVersionsEchoesTheModulesAndRecordsItsBleName) {
  std::vector<uint8_t> req = Message(179, 68);
  PutLe(req, 44, 15254, 4);
  simtest::PutText(req, 48, 20, "QVR8K-4F2A");
  // The STM32's 2.4.1187, the FPGA's 1.3.77, then the module's own 0.0.15254 unchanged.
  EXPECT_EQ(Words(Exchange(req), 12, 9),
            (std::vector<uint32_t>{2, 4, 1187, 1, 3, 77, 0, 0, 15254}));
  EXPECT_EQ(stm32().module_ble_name(), "QVR8K-4F2A");
  EXPECT_EQ(stm32().module_version()[2], 15254u);
}

TEST_F(Stm32Config, AMessageOfTheWrongSizeIsRefusedAsABadArgument) {
  EXPECT_EQ(Result(Ask(kGetInterval, kValueMessage + 1)), -111);
}

// ---- Capture settings ----------------------------------------------------------------------

TEST_F(Stm32Config, EverySettingKeepsAValueInRangeAndRefusesOneJustOutsideAsIllegal) {
  const struct {
    const char* name;
    uint16_t set, get;
    int32_t in_range, too_far;  // in_range differs from the default
  } settings[] = {
      {"interval", 15, 143, 45, 0},       {"file split", 27, 155, 1, 2},
      {"overwrite", 59, 187, 1, 2},       {"exposure mode", 21, 149, 2, 4},
      {"flicker filter", 22, 150, 1, 3},  {"embed timestamp", 16, 144, 0, 2},
      {"sharpness", 20, 148, 8, 11},      {"saturation", 19, 147, 2, 11},
      {"playback rate", 28, 156, 24, 61}, {"contrast", 17, 145, -4, -11},
      {"exposure value", 18, 146, -2, 4}, {"white balance", 23, 151, 3, 6},
      {"hdr", 24, 152, 1, 2},             {"resolution", 25, 153, 2, 4},
      {"noise filter", 26, 154, -1, -3}};
  for (const auto& s : settings) {
    SCOPED_TRACE(s.name);
    std::vector<uint8_t> set = Ask(s.set, kValueMessage, {uint32_t(s.in_range)});
    EXPECT_EQ(Result(set), 0);
    EXPECT_EQ(int32_t(GetLe(set, 12, 4)), s.in_range);
    EXPECT_EQ(Result(Ask(s.set, kValueMessage, {uint32_t(s.too_far)})), kIllegalParamValue);
    EXPECT_EQ(int32_t(GetLe(Ask(s.get, kValueMessage), 12, 4)), s.in_range);
  }
}

TEST_F(Stm32Config, AScheduleIsKeptWholeOrNotAtAll) {
  auto set = [this](uint32_t week) {
    return Result(Ask(kSetSchedule, kScheduleMessage, {1, 6 * 3600, 20 * 3600, week}));
  };
  EXPECT_EQ(set(0x80), kIllegalParamValue);  // an eighth day
  EXPECT_EQ(Words(Ask(kGetSchedule, kScheduleMessage), 12, 4),
            (std::vector<uint32_t>{0, 8 * 3600, 18 * 3600, 0x7F}));
  EXPECT_EQ(set(0x3E), 0);
  EXPECT_EQ(Words(Ask(kGetSchedule, kScheduleMessage), 12, 4),
            (std::vector<uint32_t>{1, 6 * 3600, 20 * 3600, 0x3E}));
}

TEST_F(Stm32Config, WhileRecordingASettingChangeIsBlockedAndAReadIsNot) {
  config.stm32.mode = 2;  // time lapse
  EXPECT_EQ(Result(Ask(kSetInterval, kValueMessage, {45})), -101);
  std::vector<uint8_t> get = Ask(kGetInterval, kValueMessage);
  EXPECT_EQ(Result(get), 0);
  EXPECT_EQ(GetLe(get, 12, 4), 60u);
}

// ---- Clock and non-volatile blocks -----------------------------------------------------------

TEST_F(Stm32Config, SetDateTimeSetsTheClockAndTakesTheTextsOffsetIfItHasOne) {
  const std::string leap_day = "2024-02-29T23:59:59-09:30";
  EXPECT_EQ(Result(Ask(kSetDateTime, kDateTimeMessage, leap_day)), 0);
  EXPECT_EQ(StatusTime(), leap_day);
  EXPECT_EQ(stm32().rtc_offset_minutes(), -570);
  EXPECT_EQ(stm32().rtc_utc(), 1709285399);  // 09:29:59 UTC the next day
  EXPECT_EQ(Result(Ask(kSetDateTime, kDateTimeMessage, "2024-03-01T10:00:00")), 0);
  EXPECT_EQ(StatusTime(), "2024-03-01T10:00:00-09:30");  // without an offset: the one kept
}

TEST_F(Stm32Config, AnImpossibleTimeIsRefusedAndRecordedAndTheClockRunsOn) {
  config.stm32.rtc_utc = k2025;
  const std::vector<std::string> bad = {"2023-02-29T00:00:00+00:00", "2024-01-01T24:00:00+00:00",
                                        "2024-01-01T00:00:00+15:00", "1969-12-31T23:59:59+00:00"};
  for (const std::string& text : bad)
    EXPECT_EQ(Result(Ask(kSetDateTime, kDateTimeMessage, text)), kIllegalParamValue) << text;
  inst.run_for(90 * kSec);
  EXPECT_EQ(StatusTime(), "2025-01-01T00:01:30+00:00");
  EXPECT_EQ(stm32().clock_writes(), bad);
}

TEST_F(Stm32Config, AWrittenBlockReadsBackByteForByteEvenWithAWrongCrc) {
  std::vector<uint8_t> set = Message(kSetNvm, kNvmMessage);
  PutLe(set, 14, static_cast<uint16_t>(-300), 2);  // a time-zone offset
  PutLe(set, 16, 0xFE88CDFF ^ 0x1, 4);              // its CRC-32, one bit off
  set[77] = 0xA5;                                   // and a stray last byte
  EXPECT_EQ(Result(Exchange(set)), 0);
  EXPECT_EQ(Tail(Ask(kGetNvm, kNvmMessage), 14), Tail(set, 14));
}

TEST_F(Stm32Config, BlocksAreKeptApartAndAnUnwrittenOneReadsAsZeros) {
  std::vector<uint8_t> set = Message(kSetNvm, kNvmMessage, {1});
  set[14] = 0x42;
  EXPECT_EQ(Result(Exchange(set)), 0);
  EXPECT_EQ(Tail(Ask(kGetNvm, kNvmMessage, {0}), 14), std::vector<uint8_t>(64, 0));
  EXPECT_EQ(Ask(kGetNvm, kNvmMessage, {1})[14], 0x42);
  EXPECT_EQ(Result(Ask(kGetNvm, kNvmMessage, {16})), kIllegalParamValue);
}

// ---- Status ----------------------------------------------------------------------------------

TEST_F(Stm32Config, StatusCarriesLocalTimeWithItsOffsetTheModeTheWordAndTheCardsSpace) {
  config.stm32.rtc_utc = k2025;
  config.stm32.rtc_offset_minutes = -330;
  config.stm32.mode = 3;  // USB
  config.stm32.sd.free_mb = 1200;
  config.stm32.sd.total_mb = 15000;
  EXPECT_EQ(StatusTime(), "2024-12-31T18:30:00-05:30");
  EXPECT_EQ(Status(), (std::vector<uint32_t>{3, kNormal | kUsbMode, 1200, 15000}));
}

TEST_F(Stm32Config, CardStatesLastUntilClearedAndARemovedCardHasNoSpace) {
  stm32().set_sd_full(true);
  stm32().set_sd_error(true);
  EXPECT_EQ(StatusWord(), kNormal | kSdCardFull | kSdCardError);
  EXPECT_EQ(StatusWord(), kNormal | kSdCardFull | kSdCardError);
  stm32().set_sd_full(false);
  EXPECT_EQ(StatusWord(), kNormal | kSdCardError);
  stm32().sd_card_removed();
  EXPECT_EQ(Status(48, 3), (std::vector<uint32_t>{kNormal | kNoSdCard, 0, 0}));
  stm32().sd_card_inserted();
  EXPECT_EQ(Status(48, 3), (std::vector<uint32_t>{kNormal, 29000, 30436}));
}

TEST_F(Stm32Config, EachEventPokesTheModuleAndIsReportedInOneStatusAnswerOnly) {
  stm32().picture_captured();
  EXPECT_TRUE(board().expander1().pins() & 0x8000);
  stm32().new_file_created("TL000042.AVI");
  stm32().live_view_stopped();
  stm32().st_rebooted();
  stm32().set_ssid("Barn");  // a setting changed on the camera
  EXPECT_EQ(StatusWord(), kNormal | kEvents);
  EXPECT_EQ(StatusWord(), kNormal);
}

TEST_F(Stm32Config, AnEventIsNotLostWhenTheStatusAnswerIsRefused) {
  stm32().st_rebooted();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  EXPECT_EQ(Result(Ask(kGetStatus3, kStatusMessage)), -110);
  EXPECT_EQ(StatusWord(), kNormal | kStRebooted);
}

TEST_F(Stm32Config, LiveViewStoppingOnTheCameraPutsItIdle) {
  config.stm32.mode = 1;
  stm32().live_view_stopped();
  EXPECT_EQ(stm32().mode(), 0);
}

// ---- What the module reports -----------------------------------------------------------------

TEST_F(Stm32Config, AStatisticsReportIsDecodedFieldByField) {
  std::vector<uint8_t> m = Message(61, 92);
  for (uint32_t off = 0; off < 80; off += 4) PutLe(m, 12 + off, 1000 + off, 4);
  EXPECT_EQ(Result(Exchange(m)), 0);
  ASSERT_EQ(stm32().statistics_reports().size(), 1u);
  const sim::StatisticsReport s = stm32().statistics_reports()[0];
  EXPECT_EQ(std::vector<uint64_t>({s.uptime_ms, s.ap_open_count, s.dns_resolve_count,
                                   s.session_opened_count, s.session_opened_last_time,
                                   s.tcp_opened_count, s.tcp_opened_last_time,
                                   s.st_cmd_seq_err_count, s.st_uart_response_timeout_count,
                                   s.spi_read_timeout_count, s.semtmo_msg_err_count,
                                   s.semtmo_msg_err_last_line, s.sec_since_last_ble_communication,
                                   s.sec_since_last_udp_tx, s.sec_since_last_udp_rx,
                                   s.sec_since_current_session, s.consecutive_ap_not_found_count,
                                   s.heap_size_remaining}),
            std::vector<uint64_t>({1000, 1004, 1008, 1012, 1020ull << 32 | 1016, 1024,
                                   1032ull << 32 | 1028, 1036, 1040, 1044, 1048, 1052, 1056, 1060,
                                   1064, 1068, 1072, 1076}));
}

TEST_F(Stm32Config, BatteryInfoIsDecodedWithItsFlagsAndFourGauges) {
  std::vector<uint8_t> m = Message(53, 96, {0x00015781});  // USB powered and charging, 87 %, low
  for (int f = 0; f < 40; f++) PutLe(m, 16 + 2 * f, 1000 + f, 2);
  PutLe(m, 16 + 20 * 2 + 4, static_cast<uint16_t>(-250), 2);  // gauge 2 discharging
  Exchange(m);
  std::optional<sim::BatteryInfo> info = stm32().last_battery_info();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(std::vector<int>({info->usb_powered, info->charging_enabled,
                              info->total_charge_percent, info->low_battery}),
            std::vector<int>({1, 1, 87, 1}));
  const sim::BatteryEntry& g = info->batteries[3];
  EXPECT_EQ(std::vector<int>({g.active, g.voltage, g.current, g.design_capacity,
                              g.full_charge_capacity, g.remaining_capacity, g.state_of_charge,
                              g.time_to_empty, g.cycle_count, g.internal_temp}),
            std::vector<int>({1030, 1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039}));
  EXPECT_EQ(info->batteries[2].current, -250);
}

TEST_F(Stm32Config, RecordingExchangeRecordsTheGaugesAndAnswersTheRecordingInfo) {
  config.stm32.mode = 2;
  config.stm32.capture.schedule.enabled = 1;
  stm32().new_file_created("TL000042.AVI");
  stm32().picture_captured(150000);
  stm32().picture_captured(160000);
  std::vector<uint8_t> m = Message(174, 44);
  for (int f = 0; f < 16; f++) PutLe(m, 12 + 2 * f, 1000 + f, 2);
  std::vector<uint8_t> got = Exchange(m);
  EXPECT_EQ(Words(got, 12, 2), (std::vector<uint32_t>{2, 310000}));
  EXPECT_EQ(GetText(got, 20, 13), "TL000042.AVI");
  EXPECT_EQ(got[33], 0x03);  // recording, schedule enabled
  const std::vector<sim::LegacyBatteryReport> sent = stm32().battery_exchanges();
  ASSERT_EQ(sent.size(), 1u);
  const sim::LegacyBatteryEntry& g = sent[0][3];
  EXPECT_EQ(std::vector<int>({g.voltage, g.full_charge_capacity, g.remaining_capacity,
                              g.internal_temp}),
            std::vector<int>({1012, 1013, 1014, 1015}));
}

// ---- Persistence -----------------------------------------------------------------------------

TEST_F(Stm32Config, TheStateFileIsSeededFromTheConfigurationAndFollowsEachChange) {
  config.state_dir = dir.path();
  config.stm32.password = "Seeded";
  stm32().set_sd_full(true);
  Ask(kSetInterval, kValueMessage, {300});
  Ask(kSetSSID, kTextMessage, "Cabin");
  const std::string kept = StateFile();  // the board still on, as after a crash
  for (const char* key :
       {"\"password\": \"Seeded\"", "\"ssid\": \"Cabin\"", "\"interval\": 300", "\"full\": true"})
    EXPECT_NE(kept.find(key), std::string::npos) << key << " in " << kept;
}

TEST_F(Stm32Config, TheNextBoardOnTheSameStateDirectoryAnswersWhatWasKeptButNotTheMode) {
  config.state_dir = dir.path();
  std::vector<uint8_t> nvm = Message(kSetNvm, kNvmMessage);
  for (size_t i = 14; i < kNvmMessage; i++) nvm[i] = static_cast<uint8_t>(i * 7);
  Exchange(nvm);
  Ask(kSetPWD, kTextMessage, "hunter22");
  Ask(kSetAccessCode, kCodeMessage, "482913");
  Ask(kSetInterval, kValueMessage, {300});
  Ask(48, 20, {1});  // set mode with reason: live view, a board input and not kept
  stm32().set_access_code_locked(true);
  stm32().set_registration_code("K7Q-2M9");
  stm32().sd_card_removed();
  PowerOff();
  config.stm32.password = "Other";  // an existing state wins over the configuration
  EXPECT_EQ(Tail(Ask(kGetNvm, kNvmMessage), 14), Tail(nvm, 14));
  EXPECT_EQ(Text(kGetPWD, kTextMessage), "hunter22");
  EXPECT_EQ(Result(Ask(kSetAccessCode, kCodeMessage, "2222")), kPersistentError);
  EXPECT_EQ(Text(kGetAccessCode, kCodeMessage), "482913");
  EXPECT_EQ(GetLe(Ask(kGetInterval, kValueMessage), 12, 4), 300u);
  EXPECT_EQ(Text(kGetCode, kCodeMessage), "K7Q-2M9");
  EXPECT_EQ(StatusWord(), kNormal | kNoSdCard);
  EXPECT_EQ(stm32().mode(), 0);
}

TEST_F(Stm32Config, TheKeptClockGoesOnFromItsReadingAtPowerOffWithItsOffset) {
  config.state_dir = dir.path();
  Ask(kSetDateTime, kDateTimeMessage, "2030-05-05T05:05:05+01:00");
  inst.run_for(10 * kSec);
  PowerOff();
  inst.run_for(60 * kSec);  // the camera lies switched off
  board();
  inst.run_for(5 * kSec);
  EXPECT_EQ(StatusTime(), "2030-05-05T05:05:20+01:00");
}

TEST_F(Stm32Config, WithoutACleanPowerOffTheKeptClockIsAtMostAMinuteBehind) {
  config.state_dir = dir.path();
  board();
  for (int step = 1; step <= 40; step++) {  // 40 x 37 s: saves fall at every phase of a step
    inst.run_for(37 * kSec);
    sim::Stm32Config kept;
    std::string error;
    ASSERT_TRUE(sim::parse_stm32_state_json(StateFile(), &kept, &error)) << error;
    const int64_t behind = stm32().rtc_utc() - kept.rtc_utc;
    EXPECT_GE(behind, 0);
    EXPECT_LE(behind, 60) << "after " << step * 37 << " s";
  }
}

TEST_F(Stm32Config, TheClockStopsAtTheLastSecondItsTextCanShowAndIsKeptSo) {
  config.state_dir = dir.path();
  config.stm32.rtc_utc = sim::kLastLocalSecond - 60 - 3600;
  config.stm32.rtc_offset_minutes = 60;
  board();
  inst.run_for(180 * kSec);
  EXPECT_EQ(StatusTime(), "9999-12-31T23:59:59+01:00");
  PowerOff();
  EXPECT_EQ(StatusTime(), "9999-12-31T23:59:59+01:00");  // the next board reads it back
}

TEST_F(Stm32Config, ASecondBoardOnTheSameStateDirectoryIsRefusedNamingTheProcessThatHoldsIt) {
  config.state_dir = dir.path();
  Ask(kSetSSID, kTextMessage, "Cabin");
  const std::string kept = StateFile();
  try {
    sim::Board second(config);
    ADD_FAILURE() << "a second board took the state directory";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), dir.path() + ": the state directory is in use by process " +
                                         std::to_string(getpid()));
  }
  EXPECT_EQ(StateFile(), kept);
  EXPECT_EQ(Text(kGetSSID, kTextMessage), "Cabin");
}

TEST_F(Stm32Config, AStateFileThatIsNotARegularFileStopsTheBoardAndIsLeftAsItIs) {
  config.state_dir = dir.path();
  const std::string path = dir.path() + "/stm32.json";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { std::filesystem::create_symlink("/dev/zero", path); },
       "is a character device, not a regular file"},
      {[&] { mkfifo(path.c_str(), 0600); }, "is a FIFO, not a regular file"},
      {[&] { std::filesystem::create_directory(path); }, "is a directory, not a regular file"},
      {[&] { std::filesystem::create_symlink(dir.path() + "/none", path); },
       "cannot be opened: No such file or directory"},
  };
  for (const auto& [make, what] : cases) {
    make();
    try {
      sim::Board b(config);
      ADD_FAILURE() << "read " << what;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), path + ": " + what);
    }
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path, ec)));
    std::filesystem::remove(path);
  }
  board();  // and the directory was let go each time
}

TEST_F(Stm32Config, AnUnreadableStateFileStopsTheBoardAndIsLeftAsItWas) {
  config.state_dir = dir.path();
  std::ofstream(dir.path() + "/stm32.json") << "{ \"format\": 1, \"ssid\": ";
  EXPECT_THROW(sim::Board b(config), std::runtime_error);
  EXPECT_EQ(StateFile(), "{ \"format\": 1, \"ssid\": ");
}

}  // namespace
