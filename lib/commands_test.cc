#include "nkcommands.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// A typed word runs the first command, in table order, whose word is a prefix of it; exact case.
TEST(CommandsTest, WordsMatchByPrefixInTableOrder) {
  const struct {
    const char *typed, *runs;  // null: none
  } cases[] = {{"memb", "memb"}, {"memory", "mem"},  {"memstatsx", "memstats"},
               {"psx", "ps"},    {"rules", "rules"}, {"versionx", "version"},
               {"me", nullptr},  {"EXIT", nullptr},  {"", nullptr}};
  for (const auto &c : cases) {
    int i = nkCommandMatch(c.typed);
    EXPECT_STREQ(i < 0 ? nullptr : nkCommandWords[i], c.runs) << c.typed;
    EXPECT_GE(i, -1);
  }
}

// Words end at runs of blanks; a tab is part of its word; a line of more than max words gives -1.
TEST(CommandsTest, LinesSplitAtBlanks) {
  const struct {
    const char *line;
    int max;
    const char *words;  // joined with '|'; the count when it is not -1
    int count;
  } cases[] = {{"  get  tank\t1 ", 4, "get|tank\t1", 2},
               {"   ", 4, "", 0},
               {"", 0, "", 0},
               {"a b c", 3, "a|b|c", 3},
               {"a b c", 2, "a|b", -1}};
  for (const auto &c : cases) {
    std::string line = c.line;
    char *words[4] = {};
    int n = nkSplitWords(line.data(), words, c.max);
    std::string joined;
    for (int i = 0; i < (n < 0 ? c.max : n); i++) joined += std::string(i ? "|" : "") + words[i];
    EXPECT_EQ(n, c.count) << c.line;
    EXPECT_EQ(joined, c.words) << c.line;
  }
}

}  // namespace
