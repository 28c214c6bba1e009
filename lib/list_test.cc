#include "list.h"

#include <stdlib.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lock_internal.h"
#include "nksyslog.h"

namespace {

struct Rec {
  ListNode node;
  int id;
};

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override { listInit(&list); }
  std::vector<int> ids() {
    std::vector<int> out;
    for (ListNode *p = listHead(&list); p; p = listNext(&list, p)) {
      out.push_back(reinterpret_cast<Rec *>(p)->id);
    }
    return out;
  }
  List list;
  Rec r[4] = {{{}, 1}, {{}, 2}, {{}, 3}, {{}, 4}};
  ListNode *n[4] = {&r[0].node, &r[1].node, &r[2].node, &r[3].node};
};

TEST_F(ListTest, QueueStackAndRemoval) {
  for (ListNode *x : n) listAdd(&list, x);
  EXPECT_EQ(listPop(&list), n[0]);   // FIFO
  EXPECT_EQ(listPull(&list), n[3]);  // the newest
  listPush(&list, n[0]);
  listAdd(&list, n[3]);
  listRemove(&list, n[1]);
  listRemove(&list, n[3]);
  EXPECT_EQ(ids(), (std::vector<int>{1, 3}));
  EXPECT_EQ(listCount(&list), 2);
  EXPECT_EQ(listIsMember(n[1]), 0);
  EXPECT_EQ(listIsMember(n[0]), 1);
  listInit(&list);  // drops the nodes it held
  EXPECT_EQ(listCount(&list), 0);
  EXPECT_EQ(listPop(&list), nullptr);
  EXPECT_EQ(listPull(&list), nullptr);
}

TEST_F(ListTest, RecordPoolsRecycleWithoutClearing) {
  List used;
  listInit(&used);
  Rec *a = static_cast<Rec *>(listAlloc(&list, &used, sizeof(Rec)));
  EXPECT_EQ(a->id, 0);  // new records are zero-filled
  a->id = 42;
  listFree(&list, &used, a);
  EXPECT_EQ(listCount(&list), 1);
  EXPECT_EQ(listAlloc(&list, &used, sizeof(Rec)), a);
  EXPECT_EQ(a->id, 42);         // a recycled record keeps its contents
  listRemove(&list, &a->node);  // not on this empty list: its count stays at 0
  EXPECT_EQ(listCount(&list), 0);
  EXPECT_EQ(listCount(&used), 1);
  free(a);
}

// Two threads count under one short lock: a lost update would show the lock
// held by both at once.
TEST(ShortLockTest, ExcludesOtherThreads) {
  uint32_t word = 0;
  int counter = 0;
  std::atomic<int> ready{0};
  auto worker = [&] {
    for (ready++; ready < 2;) {  // start together
    }
    for (int i = 0; i < 1000000; i++) {
      nk::shortLock(&word);
      int seen = counter;
      for (volatile int k = 0; k < 20; k = k + 1) {
      }
      counter = seen + 1;
      nk::shortUnlock(&word);
    }
  };
  std::thread t1(worker), t2(worker);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 2000000);
}

void stops(const std::function<void()> &body,
           const char *message = "CRIT Assertion failed file list line") {
  EXPECT_EXIT(body(), ::testing::ExitedWithCode(1), message);
}

pthread_mutex_t lockA = PTHREAD_MUTEX_INITIALIZER;
uint32_t lockB;  // a short lock
using ListDeathTest = ListTest;

TEST_F(ListDeathTest, MisuseAndLockOrderStop) {
  nksetdefaultlog(stderr);
  static List zero;
  stops([&] { listAdd(&zero, n[0]); });  // not ready
  EXPECT_EQ(listHead(&zero), nullptr);   // which makes it ready
  EXPECT_TRUE(listEmpty(&zero));
  EXPECT_TRUE(listEnd(&zero, reinterpret_cast<ListNode *>(&zero)));
  listDestroy(&zero);
  EXPECT_EQ(zero.initialised, 0u);
  listAdd(&list, n[0]);
  stops([&] { listRemove(&list, n[1]); });  // not a member
  stops([&] { listDestroy(&list); });       // not empty
  stops([&] { listAdd(&list, nullptr); });
  stops([] { listPop(nullptr); });
#ifndef NDEBUG
  nk::lockRanked(&lockA, nk::kRankNet);
  nk::lockRanked(&lockB, nk::kRankAllocator);
  nk::unlockRanked(&lockA, nk::kRankNet);  // released out of order
  stops([] { nk::lockRanked(&lockA, nk::kRankRuntime); },
        "lock of rank 3 taken while holding rank 4");
  EXPECT_EQ(listNext(&list, n[0]), nullptr);  // a list lock inside the allocator's
  nk::lockRanked(&lockA, nk::kRankList);
  stops([&] { listPop(&list); }, "lock of rank 5 taken while holding rank 5");
  nk::unlockRanked(&lockA, nk::kRankList);
  nk::unlockRanked(&lockB, nk::kRankAllocator);
  stops([] { nk::unlockRanked(&lockB, nk::kRankNet); });  // not held
  nk::lockRanked(&lockA, nk::kRankNet);                   // nothing held any more
  nk::unlockRanked(&lockA, nk::kRankNet);
#endif
}

}  // namespace
