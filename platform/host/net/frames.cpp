// The link's reading of the station's frames: the filter's verdict and the DNS answers.
#include "frames.h"

#include <cstdio>
#include <cstring>

namespace camhost::net::frames {

namespace {

constexpr size_t kEth = 14;
constexpr uint16_t kEtherIPv4 = 0x0800, kEtherArp = 0x0806;
constexpr uint8_t kProtoIcmp = 1, kProtoTcp = 6, kProtoUdp = 17;
constexpr uint32_t kBroadcast = 0xFFFFFFFF;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v));
}

uint32_t sum16(const uint8_t* p, size_t n, uint32_t acc = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) acc += get16(p + i);
  if (n & 1) acc += uint32_t(p[n - 1]) << 8;
  return acc;
}
uint16_t fold(uint32_t acc) {
  while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
  return static_cast<uint16_t>(~acc);
}

}  // namespace

std::string ipv4_text(uint32_t a) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
  return buf;
}

Decision classify(const uint8_t* f, size_t n) {
  if (n < kEth) return {Verdict::kIgnore, ""};
  uint16_t type = get16(f + 12);
  if (type == kEtherArp) return {Verdict::kToNat, ""};
  if (type != kEtherIPv4) {
    char what[32];
    snprintf(what, sizeof what, "ethertype 0x%04x", type);
    return {Verdict::kRefuse, what};
  }
  if (n < kEth + 20 || (f[kEth] >> 4) != 4) return {Verdict::kIgnore, ""};
  size_t ihl = (f[kEth] & 0x0F) * 4u;
  if (ihl < 20 || n < kEth + ihl) return {Verdict::kIgnore, ""};
  uint8_t proto = f[kEth + 9];
  uint32_t dst = get32(f + kEth + 16);
  bool first_fragment = (get16(f + kEth + 6) & 0x1FFF) == 0;
  bool has_ports = (proto == kProtoUdp || proto == kProtoTcp) && first_fragment &&
                   n >= kEth + ihl + 4;
  uint16_t dport = has_ports ? get16(f + kEth + ihl + 2) : 0;
  if (dst == kHost || (dst == kBroadcast && proto == kProtoUdp && dport == 67))
    return {Verdict::kToNat, ""};
  if (dst == kDns && proto == kProtoUdp && dport == 53) return {Verdict::kDns, ""};
  std::string what = ipv4_text(dst);
  if (dst == kDns) {
    const char* p = proto == kProtoUdp ? "UDP" : proto == kProtoTcp ? "TCP"
                    : proto == kProtoIcmp ? "ICMP" : "IP";
    what += std::string(" ") + p;
    if (has_ports) what += " " + std::to_string(dport);
  }
  return {Verdict::kRefuse, what};
}

std::vector<uint8_t> dns_answer(const uint8_t* f, size_t n,
                                const std::function<bool(const std::string&, uint32_t*)>& lookup) {
  if (n < kEth + 20) return {};
  size_t ihl = (f[kEth] & 0x0F) * 4u;
  size_t udp = kEth + ihl, dns = udp + 8;
  if (ihl < 20 || n < dns + 12) return {};
  const uint8_t* q = f + dns;
  size_t qlen = n - dns;
  if ((q[2] & 0x80) || get16(q + 4) != 1) return {};  // a response, or not exactly one question
  std::string name;
  size_t i = 12;
  while (i < qlen && q[i] != 0) {
    size_t len = q[i];
    if (len > 63 || i + 1 + len > qlen) return {};
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(q + i + 1), len);
    i += 1 + len;
  }
  if (i + 5 > qlen) return {};
  size_t qend = i + 5;  // zero label, type, class
  uint16_t qtype = get16(q + i + 1);
  uint32_t address = 0;
  bool known = lookup(name, &address);
  bool answer = known && qtype == 1;

  if (qend > 512) return {};  // a DNS message over UDP is at most 512 bytes
  uint8_t r[kEth + 20 + 8 + 512 + 16] = {};
  size_t rlen = kEth + 20 + 8 + qend + (answer ? 16 : 0);
  memcpy(r, f + 6, 6);  // back to the sender
  memcpy(r + 6, f, 6);
  put16(r + 12, kEtherIPv4);
  uint8_t* ip = r + kEth;
  size_t iplen = rlen - kEth;
  ip[0] = 0x45;
  put16(ip + 2, static_cast<uint16_t>(iplen));
  ip[8] = 64;
  ip[9] = kProtoUdp;
  put32(ip + 12, kDns);
  memcpy(ip + 16, f + kEth + 12, 4);
  put16(ip + 10, fold(sum16(ip, 20)));
  uint8_t* u = ip + 20;
  put16(u, 53);
  memcpy(u + 2, f + udp, 2);
  put16(u + 4, static_cast<uint16_t>(iplen - 20));
  uint8_t* d = u + 8;
  memcpy(d, q, qend);
  put16(d + 2, static_cast<uint16_t>(0x8180 | (known ? 0 : 3)));  // response, RD, RA; NXDOMAIN
  put16(d + 6, answer ? 1 : 0);
  put16(d + 8, 0);
  put16(d + 10, 0);
  if (answer) {
    uint8_t* a = d + qend;
    put16(a, 0xC00C);  // the question's name
    put16(a + 2, 1);
    put16(a + 4, 1);
    put32(a + 6, 60);
    put16(a + 10, 4);
    put32(a + 12, address);
  }
  uint32_t pseudo = sum16(ip + 12, 8) + kProtoUdp + (iplen - 20);
  uint16_t c = fold(sum16(u, iplen - 20, pseudo));
  put16(u + 6, c ? c : 0xFFFF);
  return std::vector<uint8_t>(r, r + rlen);
}

}  // namespace camhost::net::frames
