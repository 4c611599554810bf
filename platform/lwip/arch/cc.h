// lwIP's compiler and platform glue: diagnostics to the console, randomness from the kernel.
#ifndef CAMLINK_LWIP_ARCH_CC_H
#define CAMLINK_LWIP_ARCH_CC_H

#include <stdint.h>

#include "os.h"

#ifndef BYTE_ORDER
#define BYTE_ORDER LITTLE_ENDIAN
#endif

#ifdef __cplusplus
extern "C" {
#endif
// A random number from the platform's seeded source (DNS query ids, ports, TCP sequence numbers).
uint32_t lwip_port_rand(void);
// An lwIP assertion failed: logs it and resets the module, as a fault would.
void lwip_port_assert(const char* msg, const char* file, int line);
#ifdef __cplusplus
}
#endif

#define LWIP_RAND() lwip_port_rand()
#define LWIP_PLATFORM_DIAG(x) \
  do {                        \
    os_printf x;              \
  } while (0)
#define LWIP_PLATFORM_ASSERT(x) lwip_port_assert((x), __FILE__, __LINE__)

#endif  // CAMLINK_LWIP_ARCH_CC_H
