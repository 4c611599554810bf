// The camera interface against the simulated STM32: the mode kept here, the mode requests, the
// recording notifications, live view with settings, the directory request and file deletion.
#include <atomic>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "board_fixture.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "i2cDevices/i2cDevices.h"
#include "statStatus/statStatus.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

const char kRecordingChange[] = "(BLE-NQ) stateChange: BLE_STATE_CHANGE_RECORDING";
const char kDeleteChange[] = "(BLE-NQ) stateChange: BLE_STATE_CHANGE_DELETE_FILE_RESULT";

// The two words after the header: a mode and its reason, or a resolution and a frame count.
using Words = std::pair<uint32_t, uint32_t>;
Words words(const sim::Stm32::Request& r) {
  uint32_t w[2] = {0, 0};
  if (r.message.size() >= 20) std::memcpy(w, &r.message[12], sizeof w);
  return {w[0], w[1]};
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
  errorCodes sendMode(uint32_t mode, uint32_t reason) {
    return request([=] {
      if (mode == MODE_IDLE) return camifSend_MODE_IDLE("test", reason);
      if (mode == MODE_LIVE_VIEW) return camifSend_MODE_LIVE_VIEW("test", reason, nullptr);
      return camifSend_MODE_TIME_LAPSE("test", reason);
    });
  }
  errorCodes liveView(uint32_t resolution, uint32_t frames, uint32_t* sig = nullptr) {
    return request(
        [=] { return camifSend_MODE_LIVE_VIEW_W_SETTINGS("lv", resolution, frames, sig); });
  }
  errorCodes deleteFile(const char* name, dataAuthority_t authority) {
    return request([=] {
      filename_t n = {};  // a 13-character name fills it with no terminator, on purpose
      std::memcpy(n, name, std::min(std::strlen(name), sizeof n));
      return camifDeleteFileFromSDCard(&n, authority);
    });
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
  std::string lastDeleted() {
    filename_t last;
    std::memset(last, 'x', sizeof last);
    inKernel([&] { camifCopyLastDeletedFileFromSDCard(&last); });
    return std::string(last, strnlen(last, sizeof last));
  }
  size_t sent() { return board.stm32().requests().size(); }
  sim::Stm32::Request lastRequest() {
    std::vector<sim::Stm32::Request> r = board.stm32().requests();
    return r.empty() ? sim::Stm32::Request{} : r.back();
  }
};

// ---- The mode kept here -----------------------------------------------------------------------

TEST_F(Camif, TheModeReadFromTheStm32IsKeptAndLogged) {
  board.stm32().set_mode(MODE_LIVE_VIEW);
  int32_t mode = -5;
  ASSERT_TRUE(onFirmwareThread([&] { mode = camif_getMode(); }));
  EXPECT_EQ(mode, MODE_LIVE_VIEW);
  EXPECT_TRUE(isMode(MODE_LIVE_VIEW));
  EXPECT_EQ(logged("camera mode:1"), 1) << inst.console();
  EXPECT_EQ(lastRequest().command, CMD_getMode);
}

TEST_F(Camif, AModeFromTheStm32sStatusIsKeptAndOnlyAChangeLogged) {
  inKernel([] { camifUpdateModeFromSTM32(MODE_USB), camifUpdateModeFromSTM32(MODE_USB); });
  EXPECT_TRUE(isMode(MODE_USB));
  EXPECT_EQ(loggedStartingWith("changed mode from"), 1);
  EXPECT_EQ(logged("changed mode from 0 to 3"), 1) << inst.console();
}

TEST_F(Camif, LiveViewCompletingEndsLiveViewButNotTimeLapse) {
  for (int32_t mode : {MODE_LIVE_VIEW, MODE_TIME_LAPSE}) {
    SCOPED_TRACE(mode);
    startIn(mode);
    inKernel([] { camifLiveViewCompletedFromST(); });
    EXPECT_TRUE(isMode(mode == MODE_LIVE_VIEW ? MODE_IDLE : MODE_TIME_LAPSE));
  }
}

// ---- Mode requests ----------------------------------------------------------------------------

TEST_F(Camif, AskingForTheModeAlreadyKeptSendsNothing) {
  auto nothingSent = [this] {
    EXPECT_EQ(sent(), 0u);
    EXPECT_EQ(loggedStartingWith("from "), 0);
  };
  EXPECT_EQ(sendMode(MODE_IDLE, MODE_REASON_BLE), 0);
  nothingSent();
  uint32_t first = 0, second = 0;
  ASSERT_EQ(request([&] { return camifSend_MODE_LIVE_VIEW("a", MODE_REASON_NA, &first); }), 0);
  EXPECT_EQ(first, lastRequest().signature);
  resetObservations();
  ASSERT_EQ(request([&] { return camifSend_MODE_LIVE_VIEW("b", MODE_REASON_NA, &second); }), 0);
  EXPECT_EQ(second, first);  // the running request's
  nothingSent();
  startIn(MODE_TIME_LAPSE);
  EXPECT_EQ(sendMode(MODE_TIME_LAPSE, MODE_REASON_BLE), 0);
  nothingSent();
}

// A request carries the mode and the reason; entering or leaving time lapse (only) tells the phone
// and, unless the app asked, the server.
TEST_F(Camif, AModeRequestIsSentAndOnlyTimeLapseChangesRaiseTheRecordingNotifications) {
  struct Case { int32_t from, to; uint32_t reason; bool notified, statusBit; };
  const Case cases[] = {{MODE_IDLE, MODE_LIVE_VIEW, MODE_REASON_NA, false, false},
                        {MODE_LIVE_VIEW, MODE_TIME_LAPSE, MODE_REASON_BLE, true, true},
                        {MODE_TIME_LAPSE, MODE_IDLE, MODE_REASON_BLE, true, true},
                        {MODE_IDLE, MODE_TIME_LAPSE, MODE_REASON_PWA, true, false},
                        {MODE_TIME_LAPSE, MODE_IDLE, MODE_REASON_PWA, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + "->" + std::to_string(c.to) + " reason " +
                 std::to_string(c.reason));
    startIn(c.from);
    ASSERT_EQ(sendMode(c.to, c.reason), 0);
    sim::Stm32::Request r = lastRequest();
    EXPECT_EQ(r.command, CMD_setModeWithReason);
    EXPECT_EQ(words(r), Words(c.to, c.reason));
    EXPECT_EQ(logged("from test"), 1);
    EXPECT_TRUE(isMode(c.to));
    EXPECT_EQ(recording(), c.to == MODE_TIME_LAPSE);
    EXPECT_EQ(logged(kRecordingChange), c.notified ? 1 : 0);
    EXPECT_EQ((status() & KAStatus_recordingStatusChanged) != 0, c.statusBit);
  }
}

TEST_F(Camif, AFailedRequestReturnsItsResultAndKeepsTheMode) {
  uint32_t sig = 77;
  struct Case { std::function<errorCodes()> call; int result; const char* logged; };
  const Case cases[] = {
      {[] { return static_cast<errorCodes>(camif_getMode()); }, -1,
       "ERROR!! unable to get mode; res: -106"},
      {[] { return camifSend_MODE_TIME_LAPSE("t", MODE_REASON_BLE); }, -106,
       "ERROR!! unable to set mode; res: -106"},
      {[] { return camifSend_MODE_LIVE_VIEW_W_SETTINGS("t", LV_SCALE_640x360, 10, nullptr); },
       -106, ""},
      {[&] {
         filename_t pattern = "*";
         return camifGetDirectory(&pattern, &sig);
       },
       -106, "ERROR!! Failed to read directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    resetObservations();
    board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -106);
    EXPECT_EQ(request(c.call), c.result);
    if (*c.logged) {
      EXPECT_EQ(logged(c.logged), 1) << inst.console();
    }
    EXPECT_TRUE(isMode(MODE_IDLE));
    EXPECT_EQ(logged(kRecordingChange), 0);
  }
  EXPECT_EQ(sig, 77u);  // not handed back
}

TEST_F(Camif, TimeLapseWithTheBatteryTooLowIsRefusedWithoutAskingTheStm32) {
  inKernel([] { sysstate_setBatteryLowPreventRecordingState(); });
  inst.clear_console();
  EXPECT_EQ(sendMode(MODE_TIME_LAPSE, MODE_REASON_BLE), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(sent(), 0u);
  int from = indexOf("from test");
  ASSERT_GE(from, 0) << inst.console();
  EXPECT_GT(indexOf("(BLE-NQ) log: \"Battery low; cannot start time lapse\"", from), from);
  EXPECT_TRUE(isMode(MODE_IDLE));
}

// ---- Live view with settings ------------------------------------------------------------------

TEST_F(Camif, ALiveViewStartIsSentWithItsSettingsUnlessItsResolutionRunsAlready) {
  uint32_t first = 0, second = 0;
  ASSERT_EQ(liveView(LV_SCALE_768x432, 16, &first), 0);
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_setLiveViewMode);
  EXPECT_EQ(words(r), Words(LV_SCALE_768x432, 16));
  EXPECT_EQ(first, r.signature);
  EXPECT_EQ(logged("from lv:: res: 5, frames: 16"), 1) << inst.console();
  EXPECT_TRUE(isMode(MODE_LIVE_VIEW));
  resetObservations();
  ASSERT_EQ(liveView(LV_SCALE_768x432, 1, &second), 0);  // another frame count
  EXPECT_EQ(sent(), 0u);
  EXPECT_EQ(second, first);
  ASSERT_EQ(liveView(LV_SCALE_1280x720, 1), 0);
  EXPECT_EQ(words(lastRequest()), Words(LV_SCALE_1280x720, 1));
}

TEST_F(Camif, AStopCarriesTheLastResolutionWhateverTheCallerNamed) {
  const std::function<errorCodes()> stops[] = {
      [] { return camifSend_MODE_LIVE_VIEW_W_SETTINGS("b", LV_SCALE_1920x1080, 0, nullptr); },
      [] { return camifStopLiveView("cleanup"); }};
  for (const auto& stop : stops) {
    ASSERT_EQ(liveView(LV_SCALE_320x176, 10), 0);
    board.stm32().clear_record();
    ASSERT_EQ(request(stop), 0);
    sim::Stm32::Request r = lastRequest();
    EXPECT_EQ(r.command, CMD_setLiveViewMode);
    EXPECT_EQ(words(r), Words(LV_SCALE_320x176, 0));
    EXPECT_TRUE(isMode(MODE_IDLE));
  }
  EXPECT_EQ(logged("from cleanup"), 1) << inst.console();
}

TEST_F(Camif, AStopWhileIdleSendsNothingAndHandsBackTheLastSignature) {
  uint32_t started = 0, stopped = 0, again = 0;
  ASSERT_EQ(liveView(LV_SCALE_640x360, 10, &started), 0);
  ASSERT_EQ(liveView(LV_SCALE_640x360, 0, &stopped), 0);
  resetObservations();
  ASSERT_EQ(liveView(LV_SCALE_640x360, 0, &again), 0);
  EXPECT_EQ(request([] { return camifStopLiveView("cleanup"); }), 0);
  EXPECT_EQ(sent(), 0u);
  EXPECT_NE(stopped, started);
  EXPECT_EQ(again, stopped);
  EXPECT_EQ(loggedStartingWith("from "), 0);
}

TEST_F(Camif, TwoLiveViewRequestsAtOnceEachSendTheirOwnSettings) {
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
  EXPECT_EQ(words(r[0]), Words(LV_SCALE_640x360, 10));
  EXPECT_EQ(words(r[1]), Words(LV_SCALE_1280x720, 20));
}

// ---- Directory and deletion -------------------------------------------------------------------

TEST_F(Camif, ADirectoryOrDeletionRequestWithoutANameIsRefused) {
  EXPECT_EQ(request([] { return camifGetDirectory(nullptr, nullptr); }), -110);
  EXPECT_EQ(request([] { return camifDeleteFileFromSDCard(nullptr, DATA_AUTHORITY_LUI); }), -110);
  EXPECT_EQ(sent(), 0u);
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
  EXPECT_EQ(std::vector<uint8_t>(r.message.begin() + 25, r.message.end()),
            std::vector<uint8_t>(24, 0));
  EXPECT_EQ(sig, r.signature);
  EXPECT_EQ(logged("reading directory: *.JPG"), 1) << inst.console();
}

TEST_F(Camif, ADeletionSendsTheNameCutToTwelveCharactersAndRemembersIt) {
  ASSERT_EQ(deleteFile("ABCDEFGHIJKLM", DATA_AUTHORITY_LUI), 0);  // 13 characters, no terminator
  sim::Stm32::Request r = lastRequest();
  EXPECT_EQ(r.command, CMD_DeleteFileFromSDCard);
  ASSERT_EQ(r.message.size(), 25u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.message[12])), "ABCDEFGHIJKL");
  EXPECT_EQ(lastDeleted(), "ABCDEFGHIJKL");
}

// Whoever asked for the deletion knows already; the phone and the server are told otherwise.
TEST_F(Camif, ADeletionTellsThePhoneAndTheServerUnlessTheyAsked) {
  struct Case { dataAuthority_t who; bool phoneTold, serverTold; };
  const Case cases[] = {{DATA_AUTHORITY_LUI, true, true},
                        {DATA_AUTHORITY_BLE, false, true},
                        {DATA_AUTHORITY_WiFi, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.who);
    resetObservations();
    ASSERT_EQ(deleteFile("A.AVI", c.who), 0);
    EXPECT_EQ(logged(kDeleteChange), c.phoneTold ? 1 : 0);
    EXPECT_EQ((status() & KAStatus_directoryRefreshNeeded) != 0, c.serverTold);
  }
}

TEST_F(Camif, AFailedDeletionLeavesTheLastDeletedNameAndTellsNobody) {
  ASSERT_EQ(deleteFile("FIRST.AVI", DATA_AUTHORITY_WiFi), 0);
  resetObservations();
  board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -105);
  EXPECT_EQ(deleteFile("SECOND.AVI", DATA_AUTHORITY_LUI), -105);
  EXPECT_EQ(logged("ERROR!! failed to delete file from SD card; result: -105"), 1);
  EXPECT_EQ(lastDeleted(), "FIRST.AVI");
  EXPECT_EQ(logged(kDeleteChange), 0);
  EXPECT_FALSE(status() & KAStatus_directoryRefreshNeeded);
}

}  // namespace
