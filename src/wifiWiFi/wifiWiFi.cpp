// Wi-Fi station: joins the configured access point through the platform's connection manager,
// retries failed starts, reports the connection in the system state and keeps the radio in full
// power while the camera server or a TCP transfer may need it.
#include "wifiWiFi/wifiWiFi.h"

#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "lwip/dns.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"
#include "utilities/utilities.h"
#include "wcm.h"

static const uint64_t kSec = 1000000;
static const uint64_t kRetryNoCredentials = 5 * kSec;
static const uint64_t kRetryWiFiDisabled = 120 * kSec;
static const uint32_t kLongestStartBackoffSecs = 60;
static const uint64_t kUserCommandWindow = 420 * kSec;
static const uint64_t kSessionWindow = 120 * kSec;
static const uint64_t kStartingTcpWindow = 60 * kSec;

static wcm_handle* wcm_handle_p;
static network_profile* profile;
static bool wcm_WiFiIsConnectedToAP;
static systimer_t whenToRetryConnecting;
static uint32_t failedAutoconnectStartAttempts;
static bool isLowPowerModeEnabled;
static systimer_t whenToExitFullPowerMode;
static const wifiParameters_t parametersFromServer = {};
static bool dnsInitDone;

static systimer_t laterOf(systimer_t a, systimer_t b) { return a > b ? a : b; }

static void queueConnectionLevelChange(void) {
  bool queued = bleQueueStateChangeMsg(BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL);
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ",
         "BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL");
}

static void printWifiConfig(void) {
  if (!wcm_handle_p) return;
  struct wcm_pm_config pm;
  if (wcm_pm_config_get(wcm_handle_p, &pm) != 0) memset(&pm, 0, sizeof pm);
  uint32_t sleepUsecs = wcm_pm_get_sleep_period(wcm_handle_p);
  uint32_t dtim = wcm_pm_get_dtim(wcm_handle_p);
  DBGLOG("(%s) listen_interval: %d; traffic_tmo: %d; sleep_period: %d ms; dtim: %d\n",
         isLowPowerModeEnabled ? "low power" : "full power", (int)pm.listen_interval,
         (int)pm.traffic_tmo, (int)(sleepUsecs / 1000), (int)dtim);
#define YN(flag) ((pm.pm_flags & (flag)) ? "Y" : "N")
  DBGLOG("dtim_only: %s; tx_ps: %s; mcast_don't_care: %s; rx_nap: %s; only_broadcast: %s; "
         "ps_poll: %s; dli: %s\n",
         YN(WIFI_PM_DTIM_ONLY), YN(WIFI_PM_TX_PS), YN(WIFI_PM_MCAST_DONT_CARE),
         YN(WIFI_PM_STA_RX_NAP), YN(WIFI_PM_STA_ONLY_BROADCAST), YN(WIFI_PM_PS_POLL),
         YN(WIFI_PM_DYN_LISTEN_INT));
#undef YN
}

// Low power changes no radio setting: the server's low-power parameters are not applied.
static void wifiLowPowerMode_ON(void) {
  isLowPowerModeEnabled = true;
  DBGLOG_TEXT("enabled low power mode");
  printWifiConfig();
}

static void wifiLowPowerMode_OFF(void) {
  if (!isLowPowerModeEnabled) return;
  isLowPowerModeEnabled = false;
  DBGLOG_TEXT("disabled low power mode");
  if (!wcm_handle_p) return;
  wcm_cloud_pm_enable(false);
  wcm_arp_grat_enable(wcm_handle_p, 60);
  wcm_pm_config(wcm_handle_p, 0, 12, 0);
  printWifiConfig();
}

static bool setWifiConnectedToAPState(bool isConnected) {
  wcm_WiFiIsConnectedToAP = isConnected;
  bool flag = (sysstateSystemState & sysstate_WiFiConnectedToAP) != 0;
  if (flag == isConnected) return wcm_WiFiIsConnectedToAP;
  sysstate_setWiFiConnectedToAPState(isConnected);
  if (isConnected) {
    bleQueueDebugConsoleMsg("[APP]WiFi connected to AP");
    bleQueueDebugConsoleMsg("attempting to resolve the server hostname");
    srApOpen();
    srIncrementResetConsecutiveAPNotFound(false);
  } else {
    wifiLowPowerMode_OFF();
    bleQueueDebugConsoleMsg("[APP]WiFi disconnected from AP");
    wifistring_t ssid;
    if (ginfCopy_ssid(&ssid))
      bleQueueDebugConsoleMsg("attempting to connect to '%s'", ssid);
    else
      bleQueueDebugConsoleMsg("Error!! There is no valid SSID configured");
  }
  queueConnectionLevelChange();
  return wcm_WiFiIsConnectedToAP;
}

// On the connection manager's thread.
static void wcmNotifyCallback(void* ctx, os_msg* msg) {
  switch (msg->msg_type) {
    case WCM_NOTIFY_MSG_CONNECTED:
      setWifiConnectedToAPState(true);
      bleQueueDebugConsoleMsg("[APP]WiFi connection is established.");
      break;
    case WCM_NOTIFY_MSG_LINK_DOWN:
    case WCM_NOTIFY_MSG_DISCONNECT_DONE:
      setWifiConnectedToAPState(false);
      break;
    case WCM_NOTIFY_MSG_SYSTEM_CODES: {
      int32_t code = ((wcm_notify_msg*)msg)->notify_code;
      if (code == SYSTEM_NOTIFY_MSG_AP_NOT_FOUND) {
        bleQueueDebugConsoleMsg("[APP]WiFi AP not found");
        srIncrementResetConsecutiveAPNotFound(true);
      } else if (code == SYSTEM_NOTIFY_MSG_PASSPHRASE_ERR) {
        bleQueueDebugConsoleMsg("[APP]WiFi wrong passphrase");
      } else {
        bleQueueDebugConsoleMsg("[APP]WiFi unknown system code: %d", (int)code);
      }
      setWifiConnectedToAPState(false);
      break;
    }
    default:
      DBGLOG("Unknown message type %d\n", (int)msg->msg_type);
      break;
  }
  os_msg_release(msg);
}

// The profile for `ssid` (and `password`, null for an open network) with auto-connect; 0 or
// the failed step's error.
static int startWcmAutoConnect(const char* ssid, const char* password) {
  if (!wcm_handle_p) return -5;
  if (profile) {
    int rc = wcm_delete_network_profile(wcm_handle_p, profile);
    DBGLOG("ERROR!! network profile already exists; wcm_delete_network_profile returned %d\n", rc);
    profile = NULL;
  }
  wcm_notify_enable(wcm_handle_p, wcmNotifyCallback, NULL);
  int rc = network_profile_new_from_ssid_pw(&profile, ssid, password);
  if (rc < 0 || !profile) {
    DBGLOG("Error!! could not create network profile %d\n", rc);
    profile = NULL;
    return -1;
  }
  rc = network_profile_validate(profile);
  if (rc != 0) {
    DBGLOG("Error!! network profile validation failed %d\n", rc);
    return -2;  // the next start deletes the profile first
  }
  rc = wcm_add_network_profile(wcm_handle_p, profile);
  if (rc < 0) {
    DBGLOG("Error!! wcm_add_network = %d\n", rc);
    return -3;
  }
  wcm_auto_connect(wcm_handle_p, true);
  return 0;
}

void wifiStart(void) {
  wifistring_t ssid, password;
  if (!ginfCopy_ssid(&ssid) || !ginfCopy_pwd(&password)) {
    DBGLOG_TEXT("No SSID or PWD configured; will check again in 5 seconds");
    whenToRetryConnecting = os_systime64() + kRetryNoCredentials;
    return;
  }
  if (ssid[0] == '\0') {
    sysstate_setWiFiEnabledState(false);
    DBGLOG_TEXT("SSID is nothing; QVR8200 is configured not to connect to WiFi; trying again in "
                "2min");
    whenToRetryConnecting = os_systime64() + kRetryWiFiDisabled;
    return;
  }
  sysstate_setWiFiEnabledState(true);

  if (!wcm_handle_p) {
    DBGLOG_TEXT("Creating wcm_handle_p");
    wcm_handle_p = wcm_create(NULL);
    if (!wcm_handle_p) {
      DBGLOG_TEXT("ERROR!! wcm_create failed");
      return;
    }
    if (os_get_boot_arg_int("wifi.cloud_pm", 1) == 0) {
      if (wcm_cloud_pm_setup(wcm_handle_p))
        DBGLOG_TEXT("wcm_cloud_pm_setup succeeded");
      else
        DBGLOG_TEXT("ERROR!! wcm_cloud_pm_setup failed");
    }
    if (!dnsInitDone) {
      DBGLOG_TEXT("call dns_init()");
      dns_init();
      dnsInitDone = true;
    }
  }

  DBGLOG("Attempting to start autoconnect; failed attempts: %d\n",
         (int)failedAutoconnectStartAttempts);
  int rc = startWcmAutoConnect(ssid, password[0] ? password : NULL);
  if (rc == 0) {
    failedAutoconnectStartAttempts = 0;
    whenToRetryConnecting = SYSTIMER_NEVER;
    return;
  }
  DBGLOG("ERROR!! wcm startWcmAutoConnect failed with error %d\n", rc);
  uint32_t n = ++failedAutoconnectStartAttempts;
  uint32_t wait = n >= kLongestStartBackoffSecs / 2 ? kLongestStartBackoffSecs : 2 * n + 1;
  bleQueueDebugConsoleMsg("Autoconnect failed; retry #%u in %us", (unsigned)n, (unsigned)wait);
  whenToRetryConnecting = os_systime64() + wait * kSec;
}

systimer_t wifiWiFi_Poll(systimer_t /*next*/) {
  if (sysstateSystemState & sysstate_BatteryLowCutoff) return SYSTIMER_NEVER;
  if (!(sysstateSystemState & sysstate_WiFiConnectedToAP) &&
      os_systime64() >= whenToRetryConnecting)
    wifiStart();
  systimer_t t = wifiUpdateStateMachine(WIFISTATE_UPDATE_REASON_POLL, NULL);
  systimer_t wanted = t < whenToRetryConnecting ? t : whenToRetryConnecting;
  return wanted == 0 ? SYSTIMER_NEVER : wanted;
}

systimer_t wifiUpdateStateMachine(wifiStateUpdateReason_t reason, systimer_t* reasonTime) {
  bool windowReason = reason == WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD ||
                      reason == WIFISTATE_UPDATE_REASON_SESSION_CHANGE ||
                      reason == WIFISTATE_UPDATE_REASON_STARTING_TCP;
  systimer_t now = os_systime64();
  if (!(windowReason && !reasonTime)) {
    systimer_t end = 0;
    if (reasonTime) {
      if (reason == WIFISTATE_UPDATE_REASON_UI_COMMAND_RECVD) end = *reasonTime + kUserCommandWindow;
      if (reason == WIFISTATE_UPDATE_REASON_STARTING_TCP) end = *reasonTime + kStartingTcpWindow;
      if (reason == WIFISTATE_UPDATE_REASON_SESSION_CHANGE &&
          (sysstateSystemState & sysstate_WiFiSessionIsOpen))
        end = *reasonTime + kSessionWindow;
    }
    whenToExitFullPowerMode = laterOf(whenToExitFullPowerMode, end);

    uint32_t s = sysstateSystemState;
    bool idleSession = (s & sysstate_WiFiConnectedToAP) && (s & sysstate_WiFiSessionIsOpen) &&
                       !(s & sysstate_TCPConnectionIsOpen);
    if (idleSession && now >= whenToExitFullPowerMode) {
      if (!isLowPowerModeEnabled) wifiLowPowerMode_ON();
    } else {
      wifiLowPowerMode_OFF();
    }
  }
  if (isLowPowerModeEnabled || now >= whenToExitFullPowerMode) return SYSTIMER_NEVER;
  return whenToExitFullPowerMode;
}

bool wifiIsWiFiConnectedToAP(void) {
  if (!wcm_handle_p) return false;
  wcm_status status;
  if (wcm_get_status(wcm_handle_p, &status) != 0) status.link_up = 0;
  return setWifiConnectedToAPState(status.link_up != 0);
}

void wifiDisconnectAppWcmif(void) {
  if (wcm_handle_p) {
    wifiLowPowerMode_OFF();
    int rc = wcm_delete_network_profile(wcm_handle_p, profile);
    DBGLOG("wcm_delete_network_profile returned %d\n", rc);
    wcm_destroy(wcm_handle_p);
  }
  wcm_handle_p = NULL;
  profile = NULL;
  setWifiConnectedToAPState(false);
  forceCloseSession();
  whenToRetryConnecting = os_systime64();
  DBGLOG_TEXT("disconnected from AP");
  mtcWakeUpMainThread("wifiDisconnectAppWcmif");
}

bool wifiSetPowerParametersFromCameraServer(wifiParameters_t* params) {
  if (!params) return false;
  DBGLOG("Received server parameters: listen interval: %u, fullPower_arp_grat_period: %u, "
         "lowPower_arp_grat_period: %u, enableCloudMode: %u, lowPower_traffic_tmo: %u, "
         "lowPower_pm_flags: %u\n",
         (unsigned)params->lowPower_listen_interval, (unsigned)params->fullPower_arp_grat_period,
         (unsigned)params->lowPower_arp_grat_period, (unsigned)params->enableCloudMode,
         (unsigned)params->lowPower_traffic_tmo, (unsigned)params->lowPower_pm_flags);
  DBGLOG("ignoring wifi low-power request until tested in Tarvel's office\n");
  return true;
}

void wifiGetPowerParameters(wifiParameters_t* params) {
  if (params) memcpy(params, &parametersFromServer, sizeof *params);
}

void wifiGetIPAddress(ip_addr_t* address) {
  if (!address || !wcm_handle_p || !(sysstateSystemState & sysstate_WiFiConnectedToAP)) return;
  uint32_t raw = 0;
  wcm_get_ip4_addr(wcm_handle_p, &raw);
  ip_addr_set_ip4_u32(address, raw);
}

void resetSDKAutoConnectBackoff(void) {
  if (!wcm_handle_p || !profile) return;
  wcm_auto_connect(wcm_handle_p, false);
  wcm_auto_connect(wcm_handle_p, true);
  DBGLOG_TEXT("reset SDK auto connect backoff");
}

void wifiScan(void) {}
