#define NK_MODULE "nkstrings_test"
#include "nkstrings.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "nksyslog.h"

namespace {

class StringEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new StringEnvironment);

std::string text(int s) { return static_cast<char *>(memGetData(s)); }

// Every test leaves the allocator as it found it.
class StringTest : public ::testing::Test {
 protected:
  void SetUp() override { freeBefore_ = memFreeHandleCount(); }
  void TearDown() override { EXPECT_EQ(memFreeHandleCount(), freeBefore_); }
  int freeBefore_ = 0;
};

TEST_F(StringTest, AllocPrintfGrowsInPlaceThenMoves) {
  int s = stringAlloc(0);
  EXPECT_EQ(memGetSize(s), 1);
  EXPECT_EQ(text(s), "");
  void *before = memGetData(s);
  EXPECT_EQ(stringPrintf(s, "%s-%d", "abcdefghijklmnopqrstuvwxyz", 123), 0);
  EXPECT_EQ(text(s), "abcdefghijklmnopqrstuvwxyz-123");
  EXPECT_EQ(memGetSize(s), 31);
  EXPECT_EQ(memGetData(s), before);  // within the block's 220 bytes
  std::string big(300, 'q');
  stringPrintf(s, "<%s>", big.c_str());
  EXPECT_EQ(text(s), "<" + big + ">");
  EXPECT_EQ(memGetSize(s), 303);
  stringPrintf(s, "%d", 7);  // never shrinks the size
  EXPECT_EQ(text(s), "7");
  EXPECT_EQ(memGetSize(s), 303);
  stringFree(s);
}

TEST_F(StringTest, CopySetsTheExactSize) {
  int s = stringAlloc(50);
  EXPECT_EQ(stringCopy(s, "abc"), 4);
  EXPECT_EQ(memGetSize(s), 4);
  EXPECT_EQ(text(s), "abc");
  EXPECT_EQ(stringCopyN(s, "ab", 5), 6);
  EXPECT_EQ(memcmp(memGetData(s), "ab\0\0\0\0", 6), 0);
  EXPECT_EQ(stringCopyN(s, "abcdefgh", 3), 4);
  EXPECT_EQ(text(s), "abc");
  EXPECT_EQ(memGetSize(s), 4);
  stringFree(s);
}

TEST_F(StringTest, CatsAppendsAndReportsTheSize) {
  int s = stringDup("key");
  EXPECT_EQ(memGetSize(s), 4);
  EXPECT_EQ(stringCats(s, "=value"), 10);
  EXPECT_EQ(text(s), "key=value");
  int t = stringDup(",more");
  EXPECT_EQ(stringCat(s, t), 15);
  EXPECT_EQ(text(s), "key=value,more");
  std::string big(500, 'x');
  stringCats(s, big.c_str());  // moves to a larger block, content kept
  EXPECT_EQ(text(s), "key=value,more" + big);
  EXPECT_EQ(stringLen(s), 514);
  stringFree(s);
  stringFree(t);
}

TEST_F(StringTest, TextInsideTheSameStringIsSafe) {
  int s = stringDup("hello world");
  char *self = static_cast<char *>(memGetData(s));
  stringCat(s, s);
  EXPECT_EQ(text(s), "hello worldhello world");
  self = static_cast<char *>(memGetData(s));
  stringCopy(s, self + 6);
  EXPECT_EQ(text(s), "worldhello world");
  std::string big(400, 'z');
  stringCats(s, big.c_str());
  self = static_cast<char *>(memGetData(s));
  stringReplace(s, 0, 5, self + 5);  // grows the string past its block
  EXPECT_EQ(text(s), "hello world" + big + "hello world" + big);
  stringFree(s);
}

TEST_F(StringTest, CompareAndLength) {
  int a = stringDup("apple"), b = stringDup("apricot");
  EXPECT_LT(stringComp(a, b), 0);
  EXPECT_EQ(stringCompN(a, b, 2), 0);
  EXPECT_NE(stringCompN(a, b, 3), 0);
  EXPECT_EQ(stringComp(a, a), 0);
  EXPECT_EQ(stringLen(b), 7);
  stringFree(a);
  stringFree(b);
}

TEST_F(StringTest, ReplaceRanges) {
  int s = stringDup("hello world");
  EXPECT_EQ(stringReplace(s, 0, 5, "bye"), 0);
  EXPECT_EQ(text(s), "bye world");
  EXPECT_EQ(memGetSize(s), 12);  // a shorter result keeps the size
  EXPECT_EQ(stringReplace(s, 3, 2, "x"), -1);
  EXPECT_EQ(stringReplace(s, 0, 10, "x"), -1);  // end beyond the text
  EXPECT_EQ(stringReplace(s, -1, 2, "x"), -1);  // offsets are unsigned
  EXPECT_EQ(text(s), "bye world");
  EXPECT_EQ(stringReplace(s, 9, 9, "!!"), 0);  // insert at the end
  EXPECT_EQ(text(s), "bye world!!");
  EXPECT_EQ(stringReplace(s, 3, 3, ", cruel"), 0);
  EXPECT_EQ(text(s), "bye, cruel world!!");
  EXPECT_EQ(stringReplace(s, 0, 18, ""), 0);
  EXPECT_EQ(text(s), "");
  stringFree(s);
}

TEST_F(StringTest, ReplaceCharComparesUnsignedBytes) {
  int s = stringDup("a,b,c");
  EXPECT_EQ(stringReplaceChar(s, ',', ';'), 2);
  EXPECT_EQ(text(s), "a;b;c");
  stringCopy(s, "x\xe9y\xe9");
  EXPECT_EQ(stringReplaceChar(s, 0xe9, 'e'), 2);
  EXPECT_EQ(text(s), "xeye");
  stringCopy(s, "x\xe9");
  EXPECT_EQ(stringReplaceChar(s, '\xe9', 'E'), 1);  // a plain char gives the same byte
  stringCopy(s, "");
  EXPECT_EQ(stringReplaceChar(s, 'a', 'b'), 0);
  stringFree(s);
}

TEST_F(StringTest, PointerVariants) {
  char *p = stringDupPtr("pump1");
  EXPECT_STREQ(p, "pump1");
  EXPECT_EQ(memGetSize(memGetHandle(p)), 6);
  stringFreePtr(p);
}

TEST(StringFindTest, DelimitedPairs) {
  int start = 0, end = -1;
  EXPECT_EQ(stringFindEscapeSeqPtr("x $abc$ y", "$", &start, &end), 0);
  EXPECT_EQ(start, 2);
  EXPECT_EQ(end, 7);
  start = 0;
  EXPECT_EQ(stringFindEscapeSeqPtr("x $ab c$", "$", &start, &end), -1);
  EXPECT_EQ(start, 7);  // the abandoned first occurrence
  // A sequence of two characters; an occurrence's characters need not touch.
  start = 0;
  EXPECT_EQ(stringFindEscapeSeqPtr("a {x}{y} b", "{}", &start, &end), 0);
  EXPECT_EQ(start, 2);
  EXPECT_EQ(end, 8);
  start = 0;
  EXPECT_EQ(stringFindEscapeSeqPtr("a {{tag}} b", "{}", &start, &end), -1);
  start = 0;
  EXPECT_EQ(stringFindEscapeSeqPtr("%x%", "%%", &start, &end), -1);  // one occurrence only
  // The search starts at *start and may find a pair behind a broken one.
  start = 1;
  EXPECT_EQ(stringFindEscapeSeqPtr("$a $b$", "$", &start, &end), 0);
  EXPECT_EQ(start, 3);
  EXPECT_EQ(end, 6);
  start = 0;
  EXPECT_EQ(stringFindEscapeSeqPtr("$a\tb$", "$", &start, &end), -1);
  start = 0;
  EXPECT_EQ(stringFindEscapeSeqPtr("$$", "", &start, &end), -1);

  int s = stringDup("set $v$");
  start = 0;
  EXPECT_EQ(stringFindEscapeSeq(s, "$", &start, &end), 0);
  EXPECT_EQ(start, 4);
  EXPECT_EQ(end, 7);
  stringFree(s);
}

TEST(StringDeathTest, InvalidHandlesStop) {
  EXPECT_EXIT(
      {
        nksetdefaultlog(stderr);
        stringLen(42);
      },
      ::testing::ExitedWithCode(1), "Assertion failed file mem line");
}

}  // namespace
