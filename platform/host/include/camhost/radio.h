// The radio's far side, as the platform's Wi-Fi code inside the firmware image sees it: the
// access points in range and the link behind the one it joined. The board and the link live
// outside the image and survive module resets; what the image registers here is dropped at every
// reset, so a fresh boot starts unattached.
//
// Callable from any kernel thread. Callbacks run on the link's thread (a kernel thread outside
// the firmware) and must do the least possible: hand over to a firmware thread.
#ifndef CAMHOST_RADIO_H
#define CAMHOST_RADIO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CAMHOST_RADIO_FOUND 0
#define CAMHOST_RADIO_NOT_FOUND 1
#define CAMHOST_RADIO_WRONG_PASSPHRASE 2

struct camhost_radio_ap {
  int32_t rssi;  // dBm
  uint8_t channel;
  uint8_t bssid[6];
  uint32_t join_usecs;  // how long association and the handshake take
};

// Looks for `ssid` and checks `passphrase` (NULL or "" for an open network). One of the
// CAMHOST_RADIO_* results; on CAMHOST_RADIO_FOUND and CAMHOST_RADIO_WRONG_PASSPHRASE *ap is filled.
int camhost_radio_find(const char* ssid, const char* passphrase, struct camhost_radio_ap* ap);

// A frame from the link for the station; `frame` is valid during the call only. Returns 0 when the
// station cannot take it now (its receive queue is full): the link then holds it, and the frames
// behind it, and offers it again a moment later, as the air's own retries would; nonzero when the
// station took it (or has no use for it).
typedef int (*camhost_radio_rx_fn)(void* ctx, const uint8_t* frame, size_t length);
// The joined access point vanished (up 0) or came back (up 1).
typedef void (*camhost_radio_state_fn)(void* ctx, int up);

// Joins the link of access point `ssid`: frames flow both ways until camhost_radio_leave.
// -1 when that access point is not reachable now.
int camhost_radio_join(const char* ssid, camhost_radio_rx_fn rx, camhost_radio_state_fn state,
                       void* ctx);
void camhost_radio_leave(void);
// Sends one Ethernet frame from the station; 0 when it went on the air (it may still be lost).
int camhost_radio_send(const uint8_t* frame, size_t length);
// Whether the joined access point is in range now.
int camhost_radio_up(void);

#ifdef __cplusplus
}
#endif

#endif  // CAMHOST_RADIO_H
