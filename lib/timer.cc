// timer -- the named timers: armed by name, fired by timerTick in the order
// of their first arming, listed by timerStatsQuery. The clock and stopwatch
// operations on the Timer record are the clock unit's (clock.cc).
#define NK_MODULE "timer"
#define NK_LOGMASK LOGMASK_RUNTIME
#include "timer.h"

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "clock_internal.h"
#include "event.h"
#include "list.h"
#include "list_cursor_internal.h"
#include "mem.h"
#include "name_index_internal.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"
#include "runtime.h"

using nk::add32;
using nk::addSeconds;
using nk::elapsedMicroseconds;
using nk::mul32;
using nk::readExpiry;
using nk::s32;
using nk::sub32;

// {==== Named timers
//
// Every armed timer is on timerList, in the order of its first arming, and
// the list alone decides every order the module shows: firing, listing. The
// list and everything on it belong to the main loop's thread: only single
// list operations take the list's mutex.
//
// Beside the list, an index on the system heap (never the handle allocator,
// so that the memory statistics count the timers' records and nothing else)
// keeps the walks that would grow with the list bounded:
//
//  - byName maps each listed timer's name to the timer and its slot. Names
//    are unique on the list (arming a listed name re-arms its timer), and a
//    key views the record's own copy of the name, which lives as long as the
//    record is indexed.
//  - Slots number the listed timers in list order: a new timer takes the slot
//    after every slot in use, so slot order is list order, with gaps where
//    timers left. slotTimer gives each slot's timer (or null), and a binary
//    tree over the slots (dueTree, node 1 the root, the children of node i at
//    2i and 2i + 1, slot s at leaf capacity + s) holds for every range of
//    slots the earliest expiry on each clock and how many timers are listed
//    in it. The scan of timerTick asks it for the next timer in list order
//    that is due, and for how many timers it passes on the way.
//  - When slots run out, the listed timers are renumbered 0, 1, 2, ... in the
//    same order, into a power of two of at least one and a half times their
//    number (kFewestSlots at least): creating a timer costs O(1) amortised, and the
//    index is sized by the timers listed at the last renumbering (40 bytes a
//    node, two nodes, a pointer and a name entry or two a slot).
//
// The index changes wherever a listed timer appears, goes or moves its
// expiry or clock: timerArm, timerStop, the firing in timerTick, and the
// stopwatch operations that move an expiry (timerReset, timerAdd...) when they
// are given a listed timer. A listed timer's expiry and options must not be
// written otherwise. Creating a timer may allocate for the index; firing,
// re-arming and timerGetNextExpiry do not.

static_assert(offsetof(Timer, node) == 0, "a Timer is listed through its first field");

namespace {

List timerList;  // made ready on first use

// The timer whose callback timerTick is running, or null. Stopping it
// unlists it at once but leaves the record to timerTick, which reads it again
// when the callback returns.
Timer *firing;

// The place of the statistics listing. It stands for the reported marks of
// the timers, which are left at 0.
nk::ListCursor listing;

// An expiry or a clock reading as timerExpired compares them: the seconds,
// then the nanoseconds, both as signed 32-bit values. A timer is due when its
// expiry is before the reading of its clock.
struct Stamp {
  int32_t sec, nsec;
};
constexpr Stamp kNever = {INT32_MAX, INT32_MAX};  // later than any valid timespec
constexpr Stamp kDawn = {INT32_MIN, INT32_MIN};   // earlier than any
constexpr int kClocks = 2;                        // 0 the raw monotonic clock, 1 the wall clock

inline Stamp stampOf(const struct timespec &t) { return {s32(t.tv_sec), s32(t.tv_nsec)}; }

inline bool before(Stamp a, Stamp b) {
  return a.sec < b.sec || (a.sec == b.sec && a.nsec < b.nsec);
}

inline int clockOf(const Timer *timer) { return (timer->options & TIMER_REAL) ? 1 : 0; }

struct DueNode {
  Stamp earliest[kClocks];  // the earliest expiry on each clock in the range; kNever for none
  Stamp latest[kClocks];    // the latest; kDawn for none
  uint32_t listed;          // listed timers in the range
  uint32_t irregular;       // those whose expiry has nanoseconds outside 0 .. 999,999,999
};
constexpr DueNode kNoTimer = {{kNever, kNever}, {kDawn, kDawn}, 0, 0};

nk::NameIndex<Timer, &Timer::name> byName;  // each entry's value is its timer's slot
constexpr uint32_t kFewestSlots = 16;
uint32_t capacity;  // a power of two, or 0 before the first timer
Timer **slotTimer;  // capacity entries
DueNode *dueTree;   // 2 * capacity nodes; node 0 unused
uint32_t nextSlot;  // slots from here on have never been used

void combine(uint32_t node) {
  const DueNode &left = dueTree[2 * node], &right = dueTree[2 * node + 1];
  DueNode &both = dueTree[node];
  for (int c = 0; c < kClocks; c++) {
    both.earliest[c] =
        before(right.earliest[c], left.earliest[c]) ? right.earliest[c] : left.earliest[c];
    both.latest[c] = before(left.latest[c], right.latest[c]) ? right.latest[c] : left.latest[c];
  }
  both.listed = left.listed + right.listed;
  both.irregular = left.irregular + right.irregular;
}

// Slot holds timer (its expiry on its clock), or nothing for a null timer;
// the ranges above it follow.
void setSlot(uint32_t slot, Timer *timer) {
  slotTimer[slot] = timer;
  DueNode &leaf = dueTree[capacity + slot];
  leaf = kNoTimer;
  if (timer) {
    Stamp expiry = stampOf(timer->expiry);
    leaf.earliest[clockOf(timer)] = leaf.latest[clockOf(timer)] = expiry;
    leaf.listed = 1;
    leaf.irregular = expiry.nsec < 0 || expiry.nsec > 999999999;
  }
  for (uint32_t node = (capacity + slot) / 2; node > 0; node /= 2) combine(node);
}

// Renumbers the indexed timers from 0 in slot order, into a capacity of at
// least one and a half times their number plus one: at least a third of the
// slots are then free for the timers that follow, which pays for the
// renumbering. The old arrays are released, so the index shrinks with the
// list.
void renumber() {
  uint32_t count = 0;  // the listed timers move to the front, in order
  for (uint32_t slot = 0; slot < nextSlot; slot++) {
    if (slotTimer[slot]) slotTimer[count++] = slotTimer[slot];
  }
  Timer **listed = slotTimer;
  capacity = kFewestSlots;
  while (capacity < 3 * (count + 1) / 2) capacity *= 2;
  slotTimer = static_cast<Timer **>(calloc(capacity, sizeof *slotTimer));
  free(dueTree);
  dueTree = static_cast<DueNode *>(malloc(2 * capacity * sizeof *dueTree));
  NK_ASSERT(slotTimer != nullptr && dueTree != nullptr);
  for (uint32_t node = 0; node < 2 * capacity; node++) dueTree[node] = kNoTimer;
  for (uint32_t slot = 0; slot < count; slot++) {
    byName.find(listed[slot]->name)->value = slot;
    setSlot(slot, listed[slot]);
  }
  free(listed);
  nextSlot = count;
}

// A timer newly appended to the list, its name set: its name and a slot are
// taken here, and the indexUpdate that ends every arming fills the slot.
void indexAdd(Timer *timer) {
  if (nextSlot == capacity) renumber();
  byName.add(timer, nextSlot++);
}

// A listed timer that is about to leave the list.
void indexRemove(Timer *timer) {
  nk::cursorRemoving(&timerList, &listing, &timer->node);
  auto *entry = byName.find(timer->name);
  setSlot(entry->value, nullptr);
  byName.remove(entry);
}

// The listed timer moved its expiry or changed its clock.
void indexUpdate(Timer *timer) { setSlot(byName.find(timer->name)->value, timer); }

// The slot of the first due timer from slot from on, given a reading of each
// clock, or capacity when none is due; node covers the width slots
// from first. A node that holds nothing due is passed over whole, so this
// visits O(log capacity) nodes.
uint32_t firstDue(uint32_t node, uint32_t first, uint32_t width, uint32_t from,
                  const Stamp now[kClocks]) {
  const DueNode &range = dueTree[node];
  if (first + width <= from ||
      !(before(range.earliest[0], now[0]) || before(range.earliest[1], now[1]))) {
    return capacity;
  }
  if (width == 1) return first;
  uint32_t half = width / 2;
  uint32_t found = firstDue(2 * node, first, half, from, now);
  return found < capacity ? found : firstDue(2 * node + 1, first + half, half, from, now);
}

// The number of timers listed in the slots [from, to).
uint32_t listedBetween(uint32_t from, uint32_t to) {
  uint32_t sum = 0;
  for (from += capacity, to += capacity; from < to; from /= 2, to /= 2) {
    if (from & 1) sum += dueTree[from++].listed;
    if (to & 1) sum += dueTree[--to].listed;
  }
  return sum;
}

// The node of the next timer after timer in list order that the scan of
// timerTick has to examine, or null at the end of the list. The timers passed over are
// listed and not due at the readings of the two clocks taken here; *count
// gains one for each, as if each had been examined. Should a clock fail,
// nothing is passed over: the next timer is examined, and its own reading
// decides.
ListNode *nextToExamine(Timer *timer, int *count) {
  Stamp now[kClocks];
  for (int c = 0; c < kClocks; c++) {
    Timer clock{};
    clock.options = c ? TIMER_REAL : 0;
    struct timespec reading;
    if (nk::clockRead(&clock, &reading) != 0) return listNext(&timerList, &timer->node);
    now[c] = stampOf(reading);
  }
  uint32_t from = byName.find(timer->name)->value + 1;
  uint32_t due = firstDue(1, 0, capacity, from, now);
  *count += static_cast<int>(listedBetween(from, due));
  return due < capacity ? &slotTimer[due]->node : nullptr;
}

// {==== The next expiry from the index
//
// timerGetNextExpiry walks the list and reads the clock for each timer: it
// answers 0 at the first timer with no time left, otherwise the least time
// left (at most the limit), and logs each new least on the way. Its
// arithmetic is timerElapsedMicroSec's, whose seconds wrap every 2000 s: a
// timer 2000 s ahead reads as due, one 2500 s ahead as 500 s away. When that
// log line is off only the least time left counts, and with one reading of
// each clock the index gives it:
//
//  - A timer whose seconds lie within 1999 of the reading's, its nanoseconds
//    in range, reads without the wrap, and a later expiry never reads as
//    nearer (the nanoseconds' part rounds toward zero, down before the
//    reading's nanoseconds and up after them, which keeps the order). Of
//    these, the earliest on the clock decides.
//  - Timers further ahead read with the wrap: each of them is read.
//
// A timer further behind or nanoseconds out of range (a negative interval
// makes them) leave the answer to the walk, as does the log line. Within
// 2000 s of the ends of the 32-bit seconds the bounds wrap: all timers then
// count as behind (the walk answers) or as ahead (each is read).

constexpr int32_t kNearSeconds = 1999;  // the most that does not wrap

// The time left until expiry at reading, as timerExpiresMicroSec gives it.
int32_t leftAt(Stamp expiry, Stamp reading) {
  return sub32(
      0, elapsedMicroseconds(sub32(reading.sec, expiry.sec), sub32(reading.nsec, expiry.nsec)));
}

// The least of *least and the time left at reading of every timer on clock c
// whose expiry is not before ahead; node is a node of dueTree.
void leastAhead(uint32_t node, int c, Stamp ahead, Stamp reading, int32_t *least) {
  const DueNode &range = dueTree[node];
  if (before(range.latest[c], ahead)) return;
  if (node >= capacity) {
    int32_t left = leftAt(range.latest[c], reading);
    if (left < *least) *least = left;
    return;
  }
  leastAhead(2 * node, c, ahead, reading, least);
  leastAhead(2 * node + 1, c, ahead, reading, least);
}

// timerGetNextExpiry's answer into *answer, without the walk; false when it
// is the walk's to give.
bool nextExpiryFromIndex(int limit, int *answer) {
  if (!dueTree || NKLOG_INFO <= nk::logLevel.load(std::memory_order_relaxed) ||
      dueTree[1].irregular > 0) {
    return false;
  }
  int32_t least = INT32_MAX;  // the least time left of any timer
  for (int c = 0; c < kClocks; c++) {
    Stamp first = dueTree[1].earliest[c];
    if (!before(first, kNever)) continue;  // no timer on this clock
    Timer clock{};
    clock.options = c ? TIMER_REAL : 0;
    struct timespec now;
    if (nk::clockRead(&clock, &now) != 0) {  // each timer on it reads as 1 us away
      if (1 < least) least = 1;
      continue;
    }
    Stamp reading = stampOf(now);
    if (before(first, Stamp{sub32(reading.sec, kNearSeconds), 0})) return false;
    int32_t left = leftAt(first, reading);
    if (left < least) least = left;
    leastAhead(1, c, Stamp{add32(reading.sec, kNearSeconds + 1), 0}, reading, &least);
  }
  *answer = least <= 0 ? 0 : least < limit ? least : limit;
  return true;
}

// }====

Timer *findTimer(const char *name) {
  auto *entry = byName.find(name);
  return entry ? entry->record : nullptr;
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

// The clock's hook, set as the first named timer is made: a stopwatch, never
// on a list, costs one load; a record on a list is a listed named timer.
void expiryMoved(Timer *timer) {
  if (listIsMember(&timer->node)) indexUpdate(timer);
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
    nk::setExpiryMovedHook(expiryMoved);
    timer = static_cast<Timer *>(memAllocPtr(sizeof(Timer)));
    listAdd(&timerList, &timer->node);
    timer->name = stringDupPtr(name);
    indexAdd(timer);
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
  if (readExpiry(timer) != 0) {
    indexUpdate(timer);
    return nullptr;
  }
  timer->intervalSec = intervalSec;
  timer->intervalUsec = intervalUsec;
  if (options & TIMER_SNAP) {
    snapExpiry(timer);
  } else {
    setNextExpiry(timer);
  }
  indexUpdate(timer);
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
  if (listIsMember(&timer->node)) indexRemove(timer);
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
//
// The scan examines the head of the list, and after each timer the next one
// in list order that the index finds due (nextToExamine). The timers it
// passes over would each have been examined, found not due and counted; they
// are counted without reading the clock for each. So a tick costs O(log n)
// per timer that fires, plus one for the head after each restart, rather
// than a walk of the list per firing.
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
        indexRemove(timer);
        listRemove(&timerList, &timer->node);
        freeTimer(timer);
        n = listHead(&timerList);
        continue;
      }
      setNextExpiry(timer);
      indexUpdate(timer);
    }
    count++;
    n = nextToExamine(timer, &count);
  }
  return count;
}

// The index answers unless the log line is on or it cannot (see The next
// expiry from the index); the walk reads the clock for each timer. A timer
// whose clock cannot be read counts as due in 1 us (its elapsed time reads as
// -1).
int timerGetNextExpiry(int limit) {
  int best = limit;
  if (nextExpiryFromIndex(limit, &best)) return best;
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

// A listing returns the timers in list order, one a call, from index 0 on;
// the index only restarts it (0) and numbers the reply. Each reply is the
// timer after the last one returned, however long the list.
int timerStatsQuery(int index, int string) {
  ListNode *n = nk::cursorNext(&timerList, &listing, index);
  if (!n) {
    stringCopy(string, "");
    return 0;
  }
  Timer *timer = reinterpret_cast<Timer *>(n);
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
