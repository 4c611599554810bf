// The link behind the access point: the server's name through the link's DNS, datagrams to a
// socket on this machine's loopback and back, the filter that keeps everything else off the host,
// the pcap file, and repeatable runs.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "system/net_fixture.h"
#include "system/net_stack.h"

namespace {

using camhost::net::kDefaultServerHost;

// A UDP echo peer on 127.0.0.1 (port 0: the system picks one), on a kernel thread outside the
// firmware, waiting for its socket through the kernel so virtual time never passes its traffic.
// With `copies` above 1 it answers each datagram with that many, numbered: "echo:<text>:<n>".
class LoopbackEcho {
 public:
  explicit LoopbackEcho(camhost::Instance& inst, int copies = 1) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    int fd = fd_;
    inst.spawn("echo", 4, [fd, copies] {
      for (;;) {
        camhost::wait_fds(&fd, 1, ~uint64_t(0));
        char buf[1500];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n <= 0) continue;
        std::string reply = "echo:" + std::string(buf, static_cast<size_t>(n));
        for (int i = 0; i < copies; i++) {
          std::string r = copies > 1 ? reply + ":" + std::to_string(i) : reply;
          sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
        }
      }
    });
  }
  ~LoopbackEcho() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
};

class Link : public NetWorld {};

TEST_F(Link, TheDefaultServerNameResolvesThroughTheLinksDnsToTheHost) {
  ASSERT_TRUE(BootAndJoin());
  EXPECT_EQ(netstack::Resolve(inst, kDefaultServerHost, 10 * kSec), 0x0A000202);
}

TEST_F(Link, AnUnknownNameIsAnsweredWithNoSuchName) {
  ASSERT_TRUE(BootAndJoin());
  EXPECT_EQ(netstack::Resolve(inst, "nowhere.camlink.test", 10 * kSec), 0);
}

TEST_F(Link, AServerHostEntryOverridesTheDefaultAddress) {
  link.set_host(kDefaultServerHost, 0x0A000299);
  ASSERT_TRUE(BootAndJoin());
  EXPECT_EQ(netstack::Resolve(inst, kDefaultServerHost, 10 * kSec), 0x0A000299);
}

TEST_F(Link, ADatagramToTheHostReachesALoopbackSocketAndItsAnswerComesBack) {
  LoopbackEcho echo(inst);
  ASSERT_TRUE(BootAndJoin());
  int64_t server = netstack::Resolve(inst, kDefaultServerHost, 10 * kSec);
  ASSERT_EQ(server, 0x0A000202);
  netstack::UdpEndpoint udp(inst, 46103);
  ASSERT_TRUE(udp.SendTo(static_cast<uint32_t>(server), echo.port(), "hello"));
  ASSERT_TRUE(inst.run_until([&] { return !udp.Received().empty(); }, 5 * kSec, 1000));
  EXPECT_EQ(udp.Received()[0], "echo:hello");
  EXPECT_TRUE(link.dropped_destinations().empty());
}

TEST_F(Link, ADelayHoldsEveryFrameAndDropAllLosesThem) {
  LoopbackEcho echo(inst);
  ASSERT_TRUE(BootAndJoin());
  netstack::UdpEndpoint udp(inst, 46103);
  ASSERT_TRUE(udp.SendTo(camhost::net::kHostAddress, echo.port(), "warm"));  // ARP, host socket
  ASSERT_TRUE(inst.run_until([&] { return udp.Received().size() == 1; }, 5 * kSec, 1000));

  link.delay(40000);
  uint64_t sent = inst.now();
  ASSERT_TRUE(udp.SendTo(camhost::net::kHostAddress, echo.port(), "slow"));
  ASSERT_TRUE(inst.run_until([&] { return udp.Received().size() == 2; }, 5 * kSec, 1000));
  EXPECT_GE(inst.now() - sent, 80000u);  // 40 ms each way
  EXPECT_LT(inst.now() - sent, 90000u);

  link.delay(0);
  link.drop_all(true);
  ASSERT_TRUE(udp.SendTo(camhost::net::kHostAddress, echo.port(), "lost"));
  inst.run_for(2 * kSec);
  EXPECT_EQ(udp.Received().size(), 2u);
  link.drop_all(false);
  ASSERT_TRUE(udp.SendTo(camhost::net::kHostAddress, echo.port(), "back"));
  ASSERT_TRUE(inst.run_until([&] { return udp.Received().size() == 3; }, 5 * kSec, 1000));
}

// The station takes a few frames at a time (lwIP's input mailbox and receive pool); a burst beyond
// that waits on the link, as the air's retries would hold it, rather than being lost.
TEST_F(Link, ABurstLargerThanTheStationsReceiveQueueArrivesWholeAndInOrder) {
  constexpr int kBurst = 40;
  LoopbackEcho echo(inst, kBurst);
  ASSERT_TRUE(BootAndJoin());
  netstack::UdpEndpoint udp(inst, 46103);
  ASSERT_TRUE(udp.SendTo(camhost::net::kHostAddress, echo.port(), "burst"));
  inst.run_until([&] { return udp.Received().size() == kBurst; }, 5 * kSec, 1000);
  std::vector<std::string> want;
  for (int i = 0; i < kBurst; i++) want.push_back("echo:burst:" + std::to_string(i));
  EXPECT_EQ(udp.Received(), want);
}

// Which of 40 datagrams come back with half the frames lost, for one seed.
std::vector<std::string> SurvivorsWithHalfLost(uint64_t seed) {
  camhost::Instance inst(FirmwareOptions(seed));
  sim::Board board(BoardWithCredentials(kTestSsid, kTestPassphrase));
  camhost::net::Link link(LinkWithAp(kTestSsid, kTestPassphrase));
  LoopbackEcho echo(inst);
  inst.boot();
  inst.run_until([&] { return inst.console().find("[APP]WiFi connection is established.") !=
                              std::string::npos; }, 60 * kSec, 100000);
  netstack::UdpEndpoint udp(inst, 46103);
  udp.SendTo(camhost::net::kHostAddress, echo.port(), "warm");
  inst.run_for(1 * kSec);
  link.drop_fraction(0.5);
  for (int i = 0; i < 40; i++) {
    udp.SendTo(camhost::net::kHostAddress, echo.port(), std::to_string(i));
    inst.run_for(100000);
  }
  return udp.Received();
}

TEST(LinkLoss, AFractionOfFramesIsLostTheSameWayForTheSameSeed) {
  std::vector<std::string> first = SurvivorsWithHalfLost(3);
  EXPECT_GT(first.size(), 3u);   // the warm-up and some of the 40
  EXPECT_LT(first.size(), 35u);  // about a quarter make the round trip
  EXPECT_EQ(first, SurvivorsWithHalfLost(3));
}

TEST_F(Link, DatagramsToAnyOtherAddressAreDroppedAndLoggedOnceWithoutAHostSocket) {
  ASSERT_TRUE(BootAndJoin());
  netstack::UdpEndpoint udp(inst, 46103);
  const uint32_t kElsewhere[] = {0x0A000001, 0xC0A80101, 0x08080808};  // 10.0.0.1, 192.168.1.1, 8.8.8.8
  for (int round = 0; round < 2; round++)
    for (uint32_t a : kElsewhere) ASSERT_TRUE(udp.SendTo(a, 9, "x"));
  // The DNS server's address takes DNS only.
  ASSERT_TRUE(udp.SendTo(0x0A000203, 9, "x"));
  inst.run_for(2 * kSec);
  EXPECT_EQ(link.dropped_destinations(),
            (std::vector<std::string>{"10.0.0.1", "192.168.1.1", "8.8.8.8", "10.0.2.3 UDP 9"}));
  EXPECT_EQ(link.host_sockets(), 0);
  EXPECT_TRUE(udp.Received().empty());
}

// A peer in another process stands for itself here: a plain thread the kernel knows nothing of,
// answering on the wall clock.
class OutsideEcho {
 public:
  OutsideEcho() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    timeval tv{0, 20000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    t_ = std::thread([this] {
      char buf[1500];
      while (!stop_) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n > 0) sendto(fd_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), flen);
      }
    });
  }
  ~OutsideEcho() {
    stop_ = true;
    t_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread t_;
};

class OutsidePeer : public NetWorld {
 protected:
  static camhost::net::LinkOptions Paced() {
    auto o = LinkWithAp(kTestSsid, kTestPassphrase);
    o.pace_outside_peers = true;
    return o;
  }
  OutsidePeer() : NetWorld(kTestSsid, kTestPassphrase, Paced()) {}
};

TEST_F(OutsidePeer, AnOutsidePeersAnswerArrivesInVirtualTimeWhileTheLinkPaces) {
  OutsideEcho echo;
  ASSERT_TRUE(BootAndJoin());
  netstack::UdpEndpoint udp(inst, 46103);
  ASSERT_TRUE(udp.SendTo(camhost::net::kHostAddress, echo.port(), "hi"));
  // Paced, virtual time runs no faster than the wall clock: the answer comes within
  // milliseconds; the bound is generous for a loaded machine.
  EXPECT_TRUE(inst.run_until([&] { return !udp.Received().empty(); }, 60 * kSec, 1000));
}

TEST(LinkPcap, TheLinksPcapFileIsReadByTsharkAndShowsTheDhcpExchange) {
  std::string dir = ::testing::TempDir();
  std::string pcap = dir + "/camlink-net-" + std::to_string(getpid()) + ".pcap";
  {
    camhost::Instance inst(FirmwareOptions());
    sim::Board board(BoardWithCredentials(kTestSsid, kTestPassphrase));
    camhost::net::LinkOptions o = LinkWithAp(kTestSsid, kTestPassphrase);
    o.pcap_path = pcap;
    camhost::net::Link link(o);
    inst.boot();
    inst.run_for(10 * kSec);
  }
  if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  std::string cmd = "tshark -r " + pcap + " -Y dhcp 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(pclose(p), 0);
  std::filesystem::remove(pcap);
  EXPECT_NE(out.find("DHCP Discover"), std::string::npos) << out;
  EXPECT_NE(out.find("DHCP ACK"), std::string::npos) << out;
}

// Thirty simulated minutes of a joined, idle camera, run twice.
std::string IdleJoinedConsole() {
  camhost::Instance inst(FirmwareOptions(7));
  sim::Board board(BoardWithCredentials(kTestSsid, kTestPassphrase));
  camhost::net::Link link(LinkWithAp(kTestSsid, kTestPassphrase));
  inst.boot();
  inst.run_for(1800 * kSec);
  return inst.console() + "\ntrace " + std::to_string(inst.trace_hash());
}

TEST(LinkReplay, ThirtyMinutesOfAJoinedIdleCameraGiveTheSameConsoleTwice) {
  std::string first = IdleJoinedConsole();
  EXPECT_NE(first.find("[APP]WiFi connection is established."), std::string::npos);
  EXPECT_EQ(first, IdleJoinedConsole());
}

}  // namespace
