/* netfuncs.h -- non-blocking TCP sockets named by descriptor, with line
 * buffered reading, queued writing, and one select poller.
 *
 * Every registered descriptor (1..255) has a context: readiness flags that the
 * poller sets, a read buffer from which whole lines (or raw byte runs) are
 * handed out, a queue of bytes the kernel has not yet accepted, and a
 * callback. Readers and writers never block in the kernel: they act only on
 * the flags and clear a flag again when the kernel refuses, waking the poller
 * through the rescan pipe so that it watches the descriptor again.
 *
 * Threads and locks: exactly one thread runs netPoll at a time. netLock (the
 * outermost lock of the library) is held while a context is created or freed
 * and while the poller builds its sets and runs callbacks. Callbacks therefore
 * run on the poller's thread under netLock and must not create or free
 * contexts (no netConnect, netListen, netAccept, netExternal, netClose,
 * netSetCallback from a callback). A context's buffers belong to the one
 * thread that reads or writes that descriptor. Result codes: 1 done, 0 not
 * yet, -1 the peer closed, -2 invalid descriptor or failure. */
#ifndef NK_NETFUNCS_H
#define NK_NETFUNCS_H

#include <stdint.h>

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Callback kinds, raised by the poller in the order read, write, exception. */
#define NET_EVENT_READ 1      /* readable, not listening */
#define NET_EVENT_WRITE 2     /* writable, no connect in progress */
#define NET_EVENT_ERROR 4     /* exceptional condition: the context turns bad */
#define NET_EVENT_CONNECTED 5 /* writable while a connect was in progress */
#define NET_EVENT_ACCEPT 6    /* a listening socket is readable */

/* Number of descriptor slots: registered descriptors lie in 1..255. */
#define NET_MAX_DESCRIPTORS 256

/* Called by the poller with the descriptor, the kind and the parameter given
 * to netSetCallback; runs under netLock. */
typedef void (*NetCallback)(int fd, int kind, void *param);

/* Creates the registry and the rescan pipe once; later calls do nothing. A
 * send on a connection that the peer has closed must fail, not end the
 * process: SIGPIPE is ignored here unless the program set its own handler. */
NK_API void netInit(void);

/* Opens a non-blocking connection to host (dotted IPv4 address or host name)
 * and port. Returns the descriptor, or -2. A connect in progress completes
 * through the poller (NET_EVENT_CONNECTED); one that completes at once is
 * connected on return. */
NK_API int netConnect(const char *host, int port);
/* Registers a descriptor opened elsewhere; its blocking mode and options are
 * kept. 0, or -2 if no context could be made. */
NK_API int netExternal(int fd);

/* Hands out one line without its line feed (and one carriage return before
 * it) into the memory handle out, sized to the line plus a terminator.
 * 1 a line was delivered; 0 no complete line yet; -1 the peer closed (bytes
 * of a half line are lost); -2 invalid descriptor or receive error. */
NK_API int netRead(int fd, int out);
/* Hands out held bytes (no terminator) into out, at most maximum - 1 of
 * them when maximum is not -1; same codes as netRead. */
NK_API int netReadRaw(int fd, int out, int maximum);

/* Queues text (or nothing) and sends what is queued if the descriptor is
 * writable, with at most one send. 1 nothing left queued; 0 bytes (still)
 * queued: wait for NET_EVENT_WRITE and call netWrite(fd, NULL); -2 invalid
 * descriptor or failed send (the bytes stay queued). */
NK_API int netWrite(int fd, const char *text);
NK_API int netWriteRaw(int fd, const void *bytes, int length);

/* The flags: 1 or 0; -2 (netConnected: 1) for an invalid descriptor. */
NK_API int netReadable(int fd);
NK_API int netWritable(int fd);
NK_API int netConnected(int fd);

/* Closes the descriptor and frees its context (queued bytes are dropped).
 * Returns 1. */
NK_API int netClose(int fd);
/* Wakes the poller so that it rebuilds its sets. */
NK_API void netPollRescan(int fd);

/* One pass of select over every context that needs watching, at most timeout
 * microseconds; sets flags and runs callbacks. 1 after a pass in which select
 * reported something; 0 on timeout, an interrupted wait or after the sweep of
 * invalid descriptors; the negative select result on any other failure. */
NK_API int netPoll(int timeout);
/* Sets the descriptor's callback and parameter (takes netLock). 1, or -2. */
NK_API int netSetCallback(int fd, NetCallback callback, void *param);

/* A listening socket on every interface's port (backlog 5): the
 * descriptor, or -1. Its readable events are NET_EVENT_ACCEPT. */
NK_API int netListen(int port);
/* Accepts a waiting connection and registers it: the new descriptor; 0 if
 * none was waiting; -2 on failure or an invalid descriptor. */
NK_API int netAccept(int fd);

/* Re-arm the read, write and exception watches: 0; -2 for an invalid
 * descriptor (an unregistered one in 1..255 is registered as external, so
 * that the next call finds it). */
NK_API int netReadPoll(int fd);
NK_API int netWritePoll(int fd);
NK_API int netExceptPoll(int fd);

#ifdef __cplusplus
}
#endif

#endif /* NK_NETFUNCS_H */
