// The STM32 model as the module meets it: the signal-line handshake through expander 1, SLIP
// frames on the UART, the answers, and the faults tests inject.
#include "sim/stm32.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "driver_side.h"
#include "sim/board.h"

namespace {

using simtest::Decode;
using simtest::GetLe;
using simtest::ModuleSide;
using simtest::Request;
using simtest::Signature;
using simtest::Slip;

constexpr uint16_t kGetMode = 130, kSetModeWithReason = 48;
constexpr size_t kModeMessage = 16, kModeWithReasonMessage = 20;

// Mode `mode`, asked over BLE.
std::vector<uint8_t> SetMode(uint32_t signature, uint32_t mode) {
  return Request(kSetModeWithReason, signature, kModeWithReasonMessage, {mode, 2});
}

class Stm32Link : public ::testing::Test {
 protected:
  void AsModule(const std::function<void(ModuleSide&)>& fn) { simtest::AsModule(inst, fn); }
  bool Stm32LineHigh() { return board.expander1().pins() & 0x8000; }
  sim::Stm32& stm32() { return board.stm32(); }

  Stm32Link() { stm32().set_mode(2); }  // time lapse

  camhost::Instance inst{simtest::VirtualTime()};
  sim::Board board;
};

// ---- Handshake ------------------------------------------------------------------------------

TEST_F(Stm32Link, RaisesItsLineWithinItsEdgeLatencyOfTheModulesRisingEdgeAndThroughTheInterrupt) {
  const sim::Stm32Config& cfg = board.config().stm32;
  uint64_t edge = 0;
  AsModule([&](ModuleSide& m) {
    m.Signal(true);
    edge = camhost::time_now();
    os_sleep_us(cfg.edge_latency_min_us - 1, OS_TIMEOUT_WAKEUP);
    EXPECT_EQ(camhost::gpio_level(14), 1);
    os_sleep_us(cfg.edge_latency_max_us - cfg.edge_latency_min_us + 2, OS_TIMEOUT_WAKEUP);
    EXPECT_EQ(camhost::gpio_level(14), 0);  // expander 1's interrupt
    m.Signal(false);
  });
  ASSERT_EQ(stm32().answer_edges().size(), 1u);
  EXPECT_GE(stm32().answer_edges()[0], edge + cfg.edge_latency_min_us);
  EXPECT_LE(stm32().answer_edges()[0], edge + cfg.edge_latency_max_us);
}

TEST_F(Stm32Link, LowersItsLineWithTheModulesAfterTheRequestAndAnswersWithinItsAnswerDelay) {
  uint64_t first_byte_at = 0;
  AsModule([&](ModuleSide& m) {
    m.Signal(true);
    ASSERT_TRUE(m.WaitForStm32(1500000));
    m.Send(Slip(Request(kGetMode, 1, kModeMessage)));
    EXPECT_TRUE(Stm32LineHigh());
    m.Signal(false);
    EXPECT_FALSE(Stm32LineHigh());
    ASSERT_GE(uart_getchar_tmo(m.port(), 100000), 0);
    first_byte_at = camhost::time_now();
  });
  ASSERT_EQ(stm32().requests().size(), 1u);
  uint64_t waited = first_byte_at - stm32().requests()[0].time;  // from the request's closing END
  const sim::Stm32Config& cfg = board.config().stm32;
  EXPECT_GE(waited, cfg.answer_delay_min_us);
  EXPECT_LE(waited, cfg.answer_delay_max_us + 27);  // plus one byte's time on the wire, idle incl.
}

// The latencies of a few handshakes and answers, as the module sees them, on a fresh camera
// started with `seed`.
std::vector<uint64_t> Latencies(uint64_t seed) {
  camhost::Options o = simtest::VirtualTime();
  o.seed = seed;
  camhost::Instance inst{o};
  sim::Board board;
  std::vector<uint64_t> out;
  simtest::AsModule(inst, [&](ModuleSide& m) {
    for (uint32_t sig = 1; sig <= 4; sig++) {
      m.Signal(true);
      uint64_t edge = camhost::time_now();
      EXPECT_TRUE(m.WaitForStm32(1500000));
      out.push_back(board.stm32().answer_edges().back() - edge);
      m.Send(Slip(Request(kGetMode, sig, kModeMessage)));
      m.Signal(false);
      EXPECT_GE(uart_getchar_tmo(m.port(), 100000), 0);
      out.push_back(camhost::time_now() - board.stm32().requests().back().time);
      m.ReceiveFrame();
    }
  });
  return out;
}

TEST(Stm32Latency, TheSameSeedGivesTheSameLatenciesAndAnotherSeedOthersWithinTheirRanges) {
  const sim::Stm32Config cfg;
  std::vector<uint64_t> one = Latencies(1), again = Latencies(1), two = Latencies(2);
  ASSERT_EQ(one.size(), 8u);
  EXPECT_EQ(one, again);
  EXPECT_NE(one, two);
  for (const auto* run : {&one, &two}) {
    for (size_t i = 0; i < run->size(); i += 2) {
      EXPECT_GE((*run)[i], cfg.edge_latency_min_us);
      EXPECT_LE((*run)[i], cfg.edge_latency_max_us);
      EXPECT_GE((*run)[i + 1], cfg.answer_delay_min_us);
      EXPECT_LE((*run)[i + 1], cfg.answer_delay_max_us + 27);
    }
  }
  EXPECT_NE(one[0], one[2]) << "drawn anew for every edge";
  EXPECT_NE(one[1], one[3]) << "drawn anew for every answer";
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

TEST_F(Stm32Link, AnswersGetModeWithTheRequestsSignatureAndRecordsTheRequestAsDecoded) {
  const std::vector<uint8_t> request = Request(kGetMode, 0xDBC0, kModeMessage);  // both escapes
  std::vector<uint8_t> msg;
  AsModule([&](ModuleSide& m) { msg = Decode(m.Transact(request)); });
  std::vector<uint8_t> want = request;  // result 0, the mode
  simtest::PutLe(want, 12, 2, 4);
  EXPECT_EQ(msg, want);
  ASSERT_EQ(stm32().requests().size(), 1u);
  EXPECT_EQ(stm32().requests()[0].signature, 0xDBC0u);
  EXPECT_EQ(stm32().requests()[0].message, request);
}

TEST_F(Stm32Link, SetModeWithReasonChangesTheModeThatGetModeReports) {
  std::vector<uint8_t> set, get;
  AsModule([&](ModuleSide& m) {
    set = Decode(m.Transact(SetMode(1, 1)));
    get = Decode(m.Transact(Request(kGetMode, 2, kModeMessage)));
  });
  EXPECT_EQ(set, SetMode(1, 1));
  ASSERT_EQ(get.size(), kModeMessage);
  EXPECT_EQ(GetLe(get, 12, 4), 1u);
}

TEST_F(Stm32Link, RefusesACommandOutsideTheCatalogueAsABadCommand) {
  std::vector<uint8_t> msg;
  AsModule([&](ModuleSide& m) { msg = Decode(m.Transact(Request(6, 3, 12))); });
  std::vector<uint8_t> want = Request(6, 3, 12);
  simtest::PutLe(want, 8, uint32_t(-112), 4);
  EXPECT_EQ(msg, want);
}

// ---- Faults ---------------------------------------------------------------------------------

// The module's handshake: up to four edges, 1.5 s each, re-raised after 5 ms. Whether the
// STM32's line came up at each edge.
std::vector<bool> Handshake(ModuleSide& m) {
  std::vector<bool> seen;
  m.Signal(true);
  for (;;) {
    seen.push_back(m.WaitForStm32(1500000));
    if (seen.back() || seen.size() == 4) return seen;
    m.Signal(false);
    os_sleep_us(5000, OS_TIMEOUT_WAKEUP);
    m.Signal(true);
  }
}

// A frame as the module's reader sees it.
std::string Describe(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> msg;
  if (frame.size() < 2 || frame.back() != simtest::kEnd) return "cut short";
  if (!simtest::Unslip(frame, &msg)) return "bad escape";
  return "signature " + std::to_string(Signature(msg)) + ", result " +
         std::to_string(simtest::Result(msg));
}

struct FaultCase {
  const char* name;
  sim::Stm32Fault fault;
  std::vector<bool> line_up;        // at each of the module's edges
  std::vector<std::string> frames;  // what came back for the request with signature 5
  int32_t mode_after;               // 1 when the request took effect
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultyStm32 : public Stm32Link, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultyStm32, ShowsItsFaultOnTheWireForOneRequestOnly) {
  const FaultCase& c = GetParam();
  stm32().set_fault(c.fault, 1, -106);
  std::vector<bool> line_up;
  std::vector<std::string> frames;
  std::string next;
  AsModule([&](ModuleSide& m) {
    line_up = Handshake(m);
    m.Send(Slip(SetMode(5, 1)));
    m.Signal(false);
    for (auto f = m.ReceiveFrame(); !f.empty(); f = m.ReceiveFrame()) frames.push_back(Describe(f));
    next = Describe(m.Transact(Request(kGetMode, 7, kModeMessage)));
  });
  EXPECT_EQ(line_up, c.line_up);
  EXPECT_EQ(frames, c.frames);
  EXPECT_EQ(stm32().mode(), c.mode_after);
  EXPECT_EQ(next, "signature 7, result 0");
}

using F = sim::Stm32Fault;
constexpr const char* kRight = "signature 5, result 0";
INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultyStm32,
    ::testing::Values(FaultCase{"Silent", F::kSilent, {false, false, false, false}, {}, 2},
                      FaultCase{"Edge2", F::kAnswerOnEdge2, {false, true}, {kRight}, 1},
                      FaultCase{"Edge3", F::kAnswerOnEdge3, {false, false, true}, {kRight}, 1},
                      FaultCase{"StaleFirst", F::kStaleAnswerFirst, {true},
                                {"signature 4, result 0", kRight}, 1},
                      FaultCase{"LargerSignature", F::kLargerSignature, {true},
                                {"signature 6, result 0"}, 1},
                      FaultCase{"ErrorResult", F::kErrorResult, {true},
                                {"signature 5, result -106"}, 2},
                      FaultCase{"Corrupt", F::kCorruptFrame, {true}, {"bad escape"}, 1},
                      FaultCase{"Truncated", F::kTruncatedFrame, {true}, {"cut short"}, 1},
                      FaultCase{"NoAnswer", F::kNoAnswer, {true}, {}, 1}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(Stm32Link, FaultLastsForItsCountOfRequests) {
  stm32().set_fault(sim::Stm32Fault::kLargerSignature, 2);
  std::vector<uint32_t> signatures;
  AsModule([&](ModuleSide& m) {
    for (uint32_t sig = 1; sig <= 3; sig++)
      signatures.push_back(Signature(Decode(m.Transact(Request(kGetMode, sig, kModeMessage)))));
  });
  EXPECT_EQ(signatures, (std::vector<uint32_t>{2, 3, 3}));
}

}  // namespace
