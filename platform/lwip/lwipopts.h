// lwIP's configuration for the module: IPv4 with UDP, TCP, DNS and DHCP on an Ethernet-like
// station interface, the stack thread on the platform kernel, pools sized like the module's RAM.
#ifndef CAMLINK_LWIPOPTS_H
#define CAMLINK_LWIPOPTS_H

// The stack thread and its mailbox; other threads reach it through tcpip_callback. Core locking
// lets the stack thread's own callbacks call the raw API directly; they must never take the lock.
#define NO_SYS 0
#define SYS_LIGHTWEIGHT_PROT 1
#define LWIP_TCPIP_CORE_LOCKING 1
#define LWIP_TCPIP_CORE_LOCKING_INPUT 0
#define TCPIP_THREAD_NAME "tcpip"
#define TCPIP_THREAD_STACKSIZE 2048
#define TCPIP_THREAD_PRIO 6
#define TCPIP_MBOX_SIZE 16
#define LWIP_NETCONN 0
#define LWIP_SOCKET 0

// Memory: a 16 KB heap for outgoing data and static pools; nothing from the C library's heap.
#define MEM_LIBC_MALLOC 0
#define MEMP_MEM_MALLOC 0
// Pools hold pointers: 4-byte alignment on the module, 8 on a 64-bit host.
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
#define MEM_ALIGNMENT 8
#else
#define MEM_ALIGNMENT 4
#endif
#define MEM_SIZE (16 * 1024)
// Reference pbufs: two for each of the 15 TX buffers written without copying (a 2048-byte write
// spans two segments), and the UDP sends' own.
#define MEMP_NUM_PBUF 48
#define MEMP_NUM_UDP_PCB 6
#define MEMP_NUM_TCP_PCB 4
#define MEMP_NUM_TCP_PCB_LISTEN 2
#define MEMP_NUM_TCP_SEG 64
#define MEMP_NUM_REASSDATA 4
#define MEMP_NUM_FRAG_PBUF 8
#define MEMP_NUM_ARP_QUEUE 8
#define MEMP_NUM_SYS_TIMEOUT (LWIP_NUM_SYS_TIMEOUT_INTERNAL + 4)
#define PBUF_POOL_SIZE 16

// Protocols.
#define LWIP_IPV4 1
#define LWIP_IPV6 0
#define LWIP_ARP 1
#define LWIP_ETHERNET 1
#define LWIP_RAW 0
#define LWIP_IGMP 0
#define LWIP_UDP 1
#define LWIP_TCP 1
#define LWIP_DHCP 1
#define LWIP_DNS 1
#define LWIP_ICMP 1
#define LWIP_NETIF_LOOPBACK 0
#define LWIP_HAVE_LOOPIF 0
#define LWIP_NETIF_STATUS_CALLBACK 1
#define LWIP_NETIF_LINK_CALLBACK 1
#define SO_REUSE 1

// TCP: full-size segments and a four-segment receive window. The send side takes all 15 TX
// buffers of 2048 bytes at once, written without copying: each write may start two segments and
// two pbufs. (Nagle is switched off per connection, when it connects.)
#define TCP_MSS 1460
#define TCP_WND (4 * TCP_MSS)
#define TCP_SND_BUF (15 * 2048)
#define TCP_SND_QUEUELEN (4 * 15)
// Received frames come from the pool, which UDP and DHCP share. Data the application has not read
// yet may hold only a few of them: out-of-order segments are capped here, and the connection's
// receive callback refuses more than a few unread pbufs (lwIP then holds one refused segment and
// drops the rest until it is taken), so the pool never runs dry for UDP.
#define TCP_QUEUE_OOSEQ 1
#define TCP_OOSEQ_MAX_PBUFS 2
#define TCP_OOSEQ_MAX_BYTES TCP_WND

// DNS: the camera server's name and one spare.
#define DNS_TABLE_SIZE 2
#define DNS_MAX_NAME_LENGTH 128
#define DNS_MAX_SERVERS 2

// Pool statistics, so tests can see every buffer come back.
#define LWIP_STATS 1
#define LWIP_STATS_DISPLAY 0
#define MEM_STATS 1
#define MEMP_STATS 1
#define SYS_STATS 0
#define LINK_STATS 1
#define IP_STATS 1
#define UDP_STATS 1
#define TCP_STATS 1
#define ICMP_STATS 0
#define ETHARP_STATS 1
#define IPFRAG_STATS 0

#endif  // CAMLINK_LWIPOPTS_H
