// A network of one's own: moves the calling process into a new network namespace with its
// loopback up, so that the ports it binds on 127.0.0.1 (46103 above all) are its alone.
#ifndef CAMSERVER_NETNS_H
#define CAMSERVER_NETNS_H

#include <string>

namespace camserver {

// Call before any thread starts. False, with the reason, when the system refuses.
bool enter_private_network(std::string* error);

}  // namespace camserver

#endif  // CAMSERVER_NETNS_H
