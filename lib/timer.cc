// timer -- the Timer record's clock and stopwatch operations, and the named
// timers built on them.
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
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <type_traits>

#include "event.h"
#include "list.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"
#include "runtime.h"

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

// {==== Named timers
//
// Every armed timer is on timerList, in the order of its first arming; scans
// are linear and unsorted. The list and everything on it belong to the main
// loop's thread: only single list operations take the list's mutex.

static_assert(offsetof(Timer, node) == 0, "a Timer is listed through its first field");

namespace {

List timerList;  // made ready on first use

// The timer whose callback timerTick is running, or null. Stopping it
// unlists it at once but leaves the record to timerTick, which reads it again
// when the callback returns.
Timer *firing;

Timer *findTimer(const char *name) {
  for (ListNode *n = listHead(&timerList); n; n = listNext(&timerList, n)) {
    Timer *timer = reinterpret_cast<Timer *>(n);
    if (strcmp(timer->name, name) == 0) return timer;
  }
  return nullptr;
}

void freeTimer(Timer *timer) {
  stringFreePtr(timer->name);
  if (timer->param) stringFreePtr(timer->param);
  memFreePtr(timer);
}

// Moves the expiry on by one interval. The microseconds may exceed a second:
// their whole seconds join the interval's, the rest is carried through the
// nanoseconds.
void setNextExpiry(Timer *timer) {
  int32_t x = add32(s32(timer->expiry.tv_nsec), mul32(timer->intervalUsec % 1000000, 1000));
  addSeconds(&timer->expiry,
             add32(add32(timer->intervalSec, timer->intervalUsec / 1000000), x / 1000000000));
  timer->expiry.tv_nsec = x % 1000000000;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s exp is %d,%09d\n", "setNextExpiry",
         static_cast<int>(s32(timer->expiry.tv_sec)), static_cast<int>(timer->expiry.tv_nsec));
}

// The first multiple of the interval strictly after the reading held in the
// expiry, the seconds and the sub-second part each snapped on their own. A
// zero second part keeps the reading's seconds; a nanosecond product of zero
// or below (one that wrapped in 32 bits) is not snapped but taken as the new
// sub-second part, its whole seconds carried.
void snapExpiry(Timer *timer) {
  int32_t nowSec = s32(timer->expiry.tv_sec);
  int32_t n = mul32(timer->intervalUsec, 1000);
  if (n > 0) n = mul32(s32(timer->expiry.tv_nsec) / n + 1, n);
  int32_t s = nowSec;
  if (timer->intervalSec > 0) s = mul32(nowSec / timer->intervalSec + 1, timer->intervalSec);
  addSeconds(&timer->expiry, sub32(add32(s, n / 1000000000), nowSec));
  timer->expiry.tv_nsec = n % 1000000000;
}

}  // namespace

// When the clock cannot be read the timer stays listed as far as it was set:
// new options and callback or param, but the expiry and interval of before
// (zero for a new timer).
Timer *timerArm(const char *name, TimerCallback callback, void *arg, uint32_t options,
                int32_t intervalSec, int32_t intervalUsec) {
  NK_ASSERT(name != nullptr);
  listCheckInit(&timerList);
  Timer *timer = findTimer(name);
  if (!timer) {
    timer = static_cast<Timer *>(memAllocPtr(sizeof(Timer)));
    listAdd(&timerList, &timer->node);
    timer->name = stringDupPtr(name);
  }
  if (callback) {
    timer->callback = callback;
    timer->callbackArg = arg;
  } else {
    if (timer->param) {
      stringFreePtr(timer->param);
      timer->param = nullptr;
    }
    if (arg) timer->param = stringDupPtr(static_cast<const char *>(arg));
  }
  timer->options = options;
  if (timerReset(timer) != 0) return nullptr;
  timer->intervalSec = intervalSec;
  timer->intervalUsec = intervalUsec;
  if (options & TIMER_SNAP) {
    snapExpiry(timer);
  } else {
    setNextExpiry(timer);
  }
  return timer;
}

Timer *timerEvent(const char *name, const char *param, int32_t intervalSec, int32_t intervalUsec) {
  return timerArm(name, nullptr, const_cast<char *>(param), 0, intervalSec, intervalUsec);
}

Timer *timerPeriodicEvent(const char *name, const char *param, int32_t intervalSec,
                          int32_t intervalUsec) {
  return timerArm(name, nullptr, const_cast<char *>(param), TIMER_PERIODIC, intervalSec,
                  intervalUsec);
}

Timer *timerPeriodicSnapEvent(const char *name, const char *param, int32_t intervalSec,
                              int32_t intervalUsec) {
  return timerArm(name, nullptr, const_cast<char *>(param),
                  TIMER_PERIODIC | TIMER_SNAP | TIMER_REAL, intervalSec, intervalUsec);
}

Timer *timerCallback(const char *name, TimerCallback callback, void *arg, int32_t intervalSec,
                     int32_t intervalUsec) {
  return timerArm(name, callback, arg, 0, intervalSec, intervalUsec);
}

Timer *timerPeriodicCallback(const char *name, TimerCallback callback, void *arg,
                             int32_t intervalSec, int32_t intervalUsec) {
  return timerArm(name, callback, arg, TIMER_PERIODIC, intervalSec, intervalUsec);
}

Timer *timerPeriodicSnapCallback(const char *name, TimerCallback callback, void *arg,
                                 int32_t intervalSec, int32_t intervalUsec) {
  return timerArm(name, callback, arg, TIMER_PERIODIC | TIMER_SNAP | TIMER_REAL, intervalSec,
                  intervalUsec);
}

// The list asserts that the timer is listed. A timer stopped while its own
// callback runs is only unlisted here: timerTick reads it again when the
// callback returns, and frees it then. Any other timer is freed at once.
void timerStop(Timer *timer) {
  NK_ASSERT(timer != nullptr);
  listRemove(&timerList, &timer->node);
  if (timer != firing) freeTimer(timer);
}

void timerStopByName(const char *name) {
  NK_ASSERT(name != nullptr);
  Timer *timer = findTimer(name);
  if (!timer) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "Can't find timer %s to stop\n", name);
    return;
  }
  timerStop(timer);
}

// A one-shot timer that fired is freed and the scan starts again at the
// head, so the timers before it are examined, and counted, once more. A
// periodic one moves on by one interval from its previous expiry, not from
// now: one that has fallen behind fires at each examination until it has
// caught up.
//
// A callback may stop any timer, its own included. Its own is then unlisted
// but not yet freed (see timerStop): when the callback returns, the scan
// frees it and starts again at the head without counting it, as for a fired
// one-shot timer. Any other timer a callback stops is freed at once; that is
// safe because after the callback the scan reads only its own timer's links,
// and only while that timer is still listed, so the next timer it moves to is
// a listed one. A callback that re-arms its own timer changes the options
// and expiry that are read here afterwards.
int timerTick(void) {
  ListNode *n = listHead(&timerList);
  int count = 0;
  while (n) {
    Timer *timer = reinterpret_cast<Timer *>(n);
    if (timerExpired(timer) != 0) {
      const char *param = timer->param ? timer->param : "(null)";
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s p=%s\n", "timerTick", param);
      if (timer->callback) {
        runtimeTiming(timer->name);
        firing = timer;
        timer->callback(timer->callbackArg);
        firing = nullptr;
        if (!listIsMember(&timer->node)) {  // stopped by its callback
          freeTimer(timer);
          n = listHead(&timerList);
          continue;
        }
      } else {
        NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s p=%s\n", "timerTick", param);
        eventPost(timer->name, timer->param ? timer->param : "", 0);
      }
      if (!(timer->options & TIMER_PERIODIC)) {
        listRemove(&timerList, &timer->node);
        freeTimer(timer);
        n = listHead(&timerList);
        continue;
      }
      setNextExpiry(timer);
    }
    count++;
    n = listNext(&timerList, n);
  }
  return count;
}

// A timer whose clock cannot be read counts as due in 1 us (its elapsed time
// reads as -1).
int timerGetNextExpiry(int limit) {
  int best = limit;
  for (ListNode *n = listHead(&timerList); n; n = listNext(&timerList, n)) {
    Timer *timer = reinterpret_cast<Timer *>(n);
    int remaining = timerExpiresMicroSec(timer);
    if (remaining <= 0) return 0;
    if (remaining < best) {
      best = remaining;
      NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s %s expires in %d\n", "timerGetNextExpiry", timer->name,
             remaining);
    }
  }
  return best;
}

// The listing marks the timers it has returned; the index only restarts it
// (0) and numbers the reply.
int timerStatsQuery(int index, int string) {
  if (index == 0) {
    for (ListNode *n = listHead(&timerList); n; n = listNext(&timerList, n)) {
      reinterpret_cast<Timer *>(n)->reported = 0;
    }
  }
  Timer *timer = nullptr;
  for (ListNode *n = listHead(&timerList); n && !timer; n = listNext(&timerList, n)) {
    if (!reinterpret_cast<Timer *>(n)->reported) timer = reinterpret_cast<Timer *>(n);
  }
  if (!timer) {
    stringCopy(string, "");
    return 0;
  }
  timer->reported = 1;
  int seconds = timerExpiresSec(timer);
  int microseconds = timerExpiresMicroSec(timer) % 1000000;
  stringPrintf(
      string,
      "index=%d,timer=%s,expiry-sec=%d,expiry-usec=%d,interval-sec=%d,"
      "interval-usec=%d,options=%s%s%s",
      add32(index, 1), timer->name, seconds, microseconds, static_cast<int>(timer->intervalSec),
      static_cast<int>(timer->intervalUsec), (timer->options & TIMER_PERIODIC) ? "PER " : "",
      (timer->options & TIMER_SNAP) ? "SNAP " : "", (timer->options & TIMER_REAL) ? "REAL" : "");
  return 1;
}

// }====
