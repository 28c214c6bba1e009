#define NK_MODULE "nkstrings_test"
#include "nkstrings.h"

#include <string.h>

#include <functional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace {

char *data(int s) { return static_cast<char *>(memGetData(s)); }

// One string through a run of edits, each with its result, the text and the
// recorded size after it. Texts taken from the string itself are safe.
TEST(StringTest, EditsSetTextAndSize) {
  memInit();
  int before = memFreeHandleCount(), s = stringAlloc(0);
  const std::string k100(100, 'a'), k119(119, 'b');
  const std::tuple<std::function<int()>, int, std::string, int> steps[] = {
      {[&] { return memGetSize(s); }, 1, "", 1},
      {[&] { return stringPrintf(s, "%s-%d", "abc", 123); }, 0, "abc-123", 8},
      {[&] { return stringPrintf(s, "%s", "abcdefgh"); }, 0, "abcdefgh", 9},  // one more
      {[&] { return stringCopy(s, "key"); }, 4, "key", 4},
      {[&] { return stringCats(s, "=value"); }, 10, "key=value", 10},
      {[&] { return stringCat(s, s); }, 19, "key=valuekey=value", 19},
      {[&] { return stringCopyN(s, data(s) + 4, 5); }, 6, "value", 6},
      {[&] { return stringReplace(s, 0, 2, "xyz"); }, 0, "xyzlue", 7},
      {[&] { return stringReplace(s, 1, 5, ""); }, 0, "xe", 7},  // keeps the size
      {[&] { return stringReplace(s, 2, 1, "x"); }, -1, "xe", 7},
      {[&] { return stringReplace(s, 0, 3, "x"); }, -1, "xe", 7},  // end beyond the text
      {[&] { return stringReplace(s, 1, 1, data(s)); }, 0, "xxee", 5},
      {[&] { return stringCopy(s, "x\xe9y\xe9"); }, 5, "x\xe9y\xe9", 5},
      {[&] { return stringReplaceChar(s, '\xe9', 'E'); }, 2, "xEyE", 5},  // a signed char
      {[&] { return stringCopy(s, k100.c_str()); }, 101, k100, 101},
      {[&] { return stringCats(s, k119.c_str()); }, 220, k100 + k119, 220},  // fills a block
      {[&] { return stringReplace(s, 0, 100, data(s) + 100); }, 0, k119 + k119, 239},
      {[&] { return stringCopyN(s, "ab", 5); }, 6, "ab", 6},
  };
  for (size_t i = 0; i < std::size(steps); i++) {
    const auto &[edit, result, text, size] = steps[i];
    EXPECT_EQ(edit(), result) << "step " << i;
    EXPECT_EQ(data(s), text) << "step " << i;
    EXPECT_EQ(memGetSize(s), size) << "step " << i;
  }
  EXPECT_EQ(memcmp(data(s), "ab\0\0\0\0", 6), 0);  // the rest filled with NUL
  stringFree(s);
  EXPECT_EQ(memFreeHandleCount(), before);
}

// text, sequence, *start before; result, *start and *end after. A pair of
// delimiters lies within one word.
TEST(StringTest, FindEscapeSeqPairsDelimitersWithinOneWord) {
  memInit();
  EXPECT_STREQ(stringDupPtr("pump1"), "pump1");
  const std::tuple<const char *, const char *, int, int, int, int> cases[] = {
      {"x $abc$ y", "$", 0, 0, 2, 7},
      {"x $ab c$", "$", 0, -1, 7, -1},   // *start: the abandoned first occurrence
      {"a {x}{y} b", "{}", 0, 0, 2, 8},  // an occurrence's characters need not touch
      {"$a $b$", "$", 1, 0, 3, 6},       // from *start, behind a broken pair
      {"$a\tb$", "$", 0, -1, 4, -1},
  };
  for (const auto &[text, seq, from, result, start, end] : cases) {
    int gotStart = from, gotEnd = -1;
    EXPECT_EQ(stringFindEscapeSeq(stringDup(text), seq, &gotStart, &gotEnd), result) << text;
    EXPECT_EQ(gotStart, start) << text;
    EXPECT_EQ(gotEnd, end) << text;
  }
}

}  // namespace
