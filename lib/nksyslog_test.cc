#include "nksyslog.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "configfile.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nksyslog_internal.h"
#include "nktest.h"

// nklogGdb's null write must reach the test as the signal a debugger would
// stop on, not as a sanitizer report.
#if defined(NK_ASAN_BUILD)
extern "C" const char *__asan_default_options();
extern "C" const char *__asan_default_options() { return "handle_segv=0"; }
#endif
#if defined(NK_TSAN_BUILD)
extern "C" const char *__tsan_default_options();
extern "C" const char *__tsan_default_options() { return "handle_segv=0"; }
#endif

// This program is linked with the C library's system log functions wrapped
// (see CMakeLists.txt): the calls are recorded below and never reach the
// system log.
extern "C" {
void __wrap_openlog(const char *ident, int option, int facility);
void __wrap_syslog(int priority, const char *format, ...) NK_PRINTF(2, 3);
void __wrap_vsyslog(int priority, const char *format, va_list args) NK_PRINTF(2, 0);
void __wrap___syslog_chk(int priority, int flag, const char *format, ...) NK_PRINTF(3, 4);
void __wrap___vsyslog_chk(int priority, int flag, const char *format, va_list args) NK_PRINTF(3, 0);
}

namespace {

// One call to the system log, as the logger would file it.
struct SyslogCall {
  int priority;       // with openlog's facility where the call named none
  std::string ident;  // openlog's, or the program's name before openlog
  std::string text;
  bool operator==(const SyslogCall &other) const {
    return priority == other.priority && ident == other.ident && text == other.text;
  }
};

void PrintTo(const SyslogCall &call, std::ostream *out) {
  *out << "{" << call.priority << ", \"" << call.ident << "\", \"" << call.text << "\"}";
}

std::mutex syslogMutex;
std::condition_variable syslogCalled;
std::vector<SyslogCall> syslogCalls;  // not yet taken; guarded by syslogMutex
const char *syslogIdent;              // guarded by syslogMutex
int syslogFacility = LOG_USER;        // guarded by syslogMutex

// errno is kept, for a "%m" in format.
void recordSyslog(int priority, const char *format, va_list args) NK_PRINTF(2, 0);
void recordSyslog(int priority, const char *format, va_list args) {
  int savedErrno = errno;
  char text[8192];
  vsnprintf(text, sizeof text, format, args);
  {
    std::lock_guard<std::mutex> lock(syslogMutex);
    if ((priority & LOG_FACMASK) == 0) priority |= syslogFacility;
    syslogCalls.push_back(
        {priority, syslogIdent ? syslogIdent : program_invocation_short_name, text});
  }
  syslogCalled.notify_all();
  errno = savedErrno;
}

// Every call not yet taken.
std::vector<SyslogCall> takeSyslogCalls() {
  std::lock_guard<std::mutex> lock(syslogMutex);
  std::vector<SyslogCall> calls;
  calls.swap(syslogCalls);
  return calls;
}

// The first call not yet taken, waiting up to 5 seconds for one; priority -1
// when none came.
SyslogCall nextSyslogCall() {
  std::unique_lock<std::mutex> lock(syslogMutex);
  if (!syslogCalled.wait_for(lock, std::chrono::seconds(5), [] { return !syslogCalls.empty(); })) {
    return {-1, "", ""};
  }
  SyslogCall call = syslogCalls.front();
  syslogCalls.erase(syslogCalls.begin());
  return call;
}

}  // namespace

void __wrap_openlog(const char *ident, int, int facility) {
  std::lock_guard<std::mutex> lock(syslogMutex);
  syslogIdent = ident;  // kept, not copied, as the C library does
  syslogFacility = facility;
}

void __wrap_vsyslog(int priority, const char *format, va_list args) {
  recordSyslog(priority, format, args);
}

void __wrap___vsyslog_chk(int priority, int, const char *format, va_list args) {
  recordSyslog(priority, format, args);
}

void __wrap_syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  recordSyslog(priority, format, args);
  va_end(args);
}

void __wrap___syslog_chk(int priority, int, const char *format, ...) {
  va_list args;
  va_start(args, format);
  recordSyslog(priority, format, args);
  va_end(args);
}

namespace {

const char kStamp[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}";
const char kQuotedStamp[] =
    "\"[0-9]{4}-[0-9]{2}-[0-9]{2}\",\"[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}\"";

// A fixed path of the library, below this program's path root.
std::string rooted(const char *path) { return nktest::systemPath(path); }

// Collects what the logger writes to its default stream.
class LogTest : public ::testing::Test {
 protected:
  std::vector<std::string> logged() { return log_.lines(); }
  nktest::LogCapture log_;
};

bool matches(const std::string &line, const std::string &pattern) {
  return std::regex_match(line, std::regex(pattern, std::regex::extended));
}

// text as a pattern that matches it alone.
std::string literal(const std::string &text) {
  std::string pattern;
  for (char c : text) {
    if (strchr(".[]{}()\\*+?^$|", c)) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

// Runs body in a child process, for what cannot be undone in this one
// (nkopenlog chooses the destination once per process). Failures inside the
// child are printed by it and turn into its exit status.
void inChild(const std::function<void()> &body) {
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    body();
    fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

TEST(LogPathTest, FixedPathsLieBelowTheRoot) {
  const struct {
    const char *root;
    const char *path;
    const char *expected;
  } cases[] = {
      {nullptr, NKLOG_BACKTRACE_PATH, "/var/run/orvalin/backtrace"},
      {"", "/tmp/error_", "/tmp/error_"},
      {"/", NKLOG_FIFO_PATH, "/tmp/logfifo"},
      {"/srv/t1", NKLOG_BACKTRACE_PATH, "/srv/t1/var/run/orvalin/backtrace"},
      {"/srv/t1//", NKLOG_MAILER_FIFO_PATH, "/srv/t1/tmp/mailerfifo"},
  };
  for (const auto &c : cases) {
    nk::setSystemPathRoot(c.root);
    char path[64];
    EXPECT_TRUE(nk::systemPath(c.path, path, sizeof path));
    EXPECT_STREQ(path, c.expected) << (c.root ? c.root : "null");
  }
  char small[8];
  EXPECT_FALSE(nk::systemPath(NKLOG_FIFO_PATH, small, sizeof small));
  EXPECT_STREQ(small, "/srv/t1");
  nk::setSystemPathRoot(nktest::systemRoot().c_str());
}

TEST(LogPathDeathTest, RootsOf256CharactersAbort) {
  const std::string longest = "/" + std::string(254, 'r');  // 255 characters
  for (const std::string &root : {longest, longest + "/"}) {
    nk::setSystemPathRoot(root.c_str());
    char path[300];
    EXPECT_TRUE(nk::systemPath(NKLOG_FIFO_PATH, path, sizeof path));
    EXPECT_EQ(path, longest + NKLOG_FIFO_PATH);
  }
  nk::setSystemPathRoot(nktest::systemRoot().c_str());
  EXPECT_DEATH(nk::setSystemPathRoot((longest + "r").c_str()), "n < kRootSize");
}

TEST_F(LogTest, PlainLineHasDateTimeLevelAndMessage) {
  nksyslog(NKLOG_WARNING, LOGMASK_NET, "%s: value %d", "probe", 7);
  nksyslog(NKLOG_ERR, LOGMASK_NET, "broken");
  auto lines = logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(matches(lines[0], std::string("^") + kStamp + " WARN probe: value 7$")) << lines[0];
  // "ERR " carries its own blank: two blanks before the message.
  EXPECT_TRUE(matches(lines[1], std::string("^") + kStamp + " ERR  broken$")) << lines[1];
}

TEST_F(LogTest, LevelThresholdAndCategoryMask) {
  nksyslog(NKLOG_NOTICE, LOGMASK_ALL, "dropped by the level");
  nkloglevelincrease(1);
  EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
  nksyslog(NKLOG_NOTICE, LOGMASK_NET, "notice passes");
  nksyslog(NKLOG_INFO, LOGMASK_NET, "dropped by the level again");
  nklogMaskSet(LOGMASK_IPC);
  EXPECT_EQ(nkcurrentLogMaskGet(), LOGMASK_IPC);
  nksyslog(NKLOG_NOTICE, LOGMASK_NET, "dropped by the mask");
  nksyslog(NKLOG_NOTICE, LOGMASK_IPC | LOGMASK_NET, "shares a bit");
  nksyslog(NKLOG_ERR, 0, "errors ignore the mask");
  nksyslog(NKLOG_WARNING, 0, "warnings too");
  nksyslog(NKLOG_DEBUG, LOGMASK_IPC, "debug needs the level");
  auto lines = logged();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("NOTE notice passes"), std::string::npos);
  EXPECT_NE(lines[1].find("NOTE shares a bit"), std::string::npos);
  EXPECT_NE(lines[2].find("ERR  errors ignore the mask"), std::string::npos);
  EXPECT_NE(lines[3].find("WARN warnings too"), std::string::npos);
}

TEST_F(LogTest, LineEndsAtTheEdgesOfAMessage) {
  nksyslog(NKLOG_WARNING, 0, "hello\n");
  nksyslog(NKLOG_WARNING, 0, "\nhello");
  nksyslog(NKLOG_WARNING, 0, "two\nlines\n\n");
  nksyslog(NKLOG_WARNING, 0, "%s", "");
  auto lines = logged();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_TRUE(matches(lines[0], std::string("^") + kStamp + " WARN hello$")) << lines[0];
  EXPECT_TRUE(matches(lines[1], std::string("^") + kStamp + " WARN  hello$")) << lines[1];
  // Only one trailing line end is removed; inner ones stay.
  EXPECT_TRUE(matches(lines[2], std::string("^") + kStamp + " WARN two$")) << lines[2];
  EXPECT_EQ(lines[3], "lines");
  EXPECT_EQ(lines[4], "");
  EXPECT_TRUE(matches(lines[5], std::string("^") + kStamp + " WARN $")) << lines[5];
}

// A raw message is a text, not a format: it may hold '%' with no arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-security"

TEST_F(LogTest, RawPriorityWritesTheFormatVerbatim) {
  nksyslog(NKLOG_RAW | NKLOG_ERR, 0, "raw %d%% text\n");
  nksyslog(NKLOG_RAW | NKLOG_INFO, LOGMASK_ALL, "dropped: INFO is above the level");
  auto lines = logged();
  ASSERT_EQ(lines.size(), 2u);  // the raw text keeps its line end
  std::string stamp = std::string(kStamp);
  stamp[stamp.find(' ')] = ',';
  EXPECT_TRUE(matches(lines[0], "^" + stamp + ",ERR ,raw %d%% text$")) << lines[0];
  EXPECT_EQ(lines[1], "");
}

#pragma GCC diagnostic pop

TEST_F(LogTest, LongMessagesAreCutTo4095Characters) {
  std::string big(5000, 'x');
  nksyslog(NKLOG_WARNING, 0, "%s", big.c_str());
  auto lines = logged();
  ASSERT_EQ(lines.size(), 1u);
  size_t at = lines[0].find(" WARN ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(lines[0].size() - (at + 6), 4095u);
}

TEST_F(LogTest, LevelNamesSelectTheLevel) {
  nkloglevelset("test", "ERR");  // needs its blank
  EXPECT_EQ(nkloglevelget(), NKLOG_WARNING);
  nkloglevelset("test", "DBUG");
  EXPECT_EQ(nkloglevelget(), 7);
  nkloglevelset("test", "VVDB");
  EXPECT_EQ(nkloglevelget(), 9);
  nkloglevelset("test", "ERR ");
  EXPECT_EQ(nkloglevelget(), 3);
  nkloglevelset("test", "WARNING");
  EXPECT_EQ(nkloglevelget(), 4);
  nkloglevelset("test", "!!!!");
  EXPECT_EQ(nkloglevelget(), 0);
  nkloglevelset("test", "");
  EXPECT_EQ(nkloglevelget(), 0);
  // Before nkopenlog the changes are not reported.
  nkloglevelset("test", "VVDB");
  EXPECT_TRUE(logged().empty());
  nkloglevelincrease(2);
  EXPECT_EQ(nkloglevelget(), 11);  // no bound
}

TEST(BacktraceTest, GoesToTheLogAndTheFile) {
  const struct {
    const char *script;
    const char *firstLine;  // of the file, then one line per frame
  } cases[] = {
      {"pump.lua", "While executing script pump.lua at line 12\n"},
      {nullptr, ""},  // no script: the file holds the frames alone
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.script ? c.script : "no script");
    nktest::LogCapture log;
    nklogPosition(c.script, 12);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(nklogBackTrace(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "doing backtrace\n");
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    size_t first = 0;
    if (c.script) {
      EXPECT_TRUE(matches(lines[0], std::string("^") + kStamp +
                                        " ERR   While executing script pump.lua at line 12$"))
          << lines[0];
      first = 1;
    }
    std::string expected = c.firstLine;
    std::regex frame(std::string("^") + kStamp + " ERR  (.+)$", std::regex::extended);
    for (size_t i = first; i < lines.size(); i++) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[i], m, frame)) << lines[i];
      expected += m[1].str() + "\n";
    }
    EXPECT_EQ(nktest::readFile(rooted(NKLOG_BACKTRACE_PATH)), expected);
  }
}

TEST(BacktraceTest, UnwritableFileIsReported) {
  const std::string file = rooted(NKLOG_BACKTRACE_PATH);
  const std::string folder = file.substr(0, file.rfind('/'));
  const std::string away = folder + ".away";
  const struct {
    const char *obstacle;
    std::function<int()> make, undo;
    const char *error;
  } cases[] = {
      {"a folder in the file's place", [&] { return mkdir(file.c_str(), 0755); },
       [&] { return rmdir(file.c_str()); }, "Is a directory"},
      {"no folder for the file", [&] { return rename(folder.c_str(), away.c_str()); },
       [&] { return rename(away.c_str(), folder.c_str()); }, "No such file or directory"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.obstacle);
    nktest::LogCapture log;
    unlink(file.c_str());
    ASSERT_EQ(c.make(), 0) << strerror(errno);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(nklogBackTrace(), 0);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(c.undo(), 0) << strerror(errno);
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(matches(lines.back(), std::string("^") + kStamp +
                                          " WARN Can't open backtrace file \\(" + c.error + "\\)$"))
        << lines.back();
  }
}

TEST(LogDeathTest, PriorityOutsideTheRangeAborts) {
  EXPECT_DEATH(
      {
        nkloglevelset("test", "VVDB");
        nksyslog(8, LOGMASK_ALL, "never written");
      },
      "priority >= NKLOG_EMERG && priority <= NKLOG_DEBUG");
  EXPECT_DEATH(nkopenlog("test", 1, NKLOG_LOCAL0),
               "logopt == 0 && \\(facility == NKLOG_LOCAL0 \\|\\| facility == NKLOG_REMOTE0\\)");
  EXPECT_DEATH(nkopenlog("test", 0, 7), "facility == NKLOG_LOCAL0");
}

TEST(LogDeathTest, AssertionLogsWritesTheBacktraceAndExits) {
  const std::string file = rooted(NKLOG_BACKTRACE_PATH);
  unlink(file.c_str());
  EXPECT_EXIT(
      {
        nksetdefaultlog(stderr);
        nk::assertFailed("mod", 42, LOGMASK_MEMORY);
      },
      ::testing::ExitedWithCode(1),
      std::string("^") + kStamp + " CRIT Assertion failed file mod line 42\n" + "(" + kStamp +
          " ERR  [^\n]*\n)+");
  EXPECT_NE(nktest::readFile(file), "");
}

TEST(LogDeathTest, HaltLogsWritesTheBacktraceAndExits) {
  EXPECT_EXIT(
      {
        nksetdefaultlog(stderr);
        nklogForceDebugger();  // a halt never traps, even under a debugger
        nk::halt("netfuncs", 7, LOGMASK_NET);
      },
      ::testing::ExitedWithCode(1),
      std::string("^") + kStamp + " CRIT Program halted in file netfuncs at line 7\n");
}

TEST(LogDeathTest, AssertionTrapsUnderADebugger) {
  EXPECT_EXIT(
      {
        nksetdefaultlog(stderr);
        nklogForceDebugger();
        nk::assertFailed("mod", 9, LOGMASK_MEMORY);
      },
      // Nothing follows the message (no backtrace) but the emulator's own report.
      ::testing::KilledBySignal(SIGSEGV),
      "CRIT Assertion failed file mod line 9\n(qemu: [^\n]*\n)?$");
}

TEST(LogTestInChild, DebuggerDetection) {
  // PTRACE_TRACEME makes the parent our tracer: done in a child that ends
  // at once, never in the test process itself.
  inChild([] {
    EXPECT_EQ(nklogDebuggerAttached(), 0);
    EXPECT_EQ(nklogDebuggerAttached(), 0);  // our own request is remembered
    EXPECT_EQ(nklogForceDebugger(), 0);
    EXPECT_EQ(nklogDebuggerAttached(), 1);
  });
}

// Reads the log FIFO as the log reader process would.
struct FifoReader {
  std::string text;
  std::thread thread;
  void start() {
    thread = std::thread([this] {
      int fd = open(rooted(NKLOG_FIFO_PATH).c_str(), O_RDONLY);
      if (fd < 0) return;
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
      close(fd);
    });
  }
};

// Makes the log FIFO afresh.
::testing::AssertionResult makeLogFifo() {
  std::string path = rooted(NKLOG_FIFO_PATH);
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "mkfifo " << path << ": " << strerror(errno);
}

TEST(LogTestInChild, FifoDestinationWritesTheQuotedForm) {
  inChild([] {
    ASSERT_TRUE(makeLogFifo());
    FifoReader reader;
    reader.start();
    nkopenlog("tester", 0, NKLOG_REMOTE0);
    EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
    nksyslog(NKLOG_NOTICE, LOGMASK_NET, "note %d", 1);
    nksyslog(NKLOG_INFO, LOGMASK_NET, "dropped");
    nkloglevelset("tester", "INFO");
    nkloglevelset("tester", "BOGUS");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    nksyslog(NKLOG_RAW | NKLOG_ERR, 0, "raw %s");  // a text, not a format
#pragma GCC diagnostic pop
    nkopenlog("other", 0, NKLOG_LOCAL0);  // a second call changes nothing
    nksyslog(NKLOG_WARNING, 0, "still here\n");
    nkcloselog();
    reader.thread.join();
    unlink(rooted(NKLOG_FIFO_PATH).c_str());

    auto lines = nktest::lines(reader.text);
    ASSERT_EQ(lines.size(), 5u) << reader.text;
    std::string q = std::string("^") + kQuotedStamp + ",\"tester\",";
    EXPECT_TRUE(matches(lines[0], q + "\"NOTE\",\"note 1\"$")) << lines[0];
    EXPECT_TRUE(matches(lines[1], q + "\"INFO\",\"Changed log level to INFO for tester\"$"))
        << lines[1];
    EXPECT_TRUE(matches(lines[2], q + "\"WARN\",\"Failed to map log level BOGUS for tester\"$"))
        << lines[2];
    std::string raw = std::string(kStamp);
    raw[raw.find(' ')] = ',';
    EXPECT_TRUE(matches(lines[3], "^" + raw + ",ERR ,raw %s$")) << lines[3];
    EXPECT_TRUE(matches(lines[4], q + "\"WARN\",\"still here\"$")) << lines[4];

    // Closed: lines go to the default stream, still in the quoted form.
    FILE *capture = tmpfile();
    nksetdefaultlog(capture);
    nksyslog(NKLOG_WARNING, 0, "after close");
    rewind(capture);
    char line[512] = "";
    ASSERT_NE(fgets(line, sizeof line, capture), nullptr);
    fclose(capture);
    std::string after(line);
    after.pop_back();
    EXPECT_TRUE(matches(after, q + "\"WARN\",\"after close\"$")) << after;
  });
}

TEST(LogTestInChild, SystemLogDestination) {
  inChild([] {
    takeSyslogCalls();
    nkopenlog("tester", 0, NKLOG_LOCAL0);
    EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
    nksyslog(NKLOG_ERR, 0, "hello %d", 5);
    nksyslog(NKLOG_RAW | NKLOG_NOTICE, LOGMASK_ALL, "raw text");
    nksyslog(NKLOG_INFO, LOGMASK_ALL, "below the level");
    // Under the local0 facility and the name given to nkopenlog; the date is
    // the system log's, not ours.
    const std::vector<SyslogCall> expected = {
        {LOG_LOCAL0 | LOG_ERR, "tester", "ERR  hello 5"},
        {LOG_LOCAL0 | LOG_NOTICE, "tester", "NOTE raw text"},
    };
    EXPECT_EQ(takeSyslogCalls(), expected);
  });
}

TEST(LogTestInChild, MissingFifoIsRetriedUntilItAppears) {
  inChild([] {
    takeSyslogCalls();
    unlink(rooted(NKLOG_FIFO_PATH).c_str());
    std::thread opener([] { nkopenlog("tester", 0, NKLOG_REMOTE0); });
    // Each attempt is reported to the system log, under the program's name
    // and the user facility; the FIFO appears after the first report, and a
    // reader opens it.
    EXPECT_EQ(nextSyslogCall(),
              (SyslogCall{LOG_USER | LOG_ERR, "nksyslog_test",
                          "No log FIFO " + rooted(NKLOG_FIFO_PATH) + " found, retrying"}));
    ASSERT_TRUE(makeLogFifo());
    FifoReader reader;
    reader.start();
    opener.join();
    nksyslog(NKLOG_WARNING, 0, "arrived");
    nkcloselog();
    reader.thread.join();
    unlink(rooted(NKLOG_FIFO_PATH).c_str());
    EXPECT_NE(reader.text.find("\"tester\",\"WARN\",\"arrived\""), std::string::npos)
        << reader.text;
  });
}

}  // namespace

// E-mail alerts.
namespace {

struct timeval fakeNow;
int fakeClock(struct timeval *now) {
  *now = fakeNow;
  return 0;
}

// Plays the mailer: the test holds the mailer FIFO open for reading without
// blocking, so that each alert's open goes through at once, and reads the
// records afterwards. The alert clock is the test's.
class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nk::setAlertClock(fakeClock);
    unlink(mailerFifo_.c_str());
    ASSERT_EQ(mkfifo(mailerFifo_.c_str(), 0600), 0) << strerror(errno);
    fifo_ = open(mailerFifo_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifo_, 0) << strerror(errno);
    takeSyslogCalls();
  }
  void TearDown() override {
    EXPECT_EQ(takeSyslogCalls(), std::vector<SyslogCall>{}) << "reports not expected";
    nk::setAlertClock(nullptr);
    if (fifo_ >= 0) close(fifo_);
    unlink(mailerFifo_.c_str());
    for (const std::string &path : bodies_) {
      if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
  }
  void alertAt(time_t seconds, long micros, int priority = NKLOG_ERR) {
    fakeNow.tv_sec = seconds;
    fakeNow.tv_usec = micros;
    sendEmailAlert(priority, "12:00:01", "pump failed");
  }
  // The body file an alert at this time makes while n alerts are counted.
  std::string bodyPath(time_t seconds, long micros, unsigned n) {
    std::string path = rooted("/tmp/error_") + std::to_string(seconds) + std::to_string(micros) +
                       std::to_string(n);
    bodies_.push_back(path);
    return path;
  }
  // The records written since the last call.
  std::vector<std::string> records() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fifo_, buf, sizeof buf)) > 0) text.append(buf, n);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    auto lines = nktest::lines(text);
    for (const std::string &line : lines) bodies_.push_back(line.substr(line.rfind(',') + 1));
    return lines;
  }
  static std::string contents(const std::string &path) {
    std::string text;
    FILE *file = fopen(path.c_str(), "r");
    EXPECT_NE(file, nullptr) << path;
    if (!file) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    fclose(file);
    return text;
  }
  // Checks that the system log got this report next, under the program's name
  // and the user facility.
  void expectReport(const std::string &report) {
    SyslogCall call = nextSyslogCall();
    EXPECT_EQ(call.priority, LOG_USER | LOG_ERR);
    EXPECT_EQ(call.ident, "nksyslog_test");
    EXPECT_TRUE(matches(call.text, "^nksyslog\\.cc:[0-9]+ - " + literal(report) + "\n$"))
        << call.text;
  }
  const std::string mailerFifo_ = rooted(NKLOG_MAILER_FIFO_PATH);
  int fifo_ = -1;
  std::vector<std::string> bodies_;
};

const char kSubject[] = "Error Notification from CompanyNotSet KRV (#000000)";

std::string bodyText(const char *component, const char *priority) {
  return std::string("The following error was logged on KRV # 000000\n\n\tComponent: ") +
         component + "\n\tTime: 12:00:01\n\tPriority: " + priority + "\n\n\t\"pump failed\"\n\n";
}

const char kLimiterLine[] = "Rate limiter activated (no more than 3 alerts within 10 seconds)\n\n";

TEST_F(AlertTest, FourAlertsWithinOneSecond) {
  const time_t t = 1700000000;
  alertAt(t, 100);  // opens a window: whatever was counted before is dropped
  auto sent = records();
  ASSERT_EQ(sent.size(), 1u);
  alertAt(t, 101);
  alertAt(t, 102);
  alertAt(t, 103);
  auto more = records();
  sent.insert(sent.end(), more.begin(), more.end());
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], std::string(kSubject) + ",,," + bodyPath(t, 101, 0));
  EXPECT_EQ(sent[2], std::string(kSubject) + ",,," + bodyPath(t, 102, 1));
  // The process is named when nkopenlog was given no component.
  EXPECT_EQ(contents(sent[0].substr(sent[0].rfind(',') + 1)), bodyText("nksyslog_test", "ERR "));
  EXPECT_EQ(contents(bodyPath(t, 101, 0)), bodyText("nksyslog_test", "ERR "));
  EXPECT_EQ(contents(bodyPath(t, 102, 1)), bodyText("nksyslog_test", "ERR ") + kLimiterLine);
  EXPECT_EQ(contents(bodyPath(t, 103, 2)), "");  // refused: left empty
  expectReport("Exceeded email alerts threshold");
}

TEST_F(AlertTest, WindowReopensTenSecondsAfterItsStart) {
  const time_t t = 1710000000;
  alertAt(t, 0);
  alertAt(t + 1, 0);
  alertAt(t + 9, 0);  // the third: announces the limiter
  alertAt(t + 9, 1);  // refused
  alertAt(t + 9, 999999);
  ASSERT_EQ(records().size(), 3u);
  EXPECT_EQ(contents(bodyPath(t + 9, 0, 1)), bodyText("nksyslog_test", "ERR ") + kLimiterLine);
  EXPECT_EQ(contents(bodyPath(t + 9, 1, 2)), "");
  EXPECT_EQ(contents(bodyPath(t + 9, 999999, 3)), "");
  expectReport("Exceeded email alerts threshold");
  expectReport("Exceeded email alerts threshold");
  alertAt(t + 10, 0);  // a new window; the body names the count before it
  alertAt(t + 10, 1);
  auto sent = records();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], std::string(kSubject) + ",,," + bodyPath(t + 10, 0, 4));
  EXPECT_EQ(contents(bodyPath(t + 10, 0, 4)), bodyText("nksyslog_test", "ERR "));
  EXPECT_EQ(contents(bodyPath(t + 10, 1, 0)), bodyText("nksyslog_test", "ERR "));
  // A clock set back opens a new window too.
  alertAt(t + 10, 2);  // the third of the window at t + 10
  alertAt(t + 10, 3);  // refused
  alertAt(t - 100, 0);
  sent = records();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], std::string(kSubject) + ",,," + bodyPath(t - 100, 0, 3));
  EXPECT_EQ(contents(bodyPath(t - 100, 0, 3)), bodyText("nksyslog_test", "ERR "));
  bodyPath(t + 10, 3, 2);  // for cleanup
  expectReport("Exceeded email alerts threshold");
}

TEST_F(AlertTest, SubjectNamesTheConfiguredCompanyAndBodyThePriority) {
  memInit();
  std::string configPath = rooted("/tmp/alert_configXXXXXX");
  char *config = &configPath[0];
  int fd = mkstemp(config);
  ASSERT_GE(fd, 0);
  const std::string longName(200, 'C');
  std::string content = "companyName=Acme Ltd\ncompanyName=Second\n";
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  configSetFile(config);
  configReadFile();
  const time_t t = 1720000000;
  alertAt(t, 0, NKLOG_EMERG);
  FILE *file = fopen(config, "w");
  fprintf(file, "companyName=%s\n", longName.c_str());
  fclose(file);
  configReadFile();
  alertAt(t + 20, 0, NKLOG_VVDEBUG);
  configCloseFile();
  unlink(config);
  auto sent = records();
  ASSERT_EQ(sent.size(), 2u);
  // The first alert's file names whatever count an earlier test left.
  std::string first = sent[0].substr(sent[0].rfind(',') + 1);
  EXPECT_EQ(sent[0], "Error Notification from Acme Ltd KRV (#000000),,," + first);
  std::string cut = ("Error Notification from " + longName + " KRV (#000000)").substr(0, 127);
  EXPECT_EQ(sent[1], cut + ",,," + bodyPath(t + 20, 0, 0));
  EXPECT_EQ(contents(first), bodyText("nksyslog_test", "!!!!"));
  EXPECT_EQ(contents(bodyPath(t + 20, 0, 0)), bodyText("nksyslog_test", "VVDB"));
}

TEST_F(AlertTest, FailuresAreReportedAndSendNothing) {
  const time_t t = 1730000000;
  alertAt(t, 0);
  // A body file that cannot be made: the FIFO is closed again and the alert
  // is not counted.
  std::string blocked = bodyPath(t + 100, 0, 0);
  ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0) << strerror(errno);
  alertAt(t + 100, 0);
  expectReport("Failed to open " + blocked + " for writing");
  alertAt(t + 5, 0);  // still in the first window, as its second alert
  auto sent = records();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], std::string(kSubject) + ",,," + bodyPath(t + 5, 0, 0));

  // No mailer FIFO: nothing is created in its place.
  close(fifo_);
  fifo_ = -1;
  unlink(mailerFifo_.c_str());
  alertAt(t + 6, 0);
  expectReport("Failed to open " + mailerFifo_ + " for writing");
  struct stat st;
  EXPECT_NE(stat(mailerFifo_.c_str(), &st), 0);
  EXPECT_NE(stat(bodyPath(t + 6, 0, 1).c_str(), &st), 0);
}

TEST_F(AlertTest, BodyNamesTheComponentGivenToOpenlog) {
  inChild([this] {
    ASSERT_TRUE(makeLogFifo());
    FifoReader reader;
    reader.start();
    nkopenlog("pumpd", 0, NKLOG_REMOTE0);
    alertAt(1740000000, 0);
    nkcloselog();
    reader.thread.join();
    unlink(rooted(NKLOG_FIFO_PATH).c_str());
  });
  auto sent = records();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(contents(sent[0].substr(sent[0].rfind(',') + 1)), bodyText("pumpd", "ERR "));
}

TEST(AlertDeathTest, PriorityBeyondTheLevelNamesAborts) {
  EXPECT_DEATH(sendEmailAlert(10, "12:00:01", "m"),
               "priority >= NKLOG_EMERG && priority <= NKLOG_VVDEBUG");
  EXPECT_DEATH(sendEmailAlert(-1, "12:00:01", "m"), "priority >= NKLOG_EMERG");
}

}  // namespace
