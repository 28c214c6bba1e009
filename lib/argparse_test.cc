#include "argparse.h"

#include <limits.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::string>;

// d, v and c count, r also takes the next word, n reads it as a number.
int d, v, c, r, n;
char *word;
const ArgOption kTable[] = {
    {&d, 'd', nullptr, nullptr, "debug"},   {&v, 'v', nullptr, nullptr, "verbose"},
    {&c, 'c', nullptr, nullptr, "command"}, {&r, 'r', nullptr, &word, "remote"},
    {nullptr, 'n', &n, nullptr, "number"},  {nullptr, 0, nullptr, nullptr, nullptr}};
const ArgInfo kInfo = {"tester", "tester [-d] [-r name]"};

Words held;  // the argv that main() receives, where word points

// What argParse leaves of argv, which stays null-terminated.
Words parse(Words words, int minArgs = 0) {
  d = 0, v = 1, c = 0, r = 0, n = -1, word = nullptr;
  held = std::move(words);
  std::vector<char *> argv;
  for (std::string &w : held) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(held.size());
  argParse(&argc, argv.data(), kTable, &kInfo, minArgs);
  EXPECT_EQ(argv[argc], nullptr);
  return Words(argv.begin(), argv.begin() + argc);
}

// A letter that takes a word ends the scan of its own; the first word ends the
// options. The parser reports on standard output, here sent where death tests
// look.
TEST(ArgParseDeathTest, LettersCountNegateTakeTheNextWordOrEndTheProcess) {
  const std::tuple<Words, Words, std::vector<int>, const char *> cases[] = {
      {{"prog", "-dv", "-d~v", "word"}, {"prog", "word"}, {2, 1, 0, 0, -1}, nullptr},
      {{"prog", "-rc", "name", "x"}, {"prog", "x"}, {0, 1, 0, 1, -1}, "name"},
      {{"prog", "-cr", "name"}, {"prog"}, {0, 1, 1, 1, -1}, "name"},
      {{"prog", "-", "-d", "memb", "-v"}, {"prog", "memb", "-v"}, {1, 1, 0, 0, -1}, nullptr},
      {{"prog", "-~", "-n", "0x1F"}, {"prog"}, {0, 1, 0, 0, 31}, nullptr},
      {{"prog", "-dn", "42"}, {"prog"}, {1, 1, 0, 0, 42}, nullptr},
  };
  for (const auto &[words, rest, counts, taken] : cases) {
    EXPECT_EQ(parse(words), rest) << words[1];
    EXPECT_EQ((std::vector<int>{d, v, c, r, n}), counts) << words[1];
    EXPECT_STREQ(word, taken) << words[1];
  }
  EXPECT_EQ(help, 0);
  EXPECT_EQ(wrong_param, 0);
  const char *usage =
      "^\n.*\n\n\t\\*\\* Application Name : tester\n(\t\\*\\*.*\n)+\n"
      "Usage:\n\ttester \\[-d\\] \\[-r name\\]\n\nWhere:\n\td - debug\n\tv - verbose\n"
      "\tc - command\n\tr - remote\n\tn - number\n\nA tilde \\(~\\) before an argument negates "
      "it\n\n$";
  const std::tuple<Words, int, int, const char *> stops[] = {
      {{"prog", "-x"}, 0, 1, "^Unknown option 'x', use -\\? for help\n$"},
      {{"prog", "--"}, 0, 1, "^Unknown option '-'"},
      {{"prog", "-d", "-r"}, 0, 1, "^Switch 'r' needs an argument\n$"},
      {{"prog", "-n"}, 0, 1, "^Switch 'n' needs an argument\n$"},
      {{"prog", "-d?"}, 0, 0, usage},
      {{"prog", "-d"}, 1, 0, usage},  // too few words left
  };
  for (const auto &[words, minArgs, status, output] : stops) {
    EXPECT_EXIT((dup2(2, 1), parse(words, minArgs)), ::testing::ExitedWithCode(status), output)
        << words.back();
  }
}

// The value of the first item whose name begins with the key, cut to the
// buffer (one of size 0 is not touched); an item without its own '=' gives -1.
// A number is read from the first 31 characters, saturated to the int range.
TEST(ParamTest, ListReaders) {
  const std::tuple<const char *, const char *, int, const char *, int, int> cases[] = {
      {"index=3,name=main,line=12", "name", 16, "main", 0, 0},
      {"index=3,name=main,line=12", "line", 16, "12", 0, 12},
      {"freeops=5,free=2", "free", 16, "5", 0, 5},
      {"expr=a=b,x=1", "expr", 16, "a=b", 0, 0},
      {"a=1,b=2", "c", 16, "", 0, 0},
      {nullptr, "c", 16, "", 0, 0},
      {"noequals", "no", 16, "", 0, 0},
      {"a=1,b=", "b", 16, "", 0, 0},
      {"a=1,flag,c=3", "flag", 16, "", -1, 0},
      {"name=abc", "name", 0, "x", 0, 0},
      {"name=abcd", "name", 4, "abc", 0, 0},
      {"name=abc", "name", 1, "", 0, 0},
      {"n=12kB", "n", 16, "12kB", 0, 12},
      {"n=-4", "n", 16, "-4", 0, -4},
      {"n=99999999999", "n", 16, "99999999999", 0, INT_MAX},
      {"n=-99999999999", "n", 16, "-99999999999", 0, INT_MIN},
      {"n=00000000000000000000000000000012345", "n", 6, "00000", 0, 1},
  };
  for (const auto &[list, key, size, value, result, number] : cases) {
    char out[16] = "x";
    int got = -1;
    EXPECT_EQ(paramGetString(list, key, out, size), result) << list << " " << key;
    EXPECT_STREQ(out, value) << list << " " << key;
    EXPECT_EQ(paramGetNumber(list, key, &got), 0);
    EXPECT_EQ(got, number) << list << " " << key;
  }
}

}  // namespace
