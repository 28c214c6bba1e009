// clock_internal.h -- what the named timers share with the clock and
// stopwatch operations: the 32-bit arithmetic of the expiries, the clock
// read through the replaceable time source, and the hook by which the
// stopwatch operations tell the named timers that a listed timer's expiry
// moved (the clock sits below the timers and does not call into them).
#ifndef NK_CLOCK_INTERNAL_H
#define NK_CLOCK_INTERNAL_H

#include <stdint.h>
#include <time.h>

#include <type_traits>

#include "timer.h"

namespace nk {

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

// now minus an expiry in microseconds, from the differences of their fields:
// the seconds are reduced to their remainder by 2000 (sign of the
// difference) before scaling, so that 1999 s and 999,999 us still fit 31
// bits. Older differences wrap.
inline int32_t elapsedMicroseconds(int32_t seconds, int32_t nanoseconds) {
  return add32(mul32(seconds % 2000, 1000000), nanoseconds / 1000);
}

// Reads the clock that the timer's options choose: the wall clock for
// TIMER_REAL, otherwise the raw monotonic clock. 0, or the source's errno
// (EINVAL should a failing source leave errno at 0, so that a failure never
// reads as success).
int clockRead(const Timer *timer, struct timespec *now);

// Reads the clock for the timer's options into its expiry: 0, or errno
// (the expiry unchanged).
int readExpiry(Timer *timer);

// Called by the stopwatch operations that move an expiry (timerReset,
// timerAddSec, timerAddMicroSec, timerAddInterval) with the timer whose
// expiry moved, once the named timers have set it: a named timer's place in
// their index follows its expiry.
void setExpiryMovedHook(void (*hook)(Timer *timer));

}  // namespace nk

#endif  // NK_CLOCK_INTERNAL_H
