#define NK_MODULE "configfile_test"
#include "configfile.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

class ConfigEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new ConfigEnvironment);

// Each test reads a file of its own and leaves nothing read and nothing
// allocated behind it.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    freeBefore_ = memFreeHandleCount();
    char path[] = "/tmp/configfile_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
    path_ = path;
  }
  void TearDown() override {
    configCloseFile();
    unlink(path_.c_str());
    EXPECT_EQ(memFreeHandleCount(), freeBefore_);
  }
  void read(const std::string &content) {
    FILE *file = fopen(path_.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs(content.c_str(), file);
    fclose(file);
    configSetFile(path_.c_str());
    configReadFile();
  }
  // The logged messages, without their date and time.
  std::vector<std::string> logged() { return log_.messages(); }
  std::string value(const char *key) { return configValue(key, "<default>"); }
  std::string next(const char *key) {
    const char *v = configValueR(key);
    return v ? v : "<null>";
  }
  nktest::LogCapture log_;
  int freeBefore_ = 0;
  std::string path_;
};

// First, while the process still has the path it started with.
TEST_F(ConfigTest, DefaultPathIsReadUntilAnotherIsSet) {
  struct stat st;
  bool present = stat(CONFIG_DEFAULT_PATH, &st) == 0;
  configReadFile();
  if (present) {
    EXPECT_TRUE(logged().empty());
  } else {
    EXPECT_EQ(logged(), std::vector<std::string>{"WARN Can't open file /etc/orvalin/orvalin.conf "
                                                 "(No such file or directory), reverting to "
                                                 "defaults"});
  }
}

TEST_F(ConfigTest, NothingReadGivesDefaults) {
  EXPECT_EQ(value("companyName"), "<default>");
  EXPECT_EQ(configValueR("companyName"), nullptr);
  configCloseFile();  // closing what was never read is harmless
  EXPECT_EQ(value("companyName"), "<default>");
}

TEST_F(ConfigTest, FirstValueWinsAndTheCursorWalksThemAll) {
  read("a=1\n#a=2\na=3\n");
  EXPECT_EQ(value("a"), "1");
  EXPECT_EQ(next("a"), "1");
  EXPECT_EQ(next("a"), "3");
  EXPECT_EQ(next("a"), "<null>");
  EXPECT_EQ(next("a"), "1");   // starts again
  EXPECT_EQ(value("a"), "1");  // configValue leaves the cursor alone
  EXPECT_EQ(next("a"), "3");
}

TEST_F(ConfigTest, OneCursorIsSharedByAllKeys) {
  read("a=1\nb=2\na=3\nb=4\n");
  EXPECT_EQ(next("a"), "1");
  EXPECT_EQ(next("b"), "2");
  EXPECT_EQ(next("a"), "3");
  EXPECT_EQ(next("a"), "<null>");  // b=4 is passed over and the cursor reset
  EXPECT_EQ(next("b"), "2");
  EXPECT_EQ(next("b"), "4");
  EXPECT_EQ(next("a"), "<null>");  // nothing after b=4
  EXPECT_EQ(next("zz"), "<null>");
  EXPECT_EQ(next("a"), "1");
}

TEST_F(ConfigTest, LinesAreSplitAtTheFirstEqualsAndNeverTrimmed) {
  read("a==b\n=b\nc=\n\nnoequals\ncompanyName = Acme\nname=Acme Ltd\nx=1\r\n#y=1\n y=2\nY=3");
  EXPECT_EQ(value("a"), "=b");
  EXPECT_EQ(value(""), "<default>");
  EXPECT_EQ(value("c"), "<default>");
  EXPECT_EQ(value("noequals"), "<default>");
  EXPECT_EQ(value("companyName"), "<default>");
  EXPECT_EQ(value("companyName "), " Acme");
  EXPECT_EQ(value("name"), "Acme Ltd");
  EXPECT_EQ(value("x"), "1\r");
  EXPECT_EQ(value("y"), "<default>");
  EXPECT_EQ(value(" y"), "2");    // only a '#' in the first column comments
  EXPECT_EQ(value("Y"), "3");     // case matters; no line end needed
  EXPECT_TRUE(logged().empty());  // unparsed lines are skipped silently
}

TEST_F(ConfigTest, LongLinesAreReadInPieces) {
  // The first piece is 4095 characters; the rest of the line is a line too.
  std::string first = "k=" + std::string(CONFIG_LINE_SIZE - 3, 'x');
  read(first + "j=2\n" + std::string(5000, 'z') + "\nlast=1\n");
  EXPECT_EQ(value("k"), std::string(CONFIG_LINE_SIZE - 3, 'x'));
  EXPECT_EQ(value("j"), "2");
  EXPECT_EQ(value("last"), "1");
}

TEST_F(ConfigTest, ReadingAgainKeepsOnlyTheNewReading) {
  read("a=1\nb=1\n");
  int afterFirst = memFreeHandleCount();
  EXPECT_EQ(next("a"), "1");
  read("a=2\nb=2\n");
  EXPECT_EQ(memFreeHandleCount(), afterFirst);
  EXPECT_EQ(value("a"), "2");
  EXPECT_EQ(next("a"), "2");  // the cursor went with the old reading
  EXPECT_EQ(next("a"), "<null>");
  configCloseFile();
  EXPECT_EQ(value("a"), "<default>");
}

TEST_F(ConfigTest, MissingFileWarnsAndGivesDefaults) {
  read("a=1\n");
  std::string missing = path_ + ".missing";
  configSetFile(missing.c_str());
  EXPECT_EQ(value("a"), "1");  // takes effect at the next reading
  configReadFile();
  EXPECT_EQ(value("a"), "<default>");
  EXPECT_EQ(configValueR("a"), nullptr);
  EXPECT_EQ(logged(), std::vector<std::string>{"WARN Can't open file " + missing +
                                               " (No such file or directory), reverting to "
                                               "defaults"});
}

TEST_F(ConfigTest, OverlongPathIsKeptTerminated) {
  std::string path(CONFIG_PATH_SIZE + 100, 'p');
  path[0] = '/';
  configSetFile(path.c_str());
  configReadFile();
  auto lines = logged();
  ASSERT_EQ(lines.size(), 1u);
  // The path is kept to its full room and cannot be opened.
  std::string kept = path.substr(0, CONFIG_PATH_SIZE);
  EXPECT_EQ(lines[0],
            ("WARN Can't open file " + kept + " (File name too long)").substr(0, 5 + 4095));
  EXPECT_EQ(value("a"), "<default>");
}

}  // namespace
