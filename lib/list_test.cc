#include "list.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lock_internal.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

struct Rec {
  ListNode node;
  int id;
};

ListNode *n(Rec &r) { return &r.node; }
int idOf(ListNode *node) { return node ? reinterpret_cast<Rec *>(node)->id : -1; }

std::vector<int> contents(List *list) {
  std::vector<int> ids;
  for (ListNode *p = listHead(list); p; p = listNext(list, p)) ids.push_back(idOf(p));
  return ids;
}

TEST(ListTest, ZeroFilledListBecomesReadyThroughHead) {
  static List list;  // zero-filled: not ready
  EXPECT_EQ(list.initialised, 0u);
  EXPECT_EQ(listHead(&list), nullptr);
  EXPECT_EQ(list.initialised, 1u);
  EXPECT_TRUE(listEmpty(&list));
  EXPECT_TRUE(listEnd(&list, reinterpret_cast<ListNode *>(&list)));
  listDestroy(&list);
}

TEST(ListTest, AddPushPopPullOrders) {
  List list;
  listInit(&list);
  Rec r[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
  for (Rec &x : r) listAdd(&list, n(x));
  EXPECT_EQ(contents(&list), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(listCount(&list), 3);
  EXPECT_EQ(idOf(listPop(&list)), 1);   // FIFO
  EXPECT_EQ(idOf(listPull(&list)), 3);  // newest of the queue
  EXPECT_EQ(idOf(listPop(&list)), 2);
  EXPECT_EQ(listPop(&list), nullptr);
  EXPECT_EQ(listPull(&list), nullptr);
  EXPECT_EQ(listCount(&list), 0);

  for (Rec &x : r) listPush(&list, n(x));
  EXPECT_EQ(idOf(listPop(&list)), 3);  // stack
  EXPECT_EQ(idOf(listPop(&list)), 2);
  EXPECT_EQ(idOf(listPop(&list)), 1);
  EXPECT_TRUE(listEmpty(&list));
  listDestroy(&list);
}

TEST(ListTest, RemoveUnlinksAnywhere) {
  List list;
  listInit(&list);
  Rec r[4] = {{{}, 1}, {{}, 2}, {{}, 3}, {{}, 4}};
  for (Rec &x : r) listAdd(&list, n(x));
  listRemove(&list, n(r[1]));
  listRemove(&list, n(r[3]));  // the last
  EXPECT_EQ(listIsMember(n(r[1])), 0);
  EXPECT_EQ(listIsMember(n(r[0])), 1);
  EXPECT_EQ(contents(&list), (std::vector<int>{1, 3}));
  EXPECT_EQ(listNext(&list, n(r[2])), nullptr);  // last node
  listRemove(&list, n(r[0]));
  EXPECT_EQ(idOf(listHead(&list)), 3);
  EXPECT_EQ(idOf(listPull(&list)), 3);
  EXPECT_TRUE(listEmpty(&list));
}

TEST(ListTest, CountNeverGoesBelowZero) {
  List a, b;
  listInit(&a);
  listInit(&b);
  Rec r = {{}, 1};
  listAdd(&b, n(r));
  // The node is on b, removed through a: its links are unlinked, a's count
  // stays at 0 and b's is not changed.
  listRemove(&a, n(r));
  EXPECT_EQ(listCount(&a), 0);
  EXPECT_EQ(listCount(&b), 1);
  EXPECT_TRUE(listEmpty(&b));
}

TEST(ListTest, RecordPoolsRecycleWithoutClearing) {
  List freeList, used;
  listInit(&freeList);
  listInit(&used);
  Rec *a = static_cast<Rec *>(listAlloc(&freeList, &used, sizeof(Rec)));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->id, 0);  // new records are zero-filled
  EXPECT_EQ(listCount(&used), 1);
  a->id = 42;
  listFree(&freeList, &used, a);
  EXPECT_EQ(listCount(&used), 0);
  EXPECT_EQ(listCount(&freeList), 1);
  Rec *b = static_cast<Rec *>(listAlloc(&freeList, &used, sizeof(Rec)));
  EXPECT_EQ(b, a);
  EXPECT_EQ(b->id, 42);  // a recycled record keeps its contents
  EXPECT_EQ(listCount(&used), 1);
  listRemove(&used, &b->node);
  free(b);
}

TEST(ListTest, ConcurrentAddAndPopKeepEveryNode) {
  List list;
  listInit(&list);
  constexpr int kPerThread = 20000;
  std::vector<Rec> recs(2 * kPerThread);
  for (int i = 0; i < 2 * kPerThread; i++) recs[i].id = i;
  std::vector<int> seen(2 * kPerThread, 0);
  auto producer = [&](int from) {
    for (int i = from; i < from + kPerThread; i++) listAdd(&list, n(recs[i]));
  };
  std::thread p1(producer, 0), p2(producer, kPerThread);
  int popped = 0;
  while (popped < 2 * kPerThread) {
    if (ListNode *node = listPop(&list)) {
      seen[idOf(node)]++;
      popped++;
    }
  }
  p1.join();
  p2.join();
  for (int i = 0; i < 2 * kPerThread; i++) ASSERT_EQ(seen[i], 1) << i;
  EXPECT_EQ(listCount(&list), 0);
}

void logToStderr() { nksetdefaultlog(stderr); }

TEST(ListDeathTest, MisuseStopsTheProcess) {
  EXPECT_EXIT(
      {
        logToStderr();
        static List zero;
        Rec r{};
        listAdd(&zero, n(r));  // not initialised
      },
      ::testing::ExitedWithCode(1), "Assertion failed file list line");
  EXPECT_EXIT(
      {
        logToStderr();
        List list;
        listInit(&list);
        Rec r{};
        listAdd(&list, n(r));
        listRemove(&list, n(r));
        listRemove(&list, n(r));  // no longer a member
      },
      ::testing::ExitedWithCode(1), "CRIT Assertion failed file list line");
  EXPECT_EXIT(
      {
        logToStderr();
        List list;
        listInit(&list);
        Rec r{};
        listAdd(&list, n(r));
        listDestroy(&list);
      },
      ::testing::ExitedWithCode(1), "Assertion failed file list line");
  EXPECT_EXIT(
      {
        logToStderr();
        List list;
        listInit(&list);
        listAdd(&list, nullptr);
      },
      ::testing::ExitedWithCode(1), "Assertion failed file list line");
  EXPECT_EXIT(
      {
        logToStderr();
        listPop(nullptr);
      },
      ::testing::ExitedWithCode(1), "Assertion failed file list line");
}

#ifndef NDEBUG
pthread_mutex_t lockA = PTHREAD_MUTEX_INITIALIZER;
uint32_t lockB;  // a short lock
pthread_mutex_t lockC = PTHREAD_MUTEX_INITIALIZER;

void takeListThenAllocator() {
  nk::RankedLock<pthread_mutex_t> inner(&lockA, nk::kRankList);
  nk::RankedLock<uint32_t> outer(&lockB, nk::kRankAllocator);
}

void takeInOrderReleaseAnyhow() {
  nk::lockRanked(&lockA, nk::kRankNet);
  nk::lockRanked(&lockB, nk::kRankAllocator);
  nk::unlockRanked(&lockA, nk::kRankNet);  // released out of order
  nk::lockRanked(&lockC, nk::kRankList);
  nk::unlockRanked(&lockC, nk::kRankList);
  nk::unlockRanked(&lockB, nk::kRankAllocator);
  nk::lockRanked(&lockA, nk::kRankNet);  // nothing held any more
  nk::unlockRanked(&lockA, nk::kRankNet);
}

TEST(LockOrderDeathTest, InnerLockBeforeOuterStops) {
  EXPECT_EXIT(
      {
        logToStderr();
        takeListThenAllocator();
      },
      ::testing::ExitedWithCode(1), "lock of rank 4 taken while holding rank 5");
}

TEST(LockOrderDeathTest, OrderedNestingAndAnyReleaseOrderPass) {
  EXPECT_EXIT(
      {
        logToStderr();
        takeInOrderReleaseAnyhow();
        fprintf(stderr, "ordered\n");
        exit(0);
      },
      ::testing::ExitedWithCode(0), "^ordered\n$");
}
#endif

}  // namespace
