#define NK_MODULE "timer_test"
#include "timer.h"

#include <errno.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "event.h"
#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"
#include "runtime.h"

namespace {

using Ints = std::vector<int64_t>;
const time_t kHigh = static_cast<time_t>(int64_t{1} << 32);  // 0 where time_t has 32 bits

using nktest::fakeError;
using nktest::fakeGetTime;
using nktest::fakeNow;
Ints &clocks = nktest::fakeClocks;
Ints when(const Timer *t) { return {t->expiry.tv_sec, t->expiry.tv_nsec}; }

// A callback counts its calls, then stops the timer named stop, or re-arms its own (rearm).
struct Calls {
  int count;
  const char *stop, *rearm;
};
void countCall(void *arg) {
  Calls *calls = static_cast<Calls *>(arg);
  calls->count++;
  if (calls->stop) timerStopByName(calls->stop);
  if (calls->rearm) timerPeriodicCallback(calls->rearm, countCall, arg, 10, 0);
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    [[maybe_unused]] static const bool ready = (memInit(), eventInit(), true);
    timerSetGetTimeFunc(fakeGetTime);
    fakeError = 0;
    // The profiles callbacks are charged to are made on first use and kept for good.
    for (const char *name : {"before", "a", "b", "c"}) runtimeTiming(name);
    free_ = memFreeHandleCount();
  }
  void TearDown() override {
    for (char name : list()) timerStopByName(std::string(1, name).c_str());
    EXPECT_EQ(memFreeHandleCount(), free_);  // every timer freed
  }
  // The listing from index 0: the timers' one-letter names, or the whole replies.
  std::string list(bool whole = false, int (*query)(int, int) = timerStatsQuery) {
    std::string out;
    int text = stringAlloc(0);
    for (int i = 0; query(i, text); i++) {
      std::string line = static_cast<const char *>(memGetData(text));
      out += whole ? line + ";" : line.substr(line.find("timer=") + 6, 1);
    }
    stringFree(text);
    return out;
  }
  nktest::LogCapture log_;
  int free_ = 0;
};

// A timer is re-armed in its place; a fired one-shot timer is freed; a callback is charged to the
// profile named like its timer.
TEST_F(TimerTest, EntriesListingAndFiring) {
  Calls calls = {};
  fakeNow = {1000, 0};
  runtimeTiming("before");
  clocks.clear();
  Timer *t[] = {timerPeriodicSnapEvent("a", "p", 60, 0),
                timerEvent("b", "p", 1, 250000),
                timerPeriodicCallback("c", countCall, &calls, 2, 0),
                timerPeriodicEvent("d", nullptr, 3, 0),
                timerCallback("e", countCall, &calls, 3, 0),
                timerPeriodicSnapCallback("f", countCall, &calls, 3, 0)};
  Ints options;
  for (Timer *timer : t) options.push_back(timer->options);
  EXPECT_EQ(options, Ints({7, 0, 1, 1, 0, 7}));
  EXPECT_EQ(clocks, Ints({0, 4, 4, 4, 4, 0}));
  timerStop(t[5]);
  for (const char *name : {"e", "d", "nope"}) timerStopByName(name);
  EXPECT_EQ(timerEvent("b", nullptr, 1, 250000), t[1]);
  EXPECT_EQ(t[1]->param, nullptr);
  EXPECT_EQ(
      list(true),
      "index=1,timer=a,expiry-sec=20,expiry-usec=0,interval-sec=60,interval-usec=0,options=PER "
      "SNAP REAL;index=2,timer=b,expiry-sec=1,expiry-usec=250000,interval-sec=1,interval-"
      "usec=250000,options=;index=3,timer=c,expiry-sec=2,expiry-usec=0,interval-sec=2,"
      "interval-usec=0,options=PER ;");
  EXPECT_EQ(Ints({timerGetNextExpiry(5000000), timerGetNextExpiry(1000000)}),
            Ints({1250000, 1000000}));
  fakeNow = {1001, 249999000};  // 1 us left, or less: due
  EXPECT_EQ(timerGetNextExpiry(5000000), 1);
  fakeNow = {1001, 249999999};
  EXPECT_EQ(timerGetNextExpiry(5000000), 0);
  fakeNow = {1002, 500000000};  // b fires and is freed: a is counted again
  EXPECT_EQ(Ints({timerTick(), timerTick(), calls.count}), Ints({3, 2, 1}));
  EXPECT_EQ(list(), "ac");
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"WARN Can't find timer nope to stop",
                                                       "WARN event b (-1) ignored (fix this!)"}));
  std::string profiles = list(true, runtimeStatsQuery);  // "before" was charged 2.5 s
  EXPECT_TRUE(std::regex_search(profiles, std::regex("name=before,[^;]*,max=2500000;")));
  EXPECT_EXIT((nksetdefaultlog(stderr), timerStopByName(nullptr)), ::testing::ExitedWithCode(1),
              "Assertion failed file timer");
}

// The first expiry is now plus the interval, or with TIMER_SNAP the next multiple of it, seconds
// and sub-second part each on its own.
TEST_F(TimerTest, FirstExpiryAddsOrSnaps) {
  const time_t kNoon = 12 * 3600;
  const int64_t rows[][7] = {
      // options, now s, ns, interval s, us: expiry s, ns
      {1, 100, 800000000, 0, 1500000, 102, 300000000},  // microseconds past a second
      {1, 100, 0, 0, 1000000, 101, 0},
      {1, 100, 0, 2, 999999, 102, 999999000},
      {7, 10, 200000000, 1, 0, 11, 0},
      {7, kNoon + 60, 0, 60, 0, kNoon + 120, 0},  // on the minute: the next one
      {7, 7, 700000000, 0, 500000, 8, 0},
      {7, 7, 200000000, 0, 500000, 7, 500000000},
      {7, kNoon + 59, 900000000, 60, 500000, kNoon + 61, 0},  // each part on its own
      {7, 10, 0, 0, 2200000, 8, -94967296},                   // a product that wraps
      {7, kHigh + kNoon + 59, 900000000, 60, 0, kHigh + kNoon + 60, 0},
  };
  Timer *t = nullptr;
  for (const auto &r : rows) {
    fakeNow = {static_cast<time_t>(r[1]), static_cast<long>(r[2])};
    t = timerArm("a", nullptr, nullptr, r[0], r[3], r[4]);
    EXPECT_EQ(when(t), Ints({r[5], r[6]})) << &r - rows;
  }
  // Then on by one interval per examination, from the last expiry: missed periods are caught up.
  fakeNow = {kHigh + kNoon + 210, 0};
  for (int periods : {1, 2, 3, 3}) {
    EXPECT_EQ(timerTick(), 1);
    EXPECT_EQ(when(t), Ints({kHigh + kNoon + 60 + 60 * periods, 0}));
  }
  // A timer whose clock cannot be read stays listed as far as it was set, and is due.
  fakeError = EIO;
  EXPECT_EQ(timerCallback("a", countCall, nullptr, 9, 0), nullptr);
  EXPECT_EQ(Ints({t->options, t->intervalSec, timerGetNextExpiry(5000000)}), Ints({0, 60, 1}));
}

// The time to the next expiry is the least that timerExpiresMicroSec gives, whose seconds wrap
// every 2000 s; at most the limit, 0 for a timer with none left. The walk of the list answers
// when its log line is on, when a timer lies further behind or has nanoseconds out of range;
// the index otherwise.
TEST_F(TimerTest, NextExpiryWrapsEvery2000Seconds) {
  EXPECT_EQ(Ints({timerGetNextExpiry(5000000), timerTick()}), Ints({5000000, 0}));
  const int32_t rows[][5] = {
      // interval of a (s, us), of b (s, us): the answer
      {1999, 0, 2001, 0, 1000000},  // b further ahead reads as 1 s away
      {2000, 0, 10, 0, 0},          // a reads as due
      {2500, 0, 600, 0, 500000000},
      {-2000, 500000, 0, 100000, 100000},  // a further behind reads as 0.5 s away
      {1, -600000, 0, 900000, 400000},     // a at 1000 s and 0.4 s written as 1001 s less 0.6 s
  };
  for (const auto &r : rows) {
    fakeNow = {1000, 0};
    timerEvent("a", nullptr, r[0], r[1]);
    timerEvent("b", nullptr, r[2], r[3]);
    EXPECT_EQ(timerGetNextExpiry(2000000000), r[4]) << r[0];
  }
  timerEvent("a", nullptr, 3, 0);
  timerEvent("b", nullptr, 2, 0);
  nkloglevelset("test", "INFO");
  EXPECT_EQ(timerGetNextExpiry(5000000), 2000000);
  timerEvent("c", nullptr, 0, 0);  // none left: the walk ends there
  timerEvent("d", nullptr, 1, 0);
  EXPECT_EQ(timerGetNextExpiry(5000000), 0);
  EXPECT_EQ(log_.messages(),
            (std::vector<std::string>{"INFO timerGetNextExpiry a expires in 3000000",
                                      "INFO timerGetNextExpiry b expires in 2000000",
                                      "INFO setNextExpiry exp is 1000,000000000",
                                      "INFO setNextExpiry exp is 1001,000000000",
                                      "INFO timerGetNextExpiry a expires in 3000000",
                                      "INFO timerGetNextExpiry b expires in 2000000"}));
}

// A timer stopped by its own callback is freed and the scan starts again at the head, counting
// the timers before it again. No stopped timer is read again (ASan).
TEST_F(TimerTest, TickCountsAndCallbacksThatStopOrReArm) {
  struct {
    const char *stop, *rearm;
    int actor, oneShot, count;  // whose callback acts; the one-shot timer, or -1
    Ints calls;
    std::string left;
  } rows[] = {
      {"b", nullptr, 1, -1, 3, {2, 1, 0}, "ac"},  // stops its own
      {"b", nullptr, 1, 1, 3, {2, 1, 0}, "ac"},   // stops its own one-shot
      {"b", nullptr, 0, 0, 1, {1, 0, 0}, "c"},    // a one-shot stops the next
      {"a", nullptr, 1, -1, 3, {1, 1, 0}, "bc"},  // stops an earlier one
      {nullptr, "b", 1, 1, 3, {1, 1, 0}, "abc"},  // re-arms its own one-shot
  };
  for (const auto &row : rows) {
    Calls calls[3] = {};
    calls[row.actor].stop = row.stop;
    calls[row.actor].rearm = row.rearm;
    fakeNow = {100, 0};
    for (int i = 0; i < 3; i++) {
      timerArm(std::string(1, "abc"[i]).c_str(), countCall, &calls[i],
               i == row.oneShot ? 0 : TIMER_PERIODIC, i == 2 ? 10 : 1, 0);
    }
    fakeNow = {102, 500000000};  // a and b 1.5 periods overdue, c not due
    EXPECT_EQ(timerTick(), row.count) << &row - rows;
    EXPECT_EQ(Ints({calls[0].count, calls[1].count, calls[2].count}), row.calls) << &row - rows;
    EXPECT_EQ(list(), row.left);
    for (char name : row.left) timerStopByName(std::string(1, name).c_str());
  }
}

// Names of one character each, in arming order; a callback records its timer's name.
char names[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
std::string fired;
void record(void *arg) {
  const char *name = static_cast<const char *>(arg);
  fired += *name;
  if (*name == 'A') timerStopByName("Q");  // a later timer, before it is due
  if (*name == 'B') timerCallback("z", record, &names[61], 0, 0);  // a new one, due at once
}

// Many timers on both clocks fire in list order, a one-shot restarting the scan; the timers
// the scan passes are counted. Also once the list has gaps and is renumbered, when callbacks
// stop and arm timers, and when the stopwatch operations move a listed timer's expiry. The
// clock is read once for each timer examined and once per clock in use for each jump over the
// timers that are not due (after "/": a timer examined in vain would show there).
TEST_F(TimerTest, ManyTimersFireInListOrder) {
  for (char name : std::string(names)) runtimeTiming(std::string(1, name).c_str());
  free_ = memFreeHandleCount();
  fakeNow = {100, 0};
  Timer *t[48];
  for (int i = 0; i < 48; i++) {
    const uint32_t options[] = {0, TIMER_PERIODIC, TIMER_PERIODIC | TIMER_REAL, TIMER_REAL};
    t[i] = timerArm(std::string(1, names[i]).c_str(), record, &names[i], options[i % 4], i * 7 % 5,
                    i * 3 % 4 * 250000);
  }
  std::string ticks;
  for (int64_t at : Ints{0, 1600000000, 3000000000, 3000000000, 5200000000}) {
    fakeNow = {static_cast<time_t>(100 + at / 1000000000), static_cast<long>(at % 1000000000)};
    fired.clear();
    clocks.clear();
    int count = timerTick();
    ticks += std::to_string(count) + ":" + fired + "/" + std::to_string(clocks.size()) + " ";
  }
  EXPECT_EQ(ticks,
            "48:/3 203:03585AFAIKANPSPUZUceUhj/125 98:156ABADGLPUVUXafjk/95 34:j/8 "
            "171:2456759AC5ADEHIJAIMOAPRAPTUWPUXYbcdUcgiUjklUjzj/249 ");
  for (int i = 1; i < 48; i += 4) timerStopByName(std::string(1, names[i + 2]).c_str());
  timerAddSec(t[5], -9);
  timerAddMicroSec(t[9], -9000000);
  struct timespec back = {-9, 0};
  timerAddInterval(t[13], &back);
  timerReset(t[17]);
  fakeNow.tv_nsec++;
  fired.clear();
  EXPECT_EQ(std::to_string(timerTick()) + ":" + fired, "23:59DH");
  EXPECT_EQ(list(), "12569ADEHILMPTUXYbcfgjk");
  // A listing goes on after the timer it returned last, also when that one has gone.
  int text = stringAlloc(0);
  for (int i : {0, 1, 2}) {
    if (i == 2) timerStopByName("2");
    timerStatsQuery(i, text);
  }
  EXPECT_NE(std::string(static_cast<char *>(memGetData(text))).find("=3,timer=5,"),
            std::string::npos);
  stringFree(text);
}

}  // namespace
