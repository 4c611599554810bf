// The camera-server keep-alive: answers the server's keep-alives with the status word and takes
// the server's clock from them.
#ifndef CS_KEEP_ALIVE_H
#define CS_KEEP_ALIVE_H

// The session-open flag changed: after a close, the next session's first keep-alive sets the
// clock.
void kaHandleSysstateChanges(void);

#endif  // CS_KEEP_ALIVE_H
