// The session with the camera server: opening with redirection, the server's address, and closing
// after silence or a Wi-Fi loss.
#ifndef CS_OPEN_SESSION_H
#define CS_OPEN_SESSION_H

#include <stdint.h>

#include "lwip/ip_addr.h"
#include "os.h"
#include "ucscUDPCameraServerCommon/ucscMessages.h"

enum OpenSessionState_t : uint8_t {
  getSessionState = 0,  // the query of setGetSessionState; never stored
  sessionClosed = 1,
  sessionWaitingForRedirectionResponse = 2,
  sessionOpen = 3,
};

// Where every camera message goes.
struct ServerAddress_t {
  bool isValid;
  char hostname[65];
  ip_addr_t ip_addr;
  char ip_addr_str[16];
  uint16_t port;
  volatile bool inProgress;  // a name lookup is outstanding
};

// The camera server's host name until a redirection names another.
#define CS_DEFAULT_CAMERA_SERVER_HOST "camserver.camlink.test"

extern ServerAddress_t serverAddress;

// Zeroes the server address.
void OpenSession_Init(void);
// Runs the session machine (opening, redirection time-out, auto-close); returns when it next
// wants to run, all ones for no such time.
systimer_t OpenSession_PollFromParent(udpControlBlock_t* controlBlock);
// The server's OpenSession: the redirection while waiting for it, a prompt to open while closed.
void OpenSession_ProcessCommand(udpControlBlock_t* controlBlock);
// Stores `newState` when it is not getSessionState; returns the state now held.
OpenSessionState_t setGetSessionState(OpenSessionState_t newState);
// "3 - sessionOpen" and the like.
const char* OpenSession_stateName(uint8_t state);
// Resolves `hostname` (null or empty: the default host, or with a nonzero `port` only the port of
// the stored host) and stores the address; it stays invalid when that fails.
void ServerAddress_setNewServerAddress(const char* hostname, uint16_t port);

#endif  // CS_OPEN_SESSION_H
