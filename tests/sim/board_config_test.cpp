// Board files and the STM32's state file: what each key sets, and the errors that name the key.
#include "sim/board_config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver_side.h"

namespace {

// The error for a board file, or "" when it parsed.
std::string ErrorFor(const std::string& text, sim::BoardConfig* config = nullptr) {
  sim::BoardConfig scratch;
  std::string error;
  return sim::parse_board_json(text, config ? config : &scratch, &error) ? "" : error;
}

TEST(BoardFile, EachKeySetsItsFieldAndKeysNotNamedKeepTheirValues) {
  sim::BoardConfig c;
  c.stm32.capture.sharpness = 7;
  const std::string text = R"({
      "camera_uid": "0001-0203-0a0B-FFFF-0000-000C", "ssid": "Cabin", "password": "hunter22",
      "access_code": "482913", "access_code_locked": true, "registration_code": "K7Q-2M9",
      "user_uid": "user-8f3a21", "fw_version": "3.0.12", "fpga_version": [1, 4, 80],
      "ble_name": "QVR8K-TEST", "spi_transfer_length": 1024, "mode": "time_lapse",
      "usb_powered": true, "capture": {"interval": 300, "contrast": -4,
                                       "schedule": {"enabled": true, "start": 3600, "week": 62}},
      "sd": {"present": true, "full": true, "free_mb": 0, "total_mb": 60000},
      "nvm": {"3": "ff)" + std::string(124, '0') + R"(0a"}})";
  ASSERT_EQ(ErrorFor(text, &c), "");
  const sim::Stm32Config& s = c.stm32;
  EXPECT_EQ(std::vector<uint16_t>(s.camera_uid, s.camera_uid + 6),
            (std::vector<uint16_t>{0x0001, 0x0203, 0x0A0B, 0xFFFF, 0x0000, 0x000C}));
  EXPECT_EQ((std::vector<std::string>{s.ssid, s.password, s.access_code, s.registration_code,
                                      s.user_uid, s.ble_name}),
            (std::vector<std::string>{"Cabin", "hunter22", "482913", "K7Q-2M9", "user-8f3a21",
                                      "QVR8K-TEST"}));
  EXPECT_EQ((std::vector<int64_t>{s.fw_version[0], s.fw_version[2], s.fpga_version[1],
                                  s.spi_transfer_length, s.mode, s.sd.total_mb}),
            (std::vector<int64_t>{3, 12, 4, 1024, 2, 60000}));
  EXPECT_TRUE(s.access_code_locked && c.usb_powered && s.sd.full);
  // Capture settings; sharpness and the schedule's stop not named, so kept.
  EXPECT_EQ((std::vector<int64_t>{s.capture.interval, s.capture.contrast, s.capture.sharpness,
                                  s.capture.schedule.enabled, s.capture.schedule.start,
                                  s.capture.schedule.stop, s.capture.schedule.week}),
            (std::vector<int64_t>{300, -4, 7, 1, 3600, 18 * 3600, 62}));
  ASSERT_EQ(s.nvm.count(3), 1u);
  EXPECT_EQ(s.nvm.at(3)[0], 0xFF);
  EXPECT_EQ(s.nvm.at(3)[63], 0x0A);
}

TEST(BoardFile, RtcTimeSetsTheClockAndItsOffsetOrIsLocalTimeInTheGivenOffset) {
  sim::BoardConfig c;
  ASSERT_EQ(ErrorFor(R"({"rtc_time": "2025-03-01T08:00:00-05:00"})", &c), "");
  EXPECT_EQ(c.stm32.rtc_offset_minutes, -300);
  EXPECT_EQ(c.stm32.rtc_utc, 1740834000);  // 13:00 UTC
  ASSERT_EQ(ErrorFor(R"({"rtc_offset_minutes": 60, "rtc_time": "2025-03-01T08:00:00"})", &c), "");
  EXPECT_EQ(c.stm32.rtc_offset_minutes, 60);
  EXPECT_EQ(c.stm32.rtc_utc, 1740812400);  // 07:00 UTC
}

TEST(BoardFile, AnErrorNamesTheKeyAndWhatIsWrongAndChangesNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"ssid": "Cabin", "ssidd": "Cabin"})", "\"ssidd\": unknown key"},  // after a good key
      {R"({"capture": {"sharpnes": 3}})", "\"capture.sharpnes\": unknown key"},
      {R"({"capture": {"sharpness": 11}})", "\"capture.sharpness\": 11 is out of range 0..10"},
      {R"({"access_code_locked": "yes"})",
       "\"access_code_locked\": must be true or false, not \"yes\""},
      {R"({"capture": {"interval": 2.5}})",
       "\"capture.interval\": must be a whole number in 1..86400, not 2.5"},
      {R"({"access_code": "123456789012"})", "\"access_code\": is 12 bytes long; at most 11"},
      {R"({"camera_uid": "1A2B-3C4D"})", "\"camera_uid\": must be six groups"},
      {R"({"rtc_time": "2025-02-30T08:00:00+00:00"})", "\"rtc_time\": must be a real date"},
      {R"({"rtc_offset_minutes": 60, "rtc_time": "2025-03-01T08:00:00+02:00"})",
       "\"rtc_offset_minutes\": 60 disagrees with rtc_time's offset, 120"},
      {R"({"sd": {"free_mb": 5, "total_mb": 4}})", "\"sd.free_mb\": 5 is more than the total, 4"},
      {R"({"nvm": {"16": ""}})", "\"nvm.16\": must be a block number, 0..15"},
      {"{\"ssid\": }", "not valid JSON: parse error at line 1, column 10"}};
  for (const auto& [text, start] : cases) {
    sim::BoardConfig c;
    const std::string error = ErrorFor(text, &c);
    EXPECT_EQ(error.rfind(start, 0), 0u) << text << " gave " << error;
    EXPECT_EQ(c.stm32.ssid, "") << text;
  }
}

TEST(BoardFile, AFileErrorStartsWithThePath) {
  simtest::TempDir dir;
  const std::string path = dir.path() + "/board.json";
  std::ofstream(path) << R"({"hdr": 1})";
  sim::BoardConfig c;
  std::string error;
  EXPECT_FALSE(sim::load_board_file(path, &c, &error));
  EXPECT_EQ(error, path + ": \"hdr\": unknown key");
  EXPECT_FALSE(sim::load_board_file(dir.path() + "/none.json", &c, &error));
  EXPECT_EQ(error, dir.path() + "/none.json: cannot be opened: No such file or directory");
}

// ---- Hostile input ---------------------------------------------------------------------------

TEST(BoardFile, WhatTheParserCannotBearOrWouldHideIsRefusedNamingTheKey) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::pair<std::string, std::string> cases[] = {
      {R"({"ssid": )" + deep + "}", "\"ssid\": is nested deeper than 32 levels"},
      {R"({"capture": {"schedule": )" + deep + "}}",
       "\"capture.schedule\": is nested deeper than 32 levels"},
      {deep, "is nested deeper than 32 levels"},
      {R"({"capture": {"sharpness": 11, "sharpness": 1}})",
       "\"capture.sharpness\": is given twice"},
      {R"({"ssid": "a", "password": "b", "ssid": "a"})", "\"ssid\": is given twice"},
      {R"({"ssid": "a", "\u0073sid": "a"})", "\"ssid\": is given twice"},  // the same key
  };
  for (const auto& [text, want] : cases) {
    sim::BoardConfig c;
    EXPECT_EQ(ErrorFor(text, &c), want) << text.substr(0, 60);
    EXPECT_EQ(c.stm32.ssid, "");
  }
}

TEST(BoardFile, AMessageShowsAHugeValueOrKeyCutShort) {
  const std::string huge(5 << 20, 'x');
  std::string ones = "1";
  for (int i = 0; i < 500; i++) ones += ",1";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"access_code_locked": ")" + huge + "\"}",
       "\"access_code_locked\": must be true or false, not \"" + huge.substr(0, 64) +
           "\"... (5242880 bytes)"},
      {R"({"capture": {"hdr": [)" + ones + "]}}",
       "\"capture.hdr\": must be a whole number in 0..1, not [" + ones.substr(0, 63) +
           "... (1003 bytes)"},
      {"{\"" + huge + R"(": 1})", "\"" + huge.substr(0, 64) + "... (5242880 bytes)\": unknown key"},
      {R"({"ssid": ")" + huge, "not valid JSON: parse error at line 1, column 5242891: syntax"},
  };
  for (const auto& [text, start] : cases) {
    const std::string error = ErrorFor(text);
    EXPECT_EQ(error.substr(0, start.size()), start);
    EXPECT_LT(error.size(), 300u) << error.substr(0, 300);
  }
}

TEST(BoardFile, OnlyARegularFileOfAtMostAMegabyteIsRead) {
  simtest::TempDir dir;
  const std::string d = dir.path();
  ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);  // read without blocking, then refused
  std::filesystem::create_symlink("/dev/zero", d + "/zero");
  std::ofstream(d + "/big") << "{\"ssid\": \"" << std::string(sim::kMaxConfigFileBytes, 'x')
                            << "\"}";
  std::filesystem::create_symlink(d + "/none", d + "/dangling");
  const std::pair<std::string, std::string> cases[] = {
      {d, "is a directory, not a regular file"},
      {d + "/fifo", "is a FIFO, not a regular file"},
      {d + "/zero", "is a character device, not a regular file"},
      {d + "/big", "is larger than 1048576 bytes, more than a board or state file can be"},
      {d + "/dangling", "cannot be opened: No such file or directory"},
  };
  for (const auto& [path, what] : cases) {
    sim::BoardConfig c;
    std::string error;
    EXPECT_FALSE(sim::load_board_file(path, &c, &error));
    EXPECT_EQ(error, path + ": " + what);
  }
}

TEST(Stm32StateFile, ReadsBackEverythingItWrote) {
  sim::Stm32Config c;
  c.ssid = "Caf\xC3\xA9";     // UTF-8
  c.password = "\xFF\x01pw";  // not UTF-8: the module may write any bytes
  c.access_code_locked = true;
  c.capture.noise_filter = -2;
  c.rtc_utc = 1900000000;
  c.rtc_offset_minutes = 345;
  c.sd.present = false;
  c.nvm[0].fill(0x5A);
  const std::string text = sim::stm32_state_json(c);
  sim::Stm32Config back;
  std::string error;
  ASSERT_TRUE(sim::parse_stm32_state_json(text, &back, &error)) << error << "\n" << text;
  EXPECT_EQ(sim::stm32_state_json(back), text);
  EXPECT_EQ(back.password, c.password);
  EXPECT_EQ(back.rtc_utc, c.rtc_utc);
}

TEST(Stm32StateFile, AClockOutsideWhatTheTextShowsIsWrittenAsItsNearestEndAndReadsBack) {
  constexpr int64_t kLast = sim::kLastLocalSecond;
  const struct { int64_t utc; int16_t offset; const char* written; } cases[] = {
      {kLast + 180, 0, "9999-12-31T23:59:59+00:00"},
      {kLast - 3600, 840, "9999-12-31T23:59:59+14:00"},
      {INT64_MAX / 2, -720, "9999-12-31T23:59:59-12:00"},
      {-86400 * 3, 0, "1970-01-01T00:00:00+00:00"},
      {-14 * 3600, 840, "1970-01-01T00:00:00+14:00"},  // the earliest clock there is
  };
  for (const auto& c : cases) {
    sim::Stm32Config config;
    config.rtc_utc = c.utc;
    config.rtc_offset_minutes = c.offset;
    const std::string text = sim::stm32_state_json(config);
    EXPECT_NE(text.find(std::string("\"rtc_time\": \"") + c.written + "\""), std::string::npos)
        << text;
    sim::Stm32Config back;
    std::string error;
    EXPECT_TRUE(sim::parse_stm32_state_json(text, &back, &error)) << error;
  }
}

TEST(Stm32StateFile, ADateTheClockCannotShowIsRefused) {
  for (const char* date : {"10000-01-01T00:02:00+00:00", "1969-12-31T23:59:59+00:00",
                           "9999-12-31T24:00:00+00:00"}) {
    sim::Stm32Config c;
    std::string error;
    EXPECT_FALSE(sim::parse_stm32_state_json(
        std::string(R"({"format": 1, "rtc_time": ")") + date + "\"}", &c, &error));
    EXPECT_EQ(error.rfind("\"rtc_time\": must be a real date and time", 0), 0u) << error;
  }
}

TEST(Stm32StateFile, MustSayItsFormatAndKeepsNoBoardInput) {
  sim::Stm32Config c;
  std::string error;
  EXPECT_FALSE(sim::parse_stm32_state_json(R"({"ssid": "x"})", &c, &error));
  EXPECT_EQ(error, "\"format\": is missing");
  EXPECT_FALSE(sim::parse_stm32_state_json(R"({"format": 1, "mode": 2})", &c, &error));
  EXPECT_EQ(error, "\"mode\": is a board input, not kept in a state file");
}

}  // namespace
