// The I2C devices against the simulated board: expander set-up, outputs, inputs, the "i2c" thread
// and the button debounce.
#include "i2cDevices/i2cDevices.h"

#include <cstring>
#include <functional>
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

using sim::Pcal6416a;

class I2cDevices : public OnBoard {
 protected:
  void SetUp() override {
    inKernel([] {
      stmsgSTM32Message_Init();
      sysstateSystemState_Init();
      i2cDevices_Init();
    });
  }

  // Starts the "i2c" thread and lowers the signal line that the set-up leaves raised, so that the
  // next transaction makes a fresh edge.
  void startThread() {
    inKernel([] {
      i2cDevices_StartThreads();
      i2cDeactivateSignalToSTM32();
    });
    inst.run_for(100000);
    inst.clear_console();
  }
  int call(const std::function<int()>& fn) {
    int res = -99;
    inKernel([&] { res = fn(); });
    return res;
  }
};

void expectWrites(const std::vector<Pcal6416a::Write>& got,
                  const std::vector<Pcal6416a::Write>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].reg, want[i].reg) << "write " << i;
    EXPECT_EQ(got[i].data, want[i].data) << "write " << i;
  }
}

// ---- Set-up and outputs -------------------------------------------------------------------------

TEST_F(I2cDevices, EachExpanderGetsExactlyTheStartUpWritesInOrder) {
  expectWrites(board.expander1().writes(),
               {{0x02, {0x27, 0x81}}, {0x06, {0x26, 0x81}}, {0x44, {0x26, 0x81}},
                {0x04, {0x06, 0x00}}, {0x4A, {0xD9, 0x7F}}});
  expectWrites(board.expander2().writes(),
               {{0x02, {0xDF, 0xFD}}, {0x06, {0x9F, 0xFD}}, {0x44, {0x00, 0x00}},
                {0x04, {0x08, 0x00}}, {0x4A, {0xF7, 0xFF}}});
}

TEST_F(I2cDevices, SetUpHoldsTheCameraPowerAndLeavesChargingAndTheLevelShifterOff) {
  EXPECT_TRUE(board.main_power_held());
  EXPECT_FALSE(board.charge_enabled());
  EXPECT_FALSE(board.level_shifter());
  EXPECT_EQ(call([] { return i2cGetChargeEnabled(); }), 0);
}

TEST_F(I2cDevices, ASecondSetUpDoesNotTouchTheExpandersAgain) {
  board.expander1().clear_record();
  board.expander2().clear_record();
  inKernel([] { i2cDevices_Init(); });
  EXPECT_EQ(board.expander1().messages() + board.expander2().messages(), 0);
}

TEST_F(I2cDevices, EachOutputIsOneWriteOfTheWholeRegisterChangingOnlyItsOwnBits) {
  struct Case { const char* name; Pcal6416a& expander; uint16_t mask, want;
                std::function<int()> write; std::function<bool()> pinFollows; };
  const Case cases[] = {
      {"signal", board.expander1(), 0x0001, 0, [] { return i2cDeactivateSignalToSTM32(); },
       [this] { return !board.module_signal(); }},
      {"LEDs", board.expander1(), i2cLED_All, i2cLED_All,
       [] { return i2cWriteWordLED(0xFFFF, 0xFFFF); },
       [this] { return board.leds() == i2cLED_All; }},
      {"charging", board.expander2(), 0x0020, 0x0020, [] { return i2cWriteChargeEnabled(true); },
       [this] { return board.charge_enabled() && i2cGetChargeEnabled(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint16_t before = c.expander.reg(Pcal6416a::kOutput);
    c.expander.clear_record();
    EXPECT_EQ(call(c.write), 0);
    uint16_t after = static_cast<uint16_t>((before & ~c.mask) | c.want);
    expectWrites(c.expander.writes(), {{0x02, {uint8_t(after & 0xFF), uint8_t(after >> 8)}}});
    bool follows = false;
    inKernel([&] { follows = c.pinFollows(); });
    EXPECT_TRUE(follows);
  }
  EXPECT_TRUE(board.main_power_held());
}

TEST_F(I2cDevices, AnOutputWriteEqualToTheCurrentOutputsCausesNoBusTraffic) {
  board.expander1().clear_record();
  EXPECT_EQ(call([] { return i2cWriteWordLED(i2cLED_All, 0); }), 0);  // the LEDs are off already
  EXPECT_EQ(board.expander1().messages(), 0);
}

TEST_F(I2cDevices, AFailedWriteKeepsTheStoredWordSoTheSameRequestIsTriedAgain) {
  board.expander1().fail_next(1);
  EXPECT_LT(call([] { return i2cWriteWordLED(0x0010, 0x0010); }), 0);
  EXPECT_EQ(call([] { return i2cGetCurrentLEDPattern(); }), 0);
  EXPECT_EQ(call([] { return i2cWriteWordLED(0x0010, 0x0010); }), 0);
  EXPECT_EQ(call([] { return i2cGetCurrentLEDPattern(); }), 0x0010);
  EXPECT_EQ(board.leds(), 0x0010);
}

TEST_F(I2cDevices, TwoThreadsWritingDifferentBitsAtOnceKeepBothChanges) {
  // Each write takes bus time, so the second computes its word while the first is on the bus.
  inst.spawn("ledA", 5, [] { i2cWriteWordLED(0x0008, 0x0008); });
  inst.spawn("ledB", 5, [] { i2cWriteWordLED(0x0010, 0x0010); });
  inst.run_for(10000);
  EXPECT_EQ(board.leds(), 0x0018);
  EXPECT_EQ(call([] { return i2cGetCurrentLEDPattern(); }), 0x0018);
}

TEST_F(I2cDevices, ARetryingWriteRetriesAfterItsDelayAndGivesUpWithTheLastError) {
  struct Case { int failures; uint32_t retries, delayUs; bool ok; int messages; uint64_t minUs; };
  const Case cases[] = {{100, 2, 1000, false, 3, 2000}, {2, 5, 150000, true, 3, 300000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures);
    board.expander2().clear_record();
    board.expander2().fail_next(c.failures);
    uint64_t start = inst.now();
    int res = call([&] { return i2cWriteFuelgaugeLevelShifter(true, c.retries, c.delayUs); });
    uint64_t elapsed = inst.now() - start;
    board.expander2().fail_next(0);
    EXPECT_EQ(res == 0, c.ok) << res;
    EXPECT_EQ(board.expander2().messages(), c.messages);
    EXPECT_EQ(board.level_shifter(), c.ok);
    EXPECT_GE(elapsed, c.minUs);
    EXPECT_LT(elapsed, c.minUs + c.delayUs);
  }
}

// ---- Inputs -------------------------------------------------------------------------------------

TEST_F(I2cDevices, AButtonReadGivesOnlyTheButtonBitsAndLeavesTheValueOnAnError) {
  board.set_buttons(0x0006);
  board.set_usb_power(true);
  uint16_t buttons = 0;
  EXPECT_EQ(call([&] { return i2cReadWordButtons(&buttons); }), 0);
  EXPECT_EQ(buttons, 0x0006);
  board.expander1().fail_next(1);
  buttons = 0x1234;
  EXPECT_LT(call([&] { return i2cReadWordButtons(&buttons); }), 0);
  EXPECT_EQ(buttons, 0x1234);
}

TEST_F(I2cDevices, AnInputBitReadsOneWhileUpZeroWhileDownAndTheErrorOnAFailedRead) {
  struct Case { const char* name; std::function<void(bool)> set; std::function<int()> read; };
  const Case cases[] = {
      {"USB power", [this](bool on) { board.set_usb_power(on); },
       [] { return i2cIsUSBPwrDetected(); }},
      {"STM32 signal", [this](bool on) { board.set_stm32_signal(on); },
       [] { return i2cReadIsSignalActive_fromSTM32(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.set(true);
    EXPECT_EQ(call(c.read), 1);
    c.set(false);
    EXPECT_EQ(call(c.read), 0);
    board.expander1().fail_next(1);
    EXPECT_LT(call(c.read), 0);
  }
}

// ---- The "i2c" thread ---------------------------------------------------------------------------

TEST_F(I2cDevices, APressIsQueuedOnceWithItsBitsAndAReleaseQueuesNothing) {
  startThread();
  for (uint16_t buttons : {0x0002, 0x0006}) {
    SCOPED_TRACE(buttons);
    inst.clear_console();
    board.set_buttons(buttons);
    inst.run_for(10000);
    board.set_buttons(0);
    inst.run_for(10000);
    EXPECT_EQ(loggedStartingWith("queueing button press: "), 1) << inst.console();
    EXPECT_EQ(logged("queueing button press: " + std::to_string(buttons)), 1);
  }
}

TEST_F(I2cDevices, AUsbPowerChangeAndAnStm32SignalWithNoTransactionWaitingAreEachReportedOnce) {
  startThread();
  board.set_usb_power(true);
  inst.run_for(10000);
  board.stm32().poke();
  inst.run_for(10000);
  EXPECT_EQ(logged("USB PWR changed"), 1) << inst.console();
  EXPECT_EQ(logged("POKED by the STM32"), 1);
}

TEST_F(I2cDevices, AnStm32SignalDuringATransactionReleasesItAndIsNotAPoke) {
  startThread();
  errorCodes res = ERRORCODE_GENERIC;
  uint64_t start = inst.now();
  ASSERT_TRUE(onFirmwareThread([&] {
    CameraGetSetModeMessage msg;
    std::memset(&msg, 0, sizeof msg);
    res = stmsgTxRx_debugPrint(&msg, sizeof msg, CMD_getMode, &msg, sizeof msg, 3000);
  }));
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  EXPECT_EQ(board.stm32().count(CMD_getMode), 1);
  EXPECT_EQ(logged("POKED by the STM32"), 0) << inst.console();
  // Released by the thread at the STM32's edge, not found by the exchange's own 25 ms polling.
  EXPECT_LT(inst.now() - start, 20000u);
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
  std::vector<uint8_t> m = board.stm32().requests().back().message;
  ASSERT_EQ(m.size(), 16u);
  EXPECT_EQ(m[12] | m[13] << 8 | m[14] << 16 | m[15] << 24, 3000);  // ms before the reboot

  // The power hold goes once the STM32 has answered, and the module resets 3 s later.
  ASSERT_TRUE(inst.run_until([&] { return !board.main_power_held(); }, 1000000));
  inst.run_for(2900000);
  EXPECT_EQ(inst.boots(), bootsBefore);
  inst.run_for(200000);
  EXPECT_EQ(inst.boots(), bootsBefore + 1);
  EXPECT_EQ(inst.reset_reason(), OS_RESET_SOFTWARE);
  EXPECT_EQ(logged("ERROR!! ST did not respond before dropping power override"), 0);
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

// ---- Button debounce ----------------------------------------------------------------------------

using I2cButtons = I2cDevices;

// Each press changes to `then` after `changeUs` (never when 0) and is given `limitUs` to count as
// held; the first look comes 20 ms in, later ones every 10 ms.
TEST_F(I2cButtons, DebounceTellsAHeldPressFromABounceAnEarlyReleaseAndAChange) {
  struct Case { const char* name; uint16_t pressed, then; uint64_t changeUs, limitUs; bool held;
                uint64_t minUs, maxUs; int earlyLines; };
  const Case cases[] = {
      {"no buttons", 0, 0, 0, 100000, false, 0, 1, 0},
      {"released at 19 ms", 0x0002, 0, 19000, 1000000, false, 20000, 30000, 0},
      {"held past the limit", 0x0004, 0, 0, 100000, true, 100001, 115000, 0},
      {"released before the limit", 0x0002, 0, 55000, 1000000, false, 55000, 70000, 1},
      {"a second button joins", 0x0002, 0x0006, 45000, 1000000, false, 45000, 60000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inst.clear_console();
    board.set_buttons(c.pressed);
    bool held = !c.held;
    uint64_t elapsed = 0;
    inKernel([&] {
      uint16_t b;
      i2cReadWordButtons(&b);  // the expander latches a change until its port is read
      uint64_t change = camhost::time_now() + c.changeUs;
      if (c.changeUs) camhost::at(change, [&] { board.set_buttons(c.then); });
      systimer_t limit = c.limitUs, start = os_systime64();
      held = debounce(c.pressed, &limit);
      elapsed = os_systime64() - start;
    });
    EXPECT_EQ(held, c.held);
    EXPECT_GE(elapsed, c.minUs);
    EXPECT_LT(elapsed, c.maxUs);
    EXPECT_EQ(loggedStartingWith("buttonReleasedEarly: true; elapsed: "), c.earlyLines);
  }
}

TEST_F(I2cButtons, WaitingForReleaseReturnsOnceTheGivenButtonsAreUp) {
  struct Case { uint16_t waitFor, then; };
  for (const Case& c : {Case{0x0006, 0x0000}, Case{0x0002, 0x0004}}) {
    SCOPED_TRACE(c.waitFor);
    board.set_buttons(0x0006);
    uint64_t elapsed = 0;
    inKernel([&] {
      uint16_t b;
      i2cReadWordButtons(&b);
      camhost::at(camhost::time_now() + 45000, [&] { board.set_buttons(c.then); });
      systimer_t start = os_systime64();
      waitForButtonRelease(c.waitFor);
      elapsed = os_systime64() - start;
    });
    EXPECT_GE(elapsed, 45000u);
    EXPECT_LT(elapsed, 60000u);
  }
}

}  // namespace
