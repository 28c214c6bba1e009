// timer -- the Timer record's clock and stopwatch operations.
//
// Every reading goes through one replaceable time source, so that tests and
// simulations can drive time. The arithmetic is that of 32-bit seconds and
// nanoseconds on every build: a field of a 64-bit timespec takes part through
// its low 32 bits (signed), results are signed 32-bit counts that wrap rather
// than overflow, and divisions truncate toward zero. Added seconds are carried
// into the full width of the stored field, so a deadline built on a 64-bit
// build stays a valid timespec for the system calls; its low 32 bits are those
// a 32-bit build would hold.
#define NK_MODULE "timer"
#define NK_LOGMASK LOGMASK_RUNTIME
#include "timer.h"

#include <errno.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <type_traits>

#include "nkassert_internal.h"
#include "nksyslog.h"

namespace {

// Set before any record is used; atomic all the same, since threads that read
// stopwatches may already run when a test replaces it.
std::atomic<TimerGetTimeFunc> timeSource{clock_gettime};

// 32-bit signed arithmetic that wraps: the unsigned operation, read back as
// signed (two's complement on every target we build for).
inline int32_t s32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
inline int32_t add32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t sub32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t mul32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Adds a 32-bit count of seconds to a timespec's seconds field, wrapping at
// the field's own width.
inline void addSeconds(struct timespec *ts, int32_t seconds) {
  using Unsigned = std::make_unsigned<time_t>::type;
  ts->tv_sec = static_cast<time_t>(static_cast<Unsigned>(ts->tv_sec) +
                                   static_cast<Unsigned>(static_cast<time_t>(seconds)));
}

// Reads the clock that the timer's options choose: the wall clock for
// TIMER_REAL, otherwise the raw monotonic clock. 0, or the source's errno
// (EINVAL should a failing source leave errno at 0, so that a failure never
// reads as success).
int timerGetTime(const Timer *timer, struct timespec *now) {
  clockid_t clock = (timer->options & TIMER_REAL) ? CLOCK_REALTIME : CLOCK_MONOTONIC_RAW;
  errno = 0;
  if (timeSource.load(std::memory_order_acquire)(clock, now) == 0) return 0;
  return errno ? errno : EINVAL;
}

// now minus the timer's expiry, as 32-bit seconds and nanoseconds; false when
// the clock cannot be read.
bool difference(Timer *timer, int32_t *seconds, int32_t *nanoseconds) {
  NK_ASSERT(timer != nullptr);
  struct timespec now;
  if (timerGetTime(timer, &now) != 0) return false;
  *seconds = sub32(s32(now.tv_sec), s32(timer->expiry.tv_sec));
  *nanoseconds = sub32(s32(now.tv_nsec), s32(timer->expiry.tv_nsec));
  return true;
}

}  // namespace

static_assert(CLOCK_REALTIME == 0, "the wall clock is clock id 0");
static_assert(CLOCK_MONOTONIC_RAW == 4, "the raw monotonic clock is clock id 4");

// A null func puts the system's clock_gettime back.
void timerSetGetTimeFunc(TimerGetTimeFunc func) {
  timeSource.store(func ? func : clock_gettime, std::memory_order_release);
}

// An expiry equal to the reading is not yet expired.
int timerExpired(Timer *timer) {
  NK_ASSERT(timer != nullptr);
  struct timespec now;
  if (timerGetTime(timer, &now) != 0) return -1;
  int32_t nowSec = s32(now.tv_sec), expirySec = s32(timer->expiry.tv_sec);
  if (nowSec > expirySec) return 1;
  if (nowSec < expirySec) return 0;
  return s32(now.tv_nsec) > s32(timer->expiry.tv_nsec) ? 1 : 0;
}

int timerReset(Timer *timer) {
  NK_ASSERT(timer != nullptr);
  struct timespec now;
  int error = timerGetTime(timer, &now);
  if (error) return error;
  timer->expiry = now;
  return 0;
}

// The seconds are reduced to their remainder by 2000 (sign of the difference)
// before scaling: 1999 s and 999,999 us still fit 31 bits. Older differences
// wrap.
int timerElapsedMicroSec(Timer *timer) {
  int32_t seconds, nanoseconds;
  if (!difference(timer, &seconds, &nanoseconds)) return -1;
  return add32(mul32(seconds % 2000, 1000000), nanoseconds / 1000);
}

int timerElapsedMilliSec(Timer *timer) {
  int32_t seconds, nanoseconds;
  if (!difference(timer, &seconds, &nanoseconds)) return -1;
  return add32(mul32(seconds, 1000), nanoseconds / 1000000);
}

// The nanosecond term is always 0 for fields within range.
int timerElapsedSec(Timer *timer) {
  int32_t seconds, nanoseconds;
  if (!difference(timer, &seconds, &nanoseconds)) return -1;
  return add32(seconds, nanoseconds / 1000000000);
}

int timerExpiresMicroSec(Timer *timer) { return sub32(0, timerElapsedMicroSec(timer)); }

int timerExpiresMilliSec(Timer *timer) { return sub32(0, timerElapsedMilliSec(timer)); }

int timerExpiresSec(Timer *timer) { return sub32(0, timerElapsedSec(timer)); }

void timerAddSec(Timer *timer, int seconds) {
  NK_ASSERT(timer != nullptr);
  addSeconds(&timer->expiry, seconds);
}

// A negative count whose sub-second part outweighs the expiry's nanoseconds
// leaves the nanoseconds negative: the sum is not normalised downward.
void timerAddMicroSec(Timer *timer, int microseconds) {
  NK_ASSERT(timer != nullptr);
  int32_t x = add32(s32(timer->expiry.tv_nsec), mul32(microseconds % 1000000, 1000));
  addSeconds(&timer->expiry, add32(microseconds / 1000000, x / 1000000000));
  timer->expiry.tv_nsec = x % 1000000000;
}

void timerAddInterval(Timer *timer, const struct timespec *interval) {
  NK_ASSERT(timer != nullptr && interval != nullptr);
  addSeconds(&timer->expiry, s32(interval->tv_sec));
  int32_t nanoseconds = add32(s32(timer->expiry.tv_nsec), s32(interval->tv_nsec));
  if (nanoseconds > 999999999) {
    addSeconds(&timer->expiry, 1);
    nanoseconds -= 1000000000;
  }
  timer->expiry.tv_nsec = nanoseconds;
}

long timerMsToTimespec(uint32_t ms, struct timespec *ts) {
  NK_ASSERT(ts != nullptr);
  ts->tv_sec = static_cast<time_t>(ms / 1000u);
  ts->tv_nsec = static_cast<long>((ms % 1000u) * 1000000u);
  return ts->tv_nsec;
}
