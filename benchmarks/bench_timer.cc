// Cost of the named timers. The section "fire", 1,000 timers at a time:
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
// Growth, 1,000 against 10,000 (section "growth"), each figure beside the
// same one for the smaller count, measured in the same repetition:
//
//   - arming n one-shot callback timers of distinct names (timerCallback,
//     each name new to the list);
//   - firing those n, all due, in one timerTick(): each firing switches to
//     the profile named like its timer (runtimeTiming) and calls a callback
//     that only counts; the profiles are made by the first repetition and
//     found by name in the later ones, as a runtime's are;
//   - firing n due one-shots listed behind n periodic timers that are not
//     due, in one timerTick();
//   - runtimeTiming of a name made early (the first 100 profiles) against
//     one made last (the last 100 of 10,000), per call;
//   - a statistics listing of 10,000 rows, timers (timerStatsQuery) and
//     profiles (runtimeStatsQuery): the cost of a row among the first 100
//     after index 0 against one among the last 100 of the same listing.
//
// The time source is the system's clock_gettime plus an offset that this
// program moves (timerSetGetTimeFunc, set before the first timer), so every
// examination still reads the clock. Figures are medians of repetitions.
//
//   build/bench/benchmarks/bench_timer [fire] [growth]   (default: both)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include "benchlua.h"
#include "context.h"
#include "event.h"
#include "mem.h"
#include "nkstrings.h"
#include "runtime.h"
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

// The section "fire": 1,000 event timers at a time, fired into waiting
// contexts and into nobody, and scans that fire nothing.
void measureFiring() {
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
}

// ---- growth: 1,000 against 10,000 --------------------------------------------------

constexpr int kFew = 1000;
constexpr int kMany = 10000;
constexpr int kGrowthRepetitions = 5;
constexpr int kRowsTimed = 100;      // rows timed at each end of a listing
constexpr int kLookupRounds = 1000;  // rounds of runtimeTiming over 100 names

int fired;  // calls of countFiring
void countFiring(void *) { fired++; }

std::vector<std::string> namesOf(const char *prefix, int n) {
  std::vector<std::string> names;
  for (int i = 0; i < n; i++) names.push_back(prefix + std::to_string(i));
  return names;
}

struct Growth {
  double armMs;     // arming n one-shot callback timers
  double tickMs;    // firing them, all due, in one tick
  double behindMs;  // firing them in one tick behind n periodic timers not due
};

// Arms the callback one-shots (timed), then fires them with the clock one
// second on (timed).
void armAndFire(const std::vector<std::string> &names, double *armMs, double *tickMs,
                int expectExaminations) {
  int n = static_cast<int>(names.size());
  int64_t t0 = nowNanos();
  for (const std::string &name : names) {
    if (!timerCallback(name.c_str(), countFiring, nullptr, 0, 0)) fail("timerCallback");
  }
  int64_t t1 = nowNanos();
  fired = 0;
  offsetSec = 1;
  int examinations = timerTick();
  int64_t t2 = nowNanos();
  offsetSec = 0;
  if (fired != n) fail("not every due timer fired");
  if (examinations != expectExaminations) fail("timerTick counted other examinations");
  *armMs = static_cast<double>(t1 - t0) / 1e6;
  *tickMs = static_cast<double>(t2 - t1) / 1e6;
}

Growth grow(int n) {
  Growth g;
  std::vector<std::string> oneShots = namesOf("cb-", n);
  armAndFire(oneShots, &g.armMs, &g.tickMs, 0);
  if (timerTick() != 0) fail("timers left after firing");
  // Behind n periodic timers: after each firing the scan starts again at the
  // head, so the count is n for each of the n restarts and n for the last pass.
  std::vector<std::string> periodic = namesOf("idle-", n);
  for (const std::string &name : periodic) {
    if (!timerPeriodicEvent(name.c_str(), nullptr, kIdleIntervalSec, 0)) fail("timerPeriodicEvent");
  }
  double ignored;
  armAndFire(oneShots, &ignored, &g.behindMs, n * (n + 1));
  for (const std::string &name : periodic) timerStopByName(name.c_str());
  return g;
}

// Nanoseconds per runtimeTiming over the names, kLookupRounds times.
double timingNanos(const std::vector<std::string> &names) {
  int64_t t0 = nowNanos();
  for (int round = 0; round < kLookupRounds; round++) {
    for (const std::string &name : names) runtimeTiming(name.c_str());
  }
  int64_t t1 = nowNanos();
  runtimeSwitch(nullptr);
  return static_cast<double>(t1 - t0) / kLookupRounds / static_cast<double>(names.size());
}

struct ListingCost {
  int rows;
  double firstNanos;  // per row, the kRowsTimed after the first
  double lastNanos;   // per row, the last kRowsTimed
};

// One whole listing from index 0, timing kRowsTimed rows from index 1 (index
// 0 restarts the listing, a cost of its own) and the last kRowsTimed rows;
// rows is the number of rows (known from an earlier listing, or 0).
ListingCost listing(int (*query)(int, int), int rows) {
  ListingCost c = {0, 0, 0};
  int s = stringAlloc(0);
  int64_t firstStart = 0, firstEnd = 0, lastStart = 0;
  int index = 0;
  for (;; index++) {
    if (index == 1) firstStart = nowNanos();
    if (index == 1 + kRowsTimed) firstEnd = nowNanos();
    if (index == rows - kRowsTimed) lastStart = nowNanos();
    if (!query(index, s)) break;
  }
  int64_t end = nowNanos();
  stringFree(s);
  c.rows = index;
  if (rows == index) {
    c.firstNanos = static_cast<double>(firstEnd - firstStart) / kRowsTimed;
    c.lastNanos = static_cast<double>(end - lastStart) / kRowsTimed;
  }
  return c;
}

void measureGrowth() {
  std::vector<Growth> few, many;
  for (int rep = 0; rep < kGrowthRepetitions; rep++) {
    few.push_back(grow(kFew));
    many.push_back(grow(kMany));
  }
  auto column = [](const std::vector<Growth> &v, double Growth::*field) {
    std::vector<double> values;
    for (const Growth &g : v) values.push_back(g.*field);
    return values;
  };
  printf(
      "growth, %d repetitions, %d against %d timers; medians, a ratio is the median of the "
      "repetitions' ratios:\n",
      kGrowthRepetitions, kMany, kFew);
  struct Row {
    const char *label;
    double Growth::*field;
    const char *target;
  } figures[] = {
      {"arm one-shot callback timers", &Growth::armMs, "target: 10,000 in <= 20 ms"},
      {"fire them, all due, in one timerTick", &Growth::tickMs, "target: 10,000 in <= 50 ms"},
      {"fire them behind as many periodic timers not due", &Growth::behindMs, "for information"},
  };
  for (const Row &r : figures) {
    std::vector<double> a = column(many, r.field), b = column(few, r.field);
    printf("  %-50s %9.2f ms  %9.2f ms  ratio %6.1f (%s)\n", r.label, median(a), median(b),
           nkbench::medianRatio(a, b), r.target);
  }

  // Profiles cb-0 .. cb-999 were made first, cb-9900 .. cb-9999 last.
  std::vector<std::string> early = namesOf("cb-", kRowsTimed), late;
  for (int i = kMany - kRowsTimed; i < kMany; i++) late.push_back("cb-" + std::to_string(i));
  std::vector<double> earlyNanos, lateNanos;
  for (int rep = 0; rep < kGrowthRepetitions; rep++) {
    earlyNanos.push_back(timingNanos(early));
    lateNanos.push_back(timingNanos(late));
  }
  printf("  %-50s %9.1f ns  %9.1f ns  ratio %6.2f (late / early)\n",
         "runtimeTiming, a profile made last / first", median(lateNanos), median(earlyNanos),
         nkbench::medianRatio(lateNanos, earlyNanos));

  std::vector<std::string> listed = namesOf("list-", kMany);
  for (const std::string &name : listed) {
    if (!timerPeriodicEvent(name.c_str(), nullptr, kIdleIntervalSec, 0)) fail("timerPeriodicEvent");
  }
  struct Query {
    const char *label;
    int (*query)(int, int);
  } queries[] = {{"timerStatsQuery", timerStatsQuery}, {"runtimeStatsQuery", runtimeStatsQuery}};
  for (const Query &q : queries) {
    int rows = listing(q.query, 0).rows;
    std::vector<double> first, last;
    for (int rep = 0; rep < kGrowthRepetitions; rep++) {
      ListingCost c = listing(q.query, rows);
      if (c.rows != rows) fail("a listing changed its length");
      first.push_back(c.firstNanos);
      last.push_back(c.lastNanos);
    }
    std::string label = std::string(q.label) + ", " + std::to_string(rows) + " rows: last / first";
    printf("  %-50s %9.1f ns  %9.1f ns  ratio %6.2f (per row)\n", label.c_str(), median(last),
           median(first), nkbench::medianRatio(last, first));
  }
  for (const std::string &name : listed) timerStopByName(name.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  memInit();
  nkbench::quietLog();
  timerSetGetTimeFunc(offsetClock);
  if (nkbench::wanted(argc, argv, "fire")) measureFiring();
  if (nkbench::wanted(argc, argv, "growth")) measureGrowth();
  timerSetGetTimeFunc(nullptr);
  return 0;
}
