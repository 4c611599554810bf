// Joining the access point: the station's notifications, its DHCP address, the system state, the
// phone's texts and the statistics, failures and their retries, and what resets, disconnects and
// lost links do to it.
#include "system/net_fixture.h"
#include "system/net_stack.h"

namespace {

constexpr uint32_t kWiFiConnectedToAP = 0x10, kWiFiEnabled = 0x4000;

uint32_t SystemState(camhost::Instance& inst) {
  return *static_cast<uint32_t*>(inst.firmware_symbol("sysstateSystemState"));
}

// The time stamps (µs) of the log lines holding `text`.
std::vector<uint64_t> TimesOf(const std::string& console, const std::string& text) {
  std::vector<uint64_t> out;
  for (auto& l : LinesWith(console, text))
    if (l.size() > 21 && l[4] == ' ') out.push_back(Micros(l));
  return out;
}

std::vector<uint64_t> Gaps(const std::vector<uint64_t>& times) {
  std::vector<uint64_t> out;
  for (size_t i = 1; i < times.size(); i++) out.push_back(times[i] - times[i - 1]);
  return out;
}

class Join : public NetWorld {};

TEST_F(Join, TheCameraJoinsTheAccessPointAndGetsItsAddressByDhcp) {
  ASSERT_TRUE(BootAndJoin());
  std::string c = inst.console();
  EXPECT_NE(c.find("[wcm] connected to \"TimelapseNet\"; DHCP address 10.0.2.15, gateway 10.0.2.2"),
            std::string::npos);
  EXPECT_NE(c.find("(BLE-NQ) log: \"[APP]WiFi connected to AP\""), std::string::npos);
  EXPECT_NE(c.find("stateChange: BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL"), std::string::npos);
  EXPECT_EQ(SystemState(inst) & (kWiFiConnectedToAP | kWiFiEnabled),
            kWiFiConnectedToAP | kWiFiEnabled);
  EXPECT_TRUE(link.station_joined());
  ASSERT_TRUE(RunUntilLogged("#apOpen: 1,", 70 * kSec));
  EXPECT_NE(inst.console().find("#consecutiveAPNotFound: 0,"), std::string::npos);
}

TEST_F(Join, TheStationReportsItsLinkAndAddressOnlyWhileConnected) {
  auto isConnected = Symbol<bool (*)()>("_Z23wifiIsWiFiConnectedToAPv");
  auto address = Symbol<void (*)(uint32_t*)>("_Z16wifiGetIPAddressP8ip4_addr");  // IPv4 only
  inst.boot();
  bool before = true;
  uint32_t none = 0xFFFFFFFF;
  ASSERT_TRUE(inst.call([&] {
    before = isConnected();  // no handle yet
    address(&none);          // left as it was
  }));
  EXPECT_FALSE(before);
  EXPECT_EQ(none, 0xFFFFFFFFu);
  ASSERT_TRUE(RunUntilLogged("[APP]WiFi connection is established.", 60 * kSec));
  bool after = false;
  uint32_t station = 0;
  ASSERT_TRUE(inst.call([&] {
    after = isConnected();
    address(&station);
  }));
  EXPECT_TRUE(after);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&station);  // network order
  EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{10, 0, 2, 15}));
}

TEST_F(Join, AResetWhileConnectedComesBackAndJoinsAgain) {
  ASSERT_TRUE(BootAndJoin());
  inst.reset(OS_RESET_WATCHDOG);
  inst.clear_console();
  ASSERT_TRUE(RunUntilLogged("[APP]WiFi connection is established.", 60 * kSec));
  EXPECT_NE(inst.console().find("DHCP address 10.0.2.15"), std::string::npos);
  EXPECT_EQ(inst.boots(), 2);
}

TEST_F(Join, TheManagersOtherNotificationsAreLoggedAndChangeNoState) {
  ASSERT_TRUE(BootAndJoin());
  std::string c = inst.console();
  EXPECT_NE(c.find("wifi::wcmNotifyCallback() @"), std::string::npos);
  EXPECT_NE(c.find(": Unknown message type 200\n"), std::string::npos);  // link up
  EXPECT_NE(c.find(": Unknown message type 202\n"), std::string::npos);  // address
}

class JoinElsewhere : public NetWorld {
 protected:
  JoinElsewhere() : NetWorld("SomeOtherNet", kTestPassphrase) {}
};

TEST_F(JoinElsewhere, AnAccessPointNotInRangeIsCountedAndShownAndRetriedByTheManager) {
  inst.boot();
  ASSERT_TRUE(RunUntilLogged("#consecutiveAPNotFound: ", 70 * kSec));
  std::string c = inst.console();
  size_t shown = LinesWith(c, "(BLE-NQ) log: \"[APP]WiFi AP not found\"").size();
  EXPECT_GE(shown, 3u);  // the manager keeps trying, backing off
  EXPECT_NE(c.find("#consecutiveAPNotFound: " + std::to_string(shown) + ","), std::string::npos);
  EXPECT_EQ(SystemState(inst) & kWiFiConnectedToAP, 0u);
  std::vector<uint64_t> gaps = Gaps(TimesOf(c, "[APP]WiFi AP not found"));
  ASSERT_GE(gaps.size(), 3u);
  EXPECT_EQ(gaps[0], 1 * kSec);
  EXPECT_EQ(gaps[1], 2 * kSec);
  EXPECT_EQ(gaps[2], 4 * kSec);
}

class WrongPassphrase : public NetWorld {
 protected:
  WrongPassphrase() : NetWorld(kTestSsid, "not-the-passphrase") {}
};

TEST_F(WrongPassphrase, AWrongPassphraseIsShownOnThePhoneAndNeverJoins) {
  inst.boot();
  inst.run_for(30 * kSec);
  std::string c = inst.console();
  EXPECT_NE(c.find("(BLE-NQ) log: \"[APP]WiFi wrong passphrase\""), std::string::npos);
  EXPECT_EQ(c.find("[APP]WiFi connected to AP"), std::string::npos);
  EXPECT_FALSE(link.station_joined());
}

class NoSsid : public NetWorld {
 protected:
  NoSsid() : NetWorld("", "") {}
};

TEST_F(NoSsid, AnEmptySsidDisablesWiFiAndChecksAgainEvery120SecondsWithoutAHandle) {
  inst.boot();
  inst.run_for(400 * kSec);
  std::string c = inst.console();
  std::vector<uint64_t> gaps = Gaps(TimesOf(c, "SSID is nothing; QVR8200 is configured not to connect"));
  ASSERT_GE(gaps.size(), 2u);
  for (uint64_t g : gaps) EXPECT_EQ(g, 120 * kSec);
  EXPECT_EQ(c.find("Creating wcm_handle_p"), std::string::npos);
  EXPECT_EQ(SystemState(inst) & kWiFiEnabled, 0u);
}

class ShortPassword : public NetWorld {
 protected:
  ShortPassword() : NetWorld(kTestSsid, "short") {}  // a profile the manager refuses
};

TEST_F(ShortPassword, FailedStartsBackOff3_5_7AndThen60Seconds) {
  inst.boot();
  inst.run_for(1100 * kSec);
  std::string c = inst.console();
  EXPECT_NE(c.find("Error!! network profile validation failed -1\n"), std::string::npos);
  EXPECT_NE(c.find("ERROR!! wcm startWcmAutoConnect failed with error -2\n"), std::string::npos);
  // The refused profile stays registered until the next start replaces it.
  EXPECT_NE(c.find("ERROR!! network profile already exists; wcm_delete_network_profile returned 0\n"),
            std::string::npos);
  EXPECT_NE(c.find("\"Autoconnect failed; retry #1 in 3s\""), std::string::npos);
  EXPECT_NE(c.find("\"Autoconnect failed; retry #29 in 59s\""), std::string::npos);
  EXPECT_NE(c.find("\"Autoconnect failed; retry #30 in 60s\""), std::string::npos);
  std::vector<uint64_t> gaps = Gaps(TimesOf(c, "Attempting to start autoconnect"));
  ASSERT_GE(gaps.size(), 31u);
  EXPECT_EQ(gaps[0], 3 * kSec);
  EXPECT_EQ(gaps[1], 5 * kSec);
  EXPECT_EQ(gaps[2], 7 * kSec);
  EXPECT_EQ(gaps[29], 60 * kSec);
  EXPECT_EQ(gaps[30], 60 * kSec);
}

TEST_F(Join, DisconnectingTearsTheStationDownAndTheNextPollStartsFromScratch) {
  ASSERT_TRUE(BootAndJoin());
  auto disconnect = Symbol<void (*)()>("_Z22wifiDisconnectAppWcmifv");
  inst.clear_console();
  ASSERT_TRUE(inst.call([&] { disconnect(); }));
  std::string c = inst.console();
  EXPECT_NE(c.find("wcm_delete_network_profile returned 0\n"), std::string::npos);
  EXPECT_NE(c.find("(BLE-NQ) log: \"[APP]WiFi disconnected from AP\""), std::string::npos);
  EXPECT_NE(c.find("(BLE-NQ) log: \"attempting to connect to 'TimelapseNet'\""), std::string::npos);
  EXPECT_NE(c.find(": disconnected from AP\n"), std::string::npos);
  EXPECT_EQ(SystemState(inst) & kWiFiConnectedToAP, 0u);
  ASSERT_TRUE(RunUntilLogged("[APP]WiFi connection is established.", 30 * kSec));
  c = inst.console();
  EXPECT_NE(c.find("Creating wcm_handle_p"), std::string::npos);
  EXPECT_EQ(c.find("call dns_init()"), std::string::npos);  // once per boot
}

TEST_F(Join, ALostLinkIsReportedRejoinedAfterItComesBackAndLeaksNothing) {
  ASSERT_TRUE(BootAndJoin());
  inst.run_for(5 * kSec);
  netstack::PoolUse idle = netstack::Pools(inst);
  inst.clear_console();
  link.cut();
  inst.run_for(20 * kSec);
  std::string c = inst.console();
  EXPECT_NE(c.find("[wcm] link to \"TimelapseNet\" lost"), std::string::npos);
  EXPECT_NE(c.find("(BLE-NQ) log: \"[APP]WiFi disconnected from AP\""), std::string::npos);
  EXPECT_NE(c.find("(BLE-NQ) log: \"[APP]WiFi AP not found\""), std::string::npos);
  EXPECT_EQ(SystemState(inst) & kWiFiConnectedToAP, 0u);
  link.restore();
  ASSERT_TRUE(RunUntilLogged("[APP]WiFi connection is established.", 60 * kSec));
  inst.run_for(5 * kSec);
  netstack::PoolUse after = netstack::Pools(inst);
  EXPECT_TRUE(after == idle) << "idle: " << netstack::Describe(idle)
                             << "\nafter: " << netstack::Describe(after);
}

}  // namespace

namespace {

// The console of a camera that joined with `boot_args`.
std::string JoinedWith(std::vector<std::pair<std::string, std::string>> boot_args) {
  camhost::Options o = FirmwareOptions();
  o.boot_args = std::move(boot_args);
  camhost::Instance inst(o);
  sim::Board board(BoardWithCredentials(kTestSsid, kTestPassphrase));
  camhost::net::Link link(LinkWithAp(kTestSsid, kTestPassphrase));
  inst.boot();
  inst.run_until([&] { return inst.console().find("[APP]WiFi connection is established.") !=
                              std::string::npos; },
                 60 * kSec, 100000);
  return inst.console();
}

TEST(JoinCloudPm, TheCloudPmBootArgumentAt0SetsUpCloudPowerManagementAndOtherwiseNot) {
  const struct {
    std::vector<std::pair<std::string, std::string>> args;
    bool setUp;
  } kCases[] = {
      {{{"wifi.cloud_pm", "0"}}, true},
      {{{"wifi.cloud_pm", "1"}}, false},
      {{}, false},
  };
  for (const auto& k : kCases) {
    std::string c = JoinedWith(k.args);
    EXPECT_NE(c.find("[APP]WiFi connection is established."), std::string::npos);
    EXPECT_EQ(c.find("wcm_cloud_pm_setup succeeded") != std::string::npos, k.setUp)
        << (k.args.empty() ? "none" : k.args[0].second);
  }
}

}  // namespace
