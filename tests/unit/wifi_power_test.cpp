// The radio's power state: full-power windows after user commands, new sessions and TCP starts,
// low power only for an idle session, and the server's power parameters.
#include <string>
#include <vector>

#include "board_fixture.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "wifiWiFi/wifiWiFi.h"

namespace {

constexpr uint64_t kSec = 1000000;

class WifiPower : public OnBoard {
 protected:
  systimer_t update(wifiStateUpdateReason_t reason, uint64_t at) {
    systimer_t out = 0, t = at;
    inKernel([&] { out = wifiUpdateStateMachine(reason, &t); });
    return out;
  }
  systimer_t poll() {
    systimer_t out = 0;
    inKernel([&] { out = wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_POLL, nullptr); });
    return out;
  }
  void runTo(uint64_t usecs) { inst.run_for(usecs - inst.now()); }
  // Connected with a session open: the state in which low power is allowed.
  void idleSession() {
    inKernel([] {
      sysstate_setWiFiConnectedToAPState(true);
      sysstate_setWiFiSessionOpenState(true);
    });
  }
};

TEST_F(WifiPower, EachReasonOpensItsFullPowerWindow) {
  idleSession();  // the session opened now: a 120 s window
  const struct {
    wifiStateUpdateReason_t reason;
    uint64_t window;  // 0: none
  } kReasons[] = {
      {WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD, 420 * kSec},
      {WIFISTATE_UPDATE_REASON_SESSION_CHANGE, 120 * kSec},
      {WIFISTATE_UPDATE_REASON_STARTING_TCP, 60 * kSec},
      {WIFISTATE_UPDATE_REASON_POLL, 0},
      {WIFISTATE_UPDATE_REASON_TCP_CLOSED, 0},
  };
  uint64_t at = 1000 * kSec;  // every earlier window has ended
  for (const auto& r : kReasons) {
    SCOPED_TRACE(r.reason);
    runTo(at);
    EXPECT_EQ(update(r.reason, at), r.window ? at + r.window : SYSTIMER_NEVER);
    at += 1000 * kSec;
  }
}

TEST_F(WifiPower, WindowsNeverShrink) {
  runTo(100 * kSec);
  EXPECT_EQ(update(WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD, 100 * kSec), 520 * kSec);
  runTo(110 * kSec);
  idleSession();  // 110 + 120 s would end sooner
  EXPECT_EQ(poll(), 520 * kSec);
  EXPECT_EQ(update(WIFISTATE_UPDATE_REASON_STARTING_TCP, 110 * kSec), 520 * kSec);
}

TEST_F(WifiPower, AnIdleSessionGoesToLowPowerWhenItsWindowEndsAndBackOnActivity) {
  runTo(10 * kSec);
  idleSession();
  runTo(129 * kSec);
  EXPECT_EQ(poll(), 130 * kSec);
  EXPECT_EQ(logged("enabled low power mode"), 0);
  runTo(130 * kSec);
  EXPECT_EQ(poll(), SYSTIMER_NEVER);
  EXPECT_EQ(logged("enabled low power mode"), 1);
  EXPECT_EQ(update(WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD, 130 * kSec), 550 * kSec);
  EXPECT_EQ(logged("disabled low power mode"), 1);
}

TEST_F(WifiPower, AnOpenTcpConnectionNeverAllowsLowPower) {
  idleSession();
  inKernel([] { sysstate_setTCPConnectionOpenState(true); });
  runTo(3600 * kSec);
  EXPECT_EQ(poll(), SYSTIMER_NEVER);
  EXPECT_EQ(logged("enabled low power mode"), 0);
}

TEST_F(WifiPower, ServerParametersAreLoggedAndIgnoredAndReadBackAsZeros) {
  wifiParameters_t set = {};
  set.lowPower_listen_interval = 5;
  set.fullPower_arp_grat_period = 60;
  set.lowPower_pm_flags = 3;
  wifiParameters_t got;
  memset(&got, 0xFF, sizeof got);
  bool accepted = false, nullAccepted = true;
  inKernel([&] {
    accepted = wifiSetPowerParametersFromCameraServer(&set);
    nullAccepted = wifiSetPowerParametersFromCameraServer(nullptr);
    wifiGetPowerParameters(&got);
  });
  EXPECT_TRUE(accepted);
  EXPECT_FALSE(nullAccepted);
  EXPECT_EQ(logged("Received server parameters: listen interval: 5, fullPower_arp_grat_period: 60, "
                   "lowPower_arp_grat_period: 0, enableCloudMode: 0, lowPower_traffic_tmo: 0, "
                   "lowPower_pm_flags: 3"),
            1);
  EXPECT_EQ(logged("ignoring wifi low-power request until tested in Tarvel's office"), 1);
  const wifiParameters_t zero = {};
  EXPECT_EQ(memcmp(&got, &zero, sizeof got), 0);
}

}  // namespace
