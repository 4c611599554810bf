// The BLE air of the host port: a Unix-domain SOCK_SEQPACKET socket on which every connection is
// one BLE link and every packet one ATT PDU (opcode, then little-endian parameters). A phone that
// sends the single byte 0x00 as its first packet is scanning: while the module advertises it gets
// one packet back, the advertising report (address type, the 6-byte address little-endian, then
// the advertising data structures: flags and complete local name), and the socket is closed.
//
// The socket and the links the module accepted live here, outside the firmware image: a module
// reset closes the links (the phone sees a disconnection) and keeps the socket listening.
#ifndef CAMHOST_BLE_AIR_H
#define CAMHOST_BLE_AIR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <string>
namespace camhost {
// Listens on `path` (an old socket file there is replaced). False, with the reason on stderr,
// when it cannot.
bool ble_listen(const std::string& path);
// Writes every ATT PDU from now on to `file` as HCI ACL data over L2CAP CID 4 (pcap link type
// 201, H4 with a direction header).
bool ble_pcap(const std::string& file);
// Closes the socket, its links and the capture.
void ble_close();
}  // namespace camhost
extern "C" {
#endif

#define CAMHOST_BLE_SCAN_REQUEST 0x00

// For the firmware image's BLE host. The listening socket, or -1.
int camhost_ble_air_listen_fd(void);
// Readable after camhost_ble_air_wake; camhost_ble_air_drain empties it.
int camhost_ble_air_wake_fd(void);
void camhost_ble_air_wake(void);
void camhost_ble_air_drain(void);
// A pending connection (non-blocking), or -1. It is closed at the next module reset.
int camhost_ble_air_accept(void);
void camhost_ble_air_close(int fd);
// One packet in (non-blocking: -1 when none waits, 0 when the peer closed) or out (0 when sent).
// Packets of a link (`conn` is its connection handle) go to the capture; scans do not.
long camhost_ble_air_recv(int fd, uint16_t conn, uint8_t* buf, size_t cap);
int camhost_ble_air_send(int fd, uint16_t conn, const uint8_t* pdu, size_t length);
// Captures a PDU read before its link existed (`received` 1: from the phone).
void camhost_ble_air_capture(int received, uint16_t conn, const uint8_t* pdu, size_t length);

#ifdef __cplusplus
}
#endif

#endif  // CAMHOST_BLE_AIR_H
