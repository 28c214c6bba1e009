// lock_internal.h -- the library's lock order, checked in debug builds.
//
// Locks nest only in this order, outermost first:
//
//   netLock (socket layer)
//     -> the lock of one MsgClient (bus client)
//       -> runtimeLock (runtime services)
//         -> the allocator lock
//           -> the mutex of a List (innermost)
//
// The logging module's own lock is a leaf below all of these and is not
// ranked. In builds without NDEBUG every ranked lock records, per thread, the
// ranks held; taking a lock that does not rank further in than the innermost
// one held stops the process by assertion (module "lock").
#ifndef NK_LOCK_INTERNAL_H
#define NK_LOCK_INTERNAL_H

#include <pthread.h>

namespace nk {

enum LockRank {
  kRankNet = 1,
  kRankMsgClient = 2,
  kRankRuntime = 3,
  kRankAllocator = 4,
  kRankList = 5,
};

#ifndef NDEBUG
void lockRankAcquire(LockRank rank);
void lockRankRelease(LockRank rank);
#else
inline void lockRankAcquire(LockRank) {}
inline void lockRankRelease(LockRank) {}
#endif

inline void lockRanked(pthread_mutex_t *m, LockRank rank) {
  lockRankAcquire(rank);
  pthread_mutex_lock(m);
}

inline void unlockRanked(pthread_mutex_t *m, LockRank rank) {
  pthread_mutex_unlock(m);
  lockRankRelease(rank);
}

// Holds m for a scope. Never keep one across a call that can raise a Lua
// error: the longjmp would skip the unlock.
class RankedLock {
 public:
  RankedLock(pthread_mutex_t *m, LockRank rank) : m_(m), rank_(rank) { lockRanked(m_, rank_); }
  ~RankedLock() { unlockRanked(m_, rank_); }
  RankedLock(const RankedLock &) = delete;
  RankedLock &operator=(const RankedLock &) = delete;

 private:
  pthread_mutex_t *m_;
  LockRank rank_;
};

}  // namespace nk

#endif  // NK_LOCK_INTERNAL_H
