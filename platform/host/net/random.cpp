// The firmware's network stack draws its random numbers (DNS ids, ports, sequence numbers) from
// the instance's seeded source, so a seed replays a run byte for byte.
#include <cstdint>

#include "camhost/runtime.h"

extern "C" uint32_t lwip_port_rand(void) {
  camhost::Instance* inst = camhost::current();
  return inst ? inst->random() : 0x2545F491u;
}
