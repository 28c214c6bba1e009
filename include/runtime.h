/* runtime.h -- runtime services for a process built around one main loop:
 * flag-based condition waits, callbacks that any thread wakes and the main
 * loop runs, and per-thread time accounting in named profiles with its
 * statistics reply.
 *
 * Threads: runtimeWakeup, the condition waits, runtimeSwitch, runtimeTiming
 * and the statistics calls may be called from any thread; runtimeSleep and
 * runtimeExecCallbacks belong to the main loop's thread, which runs every
 * callback. Locks: runtimeLock (a mutex, after netLock and a bus client's lock
 * and before the allocator's and the lists' locks) guards the queue of woken
 * callbacks and the creation and deletion of profiles; runtimeSwitch takes
 * only a short lock of the calling thread's own. Callbacks run with no runtime
 * lock held. Misuse (a null profile where one is needed, deleting a profile
 * that is not a callback) stops the process by assertion. */
#ifndef NK_RUNTIME_H
#define NK_RUNTIME_H

#include <pthread.h>
#include <stdint.h>

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A named profile: the unit of time accounting, and a callback when made by
 * runtimeNewCallback. Only the runtime module touches its fields. */
typedef struct RuntimeProfile RuntimeProfile;

/* A callback run on the main loop's thread; its result is added to the
 * profile's events counter. */
typedef int (*RuntimeCallback)(void *arg);

/* Locks mutex and waits on cond until *flag is nonzero, then unlocks;
 * returns 0. The flag is set by the waking side under the same mutex, which
 * then broadcasts cond; this call never changes it. Blocks without limit.
 * Stops the process should the condition wait itself fail. */
NK_API int runtimeCondWait(pthread_mutex_t *mutex, pthread_cond_t *cond, uint32_t *flag);
/* As runtimeCondWait, for at most usec microseconds of the wall clock (read
 * through the timer module's time source). 0 if the flag is nonzero at the
 * end, -1 if it is still zero: after the time limit, when the wall clock
 * cannot be read (logged, no wait), or when the condition wait fails (logged,
 * no retry). A flag already set returns 0 without waiting. */
NK_API int runtimeTimedCondWait(pthread_mutex_t *mutex, pthread_cond_t *cond, uint32_t *flag,
                                int usec);

/* A new profile named by a copy of name, reported as belonging to thread.
 * It lives for the life of the process. Takes runtimeLock. */
NK_API RuntimeProfile *runtimeNewProfile(const char *name, pthread_t thread);
/* A new callback profile of the calling thread: runtimeWakeup queues it and
 * runtimeExecCallbacks runs callback(arg). Takes runtimeLock. */
NK_API RuntimeProfile *runtimeNewCallback(const char *name, RuntimeCallback callback, void *arg);
/* Unlinks and frees a callback profile, dropping a pending wake-up and every
 * thread's reference to it as current profile (the time since it became
 * current is then charged nowhere). It may be called from inside its own
 * callback. No other thread may wake, run or switch to it meanwhile. Takes
 * runtimeLock. */
NK_API void runtimeDeleteCallback(RuntimeProfile *profile);

/* Fixes the reported wake-up count at value: the profile's counters are no
 * longer rolled over. */
NK_API void runtimeStatSet(RuntimeProfile *profile, int value);
/* Adds value to the current wake-up count. */
NK_API void runtimeStatAdd(RuntimeProfile *profile, int value);

/* Makes profile (or none, when null) the calling thread's current profile,
 * charging the time since the last switch (at most 9999999 us) to the profile
 * that was current. Allocates once per thread; takes only the thread's own
 * short lock. */
NK_API void runtimeSwitch(RuntimeProfile *profile);
/* Switches to the first profile named name, made first if there is none:
 * one profile per name for all threads. Takes runtimeLock for the lookup. */
NK_API void runtimeTiming(const char *name);
/* Feeds value into the profile's time-weighted load: at elapsed >= 10 s the
 * load becomes value, shorter intervals weigh it by elapsed / 10 s. */
NK_API void runtimeLoadAverage(RuntimeProfile *profile, int value, int elapsed);

/* Counts a wake-up of a callback profile and queues it once for
 * runtimeExecCallbacks, then wakes runtimeSleep; null only wakes. A profile
 * that has no callback is refused (logged, neither counted nor queued).
 * Any thread; takes runtimeLock. */
NK_API void runtimeWakeup(RuntimeProfile *profile);
/* Sleeps, charged to the profile "sleep", until a callback is pending or
 * usec microseconds have passed; returns at once when one is already
 * pending. Rolls the statistics over every 10 seconds. Main loop only. */
NK_API void runtimeSleep(int usec);
/* Runs the woken callbacks one at a time, first woken first, until none is
 * pending (a callback woken again meanwhile runs again). Main loop only. */
NK_API void runtimeExecCallbacks(void);
/* Switches to the callback profile and runs its callback once. */
NK_API void runtimeExecute(RuntimeProfile *profile);

/* One profile per call, written into the string handle as
 * "index=%d,name=%s,thread=%d,count=%d,exec=%d,events=%d,load=%d,min=%d,max=%d"
 * (index + 1; the thread's kernel id; the last period's counters, load being
 * its time in milliseconds; min and max in microseconds), result 1; 0 and the
 * empty text when every profile has been listed. Index 0 restarts the
 * listing. Takes runtimeLock. */
NK_API int runtimeStatsQuery(int index, int string);

#ifdef __cplusplus
}
#endif

#endif /* NK_RUNTIME_H */
