#define NK_MODULE "runtime_test"
#include "runtime.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"
#include "timer.h"

namespace {

// The monotonic clock is the tests' own; the wall clock, which the condition
// waits' deadlines use, is the system's unless made to fail.
std::atomic<int64_t> monoUs{int64_t{1000} * 1000000};
std::atomic<bool> wallFails{false};

int fakeTime(clockid_t clock, timespec *ts) {
  if (clock == CLOCK_REALTIME) return wallFails ? -1 : clock_gettime(clock, ts);
  *ts = {static_cast<time_t>(monoUs / 1000000), static_cast<long>(monoUs % 1000000 * 1000)};
  return 0;
}

struct RuntimeEnvironment : ::testing::Environment {
  void SetUp() override {
    memInit();
    timerSetGetTimeFunc(fakeTime);
  }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

// The listing from index 0, a row a line.
std::string listing() {
  std::string rows;
  int s = stringAlloc(0);
  for (int i = 0; runtimeStatsQuery(i, s) == 1; i++)
    rows += std::string(static_cast<char *>(memGetData(s))) + "\n";
  EXPECT_STREQ(static_cast<char *>(memGetData(s)), "");  // the end: no line
  stringFree(s);
  return rows;
}

int deletedRuns;

TEST(RuntimeTest, WokenCallbacksRunOnceAndAreChargedAndListed) {
  std::promise<void> go;
  std::atomic<int> tid{0};
  std::thread other([&] {  // its kernel id is known once it has switched profiles
    go.get_future().wait();
    runtimeSwitch(nullptr);
    tid = static_cast<int>(syscall(SYS_gettid));
  });
  RuntimeProfile *gone = runtimeNewCallback(
      "gone", [](void *) { return ++deletedRuns; }, nullptr);
  RuntimeProfile *cb = runtimeNewCallback(
      "cb", [](void *) { return 3; }, nullptr);
  RuntimeProfile *plain = runtimeNewProfile("plain", other.native_handle());
  runtimeWakeup(gone);
  runtimeWakeup(plain);  // refused: it has no callback
  runtimeWakeup(cb);
  runtimeWakeup(cb);            // queued once, counted twice
  runtimeDeleteCallback(gone);  // unlisted, and its wake-up dropped
  runtimeSleep(60000000);       // returns at once; starts the statistics period
  monoUs += 250000;
  runtimeExecCallbacks();  // runs cb once, charging 0.25 s to "sleep"
  runtimeExecCallbacks();
  EXPECT_EQ(deletedRuns, 0);
  monoUs += 10250000;  // cb was current 10.25 s: charged 9999999 us
  runtimeSleep(0);     // 10.5 s into the period: roll over
  const std::string me = ",thread=" + std::to_string(syscall(SYS_gettid)) + ",",
                    idle = "count=0,exec=0,events=0,load=0,min=0,max=0\n";
  EXPECT_EQ(listing(), "index=1,name=cb" + me +
                           "count=2,exec=1,events=3,load=9999,min=999999,max=9999999\n" +
                           "index=2,name=plain,thread=0," + idle + "index=3,name=sleep" + me +
                           "count=0,exec=0,events=0,load=250,min=0,max=250000\n");
  go.set_value();
  other.join();
  runtimeTiming("timed");
  runtimeTiming("timed");  // found by name, not made again
  std::string rows = listing();
  EXPECT_NE(rows.find("index=2,name=plain,thread=" + std::to_string(tid) + "," + idle), rows.npos);
  EXPECT_EQ(rows.substr(rows.find("index=4")), "index=4,name=timed" + me + idle);
  // Of two profiles named alike the first is timed, then the second once the first is deleted;
  // a listing goes on after its last row also when that row's profile is deleted meanwhile.
  RuntimeProfile *first = runtimeNewCallback(
      "dup", [](void *) { return 0; }, nullptr);
  runtimeNewProfile("dup", pthread_self());
  runtimeTiming("dup");
  monoUs += 7;
  runtimeSwitch(nullptr);
  int s = stringAlloc(0);
  std::string row;
  for (int i = 0; row.find("name=dup") == row.npos && runtimeStatsQuery(i, s); i++) {
    row = static_cast<char *>(memGetData(s));
  }
  EXPECT_EQ(row, "index=5,name=dup" + me + "count=0,exec=0,events=0,load=0,min=7,max=7");
  runtimeDeleteCallback(first);
  runtimeStatsQuery(5, s);
  EXPECT_EQ(static_cast<char *>(memGetData(s)),
            "index=6,name=dup" + me + idle.substr(0, idle.size() - 1));
  stringFree(s);
  runtimeTiming("dup");
  monoUs += 5;
  runtimeSwitch(nullptr);
  rows = listing();
  EXPECT_EQ(rows.substr(rows.find("name=dup")),
            "name=dup" + me + "count=0,exec=0,events=0,load=0,min=0,max=5\n");
}

TEST(RuntimeTest, LoadAverageWeighsByElapsedTime) {
  RuntimeProfile *p = runtimeNewProfile("load", pthread_self());
  nktest::LogCapture log;
  nkloglevelset("test", "INFO");
  runtimeLoadAverage(p, 1, 5000000);   // from 0
  runtimeLoadAverage(p, 7, 10000000);  // forgets the old load, no message
  runtimeLoadAverage(p, 1, 5000000);
  runtimeSwitch(p);  // switching away after 5 s feeds the value 1 in the same way
  monoUs += 5000000;
  runtimeSwitch(nullptr);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "INFO runtimeLoadAverage factor is 0.50 val is 1 load=0.50",
                                "INFO runtimeLoadAverage factor is 0.50 val is 1 load=4.00",
                                "INFO runtimeLoadAverage factor is 0.50 val is 1 load=2.50"}));
}

TEST(RuntimeTest, ConditionWaits) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t c = PTHREAD_COND_INITIALIZER;
  uint32_t flag = 1;
  nktest::LogCapture log;
  EXPECT_EQ(runtimeTimedCondWait(&m, &c, &flag, 60000000), 0);  // set already: no wait
  EXPECT_EQ(runtimeCondWait(&m, &c, &flag), 0);
  flag = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runtimeTimedCondWait(&m, &c, &flag, 200000), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(log.count("WARN"), 0);  // a time limit that passes is no failure
  // A wake-up from another thread (most likely while it waits) ends the sleep.
  RuntimeProfile *cb = runtimeNewCallback(
      "net", [](void *) { return 0; }, nullptr);
  std::thread waker([cb] { runtimeWakeup(cb); });
  runtimeSleep(60000000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  waker.join();
  wallFails = true;
  EXPECT_EQ(runtimeTimedCondWait(&m, &c, &flag, 1000), -1);
}

TEST(RuntimeDeathTest, MisuseStopsTheProcess) {
  nksetdefaultlog(stderr);
  EXPECT_EXIT(runtimeNewCallback("none", nullptr, nullptr), ::testing::ExitedWithCode(1),
              "Assertion failed file runtime line");
}

}  // namespace
