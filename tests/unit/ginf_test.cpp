// The configuration mirror: validation at start-up, the settings and who hears of their changes,
// credentials and account data, the status poll and the recording-status exchange.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ginf_fixture.h"

namespace {

const std::array<uint16_t, 6> kCameraID = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
const char kCameraIDAscii85[] = ")CmpE?>je6P,#D'";  // the six words, high byte first

bool allZero(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  return std::all_of(p, p + size, [](char c) { return c == 0; });
}

// ---- Validation at start-up ---------------------------------------------------------------------

using GinfValidation = GinfOnBoard;

TEST_F(GinfValidation, NothingIsAvailableBeforeTheStm32HasBeenAsked) {
  start(false, [] {
    EXPECT_FALSE(ginfCopy_ssid(nullptr));
    EXPECT_FALSE(ginfCopy_interval(nullptr));
    EXPECT_EQ(ginfGet_cameraID(), nullptr);
    EXPECT_EQ(ginfIsStatusSet(STATUS_NO_SD_CARD), -1);
  });
}

TEST_F(GinfValidation, TheFirstRunMirrorsTheStm32sValues) {
  start();
  wifistring_t ssid = {};
  uint32_t sharpness = 0, xfer = 0;
  int32_t interval = 0;
  inKernel([&] {
    EXPECT_TRUE(ginfCopy_ssid(&ssid) && ginfCopy_sharpness(&sharpness) &&
                ginfCopy_spiXferLen(&xfer) && ginfCopy_interval(&interval));
  });
  EXPECT_STREQ(ssid, "HomeNet");
  EXPECT_EQ(sharpness, 5u);
  EXPECT_EQ(xfer, 2048u);
  EXPECT_EQ(interval, 60);
  EXPECT_EQ(sysstate_intervalSetting, sysstate_interval_1min);
  const cameraID_t* id = fromKernel(ginfGet_cameraID);
  ASSERT_NE(id, nullptr);
  EXPECT_TRUE(std::equal(kCameraID.begin(), kCameraID.end(), id->cameraID));
  EXPECT_STREQ(id->cameraID_string, "1A2B-3C4D-5E6F-7081-92A3-B4C5");
  EXPECT_STREQ(id->cameraID_ascii, kCameraIDAscii85);
}

TEST_F(GinfValidation, FailuresOnTheWayAreRetriedWithTheErrorFlagSetUntilEveryFieldIsValid) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 3, -110);  // SPI length, time zone, camera ID
  start(false);
  ASSERT_TRUE(
      inst.run_until([&] { return logged("try #2 getting valid data") == 1; }, 1 * kGinfSec, 1000));
  EXPECT_TRUE(errorFlag());
  inst.run_for(2 * kGinfSec);
  EXPECT_EQ(logged("Failed to get SPI transfer length from STM32"), 1) << inst.console();
  EXPECT_EQ(logged("ERROR!! couldn't read block 0; res: -110"), 1);
  EXPECT_EQ(logged("Failed to get camera ID from STM32"), 1);
  EXPECT_EQ(logged("all data is valid after attempt #2; resetting counter"), 1);
  EXPECT_FALSE(errorFlag());
}

TEST_F(GinfValidation, TheVersionRequestCarriesTheAdvertisedNameAndThisModulesVersion) {
  start();
  EXPECT_EQ(stm32().module_ble_name(), std::string("QVR") + kCameraIDAscii85);
  EXPECT_EQ(stm32().module_version(), (std::array<uint32_t, 3>{0, 1, 15254}));
  const versions_t* v = fromKernel(ginfGet_versions);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->fwVersion.versionPatch, 1187u);
  EXPECT_EQ(v->fpgaVersion.versionMinor, 3u);
}

TEST_F(GinfValidation, AnIDOfFiveZerosAnd000CIsRejectedAndFetchedAgain) {
  const uint16_t bad[6] = {0, 0, 0, 0, 0, 0x000C};
  std::memcpy(config.stm32.camera_uid, bad, sizeof bad);
  start(false);
  EXPECT_TRUE(inst.run_until([&] { return logged("ERROR!! bad camera ID detected") >= 2; },
                             2 * kGinfSec, 1000));
  EXPECT_EQ(fromKernel(ginfGet_cameraID), nullptr);
  EXPECT_EQ(stm32().count(CMD_getVersion1), 0);  // nothing to advertise yet
  EXPECT_TRUE(errorFlag());

  stm32().set_camera_uid({0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666});
  inst.run_for(2 * kGinfSec);
  const cameraID_t* id = fromKernel(ginfGet_cameraID);
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(id->cameraID_string, "1111-2222-3333-4444-5555-6666");
  EXPECT_FALSE(errorFlag());
}

TEST_F(GinfValidation, NoneFromTheStm32MeansEmpty) {
  config.stm32.ssid = "";  // answered as "NONE", as the registration code
  start();
  wifistring_t ssid;
  code_t code;
  std::memset(ssid, 'x', sizeof ssid);
  std::memset(code, 'x', sizeof code);
  EXPECT_TRUE(fromKernel([&] { return ginfCopy_ssid(&ssid) && ginfCopy_registrationCode(&code); }));
  EXPECT_TRUE(allZero(ssid, sizeof ssid));
  EXPECT_TRUE(allZero(code, sizeof code));
}

TEST_F(GinfValidation, ARegistrationCodeReadFromTheStm32RaisesTheStatusBitOnlyWhenItChanges) {
  config.stm32.registration_code = "AB12CD";
  start(false);
  inst.run_for(3 * kGinfSec);
  EXPECT_TRUE(kaStatus() & KAStatus_registrationCodeChanged);
  forget();
  stm32().config_values_dirty();
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().count(CMD_getCode), 1) << inst.console();
  EXPECT_FALSE(kaStatus() & KAStatus_registrationCodeChanged);
}

// ---- Settings and who hears of a change ---------------------------------------------------------

using GinfSettings = GinfOnBoard;

TEST_F(GinfSettings, TheServerAndThePhoneHearOfTheChangesTheyDidNotMake) {
  start();
  const struct {
    dataAuthority_t authority;
    uint32_t mode;
    bool statusBit, stateChange;
  } rows[] = {{DATA_AUTHORITY_WiFi, 1, false, true},
              {DATA_AUTHORITY_BLE, 2, true, false},
              {DATA_AUTHORITY_LUI, 3, true, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.authority);
    forget();
    uint32_t mode = row.mode;
    EXPECT_EQ(fromKernel([&] { return ginfExposureMode(&mode, row.authority); }),
              ERRORCODE_SUCCESS);
    EXPECT_EQ(stm32().state().capture.exposure_mode, row.mode);
    EXPECT_EQ((kaStatus() & KAStatus_exposureModeChanged) != 0, row.statusBit);
    EXPECT_EQ(stateChange("BLE_STATE_CHANGE_EXPOSURE_MODE"), row.stateChange ? 1 : 0);
  }
}

TEST_F(GinfSettings, TheScheduleFileSplitAndOverwriteShareTheSchedulesStatusBitAndStateChange) {
  start();
  schedule_t schedule = {1, 3600, 7200, 0x3E};
  uint32_t one = 1;
  const std::function<errorCodes()> changes[] = {
      [&] { return ginfSchedule(&schedule, DATA_AUTHORITY_LUI); },
      [&] { return ginfFileSplit(&one, DATA_AUTHORITY_LUI); },
      [&] { return ginfOverwriteOldFiles(&one, DATA_AUTHORITY_LUI); }};
  for (const auto& change : changes) {
    SCOPED_TRACE(&change - changes);
    forget();
    EXPECT_EQ(fromKernel(change), ERRORCODE_SUCCESS);
    EXPECT_TRUE(kaStatus() & KAStatus_scheduleChanged);
    EXPECT_EQ(stateChange("BLE_STATE_CHANGE_SCHEDULE"), 1);
  }
  EXPECT_EQ(stm32().state().capture.schedule.stop, 7200u);
}

TEST_F(GinfSettings, AnIntervalEqualToTheCurrentOneSendsNothing) {
  start();
  int32_t seconds = 60;
  EXPECT_EQ(fromKernel([&] { return ginfInterval(&seconds, DATA_AUTHORITY_LUI); }),
            ERRORCODE_SUCCESS);
  EXPECT_EQ(stm32().count(CMD_setInterval), 0);
  EXPECT_FALSE(kaStatus() & KAStatus_intervalChanged);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_INTERVAL"), 0);
}

TEST_F(GinfSettings, ARefusedChangeKeepsTheHeldValueAndReturnsTheError) {
  start();
  uint32_t sharpness = 99, held = 0;  // out of the camera's range
  EXPECT_EQ(fromKernel([&] { return ginfSharpness(&sharpness, DATA_AUTHORITY_WiFi); }),
            ERRORCODE_ILLEGAL_PARAM_VALUE);
  EXPECT_TRUE(fromKernel([&] { return ginfCopy_sharpness(&held); }));
  EXPECT_EQ(held, 5u);
  EXPECT_EQ(stateChange("BLE_STATE_CHANGE_SHARPNESS"), 0);
}

TEST_F(GinfSettings, AFailedReadForgetsTheValueAndReadsItAgain) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel(
      [&] {
        EXPECT_EQ(ginfSaturation(nullptr, DATA_AUTHORITY_ST), ERRORCODE_TEMPORARY_ERROR);
        EXPECT_FALSE(ginfCopy_saturation(nullptr));
      },
      6);  // before the work item can read it again
  inst.run_for(1 * kGinfSec);
  EXPECT_TRUE(fromKernel([] { return ginfCopy_saturation(nullptr); }));
}

// ---- Credentials and account data ---------------------------------------------------------------

using GinfCredentials = GinfOnBoard;

TEST_F(GinfCredentials, AQueuedCredentialIsWrittenAndASecondQueuedBeforeItIsAppliedRefused) {
  start();
  const struct {
    int (*queue)(const char*);
    std::string sim::Stm32Config::*onStm32;
    const char* stateChangeName;
  } rows[] = {{ginfQueueSSIDUpdate, &sim::Stm32Config::ssid, "BLE_STATE_CHANGE_SSID"},
              {ginfQueuePWDUpdate, &sim::Stm32Config::password, "BLE_STATE_CHANGE_PASSWORD"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.stateChangeName);
    inKernel(
        [&] {
          EXPECT_EQ(row.queue("First"), 0);
          EXPECT_EQ(row.queue("Second"), -1);
        },
        6);  // above the work handler: both come before it runs
    inst.run_for(1 * kGinfSec);
    EXPECT_EQ(stm32().state().*row.onStm32, "First");
    EXPECT_EQ(stateChange(row.stateChangeName), 1);
    EXPECT_EQ(fromKernel([&] { return row.queue("Third"); }), 0);  // the first was applied
  }
}

TEST_F(GinfCredentials, AFailedSsidWriteKeepsTheOldSsidAndTellsThePhone) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel([&] { ginfQueueSSIDUpdate("CafeNet"); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().ssid, "HomeNet");
  EXPECT_EQ(phoneLine("Failed to set SSID on STM32"), 1) << inst.console();
  wifistring_t ssid = {};
  inKernel([&] { ginfCopy_ssid(&ssid); });
  EXPECT_STREQ(ssid, "HomeNet");
}

TEST_F(GinfCredentials, AnSsidLongerThan64CharactersIsCut) {
  start();
  std::string longName(80, 'n');
  EXPECT_EQ(fromKernel([&] { return ginfQueueSSIDUpdate(longName.c_str()); }), 0);
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().state().ssid, std::string(64, 'n'));
}

TEST_F(GinfCredentials, TheAccessCodeIsWrittenAndItsChangeReported) {
  start();
  code_t code = "5678";
  EXPECT_EQ(fromKernel([&] { return ginfAccessCode(&code); }), ERRORCODE_SUCCESS);
  EXPECT_EQ(stm32().state().access_code, "5678");
  EXPECT_TRUE(kaStatus() & KAStatus_accessCodeChanged);
}

TEST_F(GinfCredentials, ALockedAccessCodeIsReportedAsLockedAndKept) {
  config.stm32.access_code_locked = true;
  start();
  code_t code = "5678", held = {};
  EXPECT_EQ(fromKernel([&] { return ginfAccessCode(&code); }), ERRORCODE_PERSISTENT_ERROR);
  EXPECT_TRUE(fromKernel([&] { return ginfCopy_accessCode(&held); }));
  EXPECT_STREQ(held, "1234");
  EXPECT_EQ(stm32().state().access_code, "1234");
}

TEST_F(GinfCredentials, AFailedAccessCodeReadIsRetried) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel([] { ginfAccessCode(nullptr); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(stm32().count(CMD_getBLEAccessCode), 2) << inst.console();
  EXPECT_TRUE(fromKernel([] { return ginfCopy_accessCode(nullptr); }));
}

TEST_F(GinfCredentials, APhonesRegistrationCodeIsKeptHereUntilClearedAndTheServerAskedToFetchIt) {
  start();
  code_t code = "XY99", held = {};
  inKernel([&] { ginfQueueRegistrationCodeUpdate(&code); });
  EXPECT_TRUE(kaStatus() & KAStatus_registrationCodeChanged);
  EXPECT_TRUE(fromKernel([&] { return ginfCopy_registrationCode(&held); }));
  EXPECT_STREQ(held, "XY99");
  EXPECT_EQ(stm32().count(CMD_getCode), 0);
  std::memset(held, 'x', sizeof held);
  inKernel([&] { ginfQueueRegistrationCodeUpdate(nullptr); });
  EXPECT_TRUE(fromKernel([&] { return ginfCopy_registrationCode(&held); }));
  EXPECT_TRUE(allZero(held, sizeof held));
}

TEST_F(GinfCredentials, AClearedUserUIDStaysPendingUntilItsEmptyIDIsWritten) {
  config.stm32.user_uid = "user-42";
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 2, -110);
  inKernel([] { ginfQueueClearUserUID(); });
  inst.run_for(1 * kGinfSec);
  EXPECT_EQ(phoneLine("Failed to set User UID on STM32"), 2) << inst.console();
  EXPECT_EQ(stm32().state().user_uid, "");
}

TEST_F(GinfCredentials, AUserUIDClearedBeforeTheFirstValidationIsNotReadBackFromTheStm32) {
  config.stm32.user_uid = "user-42";
  start(false, [] { ginfQueueClearUserUID(); });
  inst.run_for(3 * kGinfSec);
  EXPECT_EQ(stm32().state().user_uid, "") << inst.console();
}

// ---- Status poll --------------------------------------------------------------------------------

using GinfStatusPoll = GinfOnBoard;

TEST_F(GinfStatusPoll, TheRequestCarriesTheStatusWordLastReceived) {
  start();
  stm32().set_status_bits(STATUS_BATTERY_LOW, true);
  inst.run_for(500 * kGinfMs);
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(ginfLE(lastRequest(CMD_getStatus3), 48, 4),
            uint32_t(STATUS_NORMAL | STATUS_BATTERY_LOW));
}

TEST_F(GinfStatusPoll, TheUsedPercentageFollowsTheCardsSpace) {
  start();
  const uint32_t rows[][3] = {{1000, 30436, 96},
                              {0, 0, 96},        // a card without size keeps the last percentage
                              {5000, 4000, 0}};  // more free than the card holds: nothing used
  for (const auto& [freeMB, totalMB, usedPercent] : rows) {
    SCOPED_TRACE(testing::Message() << freeMB << " MB free of " << totalMB);
    forget();
    stm32().set_space(freeMB, totalMB);
    inst.run_for(500 * kGinfMs);
    EXPECT_TRUE(kaStatus() & KAStatus_sdCardStatusChanged);
    sdcardspace_t space = {};
    EXPECT_TRUE(fromKernel([&] { return ginfCopy_sdcardspace(&space); }));
    EXPECT_EQ(space.usedSpacePercent, usedPercent);
    EXPECT_EQ(space.freeSpaceMB, freeMB);
  }
}

TEST_F(GinfStatusPoll, ARemovedOrInsertedCardIsReportedAndTheAccessCodeReadAgain) {
  start();
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "inserted" : "removed");
    forget();
    present ? stm32().sd_card_inserted() : stm32().sd_card_removed();
    inst.run_for(500 * kGinfMs);
    EXPECT_TRUE(kaStatus() & KAStatus_sdCardStatusChanged);
    EXPECT_EQ(stm32().count(CMD_getBLEAccessCode), 1) << inst.console();
    EXPECT_EQ(fromKernel([] { return ginfIsStatusSet(STATUS_NO_SD_CARD); }), present ? 0 : 1);
  }
}

TEST_F(GinfStatusPoll, AFullOrFailingCardIsALevelThatFollowsTheStm32AndNotTheServer) {
  start();
  const struct {
    void (sim::Stm32::*set)(bool);
    uint32_t bit;
  } rows[] = {{&sim::Stm32::set_sd_full, KAStatus_recordingIsStoppedAndDisabled_SDfull},
              {&sim::Stm32::set_sd_error, KAStatus_recordingIsStoppedAndDisabled_SDerror}};
  for (const auto& row : rows) {
    for (bool on : {true, false}) {
      SCOPED_TRACE(testing::Message() << row.bit << (on ? " on" : " off"));
      (stm32().*row.set)(on);
      inst.run_for(500 * kGinfMs);
      inKernel([] { statClearStatus(0xFFFFFFFFu); });  // the server has read the status
      EXPECT_EQ((kaStatus() & row.bit) != 0, on) << inst.console();
    }
  }
}

TEST_F(GinfStatusPoll, NoCardAlongsideFullClearsTheFullLevel) {
  start();
  stm32().set_sd_full(true);
  inst.run_for(500 * kGinfMs);
  ASSERT_TRUE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDfull);
  stm32().set_status_bits(STATUS_NO_SD_CARD, true);  // both bits in the word now
  inst.run_for(500 * kGinfMs);
  ASSERT_TRUE(stm32().status_word() & STATUS_SD_CARD_FULL);
  EXPECT_FALSE(kaStatus() & KAStatus_recordingIsStoppedAndDisabled_SDfull);
}

TEST_F(GinfStatusPoll, DirtyConfigurationIsReadAgainAndTheWiFiLinkRestarted) {
  start();
  stm32().set_ssid("Other");
  inst.run_for(1 * kGinfSec);
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
  const struct {
    void (*event)(sim::Stm32&);
    uint32_t bit;
  } rows[] = {{[](sim::Stm32& s) { s.picture_captured(1000); }, KAStatus_pictureCaptured},
              {[](sim::Stm32& s) { s.new_file_created("VID00002.AVI"); }, KAStatus_newFileCreated},
              {[](sim::Stm32& s) { s.st_rebooted(); }, KAStatus_STRebooted}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bit);
    forget();
    row.event(stm32());
    inst.run_for(500 * kGinfMs);
    EXPECT_TRUE(kaStatus() & row.bit);
  }
}

TEST_F(GinfStatusPoll, TheCameraInterfaceFollowsTheModeAndTheEndOfLiveViewInTheStatus) {
  start();
  stm32().set_mode(MODE_LIVE_VIEW);
  stm32().set_status_bits(STATUS_LIVE_VIEW_STOPPED, true);  // the word still says live view
  inst.run_for(500 * kGinfMs);
  EXPECT_TRUE(fromKernel([] { return camif_isMode(MODE_IDLE); })) << inst.console();
  stm32().set_mode(MODE_USB);
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  EXPECT_TRUE(fromKernel([] { return camif_isMode(MODE_USB); }));
}

TEST_F(GinfStatusPoll, AFailedPollForgetsTheStatusAndPollsAgain) {
  start();
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  inKernel([] { ginfQueueStatusUpdate("test"); });
  inst.run_for(500 * kGinfMs);
  EXPECT_EQ(stm32().count(CMD_getStatus3), 2);
  EXPECT_EQ(fromKernel([] { return ginfIsStatusSet(STATUS_NORMAL); }), 1);
}

// ---- Recording status ---------------------------------------------------------------------------

using GinfRecordingStatus = GinfOnBoard;

TEST_F(GinfRecordingStatus, TheExchangeCopiesTheStm32sRecordingInformationOrZeroesItOnFailure) {
  start();
  stm32().new_file_created("VID00007.AVI");
  stm32().picture_captured(1500);
  stm32().picture_captured(2500);
  inst.run_for(500 * kGinfMs);
  CameraRecordingInfo_t info;
  std::memset(&info, 0xAA, sizeof info);
  auto exchange = [&] { return ginfRecordingStatus_sendBatteryInfo(&info); };
  EXPECT_EQ(fromKernel(exchange), ERRORCODE_SUCCESS);
  EXPECT_EQ(info.frameCount, 2u);
  EXPECT_EQ(info.currentSize, 4000u);
  EXPECT_STREQ(info.currentFileName, "VID00007.AVI");
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -110);
  EXPECT_EQ(fromKernel(exchange), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_TRUE(allZero(&info, sizeof info));
}

}  // namespace
