#define NK_MODULE "mem_test"
#include "mem.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

// Every TEST runs in a process of its own under CTest: the allocator starts
// fresh, as in a program that has just called memInit.
class MemEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MemEnvironment);

uint8_t *bytes(int handle) { return static_cast<uint8_t *>(memGetData(handle)); }

int32_t ownerBefore(const uint8_t *data) {
  int32_t owner;
  memcpy(&owner, data - BLOCK_OWNER_OFFSET, sizeof owner);
  return owner;
}

// The guard bytes are poisoned in an AddressSanitizer build; the tests read
// and damage them on purpose, as a stray write would.
__attribute__((no_sanitize("address"))) uint8_t peek(const uint8_t *p) { return *p; }
__attribute__((no_sanitize("address"))) void poke(uint8_t *p, uint8_t v) { *p = v; }

std::string text(int s) { return static_cast<char *>(memGetData(s)); }

// The pool counters of one size class, from the block report.
struct ClassStats {
  int size, count, free, allocops, freeops, peak, delta;
};
// The report string is sized into the 8 KiB class, which no test here uses.
ClassStats classStats(int logSize) {
  int s = stringAlloc(5000);
  memStatsBlockQuery(logSize, s);
  ClassStats c{};
  sscanf(text(s).c_str(),
         "index=%*d,size=%d,count=%d,free=%d,allocops=%d,freeops=%d,peak=%d,delta=%d", &c.size,
         &c.count, &c.free, &c.allocops, &c.freeops, &c.peak, &c.delta);
  stringFree(s);
  return c;
}

void logToStderr() { nksetdefaultlog(stderr); }

TEST(MemTest, FirstHandlesAndTheBlockAroundTheData) {
  int a = memAlloc(0);
  int b = memAlloc(5);
  EXPECT_EQ(a, 1437226410);
  EXPECT_EQ(b, 1437226411);
  EXPECT_EQ(memGetSize(a), 0);
  EXPECT_EQ(memTotalHandleCount(), MAX_HANDLES);
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES - 2);
  uint8_t *d = bytes(a);
  for (int i = 0; i < 220; i++) ASSERT_EQ(d[i], 0) << i;
  for (int i = 1; i <= 4; i++) EXPECT_EQ(peek(d - i), GUARD_BYTE);
  for (int i = 0; i < 4; i++) EXPECT_EQ(peek(d + 220 + i), GUARD_BYTE);
  EXPECT_EQ(ownerBefore(d), 0);
  EXPECT_EQ(ownerBefore(bytes(b)), 1);
  // Blocks of a fresh slab are handed out in address order, 256 bytes apart.
  EXPECT_EQ(bytes(b) - d, 256);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(d) % 8, 0u);  // fit for double and int64_t
  EXPECT_EQ(memGetHandle(d), a);
  EXPECT_EQ(memVerifyPtr(d), 1);
  int local = 0;
  EXPECT_EQ(memVerifyPtr(&local), 0);
  memFree(a);
  memFree(b);
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES);
}

TEST(MemTest, SizeClassesFollowTheRequestPlusOverhead) {
  struct Case {
    int size, logSize;
  } cases[] = {{0, 8},    {220, 8},   {221, 9},    {476, 9},
               {477, 10}, {4060, 12}, {65500, 16}, {4194268, 22}};
  for (const Case &c : cases) {
    ClassStats before = classStats(c.logSize);
    int h = memAlloc(c.size);
    ClassStats after = classStats(c.logSize);
    EXPECT_EQ(after.allocops, before.allocops + 1) << c.size;
    EXPECT_EQ(after.size, 1 << c.logSize);
    // Capacity 2^logSize - 36: the rear guard sits right after it.
    uint8_t *d = bytes(h);
    int capacity = (1 << c.logSize) - BLOCK_OVERHEAD;
    EXPECT_EQ(peek(d + capacity), GUARD_BYTE) << c.size;
    EXPECT_EQ(peek(d + capacity + 3), GUARD_BYTE) << c.size;
    EXPECT_EQ(after.count, before.count > 0 ? before.count : 1 << (MAX_LOG_SIZE - c.logSize));
    memFree(h);
  }
}

TEST(MemTest, FreshPoolCountersAndBlockReport) {
  int h = memAlloc(100);
  ClassStats c = classStats(8);
  EXPECT_EQ(c.size, 256);
  EXPECT_EQ(c.count, 16384);
  EXPECT_EQ(c.free, 16383);
  EXPECT_EQ(c.allocops, 1);
  EXPECT_EQ(c.freeops, 0);
  EXPECT_EQ(c.peak, 1);
  EXPECT_EQ(c.delta, -1);
  EXPECT_EQ(classStats(8).delta, 0);  // relative to the previous report
  memFree(h);
  c = classStats(8);
  EXPECT_EQ(c.free, 16384);
  EXPECT_EQ(c.freeops, 1);
  EXPECT_EQ(c.peak, 1);
}

TEST(MemTest, FreedHandleGoesToTheBackOfTheQueue) {
  int a = memAlloc(1);
  int b = memAlloc(1);
  memFree(a);
  int c = memAlloc(1);
  EXPECT_NE(c, a);
  EXPECT_EQ(c, b + 1);
  memFree(b);
  memFree(c);
  // a was freed first: it is handed out only after every record that was
  // free before it, then b, then c.
  std::vector<int> handles;
  for (int i = 0; i < MAX_HANDLES; i++) handles.push_back(memAlloc(0));
  EXPECT_EQ(memFreeHandleCount(), 0);
  EXPECT_EQ(handles[MAX_HANDLES - 3], a);
  EXPECT_EQ(handles[MAX_HANDLES - 2], b);
  EXPECT_EQ(handles[MAX_HANDLES - 1], c);
  EXPECT_EQ(memIsValid(handles[12345]), 1);
  for (int h : handles) memFree(h);
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES);
}

TEST(MemTest, ResizeWithinAndBeyondTheCapacity) {
  int h = memAlloc(10);
  uint8_t *d = bytes(h);
  memcpy(d, "0123456789", 10);
  memResize(h, 0, 200);  // within capacity: nothing moves, content stays
  EXPECT_EQ(bytes(h), d);
  EXPECT_EQ(memGetSize(h), 200);
  memResize(h, 0, 10);
  EXPECT_EQ(memcmp(bytes(h), "0123456789", 10), 0);
  memResize(h, 1, 300);  // beyond: moves, keeps the old size's bytes
  uint8_t *moved = bytes(h);
  EXPECT_NE(moved, d);
  EXPECT_EQ(memcmp(moved, "0123456789", 10), 0);
  for (int i = 10; i < 476; i++) ASSERT_EQ(moved[i], 0) << i;
  EXPECT_EQ(memGetHandle(moved), h);
  EXPECT_EQ(ownerBefore(moved), h - HANDLE_BASE);
  memResize(h, 0, 1000);  // without copy the moved data reads as zeros
  for (int i = 0; i < 988; i++) ASSERT_EQ(bytes(h)[i], 0) << i;
  void *p = memReallocPtr(bytes(h), 5000);
  EXPECT_EQ(memGetSize(h), 5000);
  EXPECT_EQ(memGetData(h), p);
  memFree(h);
}

TEST(MemTest, DupAndPointerVariants) {
  int h = memAlloc(6);
  memcpy(bytes(h), "abcdef", 6);
  int d = memDup(h);
  EXPECT_NE(d, h);
  EXPECT_EQ(memGetSize(d), 6);
  EXPECT_EQ(memcmp(bytes(d), "abcdef", 6), 0);
  char *p = static_cast<char *>(memAllocPtr(3));
  EXPECT_EQ(memGetSize(memGetHandle(p)), 3);
  int freeBefore = memFreeHandleCount();
  memFreePtr(p);
  EXPECT_EQ(memFreeHandleCount(), freeBefore + 1);
  memFree(h);
  memFree(d);
}

TEST(MemTest, IsValidNeverStops) {
  int h = memAlloc(1);
  EXPECT_EQ(memIsValid(h), 1);
  memFree(h);
  EXPECT_EQ(memIsValid(h), 0);
  EXPECT_EQ(memIsValid(0), 0);
  EXPECT_EQ(memIsValid(-1), 0);
  EXPECT_EQ(memIsValid(HANDLE_BASE + MAX_HANDLES), 0);
  EXPECT_EQ(memIsValid(HANDLE_BASE - 1), 0);
}

TEST(MemTest, SeededFillAndVerify) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> size(0, 9000);
  std::vector<int> handles;
  int before = memFreeHandleCount();
  for (int i = 0; i < 3000; i++) {
    int h = memAlloc(size(rng));
    memset(bytes(h), i & 0xff, memGetSize(h));
    handles.push_back(h);
    if (i % 7 == 3) {  // grow an earlier one, keeping its content
      int j = static_cast<int>(rng() % handles.size());
      int old = memGetSize(handles[j]);
      memResize(handles[j], 1, old + 300);
      memset(bytes(handles[j]) + old, j & 0xff, 300);
    }
  }
  for (size_t i = 0; i < handles.size(); i++) {
    const uint8_t *d = bytes(handles[i]);
    for (int k = 0; k < memGetSize(handles[i]); k++) ASSERT_EQ(d[k], i & 0xff) << i << " " << k;
  }
  for (int h : handles) memFree(h);
  EXPECT_EQ(memFreeHandleCount(), before);
}

TEST(MemTest, TwoThreadsAllocateAndFree) {
  auto worker = [](int seed) {
    std::mt19937 rng(seed);
    std::vector<int> live;
    for (int i = 0; i < 20000; i++) {
      if (live.size() < 64 && rng() % 3) {
        int h = memAlloc(static_cast<int>(rng() % 600));
        memset(bytes(h), seed, memGetSize(h));
        live.push_back(h);
      } else if (!live.empty()) {
        int h = live.back();
        live.pop_back();
        const uint8_t *d = bytes(h);
        for (int k = 0; k < memGetSize(h); k++) {
          if (d[k] != seed) ADD_FAILURE() << "block of thread " << seed << " overwritten";
        }
        memFree(h);
      }
    }
    for (int h : live) memFree(h);
  };
  int before = memFreeHandleCount();
  std::thread t1(worker, 1), t2(worker, 2);
  t1.join();
  t2.join();
  EXPECT_EQ(memFreeHandleCount(), before);
}

TEST(MemDeathTest, CloseReturnsTheSlabs) {
  // In a child: nothing can be allocated after memClose.
  int h = memAlloc(1);
  void *d = memGetData(h);
  EXPECT_EXIT(
      {
        int inside = memVerifyPtr(d);
        memClose();
        fprintf(stderr, "%d %d\n", inside, memVerifyPtr(d));
        exit(0);
      },
      ::testing::ExitedWithCode(0), "^1 0\n$");
  memFree(h);
}

TEST(MemStatsTest, EmptyAllocatorReports) {
  const int line = __LINE__ + 1;
  int s = stringAlloc(0);
  EXPECT_EQ(memStatsQuery(1, s), 0);
  // The reply string itself holds one 256-byte block.
  EXPECT_EQ(
      text(s),
      "index=1,alloch=262144,freeh=262143,allocb=16384,freeb=16383,allocm=4194304,freem=4194048");
  EXPECT_EQ(memStatsHandleQuery(0, s), 1);
  EXPECT_EQ(text(s),
            "index=1,module=mem_test,line=" + std::to_string(line) + ",count=1,size=256,handle=0");
  EXPECT_EQ(memStatsHandleQuery(1, s), 0);
  EXPECT_EQ(text(s), "totalh=262144,freeh=262143");
  stringFree(s);
}

TEST(MemStatsTest, HandlesGroupBySiteAndSizeClass) {
  int s = stringAlloc(0);
  int line = 0;
  std::vector<int> hs;
  for (int size : {10, 100, 300}) {
    line = __LINE__ + 1;
    hs.push_back(memAlloc(size));
  }
  std::vector<std::string> replies;
  int next = 0;
  do {
    next = memStatsHandleQuery(next, s);
    replies.push_back(text(s));
  } while (next != 0);
  ASSERT_EQ(replies.size(), 4u);  // the reply string, two groups, the totals
  std::string site = ",module=mem_test,line=" + std::to_string(line);
  EXPECT_EQ(replies[1], "index=2" + site + ",count=2,size=256,handle=1");
  EXPECT_EQ(replies[2], "index=2" + site + ",count=1,size=512,handle=3");
  EXPECT_EQ(replies[3], "totalh=262144,freeh=262140");
  // A new walk starts at index 0 with every mark cleared.
  EXPECT_EQ(memStatsHandleQuery(0, s), 1);
  EXPECT_EQ(memStatsHandleQuery(5, s), 1);
  EXPECT_EQ(text(s), "index=6" + site + ",count=2,size=256,handle=1");
  EXPECT_EQ(memStatsHandleQuery(INT_MAX, s), 1);  // the next index saturates
  EXPECT_EQ(text(s), "index=2147483647" + site + ",count=1,size=512,handle=3");
  for (int h : hs) memFree(h);
  stringFree(s);
}

TEST(MemStatsTest, BlockWalkCoversTheFifteenClasses) {
  int s = stringAlloc(0);
  std::vector<int> sizes;
  int index = 0;
  do {
    index = memStatsBlockQuery(index, s);
    int size = 0;
    sscanf(text(s).c_str(), "index=%*d,size=%d", &size);
    sizes.push_back(size);
  } while (index != 0);
  ASSERT_EQ(sizes.size(), 15u);
  EXPECT_EQ(sizes.front(), 256);
  EXPECT_EQ(sizes.back(), 4194304);
  EXPECT_EQ(memStatsBlockQuery(22, s), 0);
  EXPECT_EQ(text(s).rfind("index=0,size=4194304,", 0), 0u);
  EXPECT_EQ(memStatsBlockQuery(3, s), 4);  // below the smallest class: empty
  EXPECT_EQ(text(s), "index=4,size=8,count=0,free=0,allocops=0,freeops=0,peak=0,delta=0");
  EXPECT_EQ(memStatsBlockQuery(23, s), 0);  // outside the table: the end
  EXPECT_EQ(memStatsBlockQuery(-1, s), 0);
  stringFree(s);
}

TEST(MemStatsTest, StatsPrintsEveryReport) {
  ::testing::internal::CaptureStdout();
  memStats();
  std::string out = ::testing::internal::GetCapturedStdout();
  auto lines = nktest::lines(out);
  ASSERT_EQ(lines.size(), 17u);  // one group (memStats' own string), totals, 15 classes
  EXPECT_NE(lines[0].find(",module=mem,"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "totalh=262144,freeh=262143");
  EXPECT_EQ(lines[2].rfind("index=9,size=256,", 0), 0u);
  EXPECT_EQ(lines[16].rfind("index=0,size=4194304,", 0), 0u);
}

TEST(MemDeathTest, OversizedRequestHalts) {
  EXPECT_EXIT(
      {
        logToStderr();
        memAlloc(4194269);
      },
      ::testing::ExitedWithCode(1),
      "ERR  __blockAlloc request to allocate 4194305 but max block size is 4194304\n"
      "[^\n]* CRIT Program halted in file mem at line [0-9]+\n");
}

int secondFreeLine;
void freeAgain(int h) {
  secondFreeLine = __LINE__ + 1;
  memFree(h);
}

TEST(MemDeathTest, DoubleFreeHaltsNamingTheSecondCaller) {
  int h = memAlloc(1);
  memFree(h);
  freeAgain(memAlloc(1));  // learns the line
  EXPECT_EXIT(
      {
        logToStderr();
        freeAgain(h);
      },
      ::testing::ExitedWithCode(1),
      "memFreeActual: invalid free handle " + std::to_string(h) + " by mem_test:" +
          std::to_string(secondFreeLine) + "\n[^\n]* CRIT Program halted in file mem at line");
}

TEST(MemDeathTest, DamagedGuardsAreCaughtAtFree) {
  int h = memAlloc(30);
  EXPECT_EXIT(
      {
        logToStderr();
        poke(bytes(h) + 220, 0);  // one byte past the capacity
        memFree(h);
      },
      ::testing::ExitedWithCode(1), "CRIT Assertion failed file mem line");
  EXPECT_EXIT(
      {
        logToStderr();
        poke(bytes(h) - 1, 0);  // one byte before the data
        memFree(h);
      },
      ::testing::ExitedWithCode(1), "CRIT Assertion failed file mem line");
  EXPECT_EXIT(
      {
        logToStderr();
        poke(bytes(h) + 220, 0);  // left behind by a growing resize
        memResize(h, 1, 300);
      },
      ::testing::ExitedWithCode(1), "CRIT Assertion failed file mem line");
  memFree(h);
}

TEST(MemDeathTest, BadHandlesAndPointersStop) {
  int h = memAlloc(1);
  void *d = memGetData(h);
  memFree(h);
  auto expectAssert = [](const std::function<void()> &body) {
    EXPECT_EXIT(
        {
          logToStderr();
          body();
        },
        ::testing::ExitedWithCode(1), "Assertion failed file mem line");
  };
  expectAssert([&] { memGetData(h); });
  expectAssert([&] { memGetSize(h); });
  expectAssert([&] { memGetHandle(d); });  // a freed block's owner is -1
  expectAssert([] { memGetData(12345); });
  expectAssert([] { memFree(0); });
  expectAssert([&] { memResize(h, 1, 10); });
  expectAssert([] { memResize(memAlloc(1), 1, -1); });
  expectAssert([&] { memDup(h); });
}

TEST(MemDeathTest, ExhaustedHandlesStop) {
  EXPECT_EXIT(
      {
        logToStderr();
        for (int i = 0; i <= MAX_HANDLES; i++) memAlloc(0);
      },
      ::testing::ExitedWithCode(1), "Assertion failed file mem line");
}

TEST(MemDeathTest, SecondInitIsReportedAndHarmless) {
  int h = memAlloc(1);
  EXPECT_EXIT(
      {
        logToStderr();
        memInit();
        fprintf(stderr, "still valid %d\n", memIsValid(h));
        exit(0);
      },
      ::testing::ExitedWithCode(0), "WARN memInit\\(\\) was called twice\nstill valid 1\n");
  memFree(h);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(MemDeathTest, SanitizerSeesUseAfterFreeInsideASlab) {
  int h = memAlloc(16);
  char *d = static_cast<char *>(memGetData(h));
  memFree(h);
  EXPECT_DEATH(d[3] = 1, "use-after-poison");
  int g = memAlloc(16);
  char *e = static_cast<char *>(memGetData(g));
  // The rear guard shares an 8-byte granule with the data's last 4 bytes: the
  // sanitizer reports the write without naming the poison.
  EXPECT_DEATH(e[220] = 1, "AddressSanitizer: (use-after-poison|unknown-crash)");
}
#endif

}  // namespace
