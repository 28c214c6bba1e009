// event -- event names and ids, interests and handlers, posting, pending
// queues, blocking, and the events listings.
//
// DESIGN
// An event id is the slot of its name in one interning table. interestTable
// holds one List of EventInterest records per id; each record has its mirror
// ContextInterest on the context's own interest list, so that a context can
// drop all its interests without searching the table. A name lives as long
// as something references it: every interest holds exactly one reference
// (a registration that finds the interest already there gives back the
// reference its caller took), eventRegister takes one for good.
//
// The 70001 interest lists are calloc'ed zero and made ready on first use,
// so the table costs resident memory only for the pages of the ids in use; a
// list that was never made ready is read as empty. A bitmap beside them (one
// bit per id, set while the id's list is not empty) lets the events listing
// find the next id with interests without looking at every list between.
//
// Everything runs on the thread that runs the contexts; a post can re-enter
// the scheduler (contextSchedule), which can post again (a deferred post), so
// no walk here relies on a list staying as it was across a post.
#define NK_MODULE "event"
#define NK_LOGMASK LOGMASK_RUNTIME
#include "event.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "context.h"
#include "event_internal.h"
#include "hash.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"

static_assert(offsetof(EventInterest, node) == 0, "an interest begins with its node");
static_assert(offsetof(ContextInterest, node) == 0, "a mirror begins with its node");
static_assert(offsetof(DeferredPost, node) == 0, "a deferred post begins with its node");

namespace {

List *interestTable;  // tableSize lists, made ready on first use
uint64_t *listedIds;  // bit id set while interestTable[id] is not empty
int eventNames;       // handle of the name table; 0 before eventInit
int tableSize;
uint32_t uniqueCounter;
char uniqueName[32];
int displayString = -1;  // eventDisplay's text

constexpr size_t kReplyNameSize = 4096;

inline const char *orNull(const char *text) { return text ? text : "(null)"; }

inline const char *textOf(int handle) { return static_cast<const char *>(memGetData(handle)); }

void checkReady() { NK_ASSERT(interestTable != nullptr); }

constexpr int kIdBits = 64;

inline uint64_t idBit(int id) { return uint64_t{1} << (id % kIdBits); }

// The first id from `from` on whose interest list is not empty, or tableSize.
int nextListedId(int from) {
  int words = (tableSize + kIdBits - 1) / kIdBits;
  int w = from / kIdBits;
  if (w >= words) return tableSize;
  uint64_t bits = listedIds[w] & (~uint64_t{0} << (from % kIdBits));
  while (bits == 0) {
    if (++w == words) return tableSize;
    bits = listedIds[w];
  }
  return w * kIdBits + __builtin_ctzll(bits);
}

// The event operations take names from bindings and C callers alike: a null
// one stops the process here rather than in the name table.
int addName(const char *name) {
  checkReady();
  NK_ASSERT(name != nullptr);
  return hashAdd(eventNames, name);
}

Context *currentContext() {
  Context *c = contextGetCurrent();
  NK_ASSERT(c != nullptr);
  return c;
}

bool listReady(const List *list) { return __atomic_load_n(&list->initialised, __ATOMIC_ACQUIRE); }

// The interest list of id, made ready.
List *readyList(int id) {
  checkReady();
  NK_ASSERT(id >= 0 && id < tableSize);
  List *list = &interestTable[id];
  listCheckInit(list);
  return list;
}

// "<name>-reply", the event a request's answer is posted as; cut to fit.
void replyName(const char *name, char (&reply)[kReplyNameSize]) {
  NK_ASSERT(name != nullptr);
  snprintf(reply, sizeof reply, "%s-reply", name);
}

// A copy of a post's parameter, or -1 for none and for the empty text.
int copyParam(const char *param) { return param && *param ? stringDup(param) : -1; }

// The queue of c is full: the event is lost for it (and the contexts after
// it), or, for a blocking post, the poster blocks until c fetches.
int refuseFull(Context *c, const char *name, const char *param, int blocking) {
  if (!blocking) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK,
             "Context %s's pending event queue is full! Can't post %s to %s!", c->name,
             orNull(param), name);
    return -1;
  }
  nksyslog(NKLOG_WARNING, NK_LOGMASK,
           "Context %s's pending event queue is full! Can't post '%s' to %s! Blocking", c->name,
           orNull(param), name);
  DeferredPost *d = static_cast<DeferredPost *>(memAllocPtr(sizeof(DeferredPost)));
  d->name = stringAlloc(32);
  stringPrintf(d->name, "%s-blocked", name);
  d->param = copyParam(param);
  listAdd(&c->deferred, &d->node);
  eventWaitFor(textOf(d->name));
  return -1;
}

// Appends the event to c's queue (not full).
void enqueue(Context *c, int id, const char *param) {
  int n = c->pendingCount;
  c->pendingIds[n] = static_cast<uint32_t>(id);
  c->pendingParams[n] = copyParam(param);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "event param '%s' count %d posted as string %d\n", orNull(param),
         n, c->pendingParams[n]);
  c->pendingCount = n + 1;
  nk::noteQueued(c);
}

}  // namespace

// {==== Internal

int nk::eventNameTable() { return eventNames; }

List *nk::interestListOf(int id) {
  checkReady();
  if (id < 0 || id >= tableSize || !listReady(&interestTable[id])) return nullptr;
  return &interestTable[id];
}

EventInterest *nk::interestFind(int id, Context *c) {
  List *list = interestListOf(id);
  if (!list) return nullptr;
  for (ListNode *n = listHead(list); n; n = listNext(list, n)) {
    EventInterest *in = reinterpret_cast<EventInterest *>(n);
    if (in->context == c) return in;
  }
  return nullptr;
}

// The pending count drops before the deferred post is made: a post that
// reaches c again sees the room this fetch made.
const char *nk::fetchPending(Context *c, DeferredPost **deferred) {
  NK_ASSERT(c != nullptr);
  NK_ASSERT(c->pendingCount > 0);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "eventFetch: c=%s param[0]=%d, last=%d\n", c->name,
         c->pendingParams[0], c->lastParam);
  if (c->lastParam != -1) {
    memFree(c->lastParam);
    c->lastParam = -1;
  }
  const char *name = hashGet(eventNames, static_cast<int>(c->pendingIds[0]));
  c->lastParam = c->pendingParams[0];
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "eventFetch: %p set last=%d\n", static_cast<void *>(c),
         c->lastParam);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "event count is %d\n", c->pendingCount);
  for (int i = 1; i < c->pendingCount; i++) {
    c->pendingIds[i - 1] = c->pendingIds[i];
    c->pendingParams[i - 1] = c->pendingParams[i];
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: Also pending event %d is %d,%d\n", i - 1,
           c->pendingIds[i - 1], c->pendingParams[i - 1]);
  }
  *deferred = reinterpret_cast<DeferredPost *>(listPop(&c->deferred));
  c->pendingCount--;
  return name;
}

void nk::postDeferred(DeferredPost *d) {
  eventPost(textOf(d->name), d->param == -1 ? nullptr : textOf(d->param), 0);
  if (d->param != -1) memFree(d->param);
  stringFree(d->name);
  memFreePtr(d);
}

// }====

// {==== Registry and handlers

// The lists are made ready as they are used (readyList), not here: touching
// all of them would make the whole table resident.
void eventInit(void) {
  NK_ASSERT(interestTable == nullptr);
  tableSize = roundUpToPrime(65536);
  interestTable = static_cast<List *>(calloc(tableSize, sizeof(List)));
  NK_ASSERT(interestTable != nullptr);
  listedIds =
      static_cast<uint64_t *>(calloc((tableSize + kIdBits - 1) / kIdBits, sizeof(uint64_t)));
  NK_ASSERT(listedIds != nullptr);
  eventNames = hashAlloc(tableSize);
}

void eventClose(void) {
  checkReady();
  hashFree(eventNames);
  for (int id = 0; id < tableSize; id++) {
    List *list = &interestTable[id];
    if (!listReady(list)) continue;
    while (ListNode *n = listPop(list)) memFreePtr(n);
    listDestroy(list);
  }
  free(interestTable);
  interestTable = nullptr;
  free(listedIds);
  listedIds = nullptr;
  eventNames = 0;
  if (displayString != -1) {
    stringFree(displayString);
    displayString = -1;
  }
}

int eventRegister(const char *name) { return addName(name); }

int eventFilter(const char *name) {
  int id = addName(name);
  interestAdd(id, contextGetCurrent());
  return 0;
}

const char *eventCreateUnique(void) {
  uniqueCounter++;
  snprintf(uniqueName, sizeof uniqueName, "event-%d", static_cast<int>(uniqueCounter));
  return uniqueName;
}

// A null state name counts as "", the wildcard.
int eventHandler(const char *name, const char *stateName, int32_t ref) {
  if (!stateName || !*stateName) {
    int id = addName(name);
    EventInterest *in = interestAdd(id, contextGetCurrent());
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s funcAddr %d wildcard handler event %s\n", "eventHandler",
           ref, name);
    for (int32_t &slot : in->handlers) slot = ref + EVENT_HANDLER_BASE;
    return 0;
  }
  int index = contextTaskStateFind(stateName);
  if (index == -1) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s register failed - unknown state %s\n", "eventHandler",
             stateName);
    return 0;
  }
  int id = addName(name);
  EventInterest *in = interestAdd(id, contextGetCurrent());
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s set handler %d to %d\n", "eventHandler", index, ref);
  in->handlers[index] = ref + EVENT_HANDLER_BASE;
  return 0;
}

// The name is looked up with a reference of its own, given back once the
// interest (and its reference) is gone.
int eventHandlerClear(const char *name) {
  int id = addName(name);
  interestRemove(id, contextGetCurrent());
  hashRemove(eventNames, id);
  return 0;
}

// A duplicate gives back the reference its caller took for the name, so that
// every interest holds exactly one.
EventInterest *interestAdd(int id, Context *c) {
  NK_ASSERT(c != nullptr);
  List *list = readyList(id);
  for (ListNode *n = listHead(list); n; n = listNext(list, n)) {
    EventInterest *in = reinterpret_cast<EventInterest *>(n);
    if (in->context == c) {
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "Ignore duplicate event interest %d\n", id);
      hashRemove(eventNames, id);
      return in;
    }
  }
  ContextInterest *mirror = static_cast<ContextInterest *>(memAllocPtr(sizeof(ContextInterest)));
  NK_ASSERT(mirror != nullptr);
  mirror->eventId = id;
  listAdd(&c->interests, &mirror->node);
  EventInterest *in = static_cast<EventInterest *>(memAllocPtr(sizeof(EventInterest)));
  NK_ASSERT(in != nullptr);
  in->context = c;
  listAdd(list, &in->node);
  listedIds[id / kIdBits] |= idBit(id);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "Interest noted in event %s(%d) by context %s\n",
         orNull(hashGet(eventNames, id)), id, c->name);
  return in;
}

void interestRemove(int id, Context *c) {
  EventInterest *in = nk::interestFind(id, c);
  NK_ASSERT(in != nullptr);
  List *list = &interestTable[id];
  listRemove(list, &in->node);
  if (listEmpty(list)) listedIds[id / kIdBits] &= ~idBit(id);
  memFreePtr(in);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "Removing interest in event %s(%d) from context %s, list now %p\n",
         orNull(hashGet(eventNames, id)), id, c->name, static_cast<void *>(list));
  ContextInterest *mirror = nullptr;
  for (ListNode *n = listHead(&c->interests); n; n = listNext(&c->interests, n)) {
    if (reinterpret_cast<ContextInterest *>(n)->eventId == id) {
      mirror = reinterpret_cast<ContextInterest *>(n);
      break;
    }
  }
  NK_ASSERT(mirror != nullptr);
  listRemove(&c->interests, &mirror->node);
  memFreePtr(mirror);
  hashRemove(eventNames, id);
}

// }====

// {==== Posting and pending queues

// Each interested context gets the post once: the walk goes on from the
// record after the current one, read before anything can change the list
// (waking a blocked context removes only its own record, and the records
// after it keep the name referenced).
//
// A post carries text. A context blocked with a return type that expects
// something else (an integer, a table, a handle: results that only
// contextUnblock's own callers can give) gets the text as a string rather
// than having it read as another type.
int eventPost(const char *name, const char *param, int blocking) {
  checkReady();
  NK_ASSERT(name != nullptr);
  int delivered = 0;
  int id = hashCheck(eventNames, name);
  List *list = id >= 0 ? nk::interestListOf(id) : nullptr;
  ListNode *n = list ? listHead(list) : nullptr;
  while (n) {
    ListNode *next = listNext(list, n);
    Context *c = reinterpret_cast<EventInterest *>(n)->context;
    bool wakes = c->blockingId != -1 && (c->blockingId == id || c->blockType == CTX_WAITING);
    if (wakes && c->returnType != BLOCK_RETURN_NONE && c->returnType != BLOCK_RETURN_STRING) {
      c->returnType = BLOCK_RETURN_STRING;
    }
    if (contextUnblock(c, id, const_cast<char *>(param))) {
      delivered++;
      interestRemove(id, c);
    } else if (c->pendingCount >= MAX_PENDING_EVENTS) {
      return refuseFull(c, name, param, blocking);
    } else {
      enqueue(c, id, param);
      delivered++;
    }
    n = next;
  }
  if (delivered == 0) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "event %s (%d) ignored (fix this!)\n", name, id);
    return 0;
  }
  contextSchedule();
  return 0;
}

// The deferred post goes out once the fetch is complete; if it makes the name
// lose its last reference, the result is "".
const char *eventFetch(Context *c) {
  DeferredPost *d;
  int id = 0;
  if (c && c->pendingCount > 0) id = static_cast<int>(c->pendingIds[0]);
  const char *name = nk::fetchPending(c, &d);
  if (d) {
    nk::postDeferred(d);
    if (name) name = hashGet(eventNames, id);
  }
  return name ? name : "";
}

const char *eventGetParam(Context *c) {
  NK_ASSERT(c != nullptr);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: eventGetParam: %p has param %d\n",
         static_cast<void *>(c), c->lastParam);
  const char *text = c->lastParam == -1 ? "" : textOf(c->lastParam);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: eventGetParam: %p has param %d=%s\n",
         static_cast<void *>(c), c->lastParam, text);
  return text;
}

int eventClear(void) {
  Context *c = currentContext();
  while (ListNode *n = listHead(&c->interests)) {
    interestRemove(reinterpret_cast<ContextInterest *>(n)->eventId, c);
  }
  while (c->pendingCount > 0) eventFetch(c);
  if (c->lastParam != -1) {
    memFree(c->lastParam);
    c->lastParam = -1;
  }
  return 0;
}

// The interest added here is marked blocked for the listings until the block
// ends (contextUnblock).
int eventBlock(const char *name, int type, int returnType) {
  Context *c = currentContext();
  if (type == CTX_WAITING && c->pendingCount > 0) {
    nksyslog(NKLOG_NOTICE, NK_LOGMASK, "request to block thread but has %d events pending (%s)\n",
             c->pendingCount, orNull(hashGet(eventNames, static_cast<int>(c->pendingIds[0]))));
    return -1;
  }
  int id = addName(name);
  c->blockType = static_cast<uint32_t>(type);
  c->returnType = static_cast<uint32_t>(returnType);
  c->runState = static_cast<uint32_t>(type);
  c->blockingId = id;
  interestAdd(id, c)->blocked = 1;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: context %d has blocked on event %d (%s)\n", c->id, id,
         name);
  return 0;
}

int eventWait(void) {
  currentContext()->runState = CTX_WAITING;
  return 0;
}

int eventWaitFor(const char *name) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s block on %s\n", "eventWaitFor", name);
  eventBlock(name, CTX_BLOCKED, BLOCK_RETURN_STRING);
  return 0;
}

int eventRequest(const char *name, const char *param) {
  char reply[kReplyNameSize];
  replyName(name, reply);
  eventPost(name, param, 0);
  eventBlock(reply, CTX_BLOCKED, BLOCK_RETURN_STRING);
  return 0;
}

int eventReply(const char *name, const char *param) {
  char reply[kReplyNameSize];
  replyName(name, reply);
  eventPost(reply, param, 0);
  return 0;
}

// }====

// {==== Listings

// A negative index starts at id 0.
int eventStatsQuery(int index, int string) {
  checkReady();
  int id = nextListedId(index < 0 ? 0 : index);
  if (id >= tableSize) {
    stringCopy(string, "index=0");
    return 0;
  }
  List *list = nk::interestListOf(id);
  NK_ASSERT(list != nullptr && !listEmpty(list));
  stringPrintf(string, "index=%d,event=%d,name=%s", id + 1, id, orNull(hashGet(eventNames, id)));
  int k = 0;
  for (ListNode *n = listHead(list); n; n = listNext(list, n), k++) {
    const EventInterest *in = reinterpret_cast<EventInterest *>(n);
    char item[CONTEXT_NAME_SIZE + 48];
    snprintf(item, sizeof item, ",in%d=%s,blk%d=%s", k, in->context->name, k,
             in->blocked ? "Yes" : "No");
    stringCats(string, item);
  }
  return id + 1;
}

const char *eventDisplay(Context *c) {
  NK_ASSERT(c != nullptr);
  if (displayString == -1) displayString = stringAlloc(0);
  stringCopy(displayString, "");
  if (c->blockingId != -1) {
    stringPrintf(displayString, "B:%s", orNull(hashGet(eventNames, c->blockingId)));
    return textOf(displayString);
  }
  int shown = 0;
  for (ListNode *n = listHead(&c->interests); n; n = listNext(&c->interests, n)) {
    if (shown == 5) {
      stringCats(displayString, ";");
      stringCats(displayString, "...");
      break;
    }
    if (shown > 0) stringCats(displayString, ";");
    const char *name = hashGet(eventNames, reinterpret_cast<ContextInterest *>(n)->eventId);
    stringCats(displayString, orNull(name));
    shown++;
  }
  return textOf(displayString);
}

// }====

// {==== Extensions

int eventLookup(const char *name) {
  checkReady();
  NK_ASSERT(name != nullptr);
  return hashCheck(eventNames, name);
}

int eventNameCount(void) {
  checkReady();
  return hashCount(eventNames);
}

int eventIdHasInterest(int id) {
  List *list = nk::interestListOf(id);
  return list && !listEmpty(list);
}

// }====
