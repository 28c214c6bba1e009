// nkmsg -- the message-bus client.
//
// DESIGN
// Threads: the process's poll thread loops netPoll and so runs eventCallback
// (under netLock) for every client; each client is driven by one caller
// thread. The callback copies the socket event into the client's flags under
// the client's lock and broadcasts the client's condition; callers copy the
// socket's state into the same flags under the same lock before they wait, so
// a wake-up between copy and wait is never lost. Callers call the socket layer
// without the client's lock (its read and write paths take none).
//
// The callback wakes the caller only for the flag it waits for (waitingFor,
// recorded in the same locked copy): a caller waiting for a reply is not
// woken by the writable event that follows each of its own sends.
//
// A client's lock guards fd, connected, readable, writable, error, rxBuffer,
// timeout, lastSeq and waitingFor. seq, the queue walk and the receive buffer
// belong to the caller thread.
//
// The poll thread runs while at least one client is open: the first open
// starts it, the last close stops and joins it, and a later open starts a new
// one. (One client closing must not stop the polling of another.)
#define NK_MODULE "nkmsg"
#define NK_LOGMASK LOGMASK_IPC
#include "nkmsg.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "list.h"
#include "lock_internal.h"
#include "mem.h"
#include "netfuncs.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"

uint32_t runtimeIPCSuccess;
uint32_t runtimeIPCDisconnect;
uint32_t runtimeIPCBacklog;

struct MsgClient {
  int32_t fd;                // the connection; -2 if the connect failed at once
  uint32_t connected;        // the connection is up
  uint32_t readable;         // copy of the socket's state; what a receiver waits for
  uint32_t writable;         // copy of the socket's state; what a sender waits for
  uint32_t error;            // the socket reported an error
  char name[MSG_NAME_SIZE];  // registered name, the default sender
  int rxBuffer;              // the line netRead fills
  pthread_mutex_t lock;
  pthread_cond_t cond;   // broadcast after each socket event
  int32_t seq;           // number of the last request sent
  int32_t lastSeq;       // seq of the message last taken, -1 if none
  List queue;            // QueuedMsg set aside, newest first
  int32_t timeout;       // microseconds, -1 without bound
  uint32_t *waitingFor;  // the flag the caller last prepared to wait for
};

namespace {

struct QueuedMsg {
  ListNode node;
  int32_t seq;
  int line;  // a copy of the received line
};

// The loopback address: no name lookup on the way to the local bus.
const char kLoopback[] = "127.0.0.1";

pthread_mutex_t pollThreadLock = PTHREAD_MUTEX_INITIALIZER;  // guards the three below
int openClients;
bool pollThreadStarted;
pthread_t pollThread;
uint32_t pollThreadStop;
RuntimeProfile *runtimeWakeupProfile;  // read by the poll thread: atomic

inline void count(uint32_t &counter) { __atomic_fetch_add(&counter, 1u, __ATOMIC_RELAXED); }

void lockClient(MsgClient *c) { nk::lockRanked(&c->lock, nk::kRankMsgClient); }
void unlockClient(MsgClient *c) { nk::unlockRanked(&c->lock, nk::kRankMsgClient); }

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

int clientFd(MsgClient *c) {
  lockClient(c);
  int fd = c->fd;
  unlockClient(c);
  return fd;
}

// Sends one line; returns only when all of it went to the kernel. A failed
// send ends the process.
int msgSend(MsgClient *c, const char *recipient, const char *sender, int type, int seq, int data) {
  int line = stringAlloc(0);
  stringPrintf(line, "%s,%s,%d,%d,%s\r\n", recipient, sender, type, seq,
               static_cast<char *>(memGetData(data)));
  int fd = clientFd(c);
  for (bool first = true;; first = false) {
    lockClient(c);
    c->writable = static_cast<uint32_t>(netWritable(fd));
    c->waitingFor = &c->writable;
    unlockClient(c);
    int r = netWrite(fd, first ? static_cast<char *>(memGetData(line)) : nullptr);
    if (r == 1) break;
    if (r < 0) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s write failure - is IPC server running?\n", "msgSend");
      NK_HALT();
    }
    NK_LOG(NKLOG_NOTICE, NK_LOGMASK, "%s netWrite returns %d\n", "msgSend", r);
    runtimeCondWait(&c->lock, &c->cond, &c->writable);
  }
  stringFree(line);
  return 0;
}

void freeQueued(QueuedMsg *q) {
  memFree(q->line);
  memFreePtr(q);
}

// Takes the next message wanted (*seq, -1 for any) from the set-aside queue
// or the connection. Recipient and sender fields of 260 characters or more
// do not fit the buffers: such a line fails to parse and is discarded.
int msgFetch(MsgClient *c, char *recipient, char *sender, int *type, int *seq, int data,
             int timeout) {
  int wanted = *seq;
  int fd = clientFd(c);
  for (;;) {
    __atomic_store_n(&runtimeIPCBacklog, static_cast<uint32_t>(listCount(&c->queue)),
                     __ATOMIC_RELAXED);
    QueuedMsg *taken = nullptr;
    for (ListNode *n = listHead(&c->queue); n; n = listNext(&c->queue, n)) {
      QueuedMsg *q = reinterpret_cast<QueuedMsg *>(n);
      if (wanted == -1 || q->seq == wanted) {
        taken = q;
        break;
      }
    }
    int candidate;
    if (taken) {
      listRemove(&c->queue, &taken->node);
      candidate = taken->line;
    } else {
      for (;;) {
        NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "calling netRead for %s\n", c->name);
        lockClient(c);
        c->readable = static_cast<uint32_t>(netReadable(fd));
        c->waitingFor = &c->readable;
        int rx = c->rxBuffer;
        unlockClient(c);
        int r = netRead(fd, rx);
        if (r == -1 || r == -2) {
          NK_LOG(NKLOG_NOTICE, NK_LOGMASK, "%s netRead returns %d\n", "msgFetch", r);
          if (r == -1) count(runtimeIPCDisconnect);
          return r == -1 ? MSG_DISCONNECTED : MSG_FAILED;
        }
        if (r == 1) {
          count(runtimeIPCSuccess);
          candidate = rx;
          break;
        }
        if (timeout == 0) return MSG_TIMEOUT;
        if (timeout < 0) {
          runtimeCondWait(&c->lock, &c->cond, &c->readable);
        } else {
          NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s wait %d\n", "msgFetch", timeout);
          if (runtimeTimedCondWait(&c->lock, &c->cond, &c->readable, timeout) != 0) {
            return MSG_TIMEOUT;
          }
        }
      }
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
    QueuedMsg *q = static_cast<QueuedMsg *>(memAllocPtr(sizeof(QueuedMsg)));
    q->seq = msgSeq;
    q->line = memDup(candidate);
    listPush(&c->queue, &q->node);
  }
}

}  // namespace

MsgClient *nkMsgInit(const char *name) { return nkMsgRemoteInit(name, kLoopback); }

MsgClient *nkMsgRemoteInit(const char *name, const char *host) {
  if (strlen(name) >= MSG_NAME_SIZE) {
    // A cut name would register another process's name: refused.
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s name too long (%d characters, at most %d)\n",
             "nkMsgRemoteInit", static_cast<int>(strlen(name)), MSG_NAME_SIZE - 1);
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

  MsgClient *c = static_cast<MsgClient *>(memAllocPtr(sizeof(MsgClient)));
  if (!c) return nullptr;
  memcpy(c->name, name, strlen(name) + 1);
  pthread_mutex_init(&c->lock, nullptr);
  pthread_cond_init(&c->cond, nullptr);
  listInit(&c->queue);
  c->lastSeq = -1;
  lockClient(c);
  c->timeout = -1;
  unlockClient(c);
  int rx = memAlloc(0);
  lockClient(c);
  c->rxBuffer = rx;
  unlockClient(c);

  NK_LOG(NKLOG_INFO, NK_LOGMASK, "calling netConnect\n");
  int fd = netConnect(host, MSG_PORT);
  lockClient(c);
  c->fd = fd;
  unlockClient(c);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s set callbacks\n", "nkMsgRemoteInit");
  netSetCallback(fd, eventCallback, c);
  lockClient(c);
  c->connected = static_cast<uint32_t>(netConnected(fd));
  unlockClient(c);
  runtimeCondWait(&c->lock, &c->cond, &c->connected);

  NK_LOG(NKLOG_INFO, NK_LOGMASK, "nkMsgInit : sending registration request\n");
  int data = stringAlloc(0);
  int result = nkMsgRequest(c, MSG_SERVER_NAME, name, MSG_REGISTER, data);
  stringFree(data);
  if (result != 0) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "nkMsgInit : sending registration request failed\n");
    NK_HALT();
  }
  return c;
}

int nkMsgRequest(MsgClient *client, const char *recipient, const char *sender, int type, int data) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  if (!sender) sender = client->name;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s : sending request %d\n", "nkMsgRequest", type);
  int seq = ++client->seq;
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
  return msgSend(client, recipient, sender ? sender : client->name, type, 0, data);
}

int nkMsgReply(MsgClient *client, const char *recipient, const char *sender, int type, int data) {
  NK_ASSERT(client != nullptr);
  NK_ASSERT(recipient != nullptr);
  lockClient(client);
  int seq = client->lastSeq;
  unlockClient(client);
  return msgSend(client, recipient, sender ? sender : client->name, type, seq, data);
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

void nkMsgSetRuntimeWakeup(RuntimeProfile *profile) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s set %p", "nkMsgSetRuntimeWakeup",
         static_cast<void *>(profile));
  __atomic_store_n(&runtimeWakeupProfile, profile, __ATOMIC_RELEASE);
}

void nkMsgClose(MsgClient *client) {
  int data = stringAlloc(0);
  nkMsgSend(client, MSG_SERVER_NAME, nullptr, MSG_CLOSE, data);
  stringFree(data);
  int fd = clientFd(client);
  netClose(fd);  // no callback for this client runs after this
  pthread_mutex_destroy(&client->lock);
  pthread_cond_destroy(&client->cond);

  pthread_mutex_lock(&pollThreadLock);
  if (--openClients == 0 && pollThreadStarted) {
    __atomic_store_n(&pollThreadStop, 1u, __ATOMIC_RELEASE);
    netPollRescan(fd);
    pthread_join(pollThread, nullptr);
    pollThreadStarted = false;
  }
  pthread_mutex_unlock(&pollThreadLock);

  while (ListNode *n = listPop(&client->queue)) freeQueued(reinterpret_cast<QueuedMsg *>(n));
  listDestroy(&client->queue);
  memFree(client->rxBuffer);
  memFreePtr(client);
}
