// Joining the access point: the station's notifications, its DHCP address, the system state, the
// phone's texts and the statistics, and what resets and lost links do to it.
#include "system/net_fixture.h"

namespace {

class Join : public NetWorld {};

TEST_F(Join, TheCameraJoinsTheAccessPointAndGetsItsAddressByDhcp) {
  ASSERT_TRUE(BootAndJoin());
  std::string c = inst.console();
  EXPECT_NE(c.find("[wcm] connected to \"TimelapseNet\"; DHCP address 10.0.2.15, gateway 10.0.2.2"),
            std::string::npos);
  EXPECT_NE(c.find("\"[APP]WiFi connected to AP\""), std::string::npos);
  EXPECT_NE(c.find("isWiFiConnectedToAPActive: 1"), std::string::npos);
  EXPECT_NE(c.find("stateChange: BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL"), std::string::npos);
  EXPECT_TRUE(link.station_joined());
}

}  // namespace
