// The camera interface against the simulated STM32: the mode kept here, the mode requests, the
// recording notifications, live view with settings, the directory request and file deletion.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "i2cDevices/i2cDevices.h"
#include "statStatus/statStatus.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

const char kRecordingChange[] = "(BLE-NQ) stateChange: BLE_STATE_CHANGE_RECORDING";
const char kDeleteChange[] = "(BLE-NQ) stateChange: BLE_STATE_CHANGE_DELETE_FILE_RESULT";

uint32_t le(const std::vector<uint8_t>& m, size_t at, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; i++) v |= static_cast<uint32_t>(m.at(at + i)) << (8 * i);
  return v;
}

class Camif : public OnBoard {
 protected:
  void SetUp() override {
    inKernel([] {
      stmsgSTM32Message_Init();
      sysstateSystemState_Init();
      i2cDevices_Init();
      i2cDevices_StartThreads();
      i2cDeactivateSignalToSTM32();
    });
    inst.run_for(100000);
    inst.clear_console();
  }

  // Puts the kept mode to `mode` as the STM32's status would, then forgets what that did.
  void startIn(int32_t mode) {
    board.stm32().set_mode(mode);
    inKernel([mode] { camifUpdateModeFromSTM32(static_cast<uint32_t>(mode)); });
    resetObservations();
  }
  void resetObservations() {
    inKernel([] { statClearStatus(0xFFFFFFFFu); });
    board.stm32().clear_record();
    inst.clear_console();
  }

  // Runs a request on a firmware thread and returns its result.
  errorCodes request(const std::function<errorCodes()>& fn) {
    errorCodes res = ERRORCODE_GENERIC;
    EXPECT_TRUE(onFirmwareThread([&] { res = fn(); }));
    return res;
  }

  bool isMode(uint32_t mode) {
    bool is = false;
    inKernel([&] { is = camif_isMode(mode); });
    return is;
  }
  uint32_t status() {
    uint32_t s = 0;
    inKernel([&] { s = statGetStatus(); });
    return s;
  }
  static bool recording() { return (sysstateSystemState & sysstate_Recording) != 0; }

  sim::Stm32::Request lastRequest() {
    std::vector<sim::Stm32::Request> r = board.stm32().requests();
    EXPECT_FALSE(r.empty());
    return r.empty() ? sim::Stm32::Request{} : r.back();
  }
};

// ---- Reading and keeping the mode -----------------------------------------------------------

TEST_F(Camif, ReadingTheModeKeepsAndLogsTheCamerasMode) {
  board.stm32().set_mode(MODE_LIVE_VIEW);
  int32_t mode = -5;
  ASSERT_TRUE(onFirmwareThread([&] { mode = camif_getMode(); }));
  EXPECT_EQ(mode, MODE_LIVE_VIEW);
  EXPECT_TRUE(isMode(MODE_LIVE_VIEW));
  EXPECT_EQ(logged("camera mode:1"), 1) << inst.console();
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_getMode);
  EXPECT_EQ(r.length, 16);
}

TEST_F(Camif, ReadingARecordingCameraRaisesTheRecordingNotifications) {
  board.stm32().set_mode(MODE_TIME_LAPSE);
  ASSERT_TRUE(onFirmwareThread([] { camif_getMode(); }));
  EXPECT_TRUE(recording());
  EXPECT_EQ(logged(kRecordingChange), 1);
  EXPECT_TRUE(status() & KAStatus_recordingStatusChanged);
}

TEST_F(Camif, AFailedModeReadLogsTheResultAndKeepsTheMode) {
  board.stm32().set_mode(MODE_LIVE_VIEW);
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -106);
  int32_t mode = 0;
  ASSERT_TRUE(onFirmwareThread([&] { mode = camif_getMode(); }));
  EXPECT_EQ(mode, -1);
  EXPECT_EQ(logged("ERROR!! unable to get mode; res: -106"), 1) << inst.console();
  EXPECT_TRUE(isMode(MODE_IDLE));
}

TEST_F(Camif, AModeFromTheStm32sStatusIsKeptAndItsChangeLogged) {
  uint32_t got = 0;
  inKernel([&] { got = camifUpdateModeFromSTM32(MODE_USB); });
  EXPECT_EQ(got, static_cast<uint32_t>(MODE_USB));
  EXPECT_TRUE(isMode(MODE_USB));
  EXPECT_EQ(logged("changed mode from 0 to 3"), 1) << inst.console();
}

TEST_F(Camif, AnUnchangedModeFromTheStm32sStatusLogsNothing) {
  inKernel([] { camifUpdateModeFromSTM32(MODE_IDLE); });
  EXPECT_EQ(loggedStartingWith("changed mode from"), 0);
}

TEST_F(Camif, LiveViewCompletingPutsTheModeToIdle) {
  startIn(MODE_LIVE_VIEW);
  inKernel([] { camifLiveViewCompletedFromST(); });
  EXPECT_TRUE(isMode(MODE_IDLE));
}

TEST_F(Camif, LiveViewCompletingDuringTimeLapseLeavesTheMode) {
  startIn(MODE_TIME_LAPSE);
  inKernel([] { camifLiveViewCompletedFromST(); });
  EXPECT_TRUE(isMode(MODE_TIME_LAPSE));
  EXPECT_TRUE(recording());
}

// ---- Mode requests ----------------------------------------------------------------------------

TEST_F(Camif, AskingForTheModeAlreadyKeptSendsNothing) {
  EXPECT_EQ(request([] { return camifSend_MODE_IDLE("test", MODE_REASON_BLE); }), 0);
  startIn(MODE_TIME_LAPSE);
  EXPECT_EQ(request([] { return camifSend_MODE_TIME_LAPSE("test", MODE_REASON_BLE); }), 0);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
  EXPECT_EQ(logged("from test"), 0);
}

TEST_F(Camif, AskingForLiveViewInLiveViewSendsNothingAndHandsBackTheRunningSignature) {
  uint32_t first = 0, second = 0;
  ASSERT_EQ(request([&] { return camifSend_MODE_LIVE_VIEW("test", MODE_REASON_NA, &first); }), 0);
  EXPECT_EQ(first, lastRequest().signature);
  board.stm32().clear_record();
  ASSERT_EQ(request([&] { return camifSend_MODE_LIVE_VIEW("test", MODE_REASON_NA, &second); }), 0);
  EXPECT_EQ(second, first);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
}

TEST_F(Camif, AModeRequestCarriesTheModeAndTheReasonAfterLoggingItsCaller) {
  ASSERT_EQ(request([] { return camifSend_MODE_TIME_LAPSE("buttonTask", MODE_REASON_BUTTON); }), 0);
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_setModeWithReason);
  EXPECT_EQ(r.length, 20);
  EXPECT_EQ(le(r.message, 12, 4), static_cast<uint32_t>(MODE_TIME_LAPSE));
  EXPECT_EQ(le(r.message, 16, 4), static_cast<uint32_t>(MODE_REASON_BUTTON));
  EXPECT_EQ(logged("from buttonTask"), 1);
  EXPECT_TRUE(isMode(MODE_TIME_LAPSE));
}

TEST_F(Camif, IdleToLiveViewRaisesNoRecordingNotification) {
  ASSERT_EQ(request([] { return camifSend_MODE_LIVE_VIEW("test", MODE_REASON_NA, nullptr); }), 0);
  EXPECT_TRUE(isMode(MODE_LIVE_VIEW));
  EXPECT_FALSE(recording());
  EXPECT_EQ(logged(kRecordingChange), 0);
  EXPECT_FALSE(status() & KAStatus_recordingStatusChanged);
}

TEST_F(Camif, LiveViewToTimeLapseRaisesTheRecordingNotifications) {
  startIn(MODE_LIVE_VIEW);
  ASSERT_EQ(request([] { return camifSend_MODE_TIME_LAPSE("test", MODE_REASON_BLE); }), 0);
  EXPECT_TRUE(recording());
  EXPECT_EQ(logged(kRecordingChange), 1);
  EXPECT_TRUE(status() & KAStatus_recordingStatusChanged);
}

TEST_F(Camif, TimeLapseToIdleRaisesTheRecordingNotifications) {
  startIn(MODE_TIME_LAPSE);
  ASSERT_EQ(request([] { return camifSend_MODE_IDLE("test", MODE_REASON_BLE); }), 0);
  EXPECT_TRUE(isMode(MODE_IDLE));
  EXPECT_FALSE(recording());
  EXPECT_EQ(logged(kRecordingChange), 1);
  EXPECT_TRUE(status() & KAStatus_recordingStatusChanged);
}

TEST_F(Camif, ARecordingStartForTheAppRaisesTheFlagAndTheBleNotificationButNoStatusBit) {
  ASSERT_EQ(request([] { return camifSend_MODE_TIME_LAPSE("test", MODE_REASON_PWA); }), 0);
  EXPECT_TRUE(recording());
  EXPECT_EQ(logged(kRecordingChange), 1);
  EXPECT_FALSE(status() & KAStatus_recordingStatusChanged);
}

TEST_F(Camif, ARecordingStopForTheAppRaisesTheFlagAndTheBleNotificationButNoStatusBit) {
  startIn(MODE_TIME_LAPSE);
  ASSERT_EQ(request([] { return camifSend_MODE_IDLE("test", MODE_REASON_PWA); }), 0);
  EXPECT_FALSE(recording());
  EXPECT_EQ(logged(kRecordingChange), 1);
  EXPECT_FALSE(status() & KAStatus_recordingStatusChanged);
}

TEST_F(Camif, AFailedModeRequestLogsReturnsTheResultAndKeepsTheMode) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -106);
  EXPECT_EQ(request([] { return camifSend_MODE_TIME_LAPSE("test", MODE_REASON_BLE); }), -106);
  EXPECT_EQ(logged("ERROR!! unable to set mode; res: -106"), 1) << inst.console();
  EXPECT_TRUE(isMode(MODE_IDLE));
  EXPECT_FALSE(recording());
  EXPECT_EQ(logged(kRecordingChange), 0);
}

TEST_F(Camif, TimeLapseWithTheBatteryTooLowIsRefusedWithoutAskingTheStm32) {
  inKernel([] { sysstate_setBatteryLowPreventRecordingState(); });
  inst.clear_console();
  EXPECT_EQ(request([] { return camifSend_MODE_TIME_LAPSE("test", MODE_REASON_BLE); }),
            ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
  int from = indexOf("from test");
  ASSERT_GE(from, 0) << inst.console();
  EXPECT_GT(indexOf("(BLE-NQ) log: \"Battery low; cannot start time lapse\"", from), from);
  EXPECT_TRUE(isMode(MODE_IDLE));
}

// ---- Live view with settings ------------------------------------------------------------------

TEST_F(Camif, ALiveViewStartSendsItsSettingsAndHandsBackTheSignature) {
  uint32_t sig = 0;
  ASSERT_EQ(request([&] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("viewer", LV_SCALE_640x360, 16, &sig);
            }),
            0);
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_setLiveViewMode);
  EXPECT_EQ(r.length, 20);
  EXPECT_EQ(le(r.message, 12, 4), static_cast<uint32_t>(LV_SCALE_640x360));
  EXPECT_EQ(le(r.message, 16, 4), 16u);
  EXPECT_EQ(sig, r.signature);
  EXPECT_EQ(logged("from viewer:: res: 6, frames: 16"), 1) << inst.console();
  EXPECT_TRUE(isMode(MODE_LIVE_VIEW));
}

TEST_F(Camif, ALiveViewStartAtTheRunningResolutionSendsNothingEvenWithAnotherFrameCount) {
  uint32_t first = 0, second = 0;
  ASSERT_EQ(request([&] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_768x432, 16777215, &first);
            }),
            0);
  board.stm32().clear_record();
  ASSERT_EQ(request([&] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("b", LV_SCALE_768x432, 1, &second);
            }),
            0);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
  EXPECT_EQ(second, first);
}

TEST_F(Camif, ALiveViewStartAtAnotherResolutionIsSent) {
  ASSERT_EQ(request([] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_768x432, 10, nullptr);
            }),
            0);
  board.stm32().clear_record();
  ASSERT_EQ(request([] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("b", LV_SCALE_1280x720, 10, nullptr);
            }),
            0);
  ASSERT_EQ(board.stm32().count(CMD_setLiveViewMode), 1);
  EXPECT_EQ(le(lastRequest().message, 12, 4), static_cast<uint32_t>(LV_SCALE_1280x720));
}

TEST_F(Camif, AStopRequestCarriesTheLastResolutionNotTheOnePassed) {
  ASSERT_EQ(request([] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_640x360, 10, nullptr);
            }),
            0);
  board.stm32().clear_record();
  ASSERT_EQ(request([] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("b", LV_SCALE_1920x1080, 0, nullptr);
            }),
            0);
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(le(r.message, 12, 4), static_cast<uint32_t>(LV_SCALE_640x360));
  EXPECT_EQ(le(r.message, 16, 4), 0u);
  EXPECT_TRUE(isMode(MODE_IDLE));
}

TEST_F(Camif, AStopRequestWhileIdleSendsNothingAndHandsBackTheLastSignature) {
  uint32_t started = 0, stopped = 0, again = 0;
  ASSERT_EQ(request([&] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_640x360, 10, &started);
            }),
            0);
  ASSERT_EQ(request([&] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_640x360, 0, &stopped);
            }),
            0);
  board.stm32().clear_record();
  ASSERT_EQ(request([&] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_640x360, 0, &again);
            }),
            0);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
  EXPECT_NE(stopped, started);
  EXPECT_EQ(again, stopped);
}

TEST_F(Camif, StoppingLiveViewWhileIdleSendsNothing) {
  EXPECT_EQ(request([] { return camifStopLiveView("cleanup"); }), 0);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
  EXPECT_EQ(logged("from cleanup"), 0);
}

TEST_F(Camif, StoppingLiveViewLogsItsCallerAndStopsAtTheLastResolution) {
  ASSERT_EQ(request([] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_320x176, 16777215, nullptr);
            }),
            0);
  board.stm32().clear_record();
  EXPECT_EQ(request([] { return camifStopLiveView("cleanup"); }), 0);
  EXPECT_EQ(logged("from cleanup"), 1) << inst.console();
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_setLiveViewMode);
  EXPECT_EQ(le(r.message, 12, 4), static_cast<uint32_t>(LV_SCALE_320x176));
  EXPECT_EQ(le(r.message, 16, 4), 0u);
  EXPECT_TRUE(isMode(MODE_IDLE));
}

TEST_F(Camif, AFailedLiveViewRequestReturnsTheResultAndKeepsTheMode) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -106);
  EXPECT_EQ(request([] {
              return camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_640x360, 10, nullptr);
            }),
            -106);
  EXPECT_TRUE(isMode(MODE_IDLE));
}

TEST_F(Camif, TwoLiveViewRequestsAtOnceEachSendTheirOwnSettings) {
  // The second is built while the first waits for its answer; neither may overwrite the other.
  std::atomic<int> done{0};
  errorCodes a = ERRORCODE_GENERIC, b = ERRORCODE_GENERIC;
  inst.spawn("lvA", 4, [&] {
    a = camifSend_MODE_LIVE_VIEW_W_SETTINGS("a", LV_SCALE_640x360, 10, nullptr);
    done++;
  });
  inst.spawn("lvB", 4, [&] {
    b = camifSend_MODE_LIVE_VIEW_W_SETTINGS("b", LV_SCALE_1280x720, 20, nullptr);
    done++;
  });
  ASSERT_TRUE(inst.run_until([&] { return done == 2; }, 20000000));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  std::vector<sim::Stm32::Request> r = board.stm32().requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(le(r[0].message, 12, 4), static_cast<uint32_t>(LV_SCALE_640x360));
  EXPECT_EQ(le(r[0].message, 16, 4), 10u);
  EXPECT_EQ(le(r[1].message, 12, 4), static_cast<uint32_t>(LV_SCALE_1280x720));
  EXPECT_EQ(le(r[1].message, 16, 4), 20u);
}

// ---- Directory and deletion -------------------------------------------------------------------

TEST_F(Camif, ADirectoryRequestWithoutANameIsRefused) {
  EXPECT_EQ(request([] { return camifGetDirectory(nullptr, nullptr); }), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
}

TEST_F(Camif, ADirectoryRequestSendsTheNameAndHandsBackTheSignature) {
  uint32_t sig = 0;
  ASSERT_EQ(request([&] {
              filename_t pattern = "*.JPG";
              return camifGetDirectory(&pattern, &sig);
            }),
            0);
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_getSD_Directory1);
  ASSERT_EQ(r.message.size(), 49u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.message[12])), "*.JPG");
  for (size_t i = 25; i < 49; i++) EXPECT_EQ(r.message[i], 0) << "byte " << i;
  EXPECT_EQ(sig, r.signature);
  EXPECT_EQ(logged("reading directory: *.JPG"), 1) << inst.console();
}

TEST_F(Camif, AFailedDirectoryRequestIsLoggedAndItsResultReturned) {
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -106);
  uint32_t sig = 77;
  EXPECT_EQ(request([&] {
              filename_t pattern = "*";
              return camifGetDirectory(&pattern, &sig);
            }),
            -106);
  EXPECT_EQ(logged("ERROR!! Failed to read directory"), 1);
  EXPECT_EQ(sig, 77u);
}

TEST_F(Camif, ADeletionWithoutANameIsRefused) {
  EXPECT_EQ(request([] { return camifDeleteFileFromSDCard(nullptr, DATA_AUTHORITY_LUI); }),
            ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(board.stm32().requests().size(), 0u);
}

TEST_F(Camif, ADeletionSendsTheNameAndRemembersIt) {
  ASSERT_EQ(request([] {
              filename_t name = "TL000042.AVI";
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_LUI);
            }),
            0);
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_DeleteFileFromSDCard);
  ASSERT_EQ(r.message.size(), 25u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.message[12])), "TL000042.AVI");
  filename_t last = "";
  inKernel([&] { camifCopyLastDeletedFileFromSDCard(&last); });
  EXPECT_STREQ(last, "TL000042.AVI");
}

TEST_F(Camif, ADeletionAskedLocallyTellsBothThePhoneAndTheServer) {
  ASSERT_EQ(request([] {
              filename_t name = "A.AVI";
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_LUI);
            }),
            0);
  EXPECT_EQ(logged(kDeleteChange), 1) << inst.console();
  EXPECT_TRUE(status() & KAStatus_directoryRefreshNeeded);
}

TEST_F(Camif, ADeletionAskedByThePhoneTellsOnlyTheServer) {
  ASSERT_EQ(request([] {
              filename_t name = "A.AVI";
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_BLE);
            }),
            0);
  EXPECT_EQ(logged(kDeleteChange), 0);
  EXPECT_TRUE(status() & KAStatus_directoryRefreshNeeded);
}

TEST_F(Camif, ADeletionAskedByTheServerTellsOnlyThePhone) {
  ASSERT_EQ(request([] {
              filename_t name = "A.AVI";
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_WiFi);
            }),
            0);
  EXPECT_EQ(logged(kDeleteChange), 1);
  EXPECT_FALSE(status() & KAStatus_directoryRefreshNeeded);
}

TEST_F(Camif, AFailedDeletionLeavesTheLastDeletedNameAndTellsNobody) {
  ASSERT_EQ(request([] {
              filename_t name = "FIRST.AVI";
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_WiFi);
            }),
            0);
  resetObservations();
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -105);
  EXPECT_EQ(request([] {
              filename_t name = "SECOND.AVI";
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_LUI);
            }),
            -105);
  EXPECT_EQ(logged("ERROR!! failed to delete file from SD card; result: -105"), 1)
      << inst.console();
  filename_t last = "";
  inKernel([&] { camifCopyLastDeletedFileFromSDCard(&last); });
  EXPECT_STREQ(last, "FIRST.AVI");
  EXPECT_EQ(logged(kDeleteChange), 0);
  EXPECT_FALSE(status() & KAStatus_directoryRefreshNeeded);
}

TEST_F(Camif, AnUnterminatedNameIsSentAndRememberedCutToTwelveCharacters) {
  ASSERT_EQ(request([] {
              filename_t name;
              std::memcpy(name, "ABCDEFGHIJKLM", sizeof name);  // 13 characters, no terminator
              return camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_LUI);
            }),
            0);
  sim::Stm32::Request r = lastRequest();
  ASSERT_EQ(r.message.size(), 25u);
  EXPECT_EQ(r.message[24], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.message[12]), 12), "ABCDEFGHIJKL");
  filename_t last;
  std::memset(last, 'x', sizeof last);
  inKernel([&] { camifCopyLastDeletedFileFromSDCard(&last); });
  EXPECT_EQ(last[12], '\0');
  EXPECT_STREQ(last, "ABCDEFGHIJKL");
}

TEST_F(Camif, NothingDeletedYetReadsAsAnEmptyName) {
  filename_t last;
  std::memset(last, 'x', sizeof last);
  inKernel([&] { camifCopyLastDeletedFileFromSDCard(&last); });
  EXPECT_STREQ(last, "");
}

}  // namespace
