// The I2C devices against the simulated board: expander set-up, output words, inputs, the "i2c"
// thread (buttons, USB power, the STM32's signal, the power switch and the power-down), and the
// button debounce.
#include "i2cDevices/i2cDevices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "camhost/bus.h"
#include "i2cDevices/i2cbtnI2CButtons/i2cbtnI2CButtons.h"
#include "os.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

constexpr uint8_t kOutputReg = 0x02;
constexpr uint16_t kExp1SignalToStm32 = 0x0001;

class I2cDevices : public OnBoard {
 protected:
  void SetUp() override {
    inKernel([] {
      stmsgSTM32Message_Init();
      sysstateSystemState_Init();
      i2cDevices_Init();
    });
  }

  // Starts the "i2c" thread, lowers the signal line that the set-up leaves raised (the STM32
  // answers it) so that the next transaction makes a fresh edge, lets all that go by and forgets
  // the console.
  void startThread() {
    inKernel([] {
      i2cDevices_StartThreads();
      i2cDeactivateSignalToSTM32();
    });
    inst.run_for(100000);
    inst.clear_console();
  }
};

using Write = sim::Pcal6416a::Write;

void expectWrites(const std::vector<Write>& got, const std::vector<Write>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].reg, want[i].reg) << "write " << i;
    EXPECT_EQ(got[i].data, want[i].data) << "write " << i;
  }
}

// ---- Set-up
// ---------------------------------------------------------------------------------------

TEST_F(I2cDevices, TheFirstExpanderGetsExactlyTheStartUpWritesInOrder) {
  expectWrites(board.expander1().writes(), {{0x02, {0x27, 0x81}},
                                            {0x06, {0x26, 0x81}},
                                            {0x44, {0x26, 0x81}},
                                            {0x04, {0x06, 0x00}},
                                            {0x4A, {0xD9, 0x7F}}});
}

TEST_F(I2cDevices, TheSecondExpanderGetsExactlyTheStartUpWritesInOrder) {
  expectWrites(board.expander2().writes(), {{0x02, {0xDF, 0xFD}},
                                            {0x06, {0x9F, 0xFD}},
                                            {0x44, {0x00, 0x00}},
                                            {0x04, {0x08, 0x00}},
                                            {0x4A, {0xF7, 0xFF}}});
}

TEST_F(I2cDevices, SetUpHoldsTheCameraPowerAndLeavesChargingAndTheLevelShifterOff) {
  EXPECT_TRUE(board.main_power_held());
  EXPECT_FALSE(board.charge_enabled());
  EXPECT_FALSE(board.level_shifter());
  bool charging = true;
  inKernel([&] { charging = i2cGetChargeEnabled(); });
  EXPECT_FALSE(charging);
}

TEST_F(I2cDevices, SetUpLogsEachDeviceAsItIsCreated) {
  std::vector<std::string> m = messages();
  std::vector<std::string> want = {
      "Initializing i2c first expander PCAL6416A", "Initializing i2c second expander PCAL6416A",
      "Fuel gauge i2c device created", "Fuel gauge mux device created"};
  size_t next = 0;
  for (const std::string& line : m)
    if (next < want.size() && line == want[next]) next++;
  EXPECT_EQ(next, want.size()) << inst.console();
}

TEST_F(I2cDevices, ASecondSetUpDoesNotTouchTheExpandersAgain) {
  board.expander1().clear_record();
  board.expander2().clear_record();
  inKernel([] { i2cDevices_Init(); });
  EXPECT_EQ(board.expander1().messages(), 0);
  EXPECT_EQ(board.expander2().messages(), 0);
}

// ---- Output words -----------------------------------------------------------------------------

TEST_F(I2cDevices, AnOutputWriteEqualToTheCurrentOutputsCausesNoBusTraffic) {
  board.expander1().clear_record();
  int res = -99;
  inKernel([&] { res = i2cWriteWordLED(i2cLED_All, 0); });  // the LEDs are off already
  EXPECT_EQ(res, 0);
  EXPECT_EQ(board.expander1().messages(), 0);
}

TEST_F(I2cDevices, AChangedOutputIsOneWriteOfTheWholeOutputRegister) {
  uint16_t before = board.expander1().reg(kOutputReg);
  board.expander1().clear_record();
  int res = -99;
  inKernel([&] { res = i2cWriteWordLED(0x0008, 0x0008); });
  EXPECT_EQ(res, 0);
  uint16_t after = static_cast<uint16_t>(before | 0x0008);
  expectWrites(board.expander1().writes(),
               {{0x02, {static_cast<uint8_t>(after & 0xFF), static_cast<uint8_t>(after >> 8)}}});
  EXPECT_EQ(board.leds(), 0x0008);
}

TEST_F(I2cDevices, LedWritesChangeOnlyTheLedBits) {
  uint16_t before = board.expander1().reg(kOutputReg);
  uint16_t pattern = 0;
  inKernel([&] {
    i2cWriteWordLED(0xFFFF, 0xFFFF);
    pattern = i2cGetCurrentLEDPattern();
  });
  EXPECT_EQ(pattern, i2cLED_All);
  EXPECT_EQ(board.leds(), i2cLED_All);
  EXPECT_EQ(board.expander1().reg(kOutputReg) & ~i2cLED_All, before & ~i2cLED_All);
}

TEST_F(I2cDevices, AFailedWriteKeepsTheStoredWordSoTheSameRequestIsTriedAgain) {
  board.expander1().fail_next(1);
  int first = 0, second = -99;
  uint16_t afterFailure = 0xFFFF, afterSuccess = 0;
  inKernel([&] {
    first = i2cWriteWordLED(0x0010, 0x0010);
    afterFailure = i2cGetCurrentLEDPattern();
    second = i2cWriteWordLED(0x0010, 0x0010);
    afterSuccess = i2cGetCurrentLEDPattern();
  });
  EXPECT_LT(first, 0);
  EXPECT_EQ(afterFailure, 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(afterSuccess, 0x0010);
  EXPECT_EQ(board.leds(), 0x0010);
}

TEST_F(I2cDevices, TwoThreadsWritingDifferentBitsAtOnceKeepBothChanges) {
  // Both start together; each write takes bus time, so the second computes its word while the
  // first is on the bus.
  inst.spawn("ledA", 5, [] { i2cWriteWordLED(0x0008, 0x0008); });
  inst.spawn("ledB", 5, [] { i2cWriteWordLED(0x0010, 0x0010); });
  inst.run_for(10000);
  EXPECT_EQ(board.leds(), 0x0018);
  uint16_t pattern = 0;
  inKernel([&] { pattern = i2cGetCurrentLEDPattern(); });
  EXPECT_EQ(pattern, 0x0018);
}

TEST_F(I2cDevices, TheSignalToTheStm32FollowsActivateAndDeactivate) {
  bool afterDeactivate = true, afterActivate = false;
  inKernel([&] {
    i2cDeactivateSignalToSTM32();
    afterDeactivate = board.module_signal();
    i2cActivateSignalToSTM32();
    afterActivate = board.module_signal();
  });
  EXPECT_FALSE(afterDeactivate);
  EXPECT_TRUE(afterActivate);
  EXPECT_EQ(board.expander1().reg(kOutputReg) & kExp1SignalToStm32, kExp1SignalToStm32);
}

TEST_F(I2cDevices, ChargingFollowsItsEnableAndIsReportedFromTheStoredWord) {
  bool reported = false;
  inKernel([&] {
    i2cWriteChargeEnabled(true);
    reported = i2cGetChargeEnabled();
  });
  EXPECT_TRUE(reported);
  EXPECT_TRUE(board.charge_enabled());
  EXPECT_TRUE(board.main_power_held());
}

TEST_F(I2cDevices, TheLevelShifterRetriesAfterBusErrorsWithTheDelayBetween) {
  board.expander2().fail_next(2);
  int res = -99;
  systimer_t elapsed = 0;
  inKernel([&] {
    systimer_t start = os_systime64();
    res = i2cWriteFuelgaugeLevelShifter(true, 5, 150000);
    elapsed = os_systime64() - start;
  });
  EXPECT_EQ(res, 0);
  EXPECT_TRUE(board.level_shifter());
  EXPECT_GE(elapsed, 300000u);  // two retries, each after a sleep
  EXPECT_LT(elapsed, 450000u);
}

TEST_F(I2cDevices, ARetryingWriteGivesUpAfterItsRetriesWithTheLastError) {
  board.expander2().clear_record();
  board.expander2().fail_next(100);
  int res = 0;
  systimer_t elapsed = 0;
  inKernel([&] {
    systimer_t start = os_systime64();
    res = i2cWriteFuelgaugeLevelShifter(true, 2, 1000);
    elapsed = os_systime64() - start;
  });
  board.expander2().fail_next(0);
  EXPECT_LT(res, 0);
  EXPECT_EQ(board.expander2().messages(), 3);  // the first try and two retries
  EXPECT_GE(elapsed, 2000u);
  EXPECT_LT(elapsed, 3000u);
  EXPECT_FALSE(board.level_shifter());
}

// ---- Inputs -----------------------------------------------------------------------------------

TEST_F(I2cDevices, ButtonsReadAsTheirBitsWithNothingElse) {
  board.set_buttons(0x0006);
  board.set_usb_power(true);
  uint16_t buttons = 0;
  int res = -99;
  inKernel([&] { res = i2cReadWordButtons(&buttons); });
  EXPECT_EQ(res, 0);
  EXPECT_EQ(buttons, 0x0006);
}

TEST_F(I2cDevices, AFailedButtonReadLeavesTheCallersValue) {
  board.set_buttons(0x0002);
  board.expander1().fail_next(1);
  uint16_t buttons = 0x1234;
  int res = 0;
  inKernel([&] { res = i2cReadWordButtons(&buttons); });
  EXPECT_LT(res, 0);
  EXPECT_EQ(buttons, 0x1234);
}

TEST_F(I2cDevices, UsbPowerIsDetectedWhilePresent) {
  int without = -99, with = -99;
  inKernel([&] { without = i2cIsUSBPwrDetected(); });
  board.set_usb_power(true);
  inKernel([&] { with = i2cIsUSBPwrDetected(); });
  EXPECT_EQ(without, 0);
  EXPECT_EQ(with, 1);
}

TEST_F(I2cDevices, TheStm32SignalReadsActiveOnlyWhileItsLineIsUp) {
  int up = -99, down = -99, failed = 0;
  board.set_stm32_signal(true);
  inKernel([&] { up = i2cReadIsSignalActive_fromSTM32(); });
  board.set_stm32_signal(false);
  inKernel([&] { down = i2cReadIsSignalActive_fromSTM32(); });
  board.expander1().fail_next(1);
  inKernel([&] { failed = i2cReadIsSignalActive_fromSTM32(); });
  EXPECT_EQ(up, 1);
  EXPECT_EQ(down, 0);
  EXPECT_LT(failed, 0);
}

// ---- The "i2c" thread ---------------------------------------------------------------------------

TEST_F(I2cDevices, TheThreadLogsItsStart) {
  inKernel([] { i2cDevices_StartThreads(); });
  inst.run_for(1000);
  EXPECT_EQ(logged("starting interrupt thread"), 1);
}

TEST_F(I2cDevices, OneButtonPressIsQueuedWithItsBit) {
  startThread();
  board.set_buttons(0x0002);
  inst.run_for(10000);
  EXPECT_EQ(logged("queueing button press: 2"), 1) << inst.console();
}

TEST_F(I2cDevices, BothButtonsPressedTogetherAreQueuedAsOneMessage) {
  startThread();
  board.set_buttons(0x0006);
  inst.run_for(10000);
  EXPECT_EQ(loggedStartingWith("queueing button press: "), 1) << inst.console();
  EXPECT_EQ(logged("queueing button press: 6"), 1);
}

TEST_F(I2cDevices, ReleasingTheButtonsQueuesNothing) {
  startThread();
  board.set_buttons(0x0004);
  inst.run_for(10000);
  inst.clear_console();
  board.set_buttons(0);
  inst.run_for(10000);
  EXPECT_EQ(loggedStartingWith("queueing button press: "), 0) << inst.console();
}

TEST_F(I2cDevices, AUsbPowerChangeIsReported) {
  startThread();
  board.set_usb_power(true);
  inst.run_for(10000);
  EXPECT_EQ(logged("USB PWR changed"), 1) << inst.console();
}

TEST_F(I2cDevices, AnStm32SignalWithNoTransactionWaitingIsAPoke) {
  startThread();
  board.stm32().poke();
  inst.run_for(10000);
  EXPECT_EQ(logged("POKED by the STM32"), 1) << inst.console();
}

TEST_F(I2cDevices, AnStm32SignalDuringATransactionReleasesItAndIsNotAPoke) {
  startThread();
  errorCodes res = ERRORCODE_GENERIC;
  systimer_t elapsed = 0;
  ASSERT_TRUE(onFirmwareThread([&] {
    CameraGetSetModeMessage msg;
    std::memset(&msg, 0, sizeof msg);
    systimer_t start = os_systime64();
    res = stmsgTxRx_debugPrint(&msg, sizeof msg, CMD_getMode, &msg, sizeof msg, 3000);
    elapsed = os_systime64() - start;
  }));
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  EXPECT_EQ(board.stm32().count(CMD_getMode), 1);
  EXPECT_EQ(logged("POKED by the STM32"), 0) << inst.console();
  // Released by the thread at the STM32's edge, not found by the exchange's own 25 ms polling.
  EXPECT_LT(elapsed, 20000u);
}

TEST_F(I2cDevices, AFailedReadOfTheStm32LineIsNotTakenForASignal) {
  startThread();
  board.set_stm32_signal(true);
  inst.run_for(10000);
  inst.clear_console();
  // The line falls; the thread's status read succeeds and the read of the line that follows it
  // fails (each transfer of a register read spends 113 µs on the bus first).
  uint64_t t = camhost::time_now() + 1000;
  camhost::at(t, [this] { board.set_stm32_signal(false); });
  camhost::at(t + 150, [this] { board.expander1().fail_next(1); });
  inst.run_for(10000);
  EXPECT_EQ(logged("POKED by the STM32"), 0) << inst.console();
}

TEST_F(I2cDevices, APowerSwitchThatBouncesBackWithinTheWindowLogsTheOffToOnError) {
  startThread();
  int bootsBefore = inst.boots();
  board.set_power_switch_off(true);
  inst.run_for(10000);
  board.set_power_switch_off(false);
  inst.run_for(400000);
  EXPECT_GE(logged("ERROR!! we shouldn't see the power go OFF->ON"), 1) << inst.console();
  EXPECT_EQ(logged("POWERING DOWN!!"), 0);
  EXPECT_EQ(board.stm32().count(CMD_setPowerDown), 0);
  EXPECT_TRUE(board.main_power_held());
  EXPECT_EQ(inst.boots(), bootsBefore);
}

TEST_F(I2cDevices, APowerSwitchHeldOffPowersDownThroughTheStm32AndResets) {
  startThread();
  int bootsBefore = inst.boots();
  board.set_power_switch_off(true);
  inst.run_for(100000);
  EXPECT_EQ(logged("POWERING DOWN!!"), 1) << inst.console();
  EXPECT_TRUE(sysstateSystemState & sysstate_PoweringDown);
  ASSERT_TRUE(inst.run_until([&] { return board.stm32().count(CMD_setPowerDown) == 1; }, 1000000));
  EXPECT_TRUE(board.stm32().power_down_requested());
  std::vector<sim::Stm32::Request> requests = board.stm32().requests();
  const sim::Stm32::Request& r = requests.back();
  ASSERT_EQ(r.message.size(), 16u);
  uint32_t delayMs = r.message[12] | r.message[13] << 8 | r.message[14] << 16 |
                     static_cast<uint32_t>(r.message[15]) << 24;
  EXPECT_EQ(delayMs, 3000u);

  // The power hold goes once the STM32 has answered, and the module resets 3 s later.
  ASSERT_TRUE(inst.run_until([&] { return !board.main_power_held(); }, 1000000));
  EXPECT_EQ(inst.boots(), bootsBefore);
  inst.run_for(2900000);
  EXPECT_EQ(inst.boots(), bootsBefore);
  inst.run_for(200000);
  EXPECT_EQ(inst.boots(), bootsBefore + 1);
  EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
  EXPECT_EQ(logged("ERROR!! ST did not respond before dropping power override"), 0);
}

TEST_F(I2cDevices, ThePowerDownMessageIsSentWithTheThreadMarkedAsTheSender) {
  startThread();
  std::atomic<bool> seenDuring{false}, stop{false};
  bool before = true;
  inKernel([&] { before = i2cThreadNeedsToSendSTMessage(); });
  inst.spawn("watch", 6, [&] {
    while (!stop) {
      if (board.stm32().count(CMD_setPowerDown) > 0 && i2cThreadNeedsToSendSTMessage()) {
        seenDuring = true;
      }
      os_sleep_us(100, OS_TIMEOUT_NO_WAKEUP);
    }
  });
  board.set_power_switch_off(true);
  inst.run_until([&] { return !board.main_power_held(); }, 10000000);
  bool after = true;
  inKernel([&] { after = i2cThreadNeedsToSendSTMessage(); });
  stop = true;
  inst.run_for(1000);
  EXPECT_FALSE(before);
  EXPECT_TRUE(seenDuring);
  EXPECT_FALSE(after);
}

TEST_F(I2cDevices, ASilentStm32StillGetsThePowerDroppedAndTheModuleReset) {
  startThread();
  int bootsBefore = inst.boots();
  board.stm32().set_fault(sim::Stm32Fault::kSilent);
  board.set_power_switch_off(true);
  ASSERT_TRUE(inst.run_until([&] { return !board.main_power_held(); }, 30000000));
  EXPECT_EQ(logged("ERROR!! ST did not respond before dropping power override"), 1)
      << inst.console();
  ASSERT_TRUE(inst.run_until([&] { return inst.boots() == bootsBefore + 1; }, 4000000));
}

// ---- Button debounce --------------------------------------------------------------------------

class I2cButtons : public I2cDevices {
 protected:
  // Presses `buttons` and reads them once, as the "i2c" thread does when it reports the press:
  // the expander latches a button's change until its port is read.
  void press(uint16_t buttons) {
    board.set_buttons(buttons);
    inKernel([] {
      uint16_t b;
      i2cReadWordButtons(&b);
    });
  }
};

TEST_F(I2cButtons, NoButtonsIsNeverHeld) {
  bool held = true;
  systimer_t elapsed = 1;
  inKernel([&] {
    systimer_t limit = 100000;
    systimer_t start = os_systime64();
    held = debounce(0, &limit);
    elapsed = os_systime64() - start;
  });
  EXPECT_FALSE(held);
  EXPECT_EQ(elapsed, 0u);
}

TEST_F(I2cButtons, AButtonReleasedAfter19msIsABounceFoundAtTheFirstCheck) {
  press(0x0002);
  bool held = true;
  systimer_t elapsed = 0;
  inKernel([&] {
    camhost::at(camhost::time_now() + 19000, [this] { board.set_buttons(0); });
    systimer_t limit = 1000000;
    systimer_t start = os_systime64();
    held = debounce(0x0002, &limit);
    elapsed = os_systime64() - start;
  });
  EXPECT_FALSE(held);
  EXPECT_GE(elapsed, 20000u);
  EXPECT_LT(elapsed, 30000u);  // no second check
  EXPECT_EQ(loggedStartingWith("buttonReleasedEarly: "), 0);
}

TEST_F(I2cButtons, AButtonHeldPastTheLimitCountsAsHeldBeforeItIsReleased) {
  press(0x0004);
  bool held = false;
  systimer_t elapsed = 0;
  inKernel([&] {
    systimer_t limit = 100000;
    systimer_t start = os_systime64();
    held = debounce(0x0004, &limit);
    elapsed = os_systime64() - start;
  });
  EXPECT_TRUE(held);
  EXPECT_GT(elapsed, 100000u);
  EXPECT_LT(elapsed, 115000u);
}

TEST_F(I2cButtons, AButtonReleasedBeforeTheLimitIsReportedEarly) {
  press(0x0002);
  bool held = true;
  inKernel([&] {
    camhost::at(camhost::time_now() + 55000, [this] { board.set_buttons(0); });
    systimer_t limit = 1000000;
    held = debounce(0x0002, &limit);
  });
  EXPECT_FALSE(held);
  ASSERT_EQ(loggedStartingWith("buttonReleasedEarly: true; elapsed: "), 1) << inst.console();
  EXPECT_EQ(loggedStartingWith("buttonReleasedEarly: "), 1);
  std::string line;
  for (const std::string& m : messages())
    if (m.rfind("buttonReleasedEarly", 0) == 0) line = m;
  EXPECT_NE(line.find("; limit: 1000000"), std::string::npos) << line;
}

TEST_F(I2cButtons, ASecondButtonJoiningCountsAsAChange) {
  press(0x0002);
  bool held = true;
  inKernel([&] {
    camhost::at(camhost::time_now() + 45000, [this] { board.set_buttons(0x0006); });
    systimer_t limit = 1000000;
    held = debounce(0x0002, &limit);
  });
  EXPECT_FALSE(held);
}

TEST_F(I2cButtons, WaitingForReleaseReturnsOnceTheButtonsAreUp) {
  press(0x0006);
  systimer_t elapsed = 0;
  inKernel([&] {
    camhost::at(camhost::time_now() + 95000, [this] { board.set_buttons(0x0000); });
    systimer_t start = os_systime64();
    waitForButtonRelease(0x0006);
    elapsed = os_systime64() - start;
  });
  EXPECT_GE(elapsed, 95000u);
  EXPECT_LT(elapsed, 110000u);
}

TEST_F(I2cButtons, WaitingForReleaseIgnoresButtonsItWasNotGiven) {
  press(0x0006);
  systimer_t elapsed = 0;
  inKernel([&] {
    camhost::at(camhost::time_now() + 45000, [this] { board.set_buttons(0x0004); });
    systimer_t start = os_systime64();
    waitForButtonRelease(0x0002);
    elapsed = os_systime64() - start;
  });
  EXPECT_GE(elapsed, 45000u);
  EXPECT_LT(elapsed, 60000u);
}

}  // namespace
