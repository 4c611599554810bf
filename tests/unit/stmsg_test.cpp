// The STM32 link: whole transactions against the simulated board, in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camhost/bus.h"
#include "i2cDevices/i2cDevices.h"
#include "sim/board.h"
#include "slipSLIPUtilities/slipSLIPUtilities.h"
#include "statStatus/statStatus.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "unit/host_fixture.h"

namespace {

const uint64_t kMs = 1000, kSec = 1000000;
const unsigned kNotAvailable = 4294967295u;

class StmsgTest : public OnKernel {
 protected:
  virtual sim::BoardConfig boardConfig() { return sim::BoardConfig(); }

  void SetUp() override {
    board = std::make_unique<sim::Board>(boardConfig());
    ASSERT_TRUE(inst.call([] {
      i2cDevices_Init();
      stmsgSTM32Message_Init();
      statMarkStatusBits(KAStatus_STNotResponding, 0);
      // The expander set-up leaves our line raised; start from the idle state that every
      // transaction leaves behind.
      i2cDeactivateSignalToSTM32();
    }));
    inst.run_for(100 * kMs);
    // The expander latches the STM32's answer to that edge until its input is read, as the
    // I2C thread (not running here) would.
    ASSERT_TRUE(inst.call([] {
      i2cReadIsSignalActive_fromSTM32();
      EXPECT_EQ(i2cReadIsSignalActive_fromSTM32(), 0);
    }));
    board->expander1().clear_record();
    board->stm32().clear_record();
    inst.clear_console();
  }

  sim::Stm32& stm32() { return board->stm32(); }

  // One transaction on a fresh kernel thread; the time it took in *elapsedUs.
  errorCodes txrx(void* msg, unsigned msgSize, uint16_t command, unsigned responseSize,
                  unsigned timeout, bool debugPrint = true, uint64_t* elapsedUs = nullptr) {
    errorCodes res = ERRORCODE_SUCCESS;
    uint64_t start = inst.now();
    EXPECT_TRUE(inst.call([&] {
      res = debugPrint ? stmsgTxRx_debugPrint(msg, msgSize, command, msg, responseSize, timeout)
                       : stmsgTxRx_noDebugPrint(msg, msgSize, command, msg, responseSize, timeout);
    }));
    if (elapsedUs) *elapsedUs = inst.now() - start;
    return res;
  }

  errorCodes getMode(CameraGetSetModeMessage* m, unsigned timeout = 3000,
                     uint64_t* elapsedUs = nullptr) {
    memset(m, 0, sizeof *m);
    return txrx(m, sizeof *m, CMD_getMode, sizeof *m, timeout, true, elapsedUs);
  }

  int countInConsole(const std::string& text) {
    int n = 0;
    for (const std::string& l : ConsoleLines()) n += l.find(text) != std::string::npos;
    return n;
  }
  // The first console line holding `text`, or "".
  std::string lineWith(const std::string& text) {
    for (const std::string& l : ConsoleLines()) {
      if (l.find(text) != std::string::npos) return l;
    }
    return "";
  }
  // Safe from any kernel thread.
  bool ConsoleLinesHave(const std::string& text) {
    return inst.console().find(text) != std::string::npos;
  }
  // Whether the module ever drove its signal line to the STM32 high.
  bool signalEverRaised() {
    for (const auto& w : board->expander1().writes()) {
      if (w.reg == sim::Pcal6416a::kOutput && !w.data.empty() && (w.data[0] & 1)) return true;
    }
    return false;
  }
  // A SLIP frame of a getMode answer.
  static std::vector<uint8_t> modeAnswerFrame(uint32_t signature, int32_t mode) {
    CameraGetSetModeMessage m = {};
    m.header.length = sizeof m;
    m.header.command = CMD_getMode;
    m.header.commandSignature = signature;
    m.mode = mode;
    std::vector<uint8_t> frame(64);
    int n =
        slipEncode(reinterpret_cast<uint8_t*>(&m), sizeof m, frame.data(), (uint16_t)frame.size());
    frame.resize(n > 0 ? n : 0);
    return frame;
  }

  void TearDown() override {
    if (getenv("STMSG_DUMP") && HasFailure()) fprintf(stderr, "%s", inst.console().c_str());
  }
  std::unique_ptr<sim::Board> board;
};

// ---- A transaction ------------------------------------------------------------------------------

using StmsgTransaction = StmsgTest;

TEST_F(StmsgTransaction, AGetReturnsSuccessAndTheSTM32sAnswerInTheResponseBuffer) {
  stm32().set_mode(3);  // USB
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(m.mode, 3);
  EXPECT_EQ(m.header.result, 0);
}

TEST_F(StmsgTransaction, TheRequestCarriesItsLengthCommandASignatureAndAZeroResult) {
  CameraGetSetModeMessage m;
  memset(&m, 0xEE, sizeof m);
  ASSERT_EQ(txrx(&m, sizeof m, CMD_getMode, sizeof m, 3000), ERRORCODE_SUCCESS);
  auto reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].length, 16);
  EXPECT_EQ(reqs[0].command, CMD_getMode);
  ASSERT_EQ(reqs[0].message.size(), 16u);
  int32_t result;
  memcpy(&result, &reqs[0].message[8], 4);
  EXPECT_EQ(result, 0);
}

TEST_F(StmsgTransaction, EachRequestCarriesTheNextSignature) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  auto reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1].signature, reqs[0].signature + 1);
}

TEST_F(StmsgTransaction, TheAnswerCarriesTheSignatureOfItsRequest) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(m.header.commandSignature, stm32().requests().at(0).signature);
}

TEST_F(StmsgTransaction, ASetIsSentWithItsBody) {
  CameraGetSetModeMessageWithReason m = {};
  m.mode = 1;
  m.reason = 2;
  ASSERT_EQ(txrx(&m, sizeof m, CMD_setModeWithReason, sizeof m, 3000), ERRORCODE_SUCCESS);
  auto reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].command, CMD_setModeWithReason);
  EXPECT_EQ(reqs[0].length, 20);
  CameraGetSetModeMessageWithReason sent;
  ASSERT_EQ(reqs[0].message.size(), sizeof sent);
  memcpy(&sent, reqs[0].message.data(), sizeof sent);
  EXPECT_EQ(sent.mode, 1);
  EXPECT_EQ(sent.reason, 2u);
}

TEST_F(StmsgTransaction, NoMessageSendsABareTwelveByteHeader) {
  CameraClearSpi_Message resp;
  errorCodes res = ERRORCODE_GENERIC;
  ASSERT_TRUE(inst.call(
      [&] { res = stmsgTxRx_debugPrint(nullptr, 0, CMD_ClearSpi, &resp, sizeof resp, 10000); }));
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  auto reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].length, 12);
  EXPECT_EQ(reqs[0].command, CMD_ClearSpi);
}

TEST_F(StmsgTransaction, TheSignalLineIsLowAndTheUARTClosedAfterwards) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_TRUE(signalEverRaised());
  EXPECT_FALSE(board->module_signal());
  EXPECT_FALSE(camhost::uart_module_is_open());
}

TEST_F(StmsgTransaction, TheUARTIsOpenOnlyWhileATransactionRuns) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  EXPECT_FALSE(camhost::uart_module_is_open());
  std::atomic<bool> openDuring{false};
  camhost::at(inst.now() + 1 * kSec, [&] { openDuring = camhost::uart_module_is_open(); });
  CameraGetSetModeMessage m;
  getMode(&m);
  EXPECT_TRUE(openDuring);
  EXPECT_FALSE(camhost::uart_module_is_open());
}

TEST_F(StmsgTransaction, ARequestTooLargeToFrameIsNotSentAndTheSignalIsLoweredAgain) {
  std::vector<uint8_t> big(3000, 0);
  errorCodes res = ERRORCODE_SUCCESS;
  ASSERT_TRUE(inst.call([&] {
    res = stmsgTxRx_debugPrint(big.data(), (unsigned)big.size(), CMD_rootFileWrite, big.data(),
                               (unsigned)big.size(), 4000);
  }));
  EXPECT_EQ(res, ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole(": Failed to encode SLIP message; internal buffer len 3000 too small?"),
            1);
  EXPECT_EQ(countInConsole(":   FREEZE -- Failed to send GET cmd 34 to STM32; STMSGRES: -110"), 1);
  EXPECT_TRUE(stm32().requests().empty());
  EXPECT_FALSE(board->module_signal());
  EXPECT_NE(lineWith("id/len/sig").find("ERROR!! id/len/sig tx:+34/3000/"), std::string::npos);
}

// ---- The result line ----------------------------------------------------------------------------

using StmsgResultLine = StmsgTest;

TEST_F(StmsgResultLine, AGetIsLoggedWithPlusSignsAndTheAnswersHeader) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  unsigned sig = stm32().requests().at(0).signature;
  std::string line = lineWith("id/len/sig tx:");
  EXPECT_NE(line.find(": id/len/sig tx:+2/16/" + std::to_string(sig) + " "), std::string::npos)
      << line;
  EXPECT_NE(line.find("ms rx:+2/16/" + std::to_string(sig)), std::string::npos) << line;
}

TEST_F(StmsgResultLine, AGetAnswerHasBit7OfItsCommandCleared) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(m.header.command, 2);
}

TEST_F(StmsgResultLine, ASetIsLoggedWithoutPlusSigns) {
  CameraGetSetModeMessageWithReason m = {};
  ASSERT_EQ(txrx(&m, sizeof m, CMD_setModeWithReason, sizeof m, 3000), ERRORCODE_SUCCESS);
  unsigned sig = stm32().requests().at(0).signature;
  std::string line = lineWith("id/len/sig tx:");
  EXPECT_NE(line.find(": id/len/sig tx:48/20/" + std::to_string(sig) + " "), std::string::npos)
      << line;
  EXPECT_NE(line.find("ms rx:48/20/" + std::to_string(sig)), std::string::npos) << line;
}

TEST_F(StmsgResultLine, TheQuietFormLogsNoResultLine) {
  CameraGetSetModeMessage m = {};
  EXPECT_EQ(txrx(&m, sizeof m, CMD_getMode, sizeof m, 3000, false), ERRORCODE_SUCCESS);
  EXPECT_EQ(countInConsole("id/len/sig"), 0);
}

TEST_F(StmsgResultLine, AFailureIsPrefixedAndShowsNoAnswerFields) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  std::string line = lineWith("id/len/sig tx:");
  EXPECT_NE(line.find(": ERROR!! id/len/sig tx:+2/16/"), std::string::npos) << line;
  EXPECT_NE(line.find("rx:+4294967295/4294967295/4294967295"), std::string::npos) << line;
}

TEST_F(StmsgResultLine, ATransactionThatSentNothingShowsNoElapsedTime) {
  stm32().set_fault(sim::Stm32Fault::kSilent, -1);
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_NE(lineWith("id/len/sig tx:").find(" 4294967295ms rx:"), std::string::npos);
}

// ---- Argument checks ----------------------------------------------------------------------------

class StmsgArguments : public StmsgTest {
 protected:
  // The call's result; nothing may reach the STM32 or its signal line.
  errorCodes callWith(void* msg, unsigned msgSize, void* resp, unsigned respSize, unsigned tmo) {
    errorCodes res = ERRORCODE_SUCCESS;
    EXPECT_TRUE(inst.call(
        [&] { res = stmsgTxRx_debugPrint(msg, msgSize, CMD_getMode, resp, respSize, tmo); }));
    EXPECT_TRUE(stm32().requests().empty());
    EXPECT_FALSE(signalEverRaised());
    EXPECT_EQ(countInConsole("id/len/sig"), 0);
    return res;
  }
  CameraGetSetModeMessage m = {};
};

TEST_F(StmsgArguments, ABodyOfSizeZeroIsRefused) {
  EXPECT_EQ(callWith(&m, 0, &m, sizeof m, 3000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole("stmsgTxRx() @"), 1);
  EXPECT_EQ(countInConsole(": msgSize is 0"), 1);
}

TEST_F(StmsgArguments, AMissingResponseBufferIsRefused) {
  EXPECT_EQ(callWith(&m, sizeof m, nullptr, sizeof m, 3000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole(": responseMsg pointer is NULL"), 1);
}

TEST_F(StmsgArguments, AResponseBufferOfSizeZeroIsRefused) {
  EXPECT_EQ(callWith(&m, sizeof m, &m, 0, 3000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole(": responseMsgSize is 0"), 1);
}

TEST_F(StmsgArguments, ATimeoutOfZeroIsRefused) {
  EXPECT_EQ(callWith(&m, sizeof m, &m, sizeof m, 0), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole(": timeout is 0"), 1);
}

TEST_F(StmsgArguments, ARequestShorterThanAHeaderIsRefusedWithoutWritingPastIt) {
  uint8_t buf[20];
  memset(buf, 0xA5, sizeof buf);
  EXPECT_EQ(callWith(buf, 6, &m, sizeof m, 3000), ERRORCODE_TEMPORARY_ERROR);
  for (uint8_t b : buf) EXPECT_EQ(b, 0xA5);
  EXPECT_EQ(countInConsole(": msgSize 6 is smaller than a message header"), 1);
}

TEST_F(StmsgArguments, AResponseBufferShorterThanAHeaderIsRefusedWithoutTouchingIt) {
  uint8_t resp[20];
  memset(resp, 0xA5, sizeof resp);
  EXPECT_EQ(callWith(&m, sizeof m, resp, 8, 3000), ERRORCODE_TEMPORARY_ERROR);
  for (uint8_t b : resp) EXPECT_EQ(b, 0xA5);
  EXPECT_EQ(countInConsole(": responseMsgSize 8 is smaller than a message header"), 1);
}

TEST_F(StmsgArguments, ARefusedCallLeavesTheLinkUsable) {
  callWith(&m, 0, &m, sizeof m, 3000);
  CameraGetSetModeMessage ok;
  EXPECT_EQ(getMode(&ok), ERRORCODE_SUCCESS);
}

// ---- Wake-up handshake --------------------------------------------------------------------------

using StmsgHandshake = StmsgTest;

TEST_F(StmsgHandshake, AnSTM32ThatNeverAnswersIsGivenUpAfterFourEdgesOfOneAndAHalfSeconds) {
  stm32().set_fault(sim::Stm32Fault::kSilent, -1);
  CameraGetSetModeMessage m;
  uint64_t elapsed = 0;
  EXPECT_EQ(getMode(&m, 3000, &elapsed), ERRORCODE_TEMPORARY_ERROR);
  // The first edge and three fresh ones; after the fourth attempt only a last read follows.
  EXPECT_EQ(countInConsole("(BLE-NQ) log: \"Generating new edge for ST to wake up 82\""), 3);
  EXPECT_EQ(stm32().answer_edges().size(), 0u);
  EXPECT_EQ(countInConsole("(BLE-NQ) log: \"ST->INNO wasn't active before timeout 82\""), 1);
  EXPECT_GE(elapsed, 6 * kSec);
  EXPECT_LT(elapsed, 6 * kSec + 200 * kMs);
}

TEST_F(StmsgHandshake, AGivenUpHandshakeSendsNothingAndLowersTheSignal) {
  stm32().set_fault(sim::Stm32Fault::kSilent, -1);
  CameraGetSetModeMessage m;
  getMode(&m);
  EXPECT_TRUE(stm32().requests().empty());
  EXPECT_FALSE(board->module_signal());
  EXPECT_FALSE(camhost::uart_module_is_open());
}

TEST_F(StmsgHandshake, AnSTM32AnsweringTheSecondEdgeGetsItsRequestAfterOneNewEdge) {
  stm32().set_fault(sim::Stm32Fault::kAnswerOnEdge2);
  CameraGetSetModeMessage m;
  uint64_t elapsed = 0;
  EXPECT_EQ(getMode(&m, 3000, &elapsed), ERRORCODE_SUCCESS);
  EXPECT_EQ(countInConsole("Generating new edge for ST to wake up 82"), 1);
  EXPECT_EQ(countInConsole("wasn't active before timeout"), 0);
  EXPECT_GE(elapsed, 1500 * kMs);
  EXPECT_LT(elapsed, 3000 * kMs);
}

TEST_F(StmsgHandshake, AnSTM32AnsweringTheThirdEdgeGetsItsRequestAfterTwoNewEdges) {
  stm32().set_fault(sim::Stm32Fault::kAnswerOnEdge3);
  CameraGetSetModeMessage m;
  uint64_t elapsed = 0;
  EXPECT_EQ(getMode(&m, 3000, &elapsed), ERRORCODE_SUCCESS);
  EXPECT_EQ(countInConsole("Generating new edge for ST to wake up 82"), 2);
  EXPECT_GE(elapsed, 3000 * kMs);
  EXPECT_LT(elapsed, 4500 * kMs);
}

TEST_F(StmsgHandshake, AReleaseWithNoTransactionInFlightIsRefused) {
  bool released = true;
  ASSERT_TRUE(inst.call([&] { released = stmsgReleaseQueuedMessage(); }));
  EXPECT_FALSE(released);
}

TEST_F(StmsgHandshake, AReleaseAfterATransactionIsRefused) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  bool released = true;
  ASSERT_TRUE(inst.call([&] { released = stmsgReleaseQueuedMessage(); }));
  EXPECT_FALSE(released);
}

// ---- Receiving ----------------------------------------------------------------------------------

using StmsgReceive = StmsgTest;

TEST_F(StmsgReceive, NoByteBackFailsWithTheCountZeroLine) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole(": Timeout waiting for response after 0 bytes"), 1);
  EXPECT_EQ(countInConsole(": Failed to receive GET cmd 2 from STM32; STMSGRES: -110"), 1);
}

TEST_F(StmsgReceive, NoByteBackMarksTheSTM32AsNotResponding) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  CameraGetSetModeMessage m;
  getMode(&m);
  EXPECT_TRUE(statGetStatus() & KAStatus_STNotResponding);
}

TEST_F(StmsgReceive, ACallerTimeoutBelowFifteenSecondsStillWaitsFifteenSeconds) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  CameraGetSetIntervalMessage m = {};
  uint64_t elapsed = 0;
  EXPECT_EQ(txrx(&m, sizeof m, CMD_getInterval, sizeof m, 2000, true, &elapsed),
            ERRORCODE_TEMPORARY_ERROR);
  EXPECT_GE(elapsed, 15 * kSec);
  EXPECT_LT(elapsed, 15 * kSec + 200 * kMs);
}

TEST_F(StmsgReceive, ACallerTimeoutAboveFifteenSecondsIsHonoured) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  getSD_Directory1_Message m = {};
  uint64_t elapsed = 0;
  EXPECT_EQ(txrx(&m, sizeof m, CMD_getSD_Directory1, sizeof m, 20000, true, &elapsed),
            ERRORCODE_TEMPORARY_ERROR);
  EXPECT_GE(elapsed, 20 * kSec);
  EXPECT_LT(elapsed, 20 * kSec + 200 * kMs);
}

TEST_F(StmsgReceive, AStaleAnswerIsSkippedAndTheRightOneTaken) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);  // so that a previous signature exists
  stm32().set_fault(sim::Stm32Fault::kStaleAnswerFirst);
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(m.header.commandSignature, stm32().requests().at(1).signature);
  EXPECT_EQ(countInConsole(": sig < expected; trying recv w/ new tmo period"), 1);
}

TEST_F(StmsgReceive, AnAnswerWithALargerSignatureFails) {
  stm32().set_fault(sim::Stm32Fault::kLargerSignature);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  unsigned sig = stm32().requests().at(0).signature;
  EXPECT_EQ(countInConsole(": ERROR!! STM32 reported command signature " + std::to_string(sig + 1) +
                           " does not match expected " + std::to_string(sig) +
                           " from msg with 16 slip-decoded bytes"),
            1);
}

TEST_F(StmsgReceive, AnErrorResultFromTheSTM32IsPassedThrough) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, ERRORCODE_ILLEGAL_PARAM_VALUE);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_ILLEGAL_PARAM_VALUE);
  EXPECT_EQ(countInConsole(": STM32 reported err result -103 from msg with 16 slip-decoded bytes"),
            1);
  EXPECT_NE(lineWith("id/len/sig").find("ERROR!! "), std::string::npos);
}

TEST_F(StmsgReceive, APositiveResultFromTheSTM32CountsAsSuccess) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, 7);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

TEST_F(StmsgReceive, AFrameThatStopsHalfwayFailsWithTheBytesCountedAndTheSTM32NotMarked) {
  stm32().set_fault(sim::Stm32Fault::kTruncatedFrame);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  std::string line = lineWith("Timeout waiting for response after ");
  ASSERT_NE(line, "");
  EXPECT_EQ(line.find("after 0 bytes"), std::string::npos) << line;
  EXPECT_FALSE(statGetStatus() & KAStatus_STNotResponding);
}

TEST_F(StmsgReceive, AFrameThatDoesNotDecodeIsReceivedAgainAfterThreeSeconds) {
  stm32().set_fault(sim::Stm32Fault::kCorruptFrame);
  std::atomic<uint64_t> resent{0};
  // Our answer, sent once the module has given up on the corrupt one.
  inst.spawn("peer", 5, [&] {
    while (!ConsoleLinesHave("tryNum left 1")) os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
    std::vector<uint8_t> f = modeAnswerFrame(stm32().requests().at(0).signature, 4);
    camhost::uart_send_to_module(f.data(), f.size());
    resent = camhost::time_now();
  });
  CameraGetSetModeMessage m;
  uint64_t start = inst.now();
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(m.mode, 4);
  EXPECT_EQ(countInConsole(
                ": Failed to decode SLIP message; provided buffer len 16 too small? tryNum left 1"),
            1);
  EXPECT_GE(inst.now() - start, 3 * kSec);
  EXPECT_GT(resent.load(), 0u);
}

TEST_F(StmsgReceive, AFrameThatDoesNotDecodeTwiceFails) {
  stm32().set_fault(sim::Stm32Fault::kCorruptFrame);
  inst.spawn("peer", 5, [&] {
    while (!ConsoleLinesHave("tryNum left 1")) os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
    // A second corrupt frame: an escape followed by a byte that is no escape code.
    const uint8_t bad[] = {SLIP_END, 0x10, SLIP_ESC, 0x01, 0x02, SLIP_END};
    camhost::uart_send_to_module(bad, sizeof bad);
  });
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole("provided buffer len 16 too small? tryNum left 2"), 1);
  EXPECT_EQ(countInConsole("Failed to receive GET cmd 2 from STM32; STMSGRES: -110"), 1);
}

TEST_F(StmsgReceive, AnAnswerThatDoesNotStartWithENDFails) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  inst.spawn("peer", 5, [&] {
    while (stm32().requests().empty()) os_sleep_us(100, OS_TIMEOUT_NO_WAKEUP);
    const uint8_t junk[] = {0x41, 0x42, SLIP_END};
    camhost::uart_send_to_module(junk, sizeof junk);
  });
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole(": First byte received is not SLIP_END"), 1);
}

TEST_F(StmsgReceive, AnAnswerLongerThanTheFrameBufferIsCutOffAndFailsSafely) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  inst.spawn("peer", 5, [&] {
    while (stm32().requests().empty()) os_sleep_us(100, OS_TIMEOUT_NO_WAKEUP);
    std::vector<uint8_t> flood(3200, 0x55);
    flood[0] = SLIP_END;
    camhost::uart_send_to_module(flood.data(), flood.size());
  });
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  // The first 3000 bytes do not decode; the rest of the flood is no frame.
  EXPECT_EQ(countInConsole("provided buffer len 16 too small? tryNum left 1"), 1);
  EXPECT_EQ(countInConsole(": First byte received is not SLIP_END"), 1);
  // The link still works afterwards.
  stm32().set_fault(sim::Stm32Fault::kNone);
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

// ---- Recording ----------------------------------------------------------------------------------

class StmsgWhileRecording : public StmsgTest {
 protected:
  void SetUp() override {
    StmsgTest::SetUp();
    ASSERT_TRUE(inst.call([] { sysstate_setRecordingState(true); }));
    inst.clear_console();
  }
  void TearDown() override {
    inst.call([] { sysstate_setRecordingState(false); });
  }
};

TEST_F(StmsgWhileRecording, ABlockedCommandIsRefusedWithoutTouchingTheSignalLine) {
  CameraGetSetScheduleMessage m = {};
  EXPECT_EQ(txrx(&m, sizeof m, CMD_setSchedule, sizeof m, 2000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_FALSE(signalEverRaised());
  EXPECT_TRUE(stm32().answer_edges().empty());
  EXPECT_TRUE(stm32().requests().empty());
  EXPECT_EQ(countInConsole(": Command 5 was blocked by current camera state before sending to "
                           "STM32; error -110"),
            1);
}

TEST_F(StmsgWhileRecording, ABlockedCommandReleasesTheLock) {
  CameraGetSetScheduleMessage s = {};
  ASSERT_EQ(txrx(&s, sizeof s, CMD_setSchedule, sizeof s, 2000), ERRORCODE_TEMPORARY_ERROR);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

TEST_F(StmsgWhileRecording, AnUnrecognisedCommandIsRefusedToo) {
  CameraGetSetModeMessage m = {};
  EXPECT_EQ(txrx(&m, sizeof m, 6, sizeof m, 2000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(countInConsole("Command 6 was blocked by current camera state before sending to "
                           "STM32; error -112"),
            1);
  EXPECT_TRUE(stm32().requests().empty());
}

TEST_F(StmsgWhileRecording, ACommandAllowedWhileRecordingGoesThrough) {
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(stm32().requests().size(), 1u);
}

TEST_F(StmsgWhileRecording, ABlockedGetLeavesTheCallersBufferAsItWas) {
  rootFilesDeleteMessage m;
  memset(&m, 0, sizeof m);
  m.header.command = CMD_rootFilesDelete;
  strcpy(m.filenames[0], "BOOT.BIN");
  rootFilesDeleteMessage before = m;
  EXPECT_EQ(txrx(&m, sizeof m, CMD_rootFilesDelete, sizeof m, 3000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(memcmp(&m, &before, sizeof m), 0);
  std::string line = lineWith("id/len/sig tx:");
  EXPECT_NE(line.find(": ERROR!! id/len/sig tx:+33/120/"), std::string::npos) << line;
  EXPECT_NE(line.find(" 4294967295ms rx:+4294967295/4294967295/4294967295"), std::string::npos)
      << line;
}

// ---- Several callers ----------------------------------------------------------------------------

using StmsgConcurrency = StmsgTest;

TEST_F(StmsgConcurrency, TwoThreadsTransactionsNeverInterleaveOnTheWire) {
  std::atomic<int> done{0};
  CameraGetSetModeMessage mode = {};
  CameraGetUIDMessage uid = {};
  errorCodes r1 = ERRORCODE_GENERIC, r2 = ERRORCODE_GENERIC;
  uint64_t end1 = 0, start2 = 0;
  inst.spawn("caller1", 4, [&] {
    r1 = stmsgTxRx_debugPrint(&mode, sizeof mode, CMD_getMode, &mode, sizeof mode, 3000);
    end1 = camhost::time_now();
    done++;
  });
  inst.spawn("caller2", 4, [&] {
    os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);  // starts while the first one runs
    start2 = camhost::time_now();
    r2 = stmsgTxRx_debugPrint(&uid, sizeof uid, CMD_getUID, &uid, sizeof uid, 2000);
    done++;
  });
  ASSERT_TRUE(inst.run_until([&] { return done == 2; }, 60 * kSec));
  EXPECT_EQ(r1, ERRORCODE_SUCCESS);
  EXPECT_EQ(r2, ERRORCODE_SUCCESS);
  EXPECT_LT(start2, end1);
  auto reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].command, CMD_getMode);
  EXPECT_EQ(reqs[1].command, CMD_getUID);
  EXPECT_GT(reqs[1].time, end1);
  EXPECT_EQ(uid.uid[0], 0x1A2B);
  EXPECT_EQ(mode.header.commandSignature, reqs[0].signature);
  EXPECT_EQ(uid.header.commandSignature, reqs[1].signature);
}

TEST_F(StmsgConcurrency, ACallerWaitsForTheWholeOfAnotherFailingTransaction) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  std::atomic<int> done{0};
  CameraGetSetModeMessage a = {}, b = {};
  errorCodes r2 = ERRORCODE_GENERIC;
  uint64_t end1 = 0, end2 = 0;
  inst.spawn("caller1", 4, [&] {
    stmsgTxRx_debugPrint(&a, sizeof a, CMD_getMode, &a, sizeof a, 3000);
    end1 = camhost::time_now();
    done++;
  });
  inst.spawn("caller2", 4, [&] {
    os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
    r2 = stmsgTxRx_debugPrint(&b, sizeof b, CMD_getMode, &b, sizeof b, 3000);
    end2 = camhost::time_now();
    done++;
  });
  ASSERT_TRUE(inst.run_until([&] { return done == 2; }, 60 * kSec));
  EXPECT_EQ(r2, ERRORCODE_SUCCESS);
  EXPECT_GT(end2, end1);
  EXPECT_GE(end1, 15 * kSec);
}

// ---- An STM32 slow to raise its line ------------------------------------------------------------

class StmsgLateEdge : public StmsgTest {
 protected:
  sim::BoardConfig boardConfig() override {
    sim::BoardConfig c;
    c.stm32.edge_latency_us = 5 * kMs;
    return c;
  }
};

TEST_F(StmsgLateEdge, WithNoReleaseTheSTM32sLineIsFoundByPollingEvery25Milliseconds) {
  CameraGetSetModeMessage m;
  uint64_t start = inst.now();
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  ASSERT_EQ(stm32().requests().size(), 1u);
  EXPECT_GE(stm32().requests()[0].time - start, 25 * kMs);
  EXPECT_LT(stm32().requests()[0].time - start, 30 * kMs);
}

TEST_F(StmsgLateEdge, AReleaseFromTheI2CThreadLetsTheRequestGoWithoutWaitingOutThePoll) {
  CameraGetSetModeMessage m = {};
  std::atomic<bool> released{false};
  uint64_t start = inst.now();
  // Where the I2C thread would see the STM32's line come up.
  camhost::at(start + 6 * kMs, [&] { released = stmsgReleaseQueuedMessage(); });
  ASSERT_EQ(txrx(&m, sizeof m, CMD_getMode, sizeof m, 3000), ERRORCODE_SUCCESS);
  EXPECT_TRUE(released);
  ASSERT_EQ(stm32().requests().size(), 1u);
  EXPECT_LT(stm32().requests()[0].time - start, 10 * kMs);
}

// ---- A slow STM32 -------------------------------------------------------------------------------

class StmsgSlowSTM32 : public StmsgTest {
 protected:
  sim::BoardConfig boardConfig() override {
    sim::BoardConfig c;
    c.stm32.answer_delay_us = 10 * kSec;
    return c;
  }
};

TEST_F(StmsgSlowSTM32, AnAnswerTenSecondsLateIsTakenDespiteATwoSecondCallerTimeout) {
  CameraGetSetIntervalMessage m = {};
  uint64_t elapsed = 0;
  EXPECT_EQ(txrx(&m, sizeof m, CMD_getInterval, sizeof m, 2000, true, &elapsed), ERRORCODE_SUCCESS);
  EXPECT_GE(elapsed, 10 * kSec);
}

}  // namespace
