/* timer.h -- the Timer record, its clock and stopwatch operations, and named
 * timers that post an event or call a function.
 *
 * Clock and stopwatch: a Timer's expiry is a POSIX timespec on the clock its
 * options choose (TIMER_REAL: the wall clock; otherwise the raw monotonic
 * clock), read through one replaceable time source. A zero-filled Timer
 * embedded in another record is a stopwatch on the raw monotonic clock. These
 * operations neither allocate, log nor lock: a record belongs to one thread.
 * Arithmetic is 32-bit signed with truncating divisions on every build.
 *
 * Named timers: one process-wide list of armed timers in the order they were
 * first created, which decides the order of firing and of the listing. An
 * index beside it, on the system heap, finds a timer by name, the next due
 * timer in list order and the place where a listing goes on, so that arming,
 * firing and each listed row cost O(log n) or less. The owner's main loop asks
 * timerGetNextExpiry how long it may sleep and calls timerTick to fire what
 * is due; an event timer posts the event named like it (event.h, so
 * eventInit must have run), a callback timer calls its function. They belong
 * to the thread that runs the main loop and take no lock beyond the list's
 * own mutex around single list operations. A listed timer's expiry and
 * options change only through this module (arming, firing, and the stopwatch
 * operations below, which keep the index current when given a listed timer). */
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
  uint32_t reported;      /* 0: timerStatsQuery remembers its place itself */
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
/* Sets the expiry to now; 0, or errno when the clock cannot be read. This
 * and the additions below may be used on a listed named timer too: it then
 * fires by its new expiry. */
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

/* Extension: the monotonic clock of the stopwatches (the time source's
 * CLOCK_MONOTONIC_RAW) in microseconds, as a 64-bit count from an arbitrary
 * start; -1 when it cannot be read. For programs that measure intervals
 * longer than the 32-bit counts above carry, on the clock tests can drive. */
NK_API int64_t timerMonotonicMicroSec(void);

/* {==== Named timers */

/* Arms the timer called name (asserted given): the first with that name in
 * the list, or a new one appended to it. A callback timer (callback given)
 * gets callback and arg; an event timer gets a copy of the text arg (or
 * none) as its param, in place of the old one. Each keeps the other kind's
 * field of an earlier arming. Sets options, the interval, and the expiry: now plus the interval,
 * or with TIMER_SNAP the next whole multiple of the interval on the clock,
 * seconds and sub-second part snapped each on its own. Returns the timer, or
 * null when the clock cannot be read (the timer stays listed). */
NK_API Timer *timerArm(const char *name, TimerCallback callback, void *arg, uint32_t options,
                       int32_t intervalSec, int32_t intervalUsec);
/* timerArm for an event timer: one-shot, TIMER_PERIODIC, and
 * TIMER_PERIODIC | TIMER_SNAP | TIMER_REAL. */
NK_API Timer *timerEvent(const char *name, const char *param, int32_t intervalSec,
                         int32_t intervalUsec);
NK_API Timer *timerPeriodicEvent(const char *name, const char *param, int32_t intervalSec,
                                 int32_t intervalUsec);
NK_API Timer *timerPeriodicSnapEvent(const char *name, const char *param, int32_t intervalSec,
                                     int32_t intervalUsec);
/* The same for a callback timer. */
NK_API Timer *timerCallback(const char *name, TimerCallback callback, void *arg,
                            int32_t intervalSec, int32_t intervalUsec);
NK_API Timer *timerPeriodicCallback(const char *name, TimerCallback callback, void *arg,
                                    int32_t intervalSec, int32_t intervalUsec);
NK_API Timer *timerPeriodicSnapCallback(const char *name, TimerCallback callback, void *arg,
                                        int32_t intervalSec, int32_t intervalUsec);

/* Removes a listed timer (asserted) and frees it. Safe from inside a timer's
 * callback, its own included: the firing timer is freed when its callback
 * returns. */
NK_API void timerStop(Timer *timer);
/* Stops the first timer called name (asserted given); an unknown name is
 * logged at priority 4. */
NK_API void timerStopByName(const char *name);

/* Fires every due timer in list order: callbacks are called (charged to the
 * profile named like the timer), events posted without blocking. A one-shot
 * timer is then freed and the scan starts again at the head; a periodic one
 * moves on by exactly one interval, so that missed periods are caught up one
 * per examination. A clock failure counts as due. Returns the number of
 * examinations after which the examined timer was still listed. */
NK_API int timerTick(void);
/* Microseconds until the earliest expiry, at most limit; 0 when a timer is
 * due or less than a microsecond from it. A timer whose clock cannot be read
 * counts as 1 us away. */
NK_API int timerGetNextExpiry(int limit);
/* Writes one timer's statistics into the string handle,
 * "index=%d,timer=%s,expiry-sec=%d,expiry-usec=%d,interval-sec=%d,
 * interval-usec=%d,options=%s%s%s", and returns 1; 0 and the empty text when
 * every timer has been listed. Index 0 starts a new listing. */
NK_API int timerStatsQuery(int index, int string);

/* }==== */

#ifdef __cplusplus
}
#endif

#endif /* NK_TIMER_H */
