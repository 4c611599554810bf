// The bulk data path when things go wrong underneath it: lwIP out of memory, the STM32 refusing
// the clean-up, cut-short SPI transfers, and tasks withdrawn from the SPI queue.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bulk_fixture.h"
#include "system/net_stack.h"

namespace {

using camserver::Bytes;

constexpr uint32_t kLiveViewMode = 0x6765706A;

TEST_F(Bulk, LwipOutOfMemoryMidDownloadEndsThatConnectionAndTheNextOneWorks) {
  card.Write("BIG.BIN", Pattern(2000000, 20));
  card.Write("A.BIN", Pattern(5000, 21));
  ASSERT_TRUE(OpenAndConnect());
  Serve(kSec);
  netstack::PoolUse idle = netstack::Pools(inst);
  netstack::PoolHog::Pools pools;
  pools.pbuf = pools.tcp_seg = true;
  netstack::PoolHog hog(inst, pools);
  int taken = 0;
  OnKernel([&] {
    StartBigDownloadAndTakeSome(*server);
    // Whatever the acknowledgements free is taken again, until a write finds nothing.
    uint64_t until = server->waiter().now_us() + 5 * kSec;
    while (server->waiter().now_us() < until && !Logged("ERROR!! ERR_MEM")) {
      taken += hog.Take();
      server->serve_until(server->waiter().now_us() + 1000);
    }
    hog.Release();
    server->serve_until(server->waiter().now_us() + 30 * kSec);
  });
  EXPECT_GT(taken, 0);
  ASSERT_TRUE(Logged("ERROR!! ERR_MEM"));
  EXPECT_EQ(FreeBuffers(), 15u) << "the connection's clean-up took every buffer back";
  ASSERT_TRUE(ReconnectsAndDownloads("A.BIN", Pattern(5000, 21)));
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
  netstack::PoolUse now = netstack::Pools(inst);
  EXPECT_EQ(now.pbuf, idle.pbuf) << netstack::Describe(now) << " against "
                                  << netstack::Describe(idle);
  EXPECT_EQ(now.tcp_seg, idle.tcp_seg);
  EXPECT_EQ(now.pbuf_pool, idle.pbuf_pool);
}

TEST_F(Bulk, NoReceiveBufferForAWhileDelaysADownloadWhichThenCompletes) {
  card.Write("BIG.BIN", Pattern(1000000, 29));
  ASSERT_TRUE(OpenAndConnect());
  netstack::PoolHog::Pools pools;
  pools.pbuf_pool = true;
  netstack::PoolHog hog(inst, pools);
  camserver::TcpMessage m;
  bool ok = false;
  int taken = 0;
  uint64_t released = 0;
  OnKernel([&] {
    uint32_t seq = StartDownloadAndTakeSome(*server, "BIG.BIN");
    taken = hog.Take();
    server->serve_until(server->waiter().now_us() + 3 * kSec);
    hog.Release();
    released = server->waiter().now_us();
    ok = server->bulk().wait_message(seq, camserver::kTcpFileContents, &m, 60 * kSec);
  });
  EXPECT_GT(taken, 0);
  std::vector<std::string> done = LinesWith(inst.console(), "completed TCP message 14");
  ASSERT_EQ(done.size(), 1u);
  EXPECT_GT(Micros(done[0]), released) << "the reply stalled while nothing could come in";
  ASSERT_TRUE(ok);
  EXPECT_EQ(m.result, 0);
  EXPECT_TRUE(m.data == Pattern(1000000, 29));
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, WithNoTcpControlBlockFreeTheConnectionIsRefusedUntilOneIs) {
  card.Write("A.BIN", Pattern(3000, 22));
  ASSERT_TRUE(Open());
  netstack::PoolHog::Pools pools;
  pools.tcp_pcb = true;
  netstack::PoolHog hog(inst, pools);
  bool first = true, second = false;
  Bytes got;
  int16_t result = 1;
  OnKernel([&] {
    hog.Take();
    first = server->bulk().connect(20 * kSec);
    hog.Release();
    second = server->bulk().connect(60 * kSec) &&
             server->bulk().get_file("A.BIN", &got, &result, nullptr);
  });
  EXPECT_FALSE(first);
  EXPECT_TRUE(Logged("ERROR!! failed to create a PCB"));
  ASSERT_TRUE(second);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(3000, 22));
}

TEST_F(Bulk, AClearSpiTheStm32RefusesLeavesStaleTransfersToTheHeaderCheck) {
  card.Write("A.BIN", Pattern(9000, 23));
  ASSERT_TRUE(OpenAndConnect());
  sim::FpgaFaults silent;
  silent.silent = true;
  board.fpga().set_faults(silent);
  board.stm32().fail_bulk_command(54, -110);
  Bytes got;
  int16_t result = 0;
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, -110);
  Serve(2 * kSec);
  EXPECT_TRUE(Logged("ERROR!! clearSpi failed for spiDataSrcFlag_ReadFileContents"));
  EXPECT_FALSE(Logged("SPI cleared successfully"));
  board.fpga().set_faults(sim::FpgaFaults{});
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(9000, 23));
  EXPECT_TRUE(Logged("Finally found valid header after 5 spi reads"))
      << "the unflushed message's five transfers are refused by their signature and flag";
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, ACutShortTransferFailsTheReadWithATemporaryErrorAndTheNextReadWorks) {
  card.Write("A.BIN", Pattern(9000, 24));
  ASSERT_TRUE(OpenAndConnect());
  sim::FpgaFaults f;
  f.short_transfers = 1;
  board.fpga().set_faults(f);
  Bytes got{1};
  int16_t result = 0;
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, -110);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(Logged("ERROR!! len != spiXferLen; len = 1024"));
  OnKernel([&] { server->bulk().get_file("A.BIN", &got, &result, nullptr); });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == Pattern(9000, 24));
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, TasksWithdrawnFromTheSpiQueueLeaveItSoItNeverOverflows) {
  card.Write("A.BIN", Pattern(5000, 25));
  card.Write("B.BIN", Pattern(7000, 26));
  ASSERT_TRUE(OpenAndConnect());
  using Callback = int (*)(uint8_t, void*, void*);
  auto queue = Symbol<bool (*)(uint32_t, void*, Callback, Callback, Callback, Callback, uint32_t,
                               uint32_t)>(
      "_Z23spi2fpgaQueueTask_tcpTX17spiSourceFlagEnumPvPF10errorCodeshPV12spiMessage_tPV9spiTask_"
      "tES9_S9_S9_jj");
  auto dequeue = Symbol<bool (*)(uint32_t)>("_Z19spi2fpgaDequeueTask17spiSourceFlagEnum");
  sim::FpgaFaults silent;
  silent.silent = true;
  board.fpga().set_faults(silent);
  int queued = 0, withdrawn = 0;
  Bytes a, b;
  int16_t ra = 1, rb = 1;
  OnKernel([&] {
    // A read whose session waits on the silent FPGA keeps the queue from draining.
    camserver::Bytes f(16, 0);
    f[0] = 'A', f[1] = '.', f[2] = 'B', f[3] = 'I', f[4] = 'N';
    uint32_t seq = server->bulk().send_request(camserver::kTcpFileContents, f);
    server->serve_until(server->waiter().now_us() + kSec);
    for (int i = 0; i < 12; i++) {
      queued += queue(kLiveViewMode, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1000 + i);
      withdrawn += dequeue(kLiveViewMode);
    }
    camserver::TcpMessage m;
    server->bulk().wait_message(seq, camserver::kTcpFileContents, &m, 90 * kSec);
    ra = m.result;
  });
  EXPECT_EQ(queued, 12);
  EXPECT_EQ(withdrawn, 12);
  EXPECT_EQ(ra, -110) << "the silent read times out";
  board.fpga().set_faults(sim::FpgaFaults{});
  OnKernel([&] {
    server->bulk().get_file("A.BIN", &a, &ra, nullptr);
    server->bulk().get_file("B.BIN", &b, &rb, nullptr);
  });
  EXPECT_EQ(ra, 0);
  EXPECT_EQ(rb, 0);
  EXPECT_TRUE(a == Pattern(5000, 25));
  EXPECT_TRUE(b == Pattern(7000, 26));
  EXPECT_EQ(CountLogged("WARNING!! currentSpiTaskOptionIndex < 0"), 0)
      << "no wake-up is left behind for a withdrawn task";
}

// A request header as the server would write it: length, command, result 0, sequence number.
Bytes Header(uint32_t length, uint16_t command, uint32_t seq, size_t size) {
  Bytes m(size, 0);
  camserver::put32(m, 0, length);
  camserver::put16(m, 4, command);
  camserver::put32(m, 8, seq);
  return m;
}

TEST_F(Bulk, MalformedRequestsAreRefusedAndAValidOneAfterThemIsServed) {
  card.Write("A.BIN", Pattern(4000, 27));
  ASSERT_TRUE(OpenAndConnect());
  struct Case {
    const char* what;
    Bytes bytes;
    bool keeps_connection;
    const char* logged;
  };
  const Case cases[] = {
      {"a length below the header", Header(8, 14, 900, 12), false,
       "ERROR!! invalid request (bad length); closing connection"},
      {"a length beyond the receive buffer", Header(5000, 14, 901, 12), false,
       "ERROR!! invalid request (bad length); closing connection"},
      {"a file read shorter than its fields", Header(16, 14, 902, 16), false,
       "ERROR!! invalid request (short request); closing connection"},
      {"an unknown command", Header(12, 99, 903, 12), true,
       "ERROR!! Unexpected TCP command ID passed to layer 1: 99"},
  };
  for (const Case& c : cases) {
    bool still = false, ok = false;
    Bytes got;
    int16_t result = 1;
    OnKernel([&] {
      ok = server->bulk().connect(60 * kSec);
      server->bulk().send_raw(c.bytes);
      server->serve_until(server->waiter().now_us() + 2 * kSec);
      still = server->bulk().connected();
      ok = ok && server->bulk().connect(60 * kSec) &&
           server->bulk().get_file("A.BIN", &got, &result, nullptr);
    });
    EXPECT_EQ(still, c.keeps_connection) << c.what;
    EXPECT_TRUE(Logged(c.logged)) << c.what;
    ASSERT_TRUE(ok) << c.what;
    EXPECT_EQ(result, 0) << c.what;
    EXPECT_TRUE(got == Pattern(4000, 27)) << c.what;
  }
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

TEST_F(Bulk, TheServerClosingDuringLiveViewLeavesNoBufferBehindAndTheNextConnectionWorks) {
  card.Write("A.BIN", Pattern(3000, 28));
  ASSERT_TRUE(OpenAndConnect());
  OnKernel([&] {
    uint32_t seq = AskLiveView(2);
    camserver::TcpMessage m;
    server->bulk().wait_message(seq, camserver::kTcpLiveViewFrame, &m, 10 * kSec);
    server->bulk().close();
    server->serve_until(server->waiter().now_us() + 10 * kSec);  // past the stop time
  });
  EXPECT_EQ(FreeBuffers(), 15u);
  ASSERT_TRUE(ReconnectsAndDownloads("A.BIN", Pattern(3000, 28)));
  EXPECT_EQ(FreeBuffersAfterAWhile(), 15u);
}

}  // namespace
