// Board files and the STM32's state file: what each key sets, and the errors that name the key.
#include "sim/board_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "driver_side.h"

namespace {

bool Parse(const std::string& text, sim::BoardConfig* config, std::string* error) {
  return sim::parse_board_json(text, config, error);
}

// The error for a board file, or "" when it parsed.
std::string ErrorFor(const std::string& text) {
  sim::BoardConfig config;
  std::string error;
  return Parse(text, &config, &error) ? "" : error;
}

// ---- What the keys set -------------------------------------------------------------------------

TEST(BoardFile, SetsTheIdentityCredentialsAndCodes) {
  sim::BoardConfig c;
  std::string error;
  ASSERT_TRUE(Parse(R"({
      "camera_uid": "0001-0203-0a0B-FFFF-0000-000C",
      "ssid": "Cabin", "password": "hunter22",
      "access_code": "482913", "access_code_locked": true,
      "registration_code": "K7Q-2M9", "user_uid": "user-8f3a21",
      "fw_version": "3.0.12", "fpga_version": [1, 4, 80], "ble_name": "QVR8K-TEST",
      "spi_transfer_length": 1024})",
                    &c, &error))
      << error;
  const uint16_t uid[6] = {0x0001, 0x0203, 0x0A0B, 0xFFFF, 0x0000, 0x000C};
  for (int i = 0; i < 6; i++) EXPECT_EQ(c.stm32.camera_uid[i], uid[i]) << "value " << i;
  EXPECT_EQ(c.stm32.ssid, "Cabin");
  EXPECT_EQ(c.stm32.password, "hunter22");
  EXPECT_EQ(c.stm32.access_code, "482913");
  EXPECT_TRUE(c.stm32.access_code_locked);
  EXPECT_EQ(c.stm32.registration_code, "K7Q-2M9");
  EXPECT_EQ(c.stm32.user_uid, "user-8f3a21");
  EXPECT_EQ(c.stm32.fw_version[0], 3u);
  EXPECT_EQ(c.stm32.fw_version[2], 12u);
  EXPECT_EQ(c.stm32.fpga_version[1], 4u);
  EXPECT_EQ(c.stm32.ble_name, "QVR8K-TEST");
  EXPECT_EQ(c.stm32.spi_transfer_length, 1024u);
}

TEST(BoardFile, SetsTheBoardInputsCaptureSettingsCardAndBlocks) {
  sim::BoardConfig c;
  std::string error;
  const std::string block = "ff" + std::string(124, '0') + "0a";
  ASSERT_TRUE(Parse(R"({
      "mode": "time_lapse", "usb_powered": true,
      "capture": {"interval": 300, "contrast": -4,
                  "schedule": {"enabled": true, "start": 3600, "week": 62}},
      "sd": {"present": true, "full": true, "free_mb": 0, "total_mb": 60000},
      "nvm": {"3": ")" + block + R"("}})",
                    &c, &error))
      << error;
  EXPECT_EQ(c.stm32.mode, 2);
  EXPECT_TRUE(c.usb_powered);
  EXPECT_EQ(c.stm32.capture.interval, 300);
  EXPECT_EQ(c.stm32.capture.contrast, -4);
  EXPECT_EQ(c.stm32.capture.schedule.enabled, 1u);
  EXPECT_EQ(c.stm32.capture.schedule.start, 3600u);
  EXPECT_EQ(c.stm32.capture.schedule.stop, 18u * 3600);  // not named: kept
  EXPECT_EQ(c.stm32.capture.schedule.week, 62u);
  EXPECT_TRUE(c.stm32.sd.full);
  EXPECT_EQ(c.stm32.sd.total_mb, 60000u);
  ASSERT_EQ(c.stm32.nvm.count(3), 1u);
  EXPECT_EQ(c.stm32.nvm[3][0], 0xFF);
  EXPECT_EQ(c.stm32.nvm[3][63], 0x0A);
}

TEST(BoardFile, KeysNotNamedKeepTheirValues) {
  sim::BoardConfig c;
  c.stm32.ssid = "Before";
  c.stm32.capture.sharpness = 7;
  std::string error;
  ASSERT_TRUE(Parse(R"({"password": "x"})", &c, &error)) << error;
  EXPECT_EQ(c.stm32.ssid, "Before");
  EXPECT_EQ(c.stm32.capture.sharpness, 7u);
}

TEST(BoardFile, RtcTimeSetsTheClockAndItsOffset) {
  sim::BoardConfig c;
  std::string error;
  ASSERT_TRUE(Parse(R"({"rtc_time": "2025-03-01T08:00:00-05:00"})", &c, &error)) << error;
  EXPECT_EQ(c.stm32.rtc_offset_minutes, -300);
  EXPECT_EQ(c.stm32.rtc_utc, 1740834000);  // 13:00 UTC
}

TEST(BoardFile, RtcTimeWithoutAnOffsetIsLocalTimeInTheGivenOffset) {
  sim::BoardConfig c;
  std::string error;
  ASSERT_TRUE(Parse(R"({"rtc_offset_minutes": 60, "rtc_time": "2025-03-01T08:00:00"})", &c,
                    &error))
      << error;
  EXPECT_EQ(c.stm32.rtc_offset_minutes, 60);
  EXPECT_EQ(c.stm32.rtc_utc, 1740812400);  // 07:00 UTC
}

// ---- Errors ------------------------------------------------------------------------------------

TEST(BoardFile, AnUnknownKeyIsNamed) {
  EXPECT_EQ(ErrorFor(R"({"sid": "Cabin"})"), "\"sid\": unknown key");
}

TEST(BoardFile, AnUnknownNestedKeyIsNamedWithItsPath) {
  EXPECT_EQ(ErrorFor(R"({"capture": {"sharpnes": 3}})"), "\"capture.sharpnes\": unknown key");
}

TEST(BoardFile, AnOutOfRangeValueIsNamedWithItsRange) {
  EXPECT_EQ(ErrorFor(R"({"capture": {"sharpness": 11}})"),
            "\"capture.sharpness\": 11 is out of range 0..10");
}

TEST(BoardFile, AValueOfTheWrongTypeIsNamed) {
  EXPECT_EQ(ErrorFor(R"({"access_code_locked": "yes"})"),
            "\"access_code_locked\": must be true or false, not \"yes\"");
  EXPECT_EQ(ErrorFor(R"({"capture": {"interval": 2.5}})"),
            "\"capture.interval\": must be a whole number in 1..86400, not 2.5");
}

TEST(BoardFile, TooLongATextIsNamedWithItsLimit) {
  EXPECT_EQ(ErrorFor(R"({"access_code": "123456789012"})"),
            "\"access_code\": is 12 bytes long; at most 11");
}

TEST(BoardFile, AMalformedCameraUidIsNamed) {
  EXPECT_NE(ErrorFor(R"({"camera_uid": "1A2B-3C4D"})").find("\"camera_uid\": must be six groups"),
            std::string::npos);
}

TEST(BoardFile, AnImpossibleRtcTimeIsNamed) {
  EXPECT_NE(ErrorFor(R"({"rtc_time": "2025-02-30T08:00:00+00:00"})").find("\"rtc_time\""),
            std::string::npos);
}

TEST(BoardFile, AnRtcOffsetThatDisagreesWithRtcTimeIsNamed) {
  EXPECT_EQ(ErrorFor(R"({"rtc_offset_minutes": 60, "rtc_time": "2025-03-01T08:00:00+02:00"})"),
            "\"rtc_offset_minutes\": 60 disagrees with rtc_time's offset, 120");
}

TEST(BoardFile, MoreFreeSpaceThanTheCardHoldsIsNamed) {
  EXPECT_EQ(ErrorFor(R"({"sd": {"free_mb": 5, "total_mb": 4}})"),
            "\"sd.free_mb\": 5 is more than the total, 4");
}

TEST(BoardFile, ABlockNumberBeyondTheLastIsNamed) {
  EXPECT_EQ(ErrorFor(R"({"nvm": {"16": ""}})"), "\"nvm.16\": must be a block number, 0..15");
}

TEST(BoardFile, TextThatIsNotJsonSaysWhere) {
  EXPECT_EQ(ErrorFor("{\"ssid\": }").rfind("not valid JSON: parse error at line 1, column 10", 0),
            0u)
      << ErrorFor("{\"ssid\": }");
}

TEST(BoardFile, ABadFileChangesNothing) {
  sim::BoardConfig c;
  std::string error;
  EXPECT_FALSE(Parse(R"({"ssid": "Changed", "capture": {"hdr": 5}})", &c, &error));
  EXPECT_EQ(c.stm32.ssid, "");
}

TEST(BoardFile, AMissingFileIsNamed) {
  sim::BoardConfig c;
  std::string error;
  EXPECT_FALSE(sim::load_board_file("/nonexistent/board.json", &c, &error));
  EXPECT_EQ(error, "/nonexistent/board.json: cannot be opened");
}

TEST(BoardFile, AFileErrorStartsWithThePath) {
  simtest::TempDir dir;
  const std::string path = dir.path() + "/board.json";
  std::ofstream(path) << R"({"hdr": 1})";
  sim::BoardConfig c;
  std::string error;
  EXPECT_FALSE(sim::load_board_file(path, &c, &error));
  EXPECT_EQ(error, path + ": \"hdr\": unknown key");
}

// ---- The state file --------------------------------------------------------------------------

TEST(Stm32StateFile, ReadsBackEverythingItWrote) {
  sim::Stm32Config c;
  c.ssid = "Caf\xC3\xA9";   // UTF-8
  c.password = "\xFF\x01pw";  // not UTF-8: the module may write any bytes
  c.access_code = "482913";
  c.access_code_locked = true;
  c.capture.noise_filter = -2;
  c.capture.schedule.week = 0x41;
  c.rtc_utc = 1900000000;
  c.rtc_offset_minutes = 345;
  c.sd.present = false;
  c.nvm[0].fill(0x5A);
  c.camera_uid[5] = 0x000C;
  const std::string text = sim::stm32_state_json(c);
  sim::Stm32Config back;
  std::string error;
  ASSERT_TRUE(sim::parse_stm32_state_json(text, &back, &error)) << error << "\n" << text;
  EXPECT_EQ(sim::stm32_state_json(back), text);
  EXPECT_EQ(back.password, c.password);
  EXPECT_EQ(back.rtc_utc, c.rtc_utc);
  EXPECT_EQ(back.rtc_offset_minutes, 345);
}

TEST(Stm32StateFile, MustSayItsFormat) {
  sim::Stm32Config c;
  std::string error;
  EXPECT_FALSE(sim::parse_stm32_state_json(R"({"ssid": "x"})", &c, &error));
  EXPECT_EQ(error, "\"format\": is missing");
}

TEST(Stm32StateFile, DoesNotKeepTheBoardsInputs) {
  sim::Stm32Config c;
  std::string error;
  EXPECT_FALSE(sim::parse_stm32_state_json(R"({"format": 1, "mode": 2})", &c, &error));
  EXPECT_EQ(error, "\"mode\": is a board input, not kept in a state file");
}

}  // namespace
