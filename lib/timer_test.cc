#define NK_MODULE "timer_test"
#include "timer.h"

#include <errno.h>
#include <stdio.h>

#include <regex>
#include <string>
#include <utility>
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
using Strings = std::vector<std::string>;
using Span = std::pair<int64_t, long>;  // seconds, nanoseconds
const time_t kNoon = 12 * 3600;
const time_t kHigh = static_cast<time_t>(int64_t{1} << 32);  // 0 where time_t has 32 bits

// The time source the tests drive: every clock reads fakeNow, or fails with
// errno fakeError (-1: fails and leaves errno alone); the clock ids are kept.
struct timespec fakeNow;
int fakeError;
std::vector<clockid_t> clocksRead;

int fakeGetTime(clockid_t clock, struct timespec *ts) {
  clocksRead.push_back(clock);
  if (fakeError > 0) errno = fakeError;
  if (fakeError) return -1;
  *ts = fakeNow;
  return 0;
}

void setNow(time_t sec, long nsec) { fakeNow = {sec, nsec}; }
Span when(const struct timespec &ts) { return {ts.tv_sec, ts.tv_nsec}; }
Ints readings(Timer *t) {  // expired, then elapsed and expires in us, ms and s
  return {timerExpired(t),    timerElapsedMicroSec(t), timerElapsedMilliSec(t),
          timerElapsedSec(t), timerExpiresMicroSec(t), timerExpiresMilliSec(t),
          timerExpiresSec(t)};
}

// A callback timer's calls. From inside, the callback can stop a timer by
// name, or re-arm its own timer (called `rearm`) as a periodic one.
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
    fakeNow = {};
    fakeError = 0;
    timerSetGetTimeFunc(fakeGetTime);
    // A callback is charged to the profile named like its timer, made on
    // first use and kept for good: make them before counting the handles.
    for (const char *name : {"before", "a", "b", "c"}) runtimeTiming(name);
    clocksRead.clear();
    freeBefore_ = memFreeHandleCount();
    string_ = stringAlloc(0);
  }
  void TearDown() override {
    for (const std::string &name : names()) timerStopByName(name.c_str());
    stringFree(string_);
    EXPECT_EQ(memFreeHandleCount(), freeBefore_);  // every timer and text freed
    timerSetGetTimeFunc(nullptr);
  }
  const char *text() { return static_cast<const char *>(memGetData(string_)); }
  Strings names() {  // the listed timers, in list order
    Strings out;
    char name[16];
    for (int i = 0; timerStatsQuery(i, string_); i++) {
      if (sscanf(text(), "index=%*d,timer=%15[^,]", name) == 1) out.push_back(name);
    }
    return out;
  }
  nktest::LogCapture log_;
  int freeBefore_ = 0, string_ = 0;
};

TEST_F(TimerTest, OptionsChooseTheClockAndFailuresRead) {
  Timer zero{}, real{}, snap{};
  real.options = TIMER_REAL;
  snap.options = TIMER_PERIODIC | TIMER_SNAP;
  setNow(5, 6);
  EXPECT_EQ(Ints({timerReset(&zero), timerReset(&real), timerElapsedSec(&snap)}), Ints({0, 0, 5}));
  EXPECT_EQ(clocksRead, (std::vector<clockid_t>{4, 0, 4}));  // raw monotonic, wall, raw
  fakeError = ENODEV;
  EXPECT_EQ(timerReset(&zero), ENODEV);
  EXPECT_EQ(when(zero.expiry), Span(5, 6));  // as the last reading left it
  EXPECT_EQ(readings(&zero), Ints({-1, -1, -1, -1, 1, 1, 1}));
  fakeError = -1;  // a failure never reads as success
  EXPECT_EQ(timerReset(&zero), EINVAL);
  timerSetGetTimeFunc(nullptr);  // the system clock again
  ASSERT_EQ(timerReset(&real), 0);
  EXPECT_GT(real.expiry.tv_sec, 1500000000);  // a wall-clock date, not an uptime
}

// Now minus the expiry, every division truncating toward zero, in 32 bits on
// every build; the microseconds wrap every 2000 s.
TEST_F(TimerTest, ExpiredElapsedAndExpires) {
  struct {
    int64_t sec, nsec, nowSec, nowNsec, expired, us, ms, s;
  } rows[] = {
      {100, 500, 100, 500, 0, 0, 0, 0},  // an equal reading is not yet expired
      {100, 500, 100, 501, 1, 0, 0, 0},
      {100, 500, 99, 999999999, 0, -1, -1, -1},
      {10, -1, 10, 999999999, 1, 1000000, 1000, 1},  // nanoseconds out of range count too
      {-5, 0, -6, 999999999, 0, -1, -1, -1},         // seconds compare signed
      {-5, 0, 3, 0, 1, 8000000, 8000, 8},
      {1000, 600000000, 1001, 100000999, 1, 500001, 501, 1},  // -0.499999001 s rounds up
      {1000, 600000000, 999, 100000000, 0, -1500000, -1500, -1},
      {10000, 0, 12500, 123456789, 1, 500123456, 2500123, 2500},
      {10000, 0, 7500, 0, 0, -500000000, -2500000, -2500},  // the remainder keeps the sign
      {10000, 0, 11999, 999999999, 1, 1999999999, 1999999, 1999},
      {0, 0, 3000000, 0, 1, 0, -1294967296, 3000000},
      {kHigh + 5, 0, 7, 0, 1, 2000000, 2000, 2},  // only the low 32 bits of the seconds count
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(&row - rows);
    Timer t{};
    t.expiry.tv_sec = static_cast<time_t>(row.sec);
    t.expiry.tv_nsec = static_cast<long>(row.nsec);
    setNow(row.nowSec, row.nowNsec);
    EXPECT_EQ(readings(&t), Ints({row.expired, row.us, row.ms, row.s, -row.us, -row.ms, -row.s}));
  }
}

TEST_F(TimerTest, AdditionsCarryUpward) {
  Timer t{};
  t.expiry = {10, 999999000};
  EXPECT_EQ((timerAddMicroSec(&t, 1), when(t.expiry)), Span(11, 0));
  EXPECT_EQ((timerAddMicroSec(&t, 2750000), when(t.expiry)), Span(13, 750000000));
  EXPECT_EQ((timerAddMicroSec(&t, 999999), when(t.expiry)), Span(14, 749999000));
  EXPECT_EQ((timerAddMicroSec(&t, 1000000), when(t.expiry)), Span(15, 749999000));
  EXPECT_EQ((timerAddMicroSec(&t, -1200000), when(t.expiry)), Span(14, 549999000));
  EXPECT_EQ((timerAddSec(&t, -3), when(t.expiry)), Span(11, 549999000));
  EXPECT_EQ((timerAddMicroSec(&t, -550000), when(t.expiry)), Span(11, -1000));  // not normalised
  struct timespec add[] = {{2, 1000001000}, {0, 1999999999}, {0, 0}};           // one carry at most
  EXPECT_EQ((timerAddInterval(&t, &add[0]), when(t.expiry)), Span(14, 0));
  EXPECT_EQ((timerAddInterval(&t, &add[1]), when(t.expiry)), Span(15, 999999999));
  EXPECT_EQ((timerAddInterval(&t, &add[2]), when(t.expiry)), Span(15, 999999999));
  EXPECT_EQ(timerMsToTimespec(1234, &add[0]), 234000000);
  EXPECT_EQ(when(add[0]), Span(1, 234000000));
  EXPECT_EQ(timerMsToTimespec(4294967295u, &add[0]), 295000000);  // unsigned all the way
  EXPECT_EQ(when(add[0]), Span(4294967, 295000000));
}

// ---- Named timers

// Each entry arms with its options and returns its timer. The listing goes on
// from any nonzero index, which only numbers the reply, and starts again at 0.
TEST_F(TimerTest, EntriesStatisticsAndStopping) {
  Calls calls = {};
  setNow(1000, 0);
  Timer *timers[] = {timerEvent("a", "p", 1, 250000),
                     timerPeriodicEvent("b", "p", 3, 0),
                     timerPeriodicSnapEvent("c", "p", 7, 0),
                     timerCallback("d", countCall, &calls, 2, 0),
                     timerPeriodicCallback("e", countCall, &calls, 2, 0),
                     timerPeriodicSnapCallback("f", countCall, &calls, 3, 0)};
  EXPECT_EQ(clocksRead, (std::vector<clockid_t>{4, 4, 0, 4, 4, 0}));  // snapping: the wall clock
  const char *replies[] = {
      "index=1,timer=a,expiry-sec=1,expiry-usec=250000,interval-sec=1,interval-usec=250000,"
      "options=",
      "index=3,timer=b,expiry-sec=3,expiry-usec=0,interval-sec=3,interval-usec=0,options=PER ",
      "index=4,timer=c,expiry-sec=1,expiry-usec=0,interval-sec=7,interval-usec=0,"
      "options=PER SNAP REAL",
      "index=5,timer=d,expiry-sec=2,expiry-usec=0,interval-sec=2,interval-usec=0,options=",
      "index=6,timer=e,expiry-sec=2,expiry-usec=0,interval-sec=2,interval-usec=0,options=PER ",
      "index=7,timer=f,expiry-sec=2,expiry-usec=0,interval-sec=3,interval-usec=0,"
      "options=PER SNAP REAL",
  };
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(timers[i]->callbackArg, i < 3 ? nullptr : &calls);
    EXPECT_EQ(timerStatsQuery(i ? i + 1 : 0, string_), 1);
    EXPECT_STREQ(text(), replies[i]);
  }
  for (int index : {7, 3}) EXPECT_EQ(timerStatsQuery(index, string_), 0);
  EXPECT_STREQ(text(), "");
  setNow(1004, 500000000);  // overdue: negative counts
  EXPECT_EQ(timerStatsQuery(0, string_), 1);
  EXPECT_STREQ(text(),
               "index=1,timer=a,expiry-sec=-3,expiry-usec=-250000,interval-sec=1,"
               "interval-usec=250000,options=");
  timerStopByName("nope");
  timerStopByName("a");
  timerStop(timerEvent("b", nullptr, 1, 0));
  EXPECT_EQ(names(), (Strings{"c", "d", "e", "f"}));
  EXPECT_EQ(log_.messages(), (Strings{"WARN Can't find timer nope to stop"}));
  for (const char *name : {"c", "d", "e", "f"}) timerStopByName(name);
  stringCopy(string_, "old");
  EXPECT_EQ(Ints({timerStatsQuery(0, string_), timerTick(), timerGetNextExpiry(5000000)}),
            Ints({0, 0, 5000000}));
  EXPECT_STREQ(text(), "");
}

// The first expiry is now plus the interval, or with TIMER_SNAP the next
// multiple of it, seconds and sub-second part each on its own.
TEST_F(TimerTest, FirstExpiryAddsOrSnaps) {
  struct {
    const char *name;
    int64_t options, nowSec, nowNsec, sec, usec, expirySec, expiryNsec;
  } rows[] = {
      {"whole seconds", 1, 100, 0, 1, 0, 101, 0},
      {"microseconds past a second", 1, 100, 800000000, 0, 1500000, 102, 300000000},
      {"nanoseconds to exactly a second", 1, 100, 999999000, 0, 1, 101, 0},
      {"microseconds of whole seconds", 1, 100, 0, 0, 3000000, 103, 0},
      {"both parts", 1, 100, 0, 2, 999999, 102, 999999000},
      {"snap whole seconds", 7, 10, 200000000, 1, 0, 11, 0},
      {"snap before the minute", 7, kNoon + 59, 900000000, 60, 0, kNoon + 60, 0},
      {"snap on the minute", 7, kNoon + 60, 0, 60, 0, kNoon + 120, 0},
      {"snap half seconds", 7, 7, 700000000, 0, 500000, 8, 0},
      {"snap half seconds, early", 7, 7, 200000000, 0, 500000, 7, 500000000},
      {"snap each part on its own", 7, kNoon + 59, 900000000, 60, 500000, kNoon + 61, 0},
      {"snap past a second", 7, 10, 200000000, 0, 1500000, 11, 500000000},
      {"snap product that wraps", 7, 10, 0, 0, 2200000, 8, -94967296},
      {"snap keeps high seconds", 7, kHigh + kNoon + 59, 900000000, 60, 0, kHigh + kNoon + 60, 0},
  };
  Timer *t = nullptr;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    setNow(row.nowSec, row.nowNsec);
    t = timerArm("a", nullptr, nullptr, row.options, row.sec, row.usec);
    EXPECT_EQ(when(t->expiry), Span(row.expirySec, row.expiryNsec));
  }
  // Then on by one interval per examination, so that missed periods are
  // caught up one by one.
  setNow(kHigh + kNoon + 210, 0);
  for (int periods : {1, 2, 3, 3}) {
    EXPECT_EQ(timerTick(), 1);
    EXPECT_EQ(when(t->expiry), Span(kHigh + kNoon + 60 + 60 * periods, 0));
  }
}

// Arming a name again re-arms its record in its place; each kind keeps the
// other kind's field of before.
TEST_F(TimerTest, ReArmingKeepsTheRecordItsPlaceAndTheOtherField) {
  Calls a = {}, b = {};
  setNow(10, 0);
  runtimeTiming("before");
  Timer *t = timerPeriodicCallback("a", countCall, &a, 5, 0);
  timerEvent("b", "pb", 1, 0);
  timerEvent("c", "pc", 1, 0);
  setNow(11, 0);
  EXPECT_EQ(timerEvent("a", "pa", 1, 500000), t);  // a one-shot callback timer with a param
  EXPECT_STREQ(timerCallback("b", countCall, &b, 1, 0)->param, "pb");
  EXPECT_EQ(timerEvent("c", nullptr, 1, 0)->param, nullptr);
  EXPECT_EQ(names(), (Strings{"a", "b", "c"}));
  EXPECT_EQ(when(t->expiry), Span(12, 500000000));
  EXPECT_STREQ(t->param, "pa");
  setNow(12, 500000001);  // each fires once and is freed
  EXPECT_EQ(Ints({timerTick(), timerTick(), a.count, b.count}), Ints({0, 0, 1, 1}));
  // Nobody is interested in the event c posts, so the post is reported.
  EXPECT_EQ(log_.messages(), (Strings{"WARN event c (-1) ignored (fix this!)"}));
  std::string profiles;  // switching to "a" charged the 2.5 s since the switch to "before"
  for (int i = 0; runtimeStatsQuery(i, string_); i++) profiles += text() + std::string(";");
  EXPECT_TRUE(std::regex_search(profiles, std::regex("name=before,[^;]*,max=2500000;")))
      << profiles;
}

// A timer whose clock cannot be read stays listed, counts as 1 us away, and
// is due.
TEST_F(TimerTest, NextExpiryAndClockFailures) {
  Calls calls = {};
  setNow(100, 0);
  Timer *t = timerPeriodicCallback("a", countCall, &calls, 3, 0);
  timerEvent("b", nullptr, 1, 500000);
  nkloglevelset("test", "INFO");
  EXPECT_EQ(
      Ints({timerGetNextExpiry(5000000), timerGetNextExpiry(1500000), timerGetNextExpiry(1000000)}),
      Ints({1500000, 1500000, 1000000}));
  setNow(101, 499999000);
  EXPECT_EQ(timerGetNextExpiry(5000000), 1);
  setNow(101, 499999999);  // under a microsecond left: due, though not yet expired
  EXPECT_EQ(timerGetNextExpiry(5000000), 0);
  EXPECT_EQ(log_.messages(),  // each new minimum, up to a due timer
            (Strings{"INFO timerGetNextExpiry a expires in 3000000",
                     "INFO timerGetNextExpiry b expires in 1500000",
                     "INFO timerGetNextExpiry a expires in 1500001",
                     "INFO timerGetNextExpiry b expires in 1",
                     "INFO timerGetNextExpiry a expires in 1500001"}));
  fakeError = EIO;
  EXPECT_EQ(timerCallback("a", countCall, &calls, 9, 0), nullptr);
  // The options are set before the reading, the interval after it.
  EXPECT_EQ(Ints({t->options, t->intervalSec, t->expiry.tv_sec}), Ints({0, 3, 103}));
  EXPECT_EQ(timerCallback("c", countCall, &calls, 1, 0), nullptr);
  EXPECT_EQ(names(), (Strings{"a", "b", "c"}));
  EXPECT_EQ(Ints({timerGetNextExpiry(5000000), timerTick(), calls.count}), Ints({1, 0, 2}));
  EXPECT_EQ(log_.count("WARN event b (-1) ignored (fix this!)"), 1);
}

// A fired one-shot timer, or one stopped by its own callback, is freed and
// the scan starts again at the head: the timers before it are examined, and
// counted, again. No stopped timer is read again (ASan poisons freed blocks).
TEST_F(TimerTest, TickCountsAndCallbacksThatStopOrReArm) {
  struct {
    const char *name, *stop, *rearm;
    int actor, oneShot, count;  // whose callback acts; the one-shot timer, or -1
    std::vector<int> calls;
    Strings left;
  } rows[] = {
      {"a one-shot among periodic ones", nullptr, nullptr, 0, 1, 3, {2, 1, 0}, {"a", "c"}},
      {"stops its own", "b", nullptr, 1, -1, 3, {2, 1, 0}, {"a", "c"}},
      {"stops its own one-shot", "b", nullptr, 1, 1, 3, {2, 1, 0}, {"a", "c"}},
      {"stops the next", "b", nullptr, 0, -1, 2, {1, 0, 0}, {"a", "c"}},
      {"a one-shot stops the next", "b", nullptr, 0, 0, 1, {1, 0, 0}, {"c"}},
      {"stops an earlier one", "a", nullptr, 1, -1, 3, {1, 1, 0}, {"b", "c"}},
      {"re-arms its own one-shot", nullptr, "b", 1, 1, 3, {1, 1, 0}, {"a", "b", "c"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    Calls calls[3] = {};
    calls[row.actor].stop = row.stop;
    calls[row.actor].rearm = row.rearm;
    setNow(100, 0);
    for (int i = 0; i < 3; i++) {
      timerArm(std::string(1, "abc"[i]).c_str(), countCall, &calls[i],
               i == row.oneShot ? 0 : TIMER_PERIODIC, i == 2 ? 10 : 1, 0);
    }
    setNow(102, 500000000);  // a and b 1.5 periods overdue, c not due
    EXPECT_EQ(timerTick(), row.count);
    EXPECT_EQ((std::vector<int>{calls[0].count, calls[1].count, calls[2].count}), row.calls);
    EXPECT_EQ(names(), row.left);
    for (const std::string &name : row.left) timerStopByName(name.c_str());
  }
}

TEST(TimerDeathTest, StoppingWithoutANameAsserts) {
  nksetdefaultlog(stderr);
  EXPECT_EXIT(timerStopByName(nullptr), ::testing::ExitedWithCode(1),
              "Assertion failed file timer line");
}

}  // namespace
