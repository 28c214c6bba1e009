#include "shell.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nktest.h"

namespace {

const char kHelp[] =
    "version\t- Show the version number of this program\n"
    "exit\t- Quit the shell\n"
    "quit\t- Quit the shell\n"
    "help\t- Show this help\n"
    "lua\t- execuate a lua command in nkrun\n"
    "ps\t- show running lua threads\n"
    "memh\t- show memory handles\n"
    "memstats\t- show memory stats\n"
    "memb\t- show memory blocks\n"
    "mem\t- show memory usage\n"
    "events\t- show running lua threads\n"
    "lists\t- show lists\n"
    "timers\t- show timers\n"
    "stats\t- show run time stats\n"
    "post\t- post an event to the runtime\n"
    "get\t- get the value of an RTDB tag\n"
    "set\t- set the value of an RTDB tag\n"
    "rules\t- show the rules table\n";

std::vector<std::string> split(const std::string &line, int max = nksh::kMaxWords) {
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  std::vector<char *> words(max);
  int n = nksh::splitWords(buf.data(), words.data(), max);
  if (n < 0) return {"<too many>"};
  return std::vector<std::string>(words.begin(), words.begin() + n);
}

std::string dispatch(std::vector<std::string> words) {
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  dispatchCommand(static_cast<int>(words.size()), argv.data());
  return ::testing::internal::GetCapturedStdout();
}

nktest::ProcessResult nksh(const std::vector<std::string> &args, const std::string &input = "") {
  return nktest::runProgram(nktest::builtProgram("nksh"), args, input);
}

using Words = std::vector<std::string>;

TEST(ShellTest, SplitsAtSpacesOnly) {
  EXPECT_EQ(split("memh nkrun"), (Words{"memh", "nkrun"}));
  EXPECT_EQ(split("   set  pump1   on  "), (Words{"set", "pump1", "on"}));
  EXPECT_EQ(split("lua\tprint(1) x"), (Words{"lua\tprint(1)", "x"}));
  EXPECT_EQ(split(""), Words{});
  EXPECT_EQ(split("    "), Words{});
  // The vector's limit: a line with one word more is refused whole.
  std::string full;
  for (int i = 0; i < 4; i++) full += "w ";
  EXPECT_EQ(split(full, 4).size(), 4u);
  EXPECT_EQ(split(full + "x", 4), Words{"<too many>"});
  EXPECT_EQ(split(full + "   ", 4).size(), 4u);  // trailing blanks are no word
}

TEST(ShellTest, DispatchMatchesByPrefixInTableOrder) {
  EXPECT_EQ(dispatch({"version"}), "nksh version 0.01\n");
  EXPECT_EQ(dispatch({"versionx", "a"}), "nksh version 0.01\n");
  EXPECT_EQ(dispatch({"helpme"}), kHelp);
  EXPECT_EQ(dispatch({"memory"}), "* mem: not available yet\n");
  EXPECT_EQ(dispatch({"memh"}), "* memh: not available yet\n");
  EXPECT_EQ(dispatch({"memstatsx"}), "* memstats: not available yet\n");
  EXPECT_EQ(dispatch({"settle"}), "* set: not available yet\n");
  EXPECT_EQ(dispatch({"me"}), "* Unknown command, try help\n");
  EXPECT_EQ(dispatch({"e"}), "* Unknown command, try help\n");
  EXPECT_EQ(dispatch({"EXIT"}), "* Unknown command, try help\n");
  EXPECT_EQ(nksh::quitRequested, 0);
  EXPECT_EQ(dispatch({"exitnow"}), "");
  EXPECT_EQ(nksh::quitRequested, 1);
  nksh::quitRequested = 0;
  EXPECT_EQ(dispatch({"quit"}), "");
  EXPECT_EQ(nksh::quitRequested, 1);
  nksh::quitRequested = 0;
}

TEST(ShellTest, TableHasTheEighteenRowsInOrder) {
  std::string rows;
  for (const ShellCommand &c : commands) {
    ASSERT_NE(c.handler, nullptr) << c.name;
    rows += std::string(c.name) + "\t- " + c.help + "\n";
  }
  EXPECT_EQ(rows, kHelp);
}

TEST(NkshTest, OneShotCommands) {
  auto r = nksh({"-c", "help"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, kHelp);
  r = nksh({"-c", "version"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "nksh version 0.01\n");
  // One command, then status 0 whatever it did.
  r = nksh({"-c", "memb", "nkrun"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "* memb: not available yet\n");
  r = nksh({"-c", "bogus"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "* Unknown command, try help\n");
  // Options after the command word belong to the command.
  r = nksh({"-dc", "version", "-x"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "nksh version 0.01\n");
}

TEST(NkshTest, OptionErrorsAndUsage) {
  auto r = nksh({"-?"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_NE(r.out.find("\t** Application Name : nksh\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Usage:\n\tnksh [-d] [-v] [-c <command>]\n\nWhere:\n"
                       "\td - switch on debug output\n\tv - increase verbosity\n"
                       "\tc - execute command\n\tr - connect to alternate nkrun process\n"),
            std::string::npos)
      << r.out;
  r = nksh({"-x"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "Unknown option 'x', use -? for help\n");
  r = nksh({"-r"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "Switch 'r' needs an argument\n");
}

TEST(NkshTest, ImplementerChoicesForBadOptions) {
  // -c with no command word: an error, not a crash or a silent success.
  auto r = nksh({"-c"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "No command given for -c, use -? for help\n");
  r = nksh({"-d", "-c"});
  EXPECT_EQ(r.exitCode(), 1);
  // A -r name must fit the 64-byte buffers of the listings: 63 characters.
  r = nksh({"-r", std::string(64, 'n'), "-c", "version"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "Process name given to -r is too long (at most 63 characters)\n");
  r = nksh({"-r", std::string(63, 'n'), "-c", "version"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "nksh version 0.01\n");
}

TEST(NkshTest, PromptLoopRunsLinesUntilEndOfInput) {
  auto r = nksh({}, "version\n\n   \nEXIT\nhelp\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, std::string("nksh> nksh version 0.01\nnksh> nksh> nksh> "
                               "* Unknown command, try help\nnksh> ") +
                       kHelp + "nksh> ");
  // End of input without a final line end still runs the last line.
  r = nksh({}, "version");
  EXPECT_EQ(r.out, "nksh> nksh version 0.01\nnksh> ");
  r = nksh({}, "");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "nksh> ");
}

TEST(NkshTest, ExitAndQuitEndTheLoop) {
  for (const char *word : {"exit", "quit", "exitnow"}) {
    auto r = nksh({}, std::string(word) + "\nversion\n");
    EXPECT_EQ(r.exitCode(), 0) << word;
    EXPECT_EQ(r.out, "nksh> ") << word;
  }
}

TEST(NkshTest, DotRepeatsThePreviousCommandWord) {
  // First line: the previous-line buffer is empty, nothing runs.
  auto r = nksh({}, ".\nmemh nkrun\n.\n.\nversion\n.\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out,
            "nksh> nksh> * memh: not available yet\n"
            "nksh> * memh: not available yet\n"
            "nksh> * memh: not available yet\n"
            "nksh> nksh version 0.01\n"
            "nksh> nksh version 0.01\n"
            "nksh> ");
  // Only the command word is repeated, and only from the line just before.
  r = nksh({}, "  version extra\n.\n\n.\n");
  EXPECT_EQ(r.out, "nksh> nksh version 0.01\nnksh> nksh version 0.01\nnksh> nksh> nksh> ");
}

TEST(NkshTest, OverlongLinesAreHandledSafely) {
  // 129 words: refused whole, the loop goes on.
  std::string many = "version";
  for (int i = 0; i < 128; i++) many += " w";
  auto r = nksh({}, many + "\nversion\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out,
            "nksh> * Too many words (more than 128), line ignored\n"
            "nksh> nksh version 0.01\nnksh> ");
  // Exactly 128 words run.
  std::string enough = "version";
  for (int i = 0; i < 127; i++) enough += " w";
  r = nksh({}, enough + "\n");
  EXPECT_EQ(r.out, "nksh> nksh version 0.01\nnksh> ");
  // A line of more than 2047 characters is taken in pieces of 2047.
  std::string longLine = "version" + std::string(2040, 'x') + "help";
  r = nksh({}, longLine + "\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, std::string("nksh> nksh version 0.01\nnksh> ") + kHelp + "nksh> ");
}

}  // namespace
