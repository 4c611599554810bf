// The network around the module: the board's Wi-Fi access points and the link behind them, a
// user-mode NAT (libslirp) that reaches sockets on this machine's loopback as host 10.0.2.2.
//
// The link filters every frame from the station before the NAT sees it: only 10.0.2.2 is
// forwarded (to 127.0.0.1); DNS to 10.0.2.3:53 is answered by the link itself from its host
// table; anything else is dropped and logged once per destination on stderr. Nothing the
// station sends can make this machine send to an address outside 127.0.0.0/8.
#ifndef CAMHOST_NET_H
#define CAMHOST_NET_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace camhost::net {

// The camera server's default host name; the link resolves it to 10.0.2.2 unless told otherwise.
constexpr const char* kDefaultServerHost = "camserver.camlink.test";
constexpr uint32_t kHostAddress = 0x0A000202;  // 10.0.2.2, this machine's loopback
constexpr uint32_t kDnsAddress = 0x0A000203;   // 10.0.2.3, the link's own DNS

struct AccessPoint {
  std::string ssid;
  std::string passphrase;  // empty: an open network
  uint32_t join_ms = 1200;
  int rssi = -52;
  int channel = 6;
};

struct LinkOptions {
  std::vector<AccessPoint> access_points;
  // NAME -> IPv4 address (host order), on top of the default server name -> 10.0.2.2.
  std::vector<std::pair<std::string, uint32_t>> hosts;
  std::string pcap_path;  // every frame on the link, pcap format (link type Ethernet)
  // Virtual time with peers in other processes: while the NAT holds a host socket, virtual time
  // runs no faster than the wall clock, so outside answers arrive. In-process peers leave it off.
  bool pace_outside_peers = false;
};

// Parses "a.b.c.d" into a host-order address; false when it is not one.
bool parse_ipv4(const std::string& text, uint32_t* address);
std::string ipv4_text(uint32_t address);

struct LinkState;

// The link of one instance: create it after the camhost::Instance and destroy it before.
class Link {
 public:
  explicit Link(const LinkOptions& options);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Loses every frame (both ways) while on; loses each frame with probability `fraction`
  // (seeded); holds every frame `usecs` before it arrives.
  void drop_all(bool on);
  void drop_fraction(double fraction);
  void delay(uint64_t usecs);
  // The access points vanish (the station sees its link go down) and come back.
  void cut();
  void restore();
  void set_host(const std::string& name, uint32_t address);

  // Destinations the filter refused, in the order first seen ("192.168.1.1", "10.0.2.3 TCP 53").
  std::vector<std::string> dropped_destinations() const;
  // Host sockets the NAT holds now.
  int host_sockets() const;
  uint64_t frames_from_station() const;
  uint64_t frames_to_station() const;
  bool station_joined() const;

 private:
  std::shared_ptr<LinkState> s_;
};

}  // namespace camhost::net

#endif  // CAMHOST_NET_H
