// Resident memory of contexts, and the time to create and destroy them:
//
//   - what eventInit() and contextInit() add to a process that creates no
//     context: the interest lists and the anchor slots are reserved, and must
//     not become resident until they are used (the Lua state they need is
//     shown on its own);
//   - 10,000 contexts each parked in t.wait() (eventWait, then yield):
//     resident bytes per context once created and once each has run to its
//     wait; contextCreate time per context; the first run per context;
//   - destroying them oldest first (each takes its thread off the bottom of
//     the anchor stack, so every context above it moves down one) and, after
//     creating them again, newest first.
//
// Resident size is VmRSS from /proc/self/status, read before and after each
// step: under qemu-user it is the emulator's own, so only these differences
// within one run mean anything. The log keeps its default level (WARN) and
// goes to /dev/null. No Google Benchmark, so that it builds for armhf too.
//
//   build/h-bench/benchmarks/bench_context_mem
//   qemu-arm -L build/armhf-sysroot/sysroot build/h-bench-arm/benchmarks/bench_context_mem
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include "array.h"
#include "benchlua.h"
#include "context.h"
#include "event.h"
#include "hash.h"
#include "list.h"
#include "mem.h"

namespace {

using nkbench::median;
using nkbench::nowNanos;
using nkbench::residentBytes;

constexpr int kContexts = 10000;
constexpr int kRounds = 5;          // creations of kContexts, and of a tenth as many
constexpr int kEventSlots = 65536;  // eventInit's request, rounded up to a prime

const char kParkScript[] = "t.wait()\n";

const luaL_Reg kBindings[] = {{"wait", nkbench::bWait}, {nullptr, nullptr}};

void fail(const char *what) {
  fprintf(stderr, "bench_context_mem: %s\n", what);
  exit(1);
}

double kib(int64_t bytes) { return static_cast<double>(bytes) / 1024; }

struct Round {
  double createNanos;  // per context
  double runNanos;     // per context, its first run to the wait
  int64_t createdRss;  // growth over the round's start, after the creations
  int64_t parkedRss;   // ... after the runs
};

// Creates n parked contexts; their pointers, oldest first, in out.
Round createAndPark(int n, std::vector<Context *> *out) {
  char name[] = "park";
  char *argv[] = {name};
  Round r;
  int64_t rss0 = residentBytes();
  int64_t t0 = nowNanos();
  for (int i = 0; i < n; i++) {
    Context *c = contextCreate(name, 1, argv);
    if (c->runState == CTX_FAILED) fail("the script failed to load");
    out->push_back(c);
  }
  int64_t t1 = nowNanos();
  r.createdRss = residentBytes() - rss0;
  if (contextExecute() != n) fail("not every context ran");
  int64_t t2 = nowNanos();
  r.parkedRss = residentBytes() - rss0;
  r.createNanos = static_cast<double>(t1 - t0) / n;
  r.runNanos = static_cast<double>(t2 - t1) / n;
  return r;
}

// Nanoseconds per context to destroy contexts, in the order given.
template <typename It>
double destroyAll(It from, It to) {
  int64_t t0 = nowNanos();
  int n = 0;
  for (It it = from; it != to; ++it, n++) contextDestroy(*it);
  return static_cast<double>(nowNanos() - t0) / n;
}

}  // namespace

int main() {
  memInit();
  nkbench::quietLog();
  nkbench::ScriptDir dir;
  dir.script("park", kParkScript);

  int64_t rssStart = residentBytes();
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  luaL_newlib(L, kBindings);
  lua_setglobal(L, "t");
  int64_t rssLua = residentBytes();
  eventInit();
  int64_t rssEvent = residentBytes();
  contextInit(L);
  int64_t rssContext = residentBytes();

  // The resident sizes come from the first round, the only one on fresh
  // memory; the times are also taken in later rounds, which reuse it, and
  // with a tenth as many contexts, to show how they grow with the count.
  // Rounds alternate the order of destruction.
  std::vector<Context *> contexts;
  contexts.reserve(kContexts);
  Round first = createAndPark(kContexts, &contexts);
  std::vector<double> destroyOldest, destroyNewest, create, run;
  destroyOldest.push_back(destroyAll(contexts.begin(), contexts.end()));
  for (int round = 1; round < kRounds; round++) {
    contexts.clear();
    Round r = createAndPark(kContexts, &contexts);
    create.push_back(r.createNanos);
    run.push_back(r.runNanos);
    if (round % 2) {
      destroyNewest.push_back(destroyAll(contexts.rbegin(), contexts.rend()));
    } else {
      destroyOldest.push_back(destroyAll(contexts.begin(), contexts.end()));
    }
  }
  std::vector<double> smallCreate, smallRun, smallDestroy;
  for (int round = 0; round < kRounds; round++) {
    contexts.clear();
    Round r = createAndPark(kContexts / 10, &contexts);
    smallCreate.push_back(r.createNanos);
    smallRun.push_back(r.runNanos);
    smallDestroy.push_back(destroyAll(contexts.begin(), contexts.end()));
  }

  // For reference: one name table of eventInit's size on its own.
  int64_t rssBeforeTable = residentBytes();
  int table = hashAlloc(roundUpToPrime(kEventSlots));
  int64_t tableRss = residentBytes() - rssBeforeTable;
  hashFree(table);

  printf("Lua state with its standard libraries: %.0f KiB resident\n", kib(rssLua - rssStart));
  printf(
      "eventInit(): %.0f KiB resident (%d interest lists of %zu bytes reserved: %.0f KiB; "
      "for reference a name table of %d slots alone: %.0f KiB)\n",
      kib(rssEvent - rssLua), roundUpToPrime(kEventSlots), sizeof(List),
      kib(static_cast<int64_t>(sizeof(List)) * roundUpToPrime(kEventSlots)),
      roundUpToPrime(kEventSlots), kib(tableRss));
  printf("contextInit(): %.0f KiB resident (%d anchor slots reserved: %.0f KiB)\n",
         kib(rssContext - rssEvent), CONTEXT_ANCHOR_SLOTS,
         kib(static_cast<int64_t>(sizeof(int32_t *)) * CONTEXT_ANCHOR_SLOTS));
  printf("eventInit() + contextInit(): %.0f KiB resident\n", kib(rssContext - rssLua));
  printf(
      "%d contexts created: %.0f bytes resident per context (sizeof(Context) %zu, "
      "sizeof(Array) %zu)\n",
      kContexts, static_cast<double>(first.createdRss) / kContexts, sizeof(Context), sizeof(Array));
  printf("%d contexts parked in t.wait(): %.0f bytes resident per context\n", kContexts,
         static_cast<double>(first.parkedRss) / kContexts);
  printf(
      "contextCreate of %d: %.1f us per context on fresh memory, %.1f us reusing it; "
      "%d: %.1f us\n",
      kContexts, first.createNanos / 1000, median(create) / 1000, kContexts / 10,
      median(smallCreate) / 1000);
  printf(
      "first run to t.wait() of %d: %.1f us per context on fresh memory, %.1f us reusing "
      "it; %d: %.1f us\n",
      kContexts, first.runNanos / 1000, median(run) / 1000, kContexts / 10,
      median(smallRun) / 1000);
  printf("contextDestroy of %d parked, oldest first: %.1f us per context; %d: %.1f us\n", kContexts,
         median(destroyOldest) / 1000, kContexts / 10, median(smallDestroy) / 1000);
  printf("contextDestroy of %d parked, newest first: %.1f us per context\n", kContexts,
         median(destroyNewest) / 1000);
  printf("(times are medians of %d rounds)\n", kRounds);

  eventClose();
  lua_close(L);
  return 0;
}
