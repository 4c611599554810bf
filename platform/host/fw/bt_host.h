// The BLE host's own entry points, below the application's API: the host's thread calls them
// for a new link and for each PDU from the phone; the fuzz target drives them directly.
#ifndef CAMLINK_HOST_FW_BT_HOST_H
#define CAMLINK_HOST_FW_BT_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Opens the link on the air's descriptor `fd` and calls the connection callback.
void camhost_bt_open_link(int fd);
// Serves one ATT PDU from the phone on the open link.
void camhost_bt_receive(const uint8_t* pdu, size_t length);

#ifdef __cplusplus
}
#endif

#endif  // CAMLINK_HOST_FW_BT_HOST_H
