// The configuration mirror: validation at start-up, the settings and who hears of their changes,
// the credentials and account data, the queued updates, the status poll and the recording-status
// exchange, all against the simulated STM32.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "ginf_fixture.h"

namespace {

// Ascii85 of six words, each high byte first, written here from the encoding's definition.
std::string ascii85(const std::array<uint16_t, 6>& id) {
  std::string out;
  for (int g = 0; g < 3; g++) {
    uint32_t v = (uint32_t(id[2 * g]) << 16) | id[2 * g + 1];
    char digits[5];
    for (int d = 4; d >= 0; d--) {
      digits[d] = char('!' + v % 85);
      v /= 85;
    }
    out.append(digits, 5);
  }
  return out;
}

// ---- Validation at start-up ---------------------------------------------------------------------

using GinfValidation = GinfOnBoard;

TEST_F(GinfValidation, NothingIsAvailableBeforeTheStm32HasBeenAsked) {
  bool ssid = true, interval = true;
  const cameraID_t* id = reinterpret_cast<const cameraID_t*>(1);
  int8_t status = 0;
  inKernel([&] {
    ginfGetConfigInfoFromSTM32_Init();
    ssid = ginfCopy_ssid(nullptr);
    int32_t seconds = 0;
    interval = ginfCopy_interval(&seconds);
    id = ginfGet_cameraID();
    status = ginfIsStatusSet(STATUS_NO_SD_CARD);
  });
  EXPECT_FALSE(ssid);
  EXPECT_FALSE(interval);
  EXPECT_EQ(id, nullptr);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(logged("work was queued from ginfGetConfigInfoFromSTM32_Init"), 1) << inst.console();
}

TEST_F(GinfValidation, TheFirstRunReadsEveryFieldAndReportsAllValid) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("try #1 getting valid data"), 1);
  EXPECT_EQ(logged("all data is valid after attempt #1; resetting counter"), 1) << inst.console();
  EXPECT_FALSE(errorFlag());
  EXPECT_EQ(logged("Validated SPI transfer length: 2048"), 1);
  EXPECT_EQ(logged("Validated timezone offset: 0"), 1);
  EXPECT_EQ(logged("Validated SSID: 'HomeNet' strlen 7"), 1);
  EXPECT_EQ(logged("Validated PWD: 'secret-pw' strlen 9"), 1);
  EXPECT_EQ(logged("Validated access code: '1234' strlen 4"), 1);
  EXPECT_EQ(logged("Validated interval: 60"), 1);
  EXPECT_EQ(logged("Validated schedule: enabled 0, start 28800, stop 64800, week 127"), 1);
  EXPECT_EQ(logged("Validated playback rate: 30"), 1);

  wifistring_t ssid = {};
  uint32_t sharpness = 0, xfer = 0;
  int32_t interval = 0;
  inKernel([&] {
    EXPECT_TRUE(ginfCopy_ssid(&ssid));
    EXPECT_TRUE(ginfCopy_sharpness(&sharpness));
    EXPECT_TRUE(ginfCopy_spiXferLen(&xfer));
    EXPECT_TRUE(ginfCopy_interval(&interval));
  });
  EXPECT_STREQ(ssid, "HomeNet");
  EXPECT_EQ(sharpness, 5u);
  EXPECT_EQ(xfer, 2048u);
  EXPECT_EQ(interval, 60);
  EXPECT_EQ(sysstate_intervalSetting, sysstate_interval_1min);
}

TEST_F(GinfValidation, TheSettingsAreReadInTheirOrder) {
  start(false);
  inst.run_for(3 * kGinfSec);
  std::vector<uint16_t> order;
  for (const sim::Stm32::Request& r : stm32().requests()) order.push_back(r.command);
  const std::vector<uint16_t> want = {CMD_getSystemConfig, CMD_getNonVolatileMemory,
                                      CMD_getStatus3,      CMD_getUID,
                                      CMD_getSSID,         CMD_getPWD,
                                      CMD_getCode,         CMD_getBLEAccessCode,
                                      CMD_getVersion1,     CMD_getInterval,
                                      CMD_getSchedule,     CMD_getFileSplit,
                                      CMD_getUserUID,      CMD_getOverwriteOldFiles,
                                      CMD_getExposureMode, CMD_getFlickerFilter,
                                      CMD_getTimeStamp,    CMD_getSharpness,
                                      CMD_getSaturation,   CMD_getPlaybackRate};
  ASSERT_GE(order.size(), want.size());
  EXPECT_EQ(std::vector<uint16_t>(order.begin(), order.begin() + want.size()), want);
}

TEST_F(GinfValidation, FailuresOnTheWayAreRetriedUntilEveryFieldIsValid) {
  // The first three exchanges (SPI length, time zone, camera ID) are turned down.
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 3, -110);
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("Failed to get SPI transfer length from STM32"), 1) << inst.console();
  EXPECT_EQ(logged("ERROR!! couldn't read block 0; res: -110"), 1);
  EXPECT_EQ(logged("try #2 getting valid data"), 1);
  int errorOn = indexOf("isErrorActive: 1");
  int allValid = indexOf("all data is valid after attempt #2; resetting counter");
  int errorOff = indexOf("isErrorActive: 0");
  ASSERT_GE(errorOn, 0) << inst.console();
  EXPECT_LT(errorOn, allValid);
  EXPECT_LT(allValid, errorOff);
  EXPECT_FALSE(errorFlag());
}

TEST_F(GinfValidation, TheErrorFlagStaysSetWhileAFieldCannotBeRead) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, -1, -110);
  start(false);
  inst.run_for(500 * kGinfMs);
  EXPECT_TRUE(errorFlag());
  EXPECT_GE(loggedStartingWith("try #"), 2);  // it keeps trying
  stm32().set_fault(sim::Stm32Fault::kNone);
  inst.run_for(2 * kGinfSec);
  EXPECT_FALSE(errorFlag());
  EXPECT_EQ(loggedStartingWith("all data is valid after attempt #"), 1);
}

TEST_F(GinfValidation, ACountWithASecondValidationStartsAgainFromOne) {
  start();
  stm32().set_ssid("Other");  // the camera's menu: the STM32 reports its configuration dirty
  inst.run_for(2 * kGinfSec);
  EXPECT_EQ(logged("try #1 getting valid data"), 1) << inst.console();
  EXPECT_EQ(logged("all data is valid after attempt #1; resetting counter"), 1);
}

TEST_F(GinfValidation, TheCameraIDIsKeptWithItsDisplayAndAscii85Texts) {
  start();
  const cameraID_t* id = nullptr;
  inKernel([&] { id = ginfGet_cameraID(); });
  ASSERT_NE(id, nullptr);
  const std::array<uint16_t, 6> want = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
  for (int i = 0; i < 6; i++) EXPECT_EQ(id->cameraID[i], want[i]);
  EXPECT_STREQ(id->cameraID_string, "1A2B-3C4D-5E6F-7081-92A3-B4C5");
  EXPECT_EQ(std::string(id->cameraID_ascii), ascii85(want));
}

TEST_F(GinfValidation, TheVersionRequestCarriesTheAdvertisedNameAndThisModulesVersion) {
  start();
  const std::array<uint16_t, 6> id = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
  EXPECT_EQ(stm32().module_ble_name(), "QVR" + ascii85(id));
  EXPECT_EQ(stm32().module_version(), (std::array<uint32_t, 3>{0, 1, 15254}));
  versions_t v = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_versions(&v)); });
  EXPECT_EQ(v.fwVersion.versionPatch, 1187u);
  EXPECT_EQ(v.fpgaVersion.versionMinor, 3u);
  EXPECT_EQ(v.innoVersion.versionPatch, 15254u);
}

TEST_F(GinfValidation, TheVersionsAreLoggedWithTheNameTheStm32Answered) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("validated versions: \t(STM32 Version: 2.4.1187)\t(FPGA Version: 1.3.77)\t"
                   "(INNO Version: 0.1.15254)\t(BLE Name: QVR8K-TL)"),
            1)
      << inst.console();
}

TEST_F(GinfValidation, ChangedCredentialsAtStartRestartTheWiFiLink) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("Restarting WiFi; credential(s) changed"), 1);
}

class GinfBadCameraID : public GinfOnBoard {
  void configure(sim::BoardConfig& c) override {
    GinfOnBoard::configure(c);
    const uint16_t bad[6] = {0, 0, 0, 0, 0, 0x000C};
    std::memcpy(c.stm32.camera_uid, bad, sizeof bad);
  }
};

TEST_F(GinfBadCameraID, AnIDOfFiveZerosAnd000CIsRejectedAndFetchedAgain) {
  start(false);
  inst.run_for(200 * kGinfMs);
  EXPECT_GE(logged("ERROR!! bad camera ID detected"), 2);  // asked again and again
  const cameraID_t* id = reinterpret_cast<const cameraID_t*>(1);
  inKernel([&] { id = ginfGet_cameraID(); });
  EXPECT_EQ(id, nullptr);
  EXPECT_EQ(stm32().count(CMD_getVersion1), 0);  // nothing to advertise yet
  EXPECT_TRUE(errorFlag());

  stm32().set_camera_uid({0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666});
  inst.run_for(2 * kGinfSec);
  inKernel([&] { id = ginfGet_cameraID(); });
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(id->cameraID_string, "1111-2222-3333-4444-5555-6666");
  EXPECT_FALSE(errorFlag());
}

class GinfNoCredentials : public GinfOnBoard {
  void configure(sim::BoardConfig&) override {}  // the STM32 answers "NONE"
};

TEST_F(GinfNoCredentials, AnSsidOfNoneMeansNoSsid) {
  start();
  wifistring_t ssid;
  std::memset(ssid, 'x', sizeof ssid);
  inKernel([&] { EXPECT_TRUE(ginfCopy_ssid(&ssid)); });
  EXPECT_STREQ(ssid, "");
  inst.clear_console();
  stm32().config_values_dirty();
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(logged("No SSID configured"), 1) << inst.console();
  EXPECT_EQ(logged("Validated SSID: '' strlen 0"), 1);
  EXPECT_EQ(logged("No PWD configured"), 1);
}

TEST_F(GinfNoCredentials, ARegistrationCodeOfNoneMeansNoCode) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("Validated no registration code configured"), 1) << inst.console();
  code_t code;
  std::memset(code, 'x', sizeof code);
  inKernel([&] { EXPECT_TRUE(ginfCopy_registrationCode(&code)); });
  EXPECT_EQ(std::string(code, sizeof code), std::string(sizeof code, '\0'));
}

class GinfWithAccount : public GinfOnBoard {
  void configure(sim::BoardConfig& c) override {
    GinfOnBoard::configure(c);
    c.stm32.registration_code = "AB12CD";
    c.stm32.user_uid = "user-42";
  }
};

TEST_F(GinfWithAccount, ANewRegistrationCodeFromTheStm32RaisesTheStatusBit) {
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(logged("Validated registration code: 'AB12CD' strlen 6"), 1) << inst.console();
  EXPECT_TRUE(kaStatus() & KAStatus_registrationCodeChanged);
  EXPECT_EQ(logged("Validated User UID: user-42"), 1);
}

TEST_F(GinfWithAccount, AnUnchangedRegistrationCodeReadAgainRaisesNoStatusBit) {
  start();
  stm32().config_values_dirty();
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(logged("Validated registration code: 'AB12CD' strlen 6"), 1) << inst.console();
  EXPECT_FALSE(kaStatus() & KAStatus_registrationCodeChanged);
}

// ---- Settings and who hears of a change ---------------------------------------------------------

using GinfSettings = GinfOnBoard;

TEST_F(GinfSettings, AServerChangeRaisesNoStatusBitButTellsThePhone) {
  start();
  errorCodes res = ERRORCODE_GENERIC;
  uint32_t mode = 2;
  inKernel([&] { res = ginfExposureMode(&mode, DATA_AUTHORITY_WiFi); });
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  EXPECT_EQ(stm32().state().capture.exposure_mode, 2u);
  EXPECT_FALSE(kaStatus() & KAStatus_exposureModeChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_EXPOSURE_MODE"), 1) << inst.console();
  EXPECT_EQ(logged("Validated exposure mode: 2"), 1);
}

TEST_F(GinfSettings, APhoneChangeRaisesTheStatusBitButDoesNotTellThePhone) {
  start();
  uint32_t value = 2;
  inKernel([&] { EXPECT_EQ(ginfFlickerFilter(&value, DATA_AUTHORITY_BLE), ERRORCODE_SUCCESS); });
  EXPECT_EQ(stm32().state().capture.flicker_filter, 2u);
  EXPECT_TRUE(kaStatus() & KAStatus_flickerFilterChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_FLICKER_FILTER"), 0);
}

TEST_F(GinfSettings, AButtonChangeRaisesTheStatusBitAndTellsThePhone) {
  start();
  int32_t seconds = 300;
  inKernel([&] { EXPECT_EQ(ginfInterval(&seconds, DATA_AUTHORITY_LUI), ERRORCODE_SUCCESS); });
  EXPECT_EQ(stm32().state().capture.interval, 300);
  EXPECT_TRUE(kaStatus() & KAStatus_intervalChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_INTERVAL"), 1);
  EXPECT_EQ(logged("setting interval 60 -> 300"), 1);
  EXPECT_EQ(sysstate_intervalSetting, sysstate_interval_5min);
}

TEST_F(GinfSettings, TheScheduleFamilySharesOneStatusBitAndStateChange) {
  start();
  uint32_t split = 1, overwrite = 1;
  schedule_t schedule = {1, 3600, 7200, 0x3E};
  inKernel([&] {
    EXPECT_EQ(ginfFileSplit(&split, DATA_AUTHORITY_LUI), ERRORCODE_SUCCESS);
    EXPECT_EQ(ginfOverwriteOldFiles(&overwrite, DATA_AUTHORITY_LUI), ERRORCODE_SUCCESS);
    EXPECT_EQ(ginfSchedule(&schedule, DATA_AUTHORITY_LUI), ERRORCODE_SUCCESS);
  });
  EXPECT_TRUE(kaStatus() & KAStatus_scheduleChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_SCHEDULE"), 3);
  EXPECT_EQ(logged("Validated schedule: enabled 1, start 3600, stop 7200, week 62"), 1);
  schedule_t held = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_schedule(&held)); });
  EXPECT_EQ(held.scheduleWeek, 0x3Eu);
}

TEST_F(GinfSettings, AnIntervalEqualToTheCurrentOneSendsNothing) {
  start();
  int32_t seconds = 60;
  errorCodes res = ERRORCODE_GENERIC;
  inKernel([&] { res = ginfInterval(&seconds, DATA_AUTHORITY_LUI); });
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  EXPECT_EQ(stm32().count(CMD_setInterval), 0);
  EXPECT_EQ(logged("Interval was already 60; no change needed"), 1);
  EXPECT_FALSE(kaStatus() & KAStatus_intervalChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_INTERVAL"), 0);
}

TEST_F(GinfSettings, ARefusedChangeKeepsTheHeldValueAndReturnsTheError) {
  start();
  uint32_t sharpness = 99;  // out of the camera's range
  errorCodes res = ERRORCODE_SUCCESS;
  uint32_t held = 0;
  inKernel([&] {
    res = ginfSharpness(&sharpness, DATA_AUTHORITY_WiFi);
    EXPECT_TRUE(ginfCopy_sharpness(&held));
  });
  EXPECT_EQ(res, ERRORCODE_ILLEGAL_PARAM_VALUE);
  EXPECT_EQ(held, 5u);
  EXPECT_EQ(logged("Failed to set sharpness with STM32"), 1);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_SHARPNESS"), 0);
}

TEST_F(GinfSettings, AFailedReadForgetsTheValueAndReadsItAgain) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  errorCodes res = ERRORCODE_SUCCESS;
  bool known = true;
  inKernel(
      [&] {
        res = ginfSaturation(nullptr, DATA_AUTHORITY_ST);
        known = ginfCopy_saturation(nullptr);
      },
      6);  // before the work item can read it again
  EXPECT_EQ(res, ERRORCODE_TEMPORARY_ERROR);
  EXPECT_FALSE(known);
  EXPECT_EQ(logged("Failed to get saturation from STM32"), 1);
  inst.run_for(1 * kGinfSec);
  inKernel([&] { known = ginfCopy_saturation(nullptr); });
  EXPECT_TRUE(known);
}

// ---- Credentials and account data
// -----------------------------------------------------------------

using GinfCredentials = GinfOnBoard;

TEST_F(GinfCredentials, AQueuedSsidIsWrittenAndTheLinkRestarted) {
  start();
  int res = -5;
  inKernel([&] { res = ginfQueueSSIDUpdate("CafeNet"); });
  EXPECT_EQ(res, 0);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().ssid, "CafeNet");
  EXPECT_EQ(logged("SSID update queued: CafeNet"), 1);
  EXPECT_EQ(logged("handling queued SSID update"), 1);
  EXPECT_EQ(logged("SSID set to: CafeNet"), 1);
  EXPECT_EQ(phoneLine("attempting to connect to 'CafeNet'"), 1);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_SSID"), 1);
  wifistring_t ssid = {};
  inKernel([&] { ginfCopy_ssid(&ssid); });
  EXPECT_STREQ(ssid, "CafeNet");
}

TEST_F(GinfCredentials, ASecondSsidQueuedBeforeTheFirstIsAppliedIsRefused) {
  start();
  int first = -5, second = 5;
  inKernel(
      [&] {
        first = ginfQueueSSIDUpdate("First");
        second = ginfQueueSSIDUpdate("Second");
      },
      6);  // above the work handler: both come before it runs
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, -1);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().ssid, "First");
  EXPECT_EQ(stm32().count(CMD_setSSID), 1);
  int again = -5;
  inKernel([&] { again = ginfQueueSSIDUpdate("Second"); });
  EXPECT_EQ(again, 0);  // the first was applied: the next may come
}

TEST_F(GinfCredentials, AQueuedPasswordIsWrittenAndTheLinkRestarted) {
  start();
  inKernel(
      [&] {
        EXPECT_EQ(ginfQueuePWDUpdate("new-pass"), 0);
        EXPECT_EQ(ginfQueuePWDUpdate("other"), -1);
      },
      6);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().password, "new-pass");
  EXPECT_EQ(logged("PWD set to: new-pass"), 1);
  EXPECT_EQ(phoneLine("attempting to connect to wifi with new password"), 1);
}

TEST_F(GinfCredentials, AFailedSsidWriteKeepsTheOldSsidAndTellsThePhone) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel([&] { ginfQueueSSIDUpdate("CafeNet"); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().ssid, "HomeNet");
  EXPECT_EQ(phoneLine("Failed to set SSID on STM32"), 1) << inst.console();
  EXPECT_EQ(logged("SSID set to: HomeNet"), 1);  // what the camera really has
  wifistring_t ssid = {};
  inKernel([&] { ginfCopy_ssid(&ssid); });
  EXPECT_STREQ(ssid, "HomeNet");
}

TEST_F(GinfCredentials, AnSsidLongerThan64CharactersIsCut) {
  start();
  std::string longName(80, 'n');
  inKernel([&] { EXPECT_EQ(ginfQueueSSIDUpdate(longName.c_str()), 0); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().ssid, std::string(64, 'n'));
}

TEST_F(GinfCredentials, TheAccessCodeIsWrittenAndItsChangeReported) {
  start();
  code_t code = "5678";
  errorCodes res = ERRORCODE_GENERIC;
  inKernel([&] { res = ginfAccessCode(&code); });
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  EXPECT_EQ(stm32().state().access_code, "5678");
  EXPECT_TRUE(kaStatus() & KAStatus_accessCodeChanged);
  EXPECT_EQ(logged("Validated access code: '5678' strlen 4"), 1);
}

TEST_F(GinfCredentials, ALockedAccessCodeIsReportedAsLocked) {
  start();
  stm32().set_access_code_locked(true);
  inst.run_for(1 * kGinfSec);
  forget();
  code_t code = "5678";
  errorCodes res = ERRORCODE_SUCCESS;
  inKernel([&] { res = ginfAccessCode(&code); });
  EXPECT_EQ(res, ERRORCODE_PERSISTENT_ERROR);
  EXPECT_EQ(logged("Code is locked"), 1);
  EXPECT_EQ(stm32().state().access_code, "1234");
  code_t held = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_accessCode(&held)); });
  EXPECT_STREQ(held, "1234");
}

TEST_F(GinfCredentials, AFailedAccessCodeReadIsLoggedAndRetried) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel([&] { ginfAccessCode(nullptr); });
  EXPECT_EQ(logged("Failed to get access code w/ STM32"), 1);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(logged("Validated access code: '1234' strlen 4"), 1);
}

TEST_F(GinfCredentials, APhonesRegistrationCodeIsKeptAndTheServerAskedToFetchIt) {
  start();
  code_t code = "XY99";
  inKernel([&] { ginfQueueRegistrationCodeUpdate(&code); });
  EXPECT_TRUE(kaStatus() & KAStatus_registrationCodeChanged);
  EXPECT_EQ(
      logged("Set new registration code XY99; updating status bit for server to request code"), 1);
  code_t held = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_registrationCode(&held)); });
  EXPECT_STREQ(held, "XY99");
  EXPECT_EQ(stm32().count(CMD_getCode), 0);  // kept here only
}

TEST_F(GinfCredentials, NoRegistrationCodeClearsTheHeldOne) {
  start();
  code_t code = "XY99";
  code_t held;
  std::memset(held, 'x', sizeof held);
  inKernel([&] {
    ginfQueueRegistrationCodeUpdate(&code);
    ginfQueueRegistrationCodeUpdate(nullptr);
    EXPECT_TRUE(ginfCopy_registrationCode(&held));
  });
  EXPECT_EQ(logged("cleared registration code"), 1);
  EXPECT_EQ(std::string(held, sizeof held), std::string(sizeof held, '\0'));
}

TEST_F(GinfWithAccount, ClearingTheUserUIDWritesTheEmptyIDToTheStm32) {
  start();
  inKernel([] { ginfQueueClearUserUID(); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().user_uid, "");
  EXPECT_EQ(logged("handling queued userUID update"), 1);
  MCS_UID_t uid;
  std::memset(uid, 'x', sizeof uid);
  inKernel([&] { EXPECT_TRUE(ginfCopy_userUID(&uid)); });
  EXPECT_STREQ(uid, "");
}

TEST_F(GinfWithAccount, AClearedUserUIDStaysPendingUntilItsWriteSucceeds) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 2, -110);
  inKernel([] { ginfQueueClearUserUID(); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(phoneLine("Failed to set User UID on STM32"), 2) << inst.console();
  EXPECT_EQ(stm32().state().user_uid, "");
}

// ---- Status poll ------------------------------------------------------------------------------

using GinfStatusPoll = GinfOnBoard;

TEST_F(GinfStatusPoll, AQueuedStatusUpdateReadsTheStatusOnce) {
  start();
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("queued status update from test"), 1);
  EXPECT_EQ(logged("handling queued status update"), 1);
  EXPECT_EQ(stm32().count(CMD_getStatus3), 1);
  EXPECT_EQ(loggedStartingWith("Validated status3: 1; mode 0; freeSpaceMB 29000;"), 1);
}

TEST_F(GinfStatusPoll, TheRequestCarriesTheStatusWordLastReceived) {
  start();
  stm32().set_status_bits(STATUS_BATTERY_LOW, true);
  inst.run_for(500 * kGinfMs);
  stm32().clear_record();
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  std::vector<sim::Stm32::Request> polls = requestsOf(CMD_getStatus3);
  ASSERT_EQ(polls.size(), 1u);
  EXPECT_EQ(ginfLE(polls[0].message, 48, 4), uint32_t(STATUS_NORMAL | STATUS_BATTERY_LOW));
  int8_t low = -1;
  inKernel([&] { low = ginfIsStatusSet(STATUS_BATTERY_LOW | STATUS_SD_CARD_ERROR); });
  EXPECT_EQ(low, 1);
}

TEST_F(GinfStatusPoll, ASpaceChangeIsReportedWithTheUsedPercentage) {
  start();
  stm32().set_space(1000, 30436);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("SD card status changed: freeSpaceMB 1000; totalSpaceMB 30436"), 1)
      << inst.console();
  EXPECT_TRUE(kaStatus() & KAStatus_sdCardStatusChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_SD_CARD_STATUS"), 1);
  sdcardspace_t space = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_sdcardspace(&space)); });
  EXPECT_EQ(space.usedSpacePercent, 96);
  EXPECT_EQ(space.freeSpaceMB, 1000u);
}

TEST_F(GinfStatusPoll, MoreFreeSpaceThanTheCardHoldsCountsAsNothingUsed) {
  start();
  stm32().set_space(5000, 4000);
  inst.run_for(500 * kGinfMs);
  sdcardspace_t space = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_sdcardspace(&space)); });
  EXPECT_EQ(space.usedSpacePercent, 0);
}

TEST_F(GinfStatusPoll, ACardWithoutSizeKeepsTheLastPercentage) {
  start();
  stm32().set_space(1000, 30436);
  inst.run_for(500 * kGinfMs);
  stm32().set_space(0, 0);
  inst.run_for(500 * kGinfMs);
  sdcardspace_t space = {};
  inKernel([&] { EXPECT_TRUE(ginfCopy_sdcardspace(&space)); });
  EXPECT_EQ(space.usedSpacePercent, 96);
  EXPECT_EQ(space.totalSpaceMB, 0u);
}

TEST_F(GinfStatusPoll, ARemovedCardIsReportedAndTheAccessCodeReadAgain) {
  start();
  stm32().sd_card_removed();
  inst.run_for(500 * kGinfMs);
  EXPECT_TRUE(kaStatus() & KAStatus_sdCardStatusChanged);
  EXPECT_GE(stateChange("BLE_STATE_CHANGE_SD_CARD_STATUS"), 1);
  EXPECT_EQ(stm32().count(CMD_getBLEAccessCode), 1) << inst.console();
  int8_t noCard = -1;
  inKernel([&] { noCard = ginfIsStatusSet(STATUS_NO_SD_CARD); });
  EXPECT_EQ(noCard, 1);

  forget();
  stm32().sd_card_inserted();
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(stm32().count(CMD_getBLEAccessCode), 1);
  inKernel([&] { noCard = ginfIsStatusSet(STATUS_NO_SD_CARD); });
  EXPECT_EQ(noCard, 0);
}

TEST_F(GinfStatusPoll, AFullCardIsALevelThatTheServerCannotClear) {
  start();
  stm32().set_sd_full(true);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("recording stopped (SD full): 1"), 1) << inst.console();
  inKernel([] { statClearStatus(0xFFFFFFFFu); });
  EXPECT_TRUE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDfull);
  stm32().set_sd_full(false);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("recording stopped (SD full): 0"), 1);
  EXPECT_FALSE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDfull);
}

TEST_F(GinfStatusPoll, ACardErrorIsALevelThatFollowsTheStm32) {
  start();
  stm32().set_sd_error(true);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("recording stopped (SD error): 1"), 1);
  EXPECT_TRUE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDerror);
  stm32().set_sd_error(false);
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("recording stopped (SD error): 0"), 1);
  EXPECT_FALSE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDerror);
}

TEST_F(GinfStatusPoll, NoCardAlongsideFullClearsTheFullLevel) {
  start();
  stm32().set_sd_full(true);
  inst.run_for(500 * kGinfMs);
  ASSERT_TRUE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDfull);
  stm32().set_status_bits(STATUS_NO_SD_CARD, true);  // both bits in the word now
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(stm32().status_word() & (STATUS_NO_SD_CARD | STATUS_SD_CARD_FULL),
            uint32_t(STATUS_NO_SD_CARD | STATUS_SD_CARD_FULL));
  EXPECT_EQ(logged("recording stopped (SD full): 0"), 1) << inst.console();
  EXPECT_FALSE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDfull);
}

TEST_F(GinfStatusPoll, DirtyConfigurationIsReadAgain) {
  start();
  stm32().set_ssid("Other");
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(logged("config values dirty; invalidating values w/ dependency"), 1);
  for (uint16_t c : {CMD_getSSID, CMD_getPWD, CMD_getCode, CMD_getBLEAccessCode, CMD_getUserUID})
    EXPECT_EQ(stm32().count(c), 1) << c;
  EXPECT_EQ(stm32().count(CMD_getInterval), 0);  // the capture settings do not depend on it
  wifistring_t ssid = {};
  inKernel([&] { ginfCopy_ssid(&ssid); });
  EXPECT_STREQ(ssid, "Other");
  EXPECT_EQ(logged("Restarting WiFi; credential(s) changed"), 1);
}

TEST_F(GinfStatusPoll, CameraEventsRaiseTheirStatusBits) {
  start();
  stm32().picture_captured(1000);
  inst.run_for(500 * kGinfMs);
  stm32().new_file_created("VID00002.AVI");
  inst.run_for(500 * kGinfMs);
  stm32().st_rebooted();
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("Picture captured"), 1);
  EXPECT_EQ(logged("new file created"), 1);
  EXPECT_EQ(logged("ST rebooted"), 1);
  uint32_t ka = kaStatus();
  EXPECT_TRUE(ka & KAStatus_pictureCaptured);
  EXPECT_TRUE(ka & KAStatus_newFileCreated);
  EXPECT_TRUE(ka & KAStatus_STRebooted);
}

TEST_F(GinfStatusPoll, TheModeInTheStatusReachesTheCameraInterface) {
  start();
  stm32().set_mode(MODE_USB);
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  bool usb = false;
  inKernel([&] { usb = camif_isMode(MODE_USB); });
  EXPECT_TRUE(usb);
}

TEST_F(GinfStatusPoll, LiveViewStoppedByTheCameraEndsLiveViewHere) {
  start();
  stm32().set_mode(MODE_LIVE_VIEW);
  // The word still says live view; the event says it has just ended.
  stm32().set_status_bits(STATUS_LIVE_VIEW_STOPPED, true);
  inst.run_for(500 * kGinfMs);
  bool idle = false;
  inKernel([&] { idle = camif_isMode(MODE_IDLE); });
  EXPECT_TRUE(idle) << inst.console();
}

TEST_F(GinfStatusPoll, AFailedPollForgetsTheStatusAndPollsAgain) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(logged("Failed to get status"), 1);
  EXPECT_EQ(stm32().count(CMD_getStatus3), 2);
  int8_t set = -1;
  inKernel([&] { set = ginfIsStatusSet(STATUS_NORMAL); });
  EXPECT_EQ(set, 1);
}

// ---- Recording status -------------------------------------------------------------------------

using GinfRecordingStatus = GinfOnBoard;

TEST_F(GinfRecordingStatus, TheExchangeSendsTheGaugesAndCopiesTheRecordingInformation) {
  start();
  stm32().new_file_created("VID00007.AVI");
  stm32().picture_captured(1500);
  stm32().picture_captured(2500);
  inst.run_for(500 * kGinfMs);
  CameraRecordingInfo_t info;
  std::memset(&info, 0xAA, sizeof info);
  errorCodes res = ERRORCODE_GENERIC;
  inKernel([&] { res = ginfRecordingStatus_sendBatteryInfo(&info); });
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  EXPECT_EQ(info.frameCount, 2u);
  EXPECT_EQ(info.currentSize, 4000u);
  EXPECT_STREQ(info.currentFileName, "VID00007.AVI");
  EXPECT_EQ(info.isRecording, 0);
  EXPECT_EQ(logged("STM32 recording info: isRecording 0; frameCount 2; currentSize 4000; "
                   "currentFileName VID00007.AVI; isScheduleEnabled 0"),
            1);
  std::vector<sim::LegacyBatteryReport> sent = stm32().battery_exchanges();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][0].voltage, 0);  // no gauge has been read
}

TEST_F(GinfRecordingStatus, AFailedExchangeZeroesTheCallersRecord) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  CameraRecordingInfo_t info;
  std::memset(&info, 0xAA, sizeof info);
  errorCodes res = ERRORCODE_SUCCESS;
  inKernel([&] { res = ginfRecordingStatus_sendBatteryInfo(&info); });
  EXPECT_EQ(res, ERRORCODE_TEMPORARY_ERROR);
  CameraRecordingInfo_t zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
  EXPECT_EQ(logged("Failed to get recording status from STM32"), 1);
}

}  // namespace
