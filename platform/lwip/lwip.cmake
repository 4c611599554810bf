# lwIP 2.1.3 for the firmware: the 24 source files of IPv4, UDP, TCP, DNS, DHCP and the stack
# thread, plus our kernel port. lwIP's own Filelists.cmake is not used: it writes into the source.
get_filename_component(CAMLINK_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(LWIP_DIR ${CAMLINK_ROOT}/third_party/lwip/src)
if(NOT EXISTS ${LWIP_DIR}/include/lwip/init.h)
  message(FATAL_ERROR "lwIP's source is missing in ${LWIP_DIR}: run ./setup")
endif()
set(LWIP_SOURCES)
foreach(f core/init core/def core/dns core/inet_chksum core/ip core/mem core/memp core/netif
          core/pbuf core/stats core/sys core/tcp core/tcp_in core/tcp_out core/timeouts core/udp
          core/ipv4/dhcp core/ipv4/etharp core/ipv4/icmp core/ipv4/ip4 core/ipv4/ip4_addr
          core/ipv4/ip4_frag api/tcpip netif/ethernet)
  list(APPEND LWIP_SOURCES ${LWIP_DIR}/${f}.c)
endforeach()
set(LWIP_PORT_SOURCES ${CMAKE_CURRENT_LIST_DIR}/sys_arch.cpp)
set(LWIP_INCLUDE_DIRS ${CMAKE_CURRENT_LIST_DIR} ${LWIP_DIR}/include)
