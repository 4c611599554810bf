// The STM32 link: whole transactions against the simulated board, in virtual time.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "camhost/bus.h"
#include "i2cDevices/i2cDevices.h"
#include "slipSLIPUtilities/slipSLIPUtilities.h"
#include "statStatus/statStatus.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"

namespace {

const uint64_t kMs = 1000, kSec = 1000000;
const char kNewEdge[] = "(BLE-NQ) log: \"Generating new edge for ST to wake up 82\"";
const char kNoAnswerFields[] = " 4294967295ms rx:+4294967295/4294967295/4294967295";

class Stmsg : public OnBoard {
 protected:
  void SetUp() override {
    inKernel([] {
      i2cDevices_Init();
      stmsgSTM32Message_Init();
      statMarkStatusBits(KAStatus_STNotResponding, 0);
      i2cDeactivateSignalToSTM32();  // the set-up leaves our line raised
    });
    inst.run_for(100 * kMs);
    // The expander latches the STM32's answer to that edge until its input is read.
    inKernel([] { i2cReadIsSignalActive_fromSTM32(); });
    board.expander1().clear_record();
    stm32().clear_record();
    inst.clear_console();
  }

  sim::Stm32& stm32() { return board.stm32(); }

  // One transaction on a kernel thread, answered into the request's buffer.
  errorCodes txrx(void* msg, unsigned size, uint16_t command, unsigned timeout = 3000,
                  uint64_t* elapsedUs = nullptr, bool debugPrint = true) {
    errorCodes res = ERRORCODE_GENERIC;
    uint64_t start = inst.now();
    inKernel([&] {
      res = debugPrint ? stmsgTxRx_debugPrint(msg, size, command, msg, size, timeout)
                       : stmsgTxRx_noDebugPrint(msg, size, command, msg, size, timeout);
    });
    if (elapsedUs) *elapsedUs = inst.now() - start;
    return res;
  }
  errorCodes getMode(CameraGetSetModeMessage* m, uint64_t* elapsedUs = nullptr) {
    memset(m, 0, sizeof *m);
    return txrx(m, sizeof *m, CMD_getMode, 3000, elapsedUs);
  }

  // The first log message holding `text`, or "".
  std::string lineWith(const std::string& text) const {
    for (const std::string& m : messages())
      if (m.find(text) != std::string::npos) return m;
    return "";
  }
  // Safe from any kernel thread.
  bool consoleHas(const std::string& text) const {
    return inst.console().find(text) != std::string::npos;
  }
  bool signalEverRaised() {
    for (const auto& w : board.expander1().writes())
      if (w.reg == sim::Pcal6416a::kOutput && !w.data.empty() && (w.data[0] & 1)) return true;
    return false;
  }
  static std::vector<uint8_t> modeAnswerFrame(uint32_t signature, int32_t mode) {
    CameraGetSetModeMessage m = {{sizeof m, CMD_getMode, signature, 0}, mode};
    std::vector<uint8_t> frame(64);
    int n = slipEncode(reinterpret_cast<uint8_t*>(&m), sizeof m, frame.data(), 64);
    frame.resize(std::max(n, 0));
    return frame;
  }
};

// ---- A transaction ------------------------------------------------------------------------------

using StmsgTransaction = Stmsg;

// The request goes out with its body, a zero result and the next signature; the answer lands in
// the buffer with bit 7 of its command cleared, and the result line shows both headers.
TEST_F(StmsgTransaction, AGetAndASetAreSentAnsweredAndLogged) {
  struct Case { uint16_t command; unsigned size; int32_t answerMode; const char* fields; };
  const Case cases[] = {{CMD_getMode, 16, 3, "+2/16/"}, {CMD_setModeWithReason, 20, 1, "48/20/"}};
  stm32().set_mode(3);
  uint32_t previousSig = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    stm32().clear_record();
    inst.clear_console();
    CameraGetSetModeMessageWithReason m;
    memset(&m, 0xEE, sizeof m);  // a reused buffer still holding an old answer
    m.mode = 1;
    m.reason = 2;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&m);
    std::vector<uint8_t> body(bytes + 12, bytes + c.size);
    ASSERT_EQ(txrx(&m, c.size, c.command), ERRORCODE_SUCCESS);
    std::vector<sim::Stm32::Request> reqs = stm32().requests();
    ASSERT_EQ(reqs.size(), 1u);
    const sim::Stm32::Request& r = reqs[0];
    EXPECT_EQ(r.command, c.command);
    EXPECT_EQ(r.length, c.size);
    ASSERT_EQ(r.message.size(), c.size);
    EXPECT_EQ(std::vector<uint8_t>(r.message.begin() + 8, r.message.begin() + 12),
              std::vector<uint8_t>(4, 0));
    EXPECT_EQ(std::vector<uint8_t>(r.message.begin() + 12, r.message.end()), body);
    if (previousSig != 0) {
      EXPECT_EQ(r.signature, previousSig + 1);
    }
    previousSig = r.signature;

    EXPECT_EQ(m.header.command, c.command & 0x7F);
    EXPECT_EQ(m.header.commandSignature, r.signature);
    EXPECT_EQ(m.mode, c.answerMode);
    std::string line = lineWith("id/len/sig"), sig = std::to_string(r.signature);
    EXPECT_EQ(line.rfind(std::string("id/len/sig tx:") + c.fields + sig + " ", 0), 0u) << line;
    EXPECT_NE(line.find(std::string("ms rx:") + c.fields + sig), std::string::npos) << line;
  }
}

TEST_F(StmsgTransaction, NoMessageSendsABareHeader) {
  CameraClearSpi_Message resp;
  errorCodes res = ERRORCODE_GENERIC;
  inKernel([&] { res = stmsgTxRx_debugPrint(nullptr, 0, CMD_ClearSpi, &resp, sizeof resp, 9000); });
  EXPECT_EQ(res, ERRORCODE_SUCCESS);
  std::vector<sim::Stm32::Request> reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].length, 12);
  EXPECT_EQ(reqs[0].command, CMD_ClearSpi);
}

TEST_F(StmsgTransaction, TheQuietFormLogsNoResultLine) {
  CameraGetSetModeMessage m = {};
  EXPECT_EQ(txrx(&m, sizeof m, CMD_getMode, 3000, nullptr, false), ERRORCODE_SUCCESS);
  EXPECT_EQ(lineWith("id/len/sig"), "");
}

TEST_F(StmsgTransaction, TheUARTIsOpenAndTheSignalRaisedOnlyWhileATransactionRuns) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);  // the first transaction waits, then fails
  std::atomic<bool> openDuring{false};
  camhost::at(inst.now() + 1 * kSec, [&] { openDuring = camhost::uart_module_is_open(); });
  CameraGetSetModeMessage m;
  EXPECT_FALSE(camhost::uart_module_is_open());
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_TRUE(openDuring);
  EXPECT_FALSE(camhost::uart_module_is_open());
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_FALSE(camhost::uart_module_is_open());
  EXPECT_TRUE(signalEverRaised());
  EXPECT_FALSE(board.module_signal());
}

TEST_F(StmsgTransaction, ARequestTooLargeToFrameIsNotSentAndTheSignalIsLoweredAgain) {
  std::vector<uint8_t> big(3000, 0);
  EXPECT_EQ(txrx(big.data(), 3000, CMD_rootFileWrite, 4000), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(logged("Failed to encode SLIP message; internal buffer len 3000 too small?"), 1);
  EXPECT_EQ(logged("  FREEZE -- Failed to send GET cmd 34 to STM32; STMSGRES: -110"), 1);
  EXPECT_TRUE(stm32().requests().empty());
  EXPECT_FALSE(board.module_signal());
  EXPECT_EQ(loggedStartingWith("ERROR!! id/len/sig tx:+34/3000/"), 1) << inst.console();
}

TEST_F(StmsgTransaction, AnUnusableArgumentIsRefusedBeforeAnythingIsSentOrTouched) {
  CameraGetSetModeMessage m = {};
  uint8_t small[20];
  memset(small, 0xA5, sizeof small);
  struct Case {
    void* msg;
    unsigned msgSize;
    void* resp;
    unsigned respSize, timeout;
    const char* logged;
  };
  const Case cases[] = {
      {&m, 0, &m, sizeof m, 3000, "msgSize is 0"},
      {&m, sizeof m, nullptr, sizeof m, 3000, "responseMsg pointer is NULL"},
      {&m, sizeof m, &m, 0, 3000, "responseMsgSize is 0"},
      {&m, sizeof m, &m, sizeof m, 0, "timeout is 0"},
      {small, 6, &m, sizeof m, 3000, "msgSize 6 is smaller than a message header"},
      {&m, sizeof m, small, 8, 3000, "responseMsgSize 8 is smaller than a message header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    errorCodes res = ERRORCODE_SUCCESS;
    inKernel([&] {
      res = stmsgTxRx_debugPrint(c.msg, c.msgSize, CMD_getMode, c.resp, c.respSize, c.timeout);
    });
    EXPECT_EQ(res, ERRORCODE_TEMPORARY_ERROR);
    EXPECT_EQ(logged(c.logged), 1);
  }
  for (uint8_t b : small) EXPECT_EQ(b, 0xA5);
  EXPECT_TRUE(stm32().requests().empty());
  EXPECT_FALSE(signalEverRaised());
  EXPECT_EQ(lineWith("id/len/sig"), "");
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

// ---- Wake-up handshake --------------------------------------------------------------------------

using StmsgHandshake = Stmsg;

TEST_F(StmsgHandshake, AnSTM32ThatNeverAnswersIsGivenUpAfterThreeNewEdgesAndSixSeconds) {
  stm32().set_fault(sim::Stm32Fault::kSilent, -1);
  CameraGetSetModeMessage m;
  uint64_t elapsed = 0;
  EXPECT_EQ(getMode(&m, &elapsed), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(logged(kNewEdge), 3);
  EXPECT_EQ(logged("(BLE-NQ) log: \"ST->INNO wasn't active before timeout 82\""), 1);
  EXPECT_GE(elapsed, 6 * kSec);
  EXPECT_LT(elapsed, 6 * kSec + 200 * kMs);
  EXPECT_TRUE(stm32().requests().empty());
  EXPECT_FALSE(board.module_signal());
  EXPECT_FALSE(camhost::uart_module_is_open());
  std::string line = lineWith("id/len/sig");
  EXPECT_EQ(line.rfind("ERROR!! id/len/sig tx:+2/16/", 0), 0u) << line;
  EXPECT_NE(line.find(kNoAnswerFields), std::string::npos) << line;
}

TEST_F(StmsgHandshake, AnSTM32AnsweringALaterEdgeGetsItsRequestAfterThatManyNewEdges) {
  struct Case { sim::Stm32Fault fault; int newEdges; uint64_t minUs, maxUs; };
  const Case cases[] = {{sim::Stm32Fault::kAnswerOnEdge2, 1, 1500 * kMs, 3000 * kMs},
                        {sim::Stm32Fault::kAnswerOnEdge3, 2, 3000 * kMs, 4500 * kMs}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.newEdges);
    inst.clear_console();
    stm32().set_fault(c.fault);
    CameraGetSetModeMessage m;
    uint64_t elapsed = 0;
    EXPECT_EQ(getMode(&m, &elapsed), ERRORCODE_SUCCESS);
    EXPECT_EQ(logged(kNewEdge), c.newEdges);
    EXPECT_EQ(lineWith("wasn't active before timeout"), "");
    EXPECT_GE(elapsed, c.minUs);
    EXPECT_LT(elapsed, c.maxUs);
  }
}

TEST_F(StmsgHandshake, AReleaseOutsideATransactionIsRefused) {
  bool before = true, after = true;
  inKernel([&] { before = stmsgReleaseQueuedMessage(); });
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  inKernel([&] { after = stmsgReleaseQueuedMessage(); });
  EXPECT_FALSE(before);
  EXPECT_FALSE(after);
}

// ---- Receiving ----------------------------------------------------------------------------------

using StmsgReceive = Stmsg;

TEST_F(StmsgReceive, AMissingOrUnfinishedAnswerFailsAndOnlyNoByteMarksTheSTM32NotResponding) {
  for (sim::Stm32Fault fault : {sim::Stm32Fault::kTruncatedFrame, sim::Stm32Fault::kNoAnswer}) {
    bool noByte = fault == sim::Stm32Fault::kNoAnswer;
    SCOPED_TRACE(noByte ? "no byte" : "half a frame");
    inst.clear_console();
    stm32().set_fault(fault);
    CameraGetSetModeMessage m;
    EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
    EXPECT_EQ(loggedStartingWith("Timeout waiting for response after "), 1);
    EXPECT_EQ(logged("Timeout waiting for response after 0 bytes"), noByte ? 1 : 0);
    EXPECT_EQ(logged("Failed to receive GET cmd 2 from STM32; STMSGRES: -110"), 1);
    EXPECT_EQ((statGetStatus() & KAStatus_STNotResponding) != 0, noByte);
  }
}

TEST_F(StmsgReceive, TheResponseTimeoutIsTheCallersButNeverBelowFifteenSeconds) {
  for (unsigned timeout : {2000u, 20000u}) {
    SCOPED_TRACE(timeout);
    stm32().set_fault(sim::Stm32Fault::kNoAnswer);
    getSD_Directory1_Message m = {};
    uint64_t elapsed = 0, want = (timeout < 15000 ? 15000 : timeout) * kMs;
    EXPECT_EQ(txrx(&m, sizeof m, CMD_getSD_Directory1, timeout, &elapsed),
              ERRORCODE_TEMPORARY_ERROR);
    EXPECT_GE(elapsed, want);
    EXPECT_LT(elapsed, want + 200 * kMs);
  }
}

TEST_F(StmsgReceive, AStaleAnswerIsSkippedAndTheRightOneTaken) {
  CameraGetSetModeMessage m;
  ASSERT_EQ(getMode(&m), ERRORCODE_SUCCESS);  // so that a previous signature exists
  stm32().set_fault(sim::Stm32Fault::kStaleAnswerFirst);
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
  EXPECT_EQ(m.header.commandSignature, stm32().requests().at(1).signature);
  EXPECT_EQ(logged("sig < expected; trying recv w/ new tmo period"), 1);
}

TEST_F(StmsgReceive, AnAnswerWithALargerSignatureFails) {
  stm32().set_fault(sim::Stm32Fault::kLargerSignature);
  CameraGetSetModeMessage m;
  EXPECT_EQ(getMode(&m), ERRORCODE_TEMPORARY_ERROR);
  unsigned sig = stm32().requests().at(0).signature;
  EXPECT_EQ(logged("ERROR!! STM32 reported command signature " + std::to_string(sig + 1) +
                   " does not match expected " + std::to_string(sig) +
                   " from msg with 16 slip-decoded bytes"),
            1);
}

TEST_F(StmsgReceive, ANegativeResultFromTheSTM32IsPassedThroughAndAPositiveOneIsSuccess) {
  CameraGetSetModeMessage m;
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -103);
  EXPECT_EQ(getMode(&m), -103);
  EXPECT_EQ(logged("STM32 reported err result -103 from msg with 16 slip-decoded bytes"), 1);
  EXPECT_EQ(loggedStartingWith("ERROR!! id/len/sig"), 1);
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, 7);
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

TEST_F(StmsgReceive, AFrameThatDoesNotDecodeIsReadOnceMoreAfterThreeSeconds) {
  for (bool secondDecodes : {true, false}) {
    SCOPED_TRACE(secondDecodes ? "a good second frame" : "a corrupt second frame");
    stm32().clear_record();
    inst.clear_console();
    stm32().set_fault(sim::Stm32Fault::kCorruptFrame);
    inst.spawn("peer", 5, [this, secondDecodes] {
      while (!consoleHas("tryNum left 1")) os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
      // Corrupt: an escape followed by a byte that is no escape code.
      std::vector<uint8_t> f = secondDecodes
                                   ? modeAnswerFrame(stm32().requests().at(0).signature, 4)
                                   : std::vector<uint8_t>{SLIP_END, 0x10, SLIP_ESC, 0x01, SLIP_END};
      camhost::uart_send_to_module(f.data(), f.size());
    });
    CameraGetSetModeMessage m;
    uint64_t elapsed = 0;
    EXPECT_EQ(getMode(&m, &elapsed),
              secondDecodes ? ERRORCODE_SUCCESS : ERRORCODE_TEMPORARY_ERROR);
    EXPECT_GE(elapsed, 3 * kSec);
    EXPECT_EQ(loggedStartingWith("Failed to decode SLIP message;"), secondDecodes ? 1 : 2);
    if (secondDecodes) {
      EXPECT_EQ(m.mode, 4);
    }
  }
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
  // The first 3000 bytes do not decode; the rest, read on the second try, starts no frame.
  EXPECT_EQ(loggedStartingWith("Failed to decode SLIP message;"), 1);
  EXPECT_EQ(logged("First byte received is not SLIP_END"), 1);
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

// ---- Recording ----------------------------------------------------------------------------------

using StmsgWhileRecording = Stmsg;

TEST_F(StmsgWhileRecording, ABlockedCommandIsRefusedWithoutTouchingTheSignalLineOrTheLock) {
  inKernel([] { sysstate_setRecordingState(true); });
  struct Case { uint16_t command; int error; };
  const Case cases[] = {{CMD_setSchedule, -110}, {6 /* no command */, -112}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    CameraGetSetScheduleMessage s = {};
    EXPECT_EQ(txrx(&s, sizeof s, c.command, 2000), ERRORCODE_TEMPORARY_ERROR);
    EXPECT_EQ(logged("Command " + std::to_string(c.command) +
                     " was blocked by current camera state before sending to STM32; error " +
                     std::to_string(c.error)),
              1);
  }
  EXPECT_FALSE(signalEverRaised());
  EXPECT_TRUE(stm32().requests().empty());
  CameraGetSetModeMessage m;  // allowed while recording; the lock must be free
  EXPECT_EQ(getMode(&m), ERRORCODE_SUCCESS);
}

TEST_F(StmsgWhileRecording, ABlockedGetLeavesTheCallersBufferAsItWas) {
  inKernel([] { sysstate_setRecordingState(true); });
  rootFilesDeleteMessage m;
  memset(&m, 0, sizeof m);
  m.header.command = CMD_rootFilesDelete;
  strcpy(m.filenames[0], "BOOT.BIN");
  rootFilesDeleteMessage before = m;
  EXPECT_EQ(txrx(&m, sizeof m, CMD_rootFilesDelete), ERRORCODE_TEMPORARY_ERROR);
  EXPECT_EQ(memcmp(&m, &before, sizeof m), 0);
  std::string line = lineWith("id/len/sig");
  EXPECT_EQ(line.rfind("ERROR!! id/len/sig tx:+33/120/", 0), 0u) << line;
  EXPECT_NE(line.find(kNoAnswerFields), std::string::npos) << line;
}

// ---- Several callers ----------------------------------------------------------------------------

TEST_F(Stmsg, TwoThreadsTransactionsNeverInterleaveOnTheWire) {
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
  std::vector<sim::Stm32::Request> reqs = stm32().requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_LT(start2, end1);
  EXPECT_GT(reqs[1].time, end1);
  EXPECT_EQ(mode.header.commandSignature, reqs[0].signature);
  EXPECT_EQ(uid.header.commandSignature, reqs[1].signature);
}

}  // namespace
