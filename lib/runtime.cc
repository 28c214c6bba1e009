// runtime -- condition waits on a flag, callbacks woken from any thread and
// run by the main loop, and per-thread time accounting in named profiles.
//
// DESIGN
// Every thread that ever switched profiles has a RuntimeThread on threadList
// (never freed), found through a thread-local pointer: its current profile
// and the stopwatch started when that profile became current. A profile is on
// profileList from creation to deletion and, while a wake-up of it waits to
// run, on pendingList through its second link; pendingCount is pendingList's
// length and is the flag that runtimeSleep waits on.
//
// runtimeLock (rank kRankRuntime) guards pendingList, pendingCount, the
// pending flags and the membership of profileList, with the two things kept
// beside the list so that neither a lookup by name nor a row of the listing
// walks it: profileByName, on the system heap (the memory statistics count
// the profiles and nothing else), maps each name to the first profile of
// that name in list order; and listing is the place of the listing's
// last row. Every walk of profileList (the roll-over, the deletion of a
// profile that profileByName names) and the listing hold it too, so that a
// deletion never frees a profile under a walk. A RuntimeThread's current
// profile and stopwatch are guarded by its own short lock: its thread takes it
// on every switch, runtimeDeleteCallback takes it to clear references to the
// profile it frees. That lock is a leaf (nothing is locked while it is held
// but the logger), so it is not ranked. The counters are relaxed atomics:
// the thread running a profile, wake-ups and runtimeStatAdd from other
// threads, and the statistics query all touch them. sleepProfile and the
// statistics period belong to the main loop's thread.
#define NK_MODULE "runtime"
#define NK_LOGMASK LOGMASK_RUNTIME
#include "runtime.h"

#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "atomic_internal.h"
#include "list.h"
#include "list_cursor_internal.h"
#include "lock_internal.h"
#include "name_index_internal.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"
#include "timer.h"

struct RuntimeProfile {
  ListNode profileLink;      // in profileList; first in the record
  ListNode pendingLink;      // in pendingList while a wake-up waits to run
  RuntimeProfile *owner;     // the profile itself for a callback, else null
  Timer created;             // reset when made
  RuntimeCallback callback;  // null for a plain profile
  pthread_t thread;          // the thread the profile was made for
  void *callbackArg;
  char *name;                         // owned copy
  float load;                         // time-weighted smoothed value
  int32_t count, exec, events, time;  // the current period (time in us); relaxed atomics
  int32_t reportedCount, reportedExec, reportedEvents, reportedTime;  // the last period
  uint32_t pending;   // guarded by runtimeLock: on pendingList
  int32_t min;        // shortest interval current, us
  int32_t max;        // longest interval current, us
  uint32_t added;     // runtimeStatAdd was called
  uint32_t fixed;     // runtimeStatSet was called: no roll-over
  uint32_t reported;  // 0: the listing remembers its place itself (listing)
  int32_t tid;        // guarded by runtimeLock: kernel id of thread, 0 until known
};
static_assert(offsetof(RuntimeProfile, profileLink) == 0, "node first");

namespace {

constexpr int kMaxCharge = 9999999;     // us: the most one interval counts
constexpr int kStatsPeriod = 10000000;  // us between roll-overs
constexpr double kLoadWindow = 10000000.0;

struct RuntimeThread {
  ListNode link;            // in threadList
  pthread_t thread;         // set before the record is listed
  int32_t tid;              // kernel thread id (atomic: read by the statistics)
  uint32_t lock;            // short lock: current and since
  RuntimeProfile *current;  // or null
  Timer since;              // when current became current
};
static_assert(offsetof(RuntimeThread, link) == 0, "node first");

// One run of a callback on this thread, so that the callback may delete its
// own profile: the deletion marks the frame and the run stops touching it.
struct ExecFrame {
  RuntimeProfile *profile;
  bool deleted;
  ExecFrame *outer;
};

pthread_mutex_t runtimeLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t runtimeCond = PTHREAD_COND_INITIALIZER;
List profileList;
// The first profile of each name in profileList. A key views the profile's
// own copy of its name; when that profile is deleted, the next profile of the
// same name (if any) takes its place, under a key of its own copy.
nk::NameIndex<RuntimeProfile, &RuntimeProfile::name> profileByName;
// The place of the statistics listing. It stands for the reported marks of
// the profiles, which are left at 0.
nk::ListCursor listing;
List pendingList;
List threadList;
uint32_t pendingCount;  // guarded by runtimeLock
RuntimeProfile *sleepProfile;
Timer statsPeriod;
bool statsPeriodStarted;

thread_local RuntimeThread *self;
thread_local int32_t selfTid;
thread_local ExecFrame *execFrames;

using nk::addRelaxed;
using nk::loadRelaxed;
using nk::storeRelaxed;

inline int32_t takeRelaxed(int32_t *p) { return __atomic_exchange_n(p, 0, __ATOMIC_RELAXED); }

void storeMax(int32_t *p, int32_t v) {
  int32_t old = loadRelaxed(p);
  while (v > old &&
         !__atomic_compare_exchange_n(p, &old, v, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

void storeMin(int32_t *p, int32_t v) {
  int32_t old = loadRelaxed(p);
  while (v < old &&
         !__atomic_compare_exchange_n(p, &old, v, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

inline RuntimeProfile *profileOfPending(ListNode *node) {
  return reinterpret_cast<RuntimeProfile *>(reinterpret_cast<char *>(node) -
                                            offsetof(RuntimeProfile, pendingLink));
}

int32_t currentTid() {
  if (!selfTid) selfTid = static_cast<int32_t>(syscall(SYS_gettid));
  return selfTid;
}

// Profiles are reported by the kernel id of their thread (what ps -L and
// /proc/<pid>/task show), while identity is always decided by pthread_equal:
// a pthread_t is opaque and its printed value means nothing to an operator.
// The kernel id of another thread is known once that thread has switched
// profiles; until then it reads 0.
int32_t tidOf(pthread_t thread) {
  if (pthread_equal(thread, pthread_self())) return currentTid();
  for (ListNode *n = listHead(&threadList); n; n = listNext(&threadList, n)) {
    RuntimeThread *rt = reinterpret_cast<RuntimeThread *>(n);
    if (pthread_equal(rt->thread, thread)) return loadRelaxed(&rt->tid);
  }
  return 0;
}

// The calling thread's record, made on its first switch. A listed record with
// the caller's id belongs to a thread that has exited (a pthread_t is reused
// only then): the caller takes it over with no current profile, since the
// time since that thread's last switch is not the caller's.
RuntimeThread *attachThread() {
  pthread_t me = pthread_self();
  for (ListNode *n = listHead(&threadList); n; n = listNext(&threadList, n)) {
    RuntimeThread *rt = reinterpret_cast<RuntimeThread *>(n);
    if (pthread_equal(rt->thread, me)) {
      nk::shortLock(&rt->lock);
      rt->current = nullptr;
      nk::shortUnlock(&rt->lock);
      storeRelaxed(&rt->tid, currentTid());
      return rt;
    }
  }
  RuntimeThread *rt = static_cast<RuntimeThread *>(memAllocPtr(sizeof(RuntimeThread)));
  rt->thread = me;
  storeRelaxed(&rt->tid, currentTid());
  listAdd(&threadList, &rt->link);
  return rt;
}

void loadStep(RuntimeProfile *profile, int value, int elapsed) {
  double factor = (kLoadWindow - elapsed) / kLoadWindow;
  double load = value * (1 - factor) + factor * loadRelaxed(&profile->load);
  float stored = static_cast<float>(load);
  storeRelaxed(&profile->load, stored);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s factor is %.2f val is %d load=%.2f\n", "runtimeLoadAverage",
         factor, value, static_cast<double>(stored));
}

// A profile filled in but not yet listed.
RuntimeProfile *makeProfile(const char *name, pthread_t thread, RuntimeCallback callback,
                            void *arg) {
  NK_ASSERT(name != nullptr);
  RuntimeProfile *profile = static_cast<RuntimeProfile *>(memAllocPtr(sizeof(RuntimeProfile)));
  profile->name = stringDupPtr(name);
  profile->thread = thread;
  profile->tid = tidOf(thread);
  timerReset(&profile->created);
  if (callback) {
    profile->callback = callback;
    profile->callbackArg = arg;
    profile->min = 999999;
    profile->owner = profile;
  }
  return profile;
}

// REQUIRES: runtimeLock held.
void listProfile(RuntimeProfile *profile) {
  listCheckInit(&profileList);
  listAdd(&profileList, &profile->profileLink);
  if (!profileByName.find(profile->name)) profileByName.add(profile, 0);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s new profile %p\n", "runtimeNewProfile",
         static_cast<void *>(profile));
}

RuntimeProfile *newProfile(const char *name, pthread_t thread, RuntimeCallback callback,
                           void *arg) {
  RuntimeProfile *profile = makeProfile(name, thread, callback, arg);
  nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
  listProfile(profile);
  return profile;
}

// Copies every non-fixed profile's current counters into its reported ones
// and clears them.
void rollOver() {
  nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
  for (ListNode *n = listHead(&profileList); n; n = listNext(&profileList, n)) {
    RuntimeProfile *p = reinterpret_cast<RuntimeProfile *>(n);
    if (loadRelaxed(&p->fixed)) continue;
    storeRelaxed(&p->reportedCount, takeRelaxed(&p->count));
    storeRelaxed(&p->reportedExec, takeRelaxed(&p->exec));
    storeRelaxed(&p->reportedEvents, takeRelaxed(&p->events));
    storeRelaxed(&p->reportedTime, takeRelaxed(&p->time));
  }
}

}  // namespace

int runtimeCondWait(pthread_mutex_t *mutex, pthread_cond_t *cond, uint32_t *flag) {
  NK_ASSERT(mutex != nullptr && cond != nullptr && flag != nullptr);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s acquiring mutuex", "runtimeCondWait");
  pthread_mutex_lock(mutex);
  while (!*flag) {
    // A wait that fails would fail again at once: with no time limit to end
    // the loop, the only way out that does not spin is to stop.
    int error = pthread_cond_wait(cond, mutex);
    if (error) {
      nksyslog(NKLOG_ERR, NK_LOGMASK, "%s condition wait failed, error %d\n", "runtimeCondWait",
               error);
      NK_HALT();
    }
  }
  pthread_mutex_unlock(mutex);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s done", "runtimeCondWait");
  return 0;
}

int runtimeTimedCondWait(pthread_mutex_t *mutex, pthread_cond_t *cond, uint32_t *flag, int usec) {
  NK_ASSERT(mutex != nullptr && cond != nullptr && flag != nullptr);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s %d usec", "runtimeTimedCondWait", usec);
  Timer deadline{};
  deadline.options = TIMER_REAL;  // the clock the condition's deadline is on
  if (timerReset(&deadline) != 0) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s error getting real time clock\n",
             "runtimeTimedCondWait");
    return -1;
  }
  timerAddMicroSec(&deadline, usec);
  pthread_mutex_lock(mutex);
  while (!*flag) {
    int error = pthread_cond_timedwait(cond, mutex, &deadline.expiry);
    if (error == ETIMEDOUT) break;
    // Any other failure (a deadline with negative nanoseconds, made by a
    // negative usec, gives EINVAL) would repeat at once: end the wait as if
    // the time limit had passed, so that the loop cannot spin.
    if (error) {
      nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s condition wait failed, error %d\n",
               "runtimeTimedCondWait", error);
      break;
    }
  }
  uint32_t after = *flag;
  pthread_mutex_unlock(mutex);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s flag after is %d\n", "runtimeTimedCondWait",
         static_cast<int>(after));
  return after ? 0 : -1;
}

RuntimeProfile *runtimeNewProfile(const char *name, pthread_t thread) {
  return newProfile(name, thread, nullptr, nullptr);
}

// The record is complete before it is listed: no other thread can meet a
// callback profile without its callback.
RuntimeProfile *runtimeNewCallback(const char *name, RuntimeCallback callback, void *arg) {
  NK_ASSERT(callback != nullptr);
  RuntimeProfile *profile = newProfile(name, pthread_self(), callback, arg);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s new callback %p\n", "runtimeNewCallback",
         static_cast<void *>(profile));
  return profile;
}

// Only callback profiles may be deleted: plain ones live for the life of the
// process, as runtimeTiming and runtimeSleep keep using them by name. Any
// thread whose current profile is the deleted one is left with none, so that
// its next switch charges nothing instead of writing to freed memory; the
// time since the profile became current is dropped with it.
void runtimeDeleteCallback(RuntimeProfile *profile) {
  NK_ASSERT(profile != nullptr);
  NK_ASSERT(profile->owner == profile);
  {
    nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
    nk::cursorRemoving(&profileList, &listing, &profile->profileLink);
    auto *named = profileByName.find(profile->name);
    if (named->record == profile) {
      profileByName.remove(named);
      for (ListNode *n = listNext(&profileList, &profile->profileLink); n;
           n = listNext(&profileList, n)) {
        RuntimeProfile *p = reinterpret_cast<RuntimeProfile *>(n);
        if (strcmp(p->name, profile->name) == 0) {
          profileByName.add(p, 0);
          break;
        }
      }
    }
    listRemove(&profileList, &profile->profileLink);
    if (listIsMember(&profile->pendingLink)) {
      listRemove(&pendingList, &profile->pendingLink);
      profile->pending = 0;
      pendingCount--;
    }
    for (ListNode *n = listHead(&threadList); n; n = listNext(&threadList, n)) {
      RuntimeThread *rt = reinterpret_cast<RuntimeThread *>(n);
      nk::shortLock(&rt->lock);
      if (rt->current == profile) rt->current = nullptr;
      nk::shortUnlock(&rt->lock);
    }
  }
  for (ExecFrame *f = execFrames; f; f = f->outer) {
    if (f->profile == profile) f->deleted = true;
  }
  stringFreePtr(profile->name);
  memFreePtr(profile);
}

void runtimeStatSet(RuntimeProfile *profile, int value) {
  NK_ASSERT(profile != nullptr);
  storeRelaxed(&profile->reportedCount, static_cast<int32_t>(value));
  storeRelaxed(&profile->fixed, 1u);
}

void runtimeStatAdd(RuntimeProfile *profile, int value) {
  NK_ASSERT(profile != nullptr);
  addRelaxed(&profile->count, value);
  storeRelaxed(&profile->added, 1u);
}

void runtimeSwitch(RuntimeProfile *profile) {
  RuntimeThread *rt = self;
  if (!rt) rt = self = attachThread();
  nk::shortLock(&rt->lock);
  if (RuntimeProfile *was = rt->current) {
    int elapsed = timerElapsedMicroSec(&rt->since);  // -1 should the clock fail
    if (elapsed > kMaxCharge) elapsed = kMaxCharge;
    loadStep(was, 1, elapsed);
    addRelaxed(&was->time, elapsed);
    storeMax(&was->max, elapsed);
    storeMin(&was->min, elapsed);
  }
  timerReset(&rt->since);
  rt->current = profile;
  nk::shortUnlock(&rt->lock);
}

// The lookup and the creation happen under runtimeLock, so that two threads
// timing the same new name still make one profile. The first profile of the
// name in list order is found through profileByName, not by a walk.
void runtimeTiming(const char *name) {
  NK_ASSERT(name != nullptr);
  RuntimeProfile *found = nullptr;
  {
    nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
    auto *named = profileByName.find(name);
    if (named) found = named->record;
    if (!found) {
      found = makeProfile(name, pthread_self(), nullptr, nullptr);
      listProfile(found);
    }
  }
  runtimeSwitch(found);
}

void runtimeLoadAverage(RuntimeProfile *profile, int value, int elapsed) {
  NK_ASSERT(profile != nullptr);
  if (elapsed > kMaxCharge) {
    storeRelaxed(&profile->load, static_cast<float>(value));
  } else {
    loadStep(profile, value, elapsed);
  }
}

// A profile without a callback is refused before anything changes: queued,
// it would reach runtimeExecCallbacks with nothing to run, and counting it
// would report wake-ups that never lead to a run. The condition is still
// broadcast, as for a null profile.
void runtimeWakeup(RuntimeProfile *profile) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s param %p\n", "runtimeWakeup", static_cast<void *>(profile));
  if (profile && profile->owner != profile) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s profile %s has no callback\n", "runtimeWakeup",
             profile->name);
  } else if (profile) {
    nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
    addRelaxed(&profile->count, 1);
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s pending is %d\n", "runtimeWakeup",
           static_cast<int>(profile->pending));
    if (!profile->pending) {
      profile->pending = 1;
      listCheckInit(&pendingList);
      listAdd(&pendingList, &profile->pendingLink);
      pendingCount = static_cast<uint32_t>(listCount(&pendingList));
    }
  }
  pthread_cond_broadcast(&runtimeCond);
}

void runtimeSleep(int usec) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s sleep\n", "runtimeSleep");
  if (!sleepProfile) sleepProfile = runtimeNewProfile("sleep", pthread_self());
  runtimeSwitch(sleepProfile);
  // The wait holds runtimeLock: its rank is recorded for the lock-order check.
  nk::lockRankAcquire(nk::kRankRuntime);
  runtimeTimedCondWait(&runtimeLock, &runtimeCond, &pendingCount, usec);
  nk::lockRankRelease(nk::kRankRuntime);
  if (!statsPeriodStarted) {
    statsPeriodStarted = true;
    timerReset(&statsPeriod);
    return;
  }
  // The period start moves by exactly one period, not to now: after a long
  // gap the following sleeps roll over again until it has caught up.
  if (timerElapsedMicroSec(&statsPeriod) > kMaxCharge) {
    rollOver();
    timerAddMicroSec(&statsPeriod, kStatsPeriod);
  }
}

// Only callback profiles are ever queued (runtimeWakeup refuses the others),
// so every entry taken has an owner and pendingCount falls with the list.
void runtimeExecCallbacks(void) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s invoked count=%d\n", "runtimeExecCallbacks",
         listCount(&pendingList));
  for (;;) {
    RuntimeProfile *profile;
    {
      nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
      listCheckInit(&pendingList);
      ListNode *node = listPop(&pendingList);
      if (!node) return;
      profile = profileOfPending(node);
      NK_ASSERT(profile->owner == profile);
      profile->pending = 0;
      pendingCount--;
    }
    runtimeExecute(profile);
  }
}

void runtimeExecute(RuntimeProfile *profile) {
  NK_ASSERT(profile != nullptr && profile->callback != nullptr);
  runtimeSwitch(profile);
  addRelaxed(&profile->exec, 1);
  ExecFrame frame = {profile, false, execFrames};
  execFrames = &frame;
  int events = profile->callback(profile->callbackArg);
  execFrames = frame.outer;
  if (!frame.deleted) addRelaxed(&profile->events, events);
}

// A listing returns the profiles in list order, one a call, from index 0 on;
// the index only restarts it (0) and numbers the line. Each line is the
// profile after the last one returned, however long the list.
int runtimeStatsQuery(int index, int string) {
  nk::RankedLock<pthread_mutex_t> lock(&runtimeLock, nk::kRankRuntime);
  ListNode *n = nk::cursorNext(&profileList, &listing, index);
  if (!n) {
    stringCopy(string, "");
    return 0;
  }
  RuntimeProfile *p = reinterpret_cast<RuntimeProfile *>(n);
  if (!p->tid) p->tid = tidOf(p->thread);
  stringPrintf(string,
               "index=%d,name=%s,thread=%d,count=%d,exec=%d,events=%d,load=%d,min=%d,max=%d",
               index < INT_MAX ? index + 1 : INT_MAX, p->name, static_cast<int>(p->tid),
               static_cast<int>(loadRelaxed(&p->reportedCount)),
               static_cast<int>(loadRelaxed(&p->reportedExec)),
               static_cast<int>(loadRelaxed(&p->reportedEvents)),
               static_cast<int>(loadRelaxed(&p->reportedTime) / 1000),
               static_cast<int>(loadRelaxed(&p->min)), static_cast<int>(loadRelaxed(&p->max)));
  return 1;
}
