// The BLE host: GAP (advertising, one connection at a time) and a GATT server whose attributes
// are served by the application's callbacks. Every callback (GATT reads and writes, connection,
// disconnection, indication confirmations) runs on the host's own thread ("bt").
#ifndef CAMLINK_PLATFORM_BT_H
#define CAMLINK_PLATFORM_BT_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ATT error codes; 0 is success. A callback's nonzero result goes to the peer as an ATT Error
// Response with that code.
typedef enum {
  BT_ATT_ERROR_SUCCESS = 0,
  BT_ATT_ERROR_INVALID_HANDLE = 1,
  BT_ATT_ERROR_READ_NOT_PERMITTED = 2,
  BT_ATT_ERROR_WRITE_NOT_PERMITTED = 3,
  BT_ATT_ERROR_INVALID_PDU = 4,
  BT_ATT_ERROR_REQ_NOT_SUPPORTED = 6,
  BT_ATT_ERROR_INVALID_OFFSET = 7,
  BT_ATT_ERROR_ATTRIBUTE_NOT_FOUND = 10,
  BT_ATT_ERROR_ATTRIBUTE_NOT_LONG = 11,
  BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH = 13,
  BT_ATT_ERROR_UNLIKELY_ERROR = 14,
  BT_ATT_ERROR_UNSUPPORTED_GROUP_TYPE = 16,
  BT_ATT_ERROR_APPLICATION_ERROR = 128,
} bt_att_error_t;

typedef enum { BT_GATT_FCN_READ = 0, BT_GATT_FCN_WRITE = 1 } bt_gatt_fcn_t;

// A 16- or 128-bit UUID; `uuid` holds the value little-endian (a 16-bit one in its first two bytes).
typedef struct {
  uint8_t len;  // 2 or 16
  uint8_t uuid[16];
} bt_uuid_t;

// The bearer of the host's own link; the application keeps 0xFF for reads of its own.
#define BT_GATT_BEARER_LINK 0

// A GATT server callback. Read: fill `data` (room for 255 bytes) and set *length. Write: *length
// bytes are in `data`, which has room for one more. `offset` is 0 (long values are served by the
// host from the value read at offset 0).
typedef bt_att_error_t (*bt_gatt_server_cb_t)(uint8_t bearer, bt_uuid_t* uuid, bt_gatt_fcn_t rw,
                                              uint8_t* length, uint16_t offset, uint8_t* data);

// Permission mask of an attribute (the host passes every access to the callback whatever it says;
// the callback answers its own refusals).
#define BT_GATT_PERM_READ 1
#define BT_GATT_PERM_WRITE 2

// Characteristic properties.
#define BT_GATT_PROP_READ 0x02
#define BT_GATT_PROP_WRITE_NO_RSP 0x04
#define BT_GATT_PROP_WRITE 0x08
#define BT_GATT_PROP_NOTIFY 0x10
#define BT_GATT_PROP_INDICATE 0x20

typedef enum { bt_hci_addr_type_public = 0, bt_hci_addr_type_random = 1 } bt_hci_addr_type_t;

typedef struct {
  uint8_t addr[6];  // little-endian, as on the air
} bt_hci_addr_t;

typedef enum {
  GAP_DISCOVERABLE_MODE_DISABLE = 0,
  GAP_DISCOVERABLE_MODE_NON = 1,
  GAP_DISCOVERABLE_MODE_LIMITED = 2,
  GAP_DISCOVERABLE_MODE_GENERAL = 3,
} bt_gap_discoverable_mode_t;

typedef enum {
  GAP_CONNECTABLE_MODE_DISABLE = 0,
  GAP_CONNECTABLE_MODE_NON = 1,
  GAP_CONNECTABLE_MODE_UNDIRECT = 2,
} bt_gap_connectable_mode_t;

// Advertising parameters: periods in 10 ms units (0: no end), intervals in 0.625 ms units,
// tx power in dBm, channel map bits 0-2 for channels 37-39.
typedef struct {
  uint16_t fast_period;
  uint16_t slow_period;
  uint16_t fast_interval;
  uint16_t slow_interval;
  int8_t tx_power;
  uint8_t channel_map;
} bt_gap_cfg_adv_t;

typedef struct {
  uint8_t status;   // 0
  uint16_t handle;  // the connection handle; its low byte is never 0xFF
  uint8_t role;     // 1: the host is the peripheral
  uint8_t peer_address_type;
  bt_hci_addr_t peer_address;
} bt_hci_evt_le_conn_cmpl_t;

typedef struct {
  uint8_t status;
  uint16_t handle;
  uint8_t reason;
} bt_hci_evt_disconn_complete_t;

typedef struct {
  void (*connected_cb)(bt_hci_evt_le_conn_cmpl_t* event);
  void (*disconnected_cb)(bt_hci_evt_disconn_complete_t* event);
  void (*discovery_cb)(void* report);  // unused by a peripheral; may be null
} gap_ops_t;

struct gatt_server_link;  // opaque, owned by the host
struct bt_gatt_service;   // opaque, owned by the host
struct bt_gatt_char;      // opaque, owned by the host

typedef void (*bt_gatt_indication_cb_t)(void);  // the peer confirmed the indication

void bt_gap_init(void);
// Registers the Generic Access (Device Name, Appearance), Generic Attribute and Device
// Information (Manufacturer Name String) services. 0 on success.
int common_server_create(const char* device_name, uint16_t appearance, const char* manufacturer);
struct bt_gatt_service* bt_gatt_create_service_128(const uint8_t uuid[16]);
// Characteristics and descriptors take handles in the order they are added.
struct bt_gatt_char* bt_gatt_add_char_128(struct bt_gatt_service* service, const uint8_t uuid[16],
                                          uint8_t permissions, uint8_t properties,
                                          bt_gatt_server_cb_t cb);
int bt_gatt_add_desc_16(struct bt_gatt_char* characteristic, uint16_t uuid, uint8_t permissions,
                        uint8_t properties, bt_gatt_server_cb_t cb);
int bt_gatt_add_service(struct bt_gatt_service* service);

int bt_gap_cfg_adv_set(const bt_gap_cfg_adv_t* cfg);
int bt_gap_addr_set(bt_hci_addr_type_t type, const uint8_t addr[6]);
int bt_gap_discoverable_mode(int mode, bt_hci_addr_type_t own_type, bt_hci_addr_type_t peer_type,
                             const bt_hci_addr_t* peer, const gap_ops_t* ops);
int bt_gap_connectable_mode(int mode, bt_hci_addr_type_t own_type, bt_hci_addr_type_t peer_type,
                            const bt_hci_addr_t* peer, const gap_ops_t* ops);
struct gatt_server_link* bt_gap_server_link_add(uint8_t handle);
void bt_gap_server_link_remove(struct gatt_server_link* link);
// Drops the link; its disconnection callback follows on the host's thread.
int bt_gap_terminate_connection(uint8_t handle, uint8_t reason);
// Sends one indication (one in flight at a time); 0 when it went out, else an ATT error.
bt_att_error_t bt_gatt_indication(struct gatt_server_link* link, struct bt_gatt_char* characteristic,
                                  uint16_t length, const uint8_t* data, bt_gatt_indication_cb_t cb);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_PLATFORM_BT_H
