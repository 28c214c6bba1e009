#define NK_MODULE "clock_test"
#include "timer.h"

#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nktest.h"

#include "clock_internal.h"

namespace {

using Ints = std::vector<int64_t>;
const time_t kHigh = static_cast<time_t>(int64_t{1} << 32);  // 0 where time_t has 32 bits

using nktest::fakeError;
using nktest::fakeGetTime;
using nktest::fakeNow;
Ints &clocks = nktest::fakeClocks;
Ints when(const Timer *t) { return {t->expiry.tv_sec, t->expiry.tv_nsec}; }

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override { timerSetGetTimeFunc(fakeGetTime); }
  void TearDown() override { timerSetGetTimeFunc(nullptr); }
};

// Now minus the expiry in 32 bits on every build, divisions truncating toward zero; the
// microseconds wrap every 2000 s. A clock that cannot be read gives -1, timerReset its errno.
TEST_F(ClockTest, RecordArithmetic) {
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
    t.expiry = {static_cast<time_t>(r[0]), static_cast<long>(r[1])};
    fakeNow = {static_cast<time_t>(r[2]), static_cast<long>(r[3])};
    EXPECT_EQ(readings(), Ints({r[4], r[5], r[6], r[7], -r[5], -r[6], -r[7]})) << r[0];
  }
  fakeError = ENODEV;
  EXPECT_EQ(timerReset(&t), ENODEV);
  EXPECT_EQ(when(&t), Ints({kHigh + 5, 0}));  // as it was
  EXPECT_EQ(readings(), Ints({-1, -1, -1, -1, 1, 1, 1}));
  EXPECT_EQ(timerMonotonicMicroSec(), -1);
  fakeError = -1;
  EXPECT_EQ(timerReset(&t), EINVAL);
  fakeError = 0;
  fakeNow = {kHigh + 5, 999999999};  // the whole seconds, not only their low 32 bits
  clocks.clear();
  EXPECT_EQ(timerMonotonicMicroSec(), (kHigh + 5) * 1000000 + 999999);
  EXPECT_EQ(clocks, Ints({CLOCK_MONOTONIC_RAW}));
  // Each operation that moves an expiry reports it to the named timers' hook.
  static std::string moves;
  nk::setExpiryMovedHook([](Timer *) { moves += "m"; });
  t.expiry = {10, 999999000};
  timerAddMicroSec(&t, 2750001);
  timerAddSec(&t, -3);
  timerAddMicroSec(&t, -750001);
  EXPECT_EQ(when(&t), Ints({10, -1000}));  // carried upward only
  struct timespec add = {2, 1000001000};   // one carry at most
  timerAddInterval(&t, &add);
  EXPECT_EQ(when(&t), Ints({13, 0}));
  timerReset(&t);
  fakeError = -1;
  timerReset(&t);  // moves nothing
  EXPECT_EQ(moves, "mmmmm");
  nk::setExpiryMovedHook(nullptr);
  EXPECT_EQ(timerMsToTimespec(4294967295u, &add), 295000000);  // unsigned all the way
  EXPECT_EQ(add.tv_sec, 4294967);
}

}  // namespace
