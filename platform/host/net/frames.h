// What the link reads in the station's Ethernet frames: where each one may go, and the answer to
// a DNS query. Plain functions over bytes (no sockets, no NAT), so they can be fuzzed alone.
#ifndef CAMHOST_NET_FRAMES_H
#define CAMHOST_NET_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace camhost::net::frames {

constexpr uint32_t kHost = 0x0A000202;  // 10.0.2.2
constexpr uint32_t kDns = 0x0A000203;   // 10.0.2.3

enum class Verdict {
  kToNat,   // ARP, DHCP, or for the host: slirp may have it
  kDns,     // a query for the link's own DNS
  kRefuse,  // anything else: dropped, `what` names the destination
  kIgnore,  // too short or not IPv4 at all to say: dropped silently
};

struct Decision {
  Verdict verdict;
  std::string what;  // for kRefuse: "192.168.1.1", "10.0.2.3 TCP 53", "ethertype 0x86dd"
};

Decision classify(const uint8_t* frame, size_t length);

// The answer frame to a DNS query frame (one that classify() sent to kDns): an A record when
// lookup(name, &address) knows the name, no answer for another type of a known name, NXDOMAIN
// otherwise. Empty for a malformed query, which gets no answer.
std::vector<uint8_t> dns_answer(const uint8_t* frame, size_t length,
                                const std::function<bool(const std::string&, uint32_t*)>& lookup);

std::string ipv4_text(uint32_t address);

}  // namespace camhost::net::frames

#endif  // CAMHOST_NET_FRAMES_H
