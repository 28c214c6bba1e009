// netfuncs -- socket contexts, buffered reading and writing, the select
// poller and server sockets.
//
// DESIGN
// Threads: one poller thread runs netPoll; application threads open, read,
// write and close. netLock guards contextList membership, descriptorTable
// and highestFd; the poller holds it while building its sets and while
// running callbacks, never while waiting in select. The readiness and state
// flags are single words written by both sides: they are read and written as
// relaxed atomics. descriptorTable slots are published with release stores so
// that a reader that finds a context sees it complete. A context's buffers,
// depths and lineEnd belong to the thread that reads or writes it.
//
// Each readiness flag is a one-shot handshake: the poller sets it and stops
// watching; the reader or writer clears it when the kernel refuses (or after
// each send) and calls netPollRescan so that the poller, which may be waiting
// in select without that descriptor, rebuilds its sets at once.
//
// The rescan pipe. A rescan request is a short text ("ifd=N") that the poller
// reads back (at most 99 bytes a pass) and logs; while any is unread, the
// poller's select does not wait. The texts are kept in rescanText, which
// behaves as the pipe would (same capacity, whole texts or nothing, read 99
// bytes at a time); the pipe itself only carries a one-byte wake-up, written
// only when the poller is blocked in select and no wake-up is in it already.
// Most requests come from the thread that polls (a single-threaded server) or
// while the poller is between passes; they cost no system call. The poller
// announces that it is about to wait (pollerWaiting) before it looks for
// unread texts, and a requester stores its text before it looks at
// pollerWaiting (both sequentially consistent), so either the poller sees the
// text and does not wait, or the requester sees the waiter and wakes it.
#define NK_MODULE "netfuncs"
#define NK_LOGMASK LOGMASK_NET
#include "netfuncs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "atomic_internal.h"
#include "list.h"
#include "lock_internal.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nksyslog_internal.h"

namespace {

constexpr int kBufferStep = 256;
constexpr int kMaxWriteQueue = MAX_BLOCK_SIZE - BLOCK_OVERHEAD;  // bytes a write queue holds

struct NetContext {
  ListNode node;        // in contextList; first in the record
  int32_t fd;           // -1 once closed
  uint32_t readable;    // set by the poller; cleared when a receive would block
  uint32_t writable;    // set by the poller; cleared after every send attempt
  uint32_t exception;   // set by the poller on an exceptional condition
  uint32_t connected;   // a connect completed
  uint32_t connecting;  // a connect is in progress
  uint32_t listening;   // readable events are accepts
  uint32_t bad;         // never watched again
  int readBuffer;       // received bytes not yet handed out
  int writeBuffer;      // queued bytes not yet sent
  int32_t readDepth;
  int32_t writeDepth;
  char *lineEnd;         // first line feed among the held bytes (line mode)
  NetCallback callback;  // guarded by netLock
  void *callbackParam;   // guarded by netLock
};

pthread_mutex_t netLock = PTHREAD_MUTEX_INITIALIZER;
List contextList;
NetContext *descriptorTable[NET_MAX_DESCRIPTORS];  // guarded by netLock for writes
int highestFd = -1;                                // guarded by netLock
int rescanPipe[2] = {-1, -1};
uint32_t netInitDone;

// Unread rescan texts, as a pipe would hold them (its capacity, 64 KiB).
constexpr int kRescanCapacity = 65536;
constexpr int kRescanReadMax = 99;  // the poller reads this much per pass
uint32_t rescanLock;                // short leaf lock over the two below
char rescanText[kRescanCapacity];
uint32_t rescanLength;   // bytes held; changed under the lock, read without it
uint32_t pollerWaiting;  // the poller is in (or about to enter) select
uint32_t tokenInPipe;    // a wake-up byte is in the pipe, not yet drained

inline uint32_t flag(const uint32_t &f) { return nk::loadRelaxed(&f); }
inline void setFlag(uint32_t &f, uint32_t v) { nk::storeRelaxed(&f, v); }

inline bool inRange(int fd) { return static_cast<unsigned>(fd) - 1u <= NET_MAX_DESCRIPTORS - 2u; }

// The context of a valid handle, or null.
NetContext *contextOf(int fd) {
  if (!inRange(fd)) return nullptr;
  return __atomic_load_n(&descriptorTable[fd], __ATOMIC_ACQUIRE);
}

// REQUIRES: netLock held.
void recomputeHighest() {
  int highest = -1;
  for (ListNode *n = listHead(&contextList); n; n = listNext(&contextList, n)) {
    int fd = reinterpret_cast<NetContext *>(n)->fd;
    if (fd > highest) highest = fd;
  }
  if (rescanPipe[0] > highest) highest = rescanPipe[0];
  if (rescanPipe[1] > highest) highest = rescanPipe[1];
  highestFd = highest;
}

// Closes the descriptor and releases the context. REQUIRES: netLock held.
void releaseContext(NetContext *ctx) {
  int fd = ctx->fd;
  if (fd >= 1) {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s closing fd %d\n", "freeContext", fd);
    close(fd);
    if (fd < NET_MAX_DESCRIPTORS) __atomic_store_n(&descriptorTable[fd], nullptr, __ATOMIC_RELEASE);
    ctx->fd = -1;
  }
  listRemove(&contextList, &ctx->node);
  memFree(ctx->readBuffer);
  memFree(ctx->writeBuffer);
  memFreePtr(ctx);
  if (fd == highestFd) recomputeHighest();
}

// Makes a context for descriptor, or for a new socket when descriptor <= 0.
// A descriptor beyond the table (256 or more) cannot be named by a handle: it
// is refused with a log line. On every failure a socket made here is closed
// and a descriptor handed in is not: its owner closes it (another thread may
// already own the number once it is closed).
NetContext *allocContext(int descriptor, bool external) {
  nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
  NetContext *ctx = static_cast<NetContext *>(memAllocPtr(sizeof(NetContext)));
  listAdd(&contextList, &ctx->node);
  ctx->readBuffer = memAlloc(kBufferStep);
  ctx->writeBuffer = memAlloc(kBufferStep);
  bool created = descriptor <= 0;
  // Close-on-exec, as every descriptor of the layer: a program the process
  // starts must not hold its connections (nor keep its bus name alive).
  ctx->fd = created ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : descriptor;
  if (ctx->fd < 0) {
    ctx->fd = -1;
    releaseContext(ctx);
    return nullptr;
  }
  if (ctx->fd >= NET_MAX_DESCRIPTORS) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d beyond the descriptor table, refused\n",
             "allocContext", ctx->fd);
    if (!created) ctx->fd = -1;  // not ours to close
    releaseContext(ctx);
    return nullptr;
  }
  if (!external) {
    // Made non-blocking before it is in the table, so that a failure leaves
    // nothing mapped; a descriptor we were handed is left to the caller.
    int flags = fcntl(ctx->fd, F_GETFL);
    if (flags < 0 || fcntl(ctx->fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d cannot be made non-blocking: %s\n", "allocContext",
               ctx->fd, strerror(errno));
      if (!created) ctx->fd = -1;
      releaseContext(ctx);
      return nullptr;
    }
    int one = 1;
    setsockopt(ctx->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(ctx->fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s mapped fd %d to context %p\n", "allocContext", ctx->fd,
         static_cast<void *>(ctx));
  __atomic_store_n(&descriptorTable[ctx->fd], ctx, __ATOMIC_RELEASE);
  if (ctx->fd > highestFd) highestFd = ctx->fd;
  netPollRescan(ctx->fd);
  return ctx;
}

void freeContext(NetContext *ctx) {
  if (!ctx) return;
  nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
  releaseContext(ctx);
}

// Position of the first line feed among the held bytes, or null.
char *findLineEnd(NetContext *ctx) {
  char *data = static_cast<char *>(memGetData(ctx->readBuffer));
  char *pos = static_cast<char *>(memchr(data, '\n', ctx->readDepth));
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "pos is %p\n", static_cast<void *>(pos));
  return pos;
}

// Drops the first n held bytes, moving the rest to the front.
void consume(NetContext *ctx, int n, bool lineMode) {
  if (n >= ctx->readDepth) {
    ctx->readDepth = 0;
    ctx->lineEnd = nullptr;
    return;
  }
  char *data = static_cast<char *>(memGetData(ctx->readBuffer));
  memmove(data, data + n, ctx->readDepth - n);
  ctx->readDepth -= n;
  ctx->lineEnd = lineMode ? findLineEnd(ctx) : nullptr;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s moved, depth now %d, nlp is %p\n", "netReadData",
         ctx->readDepth, static_cast<void *>(ctx->lineEnd));
}

int deliverLine(NetContext *ctx, int out) {
  char *data = static_cast<char *>(memGetData(ctx->readBuffer));
  NK_ASSERT(ctx->lineEnd != nullptr && ctx->lineEnd >= data);
  int len = static_cast<int>(ctx->lineEnd - data);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s readBuffHandle is %d (%p)\n", "netReadData", ctx->readBuffer,
         static_cast<void *>(data));
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s len is %d, resizing\n", "netReadData", len);
  memResize(out, 0, len + 1);
  char *line = static_cast<char *>(memGetData(out));
  memcpy(line, data, len);
  line[len] = '\0';
  if (len >= 1 && line[len - 1] == '\r') line[len - 1] = '\0';
  consume(ctx, len + 1, true);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "netRead return %s\n", line);
  return 1;
}

int deliverRaw(NetContext *ctx, int out, int limit) {
  int n = ctx->readDepth >= limit ? limit - 1 : ctx->readDepth;
  if (n < 0) n = 0;  // a maximum of 0 or 1 leaves room for nothing
  char *data = static_cast<char *>(memGetData(ctx->readBuffer));
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s readBuffHandle is %d (%p)\n", "netReadData", ctx->readBuffer,
         static_cast<void *>(data));
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s len is %d, resizing\n", "netReadData", n);
  memResize(out, 0, n);
  memcpy(memGetData(out), data, n);
  consume(ctx, n, false);
  return 1;
}

int netReadData(int fd, int out, bool raw, int maximum) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) return -2;
  int limit = memGetSize(ctx->readBuffer);
  if (maximum != -1 && maximum < limit) limit = maximum;
  for (;;) {
    if (!raw && ctx->lineEnd) return deliverLine(ctx, out);
    if (!flag(ctx->readable)) {
      if (raw && ctx->readDepth > 0) return deliverRaw(ctx, out, limit);
      NK_LOG(NKLOG_NOTICE, NK_LOGMASK, "%s fd %d not readable d=%d\n", "netReadData", fd,
             ctx->readDepth);
      return 0;
    }
    int room = limit - ctx->readDepth;
    if (room <= 255 && maximum == -1) {
      limit += kBufferStep;
      memResize(ctx->readBuffer, 1, limit);
      if (!raw) ctx->lineEnd = findLineEnd(ctx);
      NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s resized read buff to %d\n", "netReadData", limit);
      room = limit - ctx->readDepth;
    }
    // With a caller's maximum the held bytes can fill it while the socket
    // is still readable: a receive offered no room would read 0, which is not
    // a closed peer. Hand out what is held instead (never past the buffer).
    if (room <= 0) return deliverRaw(ctx, out, limit);
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "readBuff: attempt to read %d\n", room);
    char *data = static_cast<char *>(memGetData(ctx->readBuffer));
    ssize_t n = recv(fd, data + ctx->readDepth, room, 0);
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s recv returns %d\n", "netReadData", static_cast<int>(n));
    if (n == 0) {
      NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s connection closed\n", "netReadData");
      return -1;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        setFlag(ctx->readable, 0);
        netPollRescan(fd);
        NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s was readable but no line feed seen yet\n",
               "netReadData");
        return 0;
      }
      nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s failed to read from fd %d errno=%d", "netReadData",
               fd, errno);
      return -2;
    }
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s add %d bytes to %d\n", "netReadData", static_cast<int>(n),
           ctx->readDepth);
    ctx->readDepth += static_cast<int>(n);
    if (!raw) ctx->lineEnd = findLineEnd(ctx);
  }
}

int netWriteData(int fd, const void *bytes, int length) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d not valid\n", "netWriteData", fd);
    return -2;
  }
  if (bytes && length > 0) {
    // A peer that does not read must not make the queue ask the allocator for
    // more than its largest block (which would halt the process): past that,
    // the write fails and queues nothing.
    if (length > kMaxWriteQueue - ctx->writeDepth) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d: %d bytes queued, %d more refused\n",
               "netWriteData", fd, ctx->writeDepth, length);
      return -2;
    }
    if (memGetSize(ctx->writeBuffer) < ctx->writeDepth + length) {
      NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s resizing to %d\n", "netWriteData",
             ctx->writeDepth + length);
      memResize(ctx->writeBuffer, 1, ctx->writeDepth + length);
    }
    memcpy(static_cast<char *>(memGetData(ctx->writeBuffer)) + ctx->writeDepth, bytes, length);
    ctx->writeDepth += length;
  }
  if (ctx->writeDepth == 0) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s nothing to write on fd %d\n", "netWriteData", fd);
    return 1;
  }
  if (!flag(ctx->writable)) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s fd %d not writable\n", "netWriteData", fd);
    return 0;
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "writeBuff: attempt to write %d\n", ctx->writeDepth);
  char *data = static_cast<char *>(memGetData(ctx->writeBuffer));
  ssize_t sent = send(fd, data, ctx->writeDepth, 0);
  setFlag(ctx->writable, 0);
  netPollRescan(fd);
  if (sent <= 0) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "writeBuff: len ret %d\n", static_cast<int>(sent));
    return -2;
  }
  if (sent == ctx->writeDepth) {
    ctx->writeDepth = 0;
  } else {
    memmove(data, data + sent, ctx->writeDepth - sent);
    ctx->writeDepth -= static_cast<int>(sent);
  }
  int done = ctx->writeDepth == 0 ? 1 : 0;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s ret %d for fd %d\n", "netWriteData", done, fd);
  return done;
}

// The three re-arm calls: clear the flag and wake the poller.
int rearm(int fd, uint32_t NetContext::*which, const char *label) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) {
    if (inRange(fd)) netExternal(fd);
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s invalid handle\n", label);
    return -2;
  }
  if (!flag(ctx->*which)) return 0;
  setFlag(ctx->*which, 0);
  netPollRescan(fd);
  return 0;
}

void dispatch(NetContext *ctx, int kind) {
  if (ctx->callback) ctx->callback(ctx->fd, kind, ctx->callbackParam);
}

// After select reported an invalid descriptor: mark every context whose
// descriptor is no longer open as bad. It stays registered until closed.
void checkAllFds() {
  nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
  for (ListNode *n = listHead(&contextList); n; n = listNext(&contextList, n)) {
    NetContext *ctx = reinterpret_cast<NetContext *>(n);
    if (fcntl(ctx->fd, F_GETFD) == -1) {
      NK_LOG(NKLOG_NOTICE, NK_LOGMASK, "%s bad fd %d found, removing\n", "checkAllFds", ctx->fd);
      setFlag(ctx->bad, 1);
    }
  }
}

}  // namespace

void netInit(void) {
  nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
  if (__atomic_load_n(&netInitDone, __ATOMIC_ACQUIRE)) return;
  listInit(&contextList);
  if (pipe2(rescanPipe, O_CLOEXEC) != 0) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s can't open pipe\n", "netInit");
    NK_HALT();
  }
  // A full pipe must not block a writer: the wake-up it would carry is
  // already pending.
  for (int end : rescanPipe) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
  struct sigaction current;
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }
  recomputeHighest();
  __atomic_store_n(&netInitDone, 1u, __ATOMIC_RELEASE);
}

// A connect that succeeds at once (no EINPROGRESS) raises no
// NET_EVENT_CONNECTED; it is marked connected here, so that a caller waiting
// for the connected state (netConnected) sees it as it would after the event.
int netConnect(const char *host, int port) {
  NetContext *ctx = allocContext(0, false);
  if (!ctx) return -2;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = inet_addr(host);
  if (addr.sin_addr.s_addr == INADDR_NONE) {
    struct hostent entry, *result = nullptr;
    char work[2048];
    int error = 0;
    if (gethostbyname_r(host, &entry, work, sizeof work, &result, &error) != 0 || !result ||
        result->h_addrtype != AF_INET || !result->h_addr_list[0]) {
      nksyslog(NKLOG_WARNING, NK_LOGMASK, "DNS lookup failure on %s", host);
      freeContext(ctx);
      return -2;
    }
    memcpy(&addr.sin_addr, result->h_addr_list[0], sizeof addr.sin_addr);
  }
  int fd = ctx->fd;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
    setFlag(ctx->connected, 1);
    return fd;
  }
  if (errno == EINPROGRESS) {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "connect in progress\n");
    setFlag(ctx->connecting, 1);
    setFlag(ctx->writable, 0);
    netPollRescan(fd);
    return fd;
  }
  nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s failed: %s", "netConnect", strerror(errno));
  freeContext(ctx);
  return -2;
}

int netExternal(int fd) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s allocate context for fd %d\n", "netExternal", fd);
  return allocContext(fd, true) ? 0 : -2;
}

int netRead(int fd, int out) { return netReadData(fd, out, false, -1); }

int netReadRaw(int fd, int out, int maximum) { return netReadData(fd, out, true, maximum); }

int netWrite(int fd, const char *text) {
  return netWriteData(fd, text, text ? static_cast<int>(strlen(text)) : 0);
}

int netWriteRaw(int fd, const void *bytes, int length) { return netWriteData(fd, bytes, length); }

int netReadable(int fd) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d not valid\n", "netReadable", fd);
    return -2;
  }
  return flag(ctx->readable) ? 1 : 0;
}

int netWritable(int fd) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d not valid\n", "netWritable", fd);
    return -2;
  }
  return flag(ctx->writable) ? 1 : 0;
}

int netConnected(int fd) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s fd %d not valid\n", "netConnected", fd);
    return 1;
  }
  return flag(ctx->connected) ? 1 : 0;
}

int netClose(int fd) {
  freeContext(contextOf(fd));
  return 1;
}

void netPollRescan(int fd) {
  char text[32];
  int len = snprintf(text, sizeof text, "ifd=%d", fd);
  nk::shortLock(&rescanLock);
  uint32_t held = nk::loadRelaxed(&rescanLength);
  bool stored = held + len <= kRescanCapacity;  // a short text goes whole or not at all
  if (stored) {
    memcpy(rescanText + held, text, len);
    __atomic_store_n(&rescanLength, held + len, __ATOMIC_SEQ_CST);
  }
  nk::shortUnlock(&rescanLock);
  if (!stored) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s failed to write %d bytes", "netPollRescan", len);
    return;
  }
  if (__atomic_load_n(&pollerWaiting, __ATOMIC_SEQ_CST) &&
      !__atomic_exchange_n(&tokenInPipe, 1u, __ATOMIC_SEQ_CST)) {
    char token = 0;
    if (write(rescanPipe[1], &token, 1) != 1) {
      __atomic_store_n(&tokenInPipe, 0u, __ATOMIC_SEQ_CST);
      nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s failed to write %d bytes", "netPollRescan", len);
    }
  }
}

int netPoll(int timeout) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s poll all\n", "netPoll");
  int highest;
  {
    nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
    FD_SET(rescanPipe[0], &readSet);
    for (ListNode *n = listHead(&contextList); n; n = listNext(&contextList, n)) {
      NetContext *ctx = reinterpret_cast<NetContext *>(n);
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "poll context fd=%d highest=%d\n", ctx->fd, highestFd);
      NK_ASSERT(ctx->fd != -1);
      if (flag(ctx->bad)) continue;
      if (!flag(ctx->readable)) FD_SET(ctx->fd, &readSet);
      if (!flag(ctx->writable)) {
        NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s fd %d not writable, add to fdset for select\n",
               "netPoll", ctx->fd);
        FD_SET(ctx->fd, &writeSet);
      }
      if (!flag(ctx->exception)) {
        NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s fd %d no exception, add to fdset for select\n",
               "netPoll", ctx->fd);
        FD_SET(ctx->fd, &exceptSet);
      }
    }
    highest = highestFd;
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "select for %d usec\n", timeout);
  // Unread rescan texts make the pipe readable: select then does not wait.
  __atomic_store_n(&pollerWaiting, 1u, __ATOMIC_SEQ_CST);
  bool rescanned = __atomic_load_n(&rescanLength, __ATOMIC_SEQ_CST) != 0;
  struct timeval tv;
  tv.tv_sec = rescanned ? 0 : timeout / 1000000;
  tv.tv_usec = rescanned ? 0 : timeout % 1000000;
  int result = select(highest + 1, &readSet, &writeSet, &exceptSet, &tv);
  __atomic_store_n(&pollerWaiting, 0u, __ATOMIC_SEQ_CST);
  // The texts count as the pipe's read end, unless a wake-up byte made it ready.
  if (result >= 0 && rescanned && !FD_ISSET(rescanPipe[0], &readSet)) result++;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "select returns %d\n", result);
  if (result == 0) return 0;
  if (result < 0) {
    if (errno == EINTR) return 0;
    if (errno == EBADF) {
      checkAllFds();
      return 0;
    }
    return result;
  }
  nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
  if (FD_ISSET(rescanPipe[0], &readSet)) {
    // Drain the wake-up bytes first, then allow the next one: a byte
    // written in between is read by the next pass, never lost.
    char tokens[64];
    while (read(rescanPipe[0], tokens, sizeof tokens) == static_cast<ssize_t>(sizeof tokens)) {
    }
    __atomic_store_n(&tokenInPipe, 0u, __ATOMIC_SEQ_CST);
  }
  if (rescanned || FD_ISSET(rescanPipe[0], &readSet)) {
    char text[kRescanReadMax + 1];
    nk::shortLock(&rescanLock);
    uint32_t held = nk::loadRelaxed(&rescanLength);
    uint32_t n = held < kRescanReadMax ? held : kRescanReadMax;
    memcpy(text, rescanText, n);
    memmove(rescanText, rescanText + n, held - n);
    __atomic_store_n(&rescanLength, held - n, __ATOMIC_SEQ_CST);
    nk::shortUnlock(&rescanLock);
    text[n] = '\0';
    if (n > 0) {
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s select woken up by rescan pipe msg=%s\n", "netPoll",
             text);
    }
  }
  for (ListNode *n = listHead(&contextList); n; n = listNext(&contextList, n)) {
    NetContext *ctx = reinterpret_cast<NetContext *>(n);
    NK_ASSERT(ctx->fd != -1);
    if (flag(ctx->bad)) continue;
    int fd = ctx->fd;
    if (FD_ISSET(fd, &readSet)) {
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "select %d is readable\n", fd);
      setFlag(ctx->readable, 1);
      dispatch(ctx, flag(ctx->listening) ? NET_EVENT_ACCEPT : NET_EVENT_READ);
    }
    if (FD_ISSET(fd, &writeSet)) {
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "select %d is writable\n", fd);
      setFlag(ctx->writable, 1);
      if (flag(ctx->connecting)) {
        setFlag(ctx->connected, 1);
        setFlag(ctx->connecting, 0);
        dispatch(ctx, NET_EVENT_CONNECTED);
      } else if (ctx->callback) {
        NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s doing writable callback for fd %d\n", "netPoll", fd);
        dispatch(ctx, NET_EVENT_WRITE);
      }
    }
    if (FD_ISSET(fd, &exceptSet)) {
      setFlag(ctx->exception, 1);
      setFlag(ctx->bad, 1);
      NK_LOG(NKLOG_INFO, NK_LOGMASK, "select %d has an error\n", fd);
      dispatch(ctx, NET_EVENT_ERROR);
    }
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s returning\n", "netPoll");
  return 1;
}

int netSetCallback(int fd, NetCallback callback, void *param) {
  nk::RankedLock<pthread_mutex_t> lock(&netLock, nk::kRankNet);
  NetContext *ctx = contextOf(fd);
  if (!ctx) return -2;
  ctx->callback = callback;
  ctx->callbackParam = param;
  return 1;
}

int netListen(int port) {
  NetContext *ctx = allocContext(0, false);
  if (!ctx) return -1;
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(ctx->fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    perror("bind");
    freeContext(ctx);
    return -1;
  }
  setFlag(ctx->listening, 1);
  if (listen(ctx->fd, 5) != 0) {
    perror("listen");
    freeContext(ctx);
    return -1;
  }
  return ctx->fd;
}

int netAccept(int fd) {
  NetContext *ctx = contextOf(fd);
  if (!ctx) return -2;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "Socket %d accepting connection\n", fd);
  setFlag(ctx->readable, 0);
  netPollRescan(fd);
  struct sockaddr_in peer;
  socklen_t peerLength = sizeof peer;
  int conn = accept4(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLength, SOCK_CLOEXEC);
  if (conn >= 0) {
    NetContext *accepted = allocContext(conn, false);
    if (!accepted) {
      // Refused: the connection is closed (here only), nothing waits.
      close(conn);
      return -2;
    }
    return conn;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "Socket %d accept EGAIN\n", fd);
    return 0;
  }
  perror("accept");
  return -2;
}

int netReadPoll(int fd) { return rearm(fd, &NetContext::readable, "netReadPoll"); }

int netWritePoll(int fd) { return rearm(fd, &NetContext::writable, "netWritePoll"); }

int netExceptPoll(int fd) { return rearm(fd, &NetContext::exception, "netExceptPoll"); }
