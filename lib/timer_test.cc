#include "timer.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <vector>

#include <gtest/gtest.h>

namespace {

// A time source the tests set by hand: it answers every clock with `fakeNow`
// and records the clock ids asked for.
struct timespec fakeNow;
int fakeError;  // nonzero: fail with this errno
std::vector<clockid_t> clocksRead;

int fakeGetTime(clockid_t clock, struct timespec *ts) {
  clocksRead.push_back(clock);
  if (fakeError) {
    errno = fakeError;
    return -1;
  }
  *ts = fakeNow;
  return 0;
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeNow = {};
    fakeError = 0;
    clocksRead.clear();
    timerSetGetTimeFunc(fakeGetTime);
  }
  void TearDown() override { timerSetGetTimeFunc(nullptr); }

  static void setNow(time_t sec, long nsec) {
    fakeNow.tv_sec = sec;
    fakeNow.tv_nsec = nsec;
  }
  static Timer at(time_t sec, long nsec, uint32_t options = 0) {
    Timer t;
    memset(&t, 0, sizeof t);
    t.expiry.tv_sec = sec;
    t.expiry.tv_nsec = nsec;
    t.options = options;
    return t;
  }
};

TEST_F(TimerTest, OptionsChooseTheClock) {
  Timer zero;
  memset(&zero, 0, sizeof zero);
  setNow(5, 6);
  EXPECT_EQ(timerReset(&zero), 0);
  EXPECT_EQ(zero.expiry.tv_sec, 5);
  EXPECT_EQ(zero.expiry.tv_nsec, 6);
  Timer real = at(0, 0, TIMER_REAL);
  timerReset(&real);
  Timer periodic = at(0, 0, TIMER_PERIODIC | TIMER_SNAP);
  timerElapsedSec(&periodic);
  EXPECT_EQ(clocksRead, (std::vector<clockid_t>{4, 0, 4}));  // raw monotonic, wall, raw
  timerSetGetTimeFunc(nullptr);                              // the system clock again
  ASSERT_EQ(timerReset(&real), 0);
  EXPECT_GT(real.expiry.tv_sec, 1500000000);  // a wall-clock date, not an uptime
}

TEST_F(TimerTest, EqualReadingIsNotYetExpired) {
  Timer t = at(100, 500);
  setNow(100, 500);
  EXPECT_EQ(timerExpired(&t), 0);
  setNow(100, 501);
  EXPECT_EQ(timerExpired(&t), 1);
  setNow(99, 999999999);
  EXPECT_EQ(timerExpired(&t), 0);
  setNow(101, 0);
  EXPECT_EQ(timerExpired(&t), 1);
  Timer negative = at(-5, 0);  // seconds compare signed
  setNow(-6, 999999999);
  EXPECT_EQ(timerExpired(&negative), 0);
  setNow(3, 0);
  EXPECT_EQ(timerExpired(&negative), 1);
}

TEST_F(TimerTest, ElapsedInThreeUnitsTruncates) {
  Timer t = at(1000, 600000000);
  // 0.500000999 s later: the negative sub-second term (-0.499999001 s)
  // truncates toward zero, which rounds the whole count up.
  setNow(1001, 100000999);
  EXPECT_EQ(timerElapsedMicroSec(&t), 500001);
  EXPECT_EQ(timerElapsedMilliSec(&t), 501);
  EXPECT_EQ(timerElapsedSec(&t), 1);  // the nanosecond term never counts
  EXPECT_EQ(timerExpiresMicroSec(&t), -500001);
  EXPECT_EQ(timerExpiresMilliSec(&t), -501);
  EXPECT_EQ(timerExpiresSec(&t), -1);

  setNow(999, 100000000);  // 1.5 s before the expiry
  EXPECT_EQ(timerElapsedMicroSec(&t), -1500000);
  EXPECT_EQ(timerElapsedMilliSec(&t), -1500);
  EXPECT_EQ(timerElapsedSec(&t), -1);
  EXPECT_EQ(timerExpiresMicroSec(&t), 1500000);
  EXPECT_EQ(timerExpiresMilliSec(&t), 1500);
  EXPECT_EQ(timerExpiresSec(&t), 1);
}

TEST_F(TimerTest, MicrosecondsWrapEvery2000Seconds) {
  Timer t = at(10000, 0);
  setNow(12500, 123456789);  // 2500 s in the past
  EXPECT_EQ(timerElapsedMicroSec(&t), 500123456);
  EXPECT_EQ(timerElapsedMilliSec(&t), 2500123);
  EXPECT_EQ(timerElapsedSec(&t), 2500);
  setNow(7500, 0);  // 2500 s ahead: the remainder keeps the sign
  EXPECT_EQ(timerElapsedMicroSec(&t), -500000000);
  setNow(10000 + 1999, 999999999);  // the largest count before the wrap
  EXPECT_EQ(timerElapsedMicroSec(&t), 1999999999);
}

TEST_F(TimerTest, ArithmeticIsThirtyTwoBitOnEveryBuild) {
  Timer t = at(0, 0);
  setNow(3000000, 0);  // 3e9 ms wraps to a negative 32-bit count
  EXPECT_EQ(timerElapsedMilliSec(&t), -1294967296);
  if (sizeof(time_t) == 8) {
    // Only the low 32 bits of a 64-bit seconds field take part.
    Timer high = at(static_cast<time_t>((int64_t{1} << 32) + 5), 0);
    setNow(7, 0);
    EXPECT_EQ(timerElapsedSec(&high), 2);
    EXPECT_EQ(timerExpired(&high), 1);
  }
}

TEST_F(TimerTest, ClockFailureResults) {
  Timer t = at(42, 7);
  fakeError = ENODEV;
  EXPECT_EQ(timerReset(&t), ENODEV);
  EXPECT_EQ(t.expiry.tv_sec, 42);  // left as it was
  EXPECT_EQ(t.expiry.tv_nsec, 7);
  EXPECT_EQ(timerExpired(&t), -1);
  EXPECT_EQ(timerElapsedMicroSec(&t), -1);
  EXPECT_EQ(timerElapsedMilliSec(&t), -1);
  EXPECT_EQ(timerElapsedSec(&t), -1);
  EXPECT_EQ(timerExpiresMicroSec(&t), 1);
  EXPECT_EQ(timerExpiresMilliSec(&t), 1);
  EXPECT_EQ(timerExpiresSec(&t), 1);
}

TEST_F(TimerTest, AddMicroSecCarriesUpward) {
  Timer t = at(10, 999999000);
  timerAddMicroSec(&t, 1);
  EXPECT_EQ(t.expiry.tv_sec, 11);
  EXPECT_EQ(t.expiry.tv_nsec, 0);
  timerAddMicroSec(&t, 2750000);
  EXPECT_EQ(t.expiry.tv_sec, 13);
  EXPECT_EQ(t.expiry.tv_nsec, 750000000);
  timerAddMicroSec(&t, 999999);  // 0.75 s + 0.999999 s
  EXPECT_EQ(t.expiry.tv_sec, 14);
  EXPECT_EQ(t.expiry.tv_nsec, 749999000);
  timerAddMicroSec(&t, -1200000);
  EXPECT_EQ(t.expiry.tv_sec, 13);
  EXPECT_EQ(t.expiry.tv_nsec, 549999000);
  Timer z = at(10, 0);
  timerAddMicroSec(&z, -1);  // not normalised downward
  EXPECT_EQ(z.expiry.tv_sec, 10);
  EXPECT_EQ(z.expiry.tv_nsec, -1000);
  timerAddSec(&z, -3);
  EXPECT_EQ(z.expiry.tv_sec, 7);
  EXPECT_EQ(z.expiry.tv_nsec, -1000);
}

TEST_F(TimerTest, AddIntervalCarriesOnce) {
  Timer t = at(5, 600000000);
  struct timespec iv = {2, 400000000};  // exactly one second of nanoseconds
  timerAddInterval(&t, &iv);
  EXPECT_EQ(t.expiry.tv_sec, 8);
  EXPECT_EQ(t.expiry.tv_nsec, 0);
  struct timespec big = {0, 1999999999};  // beyond one carry
  timerAddInterval(&t, &big);
  EXPECT_EQ(t.expiry.tv_sec, 9);
  EXPECT_EQ(t.expiry.tv_nsec, 999999999);
  struct timespec none = {0, 0};
  timerAddInterval(&t, &none);
  EXPECT_EQ(t.expiry.tv_sec, 9);
  EXPECT_EQ(t.expiry.tv_nsec, 999999999);
}

TEST_F(TimerTest, MillisecondsToTimespec) {
  struct timespec ts;
  EXPECT_EQ(timerMsToTimespec(1234, &ts), 234000000);
  EXPECT_EQ(ts.tv_sec, 1);
  EXPECT_EQ(ts.tv_nsec, 234000000);
  EXPECT_EQ(timerMsToTimespec(4294967295u, &ts), 295000000);  // unsigned all the way
  EXPECT_EQ(ts.tv_sec, 4294967);
  EXPECT_EQ(timerMsToTimespec(0, &ts), 0);
  EXPECT_EQ(ts.tv_sec, 0);
}

}  // namespace
