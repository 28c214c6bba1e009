#include "argparse.h"

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Owns a writable argv built from words, as main() receives it.
struct Argv {
  std::vector<std::string> store;
  std::vector<char *> ptrs;
  int argc;
  explicit Argv(std::vector<std::string> words) : store(std::move(words)) {
    for (std::string &s : store) ptrs.push_back(&s[0]);
    ptrs.push_back(nullptr);
    argc = static_cast<int>(store.size());
  }
  std::vector<std::string> rest() const {
    std::vector<std::string> out;
    for (int i = 0; i < argc; i++) out.push_back(ptrs[i]);
    EXPECT_EQ(ptrs[argc], nullptr) << "argv must stay null-terminated";
    return out;
  }
};

struct Options {
  int d = 0, v = 1, c = 0, r = 0, n = -1;
  char *rValue = nullptr;
  ArgOption table[6] = {
      {&d, 'd', nullptr, nullptr, "debug"},   {&v, 'v', nullptr, nullptr, "verbose"},
      {&c, 'c', nullptr, nullptr, "command"}, {&r, 'r', nullptr, &rValue, "remote"},
      {nullptr, 'n', &n, nullptr, "number"},  {nullptr, 0, nullptr, nullptr, nullptr},
  };
  ArgInfo info = {"tester", "tester [-d] [-r name]"};
};

void parse(Argv &a, Options &o, int minArgs = 0) {
  argParse(&a.argc, a.ptrs.data(), o.table, &o.info, minArgs);
}

// The parser reports on standard output; death tests see standard error.
void parseReportingToStderr(Argv &a, Options &o, int minArgs = 0) {
  dup2(2, 1);
  parse(a, o, minArgs);
}

TEST(ArgParseTest, CountsAndNegatesLettersSharingAWord) {
  Options o;
  Argv a({"prog", "-dv", "-d~v", "word"});
  parse(a, o);
  EXPECT_EQ(o.d, 2);
  EXPECT_EQ(o.v, 1);  // 1, +1, -1
  EXPECT_EQ(a.rest(), (std::vector<std::string>{"prog", "word"}));
  EXPECT_EQ(help, 0);
  EXPECT_EQ(wrong_param, 0);
}

TEST(ArgParseTest, ValueEndsTheScanOfItsWord) {
  Options o;
  Argv a({"prog", "-rc", "name", "x"});
  parse(a, o);
  EXPECT_STREQ(o.rValue, "name");
  EXPECT_EQ(o.c, 0);  // letters after the one that took a value are ignored
  EXPECT_EQ(o.r, 1);
  EXPECT_EQ(a.rest(), (std::vector<std::string>{"prog", "x"}));

  Options p;
  Argv b({"prog", "-cr", "name"});
  parse(b, p);
  EXPECT_EQ(p.c, 1);
  EXPECT_STREQ(p.rValue, "name");
  EXPECT_EQ(b.rest(), (std::vector<std::string>{"prog"}));
  EXPECT_EQ(b.ptrs[0], b.store[0].data());
}

TEST(ArgParseTest, StopsAtTheFirstWordAndSkipsALoneDash) {
  Options o;
  Argv a({"prog", "-", "-d", "memb", "-v", "nkrun"});
  parse(a, o);
  EXPECT_EQ(o.d, 1);
  EXPECT_EQ(o.v, 1);  // after the first word: an ordinary word
  EXPECT_EQ(a.rest(), (std::vector<std::string>{"prog", "memb", "-v", "nkrun"}));

  Options p;
  Argv b({"prog", "-~"});  // a tilde at the end has no effect
  parse(b, p);
  EXPECT_EQ(b.rest(), (std::vector<std::string>{"prog"}));
}

TEST(ArgParseTest, NumberOptionReadsDecimalAndHex) {
  struct Case {
    const char *word;
    int value;
  } cases[] = {{"42", 42},
               {"0x1F", 31},
               {"x", 0},
               {"0x", 0},
               {"0", 0},
               {"-7", -7},
               {"99999999999", 2147483647}};
  for (const Case &c : cases) {
    Options o;
    Argv a({"prog", "-n", c.word});
    parse(a, o);
    EXPECT_EQ(o.n, c.value) << c.word;
    EXPECT_EQ(a.argc, 1);
  }
}

TEST(ArgParseDeathTest, UnknownLetterEndsWithStatus1) {
  Options o;
  Argv a({"prog", "-x"});
  EXPECT_EXIT(parseReportingToStderr(a, o), ::testing::ExitedWithCode(1),
              "^Unknown option 'x', use -\\? for help\n$");
  Argv b({"prog", "--"});
  EXPECT_EXIT(parseReportingToStderr(b, o), ::testing::ExitedWithCode(1), "Unknown option '-'");
  EXPECT_EXIT(
      {
        int consumed = 0;
        dup2(2, 1);
        argHandleOption('q', nullptr, 1, &consumed, o.table, &o.info, 0);
      },
      ::testing::ExitedWithCode(1), "Unknown option 'q'");
}

TEST(ArgParseDeathTest, MissingValueEndsWithStatus1) {
  Options o;
  Argv a({"prog", "-d", "-r"});
  EXPECT_EXIT(parseReportingToStderr(a, o), ::testing::ExitedWithCode(1),
              "^Switch 'r' needs an argument\n$");
  Argv b({"prog", "-n"});
  EXPECT_EXIT(parseReportingToStderr(b, o), ::testing::ExitedWithCode(1),
              "^Switch 'n' needs an argument\n$");
}

TEST(ArgParseDeathTest, QuestionMarkPrintsTheUsageAndEndsWithStatus0) {
  Options o;
  Argv a({"prog", "-d?"});
  EXPECT_EXIT(parseReportingToStderr(a, o), ::testing::ExitedWithCode(0),
              "^\n.*\n\n\t\\*\\* Application Name : tester\n"
              "\t\\*\\* Version          : [^\n]+\n"
              "\t\\*\\* Build time       : [^\n]+\n"
              "\t\\*\\* git tag          : [^\n]+\n\n"
              "Usage:\n\ttester \\[-d\\] \\[-r name\\]\n\n"
              "Where:\n\td - debug\n\tv - verbose\n\tc - command\n\tr - remote\n\tn - number\n"
              "\nA tilde \\(~\\) before an argument negates it\n\n$");
}

TEST(ArgParseDeathTest, TooFewArgumentsPrintTheUsage) {
  Options o;
  Argv a({"prog", "-d"});
  EXPECT_EXIT(parseReportingToStderr(a, o, 1), ::testing::ExitedWithCode(0), "Usage:\n\ttester");
}

TEST(ParamTest, GetStringFindsItemsByPrefix) {
  char out[256];
  const char *list = "index=3,name=main,line=12";
  EXPECT_EQ(paramGetString(list, "name", out, sizeof out), 0);
  EXPECT_STREQ(out, "main");
  EXPECT_EQ(paramGetString(list, "line", out, sizeof out), 0);
  EXPECT_STREQ(out, "12");  // the last item ends at the end of the text
  EXPECT_EQ(paramGetString("index=1,lines=4", "line", out, sizeof out), 0);
  EXPECT_STREQ(out, "4");
  // The test is a prefix test: "free" matches freeops before free.
  EXPECT_EQ(paramGetString("freeops=5,free=2", "free", out, sizeof out), 0);
  EXPECT_STREQ(out, "5");
  // Data texts may hold '=' after the first one.
  EXPECT_EQ(paramGetString("expr=a=b,x=1", "expr", out, sizeof out), 0);
  EXPECT_STREQ(out, "a=b");
}

TEST(ParamTest, GetStringMissingEmptyAndMalformedItems) {
  char out[8];
  strcpy(out, "junk");
  EXPECT_EQ(paramGetString("a=1,b=2", "c", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  strcpy(out, "junk");
  EXPECT_EQ(paramGetString(nullptr, "c", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  strcpy(out, "junk");
  EXPECT_EQ(paramGetString("noequals", "no", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  strcpy(out, "junk");
  EXPECT_EQ(paramGetString("a=1,b=", "b", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  // The matching item has no '=' of its own: the '=' found lies in a later item.
  strcpy(out, "junk");
  EXPECT_EQ(paramGetString("a=1,flag,c=3", "flag", out, sizeof out), -1);
  EXPECT_STREQ(out, "");
}

TEST(ParamTest, GetStringNeverWritesPastTheBuffer) {
  char out[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(paramGetString("name=abcdefghij", "name", out, 4), 0);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(out[4], 'x');
  EXPECT_EQ(paramGetString("name=abc", "name", out, 0), 0);
  EXPECT_EQ(out[0], 'a');  // a zero-sized buffer is not touched
  EXPECT_EQ(paramGetString("name=abc", "name", out, 1), 0);
  EXPECT_STREQ(out, "");
}

TEST(ParamTest, GetNumberReadsLeadingDigits) {
  int v = -1;
  EXPECT_EQ(paramGetNumber("index=3,count=17", "count", &v), 0);
  EXPECT_EQ(v, 17);
  v = -1;
  EXPECT_EQ(paramGetNumber("index=3", "missing", &v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(paramGetNumber("size=12kB", "size", &v), 0);
  EXPECT_EQ(v, 12);
  EXPECT_EQ(paramGetNumber("size=kB", "size", &v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(paramGetNumber("delta=-4", "delta", &v), 0);
  EXPECT_EQ(v, -4);
  // More than 31 characters are cut to 31 before the conversion.
  std::string longValue = "n=" + std::string(30, '0') + "12345";
  EXPECT_EQ(paramGetNumber(longValue.c_str(), "n", &v), 0);
  EXPECT_EQ(v, 1);
  // Out-of-range values saturate alike on 32- and 64-bit builds.
  EXPECT_EQ(paramGetNumber("n=99999999999", "n", &v), 0);
  EXPECT_EQ(v, 2147483647);
}

}  // namespace
