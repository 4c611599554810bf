// The Wi-Fi connection manager: the station's association with an access point, its security,
// address configuration (DHCP) and automatic reconnection, driven through a handle, one network
// profile and a notification callback. Power-save settings are recorded for the radio.
#ifndef CAMLINK_PLATFORM_WCM_H
#define CAMLINK_PLATFORM_WCM_H

#include <stdbool.h>
#include <stdint.h>

#include "os.h"

#ifdef __cplusplus
extern "C" {
#endif

// Notifications (os_msg.msg_type of a struct wcm_notify_msg).
enum wcm_notify_msg_type {
  WCM_NOTIFY_MSG_LINK_UP = 200,
  WCM_NOTIFY_MSG_LINK_DOWN = 201,
  WCM_NOTIFY_MSG_ADDRESS = 202,
  WCM_NOTIFY_MSG_DISCONNECT_DONE = 203,
  WCM_NOTIFY_MSG_CONNECTED = 204,
  WCM_NOTIFY_MSG_DEAUTH_REASON_CODES = 205,
  WCM_NOTIFY_MSG_ASSOC_STATUS_CODES = 206,
  WCM_NOTIFY_MSG_SYSTEM_CODES = 207,
};

// notify_code of WCM_NOTIFY_MSG_SYSTEM_CODES.
enum system_notify_msg_code {
  SYSTEM_NOTIFY_MSG_AP_NOT_FOUND = 1,
  SYSTEM_NOTIFY_MSG_PASSPHRASE_ERR = 2,
};

// Power-management flags of wcm_pm_config.
enum wifi_pm_flags {
  WIFI_PM_PS_POLL = 1,
  WIFI_PM_DYN_LISTEN_INT = 2,
  WIFI_PM_STA_RX_NAP = 4,
  WIFI_PM_STA_ONLY_BROADCAST = 8,
  WIFI_PM_TX_PS = 16,
  WIFI_PM_MCAST_DONT_CARE = 32,
  WIFI_PM_DTIM_ONLY = 64,
};

struct wcm_notify_msg {
  struct os_msg hdr;    // msg_type: a wcm_notify_msg_type
  int32_t notify_code;  // system, reason or status code; 0 for the others
};

struct wcm_handle;       // opaque, owned by the manager
struct network_profile;  // opaque, owned by the manager

// Called on the manager's own thread for every notification; the callee releases `msg` with
// os_msg_release.
typedef void (*wcm_notify_cb_t)(void* ctx, struct os_msg* msg);

struct wcm_status {
  int32_t rssi;  // dBm, 0 without a link
  uint8_t channel;
  uint8_t link_up;  // 1 while associated with an address
  uint8_t bssid[6];
};

struct wcm_pm_config {
  uint32_t listen_interval;
  uint32_t traffic_tmo;
  uint32_t pm_flags;
};

// The manager's handle (one per module; `config` must be NULL), or NULL on failure. The first
// call also starts the network stack.
struct wcm_handle* wcm_create(void* config);
// Disconnects, forgets the profile and gives the handle back.
void wcm_destroy(struct wcm_handle* handle);
// Sets the callback for notifications (replacing any earlier one).
void wcm_notify_enable(struct wcm_handle* handle, wcm_notify_cb_t callback, void* ctx);

// A profile for `ssid` with WPA2 `passphrase`, or an open network when `passphrase` is NULL.
// 0, or negative on failure (then *profile is NULL).
int network_profile_new_from_ssid_pw(struct network_profile** profile, const char* ssid,
                                     const char* passphrase);
// 0 when the profile can be used (SSID 1-32 characters; passphrase 8-63 characters or none).
int network_profile_validate(struct network_profile* profile);
// Makes `profile` the one to join (one at a time); negative on failure.
int wcm_add_network_profile(struct wcm_handle* handle, struct network_profile* profile);
// Forgets and frees `profile`, disconnecting first if it is the joined one; 0 or negative.
int wcm_delete_network_profile(struct wcm_handle* handle, struct network_profile* profile);
// Enabled: joins the profile's network and keeps it joined, retrying with a back-off (1, 2, 4 ...
// 32 s) after every failure or link loss; enabling again restarts the back-off. Disabled:
// disconnects (WCM_NOTIFY_MSG_DISCONNECT_DONE when it was joined). 0 or negative.
int wcm_auto_connect(struct wcm_handle* handle, bool enable);
int wcm_get_status(struct wcm_handle* handle, struct wcm_status* status);
// The station's IPv4 address in network byte order (as lwIP keeps it); 0 when it has none.
int wcm_get_ip4_addr(struct wcm_handle* handle, uint32_t* address);

// Power save. The settings are recorded and printed on the console; the radio is not modelled.
bool wcm_cloud_pm_setup(struct wcm_handle* handle);
void wcm_cloud_pm_enable(bool enable);
int wcm_arp_grat_enable(struct wcm_handle* handle, uint32_t period);
int wcm_arp_grat_disable(struct wcm_handle* handle);
int wcm_pm_config(struct wcm_handle* handle, uint32_t listen_interval, uint32_t traffic_tmo,
                  uint32_t pm_flags);
int wcm_pm_config_get(struct wcm_handle* handle, struct wcm_pm_config* config);
uint32_t wcm_pm_get_sleep_period(struct wcm_handle* handle);  // microseconds
uint32_t wcm_pm_get_dtim(struct wcm_handle* handle);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_WCM_H
