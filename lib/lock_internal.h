// lock_internal.h -- the library's lock order, checked in debug builds, and
// the short lock.
//
// Locks nest only in this order, outermost first:
//
//   netLock (socket layer)
//     -> the lock of one MsgClient (bus client)
//       -> runtimeLock (runtime services)
//         -> the allocator lock
//           -> the lock of a List (innermost)
//
// The logging module's own lock is a leaf below all of these and is not
// ranked. In builds without NDEBUG every ranked lock records, per thread, the
// ranks held; taking a lock that does not rank further in than the innermost
// one held stops the process by assertion (module "list").
//
// The lists' locks guard a few pointer and counter updates each and are
// never held across anything that blocks, so they are short locks: one
// atomic exchange takes one, a release store gives it back, and a waiter
// spins briefly and then yields the processor. The allocator lock is the
// allocator's own (mem.cc): every allocation and free of every thread takes
// it, so threads meet on it often, and a waiter spins briefly and then
// sleeps in the kernel until the holder wakes it. The other locks are
// pthread mutexes, since condition variables wait on them.
#ifndef NK_LOCK_INTERNAL_H
#define NK_LOCK_INTERNAL_H

#include <pthread.h>
#include <stdint.h>

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

// A short lock is a word: 0 free, 1 held.
void shortLockWait(uint32_t *word);  // the contended path
inline void shortLock(uint32_t *word) {
  if (__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE)) shortLockWait(word);
}
inline void shortUnlock(uint32_t *word) { __atomic_store_n(word, 0u, __ATOMIC_RELEASE); }

inline void lockRanked(pthread_mutex_t *m, LockRank rank) {
  lockRankAcquire(rank);
  pthread_mutex_lock(m);
}
inline void unlockRanked(pthread_mutex_t *m, LockRank rank) {
  pthread_mutex_unlock(m);
  lockRankRelease(rank);
}
inline void lockRanked(uint32_t *word, LockRank rank) {
  lockRankAcquire(rank);
  shortLock(word);
}
inline void unlockRanked(uint32_t *word, LockRank rank) {
  shortUnlock(word);
  lockRankRelease(rank);
}

// Holds a lock for a scope. Never keep one across a call that can raise a
// Lua error: the longjmp would skip the unlock.
template <typename Lock>
class RankedLock {
 public:
  RankedLock(Lock *lock, LockRank rank) : lock_(lock), rank_(rank) { lockRanked(lock_, rank_); }
  ~RankedLock() { unlockRanked(lock_, rank_); }
  RankedLock(const RankedLock &) = delete;
  RankedLock &operator=(const RankedLock &) = delete;

 private:
  Lock *lock_;
  LockRank rank_;
};

}  // namespace nk

#endif  // NK_LOCK_INTERNAL_H
