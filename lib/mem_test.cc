#define NK_MODULE "mem_test"
#include "mem.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

// Every TEST runs in a process of its own under CTest, on a fresh allocator:
// the handle numbers and counters below are those of a new program.
class MemTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { memInit(); }
};

uint8_t *bytes(int handle) { return static_cast<uint8_t *>(memGetData(handle)); }
std::string text(int s) { return static_cast<char *>(memGetData(s)); }
// The guard bytes, poisoned under AddressSanitizer, read and damaged on purpose.
__attribute__((no_sanitize("address"))) uint8_t peek(const uint8_t *p) { return *p; }
__attribute__((no_sanitize("address"))) void poke(uint8_t *p, uint8_t v) { *p = v; }

// One class's block report, through a string of the 8 KiB class, else unused.
std::string blockReport(int logSize) {
  int s = stringAlloc(5000);
  memStatsBlockQuery(logSize, s);
  std::string report = text(s);
  stringFree(s);
  return report;
}

TEST_F(MemTest, FreshHandlesBlocksAndSizeClasses) {
  int a = memAlloc(0), b = memAlloc(5);
  EXPECT_EQ(a, 1437226410);
  EXPECT_EQ(b, 1437226411);
  EXPECT_EQ(memGetSize(b), 5);
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES - 2);
  uint8_t *d = bytes(a);
  for (int i = 0; i < 220; i++) ASSERT_EQ(d[i], 0) << i;
  EXPECT_EQ(bytes(b) - d, 256);  // a new slab hands out blocks in address order
  EXPECT_EQ(reinterpret_cast<uintptr_t>(d) % 8, 0u);  // fit for double and int64_t
  EXPECT_EQ(memGetHandle(d), a);
  EXPECT_EQ(memVerifyPtr(d), 1);
  EXPECT_EQ(memVerifyPtr(&a), 0);
  EXPECT_EQ(blockReport(8),
            "index=9,size=256,count=16384,free=16382,allocops=2,freeops=0,peak=2,delta=-2");
  memFree(a);
  memFree(b);
  EXPECT_EQ(peek(d), 0xFF);  // a freed block's whole capacity
  EXPECT_EQ(peek(d + 219), 0xFF);
  EXPECT_EQ(blockReport(8),  // delta: against the previous report
            "index=9,size=256,count=16384,free=16384,allocops=2,freeops=2,peak=2,delta=0");
  // Each class but the first is new here: one slab of it, one block taken.
  const int cases[][2] = {{0, 8},    {220, 8},   {221, 9},    {476, 9},
                          {477, 10}, {4060, 12}, {65500, 16}, {4194268, 22}};
  for (const auto &[size, logSize] : cases) {
    uint8_t *p = bytes(memAlloc(size));
    int capacity = (1 << logSize) - BLOCK_OVERHEAD;  // the rear guard follows it
    EXPECT_EQ(peek(p + capacity), GUARD_BYTE) << size;
    EXPECT_EQ(peek(p + capacity + 3), GUARD_BYTE) << size;
    int count = 0, free = 0;
    sscanf(blockReport(logSize).c_str(), "index=%*d,size=%*d,count=%d,free=%d", &count, &free);
    EXPECT_EQ(count, 1 << (MAX_LOG_SIZE - logSize)) << size;
    EXPECT_EQ(count - free, 1) << size;
    memFreePtr(p);
  }
  EXPECT_EQ(blockReport(8),  // the peak stays the highest seen
            "index=9,size=256,count=16384,free=16384,allocops=4,freeops=4,peak=2,delta=0");
  // A class whose slab is used up hands out its freed blocks, oldest first.
  int x = memAlloc(2097116), y = memAlloc(2097116);  // the two blocks of a class-21 slab
  uint8_t *px = bytes(x), *py = bytes(y);
  memFree(y);
  memFree(x);
  EXPECT_EQ(bytes(memAlloc(1500000)), py);
  EXPECT_EQ(bytes(memAlloc(1500000)), px);
}

TEST_F(MemTest, ResizeDupAndValidity) {
  int h = memAlloc(10);
  uint8_t *d = bytes(h);
  memcpy(d, "0123456789", 10);
  memResize(h, 0, 220);  // within the capacity: nothing moves, content stays
  EXPECT_EQ(bytes(h), d);
  EXPECT_EQ(memGetSize(h), 220);
  memResize(h, 0, 10);
  int dup = memDup(h);
  EXPECT_EQ(memGetSize(dup), 10);
  EXPECT_EQ(memcmp(bytes(dup), "0123456789", 11), 0);
  memResize(h, 1, 221);  // beyond: moves, keeps the old size's bytes
  uint8_t *moved = bytes(h);
  EXPECT_NE(moved, d);
  EXPECT_EQ(memcmp(moved, "0123456789", 10), 0);
  for (int i = 10; i < 476; i++) ASSERT_EQ(moved[i], 0) << i;
  EXPECT_EQ(memGetHandle(moved), h);  // the owner moved with the data
  EXPECT_EQ(blockReport(8).rfind("index=9,size=256,count=16384,free=16383,", 0), 0u);
  memResize(h, 0, 1000);  // without copy the moved data reads as zeros
  for (int i = 0; i < 988; i++) ASSERT_EQ(bytes(h)[i], 0) << i;
  void *p = memReallocPtr(bytes(h), 5000);
  EXPECT_EQ(p, memGetData(h));
  EXPECT_EQ(memGetSize(h), 5000);
  EXPECT_EQ(memGetSize(memGetHandle(memAllocPtr(3))), 3);
  memFree(h);
  for (int bad : {h, 0, -1, HANDLE_BASE - 1, HANDLE_BASE + MAX_HANDLES}) {
    EXPECT_EQ(memIsValid(bad), 0) << bad;
  }
  nktest::LogCapture log;
  memInit();  // reported, and harmless
  EXPECT_EQ(log.count("WARN memInit() was called twice"), 1);
  EXPECT_EQ(memIsValid(dup), 1);
  memClose();  // no slab left
  EXPECT_EQ(memVerifyPtr(d), 0);
}

TEST_F(MemTest, StatisticsReports) {
  const int stringLine = __LINE__ + 1;
  int s = stringAlloc(0);
  EXPECT_EQ(memStatsQuery(1, s), 0);  // the string itself holds one 256-byte block
  EXPECT_EQ(
      text(s),
      "index=1,alloch=262144,freeh=262143,allocb=16384,freeb=16383,allocm=4194304,freem=4194048");
  std::vector<int> hs;
  for (int size : {10, 100, 300}) hs.push_back(memAlloc(size));
  const int line = __LINE__ - 1;
  hs.push_back(memAllocActual(1, 7, "a_module_name_of_20"));  // kept to 15 characters
  std::vector<std::string> replies;
  int next = 0;
  do {
    next = memStatsHandleQuery(next, s);
    replies.push_back(text(s));
  } while (next != 0);
  std::string site = ",module=mem_test,line=" + std::to_string(line);
  EXPECT_EQ(replies, (std::vector<std::string>{
                         "index=1,module=mem_test,line=" + std::to_string(stringLine) +
                             ",count=1,size=256,handle=0",
                         "index=2" + site + ",count=2,size=256,handle=1",
                         "index=2" + site + ",count=1,size=512,handle=3",
                         "index=2,module=a_module_name_o,line=7,count=1,size=256,handle=4",
                         "totalh=262144,freeh=262139"}));
  EXPECT_EQ(memStatsHandleQuery(0, s), 1);  // a new walk: every mark cleared
  EXPECT_EQ(text(s), replies[0]);
  for (int h : hs) memFree(h);
  stringFree(s);
  ::testing::internal::CaptureStdout();
  memStats();
  auto lines = nktest::lines(::testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 17u);  // memStats' own string, the totals, 15 classes
  EXPECT_EQ(lines[1], "totalh=262144,freeh=262143");
  EXPECT_EQ(lines[16].rfind("index=0,size=4194304,", 0), 0u);
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES);  // memStats gave its string back
}

// A handle walk goes on where it stopped while records come and go between
// its calls: each call reports the first unmarked record's group, counted
// over the whole used list. Records are named w:<line>, and allocated after
// the walk's string: -, w1, w2, w3, w4 and a second w2. Steps: "q0" starts a
// walk, "q" goes on, "fN" frees the oldest w:N, "aN" allocates one more. Each
// query gives "N/count" for a w group, "-" for the string's and "end".
TEST_F(MemTest, HandleWalkFollowsRecordsFreedAndAddedBetweenCalls) {
  const struct {
    const char *what;
    std::vector<std::string> steps, rows;
  } cases[] = {
      {"a walk, then index 0 starts over",
       {"q0", "q", "q", "q", "q", "q", "q", "q0", "q"},
       {"-", "1/1", "2/2", "3/1", "4/1", "end", "end", "-", "1/1"}},
      {"the group just reported is freed", {"q0", "q", "f1", "q", "q"}, {"-", "1/1", "2/2", "3/1"}},
      {"records added meanwhile come last, a group again when reported before",
       {"q0", "q", "a5", "a1", "q", "q", "q", "q", "q", "q"},
       {"-", "1/1", "2/2", "3/1", "4/1", "5/1", "1/2", "end"}},
      {"after the end, the last record freed and one added",
       {"q0", "q", "q", "q", "q", "q", "f2", "f2", "a6", "q", "q"},
       {"-", "1/1", "2/2", "3/1", "4/1", "end", "6/1", "end"}},
  };
  for (const auto &c : cases) {
    int s = stringAlloc(0);
    std::map<int, std::vector<int>> w;
    for (int line : {1, 2, 3, 4, 2}) w[line].push_back(memAllocActual(0, line, "w"));
    std::vector<std::string> rows;
    int index = 0;
    for (const std::string &step : c.steps) {
      int line = atoi(step.c_str() + 1);
      if (step[0] == 'f') {
        memFree(w[line].front());
        w[line].erase(w[line].begin());
      } else if (step[0] == 'a') {
        w[line].push_back(memAllocActual(0, line, "w"));
      } else {
        index = step == "q0" ? 0 : index + 1;
        if (memStatsHandleQuery(index, s) == 0) {
          rows.push_back("end");
          continue;
        }
        char module[16];
        int at = 0, count = 0;
        sscanf(text(s).c_str(), "index=%*d,module=%15[^,],line=%d,count=%d", module, &at, &count);
        rows.push_back(strcmp(module, "w") ? "-"
                                           : std::to_string(at) + "/" + std::to_string(count));
      }
    }
    EXPECT_EQ(rows, c.rows) << c.what;
    for (auto &group : w) {
      for (int h : group.second) memFree(h);
    }
    stringFree(s);
  }
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES);
}

// Two threads allocating, growing and freeing at once lose no count, and
// every handle and block comes back. Together they take more handles than
// there are, so freed records are handed out again.
TEST_F(MemTest, ThreadsSharingTheAllocatorKeepExactCounts) {
  constexpr int kRounds = 70000;
  auto work = [] {
    for (int i = 0; i < kRounds; i++) {
      int a = memAlloc(1 + i % 200), b = memAlloc(300);
      bytes(a)[0] = 1;
      memResize(a, 1, 250);
      ASSERT_EQ(bytes(a)[0], 1);
      memFree(a);
      memFree(b);
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES);
  int s = stringAlloc(5000);
  memStatsQuery(1, s);  // the string's own block is the only one in use
  EXPECT_EQ(text(s),
            "index=1,alloch=262144,freeh=262143,allocb=25088,freeb=25087,allocm=12582912,"
            "freem=12574720");
  stringFree(s);
  // Every operation counted; at most one block of each size per thread in use at a time.
  const std::string rounds = std::to_string(2 * kRounds), twice = std::to_string(4 * kRounds);
  const std::pair<std::string, int> classes[] = {
      {"index=9,size=256,count=16384,free=16384,allocops=" + rounds + ",freeops=" + rounds, 2},
      {"index=10,size=512,count=8192,free=8192,allocops=" + twice + ",freeops=" + twice, 4}};
  for (int i : {0, 1}) {
    std::string report = blockReport(MIN_LOG_SIZE + i);
    size_t at = report.find(",peak=");
    EXPECT_EQ(report.substr(0, at), classes[i].first);
    int peak = atoi(report.c_str() + at + 6);
    EXPECT_TRUE(peak >= classes[i].second / 2 && peak <= classes[i].second) << report;
  }
}

// A handle walk over many records holds the lock for milliseconds: threads
// that want it meanwhile go to sleep, and every one must be woken.
TEST_F(MemTest, ThreadsSleepingThroughALongWalkAreAllWoken) {
  std::vector<int> hs(200000);
  for (int &h : hs) h = memAlloc(0);
  std::atomic<bool> done{false};
  auto work = [&done] {
    while (!done) memFree(memAlloc(0));
  };
  std::thread a(work), b(work);
  int s = stringAlloc(100);
  for (int i = 0; i < 4; i++) EXPECT_EQ(memStatsHandleQuery(0, s), 1);
  done = true;
  a.join();
  b.join();
  stringFree(s);
  for (int h : hs) memFree(h);
  EXPECT_EQ(memFreeHandleCount(), MAX_HANDLES);
}

using MemDeathTest = MemTest;

// One of each way to stop: a halt with its reason, a damaged guard's
// assertion, and the report of a handle freed twice.
TEST_F(MemDeathTest, MisuseStops) {
  nksetdefaultlog(stderr);
  const auto status1 = ::testing::ExitedWithCode(1);
  EXPECT_EXIT(memAlloc(4194269), status1,
              "ERR  __blockAlloc request to allocate 4194305 but max block size is 4194304\n"
              "[^\n]* CRIT Program halted in file mem at line [0-9]+\n");
  int h = memAlloc(30);
  [[maybe_unused]] void *d = memGetData(h);                    // read after the free under ASan
  EXPECT_EXIT((poke(bytes(h) + 220, 0), memFree(h)), status1,  // just past the capacity
              "CRIT Assertion failed file mem line");
  memFree(h);
  EXPECT_EXIT(memFree(h), status1,
              "memFreeActual: invalid free handle " + std::to_string(h) +
                  " by mem_test:[0-9]+\n[^\n]* CRIT Program halted in file mem");
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(static_cast<char *>(d)[3] = 1, "use-after-poison");
  char *e = static_cast<char *>(memGetData(memAlloc(16)));
  // The rear guard shares an 8-byte granule with the data's last 4 bytes: the
  // sanitizer reports the write without naming the poison.
  EXPECT_DEATH(e[220] = 1, "AddressSanitizer: (use-after-poison|unknown-crash)");
#endif
}

}  // namespace
