// Cost of the named timers, 1,000 at a time:
//
//   - firing 1,000 due one-shot event timers (timerEvent with a zero
//     interval, then the time source moved one second on) in one timerTick():
//     time per fired timer,
//       (a) posted to ten contexts waiting in t.wait(), each filtered on 100
//           of the names (a context's queue holds 200 events and one tick
//           posts all of them before any context runs); the contextExecute()
//           that then hands the events over is timed on its own;
//       (b) posted to nobody: each post is logged as ignored at WARN, the
//           default level, into /dev/null;
//   - a scan that fires nothing: 1,000 periodic event timers due in 1,000 s,
//     per timer, of one timerTick() and of one timerGetNextExpiry();
//   - for information, (a) again with those 1,000 periodic timers listed
//     ahead of the one-shots: after each firing the scan starts again at the
//     head of the list.
//
// The time source is the system's clock_gettime plus an offset that this
// program moves (timerSetGetTimeFunc, set before the first timer), so every
// examination still reads the clock. Figures are medians of repetitions.
//
//   build/h-bench/benchmarks/bench_timer
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <vector>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include "benchlua.h"
#include "context.h"
#include "event.h"
#include "mem.h"
#include "timer.h"

namespace {

using nkbench::median;
using nkbench::nowNanos;

constexpr int kTimers = 1000;
constexpr int kSinks = 10;  // contexts sharing the fired events
constexpr int kRepetitions = 9;
constexpr int kScans = 2000;  // scans of one repetition
constexpr int kIdleIntervalSec = 1000;
constexpr int kHorizonUsec = 60000000;  // what timerGetNextExpiry may answer at most

const char kSinkScript[] =
    "local first, last = tonumber((select(1, ...))), tonumber((select(2, ...)))\n"
    "for i = first, last do t.filter('fire-' .. i) end\n"
    "while true do t.wait() end\n";

// ---- the time source -----------------------------------------------------------

int32_t offsetSec;  // added to every reading

int offsetClock(clockid_t clock, struct timespec *ts) {
  int r = clock_gettime(clock, ts);
  ts->tv_sec += offsetSec;
  return r;
}

const luaL_Reg kBindings[] = {
    {"wait", nkbench::bWait}, {"filter", nkbench::bFilter}, {nullptr, nullptr}};

void fail(const char *what) {
  fprintf(stderr, "bench_timer: %s\n", what);
  exit(1);
}

// Arms kTimers one-shot event timers "<prefix>-<i>" due at once.
void armOneShots(const char *prefix) {
  for (int i = 0; i < kTimers; i++) {
    char name[32];
    snprintf(name, sizeof name, "%s-%d", prefix, i);
    if (!timerEvent(name, "param", 0, 0)) fail("timerEvent");
  }
}

struct Firing {
  double tickNanos;     // per fired timer
  double deliverNanos;  // per event, the contextExecute that follows
  int examinations;     // timerTick's count
};

// Arms the one-shots, moves the clock on and fires them in one tick; the
// contexts then run until they all wait again.
Firing fire(const char *prefix, int expectedWaits) {
  armOneShots(prefix);
  int64_t waitsBefore = nkbench::waitCount;
  offsetSec = 1;
  int64_t t0 = nowNanos();
  int examinations = timerTick();
  int64_t t1 = nowNanos();
  offsetSec = 0;
  contextExecute();
  int64_t t2 = nowNanos();
  if (nkbench::waitCount - waitsBefore != expectedWaits)
    fail("not every fired event was delivered");
  Firing f;
  f.tickNanos = static_cast<double>(t1 - t0) / kTimers;
  f.deliverNanos = static_cast<double>(t2 - t1) / kTimers;
  f.examinations = examinations;
  return f;
}

}  // namespace

int main() {
  memInit();
  nkbench::quietLog();
  timerSetGetTimeFunc(offsetClock);
  nkbench::ScriptDir dir;
  dir.script("sink", kSinkScript);

  lua_State *L = nkbench::openContexts(kBindings);

  std::vector<Context *> sinks;
  for (int s = 0; s < kSinks; s++) {
    char first[16], last[16];
    int per = kTimers / kSinks;
    snprintf(first, sizeof first, "%d", s * per);
    snprintf(last, sizeof last, "%d", s * per + per - 1);
    char *argv[] = {const_cast<char *>("sink"), first, last};
    Context *c = contextCreate("sink", 3, argv);
    if (c->runState == CTX_FAILED) fail("the sink script failed to load");
    sinks.push_back(c);
  }
  if (contextExecute() != kSinks) fail("the sinks did not start");

  // Firing with nothing else listed.
  std::vector<double> tickDelivered, deliver, tickIgnored;
  for (int rep = 0; rep < kRepetitions; rep++) {
    Firing f = fire("fire", kTimers);
    tickDelivered.push_back(f.tickNanos);
    deliver.push_back(f.deliverNanos);
    if (timerTick() != 0) fail("one-shot timers left after firing");
    tickIgnored.push_back(fire("lost", 0).tickNanos);
    if (timerTick() != 0) fail("one-shot timers left after firing");
  }

  // Scans over timers none of which is due.
  for (int i = 0; i < kTimers; i++) {
    char name[32];
    snprintf(name, sizeof name, "idle-%d", i);
    if (!timerPeriodicEvent(name, nullptr, kIdleIntervalSec, 0)) fail("timerPeriodicEvent");
  }
  std::vector<double> scanTick, scanNext;
  for (int rep = 0; rep < kRepetitions; rep++) {
    int64_t t0 = nowNanos();
    for (int i = 0; i < kScans; i++) {
      if (timerTick() != kTimers) fail("a periodic timer fired");
    }
    int64_t t1 = nowNanos();
    for (int i = 0; i < kScans; i++) {
      if (timerGetNextExpiry(kHorizonUsec) != kHorizonUsec) fail("a periodic timer is due");
    }
    int64_t t2 = nowNanos();
    scanTick.push_back(static_cast<double>(t1 - t0) / kScans / kTimers);
    scanNext.push_back(static_cast<double>(t2 - t1) / kScans / kTimers);
  }

  // Firing behind the periodic timers.
  std::vector<double> tickBehind;
  int behindExaminations = 0;
  for (int rep = 0; rep < kRepetitions; rep++) {
    Firing f = fire("fire", kTimers);
    tickBehind.push_back(f.tickNanos);
    behindExaminations = f.examinations;
  }

  printf(
      "fire 1000 due one-shots, posted to %d waiting contexts: %.1f ns per timer "
      "(medians of %d repetitions)\n",
      kSinks, median(tickDelivered), kRepetitions);
  printf("  then contextExecute hands them over: %.1f ns per event (for information)\n",
         median(deliver));
  printf(
      "fire 1000 due one-shots, posted to nobody (ignored, logged into /dev/null): %.1f ns "
      "per timer\n",
      median(tickIgnored));
  printf("timerTick, 1000 timers none due: %.1f ns per timer (%.1f us per call)\n",
         median(scanTick), median(scanTick) * kTimers / 1000);
  printf("timerGetNextExpiry, 1000 timers none due: %.1f ns per timer (%.1f us per call)\n",
         median(scanNext), median(scanNext) * kTimers / 1000);
  printf(
      "fire 1000 due one-shots behind 1000 periodic ones: %.1f ns per fired timer, %d "
      "examinations in the tick (for information)\n",
      median(tickBehind), behindExaminations);

  for (int i = 0; i < kTimers; i++) {
    char name[32];
    snprintf(name, sizeof name, "idle-%d", i);
    timerStopByName(name);
  }
  for (auto it = sinks.rbegin(); it != sinks.rend(); ++it) contextDestroy(*it);
  eventClose();
  lua_close(L);
  timerSetGetTimeFunc(nullptr);
  return 0;
}
