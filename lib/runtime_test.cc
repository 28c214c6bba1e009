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

// The monotonic clock is the tests' own (advance()); the wall clock, which
// the condition waits' deadlines use, is the system's unless made to fail.
std::atomic<int64_t> monoNs{int64_t{1000} * 1000000000};
std::atomic<bool> wallFails{false};

int fakeTime(clockid_t clock, timespec *ts) {
  int64_t ns = monoNs;
  *ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  if (clock != CLOCK_REALTIME) return 0;
  if (wallFails) return -1;
  clock_gettime(CLOCK_REALTIME, ts);
  return 0;
}

struct RuntimeEnvironment : ::testing::Environment {
  void SetUp() override {
    memInit();
    timerSetGetTimeFunc(fakeTime);
  }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

void advance(int64_t us) { monoNs += us * 1000; }

// Every line of a listing started with index 0.
std::vector<std::string> listing() {
  std::vector<std::string> out;
  int s = stringAlloc(0);
  for (int i = 0; runtimeStatsQuery(i, s) == 1; i++)
    out.push_back(static_cast<char *>(memGetData(s)));
  stringFree(s);
  return out;
}

// A listing row of this thread's profile, or of thread tid's.
std::string row(int index, const std::string &name, const std::string &rest, int tid = -1) {
  if (tid == -1) tid = static_cast<int>(syscall(SYS_gettid));
  return "index=" + std::to_string(index) + ",name=" + name + ",thread=" + std::to_string(tid) +
         "," + rest;
}
const char kIdle[] = "count=0,exec=0,events=0,load=0,min=0,max=0";

TEST(RuntimeTest, WokenCallbacksRunOnceAndAreChargedAndListed) {
  std::promise<void> go;
  std::atomic<int> tid{0};
  std::thread other([&] {  // its kernel id is known once it has switched profiles
    go.get_future().wait();
    runtimeSwitch(nullptr);
    tid = static_cast<int>(syscall(SYS_gettid));
  });
  RuntimeProfile *cb = runtimeNewCallback(
      "cb", [](void *) { return 3; }, nullptr);
  RuntimeProfile *plain = runtimeNewProfile("plain", other.native_handle());
  runtimeWakeup(plain);  // refused: it has no callback
  runtimeWakeup(cb);
  runtimeWakeup(cb);       // queued once, counted twice
  runtimeSleep(60000000);  // returns at once; starts the statistics period
  advance(250000);
  runtimeExecCallbacks();  // runs it once, charging 0.25 s to "sleep"
  runtimeExecCallbacks();
  advance(10250000);  // cb was current 10.25 s: charged 9999999 us
  runtimeSleep(0);    // 10.5 s into the period: roll over
  EXPECT_EQ(listing(), (std::vector<std::string>{
                           row(1, "cb", "count=2,exec=1,events=3,load=9999,min=999999,max=9999999"),
                           row(2, "plain", kIdle, 0),
                           row(3, "sleep", "count=0,exec=0,events=0,load=250,min=0,max=250000")}));
  go.set_value();
  other.join();
  EXPECT_EQ(listing()[1], row(2, "plain", kIdle, tid));
  runtimeTiming("timed");
  runtimeTiming("timed");  // found by name, not made again
  EXPECT_EQ(listing().back(), row(4, "timed", kIdle));
}

TEST(RuntimeTest, LoadAverageWeighsByElapsedTime) {
  RuntimeProfile *p = runtimeNewProfile("load", pthread_self());
  nktest::LogCapture log;
  nkloglevelset("test", "INFO");
  runtimeLoadAverage(p, 1, 5000000);   // from 0
  runtimeLoadAverage(p, 7, 10000000);  // forgets the old load, no message
  runtimeLoadAverage(p, 1, 5000000);
  runtimeLoadAverage(p, 9, 0);  // nothing of the new value counts
  EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                "INFO runtimeLoadAverage factor is 0.50 val is 1 load=0.50",
                                "INFO runtimeLoadAverage factor is 0.50 val is 1 load=4.00",
                                "INFO runtimeLoadAverage factor is 1.00 val is 9 load=4.00"}));
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
  EXPECT_EXIT(runtimeDeleteCallback(runtimeNewProfile("plain", pthread_self())),
              ::testing::ExitedWithCode(1), "Assertion failed file runtime line");
  EXPECT_EXIT(runtimeNewCallback("none", nullptr, nullptr), ::testing::ExitedWithCode(1),
              "Assertion failed file runtime line");
}

}  // namespace
