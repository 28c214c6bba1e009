/* nkmsg.h -- the message-bus client.
 *
 * A client holds one TCP connection to the bus server on port 4242 (at the
 * address nkMsgBusAddress gives, or a host of the caller's choice), on which
 * it registers under a name. Every message is one text line,
 * "recipient,sender,type,seq,data\r\n": one-way messages carry seq 0, a
 * request carries the client's next sequence number and its reply the same
 * seq; lines met while a request waits for its own reply are set aside and
 * handed out later, newest first. A client keeps at most 1 MiB of set-aside
 * lines: beyond that the oldest are dropped (and counted), so that lines a
 * process never takes cannot exhaust its memory.
 *
 * Threads and locks: one poll thread per process runs the socket poller and
 * the client's socket callback, which takes the client's lock (after the
 * socket layer's netLock) and wakes the runtime callback given to
 * nkMsgSetRuntimeWakeup (runtimeLock). A client is used by one caller thread
 * at a time; callers wait on the client's condition variable and never spin.
 * A server that cannot be reached, refuses the registration or fails a send
 * ends the process (nkMsgTryInit lets a process wait for its bus instead).
 * A line whose recipient or sender is empty or holds a comma, CR or LF, or
 * whose data holds CR or LF, is never sent: the sending calls log it and
 * return MSG_FAILED (one message can never pass for two). */
#ifndef NK_NKMSG_H
#define NK_NKMSG_H

#include <stdint.h>

#include "nkexport.h"
#include "runtime.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of the receiving calls. */
#define MSG_OK 0           /* a message was taken */
#define MSG_DISCONNECTED 1 /* the server closed the connection */
#define MSG_TIMEOUT 2      /* no complete message within the timeout */
#define MSG_FAILED 3       /* a receive error (or, for a request, a failed send) */
#define MSG_INTERRUPTED 4  /* nkMsgInterrupt ended the wait */

/* Message types of the client itself, sent to the server's name "base". */
#define MSG_REGISTER 100 /* request: answered with type 0 and the same seq */
#define MSG_CLOSE 102    /* one-way sign-off */

#define MSG_PORT 4242     /* the bus server's port */
#define MSG_NAME_SIZE 260 /* names and received name fields: at most 259 characters */
#define MSG_SERVER_NAME "base"

typedef struct MsgClient MsgClient;

/* Lines read from bus connections (skipped and discarded ones included),
 * fetches that found the connection closed, the number of set-aside
 * messages at the start of the latest fetch, and set-aside messages dropped
 * to keep within the limit. Shared by all clients. */
extern NK_API uint32_t runtimeIPCSuccess;
extern NK_API uint32_t runtimeIPCDisconnect;
extern NK_API uint32_t runtimeIPCBacklog;
extern NK_API uint32_t runtimeIPCDropped;

/* The address of the machine's bus: the value of the environment variable
 * NK_BUS_ADDRESS when it is a dotted IPv4 address, else "127.0.0.1" (a value
 * that is not is logged once, as a warning, and ignored). Several buses can
 * so share one machine, each on its own loopback address (127.0.0.2, ...).
 * The text is the calling thread's until its next call. */
NK_API const char *nkMsgBusAddress(void);

/* nkMsgRemoteInit(name, nkMsgBusAddress()). */
NK_API MsgClient *nkMsgInit(const char *name);
/* Connects to the bus server on host (name or dotted address), waits for the
 * connection and registers under name. Returns the client; null when name
 * does not fit (259 characters at most) or is empty or holds a comma or a
 * line end. An unreachable or refusing server
 * ends the process. Starts the process's poll thread if it is not running. */
NK_API MsgClient *nkMsgRemoteInit(const char *name, const char *host);
/* nkMsgInit for processes that keep running while the bus is away and try
 * again: a server that cannot be reached or refuses the registration makes it
 * return null (logged) instead of ending the process, and the client's sends
 * return MSG_FAILED when the connection is lost. */
NK_API MsgClient *nkMsgTryInit(const char *name);
/* Extension: nkMsgTryInit again and again, with back-off. A MsgRetry starts
 * zeroed, and the first call tries at once; after a failed try the next
 * comes no sooner than 100 ms later, each further wait twice the one before,
 * at most 5 s; a registration starts the waits afresh. Returns the client,
 * or null when the try failed or its time has not come; *due (unless null)
 * receives the microseconds until the next try, 0 with a client. After a
 * lost connection, set next to 0 to try again at once. */
typedef struct MsgRetry {
  int64_t next; /* timerMonotonicMicroSec() of the next try */
  int64_t wait; /* us before the try after a failed one; 0 for the shortest */
} MsgRetry;
NK_API MsgClient *nkMsgRetryInit(MsgRetry *retry, const char *name, int64_t *due);

/* Sends a request of type with the text of the data handle and waits for the
 * reply with the same seq (without bound unless nkMsgTimeoutSet set one);
 * sender null means the client's name. Returns MSG_FAILED if sending failed,
 * else the receive status if not MSG_OK, else the reply's type; the reply's
 * data replaces the data handle's text. */
NK_API int nkMsgRequest(MsgClient *client, const char *recipient, const char *sender, int type,
                        int data);
/* Sends a one-way message (seq 0). Returns 0; MSG_FAILED when a client of
 * nkMsgTryInit lost its connection, or a field was refused (above). */
NK_API int nkMsgSend(MsgClient *client, const char *recipient, const char *sender, int type,
                     int data);
/* Sends with the seq of the message last taken by nkMsgPoll or nkMsgGet, as
 * the reply to it. Returns as nkMsgSend. */
NK_API int nkMsgReply(MsgClient *client, const char *recipient, const char *sender, int type,
                      int data);

/* Takes the next message (a set-aside one first): its recipient and sender
 * into the 260-byte buffers (sender may be null), its type, and its data
 * into the data handle. timeout in microseconds: -1 waits without bound, 0
 * does not wait. Returns a status code. */
NK_API int nkMsgPoll(MsgClient *client, char *recipient, char *sender, int *type, int data,
                     int timeout);
/* nkMsgPoll with the client's timeout. */
NK_API int nkMsgGet(MsgClient *client, char *recipient, char *sender, int *type, int data);
/* The wait bound of nkMsgRequest and nkMsgGet in microseconds; a negative
 * value means without bound. */
NK_API void nkMsgTimeoutSet(MsgClient *client, int usec);
/* From any thread: the receiving call in progress on client (nkMsgRequest
 * waiting for its reply, nkMsgPoll, nkMsgGet) returns MSG_INTERRUPTED; one
 * that starts later is not affected. A request so interrupted never takes
 * its reply, which is set aside if it comes later. */
NK_API void nkMsgInterrupt(MsgClient *client);
/* The runtime callback profile woken on every bus socket event, or null. */
NK_API void nkMsgSetRuntimeWakeup(RuntimeProfile *profile);

/* Signs off (type 102 to "base"; a client of nkMsgTryInit whose connection
 * is known lost does not), closes the connection and frees the client; the
 * poll thread ends with the last open client. */
NK_API void nkMsgClose(MsgClient *client);

#ifdef __cplusplus
}
#endif

#endif /* NK_NKMSG_H */
