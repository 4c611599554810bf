// The BLE host of the host platform, inside the firmware image as on the chip: a module reset
// restores its statics and ends its thread, so a fresh boot starts with an empty GATT database,
// off the air. The air itself (the socket, the links) is camhost/ble_air.h, outside the image.
//
// One thread ("bt") accepts links, answers scans, serves every ATT request and runs every
// callback. Indications may be sent from any thread; one is in flight at a time.
#include <string.h>

#include <atomic>

#include "bt.h"
#include "camhost/ble_air.h"
#include "camhost/runtime.h"
#include "bt_host.h"
#include "os.h"

namespace {

constexpr uint16_t kServerMtu = 247;
constexpr uint16_t kDefaultMtu = 23;
constexpr int kMaxAttributes = 128;
constexpr int kMaxServices = 8;
constexpr uint16_t kPrimaryService = 0x2800;
constexpr uint16_t kCharacteristic = 0x2803;
constexpr uint8_t kReasonRemoteUser = 0x13;
constexpr uint8_t kValueRoom = 255;

}  // namespace

// One attribute; a characteristic's handle is the attribute of its value.
struct bt_gatt_char {
  bt_uuid_t type;
  uint8_t value[32];  // a fixed value (declarations, the standard services' strings)
  uint8_t valueLength;
  bt_gatt_server_cb_t cb;  // a value served by the application
  uint16_t groupEnd;       // service declarations: the service's last handle
};

struct bt_gatt_service {
  uint16_t declaration;  // its handle
};

struct gatt_server_link {
  bool inUse;
  uint8_t handle;
};

namespace {

bt_gatt_char db[kMaxAttributes];
int dbCount;
bt_gatt_service services[kMaxServices];
int serviceCount;
gatt_server_link serverLink;

os_thread* hostThread;
os_semaphore linkLock;  // the link's descriptor against a concurrent close
os_semaphore noAir;    // never posted
gap_ops_t ops;
bt_gap_cfg_adv_t advCfg;
uint8_t ownAddress[6];
uint8_t ownAddressType;
char deviceName[32];
std::atomic<bool> discoverable;
std::atomic<bool> connectable;
std::atomic<bool> terminateRequested;
std::atomic<uint8_t> terminateReason;

int linkFd = -1;
uint16_t connHandle;
uint16_t nextConnHandle = 0x40;
uint16_t mtu = kDefaultMtu;
std::atomic<bool> indicationInFlight;
bt_gatt_indication_cb_t indicationCb;

// The value last read at offset 0, for Read Blob.
uint16_t blobHandle;
uint8_t blobValue[kValueRoom + 1];
uint16_t blobLength;

bt_uuid_t uuid16(uint16_t v) {
  bt_uuid_t u{};
  u.len = 2;
  u.uuid[0] = v;
  u.uuid[1] = v >> 8;
  return u;
}

bool isType16(const bt_uuid_t& u, uint16_t v) {
  return u.len == 2 && u.uuid[0] == (v & 0xFF) && u.uuid[1] == (v >> 8);
}

bool sameUuid(const bt_uuid_t& a, const uint8_t* p, size_t len) {
  return a.len == len && memcmp(a.uuid, p, len) == 0;
}

bt_gatt_char* addAttribute(const bt_uuid_t& type, const void* value, size_t length,
                           bt_gatt_server_cb_t cb) {
  if (dbCount >= kMaxAttributes || length > sizeof db[0].value) return nullptr;
  bt_gatt_char* a = &db[dbCount++];
  memset(a, 0, sizeof *a);
  a->type = type;
  if (value) memcpy(a->value, value, length);
  a->valueLength = static_cast<uint8_t>(length);
  a->cb = cb;
  return a;
}

uint16_t handleOf(const bt_gatt_char* a) { return static_cast<uint16_t>(a - db + 1); }

bt_gatt_char* beginService(const bt_uuid_t& uuid) {
  return addAttribute(uuid16(kPrimaryService), uuid.uuid, uuid.len, nullptr);
}

void endService(bt_gatt_char* declaration) {
  if (declaration) declaration->groupEnd = static_cast<uint16_t>(dbCount);
}

bt_gatt_char* addCharacteristic(const bt_uuid_t& uuid, uint8_t props, const void* value,
                                size_t length, bt_gatt_server_cb_t cb) {
  if (dbCount + 2 > kMaxAttributes) return nullptr;
  uint8_t decl[19];
  uint16_t valueHandle = static_cast<uint16_t>(dbCount + 2);
  decl[0] = props;
  decl[1] = valueHandle;
  decl[2] = valueHandle >> 8;
  memcpy(decl + 3, uuid.uuid, uuid.len);
  addAttribute(uuid16(kCharacteristic), decl, 3 + uuid.len, nullptr);
  return addAttribute(uuid, value, length, cb);
}

// ---- The link ---------------------------------------------------------------------------------

bool sendPdu(const uint8_t* pdu, size_t length) {
  os_sem_wait(&linkLock);
  bool ok = linkFd >= 0 && camhost_ble_air_send(linkFd, connHandle, pdu, length) == 0;
  os_sem_post(&linkLock);
  return ok;
}

void sendError(uint8_t opcode, uint16_t handle, uint8_t code) {
  uint8_t e[5] = {0x01, opcode, static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8),
                  code};
  sendPdu(e, sizeof e);
}

void closeLink(uint8_t reason) {
  os_sem_wait(&linkLock);
  int fd = linkFd;
  linkFd = -1;
  os_sem_post(&linkLock);
  if (fd < 0) return;
  camhost_ble_air_close(fd);
  indicationInFlight = false;
  indicationCb = nullptr;
  blobHandle = 0;
  bt_hci_evt_disconn_complete_t e{};
  e.handle = connHandle;
  e.reason = reason;
  if (ops.disconnected_cb) ops.disconnected_cb(&e);
}

// Reads attribute `h` (1-based) into `out`; an ATT error code.
uint8_t readAttribute(uint16_t h, uint8_t* out, uint16_t* length) {
  bt_gatt_char* a = &db[h - 1];
  if (!a->cb) {
    memcpy(out, a->value, a->valueLength);
    *length = a->valueLength;
    return 0;
  }
  uint8_t n = 0;
  bt_uuid_t type = a->type;
  uint8_t r = a->cb(BT_GATT_BEARER_LINK, &type, BT_GATT_FCN_READ, &n, 0, out);
  *length = r == 0 ? n : 0;
  return r;
}

void put16(uint8_t* p, uint16_t v) {
  p[0] = v;
  p[1] = v >> 8;
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void onFindInformation(const uint8_t* p, size_t n) {
  if (n != 5) return sendError(p[0], 0, BT_ATT_ERROR_INVALID_PDU);
  uint16_t start = get16(p + 1), end = get16(p + 3);
  if (start == 0 || start > end) return sendError(p[0], start, BT_ATT_ERROR_INVALID_HANDLE);
  uint8_t rsp[kServerMtu];
  size_t len = 2;
  uint8_t format = 0;
  for (uint32_t h = start; h <= end && h <= static_cast<uint32_t>(dbCount); h++) {
    const bt_uuid_t& t = db[h - 1].type;
    uint8_t f = t.len == 2 ? 1 : 2;
    if (format && f != format) break;
    if (len + 2 + t.len > mtu) break;
    format = f;
    put16(rsp + len, static_cast<uint16_t>(h));
    memcpy(rsp + len + 2, t.uuid, t.len);
    len += 2 + t.len;
  }
  if (!format) return sendError(p[0], start, BT_ATT_ERROR_ATTRIBUTE_NOT_FOUND);
  rsp[0] = 0x05;
  rsp[1] = format;
  sendPdu(rsp, len);
}

void onFindByTypeValue(const uint8_t* p, size_t n) {
  if (n < 7) return sendError(p[0], 0, BT_ATT_ERROR_INVALID_PDU);
  uint16_t start = get16(p + 1), end = get16(p + 3), type = get16(p + 5);
  if (start == 0 || start > end) return sendError(p[0], start, BT_ATT_ERROR_INVALID_HANDLE);
  uint8_t rsp[kServerMtu];
  size_t len = 1;
  for (uint32_t h = start; h <= end && h <= static_cast<uint32_t>(dbCount); h++) {
    bt_gatt_char* a = &db[h - 1];
    if (!isType16(a->type, type) || a->cb || a->valueLength != n - 7 ||
        memcmp(a->value, p + 7, n - 7) != 0)
      continue;
    if (len + 4 > mtu) break;
    put16(rsp + len, static_cast<uint16_t>(h));
    put16(rsp + len + 2, type == kPrimaryService ? a->groupEnd : static_cast<uint16_t>(h));
    len += 4;
  }
  if (len == 1) return sendError(p[0], start, BT_ATT_ERROR_ATTRIBUTE_NOT_FOUND);
  rsp[0] = 0x07;
  sendPdu(rsp, len);
}

void onReadByType(const uint8_t* p, size_t n, bool group) {
  if (n != 7 && n != 21) return sendError(p[0], 0, BT_ATT_ERROR_INVALID_PDU);
  uint16_t start = get16(p + 1), end = get16(p + 3);
  if (start == 0 || start > end) return sendError(p[0], start, BT_ATT_ERROR_INVALID_HANDLE);
  const uint8_t* type = p + 5;
  size_t typeLen = n - 5;
  if (group && !(typeLen == 2 && (get16(type) == kPrimaryService || get16(type) == 0x2801)))
    return sendError(p[0], start, BT_ATT_ERROR_UNSUPPORTED_GROUP_TYPE);
  uint8_t rsp[kServerMtu];
  size_t len = 2;
  size_t each = 0;
  for (uint32_t h = start; h <= end && h <= static_cast<uint32_t>(dbCount); h++) {
    bt_gatt_char* a = &db[h - 1];
    if (!sameUuid(a->type, type, typeLen)) continue;
    uint8_t value[kValueRoom + 1];
    uint16_t vlen = 0;
    uint8_t r = readAttribute(static_cast<uint16_t>(h), value, &vlen);
    if (r != 0) {
      if (each == 0) return sendError(p[0], static_cast<uint16_t>(h), r);
      break;
    }
    size_t head = group ? 4 : 2;
    size_t room = mtu - 2 - head;
    if (vlen > room) vlen = static_cast<uint16_t>(room > 253 ? 253 : room);
    size_t e = head + vlen;
    if (each && e != each) break;
    if (len + e > mtu) break;
    each = e;
    put16(rsp + len, static_cast<uint16_t>(h));
    if (group) put16(rsp + len + 2, a->groupEnd);
    memcpy(rsp + len + head, value, vlen);
    len += e;
    if (a->cb) break;  // one application value per response keeps callbacks one at a time
  }
  if (!each) return sendError(p[0], start, BT_ATT_ERROR_ATTRIBUTE_NOT_FOUND);
  rsp[0] = group ? 0x11 : 0x09;
  rsp[1] = static_cast<uint8_t>(each);
  sendPdu(rsp, len);
}

void onRead(const uint8_t* p, size_t n, bool blob) {
  if (n != (blob ? 5u : 3u)) return sendError(p[0], 0, BT_ATT_ERROR_INVALID_PDU);
  uint16_t h = get16(p + 1);
  uint16_t offset = blob ? get16(p + 3) : 0;
  if (h == 0 || h > dbCount) return sendError(p[0], h, BT_ATT_ERROR_INVALID_HANDLE);
  if (offset == 0 || blobHandle != h) {
    uint8_t r = readAttribute(h, blobValue, &blobLength);
    if (r != 0) {
      blobHandle = 0;
      return sendError(p[0], h, r);
    }
    blobHandle = h;
  }
  if (offset > blobLength) return sendError(p[0], h, BT_ATT_ERROR_INVALID_OFFSET);
  uint8_t rsp[kServerMtu];
  size_t take = blobLength - offset;
  if (take > static_cast<size_t>(mtu - 1)) take = mtu - 1;
  rsp[0] = blob ? 0x0D : 0x0B;
  memcpy(rsp + 1, blobValue + offset, take);
  sendPdu(rsp, 1 + take);
}

void onWrite(const uint8_t* p, size_t n, bool command) {
  if (n < 3) {
    if (!command) sendError(p[0], 0, BT_ATT_ERROR_INVALID_PDU);
    return;
  }
  uint16_t h = get16(p + 1);
  uint8_t r = 0;
  if (h == 0 || h > dbCount) {
    r = BT_ATT_ERROR_INVALID_HANDLE;
  } else if (!db[h - 1].cb) {
    r = BT_ATT_ERROR_WRITE_NOT_PERMITTED;
  } else if (n - 3 > kValueRoom - 1) {
    r = BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  } else {
    // One byte of room past the value, for a terminator the application may add.
    uint8_t value[kValueRoom + 1] = {};
    uint8_t length = static_cast<uint8_t>(n - 3);
    memcpy(value, p + 3, length);
    bt_uuid_t type = db[h - 1].type;
    r = db[h - 1].cb(BT_GATT_BEARER_LINK, &type, BT_GATT_FCN_WRITE, &length, 0, value);
  }
  if (command) return;
  if (r != 0) return sendError(p[0], h, r);
  uint8_t ok = 0x13;
  sendPdu(&ok, 1);
}

void onPdu(const uint8_t* p, size_t n) {
  switch (p[0]) {
    case 0x02: {  // Exchange MTU
      if (n != 3) return sendError(p[0], 0, BT_ATT_ERROR_INVALID_PDU);
      uint16_t client = get16(p + 1);
      mtu = client < kDefaultMtu ? kDefaultMtu : client > kServerMtu ? kServerMtu : client;
      uint8_t rsp[3] = {0x03, static_cast<uint8_t>(kServerMtu), kServerMtu >> 8};
      sendPdu(rsp, sizeof rsp);
      return;
    }
    case 0x04: return onFindInformation(p, n);
    case 0x06: return onFindByTypeValue(p, n);
    case 0x08: return onReadByType(p, n, false);
    case 0x0A: return onRead(p, n, false);
    case 0x0C: return onRead(p, n, true);
    case 0x10: return onReadByType(p, n, true);
    case 0x12: return onWrite(p, n, false);
    case 0x52: return onWrite(p, n, true);
    case 0x1E: {  // Handle Value Confirmation
      if (!indicationInFlight.exchange(false)) return;
      bt_gatt_indication_cb_t cb = indicationCb;
      if (cb) cb();
      return;
    }
    default:
      // Commands (bit 6) and responses are not answered; unknown requests are refused.
      if ((p[0] & 0x40) || (p[0] & 1)) return;
      sendError(p[0], 0, BT_ATT_ERROR_REQ_NOT_SUPPORTED);
  }
}

// ---- Advertising and the host's thread -------------------------------------------------------

size_t advertisingReport(uint8_t* out) {
  size_t len = 0;
  out[len++] = ownAddressType;
  memcpy(out + len, ownAddress, 6);
  len += 6;
  out[len++] = 2;  // flags: LE general discoverable, BR/EDR not supported
  out[len++] = 0x01;
  out[len++] = 0x06;
  size_t name = strlen(deviceName);
  out[len++] = static_cast<uint8_t>(name + 1);
  out[len++] = 0x09;  // complete local name
  memcpy(out + len, deviceName, name);
  return len + name;
}

// A new connection: a scan gets the advertising report; anything else opens the link while the
// host is connectable.
void onIncoming() {
  int fd = camhost_ble_air_accept();
  if (fd < 0) return;
  // The phone speaks first; give it a moment.
  uint8_t pdu[kServerMtu + 64];
  long n = camhost_ble_air_recv(fd, 0xFFFF, pdu, sizeof pdu);
  if (n < 0) {
    camhost::wait_fds(&fd, 1, os_systime64() + 1000000);
    n = camhost_ble_air_recv(fd, 0xFFFF, pdu, sizeof pdu);
  }
  if (n <= 0) return camhost_ble_air_close(fd);
  if (n == 1 && pdu[0] == CAMHOST_BLE_SCAN_REQUEST) {
    if (discoverable) {
      uint8_t report[64];
      camhost_ble_air_send(fd, 0xFFFF, report, advertisingReport(report));
    }
    return camhost_ble_air_close(fd);
  }
  if (!connectable || linkFd >= 0) return camhost_ble_air_close(fd);
  camhost_bt_open_link(fd);
  // The first packet was read before the link existed; capture it as the link's.
  camhost_ble_air_capture(1, connHandle, pdu, static_cast<size_t>(n));
  onPdu(pdu, static_cast<size_t>(n));
}

}  // namespace

extern "C" void camhost_bt_receive(const uint8_t* pdu, size_t length) {
  if (length > 0) onPdu(pdu, length);
}

extern "C" void camhost_bt_open_link(int fd) {
  // A link ends connectable advertising until the application turns it on again.
  connectable = false;
  discoverable = false;
  os_sem_wait(&linkLock);
  linkFd = fd;
  connHandle = nextConnHandle;
  nextConnHandle = static_cast<uint16_t>((nextConnHandle + 1) & 0x0EFF);
  if ((nextConnHandle & 0xFF) == 0xFF) nextConnHandle++;
  os_sem_post(&linkLock);
  mtu = kDefaultMtu;
  blobHandle = 0;
  terminateRequested = false;
  bt_hci_evt_le_conn_cmpl_t e{};
  e.handle = connHandle;
  e.role = 1;
  e.peer_address_type = bt_hci_addr_type_random;
  if (ops.connected_cb) ops.connected_cb(&e);
}

namespace {

void* hostLoop(void*) {
  for (;;) {
    if (terminateRequested.exchange(false)) closeLink(terminateReason);
    int fds[3];
    int count = 0;
    int wake = camhost_ble_air_wake_fd();
    int listen = camhost_ble_air_listen_fd();
    if (wake >= 0) fds[count++] = wake;
    if (linkFd >= 0) fds[count++] = linkFd;
    if (listen >= 0 && (discoverable || connectable) && linkFd < 0) fds[count++] = listen;
    if (listen < 0 && linkFd < 0) {
      os_sem_wait(&noAir);  // no air in this run: nothing will ever arrive
      continue;
    }
    camhost::wait_fds(fds, count, SYSTIMER_NEVER);
    camhost_ble_air_drain();
    if (linkFd >= 0) {
      uint8_t pdu[kServerMtu + 64];
      long n = camhost_ble_air_recv(linkFd, connHandle, pdu, sizeof pdu);
      if (n == 0) {
        closeLink(kReasonRemoteUser);
      } else if (n > 0) {
        onPdu(pdu, static_cast<size_t>(n));
      }
    }
    if (listen >= 0 && linkFd < 0 && (discoverable || connectable)) onIncoming();
  }
  return nullptr;
}

}  // namespace

extern "C" {

void bt_gap_init(void) {
  if (hostThread) return;
  os_sem_init(&linkLock, 1);
  os_sem_init(&noAir, 0);
  hostThread = os_create_thread("bt", hostLoop, nullptr, 6, 2048);
}

int common_server_create(const char* device_name, uint16_t appearance, const char* manufacturer) {
  strncpy(deviceName, device_name ? device_name : "", sizeof deviceName - 1);
  bt_gatt_char* gap = beginService(uuid16(0x1800));
  size_t nameLength = strlen(deviceName);
  uint8_t app[2] = {static_cast<uint8_t>(appearance), static_cast<uint8_t>(appearance >> 8)};
  if (!addCharacteristic(uuid16(0x2A00), BT_GATT_PROP_READ, deviceName, nameLength, nullptr) ||
      !addCharacteristic(uuid16(0x2A01), BT_GATT_PROP_READ, app, sizeof app, nullptr))
    return -1;
  endService(gap);
  endService(beginService(uuid16(0x1801)));
  bt_gatt_char* dis = beginService(uuid16(0x180A));
  const char* m = manufacturer ? manufacturer : "";
  if (!addCharacteristic(uuid16(0x2A29), BT_GATT_PROP_READ, m, strlen(m), nullptr)) return -1;
  endService(dis);
  return 0;
}

struct bt_gatt_service* bt_gatt_create_service_128(const uint8_t uuid[16]) {
  if (serviceCount >= kMaxServices) return nullptr;
  bt_uuid_t u{};
  u.len = 16;
  memcpy(u.uuid, uuid, 16);
  bt_gatt_char* d = beginService(u);
  if (!d) return nullptr;
  services[serviceCount].declaration = handleOf(d);
  return &services[serviceCount++];
}

struct bt_gatt_char* bt_gatt_add_char_128(struct bt_gatt_service* service, const uint8_t uuid[16],
                                          uint8_t permissions, uint8_t properties,
                                          bt_gatt_server_cb_t cb) {
  (void)permissions;  // every access reaches the callback, which refuses what it must
  if (!service || !cb) return nullptr;
  bt_uuid_t u{};
  u.len = 16;
  memcpy(u.uuid, uuid, 16);
  return addCharacteristic(u, properties, nullptr, 0, cb);
}

int bt_gatt_add_desc_16(struct bt_gatt_char* characteristic, uint16_t uuid, uint8_t permissions,
                        uint8_t properties, bt_gatt_server_cb_t cb) {
  (void)permissions;
  (void)properties;
  if (!characteristic || !cb) return -1;
  return addAttribute(uuid16(uuid), nullptr, 0, cb) ? 0 : -1;
}

int bt_gatt_add_service(struct bt_gatt_service* service) {
  if (!service) return -1;
  endService(&db[service->declaration - 1]);
  return 0;
}

int bt_gap_cfg_adv_set(const bt_gap_cfg_adv_t* cfg) {
  if (!cfg) return -1;
  advCfg = *cfg;
  return 0;
}

int bt_gap_addr_set(bt_hci_addr_type_t type, const uint8_t addr[6]) {
  ownAddressType = static_cast<uint8_t>(type);
  memcpy(ownAddress, addr, 6);
  return 0;
}

int bt_gap_discoverable_mode(int mode, bt_hci_addr_type_t, bt_hci_addr_type_t,
                             const bt_hci_addr_t*, const gap_ops_t* gops) {
  if (gops) ops = *gops;
  discoverable = mode != GAP_DISCOVERABLE_MODE_DISABLE;
  camhost_ble_air_wake();
  return 0;
}

int bt_gap_connectable_mode(int mode, bt_hci_addr_type_t, bt_hci_addr_type_t, const bt_hci_addr_t*,
                            const gap_ops_t* gops) {
  if (gops) ops = *gops;
  connectable = mode == GAP_CONNECTABLE_MODE_UNDIRECT;
  // Connectable undirected advertising is visible too.
  if (connectable) discoverable = true;
  camhost_ble_air_wake();
  return 0;
}

struct gatt_server_link* bt_gap_server_link_add(uint8_t handle) {
  serverLink.inUse = true;
  serverLink.handle = handle;
  return &serverLink;
}

void bt_gap_server_link_remove(struct gatt_server_link* link) {
  if (link) link->inUse = false;
}

int bt_gap_terminate_connection(uint8_t handle, uint8_t reason) {
  if (linkFd < 0 || (connHandle & 0xFF) != handle) return -1;
  terminateReason = reason;
  terminateRequested = true;
  camhost_ble_air_wake();
  return 0;
}

bt_att_error_t bt_gatt_indication(struct gatt_server_link* link, struct bt_gatt_char* characteristic,
                                  uint16_t length, const uint8_t* data, bt_gatt_indication_cb_t cb) {
  if (!link || !link->inUse || !characteristic || (!data && length)) return BT_ATT_ERROR_UNLIKELY_ERROR;
  if (length > mtu - 3) return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  if (indicationInFlight.exchange(true)) return BT_ATT_ERROR_UNLIKELY_ERROR;
  indicationCb = cb;
  uint8_t pdu[kServerMtu];
  pdu[0] = 0x1D;
  put16(pdu + 1, handleOf(characteristic));
  if (length) memcpy(pdu + 3, data, length);
  if (!sendPdu(pdu, 3u + length)) {
    indicationInFlight = false;
    return BT_ATT_ERROR_UNLIKELY_ERROR;
  }
  return BT_ATT_ERROR_SUCCESS;
}

}  // extern "C"
