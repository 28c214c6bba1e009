#define NK_MODULE "timer_test"
#include "timer.h"

#include <errno.h>
#include <stdio.h>

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

// The time source the tests drive: every clock reads fakeNow, or fails with errno fakeError (-1:
// fails and leaves errno alone); the clock ids are kept.
struct timespec fakeNow;
int fakeError;
std::vector<clockid_t> clocksRead;
int fakeGetTime(clockid_t clock, struct timespec *ts) {
  clocksRead.push_back(clock);
  if (fakeError > 0) errno = fakeError;
  if (!fakeError) *ts = fakeNow;
  return fakeError ? -1 : 0;
}
Ints when(const Timer *t) { return {t->expiry.tv_sec, t->expiry.tv_nsec}; }

// A callback timer's calls. From inside, the callback can stop a timer by name, or re-arm its
// own timer (called `rearm`) as a periodic one.
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
    // A callback is charged to the profile named like its timer, made on first use and kept for
    // good: make them before counting the handles.
    for (const char *name : {"before", "a", "b", "c"}) runtimeTiming(name);
    clocksRead.clear();
    free_ = memFreeHandleCount();
  }
  void TearDown() override {
    for (char name : names()) timerStopByName(std::string(1, name).c_str());
    EXPECT_EQ(memFreeHandleCount(), free_);  // every timer freed
    timerSetGetTimeFunc(nullptr);
  }
  // The whole listing, from index 0.
  std::vector<std::string> list(int (*query)(int, int) = timerStatsQuery) {
    std::vector<std::string> out;
    int text = stringAlloc(0);
    for (int i = 0; query(i, text); i++) out.push_back(static_cast<const char *>(memGetData(text)));
    stringFree(text);
    return out;
  }
  // The listed timers' names (one letter each), in list order.
  std::string names() {
    std::string out;
    for (const std::string &line : list()) out += line[line.find("timer=") + 6];
    return out;
  }
  nktest::LogCapture log_;
  int free_ = 0;
};

// Now minus the expiry, every division truncating toward zero, in 32 bits on every build; the
// microseconds wrap every 2000 s. A clock that cannot be read gives -1, and its errno (EINVAL
// when it left none: a failure never reads as success).
TEST_F(TimerTest, ExpiredElapsedAndExpires) {
  const int64_t rows[][8] = {
      // expiry s, ns, now s, ns: expired, elapsed us, ms, s (expires: the negatives)
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
  Timer t{};
  auto readings = [&t] {
    return Ints{timerExpired(&t),    timerElapsedMicroSec(&t), timerElapsedMilliSec(&t),
                timerElapsedSec(&t), timerExpiresMicroSec(&t), timerExpiresMilliSec(&t),
                timerExpiresSec(&t)};
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r[0]);
    t.expiry = {static_cast<time_t>(r[0]), r[1]};
    fakeNow = {static_cast<time_t>(r[2]), r[3]};
    EXPECT_EQ(readings(), Ints({r[4], r[5], r[6], r[7], -r[5], -r[6], -r[7]}));
  }
  fakeError = ENODEV;
  EXPECT_EQ(timerReset(&t), ENODEV);
  EXPECT_EQ(when(&t), Ints({kHigh + 5, 0}));  // as it was
  EXPECT_EQ(readings(), Ints({-1, -1, -1, -1, 1, 1, 1}));
  fakeError = -1;
  EXPECT_EQ(timerReset(&t), EINVAL);
  fakeError = 0;
  timerSetGetTimeFunc(nullptr);  // the system clock again
  t.options = TIMER_REAL;
  ASSERT_EQ(timerReset(&t), 0);
  EXPECT_GT(t.expiry.tv_sec, 1500000000);  // a wall-clock date, not an uptime
}

TEST_F(TimerTest, AdditionsCarryUpward) {
  Timer t{};
  t.expiry = {10, 999999000};
  const int steps[][3] = {{1, 11, 0},
                          {2750000, 13, 750000000},
                          {999999, 14, 749999000},
                          {1000000, 15, 749999000},
                          {-1200000, 14, 549999000},
                          {-550000, 14, -1000}};  // a negative sum is not normalised
  for (const auto &s : steps) {
    timerAddMicroSec(&t, s[0]);
    EXPECT_EQ(when(&t), Ints({s[1], s[2]})) << s[0];
  }
  timerAddSec(&t, -3);
  struct timespec add[] = {{2, 1000001000}, {0, 1999999999}};  // one carry at most
  EXPECT_EQ((timerAddInterval(&t, &add[0]), when(&t)), Ints({14, 0}));
  EXPECT_EQ((timerAddInterval(&t, &add[1]), when(&t)), Ints({15, 999999999}));
  EXPECT_EQ(timerMsToTimespec(4294967295u, &add[0]), 295000000);  // unsigned all the way
  EXPECT_EQ(add[0].tv_sec, 4294967);
}

// Each entry arms with its options and returns its timer; the listing numbers its replies from
// the index it is given, and starts again at 0.
TEST_F(TimerTest, EntriesAndTheirListing) {
  Calls calls = {};
  fakeNow = {1000, 0};
  Timer *timers[] = {timerEvent("a", "p", 1, 250000),
                     timerPeriodicEvent("b", "p", 3, 0),
                     timerPeriodicSnapEvent("c", "p", 7, 0),
                     timerCallback("d", countCall, &calls, 2, 0),
                     timerPeriodicCallback("e", countCall, &calls, 2, 0),
                     timerPeriodicSnapCallback("f", countCall, &calls, 3, 0)};
  EXPECT_EQ(clocksRead, (std::vector<clockid_t>{4, 4, 0, 4, 4, 0}));  // snapping: the wall clock
  for (int i = 0; i < 6; i++) EXPECT_EQ(timers[i]->callbackArg, i < 3 ? nullptr : &calls);
  EXPECT_EQ(
      list(),
      (std::vector<std::string>{
          "index=1,timer=a,expiry-sec=1,expiry-usec=250000,interval-sec=1,interval-usec=250000,"
          "options=",
          "index=2,timer=b,expiry-sec=3,expiry-usec=0,interval-sec=3,interval-usec=0,options=PER ",
          "index=3,timer=c,expiry-sec=1,expiry-usec=0,interval-sec=7,interval-usec=0,options=PER "
          "SNAP REAL",
          "index=4,timer=d,expiry-sec=2,expiry-usec=0,interval-sec=2,interval-usec=0,options=",
          "index=5,timer=e,expiry-sec=2,expiry-usec=0,interval-sec=2,interval-usec=0,options=PER ",
          "index=6,timer=f,expiry-sec=2,expiry-usec=0,interval-sec=3,interval-usec=0,options=PER "
          "SNAP REAL"}));
  fakeNow = {1004, 500000000};  // overdue: negative counts
  int text = stringAlloc(0);
  EXPECT_EQ(timerStatsQuery(0, text), 1);
  EXPECT_EQ(timerStatsQuery(6, text), 1);
  EXPECT_STREQ(static_cast<const char *>(memGetData(text)),
               "index=7,timer=b,expiry-sec=-1,expiry-usec=-500000,interval-sec=3,interval-usec=0,"
               "options=PER ");
  stringFree(text);
  timerStopByName("nope");
  timerStopByName("a");
  timerStop(timerEvent("b", nullptr, 1, 0));
  EXPECT_EQ(names(), "cdef");
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"WARN Can't find timer nope to stop"}));
  for (const char *name : {"c", "d", "e", "f"}) timerStopByName(name);
  EXPECT_EQ(Ints({timerTick(), timerGetNextExpiry(5000000)}), Ints({0, 5000000}));
}

// The first expiry is now plus the interval, or with TIMER_SNAP the next multiple of it, seconds
// and sub-second part each on its own.
TEST_F(TimerTest, FirstExpiryAddsOrSnaps) {
  const time_t kNoon = 12 * 3600;
  const int64_t rows[][7] = {
      // options, now s, ns, interval s, us: expiry s, ns
      {1, 100, 0, 1, 0, 101, 0},
      {1, 100, 800000000, 0, 1500000, 102, 300000000},  // microseconds past a second
      {1, 100, 999999000, 0, 1, 101, 0},
      {1, 100, 0, 0, 3000000, 103, 0},
      {1, 100, 0, 2, 999999, 102, 999999000},
      {7, 10, 200000000, 1, 0, 11, 0},
      {7, kNoon + 59, 900000000, 60, 0, kNoon + 60, 0},
      {7, kNoon + 60, 0, 60, 0, kNoon + 120, 0},  // on the minute: the next one
      {7, 7, 700000000, 0, 500000, 8, 0},
      {7, 7, 200000000, 0, 500000, 7, 500000000},
      {7, kNoon + 59, 900000000, 60, 500000, kNoon + 61, 0},  // each part on its own
      {7, 10, 200000000, 0, 1500000, 11, 500000000},
      {7, 10, 0, 0, 2200000, 8, -94967296},  // a product that wraps
      {7, kHigh + kNoon + 59, 900000000, 60, 0, kHigh + kNoon + 60, 0},
  };
  Timer *t = nullptr;
  for (const auto &r : rows) {
    SCOPED_TRACE(&r - rows);
    fakeNow = {static_cast<time_t>(r[1]), r[2]};
    t = timerArm("a", nullptr, nullptr, r[0], r[3], r[4]);
    EXPECT_EQ(when(t), Ints({r[5], r[6]}));
  }
  // Then on by one interval per examination, so that missed periods are caught up one by one.
  fakeNow = {kHigh + kNoon + 210, 0};
  for (int periods : {1, 2, 3, 3}) {
    EXPECT_EQ(timerTick(), 1);
    EXPECT_EQ(when(t), Ints({kHigh + kNoon + 60 + 60 * periods, 0}));
  }
}

// Arming a name again re-arms its record in its place; each kind keeps the other kind's field.
TEST_F(TimerTest, ReArmingKeepsTheRecordItsPlaceAndTheOtherField) {
  Calls a = {}, b = {};
  fakeNow = {10, 0};
  runtimeTiming("before");
  Timer *t = timerPeriodicCallback("a", countCall, &a, 5, 0);
  timerEvent("b", "pb", 1, 0);
  timerEvent("c", "pc", 1, 0);
  fakeNow = {11, 0};
  EXPECT_EQ(timerEvent("a", "pa", 1, 500000), t);  // a one-shot callback timer with a param
  EXPECT_STREQ(timerCallback("b", countCall, &b, 1, 0)->param, "pb");
  EXPECT_EQ(timerEvent("c", nullptr, 1, 0)->param, nullptr);
  EXPECT_EQ(names(), "abc");
  EXPECT_EQ(when(t), Ints({12, 500000000}));
  EXPECT_STREQ(t->param, "pa");
  fakeNow = {12, 500000001};  // each fires once and is freed
  EXPECT_EQ(Ints({timerTick(), timerTick(), a.count, b.count}), Ints({0, 0, 1, 1}));
  // Nobody is interested in the event c posts, so the post is reported.
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"WARN event c (-1) ignored (fix this!)"}));
  std::string profiles;  // switching to "a" charged the 2.5 s since the switch to "before"
  for (const std::string &line : list(runtimeStatsQuery)) profiles += line + ";";
  EXPECT_TRUE(std::regex_search(profiles, std::regex("name=before,[^;]*,max=2500000;")))
      << profiles;
}

// A timer whose clock cannot be read stays listed as far as it was set, counts as 1 us away, and
// is due.
TEST_F(TimerTest, NextExpiryAndClockFailures) {
  Calls calls = {};
  fakeNow = {100, 0};
  Timer *t = timerPeriodicCallback("a", countCall, &calls, 3, 0);
  timerEvent("b", nullptr, 1, 500000);
  EXPECT_EQ(Ints({timerGetNextExpiry(5000000), timerGetNextExpiry(1000000)}),
            Ints({1500000, 1000000}));
  fakeNow = {101, 499999000};
  EXPECT_EQ(timerGetNextExpiry(5000000), 1);
  fakeNow = {101, 499999999};  // under a microsecond left: due, though not yet expired
  EXPECT_EQ(timerGetNextExpiry(5000000), 0);
  fakeError = EIO;
  EXPECT_EQ(timerCallback("a", countCall, &calls, 9, 0), nullptr);
  // The options are set before the reading, the interval after it.
  EXPECT_EQ(Ints({t->options, t->intervalSec, t->expiry.tv_sec}), Ints({0, 3, 103}));
  EXPECT_EQ(timerCallback("c", countCall, &calls, 1, 0), nullptr);
  EXPECT_EQ(names(), "abc");
  EXPECT_EQ(Ints({timerGetNextExpiry(5000000), timerTick(), calls.count}), Ints({1, 0, 2}));
  EXPECT_EQ(log_.count("WARN event b (-1) ignored (fix this!)"), 1);
}

// A fired one-shot timer, or one stopped by its own callback, is freed and the scan starts again
// at the head: the timers before it are examined, and counted, again. No stopped timer is read
// again (ASan poisons freed blocks).
TEST_F(TimerTest, TickCountsAndCallbacksThatStopOrReArm) {
  struct {
    const char *stop, *rearm;
    int actor, oneShot, count;  // whose callback acts; the one-shot timer, or -1
    Ints calls;
    std::string left;
  } rows[] = {
      {nullptr, nullptr, 0, 1, 3, {2, 1, 0}, "ac"},  // a one-shot among periodic ones
      {"b", nullptr, 1, -1, 3, {2, 1, 0}, "ac"},     // stops its own
      {"b", nullptr, 1, 1, 3, {2, 1, 0}, "ac"},      // stops its own one-shot
      {"b", nullptr, 0, -1, 2, {1, 0, 0}, "ac"},     // stops the next
      {"b", nullptr, 0, 0, 1, {1, 0, 0}, "c"},       // a one-shot stops the next
      {"a", nullptr, 1, -1, 3, {1, 1, 0}, "bc"},     // stops an earlier one
      {nullptr, "b", 1, 1, 3, {1, 1, 0}, "abc"},     // re-arms its own one-shot
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(&row - rows);
    Calls calls[3] = {};
    calls[row.actor].stop = row.stop;
    calls[row.actor].rearm = row.rearm;
    fakeNow = {100, 0};
    for (int i = 0; i < 3; i++) {
      timerArm(std::string(1, "abc"[i]).c_str(), countCall, &calls[i],
               i == row.oneShot ? 0 : TIMER_PERIODIC, i == 2 ? 10 : 1, 0);
    }
    fakeNow = {102, 500000000};  // a and b 1.5 periods overdue, c not due
    EXPECT_EQ(timerTick(), row.count);
    EXPECT_EQ(Ints({calls[0].count, calls[1].count, calls[2].count}), row.calls);
    EXPECT_EQ(names(), row.left);
    for (char name : row.left) timerStopByName(std::string(1, name).c_str());
  }
}

TEST(TimerDeathTest, StoppingWithoutANameAsserts) {
  nksetdefaultlog(stderr);
  EXPECT_EXIT(timerStopByName(nullptr), ::testing::ExitedWithCode(1),
              "Assertion failed file timer line");
}

}  // namespace
