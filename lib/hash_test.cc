#define NK_MODULE "hash_test"
#include "hash.h"

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#define NK_MODULE "hash_test"
#define NK_LOGMASK LOGMASK_GENERAL
#include "name_index_internal.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

const char kAssert[] = "CRIT Assertion failed file hash line [0-9]+\n";

class HashTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { memInit(); }
  void TearDown() override {
    hashFree(table_);
    EXPECT_EQ(memFreeHandleCount(), freeBefore_);
  }
  // The slots that probe paths reach, as " slot:pass", with "=ref" if occupied.
  std::string slots() {
    const HashTable *t = static_cast<HashTable *>(memGetData(table_));
    std::string out;
    for (int i = 0; i < t->nelem; i++) {
      const HashSlot &s = t->slots[i];
      if (s.pass) out += " " + std::to_string(i) + ":" + std::to_string(s.pass);
      if (s.name != -1) out += "=" + std::to_string(s.ref);
    }
    return out;
  }
  nktest::LogCapture log_;
  int freeBefore_ = memFreeHandleCount();
  int table_ = hashAlloc(1237);
};

// Adds ('a': the slot given), checks ('c': the slot found) and removes ('r' at
// the slot), each followed by the slots left. "ab", "\xbe" and "\x05\x93" have
// home 190 in a table of 1237 (bytes read as unsigned: 24930, 190 and 1427),
// "\x04\xd4" has home 1236, the last slot, "\x09\xa9" too, and "" has 0.
TEST_F(HashTest, ProbePathsCountUsersAndSurviveRemovals) {
  const std::tuple<char, const char *, int, const char *> steps[] = {
      {'a', "", 0, " 0:1=1"},
      {'a', "", 0, " 0:1=2"},  // one more user
      {'r', "", 0, " 0:1=1"},
      {'r', "", 0, ""},
      {'r', "", 0, ""},  // empty: nothing happens
      {'a', "ab", 190, " 190:1=1"},
      {'a', "\xbe", 191, " 190:2=1 191:1=1"},
      {'c', "AB", -1, " 190:2=1 191:1=1"},  // case matters
      {'r', "", 190, " 190:1 191:1=1"},     // the path to 191 stays
      {'c', "\xbe", 191, " 190:1 191:1=1"},
      {'a', "\x05\x93", 190, " 190:2=1 191:1=1"},  // the freed slot; nothing moves
      {'r', "", 191, " 190:1=1"},
      {'a', "\xbf", 191, " 190:1=1 191:1=1"},  // its own home
      {'a', "\x04\xd4", 1236, " 190:1=1 191:1=1 1236:1=1"},
      {'a', "\x09\xa9", 0, " 0:1=1 190:1=1 191:1=1 1236:2=1"},  // wraps to the first slot
      {'a', "", 1, " 0:2=1 1:1=1 190:1=1 191:1=1 1236:2=1"},
      {'r', "", 1236, " 0:2=1 1:1=1 190:1=1 191:1=1 1236:1"},
      {'c', "\x09\xa9", 0, " 0:2=1 1:1=1 190:1=1 191:1=1 1236:1"},
      {'r', "", 0, " 0:1 1:1=1 190:1=1 191:1=1"},
      {'c', "", 1, " 0:1 1:1=1 190:1=1 191:1=1"},
      {'c', "\x09\xa9", -1, " 0:1 1:1=1 190:1=1 191:1=1"},
  };
  for (size_t i = 0; i < std::size(steps); i++) {
    const auto &[op, name, slot, left] = steps[i];
    if (op == 'r')
      hashRemove(table_, slot);
    else
      EXPECT_EQ(op == 'a' ? hashAdd(table_, name) : hashCheck(table_, name), slot) << "step " << i;
    EXPECT_EQ(slots(), left) << "step " << i;
  }
  EXPECT_EQ(hashCount(table_), 3);
  EXPECT_STREQ(hashGet(table_, 191), "\xbf");
  for (int bad : {-1, 1237, 0}) EXPECT_EQ(hashGet(table_, bad), nullptr);
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{"WARN hashGet hash -1 is out of range",
                                                       "WARN hashGet hash 1237 is out of range",
                                                       "WARN hashGet hash 0 has no string"}));
}

using HashDeathTest = HashTest;

// roundUpToPrime picks the first prime not below its argument; a table warns
// at three eighths full and stops at half.
TEST_F(HashDeathTest, SizesWarningsAndMisuse) {
  const int expected[] = {1237, 28001, 30029, 40009, 50033, 60029, 70001, 80051, 90011, 100049};
  for (int i = 0; i < HASH_PRIME_COUNT; i++) {
    EXPECT_EQ(roundUpToPrime(expected[i]), expected[i]);
    EXPECT_EQ(roundUpToPrime(i ? expected[i - 1] + 1 : -5), expected[i]);
  }
  for (int i = 0; i < 618; i++) {
    std::string name = "event" + std::to_string(i);
    ASSERT_STREQ(hashGet(table_, hashAdd(table_, name.c_str())), name.c_str());
  }
  EXPECT_EQ(hashAdd(table_, "event0"), hashCheck(table_, "event0"));  // present: still fine
  EXPECT_EQ(log_.messages(),
            std::vector<std::string>{"ERR  hashAdd: WARNING while adding event464 "
                                     "- hash is growing too large, crash may occur"});
  nksetdefaultlog(stderr);
  EXPECT_EXIT(
      hashAdd(table_, "event618"), ::testing::ExitedWithCode(1),
      std::string("ERR  Hash table full adding 'event618' count/elem=618/1237\n[^\n]* ") + kAssert);
  int one = hashAlloc(1);
  // A search never takes the slot before home, which in a table of one is home.
  EXPECT_EXIT(hashAdd(one, "a"), ::testing::ExitedWithCode(1), std::string("^[^\n]* ") + kAssert);
  EXPECT_EXIT(hashAlloc(8388608), ::testing::ExitedWithCode(1), kAssert);  // one slot too many
  hashFree(one);
}

// The index of records by their own names: every record is found with its value through adds
// and removals in any order, also after the table grew and when removals leave gaps in long
// probe runs, those across the table's end included (the entries after a gap move back; none is
// lost or found twice). Many small tables, where runs cross the end often, and one half full.
struct Named {
  char *name;
};

TEST(NameIndexTest, FindsEveryRecordThroughAddsAndRemoves) {
  for (int round = 0; round < 301; round++) {
    const int records = round < 300 ? 12 : 1024;  // 12 in 32 entries; 1024 in 2048
    nk::NameIndex<Named, &Named::name> index;
    std::vector<std::string> names;
    std::vector<Named> named(records);
    names.reserve(records);
    for (int i = 0; i < records; i++) {
      names.push_back(std::to_string(round) + "." + std::to_string(i));
      named[i].name = names[i].data();
      EXPECT_EQ(index.find(named[i].name), nullptr);
      index.add(&named[i], i);
    }
    for (int step : {3, 2}) {
      for (int i = 0; i < records; i += step) {
        if (auto *e = index.find(names[i].c_str())) index.remove(e);
      }
      int found = 0;
      for (int i = 0; i < records; i++) {
        auto *e = index.find(names[i].c_str());
        bool kept = i % 3 != 0 && (step == 3 || i % 2 != 0);
        ASSERT_EQ(e != nullptr, kept) << names[i];
        if (e) found += e->record == &named[i] && e->value == static_cast<uint32_t>(i);
      }
      ASSERT_EQ(found, static_cast<int>(index.count()));
    }
    index.release();
  }
}

}  // namespace
