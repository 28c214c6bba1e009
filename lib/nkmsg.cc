// nkmsg -- the message-bus client.
//
// DESIGN
// Threads: the process's poll thread loops netPoll and so runs eventCallback
// (under netLock) for every client; each client is driven by one caller
// thread at a time. The callback copies the socket event into the client's
// flags under the client's lock and broadcasts the client's condition; callers
// copy the socket's state into the same flags under the same lock before they
// wait, so a wake-up between copy and wait is never lost. Callers call the
// socket layer without the client's lock (its read and write paths take none).
//
// The callback wakes the caller only for the flag it waits for (waitingFor,
// recorded in the same locked copy): a caller waiting for a reply is not
// woken by the writable event that follows each of its own sends.
//
// Set-aside lines: while a request waits for its reply, other lines are set
// aside, newest first, and handed out later. Each one is also chained in a
// bucket by its seq, so that a request finds its reply among them without
// walking the queue, and the queue is searched once per fetch rather than
// once per line met (what is set aside during a fetch never matches it). The
// queue holds at most kSetAsideLimit bytes: a process that is sent lines it
// never takes (a shell idle at its prompt, say) loses the oldest of them,
// counted in runtimeIPCDropped, instead of its memory. A reply being waited
// for is never set aside, so it is never dropped.
//
// The poll thread runs while at least one client is open: the first open
// starts it, the last close stops and joins it, and a later open starts a new
// one. (One client closing must not stop the polling of another.)
#define NK_MODULE "nkmsg"
#define NK_LOGMASK LOGMASK_IPC
#include "nkmsg.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "atomic_internal.h"
#include "list.h"
#include "lock_internal.h"
#include "mem.h"
#include "netfuncs.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"
#include "timer.h"

uint32_t runtimeIPCSuccess;
uint32_t runtimeIPCDisconnect;
uint32_t runtimeIPCBacklog;
uint32_t runtimeIPCDropped;

namespace {

// A set-aside line.
struct QueuedMsg {
  ListNode node;  // on the client's queue
  int32_t seq;
  int line;                // a copy of the received line
  QueuedMsg *bucketNext;   // the next (older) line in the same seq bucket
  QueuedMsg **bucketLink;  // the pointer that points at this one
};

constexpr int kSeqBucketBits = 6;
constexpr int kSeqBuckets = 1 << kSeqBucketBits;
// Bytes of set-aside lines a client keeps, each counted with its record and
// the two blocks' overhead: 1 MiB, the same as what the bus server queues
// for one slow connection, and at most some 7000 handles of short lines.
constexpr int kSetAsideLimit = 1 << 20;

}  // namespace

struct MsgClient {
  // Set before the client is visible to the poll thread, then only read.
  int32_t fd;                // the connection; -2 if the connect failed at once
  char name[MSG_NAME_SIZE];  // registered name, the default sender
  int rxBuffer;              // the line netRead fills
  bool mayFail;              // opened by nkMsgTryInit: failures are returned, never fatal
  pthread_mutex_t lock;
  pthread_cond_t cond;  // broadcast after each socket event
  // Guarded by lock.
  uint32_t connected;    // the connection is up
  uint32_t readable;     // copy of the socket's state; what a receiver waits for
  uint32_t writable;     // copy of the socket's state; what a sender waits for
  uint32_t error;        // the socket reported an error
  int32_t lastSeq;       // seq of the message last taken, -1 if none
  int32_t timeout;       // microseconds, -1 without bound
  uint32_t *waitingFor;  // the flag the caller last prepared to wait for
  uint32_t interrupted;  // nkMsgInterrupt: the fetch in progress ends
  // The caller thread's own.
  int32_t seq;                    // number of the last request sent
  uint32_t lost;                  // a send or receive found the connection closed or failed
  List queue;                     // QueuedMsg set aside, newest first
  QueuedMsg *bySeq[kSeqBuckets];  // the same, chained by seq bucket, newest first
  int setAsideBytes;              // what the queue holds, as counted against the limit
};

namespace {

// The bus's address without NK_BUS_ADDRESS: the loopback, so that no name
// lookup stands in the way to the local bus.
const char kLoopback[] = "127.0.0.1";
bool badAddressLogged;  // atomic: a bad NK_BUS_ADDRESS is logged once

pthread_mutex_t pollThreadLock = PTHREAD_MUTEX_INITIALIZER;  // guards the three below
int openClients;
bool pollThreadStarted;
pthread_t pollThread;
uint32_t pollThreadStop;
RuntimeProfile *runtimeWakeupProfile;  // read by the poll thread: atomic

inline void count(uint32_t &counter) { nk::addRelaxed(&counter, 1u); }

void lockClient(MsgClient *c) { nk::lockRanked(&c->lock, nk::kRankMsgClient); }
void unlockClient(MsgClient *c) { nk::unlockRanked(&c->lock, nk::kRankMsgClient); }

// Waits on the client's condition until *flag is set (at most usec
// microseconds unless usec is negative); the wait takes and leaves the
// client's lock, so it counts in the lock order like lockClient. Returns
// nonzero on timeout.
int waitClient(MsgClient *c, uint32_t *flag, int usec = -1) {
  nk::lockRankAcquire(nk::kRankMsgClient);
  int r = usec < 0 ? runtimeCondWait(&c->lock, &c->cond, flag)
                   : runtimeTimedCondWait(&c->lock, &c->cond, flag, usec);
  nk::lockRankRelease(nk::kRankMsgClient);
  return r;
}

void *msgPollThread(void *) {
  while (!__atomic_load_n(&pollThreadStop, __ATOMIC_ACQUIRE)) {
    if (netPoll(10000000) < 0) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "netPoll error %s\n", strerror(errno));
      NK_HALT();
    }
  }
  return nullptr;
}

// The socket callback: runs on the poll thread under netLock.
void eventCallback(int, int kind, void *param) {
  MsgClient *c = static_cast<MsgClient *>(param);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s event is %d\n", "eventCallback", kind);
  lockClient(c);
  uint32_t *set = nullptr;
  switch (kind) {
    case NET_EVENT_READ:
    case NET_EVENT_ACCEPT:
      set = &c->readable;
      break;
    case NET_EVENT_WRITE:
      set = &c->writable;
      break;
    case 3:
    case NET_EVENT_ERROR:
      c->error = 1;
      break;
    case NET_EVENT_CONNECTED:
      c->connected = 1;
      break;
    default:
      break;
  }
  // A caller waiting for readable gains nothing from being woken by a
  // writable event (it would only wait again): the flag is set either way, and
  // the waiter is woken when the flag it waits for is the one set.
  bool wake = !set || set == c->waitingFor;
  if (set) *set = 1;
  unlockClient(c);
  if (wake) pthread_cond_broadcast(&c->cond);
  RuntimeProfile *profile = __atomic_load_n(&runtimeWakeupProfile, __ATOMIC_ACQUIRE);
  if (profile) {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s doing wakeup\n", "eventCallback");
    runtimeWakeup(profile);
  }
}

// {==== The set-aside queue

QueuedMsg **bucketOf(MsgClient *c, int32_t seq) {
  return &c->bySeq[(static_cast<uint32_t>(seq) * 2654435769u) >> (32 - kSeqBucketBits)];
}

int setAsideCost(int line) {
  return memGetSize(line) + static_cast<int>(sizeof(QueuedMsg)) + 2 * BLOCK_OVERHEAD;
}

// Unlinks q from its seq bucket; the caller has taken it off the queue.
void unbucket(MsgClient *c, QueuedMsg *q) {
  *q->bucketLink = q->bucketNext;
  if (q->bucketNext) q->bucketNext->bucketLink = q->bucketLink;
  c->setAsideBytes -= setAsideCost(q->line);
}

void freeQueued(QueuedMsg *q) {
  memFree(q->line);
  memFreePtr(q);
}

// Sets a copy of line aside, dropping the oldest lines while the queue would
// pass its limit. Returns the number dropped.
int setAside(MsgClient *c, int32_t seq, int line) {
  int dropped = 0;
  int cost = setAsideCost(line);
  while (c->setAsideBytes + cost > kSetAsideLimit) {
    QueuedMsg *oldest = reinterpret_cast<QueuedMsg *>(listPull(&c->queue));
    if (!oldest) break;
    unbucket(c, oldest);
    freeQueued(oldest);
    count(runtimeIPCDropped);
    dropped++;
  }
  QueuedMsg *q = static_cast<QueuedMsg *>(memAllocPtr(sizeof(QueuedMsg)));
  q->seq = seq;
  q->line = memDup(line);
  listPush(&c->queue, &q->node);
  QueuedMsg **bucket = bucketOf(c, seq);
  q->bucketNext = *bucket;
  q->bucketLink = bucket;
  if (*bucket) (*bucket)->bucketLink = &q->bucketNext;
  *bucket = q;
  c->setAsideBytes += cost;
  return dropped;
}

// Takes the newest set-aside line with seq wanted (-1: the newest of all).
QueuedMsg *takeQueued(MsgClient *c, int32_t wanted) {
  QueuedMsg *q = nullptr;
  if (wanted == -1) {
    q = reinterpret_cast<QueuedMsg *>(listHead(&c->queue));
  } else {
    for (q = *bucketOf(c, wanted); q && q->seq != wanted; q = q->bucketNext) {
    }
  }
  if (q) {
    listRemove(&c->queue, &q->node);
    unbucket(c, q);
  }
  return q;
}

void freeQueue(MsgClient *c) {
  while (QueuedMsg *q = takeQueued(c, -1)) freeQueued(q);
  listDestroy(&c->queue);
}

// }====

// A name heads a field of the line: it must be there, and a comma or a line
// end in it would shift or split the fields.
bool validName(const char *name) { return name[0] != '\0' && !strpbrk(name, ",\r\n"); }

// Sends one line; returns only when all of it went to the kernel. A failed
// send ends the process, unless the client may fail: then it returns -1.
// A line whose fields would not survive the trip (a bad name, data holding a
// line end, which would let one message pass for two) is never sent: logged,
// and -1 whatever the client. Texts end at their first NUL, so none is sent.
int msgSend(MsgClient *c, const char *recipient, const char *sender, int type, int seq, int data) {
  const char *text = static_cast<char *>(memGetData(data));
  if (!validName(recipient) || !validName(sender)) {
    nksyslog(NKLOG_ERR, NK_LOGMASK,
             "%s line of type %d not sent: a name is empty or holds a comma or a line end\n",
             "msgSend", type);
    return -1;
  }
  if (strpbrk(text, "\r\n")) {
    nksyslog(NKLOG_ERR, NK_LOGMASK,
             "%s line of type %d to %s not sent: its data holds a line end\n", "msgSend", type,
             recipient);
    return -1;
  }
  int line = stringAlloc(0);
  stringPrintf(line, "%s,%s,%d,%d,%s\r\n", recipient, sender, type, seq, text);
  int result = 0;
  for (bool first = true;; first = false) {
    lockClient(c);
    c->writable = static_cast<uint32_t>(netWritable(c->fd));
    c->waitingFor = &c->writable;
    unlockClient(c);
    int r = netWrite(c->fd, first ? static_cast<char *>(memGetData(line)) : nullptr);
    if (r == 1) break;
    if (r < 0) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s write failure - is IPC server running?\n", "msgSend");
      if (!c->mayFail) NK_HALT();
      c->lost = 1;
      result = -1;
      break;
    }
    NK_LOG(NKLOG_NOTICE, NK_LOGMASK, "%s netWrite returns %d\n", "msgSend", r);
    waitClient(c, &c->writable);
  }
  stringFree(line);
  return result;
}

// Reads the next line from the connection into rxBuffer, waiting up to
// timeout microseconds (-1 without bound). Returns MSG_OK or a status.
int msgReceive(MsgClient *c, int timeout) {
  for (;;) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "calling netRead for %s\n", c->name);
    lockClient(c);
    if (c->interrupted) {
      c->interrupted = 0;
      unlockClient(c);
      return MSG_INTERRUPTED;
    }
    c->readable = static_cast<uint32_t>(netReadable(c->fd));
    c->waitingFor = &c->readable;
    unlockClient(c);
    int r = netRead(c->fd, c->rxBuffer);
    if (r == -1 || r == -2) {
      NK_LOG(NKLOG_NOTICE, NK_LOGMASK, "%s netRead returns %d\n", "msgFetch", r);
      if (r == -1) count(runtimeIPCDisconnect);
      c->lost = 1;
      return r == -1 ? MSG_DISCONNECTED : MSG_FAILED;
    }
    if (r == 1) {
      count(runtimeIPCSuccess);
      return MSG_OK;
    }
    if (timeout == 0) return MSG_TIMEOUT;
    if (timeout > 0) NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s wait %d\n", "msgFetch", timeout);
    if (waitClient(c, &c->readable, timeout) != 0) return MSG_TIMEOUT;
  }
}

// Takes the next message wanted (*seq, -1 for any) from the set-aside queue
// or the connection. Recipient and sender fields of 260 characters or more
// do not fit the buffers: such a line fails to parse and is discarded.
int msgFetch(MsgClient *c, char *recipient, char *sender, int *type, int *seq, int data,
             int timeout) {
  int wanted = *seq;
  bool searchQueue = true;  // until the queue is found to hold nothing wanted
  // An interruption is for a fetch in progress: one left over from a command
  // that had stopped waiting must not end this one.
  lockClient(c);
  c->interrupted = 0;
  unlockClient(c);
  int dropped = 0;
  for (;;) {
    nk::storeRelaxed(&runtimeIPCBacklog, static_cast<uint32_t>(listCount(&c->queue)));
    QueuedMsg *taken = searchQueue ? takeQueued(c, wanted) : nullptr;
    int candidate;
    if (taken) {
      candidate = taken->line;
    } else {
      searchQueue = false;
      int r = msgReceive(c, timeout);
      if (r != MSG_OK) return r;
      candidate = c->rxBuffer;
    }
    const char *line = static_cast<char *>(memGetData(candidate));
    if (line[0] == '*') {
      if (taken) freeQueued(taken);
      continue;
    }
    memResize(data, 0, memGetSize(candidate));
    char *text = static_cast<char *>(memGetData(data));
    text[0] = '\0';
    int msgType = 0, msgSeq = 0;
    int fields =
        sscanf(line, "%259[^,],%259[^,],%d,%d,%[^\r]", recipient, sender, &msgType, &msgSeq, text);
    if (fields < 4) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "parse error on '%s', discarding\n", line);
      if (taken) freeQueued(taken);
      continue;
    }
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s msg %d seq %d/%d from %s to %s\n", "msgRecv", msgType,
           wanted, msgSeq, sender, recipient);
    if (wanted == -1 || wanted == msgSeq) {
      if (fields == 4) text[0] = '\0';
      if (taken) freeQueued(taken);
      *type = msgType;
      *seq = msgSeq;
      return MSG_OK;
    }
    // Only a line read from the connection gets here: a queued one taken
    // always matches.
    int more = setAside(c, msgSeq, candidate);
    if (more && !dropped) {
      nksyslog(NKLOG_WARNING, NK_LOGMASK,
               "%s: %s has %d bytes of lines set aside, dropping the oldest\n", "msgFetch", c->name,
               kSetAsideLimit);
    }
    dropped += more;
  }
}

// Closes the connection and frees the client; the poll thread ends with the
// last open client.
void releaseClient(MsgClient *client) {
  netClose(client->fd);  // no callback for this client runs after this
  pthread_mutex_destroy(&client->lock);
  pthread_cond_destroy(&client->cond);

  pthread_mutex_lock(&pollThreadLock);
  if (--openClients == 0 && pollThreadStarted) {
    __atomic_store_n(&pollThreadStop, 1u, __ATOMIC_RELEASE);
    netPollRescan(client->fd);
    pthread_join(pollThread, nullptr);
    pollThreadStarted = false;
  }
  pthread_mutex_unlock(&pollThreadLock);

  freeQueue(client);
  memFree(client->rxBuffer);
  memFreePtr(client);
}

// Opens and registers a client. A server that cannot be reached or refuses
// the registration ends the process, unless mayFail: then the client is
// released and the result is null, and the client's later sends return their
// failures too.
MsgClient *openClient(const char *name, const char *host, bool mayFail) {
  if (strlen(name) >= MSG_NAME_SIZE) {
    // A cut name would register another process's name: refused.
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s name too long (%d characters, at most %d)\n",
             "nkMsgRemoteInit", static_cast<int>(strlen(name)), MSG_NAME_SIZE - 1);
    return nullptr;
  }
  if (!validName(name)) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s name is empty or holds a comma or a line end\n",
             "nkMsgRemoteInit");
    return nullptr;
  }
  netInit();
  pthread_mutex_lock(&pollThreadLock);
  if (!pollThreadStarted) {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s create poll thread\n", "nkMsgRemoteInit");
    __atomic_store_n(&pollThreadStop, 0u, __ATOMIC_RELEASE);
    if (pthread_create(&pollThread, nullptr, msgPollThread, nullptr) != 0) {
      pthread_mutex_unlock(&pollThreadLock);
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s can't create poll thread\n", "nkMsgRemoteInit");
      NK_HALT();
    }
    usleep(100);
    pollThreadStarted = true;
  }
  openClients++;
  pthread_mutex_unlock(&pollThreadLock);

  // The allocator stops the process rather than return null; no other
  // thread sees the record before netSetCallback.
  MsgClient *c = static_cast<MsgClient *>(memAllocPtr(sizeof(MsgClient)));
  memcpy(c->name, name, strlen(name) + 1);
  pthread_mutex_init(&c->lock, nullptr);
  pthread_cond_init(&c->cond, nullptr);
  listInit(&c->queue);
  c->lastSeq = -1;
  c->timeout = -1;
  c->rxBuffer = memAlloc(0);
  c->mayFail = mayFail;

  NK_LOG(NKLOG_INFO, NK_LOGMASK, "calling netConnect\n");
  c->fd = netConnect(host, MSG_PORT);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s set callbacks\n", "nkMsgRemoteInit");
  netSetCallback(c->fd, eventCallback, c);
  lockClient(c);
  c->connected = static_cast<uint32_t>(netConnected(c->fd));
  unlockClient(c);
  waitClient(c, &c->connected);

  // The registration is a request like any other (seq 1, the client's
  // timeout, still unbounded), logged as one; a client that may fail gets
  // its failed send back as MSG_FAILED.
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "nkMsgInit : sending registration request\n");
  int data = stringAlloc(0);
  int result = nkMsgRequest(c, MSG_SERVER_NAME, name, MSG_REGISTER, data);
  stringFree(data);
  if (result != 0) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "nkMsgInit : sending registration request failed\n");
    if (!mayFail) NK_HALT();
    releaseClient(c);
    return nullptr;
  }
  return c;
}

}  // namespace

// The address is copied, so that the caller's text stays valid whatever
// changes the environment afterwards; a dotted address is at most 15
// characters.
const char *nkMsgBusAddress(void) {
  static thread_local char address[INET_ADDRSTRLEN];
  const char *value = getenv("NK_BUS_ADDRESS");
  struct in_addr parsed;
  if (!value) return kLoopback;
  if (inet_pton(AF_INET, value, &parsed) != 1) {
    if (!__atomic_exchange_n(&badAddressLogged, true, __ATOMIC_RELAXED)) {
      nksyslog(NKLOG_WARNING, NK_LOGMASK,
               "NK_BUS_ADDRESS '%.64s' is not a dotted IPv4 address, using %s\n", value, kLoopback);
    }
    return kLoopback;
  }
  return inet_ntop(AF_INET, &parsed, address, sizeof address) ? address : kLoopback;
}

MsgClient *nkMsgInit(const char *name) { return openClient(name, nkMsgBusAddress(), false); }

MsgClient *nkMsgRemoteInit(const char *name, const char *host) {
  return openClient(name, host, false);
}

MsgClient *nkMsgTryInit(const char *name) { return openClient(name, nkMsgBusAddress(), true); }

MsgClient *nkMsgRetryInit(MsgRetry *retry, const char *name, int64_t *due) {
  constexpr int64_t kFirstWait = 100000, kLongestWait = 5000000;  // us
  NK_ASSERT(retry != nullptr);
  int64_t now = timerMonotonicMicroSec();
  if (now < 0) now = retry->next;  // a clock that cannot be read holds no try back
  MsgClient *client = nullptr;
  if (now >= retry->next) {
    client = nkMsgTryInit(name);
    if (client) {
      retry->wait = 0;
    } else {
      int64_t wait = retry->wait > 0 ? retry->wait : kFirstWait;
      retry->next = now + wait;
      retry->wait = 2 * wait < kLongestWait ? 2 * wait : kLongestWait;
    }
  }
  if (due) *due = client ? 0 : retry->next - now;
  return client;
}

int nkMsgRequest(MsgClient *client, const char *recipient, const char *sender, int type, int data) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  if (!sender) sender = client->name;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s : sending request %d\n", "nkMsgRequest", type);
  // Requests are numbered from 1 and never 0 (the seq of one-way lines):
  // after the largest number the count starts again at 1.
  client->seq = client->seq == INT32_MAX ? 1 : client->seq + 1;
  int seq = client->seq;
  int result = msgSend(client, recipient, sender, type, seq, data);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s : send result is %d\n", "nkMsgRequest", result);
  if (result != 0) return MSG_FAILED;
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int replyType = 0;
  lockClient(client);
  int timeout = client->timeout;
  unlockClient(client);
  result = msgFetch(client, to, from, &replyType, &seq, data, timeout);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s : recv result is %d\n", "nkMsgRequest", result);
  return result != 0 ? result : replyType;
}

int nkMsgSend(MsgClient *client, const char *recipient, const char *sender, int type, int data) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  return msgSend(client, recipient, sender ? sender : client->name, type, 0, data) ? MSG_FAILED : 0;
}

int nkMsgReply(MsgClient *client, const char *recipient, const char *sender, int type, int data) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  lockClient(client);
  int seq = client->lastSeq;
  unlockClient(client);
  return msgSend(client, recipient, sender ? sender : client->name, type, seq, data) ? MSG_FAILED
                                                                                     : 0;
}

// Without a sender buffer the sender field goes to scratch space: the
// client's own name (its default sender) is never overwritten.
int nkMsgPoll(MsgClient *client, char *recipient, char *sender, int *type, int data, int timeout) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  char scratch[MSG_NAME_SIZE];
  int scratchType = 0;
  int seq = -1;
  int result = msgFetch(client, recipient, sender ? sender : scratch, type ? type : &scratchType,
                        &seq, data, timeout);
  lockClient(client);
  client->lastSeq = result == MSG_OK ? seq : -1;
  unlockClient(client);
  return result;
}

int nkMsgGet(MsgClient *client, char *recipient, char *sender, int *type, int data) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  lockClient(client);
  int timeout = client->timeout;
  unlockClient(client);
  return nkMsgPoll(client, recipient, sender, type, data, timeout);
}

void nkMsgTimeoutSet(MsgClient *client, int usec) {
  lockClient(client);
  client->timeout = usec < 0 ? -1 : usec;
  unlockClient(client);
}

// Sets the flag the receiver waits for, so that a wait in progress wakes and
// finds the interruption.
void nkMsgInterrupt(MsgClient *client) {
  lockClient(client);
  client->interrupted = 1;
  client->readable = 1;
  unlockClient(client);
  pthread_cond_broadcast(&client->cond);
}

void nkMsgSetRuntimeWakeup(RuntimeProfile *profile) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s set %p", "nkMsgSetRuntimeWakeup",
         static_cast<void *>(profile));
  __atomic_store_n(&runtimeWakeupProfile, profile, __ATOMIC_RELEASE);
}

void nkMsgClose(MsgClient *client) {
  // A client that may fail skips the sign-off that its lost connection
  // cannot take; any other client sends it, and a failed send ends the
  // process as every failed send does.
  if (!(client->mayFail && client->lost)) {
    int data = stringAlloc(0);
    nkMsgSend(client, MSG_SERVER_NAME, nullptr, MSG_CLOSE, data);
    stringFree(data);
  }
  releaseClient(client);
}
