// The session machine of the "ucsl2" thread. The camera opens a session: a burst of three
// OpenSession requests to the default host, then, on the server's redirection, one more with the
// token to the address it names. Silence of more than 30 s closes the session again.
#include "ucsl2UDPCameraServerLayer2/OpenSession/csOpenSession.h"

#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "lwip/dns.h"
#include "lwip/tcpip.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"
#include "utilities/utilities.h"
#include "wifiWiFi/wifiWiFi.h"

#define CS_FIRST_REDIRECTION_TMO_USECS 5000000ull
#define CS_MAX_REDIRECTION_TMO_USECS 300000000ull
#define CS_RETRY_DELAY_USECS 3000000ull
#define CS_AUTO_CLOSE_SECS 30u
#define CS_OPEN_BURST 3
#define CS_OPEN_BURST_GAP_MSECS 200
#define CS_DNS_POLL_USECS 25000u
#define CS_DNS_TIMEOUT_USECS 5000000ull

ServerAddress_t serverAddress;

static volatile OpenSessionState_t sessionState = sessionClosed;
static systimer_t currentWaitForRedirectionResponseTmo = CS_FIRST_REDIRECTION_TMO_USECS;
static systimer_t whenToOpenSession;

static bool wifiConnected(void) { return (sysstateSystemState & sysstate_WiFiConnectedToAP) != 0; }

static void ServerAddress_Init(void) { memset(&serverAddress, 0, sizeof serverAddress); }

void OpenSession_Init(void) { ServerAddress_Init(); }

const char* OpenSession_stateName(uint8_t state) {
  switch (state) {
    case getSessionState:
      return "0 - getSessionState";
    case sessionClosed:
      return "1 - sessionClosed";
    case sessionWaitingForRedirectionResponse:
      return "2 - sessionWaitingForRedirectionResponse";
    case sessionOpen:
      return "3 - sessionOpen";
    default:
      return "Unknown session state";
  }
}

OpenSessionState_t setGetSessionState(OpenSessionState_t newState) {
  if (newState == getSessionState || newState == sessionState) return sessionState;
  DBGLOG("Session state: %u --> %s\n", sessionState, OpenSession_stateName(newState));
  sessionState = newState;
  bool open = newState == sessionOpen;
  if (!sysstate_setWiFiSessionOpenState(open)) return sessionState;
  bool queued = bleQueueStateChangeMsg(BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL);
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ",
         "BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL");
  if (open) {
    bleQueueDebugConsoleMsg("the camera is connected to the server");
    currentWaitForRedirectionResponseTmo = CS_FIRST_REDIRECTION_TMO_USECS;
    srSessionOpened();
  } else {
    bleQueueDebugConsoleMsg("the camera is disconnected from the server");
    tcpClose("setGetSessionState", 0);
  }
  return sessionState;
}

void forceCloseSession(void) {
  setGetSessionState(sessionClosed);
  ServerAddress_Init();
}

// lwIP's answer to a name lookup (on lwIP's thread), or the caller's own for an answer at hand
// (`callback_arg` 1).
static void lookupServerAddress_callback(const char* name, const ip_addr_t* ipaddr,
                                         void* callback_arg) {
  if (ipaddr == nullptr) {
    ServerAddress_Init();
    DBGLOG("Failed to resolve %s\n", name != nullptr ? name : "");
    return;
  }
  ip_addr_copy(serverAddress.ip_addr, *ipaddr);
  char text[IPADDR_STRLEN_MAX];
  ipaddr_ntoa_r(ipaddr, text, sizeof text);
  size_t length = strlen(text);  // ipaddr_ntoa_r always terminates it
  if (length > sizeof serverAddress.ip_addr_str - 1) length = sizeof serverAddress.ip_addr_str - 1;
  memcpy(serverAddress.ip_addr_str, text, length);
  serverAddress.ip_addr_str[length] = '\0';
  if (name != nullptr && name != serverAddress.hostname) {
    strncpy(serverAddress.hostname, name, sizeof serverAddress.hostname - 1);
    serverAddress.hostname[sizeof serverAddress.hostname - 1] = '\0';
  }
  if (callback_arg == nullptr) {
    bleQueueDebugConsoleMsg("the server hostname has been resolved");
    srDnsResolve();
  }
  DBGLOG("Hostname %s == %s\n", serverAddress.hostname, serverAddress.ip_addr_str);
  serverAddress.isValid = true;
  serverAddress.inProgress = false;
}

void ServerAddress_setNewServerAddress(const char* hostname, uint16_t port) {
  char host[sizeof serverAddress.hostname];
  if (hostname == nullptr || hostname[0] == '\0') {
    if (port != 0 && serverAddress.hostname[0] != '\0') {
      serverAddress.port = port;
      return;
    }
    hostname = CS_DEFAULT_CAMERA_SERVER_HOST;
  }
  strncpy(host, hostname, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  // The redirection names the server's port; the default host listens on the camera's own.
  uint16_t serverPort = port != 0 ? port : UCSL1_CAMERA_SERVER_PORT;
  DBGLOG("hostname %s, port %u\n", host, serverPort);
  ServerAddress_Init();
  if (!wifiConnected()) {
    DBGLOG_TEXT("WiFi not connected; cannot do DNS lookup");
    return;
  }
  serverAddress.inProgress = true;
  serverAddress.port = serverPort;
  memcpy(serverAddress.hostname, host, sizeof host);
  ip_addr_t address;
  // The resolver is lwIP's: it runs under the stack's lock, never beside its thread.
  LOCK_TCPIP_CORE();
  err_t err = dns_gethostbyname(serverAddress.hostname, &address, lookupServerAddress_callback,
                                nullptr);
  UNLOCK_TCPIP_CORE();
  if (err == ERR_OK) {
    bleQueueDebugConsoleMsg("the server hostname was previously resolved");
    lookupServerAddress_callback(serverAddress.hostname, &address, (void*)1);
  } else if (err == ERR_INPROGRESS) {
    systimer_t start = os_systime64();
    while (serverAddress.inProgress && os_systime64() - start < CS_DNS_TIMEOUT_USECS) {
      os_sleep_us(CS_DNS_POLL_USECS, OS_TIMEOUT_NO_WAKEUP);
    }
  } else {
    DBGLOG_TEXT("DNS lookup failed");
    ServerAddress_Init();
  }
  if (serverAddress.inProgress || !serverAddress.isValid || serverAddress.hostname[0] == '\0') {
    DBGLOG_TEXT("DNS lookup timed out");
    ServerAddress_Init();
    return;
  }
  DBGLOG("New server address: %s port %u 0x%04X\n", serverAddress.hostname, serverAddress.port,
         serverAddress.port);
}

static void openNewSession(udpControlBlock_t* cb) {
  if (!wifiConnected()) {
    DBGLOG_TEXT("ERROR!! WiFi is not connected to the AP; can't open session");
    setGetSessionState(sessionClosed);
    return;
  }
  ucscResetStatistics();
  cb->timeReceived = SYSTIMER_NEVER;
  setGetSessionState(sessionClosed);
  const versions_t* versions = ginfGet_versions();
  if (ginfGet_cameraID() == nullptr) {
    DBGLOG_TEXT("Error!! Camera ID hasn't been read yet; can't open session");
    return;
  }
  if (versions == nullptr) {
    DBGLOG_TEXT("Error!! Camera version hasn't been read yet; can't open session");
    return;
  }
  ctsOpenSession_t* req = (ctsOpenSession_t*)cb->txCtsMsgBuffer;
  req->cameraVersion = versions->fwVersion;
  req->fpgaVersion = versions->fpgaVersion;
  req->wifiVersion = versions->innoVersion;
  req->cameraFirmwareVersion = UCSC_CAMERA_FIRMWARE_VERSION;
  ServerAddress_setNewServerAddress(nullptr, 0);
  if (!serverAddress.isValid || serverAddress.hostname[0] == '\0') {
    DBGLOG_TEXT("ERROR!! serverAddress is not valid");
    setGetSessionState(sessionClosed);
    return;
  }
  if (!ucscPrepareTXHeaderForCameraServer(nullptr, &req->header)) {
    setGetSessionState(sessionClosed);
    return;
  }
  cb->txCtsMsgBytes = sizeof(ctsOpenSession_t);
  if (!wifiIsWiFiConnectedToAP()) {
    DBGLOG_TEXT("ERROR!! WiFi is not connected to the AP; can't open session");
    setGetSessionState(sessionClosed);
    return;
  }
  DBGLOG("sending versions in openSession: \t(STM32 Version: %d.%d.%d)\t(FPGA Version: "
         "%d.%d.%d)\t(INNO Version: %d.%d.%d)\n",
         (int)req->cameraVersion.versionMajor, (int)req->cameraVersion.versionMinor,
         (int)req->cameraVersion.versionPatch, (int)req->fpgaVersion.versionMajor,
         (int)req->fpgaVersion.versionMinor, (int)req->fpgaVersion.versionPatch,
         (int)req->wifiVersion.versionMajor, (int)req->wifiVersion.versionMinor,
         (int)req->wifiVersion.versionPatch);
  for (int i = 0; i < CS_OPEN_BURST; i++) {
    if (!ucsl2UDPCameraServerLayer2_Send(cb)) {
      bleQueueDebugConsoleMsg("failed to send redirection request");
      setGetSessionState(sessionClosed);
      return;
    }
    sleepMSecs(CS_OPEN_BURST_GAP_MSECS);
  }
  bleQueueDebugConsoleMsg("sent redirection request; waiting for response");
  setGetSessionState(sessionWaitingForRedirectionResponse);
}

static void openRedirectionSession(udpControlBlock_t* cb) {
  const stcOpenSession_t* rx = (const stcOpenSession_t*)cb->rxStcMsgPtr;
  if (rx->redirectionPort == 0) {
    DBGLOG_TEXT("ERROR!! redirectionPort is 0");
    setGetSessionState(sessionClosed);
    return;
  }
  // The reply's header is prepared first: it refuses a redirection addressed to another camera
  // before the server address moves.
  ctsOpenSession_t* req = (ctsOpenSession_t*)cb->txCtsMsgBuffer;
  if (!ucscPrepareTXHeaderForCameraServer(&rx->header, &req->header)) {
    setGetSessionState(sessionClosed);
    return;
  }
  char ip[sizeof rx->redirectionIP + 1];
  memcpy(ip, rx->redirectionIP, sizeof rx->redirectionIP);
  ip[sizeof rx->redirectionIP] = '\0';
  uint32_t t[4];
  memcpy(t, rx->redirectionToken, sizeof t);
  DBGLOG("REDIRECTING -- IP: %s, Port: %u, token: %08X-%08X-%08X-%08X\n", ip, rx->redirectionPort,
         (unsigned)t[0], (unsigned)t[1], (unsigned)t[2], (unsigned)t[3]);
  ServerAddress_setNewServerAddress(ip, rx->redirectionPort);
  cb->txCtsMsgBytes = sizeof(ctsOpenSession_t);
  req->cameraFirmwareVersion = UCSC_CAMERA_FIRMWARE_VERSION;
  memcpy(req->redirectionToken, rx->redirectionToken, sizeof req->redirectionToken);
  // The server may send its first command (StartTCPConnection, say) as soon as this reply
  // leaves, and another thread handles it: the session is open before the reply goes.
  setGetSessionState(sessionOpen);
  if (!ucsl2UDPCameraServerLayer2_Send(cb)) setGetSessionState(sessionClosed);
}

void OpenSession_ProcessCommand(udpControlBlock_t* cb) {
  switch (setGetSessionState(getSessionState)) {
    case sessionOpen:
      DBGLOG_TEXT("OpenSession received while session is open; ignoring");
      break;
    case sessionWaitingForRedirectionResponse:
      openRedirectionSession(cb);
      break;
    case sessionClosed:
      openNewSession(cb);
      break;
    default:
      setGetSessionState(sessionClosed);
      break;
  }
}

systimer_t OpenSession_PollFromParent(udpControlBlock_t* cb) {
  OpenSessionState_t state = setGetSessionState(getSessionState);
  if (state != sessionOpen) DBGLOG("Session state: %u --> %s\n", state, OpenSession_stateName(state));
  if (!wifiConnected()) {
    DBGLOG_TEXT("WARNING!! WiFi is not connected to the AP; can't open session");
    forceCloseSession();
    return SYSTIMER_NEVER;
  }
  systimer_t now = os_systime64();
  if (state == sessionClosed) {
    if (now < whenToOpenSession) return whenToOpenSession;
    DBGLOG_TEXT("Opening new session");
    openNewSession(cb);
    return ucscTimeOfLastMsgToCameraServer + currentWaitForRedirectionResponseTmo;
  }
  if (state == sessionWaitingForRedirectionResponse) {
    systimer_t elapsed =
        ucscTimeOfLastMsgToCameraServer > now ? 0 : now - ucscTimeOfLastMsgToCameraServer;
    if (elapsed < currentWaitForRedirectionResponseTmo) {
      return ucscTimeOfLastMsgToCameraServer + currentWaitForRedirectionResponseTmo;
    }
    DBGLOG("Didn't receive redirection response after %u uSecs; trying again\n",
           currentWaitForRedirectionResponseTmo > 0xFFFFFFFFu
               ? 0xFFFFFFFFu
               : (uint32_t)currentWaitForRedirectionResponseTmo);
    forceCloseSession();
    systimer_t longer = (systimer_t)((double)currentWaitForRedirectionResponseTmo * 1.1);
    currentWaitForRedirectionResponseTmo =
        longer < CS_MAX_REDIRECTION_TMO_USECS ? longer : CS_MAX_REDIRECTION_TMO_USECS;
    whenToOpenSession = now + CS_RETRY_DELAY_USECS;
    return whenToOpenSession;
  }
  if (ucscTimeOfLastMsgFromCameraServer >= now) return SYSTIMER_NEVER;
  if (secsSince(ucscTimeOfLastMsgFromCameraServer) > CS_AUTO_CLOSE_SECS) {
    DBGLOG_TEXT("Auto-closing session");
    forceCloseSession();
  }
  return SYSTIMER_NEVER;
}
