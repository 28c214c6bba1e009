#define NK_MODULE "runtime_test"
#include "runtime.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"
#include "timer.h"

namespace {

class MemEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MemEnvironment);

// The time source: the raw monotonic clock is the tests' own, moved by
// advance(); the wall clock (the deadlines of the condition waits) is the
// system's unless a test makes it fail or freezes it 100 s ahead on a whole
// second.
std::atomic<int64_t> monoNs{int64_t{1000} * 1000000000};
std::atomic<bool> wallFails{false};
std::atomic<bool> wallFrozen{false};
std::atomic<int> wallReads{0};

int fakeTime(clockid_t clock, struct timespec *ts) {
  if (clock == CLOCK_REALTIME) {
    wallReads++;
    if (wallFails) {
      errno = EIO;
      return -1;
    }
    clock_gettime(CLOCK_REALTIME, ts);
    if (wallFrozen) {
      ts->tv_sec += 100;
      ts->tv_nsec = 0;
    }
    return 0;
  }
  int64_t ns = monoNs.load();
  ts->tv_sec = static_cast<time_t>(ns / 1000000000);
  ts->tv_nsec = static_cast<long>(ns % 1000000000);
  return 0;
}

void advance(int64_t us) { monoNs += us * 1000; }

int32_t kernelTid() { return static_cast<int32_t>(syscall(SYS_gettid)); }

// Every line of a listing started with index 0.
std::vector<std::string> listing() {
  std::vector<std::string> out;
  int s = stringAlloc(0);
  for (int i = 0; runtimeStatsQuery(i, s) == 1; i++)
    out.push_back(static_cast<char *>(memGetData(s)));
  stringFree(s);
  return out;
}

std::string row(int index, const char *name, int tid, const char *rest) {
  return "index=" + std::to_string(index) + ",name=" + name + ",thread=" + std::to_string(tid) +
         "," + rest;
}

struct Counter {
  int calls = 0;
  int result = 0;
  RuntimeProfile *wakeOnFirst = nullptr;  // woken from inside the first run
  bool deleteSelf = false;
  RuntimeProfile *self = nullptr;
};

int countRun(void *arg) {
  Counter *c = static_cast<Counter *>(arg);
  if (c->calls++ == 0 && c->wakeOnFirst) runtimeWakeup(c->wakeOnFirst);
  if (c->deleteSelf) runtimeDeleteCallback(c->self);
  return c->result;
}

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wallFails = false;
    wallFrozen = false;
    timerSetGetTimeFunc(fakeTime);
  }
  void TearDown() override {
    if (capture_) {
      nksetdefaultlog(nullptr);
      nkloglevelset("test", "WARN");
      fclose(capture_);
    }
  }
  // From here on, messages up to INFO go to a file that logged() reads.
  void captureLog() {
    capture_ = tmpfile();
    ASSERT_NE(capture_, nullptr);
    nksetdefaultlog(capture_);
    nkloglevelset("test", "INFO");
  }
  // The runtime's messages since captureLog, as "LEVEL message".
  std::vector<std::string> logged() {
    fflush(capture_);
    rewind(capture_);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, capture_)) > 0) text.append(buf, n);
    std::vector<std::string> out;
    for (const std::string &line : nktest::lines(text)) {
      size_t at = line.find(' ', line.find(' ') + 1);  // after the date and time
      std::string msg = line.substr(at + 1);
      if (msg.find(" runtime") == 4) out.push_back(msg);
    }
    return out;
  }
  int occurrences(const std::string &msg) {
    std::vector<std::string> all = logged();
    return static_cast<int>(std::count(all.begin(), all.end(), msg));
  }
  FILE *capture_ = nullptr;
};

TEST_F(RuntimeTest, PendingCallbackEndsSleepAtOnceAndIsListed) {
  Counter c;
  c.result = 3;
  RuntimeProfile *cb = runtimeNewCallback("cb", countRun, &c);
  runtimeWakeup(cb);
  runtimeWakeup(cb);  // queued once, counted twice
  auto start = std::chrono::steady_clock::now();
  runtimeSleep(60000000);  // starts the statistics period
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  advance(250000);
  runtimeExecCallbacks();  // charges 0.25 s to "sleep"
  EXPECT_EQ(c.calls, 1);
  runtimeExecCallbacks();
  EXPECT_EQ(c.calls, 1);
  advance(10250000);  // cb was current 10.25 s: charged 9999999 us
  runtimeSleep(0);    // 10.5 s into the period: roll over
  int t = kernelTid();
  EXPECT_EQ(listing(),
            (std::vector<std::string>{
                row(1, "cb", t, "count=2,exec=1,events=3,load=9999,min=999999,max=9999999"),
                row(2, "sleep", t, "count=0,exec=0,events=0,load=250,min=0,max=250000")}));
}

TEST_F(RuntimeTest, CallbackWokenWhileRunningRunsAgain) {
  Counter c;
  RuntimeProfile *cb = runtimeNewCallback("again", countRun, &c);
  c.wakeOnFirst = cb;
  runtimeWakeup(cb);
  runtimeExecCallbacks();
  EXPECT_EQ(c.calls, 2);
  runtimeExecCallbacks();
  EXPECT_EQ(c.calls, 2);
}

TEST_F(RuntimeTest, SwitchChargesTheProfileThatWasCurrent) {
  Counter c;
  RuntimeProfile *a = runtimeNewCallback("A", countRun, &c);
  RuntimeProfile *b = runtimeNewProfile("B", pthread_self());
  runtimeSleep(0);
  runtimeSwitch(a);
  advance(2500000);
  runtimeSwitch(b);  // A: 2.5 s, its max; its min stays 999999
  runtimeSwitch(a);
  advance(500000);
  runtimeSwitch(b);  // A: 0.5 s, its new min
  advance(12000000);
  runtimeSwitch(a);  // B: 12 s, charged 9999999; a plain profile's min stays 0
  advance(500000);
  runtimeSleep(0);  // A: 0.5 s more; 15.5 s into the period
  int t = kernelTid();
  EXPECT_EQ(listing(),
            (std::vector<std::string>{
                row(1, "A", t, "count=0,exec=0,events=0,load=3500,min=500000,max=2500000"),
                row(2, "B", t, "count=0,exec=0,events=0,load=9999,min=0,max=9999999"),
                row(3, "sleep", t, "count=0,exec=0,events=0,load=0,min=0,max=0")}));
}

TEST_F(RuntimeTest, LoadAverageWeighsByElapsedTime) {
  RuntimeProfile *p = runtimeNewProfile("load", pthread_self());
  captureLog();
  runtimeLoadAverage(p, 1, 5000000);   // from 0
  runtimeLoadAverage(p, 7, 10000000);  // forgets the old load, no message
  runtimeLoadAverage(p, 1, 5000000);
  runtimeLoadAverage(p, 9, 0);  // nothing of the new value counts
  EXPECT_EQ(logged(), (std::vector<std::string>{
                          "INFO runtimeLoadAverage factor is 0.50 val is 1 load=0.50",
                          "INFO runtimeLoadAverage factor is 0.50 val is 1 load=4.00",
                          "INFO runtimeLoadAverage factor is 1.00 val is 9 load=4.00"}));
}

TEST_F(RuntimeTest, RollOverCatchesUpAndSkipsFixedProfiles) {
  RuntimeProfile *fixed = runtimeNewProfile("fixed", pthread_self());
  RuntimeProfile *added = runtimeNewProfile("added", pthread_self());
  runtimeStatSet(fixed, 42);
  runtimeSleep(0);
  runtimeStatAdd(fixed, 5);
  runtimeStatAdd(added, 5);
  advance(25000000);
  runtimeSleep(0);  // rolls once; the period start moves to 10 s only
  EXPECT_NE(listing()[1].find(",count=5,"), std::string::npos);
  runtimeStatAdd(added, 7);
  runtimeSleep(0);  // 15 s behind still: rolls again
  EXPECT_NE(listing()[1].find(",count=7,"), std::string::npos);
  runtimeStatAdd(added, 9);
  runtimeSleep(0);  // 5 s into the period: no roll-over
  std::vector<std::string> rows = listing();
  EXPECT_NE(rows[0].find("name=fixed,thread=" + std::to_string(kernelTid()) + ",count=42,"),
            std::string::npos);
  EXPECT_NE(rows[1].find(",count=7,"), std::string::npos);
}

TEST_F(RuntimeTest, StatsQueryListsOnceAndRestartsAtZero) {
  runtimeNewProfile("first", pthread_self());
  runtimeNewProfile("second", pthread_self());
  int s = stringDup("stale text");
  auto text = [&] { return std::string(static_cast<char *>(memGetData(s))); };
  const std::string tail =
      ",thread=" + std::to_string(kernelTid()) + ",count=0,exec=0,events=0,load=0,min=0,max=0";
  EXPECT_EQ(runtimeStatsQuery(0, s), 1);
  EXPECT_EQ(text(), "index=1,name=first" + tail);
  EXPECT_EQ(runtimeStatsQuery(INT_MAX, s), 1);  // the index only numbers the line
  EXPECT_EQ(text(), "index=2147483647,name=second" + tail);
  EXPECT_EQ(runtimeStatsQuery(2, s), 0);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(runtimeStatsQuery(3, s), 0);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(runtimeStatsQuery(0, s), 1);
  EXPECT_EQ(text(), "index=1,name=first" + tail);
  stringFree(s);
}

TEST_F(RuntimeTest, ThreadIsTheKernelIdOfTheProfilesThread) {
  std::promise<int32_t> tidOfSwitcher;
  std::promise<void> listed;
  std::shared_future<void> done = listed.get_future();
  std::thread switcher([&tidOfSwitcher, done] {
    runtimeSwitch(nullptr);  // known to the runtime from now on
    tidOfSwitcher.set_value(kernelTid());
    done.wait();
  });
  std::thread silent([done] { done.wait(); });
  int32_t t = tidOfSwitcher.get_future().get();
  runtimeNewProfile("known", switcher.native_handle());
  runtimeNewProfile("unknown", silent.native_handle());
  std::vector<std::string> rows = listing();
  listed.set_value();
  switcher.join();
  silent.join();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], row(1, "known", t, "count=0,exec=0,events=0,load=0,min=0,max=0"));
  EXPECT_EQ(rows[1], row(2, "unknown", 0, "count=0,exec=0,events=0,load=0,min=0,max=0"));
}

TEST_F(RuntimeTest, TimedCondWaitResults) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t c = PTHREAD_COND_INITIALIZER;
  uint32_t flag = 1;
  captureLog();
  EXPECT_EQ(runtimeTimedCondWait(&m, &c, &flag, 60000000), 0);  // set already: no wait
  flag = 0;
  EXPECT_EQ(runtimeTimedCondWait(&m, &c, &flag, 0), -1);
  wallFails = true;
  EXPECT_EQ(runtimeTimedCondWait(&m, &c, &flag, 1000), -1);
  wallFails = false;
  EXPECT_EQ(logged(),
            (std::vector<std::string>{
                "INFO runtimeTimedCondWait 60000000 usec",
                "INFO runtimeTimedCondWait flag after is 1", "INFO runtimeTimedCondWait 0 usec",
                "INFO runtimeTimedCondWait flag after is 0", "INFO runtimeTimedCondWait 1000 usec",
                "WARN runtimeTimedCondWait error getting real time clock"}));
}

// A deadline 100 s ahead whose nanoseconds a negative usec makes negative:
// the condition wait refuses it at once, and the wait must end, not retry.
TEST_F(RuntimeTest, FailingTimedWaitDoesNotSpin) {
  wallFrozen = true;
  auto result = std::async(std::launch::async, [] {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    uint32_t flag = 0;
    return runtimeTimedCondWait(&m, &c, &flag, -1);
  });
  ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(result.get(), -1);
}

TEST_F(RuntimeTest, CondWaitReturnsOnceAnotherThreadSetsTheFlag) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t c = PTHREAD_COND_INITIALIZER;
  uint32_t flag = 0;
  captureLog();
  std::thread setter([&] {
    pthread_mutex_lock(&m);
    flag = 1;
    pthread_cond_broadcast(&c);
    pthread_mutex_unlock(&m);
  });
  EXPECT_EQ(runtimeCondWait(&m, &c, &flag), 0);
  setter.join();
  EXPECT_EQ(flag, 1u);  // never cleared by the wait
  EXPECT_EQ(logged(), (std::vector<std::string>{"INFO runtimeCondWait acquiring mutuex",
                                                "INFO runtimeCondWait done"}));
}

TEST_F(RuntimeTest, WakeupFromAnotherThreadEndsSleepAtOnce) {
  Counter c;
  RuntimeProfile *cb = runtimeNewCallback("net", countRun, &c);
  int readsBefore = wallReads;
  std::thread waker([&] {
    while (wallReads == readsBefore) std::this_thread::yield();  // the sleep took its deadline
    runtimeWakeup(cb);
  });
  auto start = std::chrono::steady_clock::now();
  runtimeSleep(60000000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  waker.join();
  runtimeExecCallbacks();
  EXPECT_EQ(c.calls, 1);
}

TEST_F(RuntimeTest, ConcurrentWakeupsAreAllCounted) {
  constexpr int kPerThread = 2000;
  Counter c;
  c.result = 1;
  RuntimeProfile *cb = runtimeNewCallback("busy", countRun, &c);
  runtimeSleep(0);  // starts the statistics period
  std::atomic<int> wakersLeft{2};
  std::atomic<bool> stop{false};
  auto wake = [&] {
    for (int i = 0; i < kPerThread; i++) runtimeWakeup(cb);
    wakersLeft--;
  };
  std::thread w1(wake), w2(wake);
  std::thread reader([&] {  // reads the counters while they change
    int s = stringAlloc(0);
    while (!stop) runtimeStatsQuery(0, s);
    stringFree(s);
  });
  while (wakersLeft > 0) {
    runtimeSleep(100000);
    runtimeExecCallbacks();
  }
  w1.join();
  w2.join();
  runtimeExecCallbacks();
  stop = true;
  reader.join();
  advance(11000000);
  runtimeSleep(0);
  int runs = c.calls;
  EXPECT_GE(runs, 1);
  EXPECT_LE(runs, 2 * kPerThread);
  std::string expected = "count=" + std::to_string(2 * kPerThread) +
                         ",exec=" + std::to_string(runs) + ",events=" + std::to_string(runs) + ",";
  EXPECT_NE(listing()[0].find(expected), std::string::npos) << listing()[0];
}

TEST_F(RuntimeTest, WakeupOfAProfileWithoutCallbackIsRefused) {
  RuntimeProfile *plain = runtimeNewProfile("plain", pthread_self());
  Counter c;
  RuntimeProfile *cb = runtimeNewCallback("cb", countRun, &c);
  captureLog();
  runtimeWakeup(plain);
  runtimeSleep(0);
  runtimeExecCallbacks();
  runtimeWakeup(cb);
  runtimeSleep(0);
  runtimeExecCallbacks();
  runtimeSleep(0);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(occurrences("WARN runtimeWakeup profile plain has no callback"), 1);
  std::vector<std::string> after;
  for (const std::string &l : logged()) {
    if (l.find("flag after") != std::string::npos) after.push_back(l);
  }
  EXPECT_EQ(after, (std::vector<std::string>{"INFO runtimeTimedCondWait flag after is 0",
                                             "INFO runtimeTimedCondWait flag after is 1",
                                             "INFO runtimeTimedCondWait flag after is 0"}));
}

TEST_F(RuntimeTest, DeletedCurrentProfileIsChargedNothing) {
  Counter c, quitterRun, pendingRun;
  RuntimeProfile *cb = runtimeNewCallback("gone", countRun, &c);
  runtimeExecute(cb);  // this thread's current profile
  runtimeDeleteCallback(cb);
  RuntimeProfile *quitter = runtimeNewCallback("quitter", countRun, &quitterRun);
  quitterRun.self = quitter;
  quitterRun.deleteSelf = true;
  runtimeWakeup(quitter);
  RuntimeProfile *pending = runtimeNewCallback("pending", countRun, &pendingRun);
  runtimeWakeup(pending);
  runtimeDeleteCallback(pending);  // its wake-up goes with it
  captureLog();
  runtimeExecCallbacks();  // quitter deletes itself while current
  EXPECT_EQ(quitterRun.calls, 1);
  EXPECT_EQ(pendingRun.calls, 0);
  advance(2000000);
  runtimeTiming("after");  // the switch finds no current profile to charge

  // The same for the current profile of another thread.
  Counter t;
  RuntimeProfile *theirs = runtimeNewCallback("theirs", countRun, &t);
  std::promise<void> ran, deleted;
  std::thread other([&] {
    runtimeExecute(theirs);
    ran.set_value();
    deleted.get_future().wait();
    runtimeSwitch(nullptr);
  });
  ran.get_future().wait();
  runtimeDeleteCallback(theirs);
  deleted.set_value();
  other.join();
  EXPECT_EQ(t.calls, 1);
  std::vector<std::string> all = logged();
  EXPECT_EQ(
      std::count_if(all.begin(), all.end(),
                    [](const std::string &l) { return l.find("factor") != std::string::npos; }),
      0);
  std::vector<std::string> rows = listing();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].find("index=1,name=after,"), 0u);
}

void deletePlainProfile() {
  nksetdefaultlog(stderr);
  runtimeDeleteCallback(runtimeNewProfile("plain", pthread_self()));
}

void callbackWithoutFunction() {
  nksetdefaultlog(stderr);
  runtimeNewCallback("none", nullptr, nullptr);
}

TEST(RuntimeDeathTest, MisuseStopsTheProcess) {
  EXPECT_EXIT(deletePlainProfile(), ::testing::ExitedWithCode(1),
              "Assertion failed file runtime line");
  EXPECT_EXIT(callbackWithoutFunction(), ::testing::ExitedWithCode(1),
              "Assertion failed file runtime line");
}

}  // namespace
