// nkrun_lua -- the Lua side of the runtime stand-in: one Lua state whose
// threads are the script contexts, the global table nk of bindings through
// which scripts reach the library, the lines of Lua sent by the shell, and
// the guard against Lua that never yields.
//
// Bindings. Each is a plain C function: a Lua error unwinds it with longjmp,
// so none keeps a C++ object alive across a Lua call (the C++ work of the
// RTDB and rules runs between the argument checks and the pushes). The calls
// that wait (nk.wait, nk.waitfor, nk.block, nk.request, nk.sleep, nk.yield, a
// blocking nk.post) set the context's state through the library and yield;
// the context is resumed with what the library pushes for it, which becomes
// the call's results. Calls that need a context raise a Lua error from a
// shell line; calls that yield also do so from a coroutine of the script's
// own, where the yield would not reach the runtime.
//
// Runaway guard. A count hook, set on the main state before the contexts'
// threads exist so that every thread inherits it, reads the clock every
// kHookCount instructions. A run is what happens between two yields to the
// runtime: it starts when the main loop begins a pass of the contexts, when a
// binding yields, when another context is found running, and when a shell
// line starts. A run longer than the budget gets a Lua error ("ran for more
// than N ms without yielding"); from then on the hook raises at every
// instruction of that thread, so that a pcall in the script cannot keep it
// alive. A context ends failed, as after any Lua error; a shell line answers
// with the error. A context that yields with coroutine.yield instead of the
// bindings hands control to the runtime without the guard seeing it; two such
// contexts taking turns are not caught.
//
// Turns of the main loop. The library runs runnable contexts until none is
// left, so contexts that wake each other (one posts, the other waits, and
// back) or only yield would keep the main loop (the bus, the timers, the
// shell's lines) from ever running again. So a pass of the contexts is
// bounded in time: once it is older than kSliceUs, a context that is woken
// from a wait (by an event, a reply, the end of a sleep, room in a queue) or
// that yields parks on the event kTurnEvent before it goes on, keeping what
// it was woken with; the main loop posts kTurnEvent once it has had its turn,
// and the parked contexts go on in the next pass. Nothing is taken from a
// queue or dropped meanwhile: the order of events is the one they were posted
// in. nk.yield inside the slice is a plain yield. ps shows a parked context as
// "yield".
//
// Limits. At most maxContexts contexts live at once (luaMaxContexts in the
// configuration) and nk.start starts at most kMaxStartsPerPass in one pass;
// past either, nk.start returns nil and a message and nothing is made. A script
// that starts itself stops there instead of taking all memory.
//
// A wait from a place where Lua cannot yield (a comparator of table.sort, a
// gsub replacement function, a __tostring) fails before it has armed a timer
// or noted an interest, so that nothing of it is left behind for the next
// wait.
#define NK_MODULE "nkrun"
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <map>
#include <string>
#include <utility>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "context.h"
#include "event.h"
#include "mem.h"
#include "nkrun.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "timer.h"

namespace nkrun {

namespace {

constexpr int kHookCount = 10000;   // instructions between two looks at the clock
constexpr int64_t kSliceUs = 5000;  // us a pass of the contexts runs before waking contexts park
constexpr char kTurnEvent[] = "nk.yield";
constexpr int kMaxReply = 16384;   // bytes of a line's reply before it is cut
constexpr int kMaxFailures = 16;   // contexts that failed to load, kept for ps
constexpr int kMaxStartArgs = 32;  // arguments of nk.start
constexpr int kMaxStartsPerPass = 256;

lua_State *mainState;
int budgetUs;
int maxContexts;
int startsThisPass;
RefusalLog startRefusals;
// The C functions that call Lua so that it may still yield through them.
lua_CFunction yieldingCallers[3];

// The guard's view of the run in progress.
uint64_t turn;  // changes whenever a run ends
struct {
  const Context *context;
  uint64_t turn;
  int64_t start;
} run;
int64_t passStart;  // when the main loop began the current pass of the contexts
std::atomic<bool> stopRequested{false};  // set by the signal thread

// The sandbox of shell lines (unless the configuration gives them the full
// globals): kLineEnvSource runs once, before any script, and returns a
// function (lineEnvRef in the registry) that makes a fresh environment for
// each line. It is an allow list: the base functions that reach nothing
// outside the state, copies of the string (without dump), table, math,
// coroutine and bit32 libraries and of nk, and of os only time, clock, date
// and difftime; getmetatable answers for tables only (a string's metatable
// leads to the string library). Any other name reads the scripts' shared
// globals, except that a value of io, os, debug or package, a loader
// (load, loadstring, loadfile, dofile, require, module), string.dump,
// collectgarbage, _G itself or an open file reads as nil, whoever stored it.
// Assignments go to the shared globals, but not to the names the libraries
// had when the state was made: a line could otherwise slip its own function
// under a name the scripts call and be handed what they pass (an open file,
// say). The environment's metatable is hidden. Fresh tables for every line
// keep one line from changing what the next one gets.
// Scripts keep everything: they are the device's own code. The string
// methods of every string lose dump, as a line reaches them through any
// string; scripts still have string.dump.
// What a script hands out through its own tables or functions (a table
// holding io, a global function that opens files) is handed out by the
// script: the sandbox keeps lines from the libraries, not from the scripts'
// own doors.
constexpr char kLineEnvSource[] = R"(
local G, getmt, setmt, type, pairs, ipairs, error, tostring =
      _G, getmetatable, setmetatable, type, pairs, ipairs, error, tostring
local forbidden = {[G] = true, [string] = true, [string.dump] = true}
for _, lib in ipairs{io, os, debug, package} do
  forbidden[lib] = true
  for _, v in pairs(lib) do forbidden[v] = true end
end
for _, k in ipairs{"load", "loadstring", "loadfile", "dofile", "require", "module",
                   "collectgarbage"} do
  if G[k] then forbidden[G[k]] = true end
end
local clock = {time = os.time, clock = os.clock, date = os.date, difftime = os.difftime}
for _, f in pairs(clock) do forbidden[f] = nil end
local fileMeta = getmt(io.stdout)
local reserved = {}
for k in pairs(G) do reserved[k] = true end
local strings = {}
for k, v in pairs(string) do if k ~= "dump" then strings[k] = v end end
getmt("").__index = strings
local function handOut(v)
  if forbidden[v] or (type(v) == "userdata" and getmt(v) == fileMeta) then return nil end
  return v
end
local function copy(t) local c = {} for k, v in pairs(t) do c[k] = v end return c end
local base = {}
for _, k in ipairs{"assert", "error", "ipairs", "next", "pairs", "pcall", "print", "rawequal",
                   "rawget", "rawlen", "rawset", "select", "setmetatable", "tonumber", "tostring",
                   "type", "unpack", "xpcall", "_VERSION"} do
  base[k] = G[k]
end
base.getmetatable = function(v)
  if type(v) == "table" then return handOut(getmt(v)) end
  return nil
end
local libs = {string = strings, table = table, math = math, coroutine = coroutine,
              bit32 = bit32, nk = nk, os = clock}
return function()
  local safe = copy(base)
  for name, lib in pairs(libs) do safe[name] = copy(lib) end
  return setmt({}, {
    __index = function(_, k)
      local v = safe[k]
      if v == nil then v = handOut(G[k]) end
      return v
    end,
    __newindex = function(_, k, v)
      if reserved[k] then error("cannot assign to '" .. tostring(k) .. "' from a lua line", 2) end
      G[k] = v
    end,
    __metatable = false})
end
)";
int lineEnvRef = LUA_NOREF;
int turnEventId = -1;

// What a shell line printed, while one runs.
bool capturing;
int lineOutput;  // string handle
bool outputCut;

Context *failures[kMaxFailures];
int failureCount;

void guardHook(lua_State *L, lua_Debug *);

// Raises why, placed where the running function stands; from now on the
// hook raises at every instruction of this thread, so that a pcall in the
// script cannot keep it running.
void stopRunning(lua_State *L, const char *why) {
  lua_sethook(L, guardHook, LUA_MASKCOUNT, 1);
  luaL_where(L, 0);
  lua_pushstring(L, why);
  lua_concat(L, 2);
  lua_error(L);
}

void guardHook(lua_State *L, lua_Debug *) {
  if (stopRequested.load(std::memory_order_relaxed)) stopRunning(L, "the runtime is stopping");
  const Context *c = contextGetCurrent();
  int64_t now = timerMonotonicMicroSec();
  if (c != run.context || turn != run.turn) {
    run.context = c;
    run.turn = turn;
    run.start = now;
    lua_sethook(L, guardHook, LUA_MASKCOUNT, kHookCount);
    return;
  }
  if (now - run.start <= budgetUs) return;
  lua_pushfstring(L, "ran for more than %d ms without yielding", budgetUs / 1000);
  stopRunning(L, lua_tostring(L, -1));
}

// The run ends: the next hook starts a new one.
void endRun() { turn++; }

// {==== Shell lines

// Appends n bytes to lineOutput, keeping at most kMaxReply of them.
void appendOutput(const char *s, size_t n) {
  int have = stringLen(lineOutput);
  size_t room = have < kMaxReply ? static_cast<size_t>(kMaxReply - have) : 0;
  if (n > room) {
    n = room;
    outputCut = true;
  }
  memResize(lineOutput, 1, have + static_cast<int>(n) + 1);
  char *out = static_cast<char *>(memGetData(lineOutput));
  memcpy(out + have, s, n);
  out[have + n] = '\0';
}

// The value at stack position i as print writes it, pushed; a __tostring
// that gives no text is a Lua error (it would give no text to write).
const char *pushText(lua_State *L, int i, size_t *n) {
  const char *s = luaL_tolstring(L, i, n);  // may raise (__tostring)
  if (!s) luaL_error(L, "'__tostring' must return a string");
  return s;
}

// Appends the values at stack positions first .. last, tab-separated, and a
// line end, as print writes them.
void appendValues(lua_State *L, int first, int last) {
  for (int i = first; i <= last; i++) {
    size_t n = 0;
    const char *s = pushText(L, i, &n);
    if (i > first) appendOutput("\t", 1);
    appendOutput(s, n);
    lua_pop(L, 1);
  }
  appendOutput("\n", 1);
}

// print: into the reply while a shell line runs, else into the log under the
// name of the context that printed. The buffer keeps to a few stack slots
// however many values are printed.
int nkPrint(lua_State *L) {
  if (capturing) {
    appendValues(L, 1, lua_gettop(L));
    return 0;
  }
  int n = lua_gettop(L);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  for (int i = 1; i <= n; i++) {
    if (i > 1) luaL_addchar(&b, '\t');
    pushText(L, i, nullptr);
    luaL_addvalue(&b);
  }
  luaL_pushresult(&b);
  const Context *c = contextGetCurrent();
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: print from %s: %s\n", kName, c ? c->name : "?",
           lua_tostring(L, -1));
  return 0;
}

// Runs the line at stack position 1, as "return <line>" when that compiles
// (so that an expression gives its values), and appends the values. Errors
// propagate to the caller's pcall.
int runLine(lua_State *L) {
  size_t len = 0;
  const char *line = lua_tolstring(L, 1, &len);
  const char *withReturn = lua_pushfstring(L, "return %s", line);
  if (luaL_loadbuffer(L, withReturn, strlen(withReturn), "=lua") != LUA_OK) {
    lua_pop(L, 1);
    if (luaL_loadbuffer(L, line, len, "=lua") != LUA_OK) return lua_error(L);
  }
  int chunk = lua_gettop(L);
  if (lineEnvRef != LUA_NOREF) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, lineEnvRef);
    lua_call(L, 0, 1);            // a fresh sandbox
    lua_setupvalue(L, chunk, 1);  // the chunk's _ENV
  }
  lua_call(L, 0, LUA_MULTRET);
  if (lua_gettop(L) >= chunk) appendValues(L, chunk, lua_gettop(L));
  return 0;
}

// Writes the text into out with every line end (CR LF, CR or LF) as "; " and
// the trailing ones dropped; cuts it at kMaxReply bytes and marks a cut text
// with "...".
void flattenInto(const char *s, int out, bool cut) {
  size_t len = strlen(s);
  while (len > 0 && (s[len - 1] == '\n' || s[len - 1] == '\r')) len--;
  memResize(out, 0, static_cast<int>(2 * len + 4));
  char *o = static_cast<char *>(memGetData(out));
  size_t k = 0;
  for (size_t i = 0; i < len; i++) {
    if (s[i] == '\r' || s[i] == '\n') {
      if (s[i] == '\r' && i + 1 < len && s[i + 1] == '\n') i++;
      o[k++] = ';';
      o[k++] = ' ';
    } else {
      o[k++] = s[i];
    }
  }
  if (k > static_cast<size_t>(kMaxReply)) {
    k = kMaxReply;
    cut = true;
  }
  if (cut) {
    memcpy(o + k, "...", 3);
    k += 3;
  }
  o[k] = '\0';
}

// }====

// {==== Binding helpers

// The running context, or a Lua error naming the binding.
Context *needContext(lua_State *L, const char *what) {
  Context *c = contextGetCurrent();
  if (!c) luaL_error(L, "nk.%s needs a script context", what);
  return c;
}

int nkDispatch(lua_State *L);

// True when a yield of the binding running in L gets through every caller:
// Lua functions, and the C functions that call Lua so that it may yield
// (pcall, xpcall, nk.dispatch). Any other C function between (table.sort
// calling a comparator, gsub a replacement) would make the yield fail.
bool canYield(lua_State *L) {
  lua_Debug ar;
  for (int level = 1; lua_getstack(L, level, &ar); level++) {
    lua_getinfo(L, "Sf", &ar);
    lua_CFunction f = lua_tocfunction(L, -1);
    lua_pop(L, 1);
    if (strcmp(ar.what, "C") != 0) continue;
    bool yields = false;
    for (lua_CFunction y : yieldingCallers) yields = yields || f == y;
    if (!yields) return false;
  }
  return true;
}

// The running context, when L is its own thread and nothing in between keeps
// it from yielding: the only place from which a wait reaches the runtime.
// Checked before the wait arms or notes anything.
Context *needWaiter(lua_State *L, const char *what) {
  Context *c = needContext(L, what);
  if (L != c->thread) luaL_error(L, "nk.%s cannot wait inside a coroutine of the script", what);
  if (!canYield(L)) luaL_error(L, "attempt to yield across a C-call boundary");
  return c;
}

// A name that a script or the bus would register: one more than the runtime
// takes is a Lua error.
const char *checkName(lua_State *L, const char *name) {
  if (!eventNameFits(name)) {
    luaL_error(L, "too many event names (%d): '%s' not registered", kMaxEventNames, name);
  }
  return name;
}

// Replaces the number at stack position i by its text when it is a whole
// number of at most 14 digits, and returns true. Lua writes numbers with
// "%.14g", which writes such a number as its digits; the C library's float
// formatting costs more than the rest of a tag write, and scripts mostly
// write whole numbers (counters, levels, states).
bool wholeNumberText(lua_State *L, int i) {
  lua_Number n = lua_tonumber(L, i);
  if (!(n > -1e14 && n < 1e14) || n != floor(n) || (n == 0 && signbit(n))) return false;
  char digits[24];
  char *end = digits + sizeof digits, *p = end;
  long long whole = static_cast<long long>(n);
  unsigned long long u = whole < 0 ? 0ULL - static_cast<unsigned long long>(whole) : whole;
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (whole < 0) *--p = '-';
  lua_pushlstring(L, p, static_cast<size_t>(end - p));
  lua_replace(L, i);
  return true;
}

// Argument i as a text: strings and numbers as Lua gives them, booleans as
// "true" and "false"; null for none or nil when optional.
const char *textArg(lua_State *L, int i, bool optional) {
  if (optional && lua_isnoneornil(L, i)) return nullptr;
  if (lua_isboolean(L, i)) return lua_toboolean(L, i) ? "true" : "false";
  if (lua_type(L, i) == LUA_TNUMBER && wholeNumberText(L, i)) return lua_tostring(L, i);
  return luaL_checkstring(L, i);
}

// Seconds (fractions allowed) as whole seconds and microseconds.
void secondsArg(lua_State *L, int i, bool periodic, int32_t *sec, int32_t *usec) {
  lua_Number s = luaL_checknumber(L, i);
  luaL_argcheck(L, s >= 0 && s < 2147483647.0, i, "seconds out of range");
  luaL_argcheck(L, !periodic || s >= 1e-6, i, "a periodic timer needs an interval");
  *sec = static_cast<int32_t>(floor(s));
  *usec = static_cast<int32_t>(llround((s - floor(s)) * 1e6));
  if (*usec >= 1000000) {
    *sec += 1;
    *usec -= 1000000;
  }
}

// True once the current pass of the contexts has had its time.
bool passIsLong() { return timerMonotonicMicroSec() - passStart > kSliceUs; }

// Parks the running context until the main loop has had its turn.
void park() {
  eventBlock(kTurnEvent, CTX_BLOCKED, BLOCK_RETURN_NONE);
  endRun();
}

// The continuation of the waits: the context was woken with the values above
// stack height ctx (or, with ctx -1, with values the call does not return).
// In a pass that is long already it parks first, keeping them.
int resumed(lua_State *L) {
  int height = 0;
  lua_getctx(L, &height);
  if (passIsLong()) {
    park();
    return lua_yieldk(L, 0, height, resumed);
  }
  return height < 0 ? 0 : lua_gettop(L) - height;
}

// A yield to the runtime: the results are what the context is woken with.
int yieldToRuntime(lua_State *L) {
  endRun();
  return lua_yieldk(L, 0, lua_gettop(L), resumed);
}

// A yield whose wake-up gives no results.
int yieldForNothing(lua_State *L) {
  endRun();
  return lua_yieldk(L, 0, -1, resumed);
}

int postAgain(lua_State *L);

// True when c has an interest in the event called name.
bool interestedIn(Context *c, const char *name) {
  int id = eventLookup(name);
  if (id < 0) return false;
  for (ListNode *n = listHead(&c->interests); n; n = listNext(&c->interests, n)) {
    if (reinterpret_cast<ContextInterest *>(n)->eventId == id) return true;
  }
  return false;
}

// A script is a file of scriptDir: its name is a file name there, never a
// path that leads elsewhere (a script runs with the full library).
constexpr char kBadScriptName[] =
    "not a script name (letters, digits, '_', '-' and '.', without '..')";
constexpr size_t kMaxScriptName = CONTEXT_NAME_SIZE - 1;

bool scriptName(const char *name) {
  size_t n = strlen(name);
  return n > 0 && n <= kMaxScriptName &&
         strspn(name,
                "abcdefghijklmnopqrstuvwxyz"
                "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                "0123456789_-.") == n &&
         !strstr(name, "..");
}

// }====

// {==== Bindings: events

int nkWait(lua_State *L) {
  needWaiter(L, "wait");
  eventWait();
  return yieldToRuntime(L);
}

int nkWaitFor(lua_State *L) {
  needWaiter(L, "waitfor");
  eventWaitFor(checkName(L, luaL_checkstring(L, 1)));
  return yieldToRuntime(L);
}

int nkBlock(lua_State *L) {
  static const char *const kTypes[] = {"none", "string", nullptr};
  needWaiter(L, "block");
  const char *name = checkName(L, luaL_checkstring(L, 1));
  int returnType = luaL_checkoption(L, 2, "string", kTypes);
  int type = lua_toboolean(L, 3) ? CTX_WAITING : CTX_BLOCKED;
  if (eventBlock(name, type, returnType) != 0) {
    lua_pushnil(L);
    lua_pushliteral(L, "events pending");
    return 2;
  }
  return yieldToRuntime(L);
}

int nkRequest(lua_State *L) {
  needWaiter(L, "request");
  const char *name = luaL_checkstring(L, 1);
  lua_pushfstring(L, "%s-reply", name);
  checkName(L, lua_tostring(L, -1));
  lua_pop(L, 1);
  eventRequest(name, textArg(L, 2, true));
  return yieldToRuntime(L);
}

int nkReply(lua_State *L) {
  eventReply(luaL_checkstring(L, 1), textArg(L, 2, true));
  return 0;
}

// A post that meets a full queue loses the event for that context (and
// those after it); a blocking one then waits until the full context takes
// an event and posts again. Contexts that took the first post before the
// full one get the event twice.
int postEvent(lua_State *L) {
  const char *name = luaL_checkstring(L, 1);
  const char *param = textArg(L, 2, true);
  int blocking = lua_toboolean(L, 3);
  if (blocking) needWaiter(L, "post (blocking)");
  int r = eventPost(name, param, blocking);
  if (r == -1 && blocking) {
    endRun();
    return lua_yieldk(L, 0, 0, postAgain);
  }
  lua_pushboolean(L, r == 0);
  return 1;
}

// Resumed after the wait for room: drops what the wake-up pushed, and posts
// again, after the main loop's turn in a long pass.
int postAgain(lua_State *L) {
  lua_settop(L, 3);
  if (passIsLong()) {
    park();
    return lua_yieldk(L, 0, 0, postAgain);
  }
  return postEvent(L);
}

int nkPost(lua_State *L) {
  lua_settop(L, 3);
  return postEvent(L);
}

int nkFilter(lua_State *L) {
  needContext(L, "filter");
  eventFilter(checkName(L, luaL_checkstring(L, 1)));
  return 0;
}

int nkHandler(lua_State *L) {
  needContext(L, "handler");
  const char *name = checkName(L, luaL_checkstring(L, 1));
  luaL_checktype(L, 2, LUA_TFUNCTION);
  const char *state = luaL_optstring(L, 3, "");
  if (state[0] && contextTaskStateFind(state) == -1) {
    lua_pushboolean(L, 0);
    lua_pushfstring(L, "unknown task state %s", state);
    return 2;
  }
  lua_pushvalue(L, 2);
  eventHandler(name, state, luaL_ref(L, LUA_REGISTRYINDEX));
  lua_pushboolean(L, 1);
  return 1;
}

int nkDispatch(lua_State *L) {
  Context *c = needWaiter(L, "dispatch");
  const char *name = luaL_checkstring(L, 1);
  const char *param = textArg(L, 2, true);
  if (!interestedIn(c, name)) {
    lua_pushboolean(L, 0);
    lua_pushfstring(L, "no handler for %s", name);
    return 2;
  }
  // A handler that waits yields through this call, and a handler that fails
  // unwinds through it: both end in the library's continuation, which
  // returns no results (a failure is logged). Here the handler returned, or
  // there was none for the current task state.
  c->runState = CTX_RUNNABLE;
  eventDispatch(name, param ? param : "");
  bool called = c->runState == CTX_DONE;
  c->runState = CTX_RUNNABLE;
  if (!called) {
    lua_pushboolean(L, 0);
    lua_pushfstring(L, "no handler for %s in state %s", name, contextTaskStateGetName());
    return 2;
  }
  lua_pushboolean(L, 1);
  return 1;
}

int nkClear(lua_State *L) {
  needContext(L, "clear");
  eventClear();
  return 0;
}

int nkUnique(lua_State *L) {
  lua_pushstring(L, eventCreateUnique());
  return 1;
}

int nkYield(lua_State *L) {
  Context *c = needWaiter(L, "yield");
  if (passIsLong()) {
    park();
  } else {
    c->runState = CTX_RUNNABLE;
  }
  return yieldForNothing(L);
}

int nkSleep(lua_State *L) {
  needWaiter(L, "sleep");
  int32_t sec = 0, usec = 0;
  secondsArg(L, 1, false, &sec, &usec);
  char name[64];
  snprintf(name, sizeof name, "sleep-%s", eventCreateUnique());
  checkName(L, name);
  timerEvent(name, nullptr, sec, usec);
  eventWaitFor(name);
  return yieldForNothing(L);
}

// }====

// {==== Bindings: task states, information, contexts

int nkAddState(lua_State *L) {
  needContext(L, "addstate");
  lua_pushboolean(L, contextTaskStateAdd(luaL_checkstring(L, 1)) == 0);
  return 1;
}

int nkSetState(lua_State *L) {
  needContext(L, "setstate");
  lua_pushboolean(L, contextTaskStateSet(luaL_checkstring(L, 1)) == 0);
  return 1;
}

int nkState(lua_State *L) {
  needContext(L, "state");
  lua_pushstring(L, contextTaskStateGetName());
  lua_pushinteger(L, contextTaskStateGet());
  return 2;
}

int nkFindState(lua_State *L) {
  needContext(L, "findstate");
  int index = contextTaskStateFind(luaL_checkstring(L, 1));
  if (index < 0) {
    lua_pushnil(L);
  } else {
    lua_pushinteger(L, index);
  }
  return 1;
}

int nkSetName(lua_State *L) {
  needContext(L, "setname");
  contextSetName(luaL_checkstring(L, 1));
  return 0;
}

int nkSetInfo(lua_State *L) {
  needContext(L, "setinfo");
  contextSetInfo(luaL_checkstring(L, 1), textArg(L, 2, false));
  return 0;
}

int nkGetInfo(lua_State *L) {
  lua_pushstring(L, contextGetInfo(luaL_checkstring(L, 1), luaL_checkstring(L, 2)));
  return 1;
}

int nkId(lua_State *L) {
  const Context *c = contextGetCurrent();
  if (!c) {
    lua_pushnil(L);
    return 1;
  }
  lua_pushinteger(L, c->id);
  lua_pushstring(L, c->name);
  return 2;
}

int nkStart(lua_State *L) {
  int argc = lua_gettop(L);
  luaL_argcheck(L, argc <= kMaxStartArgs, kMaxStartArgs + 1, "too many arguments");
  char *argv[kMaxStartArgs + 1] = {};
  argv[0] = const_cast<char *>(luaL_checkstring(L, 1));
  luaL_argcheck(L, scriptName(argv[0]), 1, kBadScriptName);
  for (int i = 2; i <= argc; i++) argv[i - 1] = const_cast<char *>(textArg(L, i, false));
  const char *error = nullptr;
  int id = -1;
  if (startsThisPass >= kMaxStartsPerPass) {
    lua_pushfstring(L, "too many starts in one turn (%d): wait or yield first", kMaxStartsPerPass);
    error = lua_tostring(L, -1);
    logRefusal(&startRefusals, "%s: %s not started: %s\n", kName, argv[0], error);
  } else {
    startsThisPass++;
    id = luaStartContext(argv[0], argc, argv, &error);
  }
  if (id < 0) {
    lua_pushnil(L);
    lua_pushstring(L, error);
    return 2;
  }
  lua_pushinteger(L, id);
  return 1;
}

// }====

// {==== Bindings: timers, RTDB, rules, log, clock

// One-shot, periodic and snapped timers, named by the event they post. They
// are callback timers, so that the timer module charges each to a profile
// of its name (stats shows one row per timer); the callback posts the event.
// The record of a timer lives in timerEvents, under its name, until it fires
// for the last time or is stopped.
struct TimerEvent {
  std::string param;
  bool hasParam = false;
  bool periodic = false;
};
std::map<std::string, TimerEvent> timerEvents;

// A timer's event that no context takes is still posted, and logged as
// ignored by the post, but at most once a second: the firings in between are
// dropped and counted, and the count is logged after the next one posted. A
// script that arms thousands of timers nobody waits for would otherwise hold
// the runtime up for a log line each when they fall due together.
void fireTimer(void *arg) {
  static RefusalLog unheard;
  auto *entry = static_cast<std::pair<const std::string, TimerEvent> *>(arg);
  const TimerEvent &t = entry->second;
  int id = eventLookup(entry->first.c_str());
  bool taken = id >= 0 && eventIdHasInterest(id);
  if (taken || logDue(&unheard)) {
    eventPost(entry->first.c_str(), t.hasParam ? t.param.c_str() : nullptr, 0);
    if (!taken) logWent(&unheard, "timer events ignored");
  }
  if (!t.periodic) timerEvents.erase(entry->first);
}

int armTimer(lua_State *L, Timer *(*arm)(const char *, TimerCallback, void *, int32_t, int32_t),
             bool periodic) {
  const char *name = luaL_checkstring(L, 1);
  int32_t sec = 0, usec = 0;
  secondsArg(L, 2, periodic, &sec, &usec);
  const char *param = textArg(L, 3, true);
  bool armed = false;
  {
    auto &entry = *timerEvents.emplace(name, TimerEvent()).first;
    entry.second.param = param ? param : "";
    entry.second.hasParam = param != nullptr;
    entry.second.periodic = periodic;
    armed = arm(name, fireTimer, &entry, sec, usec) != nullptr;
  }
  lua_pushboolean(L, armed);
  return 1;
}

int nkTimer(lua_State *L) { return armTimer(L, timerCallback, false); }
int nkEvery(lua_State *L) { return armTimer(L, timerPeriodicCallback, true); }
int nkSnap(lua_State *L) { return armTimer(L, timerPeriodicSnapCallback, true); }

int nkStopTimer(lua_State *L) {
  const char *name = luaL_checkstring(L, 1);
  timerStopByName(name);
  timerEvents.erase(name);
  return 0;
}

int nkGet(lua_State *L) {
  lua_pushstring(L, rtdbGet(luaL_checkstring(L, 1)));
  return 1;
}

int nkSet(lua_State *L) {
  const char *tag = luaL_checkstring(L, 1);
  luaL_argcheck(L, tag[0] != '\0', 1, "empty tag name");
  if (!rtdbSet(tag, textArg(L, 2, false))) {
    return luaL_error(L, "too many event names (%d): tag '%s' not created", kMaxEventNames, tag);
  }
  return 0;
}

// nk.rule(id, kind, input1, input2, output) for two inputs,
// nk.rule(id, kind, input, output) for one; a number is a constant.
int nkRule(lua_State *L) {
  const char *id = luaL_checkstring(L, 1);
  const char *kind = luaL_checkstring(L, 2);
  int inputs = ruleInputs(kind);
  if (inputs == 0) return luaL_argerror(L, 2, "unknown kind of rule");
  const char *input[2] = {nullptr, nullptr};
  bool constant[2] = {false, false};
  for (int i = 0; i < inputs; i++) {
    constant[i] = lua_type(L, 3 + i) == LUA_TNUMBER;
    input[i] = luaL_checkstring(L, 3 + i);
  }
  const char *output = luaL_optstring(L, 3 + inputs, nullptr);
  const char *error = nullptr;
  if (ruleDefine(id, kind, input, constant, output, &error) != 0) {
    return luaL_error(L, "nk.rule: %s", error);
  }
  return 0;
}

int nkLog(lua_State *L) {
  static const char *const kLevels[] = {"err", "warn", "notice", "info", "debug", nullptr};
  static const int kPriorities[] = {NKLOG_ERR, NKLOG_WARNING, NKLOG_NOTICE, NKLOG_INFO,
                                    NKLOG_DEBUG};
  int priority = NKLOG_NOTICE;
  int text = 1;
  if (lua_gettop(L) >= 2) {
    priority = kPriorities[luaL_checkoption(L, 1, nullptr, kLevels)];
    text = 2;
  }
  const char *message = textArg(L, text, false);
  const Context *c = contextGetCurrent();
  nksyslog(priority, LOGMASK_GENERAL, "%s: %s: %s\n", kName, c ? c->name : "lua", message);
  return 0;
}

int nkNow(lua_State *L) {
  lua_pushnumber(L, static_cast<lua_Number>(timerMonotonicMicroSec()) / 1e6);
  return 1;
}

const luaL_Reg kBindings[] = {
    {"wait", nkWait},       {"waitfor", nkWaitFor},     {"block", nkBlock},
    {"request", nkRequest}, {"reply", nkReply},         {"post", nkPost},
    {"filter", nkFilter},   {"handler", nkHandler},     {"dispatch", nkDispatch},
    {"clear", nkClear},     {"unique", nkUnique},       {"yield", nkYield},
    {"sleep", nkSleep},     {"addstate", nkAddState},   {"setstate", nkSetState},
    {"state", nkState},     {"findstate", nkFindState}, {"setname", nkSetName},
    {"setinfo", nkSetInfo}, {"getinfo", nkGetInfo},     {"id", nkId},
    {"start", nkStart},     {"timer", nkTimer},         {"every", nkEvery},
    {"snap", nkSnap},       {"stoptimer", nkStopTimer}, {"get", nkGet},
    {"set", nkSet},         {"rule", nkRule},           {"log", nkLog},
    {"now", nkNow},         {nullptr, nullptr}};

// The contexts alive: those that run or wait (a failed one is kept waiting).
int liveContexts() {
  int n = contextGetCurrent() ? 1 : 0;
  for (Context *c = contextGetNextRunnable(nullptr); c; c = contextGetNextRunnable(c)) n++;
  for (Context *c = contextGetNextWaiting(nullptr); c; c = contextGetNextWaiting(c)) n++;
  return n;
}

// }====

}  // namespace

lua_State *luaStart(int budgetMs, bool linesUnrestricted, int contextLimit) {
  budgetUs = budgetMs * 1000;
  maxContexts = contextLimit;
  lua_State *L = luaL_newstate();
  if (!L) return nullptr;
  mainState = L;
  luaL_openlibs(L);
  int k = 0;
  for (const char *caller : {"pcall", "xpcall"}) {
    lua_getglobal(L, caller);
    yieldingCallers[k++] = lua_tocfunction(L, -1);
    lua_pop(L, 1);
  }
  yieldingCallers[k] = nkDispatch;
  lua_register(L, "print", nkPrint);
  luaL_newlib(L, kBindings);
  lua_setglobal(L, "nk");
  if (!linesUnrestricted) {
    if (luaL_dostring(L, kLineEnvSource) != LUA_OK) {
      lua_close(L);
      return nullptr;
    }
    lineEnvRef = luaL_ref(L, LUA_REGISTRYINDEX);
  }
  lua_sethook(L, guardHook, LUA_MASKCOUNT, kHookCount);
  lineOutput = stringAlloc(0);
  contextInit(L);
  turnEventId = eventRegister(kTurnEvent);
  return L;
}

void luaRunLine(const char *line, int reply) {
  lua_State *L = mainState;
  int base = lua_gettop(L);
  stringCopy(lineOutput, "");
  outputCut = false;
  capturing = true;
  endRun();
  lua_pushcfunction(L, runLine);
  lua_pushstring(L, line);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
    char what[64];
    const char *message = lua_tostring(L, -1);
    if (!message) {
      snprintf(what, sizeof what, "(error object is a %s value)", luaL_typename(L, -1));
      message = what;
    }
    appendOutput("error: ", 7);
    appendOutput(message, strlen(message));
  }
  capturing = false;
  lua_settop(L, base);  // the guard re-arms its count at the next line's first look
  flattenInto(static_cast<const char *>(memGetData(lineOutput)), reply, outputCut);
}

int luaStartContext(const char *name, int argc, char **argv, const char **error) {
  static char message[512];
  if (!scriptName(name)) {
    if (error) *error = kBadScriptName;
    return -1;
  }
  if (liveContexts() >= maxContexts) {
    snprintf(message, sizeof message, "too many contexts (%d)", maxContexts);
    if (error) *error = message;
    logRefusal(&startRefusals, "%s: %s not started: %s\n", kName, name, message);
    return -1;
  }
  Context *c = contextCreate(name, argc, argv);
  if (c->runState != CTX_FAILED) return c->id;
  const char *why = lua_tostring(c->thread, -1);
  snprintf(message, sizeof message, "%s", why ? why : "cannot load the script");
  if (error) *error = message;
  // Kept for ps: the oldest goes when the list is full.
  if (failureCount == kMaxFailures) {
    contextDestroy(failures[0]);
    memmove(failures, failures + 1, sizeof failures[0] * (kMaxFailures - 1));
    failureCount--;
  }
  failures[failureCount++] = c;
  return -1;
}

void luaRequestStop() { stopRequested.store(true, std::memory_order_relaxed); }

void luaBeginPass() {
  passStart = timerMonotonicMicroSec();
  startsThisPass = 0;
  endRun();
}

// Parked contexts are the ones interested in kTurnEvent (the only interest
// in it is the parking block).
bool luaYieldersParked() { return eventIdHasInterest(turnEventId); }

void luaWakeYielders() { eventPost(kTurnEvent, nullptr, 0); }

bool luaIsParked(const Context *c) { return c->blockingId != -1 && c->blockingId == turnEventId; }

Context *luaStartFailure(int index) {
  return index >= 0 && index < failureCount ? failures[index] : nullptr;
}

size_t luaStartFailureCount() { return static_cast<size_t>(failureCount); }

void luaStop() {
  for (int i = 0; i < failureCount; i++) contextDestroy(failures[i]);
  failureCount = 0;
  while (Context *c = contextGetNextRunnable(nullptr)) contextDestroy(c);
  while (Context *c = contextGetNextWaiting(nullptr)) contextDestroy(c);
  eventClose();
  lua_close(mainState);
  mainState = nullptr;
  stringFree(lineOutput);
}

}  // namespace nkrun
