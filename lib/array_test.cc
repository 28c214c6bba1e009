#define NK_MODULE "array_test"
#include "array.h"

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

const char kAssert[] = "CRIT Assertion failed file array line [0-9]+\n";

// Collects the log and checks that every test gives back what it allocated.
class ArrayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { memInit(); }
  void TearDown() override {
    arrayFree(a_);
    stringFree(s_);
    EXPECT_EQ(memFreeHandleCount(), freeBefore_);
  }
  std::string csv() {
    int size = arrayCSV(a_, s_);
    EXPECT_EQ(size, stringLen(s_) + 1);
    return static_cast<char *>(memGetData(s_));
  }
  nktest::LogCapture log_;
  int freeBefore_ = memFreeHandleCount();
  int a_ = arrayAlloc(), s_ = stringAlloc(0);
};

// A copy replaces the destination with copies of its own, warning of texts of
// ARRAY_LONG_TEXT characters or more.
TEST_F(ArrayTest, NamesMatchWithoutCaseAndCopiesAreOwn) {
  EXPECT_EQ(arrayGet(a_, "Name"), nullptr);  // empty
  EXPECT_EQ(csv(), "");
  EXPECT_EQ(arrayPut(a_, "Name", "1"), 2);
  EXPECT_EQ(arrayPut(a_, "NAME", ""), 1);
  EXPECT_EQ(csv(), "Name=");
  EXPECT_EQ(arrayPut(a_, "name", "2"), 2);
  EXPECT_EQ(arrayPut(a_, "x,y", "1=2"), 4);
  EXPECT_EQ(csv(), "Name=2,x,y=1=2");  // the first spelling; nothing escaped
  EXPECT_EQ(arrayCount(a_), 2);
  EXPECT_STREQ(arrayGet(a_, "nAME"), "2");
  EXPECT_EQ(arrayGet(a_, "nam"), nullptr);
  EXPECT_STREQ(arrayIndexName(a_, 0), "Name");
  EXPECT_EQ(arrayIndexName(a_, 2), nullptr);
  int from = arrayAlloc();
  std::string longest(ARRAY_LONG_TEXT - 1, 'a'), tooLong(ARRAY_LONG_TEXT, 'b');
  arrayPut(from, "a", "1");
  arrayPut(from, longest.c_str(), longest.c_str());
  arrayPut(from, tooLong.c_str(), "short");
  arrayPut(from, "B", tooLong.c_str());
  arrayCopy(a_, from);
  arrayPut(from, "a", "changed");
  arrayFree(from);
  EXPECT_EQ(csv(), "a=1," + longest + "=" + longest + "," + tooLong + "=short,B=" + tooLong);
  EXPECT_EQ(arrayGet(a_, "b"), tooLong);
  std::string head = "ERR  arrayCopy: WARNING - Array ";  // messages cut at 4095 characters
  EXPECT_EQ(log_.messages(),
            (std::vector<std::string>{
                (head + "index too long (length: 16384, index: " + tooLong).substr(0, 5 + 4095),
                (head + "value too long (length: 16384, value: " + tooLong).substr(0, 5 + 4095)}));
}

TEST_F(ArrayTest, The751stNameWarnsAndThe1001stStops) {
  for (int i = 0; i < ARRAY_MAX_ELEMENTS; i++) {
    std::string name = "n" + std::to_string(i);
    arrayPut(a_, name.c_str(), name.c_str());
  }
  EXPECT_EQ(arrayPut(a_, "N999", "again"), 6);  // present: no new element
  ::testing::internal::CaptureStdout();
  EXPECT_STREQ(arrayGet(a_, "n999"), "again");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // full is not damaged
  EXPECT_STREQ(arrayIndexName(a_, 999), "n999");
  EXPECT_EQ(log_.messages(),
            std::vector<std::string>{"ERR  arrayPut: WARNING while adding n750=>n750 "
                                     "- array is growing too large, crash may occur"});
  nksetdefaultlog(stderr);
  EXPECT_EXIT(arrayPut(a_, "one", "too many"), ::testing::ExitedWithCode(1), kAssert);
  // A damaged count prints the allocator's statistics (on standard output,
  // sent to standard error for the matcher) before the process stops.
  for (int count : {ARRAY_MAX_ELEMENTS + 1, -1}) {
    EXPECT_EXIT(
        {
          dup2(2, 1);
          setvbuf(stdout, nullptr, _IONBF, 0);
          static_cast<Array *>(memGetData(a_))->count = count;
          arrayGet(a_, "x");
        },
        ::testing::ExitedWithCode(1), std::string("totalh=262144,freeh=[0-9]+\n.*") + kAssert);
  }
  int notArray = memAlloc(sizeof(Array));
  EXPECT_EXIT(arrayCopy(a_, notArray), ::testing::ExitedWithCode(1), kAssert);
  memFree(notArray);
  int empty = arrayAlloc();
  arrayCopy(a_, empty);  // frees all 2000 strings, as the leak check shows
  EXPECT_EQ(csv(), "");
  arrayFree(empty);
}

}  // namespace
