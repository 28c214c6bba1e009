#include "list.h"

#include <sched.h>
#include <stdlib.h>

#include <thread>

#include <gtest/gtest.h>

#include "lock_internal.h"
#include "nksyslog.h"

namespace {

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override { listInit(&list); }
  List list;
  ListNode n[4] = {};
};

// The pool functions recycle records without clearing them.
TEST_F(ListTest, QueueStackRemovalAndRecordPools) {
  for (ListNode &x : n) listAdd(&list, &x);
  EXPECT_EQ(listPop(&list), &n[0]);   // FIFO
  EXPECT_EQ(listPull(&list), &n[3]);  // the newest
  listPush(&list, &n[0]);
  listAdd(&list, &n[3]);
  listRemove(&list, &n[1]);
  listRemove(&list, &n[3]);
  EXPECT_EQ(listHead(&list), &n[0]);
  EXPECT_EQ(listNext(&list, &n[0]), &n[2]);
  EXPECT_EQ(listNext(&list, &n[2]), nullptr);
  EXPECT_EQ(listCount(&list), 2);
  EXPECT_EQ(listIsMember(&n[1]), 0);
  EXPECT_EQ(listIsMember(&n[0]), 1);
  listInit(&list);  // drops the nodes it held
  EXPECT_EQ(listPop(&list), nullptr);
  EXPECT_EQ(listPull(&list), nullptr);
  List used;
  listInit(&used);
  struct Rec {
    ListNode node;
    int id;
  } *a = static_cast<Rec *>(listAlloc(&list, &used, sizeof(Rec)));
  EXPECT_EQ(a->id, 0);  // new records are zero-filled
  a->id = 42;
  listFree(&list, &used, a);
  EXPECT_EQ(listCount(&list), 1);
  EXPECT_EQ(listAlloc(&list, &used, sizeof(Rec)), a);
  EXPECT_EQ(a->id, 42);
  listRemove(&list, &a->node);  // not on this empty list: its count stays at 0
  EXPECT_EQ(listCount(&list), 0);
  EXPECT_EQ(listCount(&used), 1);
  free(a);
}

// Two threads count under one short lock, giving up the processor inside and
// outside it: a lost update would show the lock held by both at once. The wait
// itself, met free, takes the lock at once (contention comes at random).
TEST(ShortLockTest, ExcludesOtherThreads) {
  uint32_t word = 0;
  nk::shortLockWait(&word);
  EXPECT_EQ(word, 1u);
  nk::shortUnlock(&word);
  int counter = 0;
  auto worker = [&] {
    for (int i = 0; i < 10000; i++) {
      nk::shortLock(&word);
      int seen = counter;
      sched_yield();
      counter = seen + 1;
      nk::shortUnlock(&word);
      sched_yield();
    }
  };
  std::thread t1(worker), t2(worker);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 20000);
}

using ListDeathTest = ListTest;

TEST_F(ListDeathTest, MisuseAndLockOrderStop) {
  nksetdefaultlog(stderr);
  const auto status1 = ::testing::ExitedWithCode(1);
  const char kAssert[] = "CRIT Assertion failed file list line";
  static List zero;
  // A zero-filled list is not ready until listHead makes it so.
  EXPECT_EXIT(listAdd(&zero, n), status1, kAssert);
  EXPECT_EQ(listHead(&zero), nullptr);
  EXPECT_TRUE(listEmpty(&zero));
  EXPECT_TRUE(listEnd(&zero, reinterpret_cast<ListNode *>(&zero)));
  listDestroy(&zero);
  EXPECT_EQ(zero.initialised, 0u);
  listAdd(&list, &n[0]);
  EXPECT_EXIT(listRemove(&list, &n[1]), status1, kAssert);  // not a member
  EXPECT_EXIT(listDestroy(&list), status1, kAssert);        // not empty
  EXPECT_EXIT(listPop(nullptr), status1, kAssert);
#ifndef NDEBUG  // lock ranks are checked in debug builds
  static pthread_mutex_t lockA = PTHREAD_MUTEX_INITIALIZER;
  static uint32_t lockB;  // a short lock
  nk::lockRanked(&lockA, nk::kRankNet);
  nk::lockRanked(&lockB, nk::kRankAllocator);
  nk::unlockRanked(&lockA, nk::kRankNet);  // released out of order
  EXPECT_EXIT(nk::lockRanked(&lockA, nk::kRankRuntime), status1,
              "lock of rank 3 taken while holding rank 4");
  EXPECT_EQ(listNext(&list, &n[0]), nullptr);  // a list lock inside the allocator's
  nk::lockRanked(&lockA, nk::kRankList);
  EXPECT_EXIT(listPop(&list), status1, "lock of rank 5 taken while holding rank 5");
  nk::unlockRanked(&lockA, nk::kRankList);
  nk::unlockRanked(&lockB, nk::kRankAllocator);
  EXPECT_EXIT(nk::unlockRanked(&lockB, nk::kRankNet), status1, kAssert);
  nk::lockRanked(&lockA, nk::kRankNet);  // nothing held any more
  nk::unlockRanked(&lockA, nk::kRankNet);
#endif
}

}  // namespace
