// list -- intrusive circular lists with their own mutexes, the record pools,
// and the lock-order check shared by the library's locks.
//
// The head is the ring's sentinel: (ListNode *)list. Links and count change
// only under the list's lock; the fields that listEmpty, listCount and
// listIsMember read without it (first, count, member) are written and read as
// relaxed atomics, so those unlocked reads are well defined.
#define NK_MODULE "list"
#define NK_LOGMASK LOGMASK_CONTAINERS
#include "list.h"

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>

#include "atomic_internal.h"
#include "lock_internal.h"
#include "nkassert_internal.h"
#include "nksyslog_internal.h"

namespace {

pthread_mutex_t listInitLock = PTHREAD_MUTEX_INITIALIZER;

inline ListNode *sentinel(List *list) { return reinterpret_cast<ListNode *>(list); }

using nk::loadRelaxed;
using nk::storeRelaxed;

void checkReady(List *list) {
  NK_ASSERT(list != nullptr);
  NK_ASSERT(loadRelaxed(&list->initialised) == 1);
}

// Links node between prev and next. REQUIRES: the list's lock held.
void linkBetween(List *list, ListNode *node, ListNode *prev, ListNode *next) {
  node->prev = prev;
  node->next = next;
  storeRelaxed(&prev->next, node);
  next->prev = node;
  storeRelaxed(&node->member, 1u);
  storeRelaxed(&list->count, list->count + 1);
}

// Unlinks node from its neighbours. REQUIRES: the list's lock held.
void unlink(List *list, ListNode *node) {
  NK_ASSERT(node != nullptr);
  NK_ASSERT(node->member == 1);
  storeRelaxed(&node->prev->next, node->next);
  node->next->prev = node->prev;
  storeRelaxed(&node->member, 0u);
  if (list->count > 0) storeRelaxed(&list->count, list->count - 1);
}

void insert(List *list, ListNode *node, bool atFront) {
  checkReady(list);
  NK_ASSERT(node != nullptr);
  NK_ASSERT(loadRelaxed(&list->first) != nullptr);
  nk::RankedLock<uint32_t> lock(&list->mutex, nk::kRankList);
  if (atFront) {
    linkBetween(list, node, sentinel(list), list->first);
  } else {
    linkBetween(list, node, list->last, sentinel(list));
  }
}

ListNode *take(List *list, bool fromFront) {
  checkReady(list);
  nk::RankedLock<uint32_t> lock(&list->mutex, nk::kRankList);
  if (listEmpty(list)) return nullptr;
  ListNode *node = fromFront ? list->first : list->last;
  unlink(list, node);
  return node;
}

#ifndef NDEBUG
// The ranks of the locks this thread holds, in the order taken.
thread_local int heldRanks[16];
thread_local int heldDepth;
#endif

}  // namespace

// A holder keeps a short lock for a few stores; spinning a while usually
// outlasts it, and yielding lets a preempted holder run on a single core.
void nk::shortLockWait(uint32_t *word) {
  for (;;) {
    for (int i = 0; i < 100; i++) {
      if (!__atomic_load_n(word, __ATOMIC_RELAXED) &&
          !__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE)) {
        return;
      }
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
      __asm__ __volatile__("yield");
#endif
    }
    sched_yield();
  }
}

#ifndef NDEBUG
void nk::lockRankAcquire(LockRank rank) {
  if (heldDepth > 0 && heldRanks[heldDepth - 1] >= rank) {
    nksyslog(NKLOG_ERR, LOGMASK_ALL, "%s: lock of rank %d taken while holding rank %d\n",
             "lockRankAcquire", rank, heldRanks[heldDepth - 1]);
    NK_ASSERT(false);
  }
  NK_ASSERT(heldDepth < static_cast<int>(sizeof heldRanks / sizeof heldRanks[0]));
  heldRanks[heldDepth++] = rank;
}

void nk::lockRankRelease(LockRank rank) {
  // Locks may be released in any order: drop the innermost entry of rank.
  for (int i = heldDepth - 1; i >= 0; i--) {
    if (heldRanks[i] == rank) {
      for (int j = i; j < heldDepth - 1; j++) heldRanks[j] = heldRanks[j + 1];
      heldDepth--;
      return;
    }
  }
  NK_ASSERT(false);  // released a lock that this thread does not hold
}
#endif

void listInit(List *list) {
  NK_ASSERT(list != nullptr);
  storeRelaxed(&list->first, sentinel(list));
  list->last = sentinel(list);
  storeRelaxed(&list->mutex, 0u);
  storeRelaxed(&list->count, 0u);
  __atomic_store_n(&list->initialised, 1u, __ATOMIC_RELEASE);
}

void listCheckInit(List *list) {
  NK_ASSERT(list != nullptr);
  if (__atomic_load_n(&list->initialised, __ATOMIC_ACQUIRE)) return;
  pthread_mutex_lock(&listInitLock);
  if (!loadRelaxed(&list->initialised)) listInit(list);
  pthread_mutex_unlock(&listInitLock);
}

void listDestroy(List *list) {
  checkReady(list);
  NK_ASSERT(listEmpty(list));
  storeRelaxed(&list->initialised, 0u);
}

void listPush(List *list, ListNode *node) { insert(list, node, true); }

void listAdd(List *list, ListNode *node) { insert(list, node, false); }

void listRemove(List *list, ListNode *node) {
  checkReady(list);
  nk::RankedLock<uint32_t> lock(&list->mutex, nk::kRankList);
  unlink(list, node);
}

ListNode *listPop(List *list) { return take(list, true); }

ListNode *listPull(List *list) { return take(list, false); }

ListNode *listHead(List *list) {
  listCheckInit(list);
  nk::RankedLock<uint32_t> lock(&list->mutex, nk::kRankList);
  return list->first == sentinel(list) ? nullptr : list->first;
}

ListNode *listNext(List *list, ListNode *node) {
  checkReady(list);
  NK_ASSERT(node != nullptr);
  nk::RankedLock<uint32_t> lock(&list->mutex, nk::kRankList);
  return node->next == sentinel(list) ? nullptr : node->next;
}

int listIsMember(ListNode *node) { return static_cast<int>(loadRelaxed(&node->member)); }

int listEmpty(List *list) { return loadRelaxed(&list->first) == sentinel(list); }

int listCount(List *list) { return static_cast<int>(loadRelaxed(&list->count)); }

int listEnd(List *list, ListNode *node) { return node == sentinel(list); }

void *listAlloc(List *freeList, List *usedList, int size) {
  NK_ASSERT(size >= static_cast<int>(sizeof(ListNode)));  // the record begins with its node
  ListNode *record = listPop(freeList);
  if (!record) record = static_cast<ListNode *>(calloc(1, size));
  listAdd(usedList, record);  // a failed calloc stops here: null node
  return record;
}

void listFree(List *freeList, List *usedList, void *record) {
  listRemove(usedList, static_cast<ListNode *>(record));
  listAdd(freeList, static_cast<ListNode *>(record));
}
