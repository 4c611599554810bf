// The Wi-Fi connection manager of the host platform, inside the firmware image as on the chip: a
// module reset restores its statics and ends its thread, so a fresh boot starts unjoined. The
// radio's far side (access points, the link) is camhost/radio.h, outside the image.
//
// One thread ("wcm") does every join, DHCP wait, loss and back-off, and runs the notification
// callback. lwIP is touched only on lwIP's own thread, through tcpip_callback.
#include <string.h>

#include <atomic>

#include "camhost/radio.h"
#include "lwip/dhcp.h"
#include "lwip/etharp.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/tcpip.h"
#include "netif/ethernet.h"
#include "os.h"
#include "wcm.h"

struct network_profile {
  char ssid[33];
  char passphrase[64];
  bool open;
  bool inUse;
  bool valid;
};

struct wcm_handle {
  bool inUse;
  wcm_notify_cb_t callback;
  void* ctx;
  network_profile* profile;
};

enum wcmState { WCM_IDLE, WCM_WAIT_RETRY, WCM_JOINING, WCM_WAIT_ADDRESS, WCM_CONNECTED };

static const uint32_t kFirstBackoffUsecs = 1000000;
static const uint32_t kLongestBackoffUsecs = 32000000;
static const uint32_t kBeaconUsecs = 102400;  // 100 time units
static const uint32_t kDtim = 1;
static const uint16_t kMtu = 1500;
static const uint8_t kStationMac[6] = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};

static wcm_handle handle;
static network_profile profiles[2];
static struct netif station;
static bool stackStarted;
static os_thread* wcmThread;
static os_semaphore wcmWake;

// Shared with the link's thread, lwIP's thread and the callers of the API.
static std::atomic<bool> autoConnect;
static std::atomic<bool> linkLost;
static std::atomic<bool> addressReady;
static std::atomic<bool> disconnectRequested;

static wcmState state;  // the manager's thread only
static systimer_t nextStep = SYSTIMER_NEVER;
static uint32_t backoffUsecs = kFirstBackoffUsecs;
static camhost_radio_ap joinedAp;
static struct wcm_pm_config pmConfig = {1, 0, 0};
static bool cloudPm;
static uint32_t arpGratPeriod;

// ---- The station interface (lwIP's netif over the radio) --------------------------------------

static err_t stationOutput(struct netif* nif, struct pbuf* p) {
  uint8_t frame[kMtu + 18];
  if (p->tot_len > sizeof frame) return ERR_BUF;
  u16_t n = pbuf_copy_partial(p, frame, p->tot_len, 0);
  camhost_radio_send(frame, n);  // a frame the radio cannot send is lost, as on the air
  return ERR_OK;
}

static err_t stationInit(struct netif* nif) {
  nif->name[0] = 'w';
  nif->name[1] = 'l';
  nif->mtu = kMtu;
  nif->hwaddr_len = ETH_HWADDR_LEN;
  memcpy(nif->hwaddr, kStationMac, ETH_HWADDR_LEN);
  nif->flags = NETIF_FLAG_BROADCAST | NETIF_FLAG_ETHARP | NETIF_FLAG_ETHERNET;
  nif->output = etharp_output;
  nif->linkoutput = stationOutput;
  return ERR_OK;
}

// On the link's thread: a frame for the station goes to lwIP's mailbox; 0 when the receive pool
// or the mailbox is full for now, so the link offers it again.
static int stationReceive(void* ctx, const uint8_t* frame, size_t length) {
  // Before the stack is up (or in a real-time race with a reset) there is nobody to take it.
  if (length > 0xFFFF || !station.input) return 1;
  struct pbuf* p = pbuf_alloc(PBUF_RAW, (u16_t)length, PBUF_POOL);
  if (!p) return 0;
  pbuf_take(p, frame, (u16_t)length);
  if (station.input(p, &station) != ERR_OK) {
    pbuf_free(p);
    return 0;
  }
  return 1;
}

// On the link's thread: the access point vanished or came back.
static void stationRadioState(void* ctx, int up) {
  if (!up) {
    linkLost = true;
    os_sem_post(&wcmWake);
  }
}

// On lwIP's thread.
static void stationStatusChanged(struct netif* nif) {
  if (dhcp_supplied_address(nif) && !addressReady) {
    addressReady = true;
    os_sem_post(&wcmWake);
  }
}

static void stationAddWorker(void* ctx) {
  netif_add(&station, IP4_ADDR_ANY4, IP4_ADDR_ANY4, IP4_ADDR_ANY4, NULL, stationInit, tcpip_input);
  netif_set_status_callback(&station, stationStatusChanged);
  netif_set_default(&station);
  netif_set_up(&station);
  os_sem_post((os_semaphore*)ctx);
}

static void stationUpWorker(void* ctx) {
  netif_set_link_up(&station);
  dhcp_start(&station);
}

static void stationDownWorker(void* ctx) {
  dhcp_release_and_stop(&station);
  netif_set_link_down(&station);
  os_sem_post((os_semaphore*)ctx);
}

// Runs `fn` on lwIP's thread and waits for it to post the semaphore it is given.
static void runOnStack(tcpip_callback_fn fn) {
  os_semaphore done;
  os_sem_init(&done, 0);
  if (tcpip_callback(fn, &done) == ERR_OK) os_sem_wait(&done);
}

// ---- Notifications and the manager's thread -------------------------------------------------

static void notify(uint32_t type, int32_t code) {
  if (!handle.inUse || !handle.callback) return;
  struct wcm_notify_msg* m =
      (struct wcm_notify_msg*)os_msg_alloc(type, sizeof(struct wcm_notify_msg));
  if (!m) return;
  m->notify_code = code;
  handle.callback(handle.ctx, &m->hdr);
}

static void retryLater(void) {
  state = WCM_WAIT_RETRY;
  nextStep = os_systime64() + backoffUsecs;
  backoffUsecs = backoffUsecs * 2 > kLongestBackoffUsecs ? kLongestBackoffUsecs : backoffUsecs * 2;
}

// Leaves the access point: DHCP released while still on the air when `release`.
static void leave(bool release) {
  if (release) {
    runOnStack(stationDownWorker);
    camhost_radio_leave();
  } else {
    camhost_radio_leave();
    runOnStack(stationDownWorker);
  }
  addressReady = false;
}

static void tryJoin(void) {
  network_profile* p = handle.profile;
  if (!p) {
    state = WCM_IDLE;
    return;
  }
  int found = camhost_radio_find(p->ssid, p->open ? NULL : p->passphrase, &joinedAp);
  if (found == CAMHOST_RADIO_NOT_FOUND) {
    os_printf("[wcm] \"%s\" not found\n", p->ssid);
    notify(WCM_NOTIFY_MSG_SYSTEM_CODES, SYSTEM_NOTIFY_MSG_AP_NOT_FOUND);
    retryLater();
    return;
  }
  os_printf("[wcm] joining \"%s\" (channel %u, %d dBm)\n", p->ssid, joinedAp.channel,
            (int)joinedAp.rssi);
  state = WCM_JOINING;
  // The handshake takes its time, and a wrong passphrase shows only at its end.
  nextStep = os_systime64() + joinedAp.join_usecs;
}

static void finishJoin(void) {
  network_profile* p = handle.profile;
  if (!p) {
    state = WCM_IDLE;
    return;
  }
  int found = camhost_radio_find(p->ssid, p->open ? NULL : p->passphrase, &joinedAp);
  if (found == CAMHOST_RADIO_WRONG_PASSPHRASE) {
    os_printf("[wcm] \"%s\": 4-way handshake failed (wrong passphrase)\n", p->ssid);
    notify(WCM_NOTIFY_MSG_SYSTEM_CODES, SYSTEM_NOTIFY_MSG_PASSPHRASE_ERR);
    retryLater();
    return;
  }
  if (found != CAMHOST_RADIO_FOUND ||
      camhost_radio_join(p->ssid, stationReceive, stationRadioState, NULL) != 0) {
    os_printf("[wcm] \"%s\" not found\n", p->ssid);
    notify(WCM_NOTIFY_MSG_SYSTEM_CODES, SYSTEM_NOTIFY_MSG_AP_NOT_FOUND);
    retryLater();
    return;
  }
  linkLost = false;
  addressReady = false;
  notify(WCM_NOTIFY_MSG_LINK_UP, 0);
  tcpip_callback(stationUpWorker, NULL);
  state = WCM_WAIT_ADDRESS;
  nextStep = SYSTIMER_NEVER;
}

static void connected(void) {
  const ip4_addr_t* a = netif_ip4_addr(&station);
  const ip4_addr_t* gw = netif_ip4_gw(&station);
  char addr[16], gateway[16];
  ip4addr_ntoa_r(a, addr, sizeof addr);
  ip4addr_ntoa_r(gw, gateway, sizeof gateway);
  os_printf("[wcm] connected to \"%s\"; DHCP address %s, gateway %s\n", handle.profile->ssid,
            addr, gateway);
  state = WCM_CONNECTED;
  backoffUsecs = kFirstBackoffUsecs;
  notify(WCM_NOTIFY_MSG_ADDRESS, 0);
  notify(WCM_NOTIFY_MSG_CONNECTED, 0);
}

static void* wcmMain(void* arg) {
  for (;;) {
    systimer_t now = os_systime64();
    if (nextStep > now) {
      systimer_t wait = nextStep - now;
      if (nextStep == SYSTIMER_NEVER)
        os_sem_wait(&wcmWake);
      else
        os_sem_wait_timeout(&wcmWake, wait > 0x7FFFFFFF ? 0x7FFFFFFF : (uint32_t)wait);
    }
    now = os_systime64();
    bool joined = state == WCM_WAIT_ADDRESS || state == WCM_CONNECTED;
    if (disconnectRequested) {
      if (joined || state == WCM_JOINING) {
        if (joined) leave(true);
        os_printf("[wcm] disconnected\n");
        notify(WCM_NOTIFY_MSG_DISCONNECT_DONE, 0);
      }
      state = WCM_IDLE;
      nextStep = SYSTIMER_NEVER;
      disconnectRequested = false;  // the caller of wcm_auto_connect(false) waits for this
    }
    if (!autoConnect) {
      state = WCM_IDLE;
      nextStep = SYSTIMER_NEVER;
      continue;
    }
    if (linkLost && joined) {
      linkLost = false;
      leave(false);
      os_printf("[wcm] link to \"%s\" lost\n", handle.profile ? handle.profile->ssid : "");
      notify(WCM_NOTIFY_MSG_LINK_DOWN, 0);
      retryLater();
      continue;
    }
    linkLost = false;
    switch (state) {
      case WCM_IDLE:
        tryJoin();
        break;
      case WCM_WAIT_RETRY:
        if (now >= nextStep) tryJoin();
        break;
      case WCM_JOINING:
        if (now >= nextStep) finishJoin();
        break;
      case WCM_WAIT_ADDRESS:
        if (addressReady) connected();
        break;
      case WCM_CONNECTED:
        break;
    }
  }
  return NULL;
}

// ---- The API --------------------------------------------------------------------------------

extern "C" {

struct wcm_handle* wcm_create(void* config) {
  if (config != NULL || handle.inUse) return NULL;
  if (!stackStarted) {
    tcpip_init(NULL, NULL);
    runOnStack(stationAddWorker);
    os_sem_init(&wcmWake, 0);
    wcmThread = os_create_thread("wcm", wcmMain, NULL, 5, 2048);
    if (!wcmThread) return NULL;
    stackStarted = true;
  }
  memset(&handle, 0, sizeof handle);
  handle.inUse = true;
  return &handle;
}

void wcm_destroy(struct wcm_handle* h) {
  if (h != &handle || !handle.inUse) return;
  wcm_auto_connect(h, false);
  handle.callback = NULL;
  handle.profile = NULL;
  handle.inUse = false;
}

void wcm_notify_enable(struct wcm_handle* h, wcm_notify_cb_t callback, void* ctx) {
  if (h != &handle) return;
  handle.callback = callback;
  handle.ctx = ctx;
}

int network_profile_new_from_ssid_pw(struct network_profile** profile, const char* ssid,
                                     const char* passphrase) {
  if (!profile) return -1;
  *profile = NULL;
  if (!ssid) return -1;
  for (network_profile& p : profiles) {
    if (p.inUse) continue;
    memset(&p, 0, sizeof p);
    p.inUse = true;
    p.open = passphrase == NULL;
    size_t sl = strlen(ssid), pl = passphrase ? strlen(passphrase) : 0;
    p.valid = sl >= 1 && sl < sizeof p.ssid && (p.open || (pl >= 8 && pl < sizeof p.passphrase));
    strncpy(p.ssid, ssid, sizeof p.ssid - 1);
    if (passphrase) strncpy(p.passphrase, passphrase, sizeof p.passphrase - 1);
    *profile = &p;
    return 0;
  }
  return -1;
}

int network_profile_validate(struct network_profile* profile) {
  return profile && profile->inUse && profile->valid ? 0 : -1;
}

int wcm_add_network_profile(struct wcm_handle* h, struct network_profile* profile) {
  if (h != &handle || !handle.inUse || network_profile_validate(profile) != 0) return -1;
  if (handle.profile && handle.profile != profile) return -2;  // one profile at a time
  handle.profile = profile;
  return 0;
}

int wcm_delete_network_profile(struct wcm_handle* h, struct network_profile* profile) {
  if (!profile || !profile->inUse) return -1;
  if (h == &handle && handle.profile == profile) {
    wcm_auto_connect(h, false);
    handle.profile = NULL;
  }
  profile->inUse = false;
  return 0;
}

int wcm_auto_connect(struct wcm_handle* h, bool enable) {
  if (h != &handle || !handle.inUse) return -1;
  uint32_t s = os_irq_disable();
  if (enable) {
    if (!autoConnect) {
      backoffUsecs = kFirstBackoffUsecs;
      if (state == WCM_WAIT_RETRY) nextStep = 0;
    }
    autoConnect = true;
  } else {
    autoConnect = false;
    disconnectRequested = true;
  }
  os_irq_restore(s);
  os_sem_post(&wcmWake);
  if (!enable) {
    // Disconnecting finishes on the manager's thread (notification included); wait for it, as
    // the chip's call does, unless this is that thread.
    for (int i = 0; i < 100 && disconnectRequested && os_self() != wcmThread; i++)
      os_sleep_us(1000, OS_TIMEOUT_NO_WAKEUP);
  }
  return 0;
}

int wcm_get_status(struct wcm_handle* h, struct wcm_status* status) {
  if (h != &handle || !status) return -1;
  memset(status, 0, sizeof *status);
  if (state == WCM_CONNECTED && !linkLost) {
    status->link_up = 1;
    status->rssi = joinedAp.rssi;
    status->channel = joinedAp.channel;
    memcpy(status->bssid, joinedAp.bssid, sizeof status->bssid);
  }
  return 0;
}

int wcm_get_ip4_addr(struct wcm_handle* h, uint32_t* address) {
  if (h != &handle || !address) return -1;
  *address = state == WCM_CONNECTED ? ip4_addr_get_u32(netif_ip4_addr(&station)) : 0;
  return 0;
}

bool wcm_cloud_pm_setup(struct wcm_handle* h) {
  if (h != &handle) return false;
  cloudPm = true;
  os_printf("[wcm] cloud power management set up\n");
  return true;
}

void wcm_cloud_pm_enable(bool enable) {
  cloudPm = enable;
  os_printf("[wcm] cloud power management %s\n", enable ? "enabled" : "disabled");
}

int wcm_arp_grat_enable(struct wcm_handle* h, uint32_t period) {
  if (h != &handle) return -1;
  arpGratPeriod = period;
  os_printf("[wcm] gratuitous ARP every %u s\n", (unsigned)period);
  return 0;
}

int wcm_arp_grat_disable(struct wcm_handle* h) {
  if (h != &handle) return -1;
  arpGratPeriod = 0;
  os_printf("[wcm] gratuitous ARP off\n");
  return 0;
}

int wcm_pm_config(struct wcm_handle* h, uint32_t listen_interval, uint32_t traffic_tmo,
                  uint32_t pm_flags) {
  if (h != &handle) return -1;
  pmConfig.listen_interval = listen_interval;
  pmConfig.traffic_tmo = traffic_tmo;
  pmConfig.pm_flags = pm_flags;
  os_printf("[wcm] power save: listen interval %u, traffic time-out %u, flags 0x%02x\n",
            (unsigned)listen_interval, (unsigned)traffic_tmo, (unsigned)pm_flags);
  return 0;
}

int wcm_pm_config_get(struct wcm_handle* h, struct wcm_pm_config* config) {
  if (h != &handle || !config) return -1;
  *config = pmConfig;
  return 0;
}

uint32_t wcm_pm_get_sleep_period(struct wcm_handle* h) {
  uint32_t beacons = pmConfig.listen_interval ? pmConfig.listen_interval : kDtim;
  return beacons * kBeaconUsecs;
}

uint32_t wcm_pm_get_dtim(struct wcm_handle* h) { return kDtim; }

}  // extern "C"
