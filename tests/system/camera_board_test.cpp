// The firmware with the simulated board: the STM32 exchange at boot, the buttons, the STM32's
// poke and the power switch, end to end.
#include "firmware_fixture.h"

namespace {

class CameraBoard : public Firmware {
 protected:
  // The boot's own handshake and the thread's first pass are over by then.
  void BootAndSettle() {
    inst.boot();
    inst.run_for(1 * kSec);
  }
  int Count(const std::string& text) {
    std::string c = inst.console();
    int n = 0;
    for (size_t p = c.find(text); p != std::string::npos; p = c.find(text, p + 1)) n++;
    return n;
  }
};

TEST_F(CameraBoard, BootAsksTheStm32ForItsModeThroughARealExchange) {
  BootAndSettle();
  EXPECT_EQ(board.stm32().count(130), 1);  // CMD_getMode
  EXPECT_EQ(Count(": id/len/sig tx:+2/16/1 "), 1);
  EXPECT_EQ(Count(": camera mode:0\n"), 1);
  EXPECT_TRUE(board.main_power_held());
  EXPECT_FALSE(board.charge_enabled());
  EXPECT_FALSE(camhost::uart_module_is_open());
}

TEST(CameraBoardRecording, ACameraAlreadyRecordingAtBootSetsTheRecordingFlag) {
  camhost::Instance inst{FirmwareOptions()};
  sim::BoardConfig config;
  config.stm32.mode = 2;  // time lapse
  sim::Board board(config);
  inst.boot();
  inst.run_for(1 * kSec);
  std::string c = inst.console();
  EXPECT_NE(c.find(": camera mode:2\n"), std::string::npos);
  EXPECT_NE(c.find(": isRecordingActive: 1\n"), std::string::npos);
}

TEST_F(CameraBoard, BothButtonsPressedTogetherAreReportedAsOneMessage) {
  BootAndSettle();
  board.set_buttons(0x0006);
  inst.run_for(100000);
  EXPECT_EQ(Count(": queueing button press: 6\n"), 1);
}

TEST_F(CameraBoard, AnStm32SignalOutsideATransactionIsAPoke) {
  BootAndSettle();
  int before = Count(": POKED by the STM32");
  board.stm32().poke();
  inst.run_for(200000);
  EXPECT_EQ(Count(": POKED by the STM32"), before + 1);
}

TEST_F(CameraBoard, ThePowerSwitchPowersTheCameraDownThroughTheStm32AndResetsTheModule) {
  BootAndSettle();
  board.set_power_switch_off(true);
  inst.run_for(10 * kSec);
  EXPECT_EQ(Count(": isPoweringDownActive: 1\n"), 1);
  EXPECT_EQ(Count(": POWERING DOWN!!"), 1);
  EXPECT_EQ(board.stm32().count(52), 1);  // CMD_setPowerDown
  EXPECT_TRUE(board.stm32().power_down_requested());
  EXPECT_EQ(inst.boots(), 2);
  EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
}

TEST_F(CameraBoard, APowerSwitchBouncingBackWithin300msDoesNotPowerDown) {
  BootAndSettle();
  board.set_power_switch_off(true);
  inst.run_for(10000);  // read "off" once; the next sample, 20 ms on, reads "on"
  board.set_power_switch_off(false);
  inst.run_for(2 * kSec);
  EXPECT_EQ(Count(": ERROR!! we shouldn't see the power go OFF->ON\n"), 1);
  EXPECT_EQ(board.stm32().count(52), 0);
  EXPECT_TRUE(board.main_power_held());
  EXPECT_EQ(inst.boots(), 1);
}

TEST_F(CameraBoard, ASilentStm32IsGivenUpAfterSixSecondsAndTheLoopStillRuns) {
  board.stm32().set_fault(sim::Stm32Fault::kSilent, -1);
  inst.boot();
  inst.run_for(20 * kSec);
  EXPECT_EQ(Count(": ERROR!! unable to get mode; res: -110\n"), 1);
  auto status = LinesWith(inst.console(), "sleeping for");
  ASSERT_FALSE(status.empty());
  EXPECT_GE(Micros(status[0]), 6 * kSec);
}

}  // namespace
