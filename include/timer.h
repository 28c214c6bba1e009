/* timer.h -- the Timer record, its clock and stopwatch operations, and (with
 * the event system) named timers.
 *
 * Clock and stopwatch: a Timer's expiry is a POSIX timespec on the clock its
 * options choose (TIMER_REAL: the wall clock; otherwise the raw monotonic
 * clock), read through one replaceable time source. A zero-filled Timer
 * embedded in another record is a stopwatch on the raw monotonic clock. These
 * operations neither allocate, log nor lock: a record belongs to one thread.
 * Arithmetic is 32-bit signed with truncating divisions on every build. */
#ifndef NK_TIMER_H
#define NK_TIMER_H

#include <stdint.h>
#include <time.h>

#include "list.h"
#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Timer options. */
#define TIMER_PERIODIC 1 /* restarts after each expiry */
#define TIMER_SNAP 2     /* expiries snap to multiples of the interval */
#define TIMER_REAL 4     /* on the wall clock instead of the raw monotonic one */

typedef void (*TimerCallback)(void *arg);

/* A named timer or a stopwatch. */
typedef struct Timer {
  ListNode node;          /* links a named timer into the timer list */
  struct timespec expiry; /* next expiry; a stopwatch's start */
  char *name;             /* owned: the timer's key and event name */
  char *param;            /* owned or null: parameter posted with the event */
  TimerCallback callback; /* null for an event timer */
  void *callbackArg;      /* passed to callback */
  uint32_t reported;      /* already listed by the current statistics listing */
  uint32_t options;       /* TIMER_PERIODIC | TIMER_SNAP | TIMER_REAL */
  int32_t intervalSec;    /* interval, whole seconds */
  int32_t intervalUsec;   /* interval, microseconds (may exceed 999999) */
} Timer;

/* The time source: the signature of clock_gettime. */
typedef int (*TimerGetTimeFunc)(clockid_t clock, struct timespec *ts);

/* Replaces the time source (the system's clock_gettime by default; a null
 * func puts that back); set it before any record is used. */
NK_API void timerSetGetTimeFunc(TimerGetTimeFunc func);

/* 1 if the expiry lies strictly before the clock reading, 0 if not, -1 if the
 * clock cannot be read. */
NK_API int timerExpired(Timer *timer);
/* Sets the expiry to now; 0, or errno when the clock cannot be read. */
NK_API int timerReset(Timer *timer);

/* Now minus the expiry; -1 when the clock cannot be read. The microsecond
 * count reduces the seconds to their remainder by 2000 first, so that it
 * stays within 32 bits. */
NK_API int timerElapsedMicroSec(Timer *timer);
NK_API int timerElapsedMilliSec(Timer *timer);
NK_API int timerElapsedSec(Timer *timer);
/* Time left until the expiry: the negated elapsed values. */
NK_API int timerExpiresMicroSec(Timer *timer);
NK_API int timerExpiresMilliSec(Timer *timer);
NK_API int timerExpiresSec(Timer *timer);

NK_API void timerAddSec(Timer *timer, int seconds);
/* Adds whole seconds and the remainder in nanoseconds, carrying upward; a
 * negative count can leave the nanoseconds negative. */
NK_API void timerAddMicroSec(Timer *timer, int microseconds);
/* Adds both fields, then carries one second if the nanoseconds passed
 * 999,999,999. */
NK_API void timerAddInterval(Timer *timer, const struct timespec *interval);
/* Fills ts from milliseconds; returns its nanoseconds. */
NK_API long timerMsToTimespec(uint32_t ms, struct timespec *ts);

#ifdef __cplusplus
}
#endif

#endif /* NK_TIMER_H */
