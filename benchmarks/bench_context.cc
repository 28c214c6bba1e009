// Cost of running Lua scripts as contexts, against a bare coroutine of the
// same Lua state resumed from C:
//
//   - a turn, one resume of one context by contextExecute, with K = 1, 100
//     and 10,000 contexts, each looping N times on t.yield() (the binding sets
//     CTX_RUNNABLE and yields) and then returning. Only the turns between the
//     end of the first round and the last yield are timed: loading, the first
//     resume of each chunk, the returns and the destruction of the finished
//     contexts are left out (the last round is shown on its own, per context).
//     Comparison: lua_resume of one coroutine looping on coroutine.yield();
//     for information, also K such coroutines resumed in turn from C.
//   - delivering an event: one context that filtered "ev" and loops on
//     t.wait() (eventWait, then yield); from C, eventPost("ev", "param", 0)
//     and contextExecute() until it waits again. Comparison: lua_resume of a
//     coroutine looping on coroutine.yield(), with the same two strings
//     pushed. Then the same with 10,000 other contexts parked waiting.
//
// The comparison runs in every repetition next to what it is compared with,
// and every figure is the median of the repetitions of this run. The log
// keeps its default level (WARN) and goes to /dev/null.
//
//   build/h-bench/benchmarks/bench_context [turns] [events] [parked]   (default: all)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include "benchlua.h"
#include "context.h"
#include "event.h"
#include "mem.h"

namespace {

using nkbench::bFilter;
using nkbench::bWait;
using nkbench::median;
using nkbench::medianRatio;
using nkbench::nowNanos;

constexpr int kRepetitions = 7;
constexpr int64_t kTurnsPerRun = 1000000;  // turns of one repetition, whatever K
constexpr int kContextCounts[] = {1, 100, 10000};
constexpr int kEvents = 200000;  // events of one repetition
constexpr int kParked = 10000;   // contexts parked beside the listener
constexpr int kEventsBesideParked = 2000;

const char kTurnScript[] =
    "local n = tonumber(...)\n"
    "for i = 1, n do t.yield() end\n";
const char kBareTurnChunk[] =
    "local n = ...\n"
    "for i = 1, n do coroutine.yield() end\n";
// The comparison for benchlua.h's listener (kListenScript).
const char kBareListenChunk[] =
    "while true do\n"
    "  local name, param = coroutine.yield()\n"
    "  if param == 'stop' then return end\n"
    "end\n";
const char kParkScript[] = "t.wait()\n";

// ---- bindings ----------------------------------------------------------------
// Plain C functions: Lua may unwind them with longjmp.

int64_t yieldCount;  // calls of t.yield since the last reset
int64_t markFrom;    // the yield count at which the timed window opens
int64_t markTo;      // ... and closes
int64_t fromNanos;
int64_t toNanos;

int bYield(lua_State *L) {
  contextGetCurrent()->runState = CTX_RUNNABLE;
  int64_t n = ++yieldCount;
  if (n == markFrom) fromNanos = nowNanos();
  if (n == markTo) toNanos = nowNanos();
  return lua_yield(L, 0);
}

const luaL_Reg kBindings[] = {
    {"yield", bYield}, {"wait", bWait}, {"filter", bFilter}, {nullptr, nullptr}};

void fail(const char *what) {
  fprintf(stderr, "bench_context: %s\n", what);
  exit(1);
}

// Starts a context running script name with one argument (or none).
void start(const char *name, const char *arg) {
  if (!nkbench::startScript(name, arg)) fail("a script failed to load");
}

// ---- turns -------------------------------------------------------------------

// Nanoseconds per resume of one coroutine that yields at once, over n
// resumes.
double bareTurnNanos(lua_State *L, int64_t n) {
  lua_State *co = lua_newthread(L);
  if (luaL_loadstring(co, kBareTurnChunk) != LUA_OK) fail("bare chunk");
  lua_pushinteger(co, static_cast<lua_Integer>(n + 1));
  if (lua_resume(co, nullptr, 1) != LUA_YIELD) fail("bare first resume");
  int64_t start = nowNanos();
  for (int64_t i = 0; i < n; i++) {
    if (lua_resume(co, nullptr, 0) != LUA_YIELD) fail("bare resume");
  }
  int64_t elapsed = nowNanos() - start;
  if (lua_resume(co, nullptr, 0) != LUA_OK) fail("bare return");
  lua_pop(L, 1);
  return static_cast<double>(elapsed) / static_cast<double>(n);
}

// Nanoseconds per resume of k coroutines resumed in turn from C, each
// loaded from the chunk on its own as contexts are, each yielding n times;
// timed over the same window as the contexts' turns. Shows how much of a
// turn among many contexts is Lua's own memory traffic.
double bareRoundRobinNanos(lua_State *L, int k, int64_t n) {
  if (!lua_checkstack(L, k)) fail("bare: no stack for the coroutines");
  std::vector<lua_State *> cos;
  for (int i = 0; i < k; i++) {
    lua_State *co = lua_newthread(L);
    if (luaL_loadstring(co, kBareTurnChunk) != LUA_OK) fail("bare chunk");
    lua_pushinteger(co, static_cast<lua_Integer>(n));
    cos.push_back(co);
  }
  for (lua_State *co : cos) {
    if (lua_resume(co, nullptr, 1) != LUA_YIELD) fail("bare first resume");
  }
  int64_t start = nowNanos();
  for (int64_t round = 1; round < n; round++) {
    for (lua_State *co : cos) {
      if (lua_resume(co, nullptr, 0) != LUA_YIELD) fail("bare resume");
    }
  }
  int64_t elapsed = nowNanos() - start;
  for (lua_State *co : cos) {
    if (lua_resume(co, nullptr, 0) != LUA_OK) fail("bare return");
  }
  lua_pop(L, k);
  lua_gc(L, LUA_GCCOLLECT, 0);
  return static_cast<double>(elapsed) / (static_cast<double>(k) * static_cast<double>(n - 1));
}

struct TurnFigures {
  double turnNanos;       // per resume, inside the window
  double lastRoundNanos;  // per context: its last resume (it returns) and its destruction
};

// k contexts each yielding n times, all run by one contextExecute.
TurnFigures contextTurnNanos(int k, int64_t n) {
  char count[24];
  snprintf(count, sizeof count, "%lld", static_cast<long long>(n));
  yieldCount = 0;
  markFrom = k;
  markTo = k * n;
  for (int i = 0; i < k; i++) start("turn", count);
  int runs = contextExecute();
  int64_t end = nowNanos();
  if (runs != k * (n + 1) || yieldCount != k * n) fail("turns: unexpected run count");
  if (contextGetNextRunnable(nullptr) || contextGetNextWaiting(nullptr)) fail("turns: leftovers");
  TurnFigures f;
  f.turnNanos = static_cast<double>(toNanos - fromNanos) / static_cast<double>(markTo - markFrom);
  f.lastRoundNanos = static_cast<double>(end - toNanos) / k;
  return f;
}

// ---- events ------------------------------------------------------------------

// Nanoseconds per resume of a coroutine that waits in coroutine.yield(),
// resumed with the two strings of the event.
double bareEventNanos(lua_State *L, int events) {
  lua_State *co = lua_newthread(L);
  if (luaL_loadstring(co, kBareListenChunk) != LUA_OK) fail("bare chunk");
  if (lua_resume(co, nullptr, 0) != LUA_YIELD) fail("bare first resume");
  int64_t start = nowNanos();
  for (int i = 0; i < events; i++) {
    lua_pushstring(co, "ev");
    lua_pushstring(co, "param");
    if (lua_resume(co, nullptr, 2) != LUA_YIELD) fail("bare resume");
  }
  int64_t elapsed = nowNanos() - start;
  lua_pushstring(co, "ev");
  lua_pushstring(co, "stop");
  if (lua_resume(co, nullptr, 2) != LUA_OK) fail("bare return");
  lua_pop(L, 1);
  return static_cast<double>(elapsed) / events;
}

// Nanoseconds per event posted to one listening context and run until it
// waits again (benchlua.h's listenerEventNanos, which bench_runtime reports
// too).
double contextEventNanos(int events) {
  const char *problem = "";
  double nanos = nkbench::listenerEventNanos(events, &problem);
  if (nanos < 0) {
    fprintf(stderr, "bench_context: events: %s\n", problem);
    exit(1);
  }
  return nanos;
}

// A figure and its comparison, measured side by side in each repetition.
struct Pair {
  std::vector<double> ours;
  std::vector<double> bare;
};

// The medians of both, and the median of the repetitions' ratios.
void printPair(const char *what, const Pair &p, const char *target) {
  printf("%s: nk %.1f ns, bare coroutine %.1f ns, ratio %.2f (%s)\n", what, median(p.ours),
         median(p.bare), medianRatio(p.ours, p.bare), target);
}

}  // namespace

int main(int argc, char **argv) {
  memInit();
  nkbench::quietLog();
  nkbench::ScriptDir dir;
  dir.script("turn", kTurnScript);
  dir.script("listen", nkbench::kListenScript);
  dir.script("park", kParkScript);

  lua_State *L = nkbench::openContexts(kBindings);

  printf("medians of %d repetitions; a ratio is the median of the repetitions' ratios\n",
         kRepetitions);

  if (nkbench::wanted(argc, argv, "turns")) {
    Pair turn[3], manyBare[3];
    std::vector<double> lastRound[3];
    for (int rep = 0; rep < kRepetitions; rep++) {
      for (int i = 0; i < 3; i++) {
        int k = kContextCounts[i];
        turn[i].bare.push_back(bareTurnNanos(L, kTurnsPerRun));
        TurnFigures f = contextTurnNanos(k, kTurnsPerRun / k);
        turn[i].ours.push_back(f.turnNanos);
        lastRound[i].push_back(f.lastRoundNanos);
        if (k > 1) {
          manyBare[i].ours.push_back(f.turnNanos);
          manyBare[i].bare.push_back(bareRoundRobinNanos(L, k, kTurnsPerRun / k));
        }
      }
    }
    for (int i = 0; i < 3; i++) {
      char what[64];
      snprintf(what, sizeof what, "turn, K=%d (%lld turns)", kContextCounts[i],
               static_cast<long long>(kTurnsPerRun));
      printPair(what, turn[i], kContextCounts[i] == 100 ? "target <= 3" : "no target");
    }
    for (int i = 1; i < 3; i++) {
      char what[96];
      snprintf(what, sizeof what, "turn, K=%d, against %d bare coroutines resumed in turn",
               kContextCounts[i], kContextCounts[i]);
      printPair(what, manyBare[i], "for information");
    }
    for (int i = 0; i < 3; i++) {
      printf(
          "last round, K=%d: %.1f ns per context (its return and contextDestroy; for "
          "information)\n",
          kContextCounts[i], median(lastRound[i]));
    }
  }

  if (nkbench::wanted(argc, argv, "events")) {
    Pair event;
    for (int rep = 0; rep < kRepetitions; rep++) {
      event.bare.push_back(bareEventNanos(L, kEvents));
      event.ours.push_back(contextEventNanos(kEvents));
    }
    printPair("event, one context (200000 events)", event, "target <= 4");
  }

  if (nkbench::wanted(argc, argv, "parked")) {
    for (int i = 0; i < kParked; i++) start("park", nullptr);
    if (contextExecute() != kParked) fail("parking failed");
    Pair event;
    for (int rep = 0; rep < kRepetitions; rep++) {
      event.bare.push_back(bareEventNanos(L, kEventsBesideParked));
      event.ours.push_back(contextEventNanos(kEventsBesideParked));
    }
    // Newest first: each leaves the top of the anchor stack, so nothing moves.
    std::vector<Context *> parked;
    for (Context *c = contextGetNextWaiting(nullptr); c; c = contextGetNextWaiting(c)) {
      parked.push_back(c);
    }
    for (auto it = parked.rbegin(); it != parked.rend(); ++it) contextDestroy(*it);
    printPair("event, one context beside 10000 parked in t.wait() (2000 events)", event,
              "for information");
  }

  eventClose();
  lua_close(L);
  return 0;
}
