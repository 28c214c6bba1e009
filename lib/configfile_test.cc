#include "configfile.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nktest.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kPath = nktest::systemPath("/tmp/test.conf");

// Reads a file of this content, the allocator set up on first use.
void read(const std::string &content) {
  static const bool memReady = (memInit(), true);
  (void)memReady;
  std::ofstream(kPath) << content;
  configSetFile(kPath.c_str());
  configReadFile();
}

std::string cantOpen(const std::string &path, const char *error) {
  return "WARN Can't open file " + path + " (" + error + "), reverting to defaults";
}

// A line is split at its first '=' and never trimmed; only a '#' in the first
// column comments; lines longer than 4095 characters are read in pieces and
// unparsed lines skipped silently. Without a readable file (first the default
// path, then a missing file, then a path kept to its full room, terminated and
// too long to open) lookups give their defaults.
TEST(ConfigTest, LinesGiveKeysAndValuesAndUnreadableFilesNone) {
  nktest::LogCapture log;
  configCloseFile();  // closing what was never read is harmless
  EXPECT_STREQ(configValue("a", "none"), "none");
  EXPECT_EQ(configValueR("a"), nullptr);
  struct stat st;
  Lines expected;
  if (stat(CONFIG_DEFAULT_PATH, &st) != 0) {
    expected.push_back(cantOpen(CONFIG_DEFAULT_PATH, "No such file or directory"));
  }
  configReadFile();
  const std::string x(CONFIG_LINE_SIZE - 3, 'x');
  read("a==b\n=b\nc=\n\nnoequals\nname = Acme\n#y=1\n y=2\nx=1\r\nk=" + x + "j=2\n" +
       std::string(5000, 'z') + "\nY=3");
  for (const char *key : {"", "c", "noequals", "name", "y", "#y"}) {
    EXPECT_EQ(configValue(key, nullptr), nullptr) << key;
  }
  const std::pair<const char *, const char *> found[] = {
      {"a", "=b"}, {"name ", " Acme"}, {" y", "2"}, {"x", "1\r"}, {"j", "2"}, {"Y", "3"},
  };
  for (const auto &[key, value] : found) EXPECT_STREQ(configValue(key, nullptr), value) << key;
  EXPECT_EQ(configValue("k", ""), x);
  const std::string missing = kPath + ".missing", overlong(CONFIG_PATH_SIZE + 100, 'p');
  configSetFile(missing.c_str());
  EXPECT_STREQ(configValue("a", nullptr), "=b");  // takes effect at the next reading
  configReadFile();
  EXPECT_EQ(configValue("a", nullptr), nullptr);
  EXPECT_EQ(configValueR("a"), nullptr);
  expected.push_back(cantOpen(missing, "No such file or directory"));
  configSetFile(overlong.c_str());
  configReadFile();
  expected.push_back(
      cantOpen(overlong.substr(0, CONFIG_PATH_SIZE), "File name too long").substr(0, 5 + 4095));
  EXPECT_EQ(log.messages(), expected);
  configCloseFile();
}

// One cursor serves every key: configValueR goes on from the entry it returned
// last, whatever its key, and starts again after giving null. A new reading or
// a close drops the old one, its cursor, memory and file with it.
TEST(ConfigTest, TheCursorWalksTheValuesInFileOrder) {
  read("");
  const int freeBefore = memFreeHandleCount();
  const auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  read("a=1\n#a=2\nb=2\na=3\nb=4\n");
  const int whileRead = memFreeHandleCount();
  const std::pair<const char *, const char *> steps[] = {
      {"a", "1"}, {"a", "3"},     {"a", nullptr},  {"a", "1"}, {"b", "2"},
      {"b", "4"}, {"a", nullptr}, {"zz", nullptr}, {"b", "2"},
  };
  for (size_t i = 0; i < std::size(steps); i++) {
    EXPECT_STREQ(configValueR(steps[i].first), steps[i].second) << "step " << i;
    EXPECT_STREQ(configValue("a", nullptr), "1");  // the first wins; the cursor stays
  }
  read("b=4\na=2\nb=2\na=3\n");
  EXPECT_EQ(memFreeHandleCount(), whileRead);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), fds);
  EXPECT_STREQ(configValueR("a"), "2");
  configCloseFile();
  EXPECT_EQ(memFreeHandleCount(), freeBefore);
  EXPECT_EQ(configValueR("a"), nullptr);
}

}  // namespace
