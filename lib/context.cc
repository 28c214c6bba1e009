// context -- Lua scripts run as cooperative contexts: the context record and
// its run lists, creation, execution, Lua calls and errors, destruction, the
// moves of waiting contexts back to the runnable list, task states and
// information.
//
// DESIGN
// One thread (the main loop's) does everything here; there is no lock beyond
// each list's own mutex. A context is on exactly one of:
//   runnableList  to be resumed; CTX_YIELDED ones are passed over once when
//                 they reach the head, so that woken contexts run first;
//   waitingList   waiting for an event, blocked on one, or failed for good;
//   no list       while it runs (it is then `current`), and after a failed
//                 creation.
// contextSchedule and contextUnblock move contexts from waitingList to the
// back of runnableList, with the values their pending call returns pushed on
// their Lua thread; paramCount says how many.
//
// contextSchedule takes, again and again, the first context of waitingList
// that has an event to take (events pending, no block). It does not walk the
// list for it: a device parks hundreds of contexts there, and each post would
// pay for all of them. Each context gets a number when it joins waitingList
// (waitOrders, by anchor position, moved with the anchor slots; rising, so
// that the numbers follow the list's order; 0 off the list), and the heap
// maybeReady holds (number, context) for every context that may have become
// one to take since: one that joined with events pending, and one that an
// event was queued for while it waited (nk::noteQueued). The entry with the
// lowest number is checked first: one whose context has left the list since
// (its number differs) or has nothing to take is dropped. A waiting context
// can only come to have something to take by a queued event (a block ends by
// moving its context to runnableList), so the first entry that passes is the
// first such context of the list, as the walk would find it. A destroyed
// context's entries are taken out with it. The heap is on the system heap,
// beside the records, and is empty after every pass.
//
// Every context's Lua thread is kept alive by its place on anchorThread's
// stack; anchorSlots[k] points at the anchorPosition field of the context
// whose thread is at position k + 1, so that a removal can renumber the
// contexts above it. The slots are zero static storage: only the pages of
// positions in use become resident.
//
// Lua raises errors and yields with longjmp, through doLuaCall and everything
// that calls it (contextCallFunction, eventDispatch, the bindings): nothing
// in those frames may need a destructor.
#define NK_MODULE "context"
#define NK_LOGMASK LOGMASK_RUNTIME
#include "context.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <initializer_list>

#include <lauxlib.h>

#include "array.h"
#include "configfile.h"
#include "event.h"
#include "event_internal.h"
#include "hash.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"
#include "table.h"

static_assert(offsetof(Context, node) == 0, "a context begins with its list node");

namespace {

Context *current;
List runnableList;
List waitingList;
uint32_t runListChanges;  // see contextRunListChanges
bool fatalError;
lua_State *anchorThread;
int32_t *anchorSlots[CONTEXT_ANCHOR_SLOTS];
uint32_t idCounter;
char anchorKey;  // its address keys the anchor thread in the registry

constexpr size_t kPathSize = 4096;
const char kDefaultScriptDir[] = "/usr/share/orvalin/scripts";

inline const char *orNull(const char *text) { return text ? text : "(null)"; }

inline Context *contextOf(ListNode *node) { return reinterpret_cast<Context *>(node); }

uint64_t waitOrders[CONTEXT_ANCHOR_SLOTS];  // by anchor position - 1
uint64_t lastWaitOrder;

struct ReadyEntry {
  uint64_t order;
  Context *context;
};
ReadyEntry *maybeReady;  // a binary heap, lowest order first
size_t readyCount, readyCapacity;

void readyPush(uint64_t order, Context *c) {
  if (readyCount == readyCapacity) {
    size_t capacity = readyCapacity ? 2 * readyCapacity : 64;
    void *grown = realloc(maybeReady, capacity * sizeof *maybeReady);
    NK_ASSERT(grown != nullptr);
    maybeReady = static_cast<ReadyEntry *>(grown);
    readyCapacity = capacity;
  }
  size_t i = readyCount++;
  while (i > 0 && maybeReady[(i - 1) / 2].order > order) {
    maybeReady[i] = maybeReady[(i - 1) / 2];
    i = (i - 1) / 2;
  }
  maybeReady[i] = {order, c};
}

// Puts entry at position i, moving lower children up (the heap minus i's old
// entry, plus this one).
void readySiftDown(size_t i, ReadyEntry entry) {
  for (;;) {
    size_t child = 2 * i + 1;
    if (child >= readyCount) break;
    if (child + 1 < readyCount && maybeReady[child + 1].order < maybeReady[child].order) child++;
    if (entry.order <= maybeReady[child].order) break;
    maybeReady[i] = maybeReady[child];
    i = child;
  }
  maybeReady[i] = entry;
}

ReadyEntry readyPop() {
  ReadyEntry top = maybeReady[0];
  if (--readyCount > 0) readySiftDown(0, maybeReady[readyCount]);
  return top;
}

// Takes every entry of c out of the heap.
void readyForget(const Context *c) {
  size_t kept = 0;
  for (size_t i = 0; i < readyCount; i++) {
    if (maybeReady[i].context != c) maybeReady[kept++] = maybeReady[i];
  }
  if (kept == readyCount) return;
  readyCount = kept;
  for (size_t i = readyCount / 2; i-- > 0;) readySiftDown(i, maybeReady[i]);
}

uint64_t &waitOrderOf(const Context *c) { return waitOrders[c->anchorPosition - 1]; }

// c has left waitingList (or was not on it). A position out of range is left
// for unanchor's assertion.
void clearWaitOrder(const Context *c) {
  if (c->anchorPosition > 0 && c->anchorPosition < CONTEXT_ANCHOR_SLOTS) waitOrderOf(c) = 0;
}

Context *currentContext() {
  NK_ASSERT(current != nullptr);
  return current;
}

void addWaiting(Context *c) {
  listAdd(&waitingList, &c->node);
  uint64_t order = ++lastWaitOrder;
  waitOrderOf(c) = order;
  if (c->pendingCount > 0) readyPush(order, c);
}

// Moves c from waitingList to the back of runnableList.
void makeRunnable(Context *c) {
  listRemove(&waitingList, &c->node);
  clearWaitOrder(c);
  listAdd(&runnableList, &c->node);
  runListChanges++;
}

bool onList(List *list, Context *c) {
  for (ListNode *n = listHead(list); n; n = listNext(list, n)) {
    if (n == &c->node) return true;
  }
  return false;
}

// Takes a context that is not running off the run list that holds it.
void unlinkIdle(Context *c) {
  if (!listIsMember(&c->node)) return;
  listRemove(onList(&runnableList, c) ? &runnableList : &waitingList, &c->node);
  runListChanges++;
  clearWaitOrder(c);
}

// Removes c's thread from the anchor stack; the contexts anchored above it
// move down one position.
void unanchor(Context *c) {
  int top = lua_gettop(anchorThread);
  int p = c->anchorPosition;
  NK_ASSERT(p > 0 && p < CONTEXT_ANCHOR_SLOTS);
  NK_ASSERT(p <= top && anchorSlots[p - 1] == &c->anchorPosition);
  lua_remove(anchorThread, p);
  for (int q = p + 1; q <= top; q++) {
    anchorSlots[q - 2] = anchorSlots[q - 1];
    waitOrders[q - 2] = waitOrders[q - 1];
    (*anchorSlots[q - 2])--;
  }
  anchorSlots[top - 1] = nullptr;
  waitOrders[top - 1] = 0;
}

// Pushes what a blocking call returns, as c's return type asks; the number
// of values pushed. An undefined return type pushes nil, so that the count
// and the stack agree.
int pushResult(Context *c, void *param) {
  lua_State *L = c->thread;
  if (c->returnType == BLOCK_RETURN_NONE) return 0;
  if (!param) {
    lua_pushnil(L);
    return 1;
  }
  switch (c->returnType) {
    case BLOCK_RETURN_STRING:
      NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextUnblock: ret string, param is %p (%s)\n", param,
             static_cast<const char *>(param));
      lua_pushstring(L, static_cast<const char *>(param));
      break;
    case BLOCK_RETURN_INTEGER:
      lua_pushinteger(L, *static_cast<int32_t *>(param));
      break;
    case BLOCK_RETURN_BOOLEAN:
      lua_pushboolean(L, *static_cast<uint32_t *>(param) != 0);
      break;
    case BLOCK_RETURN_TABLE: {
      LuaTable *table = static_cast<LuaTable *>(param);
      if (tableToLua(table, L) != 1) lua_pushnil(L);
      tableDestroy(table);
      break;
    }
    case BLOCK_RETURN_HANDLE: {
      int handle = *static_cast<int *>(param);
      if (handle >= 0 && memIsValid(handle)) {
        lua_pushlstring(L, static_cast<const char *>(memGetData(handle)),
                        static_cast<size_t>(memGetSize(handle)));
        memFree(handle);
      } else {
        lua_pushnil(L);
      }
      break;
    }
    default:
      lua_pushnil(L);
      break;
  }
  return 1;
}

}  // namespace

// {==== Context record and run lists

void contextInit(lua_State *L) {
  anchorThread = lua_newthread(L);
  lua_pushvalue(L, -1);
  lua_rawsetp(L, LUA_REGISTRYINDEX, &anchorKey);
  current = nullptr;
  listInit(&runnableList);
  listInit(&waitingList);
  readyCount = 0;  // contexts of an earlier state are gone with it
}

Context *contextGetCurrent(void) { return current; }

Context *contextGetNextRunnable(Context *prev) {
  return contextOf(prev ? listNext(&runnableList, &prev->node) : listHead(&runnableList));
}

Context *contextGetNextWaiting(Context *prev) {
  return contextOf(prev ? listNext(&waitingList, &prev->node) : listHead(&waitingList));
}

uint32_t contextRunListChanges(void) { return runListChanges; }

int contextAnyRunnable(void) {
  if (fatalError || listEmpty(&runnableList)) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "context: no runnable threads\n");
    return 0;
  }
  return 1;
}

int contextAnyWaiting(void) {
  if (fatalError || listEmpty(&waitingList)) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "context: no runnable threads\n");
    return 0;
  }
  return 1;
}

void contextSetFatalError(void) { fatalError = true; }

// }====

// {==== Context execution and Lua calls

// A path that does not fit its buffer is not cut (a cut path could name
// another file): the context fails as for a missing file.
Context *contextCreate(const char *name, int argc, char **argv) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s\n", "contextCreate");
  NK_ASSERT(name != nullptr && (argc <= 1 || argv != nullptr));
  Context *c = static_cast<Context *>(memAllocPtr(sizeof(Context)));
  if (!c) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "failed to allocate space for context\n");
    NK_HALT();
  }
  if (!lua_checkstack(anchorThread, 1)) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s couldn't grow global stack\n", "contextCreate");
    NK_HALT();
  }
  lua_State *thread = lua_newthread(anchorThread);
  c->thread = thread;
  c->anchorPosition = lua_gettop(anchorThread);
  NK_ASSERT(c->anchorPosition > 0 && c->anchorPosition < CONTEXT_ANCHOR_SLOTS);
  anchorSlots[c->anchorPosition - 1] = &c->anchorPosition;
  waitOrders[c->anchorPosition - 1] = 0;

  const char *dir = configValue("scriptDir", kDefaultScriptDir);
  if (!dir) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s must have a scriptDir entry\n", CONFIG_DEFAULT_PATH);
    NK_HALT();
  }
  size_t dirLength = strlen(dir);
  const char *slash = dirLength > 0 && dir[dirLength - 1] == '/' ? "" : "/";
  char path[kPathSize];
  int status;
  if (static_cast<size_t>(snprintf(path, sizeof path, "%s%s%s.lua", dir, slash, name)) >=
      sizeof path) {
    lua_pushfstring(thread, "cannot open %s%s%s.lua: path too long", dir, slash, name);
    status = LUA_ERRFILE;
  } else {
    status = luaL_loadfilex(thread, path, nullptr);
  }
  if (status != LUA_OK) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s received error %d from lua loadfile %s with thread %p\n",
             "contextCreate", status, path, static_cast<void *>(thread));
    handleLuaError(status, c);
    c->runState = CTX_FAILED;
  } else {
    c->runState = CTX_RUNNABLE;
  }

  c->id = static_cast<int32_t>(idCounter++);
  snprintf(c->name, sizeof c->name, "%s", name);
  c->paramCount = 0;
  c->blockingId = -1;
  c->lastParam = -1;
  c->info = arrayAlloc();
  c->taskStates[0] = stringDupPtr("");
  c->taskStateCount = 1;
  c->taskState = 0;
  listInit(&c->interests);
  listInit(&c->deferred);
  if (c->runState != CTX_RUNNABLE) return c;

  if (argc > 1 && !lua_checkstack(thread, argc - 1)) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s couldn't grow thread %p's stack\n", "contextCreate",
             static_cast<void *>(thread));
    c->runState = CTX_FAILED;
    return c;
  }
  for (int i = 1; i < argc; i++) {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: param %d is %s\n", i, argv[i]);
    lua_pushstring(thread, argv[i]);
    c->paramCount++;
  }
  listAdd(&runnableList, &c->node);
  runListChanges++;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: created new runnable context %d (%p) name %s\n", c->id,
         static_cast<void *>(c), c->name);
  return c;
}

int contextExecute(void) {
  if (listEmpty(&runnableList)) return 0;
  int count = 0;
  for (;;) {
    if (!contextAnyRunnable()) return 0;
    NK_ASSERT(current == nullptr);
    // Whatever a turn does to the run lists counts as one change, made as
    // the context is taken: nobody asks for the count before the turn ends.
    current = contextOf(listPop(&runnableList));
    runListChanges++;
    NK_ASSERT(current != nullptr);
    while (current->runState == CTX_YIELDED) {
      current->runState = CTX_RUNNABLE;
      listAdd(&runnableList, &current->node);
      current = contextOf(listPop(&runnableList));
    }
    doLuaCall(1);
    if (fatalError) return 0;
    Context *c = current;
    switch (c->runState) {
      case CTX_RUNNABLE:
        NK_LOG(NKLOG_INFO, NK_LOGMASK, "context:  %d (%s) yielding, runnable\n", c->id, c->name);
        NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: other runnable contexts: %d\n",
               listCount(&runnableList));
        listAdd(&runnableList, &c->node);
        current = nullptr;
        c->runState = CTX_YIELDED;
        c->paramCount = 0;
        break;
      case CTX_FAILED:
        nksyslog(NKLOG_NOTICE, NK_LOGMASK, "context: %p failed, add to wait list\n",
                 static_cast<void *>(c));
        eventClear();
        [[fallthrough]];
      case CTX_WAITING:
      case CTX_BLOCKED:
        NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: %d (%s) waiting\n", c->id, c->name);
        addWaiting(c);
        current = nullptr;
        contextSchedule();
        break;
      case CTX_DONE:
        NK_LOG(NKLOG_INFO, NK_LOGMASK, "context: %p done name %s\n", static_cast<void *>(c),
               c->name);
        contextDestroy(c);
        current = nullptr;
        break;
      default:
        nksyslog(NKLOG_ERR, NK_LOGMASK, "Unknown context state");
        NK_HALT();
    }
    count++;
    if (listEmpty(&runnableList)) return count;
  }
}

void contextCallFunction(int ref, const char *event, const char *param) {
  Context *c = currentContext();
  if (!lua_checkstack(c->thread, 3)) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s couldn't grow thread %p's stack\n", "contextCallFunction",
             static_cast<void *>(c->thread));
    return;
  }
  lua_rawgeti(c->thread, LUA_REGISTRYINDEX, ref);
  lua_pushstring(c->thread, event);
  lua_pushstring(c->thread, param);
  c->paramCount = 2;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s pushed addr %d event %s (%s) to context %s stack depth %d\n",
         "contextCallFunction", ref, orNull(event), orNull(param), c->name, lua_gettop(c->thread));
  doLuaCall(0);
}

int eventDispatch(const char *name, const char *param) {
  if (!name) return 0;
  Context *c = currentContext();
  int state = contextTaskStateGet();
  int id = hashCheck(nk::eventNameTable(), name);
  NK_ASSERT(id >= 0);
  List *list = nk::interestListOf(id);
  for (ListNode *n = list ? listHead(list) : nullptr; n; n = listNext(list, n)) {
    EventInterest *in = reinterpret_cast<EventInterest *>(n);
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s inter=%p curr=%p\n", "eventDispatch",
           static_cast<void *>(in->context), static_cast<void *>(c));
    if (in->context != c) continue;
    if (in->handlers[state] != 0) {
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s set up call\n", "eventDispatch");
      contextCallFunction(in->handlers[state] - EVENT_HANDLER_BASE, name, param);
    } else {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s: No handler for event %s in state %d/%s\n",
               "eventDispatch", name, state, contextTaskStateGetName());
    }
    return 0;
  }
  nksyslog(NKLOG_ERR, NK_LOGMASK, "No interest registered in event %s\n", name);
  return 0;
}

// A context that is not current is made current while its events are
// cleared (eventClear works on the current context), then the previous one
// is put back. Deferred posts that no fetch re-posted go out here, so that no
// poster stays blocked on a context that is gone.
void contextDestroy(Context *c) {
  NK_ASSERT(c != nullptr);
  Context *previous = current;
  if (c != current) unlinkIdle(c);
  readyForget(c);
  unanchor(c);
  for (int i = 0; i < c->taskStateCount; i++) stringFreePtr(c->taskStates[i]);
  arrayFree(c->info);
  current = c;
  eventClear();
  while (ListNode *n = listPop(&c->deferred)) {
    nk::postDeferred(reinterpret_cast<DeferredPost *>(n));
  }
  current = previous == c ? nullptr : previous;
  listDestroy(&c->interests);
  listDestroy(&c->deferred);
  memFreePtr(c);
}

void doLuaCall(int resume) {
  Context *c = currentContext();
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s execute context %d,%s with resume=%d, paramcount %d\n",
         "doLuaCall", c->id, c->name, resume, c->paramCount);
  int status;
  if (resume) {
    status = lua_resume(c->thread, nullptr, c->paramCount);
  } else {
    status = lua_pcallk(c->thread, c->paramCount, 0, 0, 0, doLuaCallContinue);
  }
  doLuaCallFinish(status);
}

void doLuaCallFinish(int status) {
  Context *c = currentContext();
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s return status of %s is %d\n", "doLuaCallFinish", c->name,
         status);
  switch (status) {
    case LUA_OK:
      c->runState = CTX_DONE;
      break;
    case LUA_YIELD:
      break;  // the binding that yielded has set the state it wants
    case LUA_ERRRUN:
    case LUA_ERRSYNTAX:
      handleLuaError(status, c);
      c->runState = CTX_FAILED;
      break;
    default:
      nksyslog(NKLOG_ERR, NK_LOGMASK, "Unknown response %d from lua, terminating script %s\n",
               status, c->name);
      handleLuaError(status, c);
      c->runState = CTX_FAILED;
      break;
  }
}

// Lua calls this in place of the rest of the binding that made the protected
// call, once a handler that yielded has finished (or failed) after a resume.
int doLuaCallContinue(lua_State *L) {
  doLuaCallFinish(lua_getctx(L, nullptr));
  return 0;
}

void handleLuaError(int status, Context *c) {
  NK_ASSERT(c != nullptr);
  lua_State *L = c->thread;
  lua_Debug ar;
  int line = 0;
  if (lua_getstack(L, c->errorLevel == 1 ? 1 : 0, &ar)) {
    lua_getinfo(L, "Snl", &ar);
    line = ar.currentline;
  }
  switch (status) {
    case LUA_ERRSYNTAX:
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s: syntax error\n", "handleLuaError");
      break;
    case LUA_ERRFILE:
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s: file does not exist\n", "handleLuaError");
      break;
    case LUA_ERRRUN:
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s: runtime error at line %d\n", "handleLuaError", line);
      break;
    default:
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s: unknown error %d\n", "handleLuaError", status);
      break;
  }
  const char *text = lua_gettop(L) > 0 && lua_isstring(L, -1) ? lua_tostring(L, -1) : nullptr;
  nksyslog(NKLOG_ERR, NK_LOGMASK, "%s: Lua information:\n\n\t%s\n\n", "handleLuaError",
           text ? text : "none available");
  c->errorLine = line;
}

// }====

// {==== Moving waiting contexts back

// A fetch that releases a deferred post is completed, and its context moved,
// before the post is made: the post ends in a nested pass of this function,
// which must not find the context still waiting and fetch from it again.
// After such a post the walk starts again at the head, since the nested pass
// may have moved any context.
void nk::noteQueued(Context *c) {
  if (c != current && waitOrderOf(c) != 0) readyPush(waitOrderOf(c), c);
}

int contextSchedule(void) {
  while (readyCount > 0) {
    ReadyEntry e = readyPop();
    Context *c = e.context;
    uint64_t order = e.order;
    if (waitOrderOf(c) != order) continue;  // it left the list since
    if (c->pendingCount <= 0 || c->blockingId != -1) continue;
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextSchedule: pending events=%d\n", c->pendingCount);
    DeferredPost *deferred;
    const char *name = nk::fetchPending(c, &deferred);
    if (!name) {  // the event's name is gone: the entry is dropped
      if (c->pendingCount > 0) readyPush(order, c);
      if (deferred) nk::postDeferred(deferred);
      continue;
    }
    const char *param = eventGetParam(c);
    NK_ASSERT(lua_checkstack(c->thread, 2));
    lua_pushstring(c->thread, name);
    lua_pushstring(c->thread, param);
    c->paramCount = 2;
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextSchedule: Making thread %d (%s) runnable\n", c->id,
           c->name);
    makeRunnable(c);
    if (deferred) nk::postDeferred(deferred);
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextSchedule: return\n");
  return 0;
}

// The interest of the event a context blocked on shows as blocked in the
// listings until the block ends here.
int contextUnblock(Context *c, int eventId, void *param) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextUnblock: pending events=%d, blocking=%d\n",
         c->pendingCount, c->blockingId);
  if (c->blockingId == -1) return 0;
  if (c->blockingId != eventId && c->blockType != CTX_WAITING) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "contextUnblock: return\n");
    return 0;
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextUnblock: Making thread %d (%s) runnable\n", c->id,
         c->name);
  int matched = c->blockingId == eventId;
  if (EventInterest *in = nk::interestFind(c->blockingId, c)) in->blocked = 0;
  c->blockingId = -1;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "contextUnblock: blockingReturnType is %d\n", c->returnType);
  NK_ASSERT(lua_checkstack(c->thread, 2));
  c->paramCount = pushResult(c, param);
  NK_ASSERT(c->runState == CTX_WAITING || c->runState == CTX_BLOCKED);
  makeRunnable(c);
  c->runState = CTX_RUNNABLE;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "contextUnblock: return\n");
  return matched;
}

// }====

// {==== Task states and information

int contextTaskStateAdd(const char *name) {
  Context *c = currentContext();
  if (c->taskStateCount >= MAX_TASK_STATES) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "Can't create new state %s - already at maximum\n", name);
    return -1;
  }
  c->taskStates[c->taskStateCount++] = stringDupPtr(name);
  return 0;
}

int contextTaskStateFind(const char *name) {
  Context *c = currentContext();
  for (int i = 0; i < c->taskStateCount; i++) {
    if (strcasecmp(c->taskStates[i], name) == 0) return i;
  }
  return -1;
}

int contextTaskStateSet(const char *name) {
  int index = contextTaskStateFind(name);
  if (index == -1) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "Can't set state to %s\n", name);
    return -1;
  }
  current->taskState = index;
  return 0;
}

int contextTaskStateGet(void) { return currentContext()->taskState; }

const char *contextTaskStateGetName(void) {
  Context *c = currentContext();
  return c->taskStates[c->taskState];
}

void contextSetName(const char *name) {
  if (current) snprintf(current->name, sizeof current->name, "%s", name);
}

void contextSetInfo(const char *key, const char *value) {
  if (current) arrayPut(current->info, key, value);
}

const char *contextGetInfo(const char *contextName, const char *key) {
  if (current && strcmp(current->name, contextName) == 0) return arrayGet(current->info, key);
  for (List *list : {&waitingList, &runnableList}) {
    for (ListNode *n = listHead(list); n; n = listNext(list, n)) {
      if (strcmp(contextOf(n)->name, contextName) == 0) return arrayGet(contextOf(n)->info, key);
    }
  }
  return nullptr;
}

int contextGetLuaInfo(Context *c, int *line, char *text) {
  NK_ASSERT(c != nullptr && line != nullptr);
  int level = c->runState == CTX_FAILED ? (c->errorLevel == 1 ? 1 : 0) : 1;
  lua_Debug ar;
  const char *what = "***";
  *line = 0;
  if (lua_getstack(c->thread, level, &ar)) {
    lua_getinfo(c->thread, "Snl", &ar);
    *line = ar.currentline;
    what = ar.what;
  }
  if (text) strcpy(text, what);
  return 0;
}

// }====
