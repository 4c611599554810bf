// A small joined-camera world for network tests: the firmware in virtual time, a board whose
// STM32 holds the credentials of one access point, and the link behind that access point.
#ifndef CAMLINK_TESTS_SYSTEM_NET_FIXTURE_H
#define CAMLINK_TESTS_SYSTEM_NET_FIXTURE_H

#include <string>

#include "camhost/net.h"
#include "system/firmware_fixture.h"

constexpr const char* kTestSsid = "TimelapseNet";
constexpr const char* kTestPassphrase = "correct-horse-9";

inline sim::BoardConfig BoardWithCredentials(const std::string& ssid, const std::string& pass) {
  sim::BoardConfig c;
  c.stm32.ssid = ssid;
  c.stm32.password = pass;
  return c;
}

inline camhost::net::LinkOptions LinkWithAp(const std::string& ssid, const std::string& pass) {
  camhost::net::LinkOptions o;
  o.access_points.push_back({ssid, pass});
  return o;
}

class NetWorld : public ::testing::Test {
 protected:
  NetWorld(const std::string& ssid = kTestSsid, const std::string& pass = kTestPassphrase,
           camhost::net::LinkOptions link_options = LinkWithAp(kTestSsid, kTestPassphrase),
           uint64_t seed = 1)
      : inst(FirmwareOptions(seed)),
        board(BoardWithCredentials(ssid, pass)),
        link(link_options) {}

  // The same world with the firmware started as `options` say (booted from the flash, say).
  explicit NetWorld(const camhost::Options& options)
      : inst(options),
        board(BoardWithCredentials(kTestSsid, kTestPassphrase)),
        link(LinkWithAp(kTestSsid, kTestPassphrase)) {}

  void SetUp() override { ASSERT_TRUE(inst.ok()); }

  bool Logged(const std::string& text) { return inst.console().find(text) != std::string::npos; }

  // Boots and runs until the phone has been told of the join (or `max_usecs` pass).
  bool BootAndJoin(uint64_t max_usecs = 60 * kSec) {
    inst.boot();
    return RunUntilLogged("[APP]WiFi connection is established.", max_usecs);
  }

  bool RunUntilLogged(const std::string& text, uint64_t max_usecs) {
    return inst.run_until([&] { return Logged(text); }, max_usecs, 100000);
  }

  template <typename Fn>
  Fn Symbol(const char* name) {
    void* p = inst.firmware_symbol(name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<Fn>(p);
  }

  camhost::Instance inst;
  sim::Board board;
  camhost::net::Link link;
};

#endif  // CAMLINK_TESTS_SYSTEM_NET_FIXTURE_H
