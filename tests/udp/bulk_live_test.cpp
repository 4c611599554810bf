// Live view over the TCP data connection: stopped by command, asked for during a file read, and
// stopped while a frame is still on its way, with every frame whole and the end marker last.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bulk_fixture.h"
#include "camhost/bus.h"

namespace {

using camserver::Bytes;
using camserver::TcpMessage;

// A slow SPI clock: a 768x432 frame takes about a second on the wire, so any moment of a stream
// falls inside a frame.
class BulkSlowSpi : public Bulk {
 protected:
  void SetUp() override {
    Bulk::SetUp();
    camhost::spi_set_clock_hz(300000);
  }
  void TearDown() override { camhost::spi_set_clock_hz(0); }
};

// The console line index of the first line holding `text` at or after `from`, or -1.
int LineOf(const std::vector<std::string>& lines, const std::string& text, int from = 0) {
  for (int i = from; i < static_cast<int>(lines.size()); i++)
    if (lines[i].find(text) != std::string::npos) return i;
  return -1;
}

// Frames (whole JPEGs, sequence `seq`) then, if `marker`, the 12-byte end marker last.
void ExpectFramesThenMarker(const std::vector<TcpMessage>& got, uint32_t seq, bool marker) {
  ASSERT_FALSE(got.empty());
  size_t frames = marker ? got.size() - 1 : got.size();
  for (size_t i = 0; i < frames; i++) {
    EXPECT_EQ(got[i].command, camserver::kTcpLiveViewFrame) << i;
    EXPECT_EQ(got[i].sequence, seq) << i;
    EXPECT_TRUE(WholeJpeg(got[i].data))
        << "frame " << i << ": " << got[i].data.size() << " bytes, result " << got[i].result;
  }
  if (!marker) return;
  EXPECT_EQ(got.back().command, camserver::kTcpLiveViewEnd);
  EXPECT_EQ(got.back().length, 12u);
  EXPECT_EQ(got.back().sequence, seq);
}

TEST_F(Bulk, LiveViewStoppedByCommandEndsAfterTheFrameInTransferWithoutAMarker) {
  ASSERT_TRUE(OpenAndConnect());
  // Over TCP, or over UDP, where the LiveView command also opens a new data connection.
  const std::pair<const char*, std::function<void()>> stops[] = {
      {"a TCP request", [&] { AskLiveView(0); }},
      {"a UDP command", [&] {
         camserver::Bytes body(12, 0);
         camserver::put16(body, 4, server->bulk().listen_port());
         camserver::Reply r = server->command(camserver::kLiveView, body);
         EXPECT_FALSE(r.error());
         EXPECT_EQ(camserver::get16(r.bytes, 32), 0) << "status";
       }},
  };
  for (const auto& [how, stop] : stops) {
    SCOPED_TRACE(how);
    std::vector<TcpMessage> streamed, after;
    OnKernel([&] {
      uint32_t seq = AskLiveView(30);
      for (int i = 0; i < 5; i++) {
        TcpMessage m;
        if (!server->bulk().wait_message(seq, 0, &m, 10 * kSec)) break;
        streamed.push_back(m);
      }
      stop();
      for (TcpMessage& m : ServeAndTake(3 * kSec))
        if (m.sequence == seq) streamed.push_back(m);
      after = ServeAndTake(5 * kSec);
    });
    ASSERT_GE(streamed.size(), 5u) << how;
    ExpectFramesThenMarker(streamed, streamed[0].sequence, false);
    EXPECT_TRUE(after.empty()) << how << ": " << after.size() << " messages after the stop";
    EXPECT_NE(board.stm32().mode(), 1) << how << ": the camera left live view";
    EXPECT_EQ(FreeBuffersAfterAWhile(), 15u) << how;
  }
}

TEST_F(Bulk, ALiveViewCommandWhileStreamingGoesOnOnItsNewConnectionUntilItsOwnEnd) {
  ASSERT_TRUE(OpenAndConnect());
  uint32_t second = 0;
  std::vector<TcpMessage> got;
  OnKernel([&] {
    auto ask = [&](uint32_t seconds) {
      camserver::Bytes body(12, 0);
      camserver::put32(body, 0, seconds);
      camserver::put16(body, 4, server->bulk().listen_port());
      return server->command(camserver::kLiveView, body);
    };
    ask(30);
    ServeAndTake(1500000);
    second = ask(3).header.cmdSequenceNumber;
    got = ServeAndTake(10 * kSec);
  });
  std::vector<TcpMessage> tail;
  for (const TcpMessage& m : got)
    if (m.sequence == second) tail.push_back(m);
  ASSERT_GE(tail.size(), 30u) << "about 15 frames a second for 3 s; " << got.size() << " in all";
  ExpectFramesThenMarker(tail, second, true);
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, LiveViewAskedForDuringAFileReadFollowsTheWholeFile) {
  card.Write("BIG.BIN", Pattern(2000000, 31));
  ASSERT_TRUE(OpenAndConnect());
  TcpMessage file;
  bool have_file = false;
  uint32_t live = 0;
  std::vector<TcpMessage> streamed;
  OnKernel([&] {
    uint32_t seq = StartDownloadAndTakeSome(*server, "BIG.BIN");
    live = AskLiveView(2);
    have_file = server->bulk().wait_message(seq, camserver::kTcpFileContents, &file, 60 * kSec);
    for (;;) {
      TcpMessage m;
      if (!server->bulk().wait_message(live, 0, &m, 10 * kSec)) break;
      streamed.push_back(m);
      if (m.command == camserver::kTcpLiveViewEnd) break;
    }
  });
  ASSERT_TRUE(have_file);
  EXPECT_EQ(file.result, 0);
  EXPECT_TRUE(file.data == Pattern(2000000, 31));
  ASSERT_GE(streamed.size(), 2u);
  ExpectFramesThenMarker(streamed, live, true);
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, AFileReadDuringLiveViewPausesTheStreamWhichThenGoesOnToItsEnd) {
  card.Write("A.BIN", Pattern(300000, 32));
  ASSERT_TRUE(OpenAndConnect());
  uint32_t live = 0;
  Bytes got;
  int16_t result = 1;
  bool have_file = false;
  std::vector<TcpMessage> streamed;
  OnKernel([&] {
    live = AskLiveView(3);
    server->serve_until(server->waiter().now_us() + kSec);
    have_file = server->bulk().get_file("A.BIN", &got, &result, nullptr);
    for (;;) {
      TcpMessage m;
      if (!server->bulk().wait_message(live, 0, &m, 10 * kSec)) break;
      streamed.push_back(m);
      if (m.command == camserver::kTcpLiveViewEnd) break;
    }
  });
  ASSERT_TRUE(have_file);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(300000, 32));
  std::vector<std::string> asked;  // of the STM32: live view on or off, and the read
  for (const auto& r : board.stm32().requests()) {
    if (r.command == 170) asked.push_back("read");
    if (r.command == 29) asked.push_back(camserver::get32(r.message, 16) ? "live" : "stop");
  }
  EXPECT_EQ(asked, (std::vector<std::string>{"live", "stop", "read", "live", "stop"}));
  ASSERT_GE(streamed.size(), 2u);
  ExpectFramesThenMarker(streamed, live, true);
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(BulkSlowSpi, AStopDueMidFrameSendsTheEndMarkerOnlyAfterThatWholeFrame) {
  ASSERT_TRUE(OpenAndConnect());
  uint32_t seq = 0;
  std::vector<TcpMessage> got;
  OnKernel([&] {
    seq = AskLiveView(3);
    got = ServeAndTake(10 * kSec);
  });
  ASSERT_GE(got.size(), 2u);
  ExpectFramesThenMarker(got, seq, true);
  std::vector<std::string> lines = Lines(inst.console());
  int stop = LineOf(lines, "aborted live view from chlvLiveView_Poll");
  int frame_done = LineOf(lines, "SPI message success \"spiDataSrcFlag_LiveView\"", stop);
  int marker = LineOf(lines, "sent live view end", stop);
  ASSERT_GE(stop, 0);
  ASSERT_GE(frame_done, 0) << "the stop fell inside a frame";
  EXPECT_GT(marker, frame_done) << "the marker waited for that frame";
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(BulkSlowSpi, AStopAndRestartWhileAFrameIsOnTheWireStreamsOnUnderTheNewRequest) {
  ASSERT_TRUE(OpenAndConnect());
  uint32_t first = 0, second = 0;
  std::vector<TcpMessage> got;
  OnKernel([&] {
    first = AskLiveView(30);
    server->serve_until(server->waiter().now_us() + 1500000);
    AskLiveView(0);
    second = AskLiveView(4);
    got = ServeAndTake(15 * kSec);
  });
  std::vector<TcpMessage> tail;
  for (const TcpMessage& m : got)
    if (m.sequence == second) tail.push_back(m);
  ASSERT_GE(tail.size(), 2u) << got.size() << " messages in all";
  ExpectFramesThenMarker(tail, second, true);
  for (const TcpMessage& m : got) EXPECT_TRUE(m.sequence == first || m.sequence == second);
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

}  // namespace
