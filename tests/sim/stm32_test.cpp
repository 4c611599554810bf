// The STM32 model as the module meets it: the signal-line handshake through expander 1, SLIP
// frames on the UART at 460800 baud, the answers, and the faults tests inject.
#include "sim/stm32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>

#include "driver_side.h"
#include "sim/board.h"

namespace {

using simtest::GetLe;
using simtest::ModuleSide;
using simtest::Request;
using simtest::Slip;
using simtest::Unslip;

constexpr uint16_t kGetMode = 130, kSetModeWithReason = 48;
constexpr size_t kModeMessage = 16, kModeWithReasonMessage = 20;

class Stm32Link : public ::testing::Test {
 protected:
  static sim::BoardConfig Config() {
    sim::BoardConfig c;
    c.stm32.mode = 2;  // time lapse
    return c;
  }

  // Runs `fn` as the module, on a kernel thread, with expander 1 set up and the UART open.
  void AsModule(const std::function<void(ModuleSide&)>& fn) {
    ASSERT_TRUE(inst.call([&] {
      ModuleSide side;
      side.Open();
      fn(side);
      side.Close();
    }));
  }

  static std::vector<uint8_t> Decode(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> msg;
    EXPECT_TRUE(Unslip(frame, &msg)) << "not one whole frame, " << frame.size() << " bytes";
    return msg;
  }

  static uint32_t Signature(const std::vector<uint8_t>& msg) { return GetLe(msg, 4, 4); }
  static int32_t Result(const std::vector<uint8_t>& msg) {
    return static_cast<int32_t>(GetLe(msg, 8, 4));
  }

  bool Stm32LineHigh() { return board.expander1().pins() & 0x8000; }

  camhost::Instance inst{simtest::VirtualTime()};
  sim::Board board{Config()};
  sim::Stm32& stm32() { return board.stm32(); }
};

// ---- Handshake ------------------------------------------------------------------------------

TEST_F(Stm32Link, RaisesItsLineEdgeLatencyAfterTheModulesRisingEdge) {
  const uint32_t latency = board.config().stm32.edge_latency_us;
  uint64_t edge = 0;
  int int_just_before = -1, int_just_after = -1;
  AsModule([&](ModuleSide& m) {
    m.Signal(true);
    edge = camhost::time_now();
    os_sleep_us(latency - 1, OS_TIMEOUT_WAKEUP);
    int_just_before = camhost::gpio_level(14);
    os_sleep_us(2, OS_TIMEOUT_WAKEUP);
    int_just_after = camhost::gpio_level(14);
    m.Signal(false);
  });
  EXPECT_EQ(stm32().answer_edges(), std::vector<uint64_t>{edge + latency});
  EXPECT_EQ(int_just_before, 1);
  EXPECT_EQ(int_just_after, 0);  // through expander 1's interrupt
}

TEST_F(Stm32Link, LowersItsLineWhenTheModuleLowersItsOwnAfterTheRequest) {
  bool up_after_request = false, up_after_module_lowered = true;
  AsModule([&](ModuleSide& m) {
    m.Signal(true);
    ASSERT_TRUE(m.WaitForStm32(1500000));
    m.Send(Slip(Request(kGetMode, 1, kModeMessage)));
    up_after_request = Stm32LineHigh();
    m.Signal(false);
    up_after_module_lowered = Stm32LineHigh();
    m.ReceiveFrame();
  });
  EXPECT_TRUE(up_after_request);
  EXPECT_FALSE(up_after_module_lowered);
}

TEST_F(Stm32Link, PokeRaisesTheLineOnItsOwnForTheHoldTime) {
  AsModule([](ModuleSide&) {});
  stm32().poke(50000);
  inst.run_for(49999);
  EXPECT_TRUE(Stm32LineHigh());
  EXPECT_EQ(camhost::gpio_level(14), 0);
  inst.run_for(2);
  EXPECT_FALSE(Stm32LineHigh());
  EXPECT_TRUE(stm32().answer_edges().empty());
}

// ---- Answers --------------------------------------------------------------------------------

TEST_F(Stm32Link, AnswersGetModeWithTheRequestsSignatureAndTheCameraMode) {
  std::vector<uint8_t> frame;
  // 0xDBC0 puts both bytes that need escaping in the signature, both ways.
  AsModule([&](ModuleSide& m) { frame = m.Transact(Request(kGetMode, 0xDBC0, kModeMessage)); });
  std::vector<uint8_t> msg = Decode(frame);
  ASSERT_EQ(msg.size(), kModeMessage);
  EXPECT_EQ(GetLe(msg, 0, 2), kModeMessage);
  EXPECT_EQ(GetLe(msg, 2, 2), kGetMode);
  EXPECT_EQ(Signature(msg), 0xDBC0u);
  EXPECT_EQ(Result(msg), 0);
  EXPECT_EQ(GetLe(msg, 12, 4), 2u);
}

TEST_F(Stm32Link, AnswerStartsAnswerDelayAfterTheRequestsClosingEnd) {
  uint64_t first_byte_at = 0;
  AsModule([&](ModuleSide& m) {
    m.Signal(true);
    ASSERT_TRUE(m.WaitForStm32(1500000));
    m.Send(Slip(Request(kGetMode, 1, kModeMessage)));
    m.Signal(false);
    ASSERT_GE(uart_getchar_tmo(m.port(), 100000), 0);
    first_byte_at = camhost::time_now();
  });
  ASSERT_EQ(stm32().requests().size(), 1u);
  uint64_t waited = first_byte_at - stm32().requests()[0].time;
  const uint32_t delay = board.config().stm32.answer_delay_us;
  EXPECT_GE(waited, delay);
  EXPECT_LE(waited, delay + 25);  // plus one byte's time on the wire
}

TEST_F(Stm32Link, RecordsEachRequestAsDecodedFromTheWire) {
  std::vector<uint8_t> request = Request(kSetModeWithReason, 0x00C0DB07, kModeWithReasonMessage);
  simtest::PutLe(request, 12, 1, 4);
  simtest::PutLe(request, 16, 2, 4);
  AsModule([&](ModuleSide& m) { m.Transact(request); });
  auto requests = stm32().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].length, kModeWithReasonMessage);
  EXPECT_EQ(requests[0].command, kSetModeWithReason);
  EXPECT_EQ(requests[0].signature, 0x00C0DB07u);
  EXPECT_EQ(requests[0].message, request);
}

TEST_F(Stm32Link, SetModeWithReasonChangesTheModeThatGetModeReports) {
  std::vector<uint8_t> set = Request(kSetModeWithReason, 1, kModeWithReasonMessage);
  simtest::PutLe(set, 12, 1, 4);  // live view
  simtest::PutLe(set, 16, 2, 4);  // asked over BLE
  std::vector<uint8_t> set_answer, get_answer;
  AsModule([&](ModuleSide& m) {
    set_answer = Decode(m.Transact(set));
    get_answer = Decode(m.Transact(Request(kGetMode, 2, kModeMessage)));
  });
  ASSERT_EQ(set_answer.size(), kModeWithReasonMessage);
  EXPECT_EQ(GetLe(set_answer, 12, 4), 1u);
  EXPECT_EQ(GetLe(set_answer, 16, 4), 2u);
  ASSERT_EQ(get_answer.size(), kModeMessage);
  EXPECT_EQ(GetLe(get_answer, 12, 4), 1u);
}

TEST_F(Stm32Link, RefusesACommandOutsideTheCatalogueAsABadCommand) {
  std::vector<uint8_t> msg;
  AsModule([&](ModuleSide& m) { msg = Decode(m.Transact(Request(6, 3, 12))); });
  ASSERT_EQ(msg.size(), 12u);
  EXPECT_EQ(GetLe(msg, 2, 2), 6u);
  EXPECT_EQ(Signature(msg), 3u);
  EXPECT_EQ(Result(msg), -112);
}

// ---- Faults ---------------------------------------------------------------------------------

// The module's handshake: up to four edges, 1.5 s each, re-raised after 5 ms. Whether the
// STM32's line came up at each edge.
std::vector<bool> Handshake(ModuleSide& m) {
  std::vector<bool> seen;
  m.Signal(true);
  for (int edge = 1; edge <= 4; edge++) {
    seen.push_back(m.WaitForStm32(1500000));
    if (seen.back() || edge == 4) break;
    m.Signal(false);
    os_sleep_us(5000, OS_TIMEOUT_WAKEUP);
    m.Signal(true);
  }
  return seen;
}

struct SlowCase {
  const char* name;
  sim::Stm32Fault fault;
  std::vector<bool> seen;
};

void PrintTo(const SlowCase& c, std::ostream* os) { *os << c.name; }

class SlowStm32 : public Stm32Link, public ::testing::WithParamInterface<SlowCase> {};

TEST_P(SlowStm32, RaisesItsLineOnlyFromItsEdgeOnAndThenAnswers) {
  stm32().set_fault(GetParam().fault);
  std::vector<bool> seen;
  std::vector<uint8_t> msg;
  AsModule([&](ModuleSide& m) {
    seen = Handshake(m);
    m.Send(Slip(Request(kGetMode, 9, kModeMessage)));
    m.Signal(false);
    msg = Decode(m.ReceiveFrame());
  });
  EXPECT_EQ(seen, GetParam().seen);
  EXPECT_EQ(stm32().answer_edges().size(), 1u);
  ASSERT_EQ(msg.size(), kModeMessage);
  EXPECT_EQ(Signature(msg), 9u);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, SlowStm32,
    ::testing::Values(SlowCase{"Edge2", sim::Stm32Fault::kAnswerOnEdge2, {false, true}},
                      SlowCase{"Edge3", sim::Stm32Fault::kAnswerOnEdge3, {false, false, true}}),
    [](const ::testing::TestParamInfo<SlowCase>& info) { return std::string(info.param.name); });

TEST_F(Stm32Link, SilentStm32IgnoresAllFourEdgesOfOneTransactionOnly) {
  stm32().set_fault(sim::Stm32Fault::kSilent);
  std::vector<bool> seen;
  std::vector<uint8_t> next;
  AsModule([&](ModuleSide& m) {
    seen = Handshake(m);
    m.Signal(false);  // the module gives up, and the next caller starts at once
    next = Decode(m.Transact(Request(kGetMode, 2, kModeMessage)));
  });
  EXPECT_EQ(seen, std::vector<bool>(4, false));
  ASSERT_EQ(next.size(), kModeMessage);
  EXPECT_EQ(Signature(next), 2u);
}

TEST_F(Stm32Link, StaleAnswerWithThePreviousSignatureComesBeforeTheRightOne) {
  stm32().set_fault(sim::Stm32Fault::kStaleAnswerFirst);
  std::vector<uint8_t> first, second;
  AsModule([&](ModuleSide& m) {
    first = Decode(m.Transact(Request(kGetMode, 5, kModeMessage)));
    second = Decode(m.ReceiveFrame());
  });
  ASSERT_EQ(first.size(), kModeMessage);
  ASSERT_EQ(second.size(), kModeMessage);
  EXPECT_EQ(Signature(first), 4u);
  EXPECT_EQ(Signature(second), 5u);
}

TEST_F(Stm32Link, FaultLastsForItsCountOfRequests) {
  stm32().set_fault(sim::Stm32Fault::kLargerSignature, 2);
  std::vector<uint32_t> signatures;
  AsModule([&](ModuleSide& m) {
    for (uint32_t sig = 1; sig <= 3; sig++)
      signatures.push_back(Signature(Decode(m.Transact(Request(kGetMode, sig, kModeMessage)))));
  });
  EXPECT_EQ(signatures, (std::vector<uint32_t>{2, 3, 3}));
}

TEST_F(Stm32Link, ErrorResultFaultAnswersWithTheGivenResultAndDoesNotAct) {
  stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, -106);
  std::vector<uint8_t> set = Request(kSetModeWithReason, 1, kModeWithReasonMessage);
  simtest::PutLe(set, 12, 1, 4);
  std::vector<uint8_t> msg;
  AsModule([&](ModuleSide& m) { msg = Decode(m.Transact(set)); });
  ASSERT_EQ(msg.size(), kModeWithReasonMessage);
  EXPECT_EQ(Signature(msg), 1u);
  EXPECT_EQ(Result(msg), -106);
  EXPECT_EQ(stm32().mode(), 2);
}

TEST_F(Stm32Link, CorruptFrameCarriesAnInvalidEscape) {
  stm32().set_fault(sim::Stm32Fault::kCorruptFrame);
  std::vector<uint8_t> frame;
  AsModule([&](ModuleSide& m) { frame = m.Transact(Request(kGetMode, 1, kModeMessage)); });
  ASSERT_GE(frame.size(), 2u);
  EXPECT_EQ(frame.front(), simtest::kEnd);
  EXPECT_EQ(frame.back(), simtest::kEnd);
  bool bad_escape = false;
  for (size_t i = 0; i + 1 < frame.size(); i++)
    bad_escape |= frame[i] == simtest::kEsc && frame[i + 1] != simtest::kEscEnd &&
                  frame[i + 1] != simtest::kEscEsc;
  EXPECT_TRUE(bad_escape);
}

TEST_F(Stm32Link, TruncatedFrameStopsWithoutItsClosingEnd) {
  stm32().set_fault(sim::Stm32Fault::kTruncatedFrame);
  std::vector<uint8_t> frame;
  AsModule([&](ModuleSide& m) { frame = m.Transact(Request(kGetMode, 1, kModeMessage)); });
  ASSERT_FALSE(frame.empty());
  EXPECT_EQ(frame.front(), simtest::kEnd);
  EXPECT_EQ(std::count(frame.begin(), frame.end(), simtest::kEnd), 1);
  EXPECT_LT(frame.size(), kModeMessage + 2);
}

TEST_F(Stm32Link, NoAnswerFaultRaisesTheLineButSendsNothing) {
  stm32().set_fault(sim::Stm32Fault::kNoAnswer);
  std::vector<uint8_t> frame{0};
  AsModule([&](ModuleSide& m) { frame = m.Transact(Request(kGetMode, 1, kModeMessage)); });
  EXPECT_EQ(stm32().answer_edges().size(), 1u);
  EXPECT_EQ(stm32().count(kGetMode), 1);
  EXPECT_TRUE(frame.empty());
}

}  // namespace
