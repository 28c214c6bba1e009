// clock -- the Timer record's clock and stopwatch operations.
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

#include "clock_internal.h"
#include "nkassert_internal.h"
#include "nksyslog.h"

using nk::add32;
using nk::addSeconds;
using nk::elapsedMicroseconds;
using nk::mul32;
using nk::s32;
using nk::sub32;

namespace {

// Set before any record is used; atomic all the same, since threads that read
// stopwatches may already run when a test replaces it.
std::atomic<TimerGetTimeFunc> timeSource{clock_gettime};

// The named timers' hook (clock_internal.h); null until they set it. Atomic:
// threads keep stopwatches of their own while the main loop arms timers.
std::atomic<void (*)(Timer *)> expiryMovedHook{nullptr};

void moved(Timer *timer) {
  if (auto hook = expiryMovedHook.load(std::memory_order_acquire)) hook(timer);
}

// now minus the timer's expiry, as 32-bit seconds and nanoseconds; false when
// the clock cannot be read.
bool difference(Timer *timer, int32_t *seconds, int32_t *nanoseconds) {
  NK_ASSERT(timer != nullptr);
  struct timespec now;
  if (nk::clockRead(timer, &now) != 0) return false;
  *seconds = sub32(s32(now.tv_sec), s32(timer->expiry.tv_sec));
  *nanoseconds = sub32(s32(now.tv_nsec), s32(timer->expiry.tv_nsec));
  return true;
}

}  // namespace

int nk::clockRead(const Timer *timer, struct timespec *now) {
  clockid_t clock = (timer->options & TIMER_REAL) ? CLOCK_REALTIME : CLOCK_MONOTONIC_RAW;
  errno = 0;
  if (timeSource.load(std::memory_order_acquire)(clock, now) == 0) return 0;
  return errno ? errno : EINVAL;
}

int nk::readExpiry(Timer *timer) {
  struct timespec now;
  int error = clockRead(timer, &now);
  if (error) return error;
  timer->expiry = now;
  return 0;
}

void nk::setExpiryMovedHook(void (*hook)(Timer *timer)) {
  expiryMovedHook.store(hook, std::memory_order_release);
}

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
  if (nk::clockRead(timer, &now) != 0) return -1;
  int32_t nowSec = s32(now.tv_sec), expirySec = s32(timer->expiry.tv_sec);
  if (nowSec > expirySec) return 1;
  if (nowSec < expirySec) return 0;
  return s32(now.tv_nsec) > s32(timer->expiry.tv_nsec) ? 1 : 0;
}

int64_t timerMonotonicMicroSec(void) {
  Timer clock{};
  struct timespec now;
  if (nk::clockRead(&clock, &now) != 0) return -1;
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int timerReset(Timer *timer) {
  NK_ASSERT(timer != nullptr);
  int error = nk::readExpiry(timer);
  if (!error) moved(timer);
  return error;
}

int timerElapsedMicroSec(Timer *timer) {
  int32_t seconds, nanoseconds;
  if (!difference(timer, &seconds, &nanoseconds)) return -1;
  return elapsedMicroseconds(seconds, nanoseconds);
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
  moved(timer);
}

// A negative count whose sub-second part outweighs the expiry's nanoseconds
// leaves the nanoseconds negative: the sum is not normalised downward.
void timerAddMicroSec(Timer *timer, int microseconds) {
  NK_ASSERT(timer != nullptr);
  int32_t x = add32(s32(timer->expiry.tv_nsec), mul32(microseconds % 1000000, 1000));
  addSeconds(&timer->expiry, add32(microseconds / 1000000, x / 1000000000));
  timer->expiry.tv_nsec = x % 1000000000;
  moved(timer);
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
  moved(timer);
}

long timerMsToTimespec(uint32_t ms, struct timespec *ts) {
  NK_ASSERT(ts != nullptr);
  ts->tv_sec = static_cast<time_t>(ms / 1000u);
  ts->tv_nsec = static_cast<long>((ms % 1000u) * 1000000u);
  return ts->tv_nsec;
}
