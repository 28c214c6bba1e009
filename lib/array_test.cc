#define NK_MODULE "array_test"
#include "array.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

class ArrayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new ArrayEnvironment);

std::string text(int s) { return static_cast<char *>(memGetData(s)); }

// Collects the log and checks that every test gives back what it allocated.
class ArrayTest : public ::testing::Test {
 protected:
  void SetUp() override { freeBefore_ = memFreeHandleCount(); }
  void TearDown() override { EXPECT_EQ(memFreeHandleCount(), freeBefore_); }
  // The logged messages, without their date and time.
  std::vector<std::string> logged() { return log_.messages(); }
  nktest::LogCapture log_;
  int freeBefore_ = 0;
};

void fill(int array, int from, int to) {
  for (int i = from; i < to; i++) {
    arrayPut(array, ("n" + std::to_string(i)).c_str(), ("v" + std::to_string(i)).c_str());
  }
}

TEST_F(ArrayTest, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
  int a = arrayAlloc();
  EXPECT_EQ(arrayCount(a), 0);
  EXPECT_EQ(arrayGet(a, "Name"), nullptr);  // empty
  EXPECT_EQ(arrayPut(a, "Name", "1"), 2);
  EXPECT_EQ(arrayPut(a, "NAME", "2"), 2);
  EXPECT_EQ(arrayCount(a), 1);
  EXPECT_STREQ(arrayIndexName(a, 0), "Name");
  EXPECT_STREQ(arrayGet(a, "name"), "2");
  EXPECT_EQ(arrayPut(a, "other", ""), 1);
  EXPECT_STREQ(arrayGet(a, "OTHER"), "");
  EXPECT_EQ(arrayGet(a, "nam"), nullptr);
  EXPECT_STREQ(arrayIndexName(a, 1), "other");
  EXPECT_EQ(arrayIndexName(a, 2), nullptr);  // i == count
  EXPECT_EQ(arrayIndexName(a, -1), nullptr);
  // A longer value moves to a larger block; the element keeps it.
  std::string big(1000, 'v');
  EXPECT_EQ(arrayPut(a, "name", big.c_str()), 1001);
  EXPECT_EQ(arrayGet(a, "Name"), big);
  arrayFree(a);
  EXPECT_TRUE(logged().empty());
}

TEST_F(ArrayTest, DebugLinesTraceAPutAndAGet) {
  int a = arrayAlloc();
  nkloglevelset("test", "DBUG");
  nklogMaskSet(LOGMASK_CONTAINERS);  // not the allocator's own lines
  arrayPut(a, "k", "v");
  arrayGet(a, "x");
  nkloglevelset("test", "WARN");
  const Array *data = static_cast<const Array *>(memGetData(a));
  std::string h = std::to_string(a), name = std::to_string(data->names[0]);
  EXPECT_EQ(logged(), (std::vector<std::string>{
                          "DBUG arrayPut: h=" + h + " n=k v=v",
                          "DBUG arrayPut: added new elem " + name + ", " +
                              std::to_string(data->values[0]) + ", count now 1",
                          "DBUG arrayPut: storing 'v' to " + name,
                          "DBUG arrayGet: h=" + h + " n=x",
                          "DBUG arrayGet: a->nelements=1",
                          "DBUG arrayGet: not found, return NULL",
                      }));
  arrayFree(a);
}

TEST_F(ArrayTest, CsvJoinsItemsUnescaped) {
  int a = arrayAlloc();
  int s = stringAlloc(10);
  EXPECT_EQ(arrayCSV(a, s), 1);
  EXPECT_EQ(text(s), "");
  arrayPut(a, "a", "");
  EXPECT_EQ(arrayCSV(a, s), 3);
  EXPECT_EQ(text(s), "a=");
  arrayPut(a, "a", "1");
  arrayPut(a, "b", "2");
  EXPECT_EQ(arrayCSV(a, s), 8);
  EXPECT_EQ(text(s), "a=1,b=2");
  arrayPut(a, "x,y", "1=2");
  EXPECT_EQ(arrayCSV(a, s), 16);
  EXPECT_EQ(text(s), "a=1,b=2,x,y=1=2");
  stringFree(s);
  arrayFree(a);
}

TEST_F(ArrayTest, The751stNameWarnsOnceAndThe1000thFits) {
  int a = arrayAlloc();
  fill(a, 0, 750);
  EXPECT_TRUE(logged().empty());
  fill(a, 750, 1000);
  arrayPut(a, "N999", "again");  // present: no new element, no warning
  EXPECT_EQ(arrayCount(a), ARRAY_MAX_ELEMENTS);
  EXPECT_STREQ(arrayGet(a, "n999"), "again");
  EXPECT_STREQ(arrayIndexName(a, 999), "n999");
  EXPECT_EQ(logged(), std::vector<std::string>{"ERR  arrayPut: WARNING while adding n750=>v750 - "
                                               "array is growing too large, crash may occur"});
  arrayFree(a);
}

TEST_F(ArrayTest, CopyReplacesTheDestinationWithCopies) {
  int from = arrayAlloc();
  int to = arrayAlloc();
  arrayPut(from, "a", "1");
  arrayPut(from, "B", "2");
  fill(to, 0, 5);
  arrayCopy(to, from);
  EXPECT_EQ(arrayCount(to), 2);
  EXPECT_STREQ(arrayIndexName(to, 1), "B");
  EXPECT_STREQ(arrayGet(to, "b"), "2");
  EXPECT_EQ(arrayGet(to, "n0"), nullptr);
  arrayPut(from, "a", "changed");  // the copies are the destination's own
  EXPECT_STREQ(arrayGet(to, "a"), "1");
  arrayFree(from);
  EXPECT_STREQ(arrayGet(to, "A"), "1");
  arrayFree(to);
  EXPECT_TRUE(logged().empty());
}

TEST_F(ArrayTest, CopyOfAnEmptySourceEmptiesAFullDestination) {
  int empty = arrayAlloc();
  int full = arrayAlloc();
  int before = memFreeHandleCount();
  fill(full, 0, ARRAY_MAX_ELEMENTS);
  arrayCopy(full, empty);
  EXPECT_EQ(arrayCount(full), 0);
  EXPECT_EQ(arrayGet(full, "n0"), nullptr);
  EXPECT_EQ(memFreeHandleCount(), before);  // all 2000 strings freed
  fill(full, 0, 1);                         // and usable again
  EXPECT_EQ(arrayCount(full), 1);
  arrayFree(empty);
  arrayFree(full);
}

TEST_F(ArrayTest, CopyWarnsOfLongTextsAndCopiesThem) {
  int from = arrayAlloc();
  int to = arrayAlloc();
  std::string longest(ARRAY_LONG_TEXT - 1, 'a');
  std::string tooLong(ARRAY_LONG_TEXT, 'b');
  arrayPut(from, longest.c_str(), longest.c_str());  // just below: no warning
  arrayPut(from, tooLong.c_str(), "short");
  arrayPut(from, "short", tooLong.c_str());
  arrayCopy(to, from);
  auto lines = logged();
  ASSERT_EQ(lines.size(), 2u);
  // The logger cuts a message to 4095 characters.
  EXPECT_EQ(lines[0],
            ("ERR  arrayCopy: WARNING - Array index too long (length: 16384, index: " + tooLong)
                .substr(0, 5 + 4095));
  EXPECT_EQ(lines[1],
            ("ERR  arrayCopy: WARNING - Array value too long (length: 16384, value: " + tooLong)
                .substr(0, 5 + 4095));
  EXPECT_EQ(arrayCount(to), 3);
  EXPECT_EQ(arrayGet(to, tooLong.c_str()), std::string("short"));
  EXPECT_EQ(arrayGet(to, "short"), tooLong);
  EXPECT_EQ(arrayGet(to, longest.c_str()), longest);
  arrayFree(from);
  arrayFree(to);
}

// Inside a death statement: the matcher reads standard error.
void logToStderr() {
  nksetdefaultlog(stderr);
  nkloglevelset("test", "WARN");
  nklogMaskSet(LOGMASK_ALL);
}

void putOneTooMany(int array) {
  logToStderr();
  arrayPut(array, "one", "too many");
}

void getFromDamaged(int array, int count) {
  logToStderr();
  static_cast<Array *>(memGetData(array))->count = count;
  arrayGet(array, "x");
}

TEST(ArrayDeathTest, The1001stNameStopsTheProcess) {
  int a = arrayAlloc();
  fill(a, 0, ARRAY_MAX_ELEMENTS);
  EXPECT_EXIT(putOneTooMany(a), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file array line [0-9]+\n");
  arrayFree(a);
}

void countWrongArray(int notArray) {
  logToStderr();
  arrayCount(notArray);
}

void putIntoWrongArray(int notArray) {
  logToStderr();
  arrayPut(notArray, "a", "1");
}

void copyFromWrongArray(int array, int notArray) {
  logToStderr();
  arrayCopy(array, notArray);
}

TEST(ArrayDeathTest, WrongMagicStopsEveryOperation) {
  int notArray = memAlloc(sizeof(Array));
  EXPECT_EXIT(countWrongArray(notArray), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file array line [0-9]+\n");
  EXPECT_EXIT(putIntoWrongArray(notArray), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file array line [0-9]+\n");
  int a = arrayAlloc();
  EXPECT_EXIT(copyFromWrongArray(a, notArray), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file array line [0-9]+\n");
  arrayFree(a);
  memFree(notArray);
}

TEST(ArrayDeathTest, DamagedCountPrintsTheAllocatorAndStops) {
  int a = arrayAlloc();
  arrayPut(a, "a", "1");
  // Standard output carries the statistics; the matcher sees the assertion.
  EXPECT_EXIT(getFromDamaged(a, ARRAY_MAX_ELEMENTS + 1), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file array line [0-9]+\n");
  EXPECT_EXIT(getFromDamaged(a, -1), ::testing::ExitedWithCode(1),
              "CRIT Assertion failed file array line [0-9]+\n");
  arrayFree(a);
}

}  // namespace
