#define NK_MODULE "hash_test"
#include "hash.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

class HashEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new HashEnvironment);

// Names with the home slot 190 in a table of 1237: 24930, 190 and 1427, each
// mod 1237. The bytes 0x80 and above must count as 190 and 0x93 everywhere,
// not as negative numbers where plain char is signed.
const char kAb[] = "ab";
const char kBe[] = "\xbe";
const char kThird[] = "\x05\x93";
// Homes 1236 (the last slot) and 0.
const char kLastA[] = "\x04\xd4";
const char kLastB[] = "\x09\xa9";

class HashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    freeBefore_ = memFreeHandleCount();
    table_ = hashAlloc(1237);
  }
  void TearDown() override {
    hashFree(table_);
    EXPECT_EQ(memFreeHandleCount(), freeBefore_);
  }
  const HashSlot &slot(int s) { return static_cast<HashTable *>(memGetData(table_))->slots[s]; }
  // The logged messages, without their date and time.
  std::vector<std::string> logged() { return log_.messages(); }
  nktest::LogCapture log_;
  int freeBefore_ = 0;
  int table_ = 0;
};

TEST(HashPrimesTest, RoundUpPicksTheFirstPrimeNotBelow) {
  const int expected[HASH_PRIME_COUNT] = {1237,  28001, 30029, 40009, 50033,
                                          60029, 70001, 80051, 90011, 100049};
  for (int i = 0; i < HASH_PRIME_COUNT; i++) EXPECT_EQ(primes[i], expected[i]);
  EXPECT_EQ(roundUpToPrime(-5), 1237);
  EXPECT_EQ(roundUpToPrime(1), 1237);
  EXPECT_EQ(roundUpToPrime(1237), 1237);
  EXPECT_EQ(roundUpToPrime(1238), 28001);
  EXPECT_EQ(roundUpToPrime(65536), 70001);
  EXPECT_EQ(roundUpToPrime(100049), 100049);
}

TEST_F(HashTest, HomesReadBytesAsUnsigned) {
  EXPECT_EQ(hashAdd(table_, kAb), 190);
  EXPECT_EQ(hashAdd(table_, "\xc3\xa9"), 609);  // (195 * 256 + 169) mod 1237
  EXPECT_EQ(hashAdd(table_, "\xff\x80"), 1084);
  EXPECT_EQ(hashAdd(table_, ""), 0);
  EXPECT_EQ(hashCheck(table_, "\xc3\xa9"), 609);
  EXPECT_STREQ(hashGet(table_, 1084), "\xff\x80");
  EXPECT_STREQ(hashGet(table_, 0), "");
  EXPECT_EQ(hashCheck(table_, "AB"), -1);  // case matters
  EXPECT_EQ(hashCount(table_), 4);
  EXPECT_EQ(slot(609).home, 609);
  EXPECT_TRUE(logged().empty());
}

TEST_F(HashTest, EveryUserCountsAndTheLastFreesTheSlot) {
  EXPECT_EQ(hashAdd(table_, kAb), 190);
  EXPECT_EQ(hashAdd(table_, kAb), 190);
  EXPECT_EQ(hashCount(table_), 1);
  EXPECT_EQ(slot(190).ref, 2);
  EXPECT_EQ(slot(190).pass, 1);
  hashRemove(table_, 190);
  EXPECT_EQ(hashCheck(table_, kAb), 190);
  EXPECT_EQ(slot(190).ref, 1);
  hashRemove(table_, 190);
  EXPECT_EQ(hashCheck(table_, kAb), -1);
  EXPECT_EQ(hashCount(table_), 0);
  EXPECT_EQ(slot(190).name, -1);
  EXPECT_EQ(slot(190).pass, 0);
  hashRemove(table_, 190);  // empty: nothing happens
  EXPECT_EQ(hashCount(table_), 0);
  EXPECT_EQ(slot(190).ref, 0);
}

TEST_F(HashTest, ProbePathsSurviveRemovals) {
  EXPECT_EQ(hashAdd(table_, kAb), 190);
  EXPECT_EQ(hashAdd(table_, kBe), 191);
  EXPECT_EQ(slot(190).pass, 2);
  EXPECT_EQ(slot(191).pass, 1);
  hashRemove(table_, 190);
  // The freed home slot still lies on the path to the second name.
  EXPECT_EQ(slot(190).pass, 1);
  EXPECT_EQ(hashCheck(table_, kBe), 191);
  EXPECT_EQ(hashCheck(table_, kAb), -1);
  // A third name of that home takes the freed slot; the second stays put.
  EXPECT_EQ(hashAdd(table_, kThird), 190);
  EXPECT_EQ(slot(190).pass, 2);
  EXPECT_EQ(hashAdd(table_, kBe), 191);
  // Removing the name further along takes its count back from both slots.
  hashRemove(table_, 191);
  hashRemove(table_, 191);
  EXPECT_EQ(slot(190).pass, 1);
  EXPECT_EQ(slot(191).pass, 0);
  EXPECT_EQ(hashCheck(table_, kThird), 190);
  // A name homed on the next slot finds it free and counts it alone.
  EXPECT_EQ(hashAdd(table_, "\xbf"), 191);
  EXPECT_EQ(slot(191).pass, 1);
  EXPECT_EQ(hashCount(table_), 2);
}

TEST_F(HashTest, ProbesWrapFromTheLastSlotToTheFirst) {
  EXPECT_EQ(hashAdd(table_, kLastA), 1236);
  EXPECT_EQ(hashAdd(table_, kLastB), 0);
  EXPECT_EQ(hashAdd(table_, ""), 1);  // home 0, taken by the wrapped name
  EXPECT_EQ(slot(1236).pass, 2);
  EXPECT_EQ(slot(0).pass, 2);
  EXPECT_EQ(slot(1).pass, 1);
  hashRemove(table_, 1236);
  EXPECT_EQ(hashCheck(table_, kLastB), 0);
  EXPECT_EQ(hashCheck(table_, ""), 1);
  hashRemove(table_, 0);
  EXPECT_EQ(slot(1236).pass, 0);
  EXPECT_EQ(slot(0).pass, 1);
  EXPECT_EQ(hashCheck(table_, kLastB), -1);
  EXPECT_EQ(hashCheck(table_, ""), 1);
  EXPECT_EQ(hashAdd(table_, kLastB), 1236);
}

TEST_F(HashTest, BadSlotsGiveNullWithAWarning) {
  EXPECT_EQ(hashGet(table_, -1), nullptr);
  EXPECT_EQ(hashGet(table_, 1237), nullptr);
  EXPECT_EQ(hashGet(table_, 5), nullptr);
  EXPECT_EQ(logged(), (std::vector<std::string>{"WARN hashGet hash -1 is out of range",
                                                "WARN hashGet hash 1237 is out of range",
                                                "WARN hashGet hash 5 has no string"}));
}

TEST_F(HashTest, InfoAndDebugLinesTraceEachOperation) {
  nkloglevelset("test", "DBUG");
  nklogMaskSet(LOGMASK_CONTAINERS);  // not the allocator's own lines
  std::string h = std::to_string(table_);
  hashAdd(table_, kAb);
  hashAdd(table_, kAb);
  hashGet(table_, 190);
  hashRemove(table_, 190);
  hashRemove(table_, 190);
  EXPECT_EQ(logged(), (std::vector<std::string>{
                          "INFO hashCheck: handle=" + h + " name=ab, hash=190",
                          "INFO hashAdd: handle=" + h + " hash=190 slot=190 count=0 ref=0 s=ab",
                          "INFO hashAdd: Adding to hash, s=ab slot=190",
                          "INFO hashAdd done",
                          "INFO hashCheck: handle=" + h + " name=ab, hash=190",
                          "DBUG hashCheck ab->190",
                          "INFO hashGet: h=" + h + " n=190",
                          "DBUG hashGet: a->nelements=1237",
                          "DBUG hashGet 190->ab",
                          "INFO hashRemove: handle=" + h + " slot=190 hash=190 c=1 s=ab",
                          "INFO hashRemove: handle=" + h + " slot=190 hash=190 c=1 s=ab",
                          "INFO Removing from hash: ab",
                      }));
}

TEST_F(HashTest, WarnsAtThreeEighthsAndHoldsHalf) {
  for (int i = 0; i < 618; i++) {
    std::string name = "event" + std::to_string(i);
    int s = hashAdd(table_, name.c_str());
    ASSERT_STREQ(hashGet(table_, s), name.c_str());
  }
  EXPECT_EQ(hashCount(table_), 618);
  EXPECT_EQ(hashAdd(table_, "event0"), hashCheck(table_, "event0"));  // present: still fine
  EXPECT_EQ(logged(), (std::vector<std::string>{"ERR  hashAdd: WARNING while adding event464 - "
                                                "hash is growing too large, crash may occur"}));
  for (int i = 0; i < 618; i++)
    EXPECT_GE(hashCheck(table_, ("event" + std::to_string(i)).c_str()), 0);
}

// Inside a death statement: the matcher reads standard error.
void logToStderr() {
  nksetdefaultlog(stderr);
  nkloglevelset("test", "WARN");
  nklogMaskSet(LOGMASK_ALL);
}

void addOneTooMany(int table) {
  logToStderr();
  hashAdd(table, "event618");
}

void addToTableOfOne(int table) {
  logToStderr();
  hashAdd(table, "a");
}

void roundUpBeyondTheLargest() {
  logToStderr();
  roundUpToPrime(100050);
}

void countWrongTable(int notTable) {
  logToStderr();
  hashCount(notTable);
}

void checkWrongTable(int notTable) {
  logToStderr();
  hashCheck(notTable, "a");
}

const char kStamp[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}";

TEST(HashDeathTest, AHalfFullTableStopsTheProcess) {
  int t = hashAlloc(1237);
  for (int i = 0; i < 618; i++) hashAdd(t, ("event" + std::to_string(i)).c_str());
  EXPECT_EXIT(addOneTooMany(t), ::testing::ExitedWithCode(1),
              std::string("^") + kStamp +
                  " ERR  Hash table full adding 'event618' count/elem=618/1237\n" + kStamp +
                  " CRIT Assertion failed file hash line [0-9]+\n");
  hashFree(t);
}

TEST(HashDeathTest, NoSlotWithinReachStopsTheProcess) {
  // One slot: the search may not take the slot before home, which is home.
  int t = hashAlloc(1);
  EXPECT_EXIT(addToTableOfOne(t), ::testing::ExitedWithCode(1),
              std::string("^") + kStamp + " CRIT Assertion failed file hash line [0-9]+\n");
  hashFree(t);
}

TEST(HashDeathTest, MisuseStopsTheProcess) {
  EXPECT_EXIT(roundUpBeyondTheLargest(), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file hash line [0-9]+\n");
  int notTable = memAlloc(64);
  EXPECT_EXIT(countWrongTable(notTable), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file hash line [0-9]+\n");
  EXPECT_EXIT(checkWrongTable(notTable), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file hash line [0-9]+\n");
  memFree(notTable);
}

}  // namespace
