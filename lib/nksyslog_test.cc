#include "nksyslog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <utility>
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

// The C library's system log functions are wrapped at link time (see
// CMakeLists.txt): the calls are recorded and never reach the system log.
extern "C" {
void __wrap_openlog(const char *ident, int option, int facility);
void __wrap_syslog(int priority, const char *format, ...) NK_PRINTF(2, 3);
void __wrap_vsyslog(int priority, const char *format, va_list args) NK_PRINTF(2, 0);
void __wrap___syslog_chk(int priority, int flag, const char *format, ...) NK_PRINTF(3, 4);
void __wrap___vsyslog_chk(int priority, int flag, const char *format, va_list args) NK_PRINTF(3, 0);
}

namespace {

using Lines = std::vector<std::string>;

// As "priority text" (a report's source line written N), and openlog's as
// "openlog ident facility".
Lines syslogCalls;
std::function<void()> onSyslog;  // runs after each call is recorded

void recordSyslog(int priority, const char *format, va_list args) NK_PRINTF(2, 0);
void recordSyslog(int priority, const char *format, va_list args) {
  char text[8192];
  vsnprintf(text, sizeof text, format, args);
  static const std::regex line("^nksyslog\\.cc:[0-9]+ ");
  syslogCalls.push_back(std::to_string(priority) + " " +
                        std::regex_replace(text, line, "nksyslog.cc:N "));
  if (onSyslog) onSyslog();
}

}  // namespace

void __wrap_openlog(const char *ident, int, int facility) {
  syslogCalls.push_back("openlog " + std::string(ident) + " " + std::to_string(facility));
}
void __wrap_vsyslog(int p, const char *f, va_list a) { recordSyslog(p, f, a); }
void __wrap___vsyslog_chk(int p, int, const char *f, va_list a) { recordSyslog(p, f, a); }
void __wrap_syslog(int p, const char *f, ...) {
  va_list a;
  va_start(a, f);
  recordSyslog(p, f, a);
  va_end(a);
}
void __wrap___syslog_chk(int p, int, const char *f, ...) {
  va_list a;
  va_start(a, f);
  recordSyslog(p, f, a);
  va_end(a);
}

namespace {

const std::string kDate = "[0-9]{4}-[0-9]{2}-[0-9]{2}",
                  kTime = "[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}";
const std::string kStamp = kDate + " " + kTime, kErr = std::to_string(LOG_ERR) + " ";

// The lines with their date and time written D and T: "D T WARN text" plain,
// "D,T,ERR ,text" raw, "\"D\",\"T\",..." quoted.
Lines unstamp(Lines lines) {
  static const std::regex stamp("^(\"?)" + kDate + "(\"?[ ,]\"?)" + kTime);
  for (auto &line : lines) line = std::regex_replace(line, stamp, "$1D$2T");
  return lines;
}

// Everything that a FIFO's non-blocking read end holds now.
Lines drain(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
  return unstamp(nktest::lines(text));
}

std::string rooted(const char *path) { return nktest::systemPath(path); }

// Makes a FIFO afresh, open for reading without blocking: a writer's open then
// goes through at once.
int fifoReader(const std::string &path) {
  unlink(path.c_str());
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
  return open(path.c_str(), O_RDONLY | O_NONBLOCK);
}

// Runs body in a child process, for what cannot be undone in this one: the
// destination nkopenlog chooses, a parent made our tracer.
void inChild(const std::function<void()> &body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    syslogCalls.clear();
    body();
    fflush(nullptr);
    _exit(::testing::Test::HasFailure());
  }
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0) << "the child failed";
}

TEST(LogPathDeathTest, FixedPathsLieBelowTheRoot) {
  const std::string longest = "/" + std::string(254, 'r');  // 255 characters
  const std::pair<std::string, std::string> cases[] = {
      {"/", "/tmp/logfifo"},
      {"r", "r/tmp/logfifo"},
      {longest + "/", longest + "/tmp/logfifo"},
      {"/srv/t1//", "/srv/t1/tmp/logfifo"},
  };
  char path[300];
  for (const auto &[root, expected] : cases) {
    nk::setSystemPathRoot(root.c_str());
    EXPECT_TRUE(nk::systemPath(NKLOG_FIFO_PATH, path, sizeof path)) << root;
    EXPECT_EQ(path, expected);
  }
  EXPECT_FALSE(nk::systemPath(NKLOG_FIFO_PATH, path, 19));  // one short
  EXPECT_STREQ(path, "/srv/t1/tmp/logfif");
  nk::setSystemPathRoot(nullptr);  // the system's own paths
  EXPECT_TRUE(nk::systemPath("", path, 1));
  EXPECT_STREQ(path, "");
  nk::setSystemPathRoot(nktest::systemRoot().c_str());
  EXPECT_DEATH(nk::setSystemPathRoot((longest + "r").c_str()), "n < kRootSize");
}

TEST(LogTest, LevelAndMaskFilterThePlainLines) {
  nktest::LogCapture log;
  nksyslog(NKLOG_WARNING, LOGMASK_NET, "%s: value %d", "probe", 7);
  nksyslog(NKLOG_NOTICE, LOGMASK_ALL, "dropped by the level");
  nkloglevelincrease(1);
  EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
  nksyslog(NKLOG_NOTICE, LOGMASK_NET, "notice passes");
  nksyslog(NKLOG_INFO, LOGMASK_NET, "dropped by the level again");
  nklogMaskSet(LOGMASK_IPC);
  EXPECT_EQ(nkcurrentLogMaskGet(), LOGMASK_IPC);
  nksyslog(NKLOG_NOTICE, LOGMASK_NET, "dropped by the mask");
  nksyslog(NKLOG_NOTICE, LOGMASK_IPC | LOGMASK_NET, "shares a bit");
  nksyslog(NKLOG_ERR, 0, "errors ignore the mask\n");  // one trailing line end goes
  nksyslog(NKLOG_WARNING, 0, "\nwarnings too");
  nksyslog(NKLOG_WARNING, 0, "two\nlines\n\n");
  nksyslog(NKLOG_WARNING, 0, "%s", "");
  nksyslog(NKLOG_WARNING, 0, "\n");
  nksyslog(NKLOG_RAW | NKLOG_ERR, 0, "raw %%d\n");  // a text, not a format
  nksyslog(NKLOG_RAW | NKLOG_INFO, LOGMASK_ALL, "dropped: INFO is above the level");
  nksyslog(NKLOG_WARNING, 0, "%s", std::string(5000, 'x').c_str());
  EXPECT_EQ(unstamp(log.lines()),
            (Lines{"D T WARN probe: value 7", "D T NOTE notice passes", "D T NOTE shares a bit",
                   "D T ERR  errors ignore the mask", "D T WARN  warnings too", "D T WARN two",
                   "lines", "", "D T WARN ", "D T WARN ", "D,T,ERR ,raw %%d", "",
                   "D T WARN " + std::string(4095, 'x')}));
}

TEST(LogTest, LevelNamesSelectTheLevel) {
  nktest::LogCapture log;
  const std::pair<const char *, int> cases[] = {
      {"ERR", 4}, {"DBUG", 7}, {"VVDB", 9}, {"ERR ", 3}, {"WARNING", 4}, {"!!!!", 0}, {"", 0},
  };
  for (const auto &[name, level] : cases) {
    nkloglevelset("test", name);
    EXPECT_EQ(nkloglevelget(), level) << name;
  }
  EXPECT_EQ(log.lines(), Lines{});  // reported only after nkopenlog
}

// Below a root of 255 characters, the longest there is.
TEST(LogTest, BacktraceGoesToTheLogAndTheFile) {
  const std::string root =
      nktest::systemRoot() + "/" + std::string(254 - nktest::systemRoot().size(), 'r');
  const std::string file = root + NKLOG_BACKTRACE_PATH;
  std::filesystem::create_directories(root + "/var/run/orvalin");
  nk::setSystemPathRoot(root.c_str());
  for (const char *script : {"pump.lua", static_cast<const char *>(nullptr)}) {
    nktest::LogCapture log;
    nklogPosition(script, 12);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(nklogBackTrace(), 0);
    const std::string text = nktest::readFile(file);  // before stdout is flushed, as all are
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "doing backtrace\n");
    // Then the frames, one a line, in the log and alone in the file.
    std::string header = script ? "While executing script pump.lua at line 12\n" : "", frames;
    Lines lines = unstamp(log.lines());
    ASSERT_GT(lines.size(), script ? 1u : 0u);
    if (script) {
      EXPECT_EQ(lines[0] + "\n", "D T ERR   " + header);
    }
    for (size_t i = script ? 1 : 0; i < lines.size(); i++) {
      EXPECT_EQ(lines[i].substr(0, 9), "D T ERR  ");
      frames += lines[i].substr(9) + "\n";
    }
    EXPECT_EQ(text, header + frames);
  }
  nktest::LogCapture log;
  unlink(file.c_str());
  ASSERT_EQ(mkdir(file.c_str(), 0755), 0);  // a folder in the file's place
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(nklogBackTrace(), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(unstamp(log.lines()).back(), "D T WARN Can't open backtrace file (Is a directory)");
  nk::setSystemPathRoot(nktest::systemRoot().c_str());
}

TEST(LogDeathTest, PriorityOrFacilityOutsideTheRangeAborts) {
  nkloglevelset("test", "VVDB");
  EXPECT_DEATH(nksyslog(8, LOGMASK_ALL, "never written"), "priority <= NKLOG_DEBUG");
  EXPECT_DEATH(nkopenlog("test", 1, NKLOG_LOCAL0), "logopt == 0");
  EXPECT_DEATH(nkopenlog("test", 0, 7), "facility == NKLOG_LOCAL0");
  EXPECT_DEATH(sendEmailAlert(10, "12:00:01", "m"), "priority <= NKLOG_VVDEBUG");
  EXPECT_DEATH(sendEmailAlert(-1, "12:00:01", "m"), "priority >= NKLOG_EMERG");
}

// An assertion or a halt logs, writes the backtrace and ends with status 1;
// an assertion under a debugger traps instead, with no backtrace.
TEST(LogDeathTest, AssertionsAndHalts) {
  const std::string file = rooted(NKLOG_BACKTRACE_PATH),
                    frames = "(" + kStamp + " ERR  [^\n]*\n)+$";
  unlink(file.c_str());
  nksetdefaultlog(stderr);
  EXPECT_EXIT(nk::assertFailed("mod", 42, LOGMASK_MEMORY), ::testing::ExitedWithCode(1),
              "^" + kStamp + " CRIT Assertion failed file mod line 42\n" + frames);
  EXPECT_NE(nktest::readFile(file), "");
  EXPECT_EXIT(
      {
        nklogForceDebugger();  // a halt never traps
        nk::halt("netfuncs", 7, LOGMASK_NET);
      },
      ::testing::ExitedWithCode(1),
      "^" + kStamp + " CRIT Program halted in file netfuncs at line 7\n" + frames);
  EXPECT_EXIT(
      {
        nklogForceDebugger();
        nk::assertFailed("mod", 9, LOGMASK_MEMORY);
      },
      ::testing::KilledBySignal(SIGSEGV),
      "CRIT Assertion failed file mod line 9\n(qemu: [^\n]*\n)?$");
  nksetdefaultlog(nullptr);
}

// Our own PTRACE_TRACEME makes the parent our tracer: only in a child. Under a
// user-mode emulator the request does not exist and no debugger is seen.
TEST(LogInChildTest, DebuggerDetection) {
  inChild([] {
    EXPECT_EQ(nklogDebuggerAttached(), 0);
    EXPECT_EQ(nklogDebuggerAttached(), 0);  // our own request is remembered
    EXPECT_EQ(nklogForceDebugger(), 0);
    EXPECT_EQ(nklogDebuggerAttached(), 1);
  });
  inChild([] {
    bool traced = ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0;
    EXPECT_EQ(nklogDebuggerAttached(), traced ? 1 : 0);
  });
}

TEST(LogInChildTest, SystemLogDestination) {
  inChild([] {
    nkopenlog("tester", 0, NKLOG_LOCAL0);
    EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
    nksyslog(NKLOG_ERR, 0, "hello %d", 5);
    nksyslog(NKLOG_RAW | NKLOG_NOTICE, LOGMASK_ALL, "raw %%d");
    nksyslog(NKLOG_INFO, LOGMASK_ALL, "below the level");
    // The date is the system log's, not ours.
    EXPECT_EQ(syslogCalls,
              (Lines{"openlog tester " + std::to_string(LOG_LOCAL0), kErr + "ERR  hello 5",
                     std::to_string(LOG_NOTICE) + " NOTE raw %d"}));
  });
}

// Plays the mailer, its FIFO open for reading, and sets the alert clock.
class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nk::setAlertClock([](struct timeval *now) {
      *now = now_;
      return 0;
    });
    fifo_ = fifoReader(mailer_);
  }
  void TearDown() override {
    EXPECT_EQ(syslogCalls, Lines{}) << "reports not expected";
    nk::setAlertClock(nullptr);
    if (fifo_ >= 0) close(fifo_);
    EXPECT_EQ(openFds(), fds_) << "every alert closes what it opens";
  }
  static size_t openFds() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  }
  // The records that an alert at this time sends.
  Lines alertAt(time_t seconds, long micros, int priority = NKLOG_ERR) {
    now_ = {seconds, micros};
    sendEmailAlert(priority, "12:00:01", "pump failed");
    return drain(fifo_);
  }
  static std::string body(const std::string &record) {
    return nktest::readFile(record.substr(record.rfind(',') + 1));
  }
  static std::string report(const std::string &text) {
    return kErr + "nksyslog.cc:N - " + text + "\n";
  }
  static std::string bodyText(const std::string &component, const char *priority) {
    return "The following error was logged on KRV # 000000\n\n\tComponent: " + component +
           "\n\tTime: 12:00:01\n\tPriority: " + priority + "\n\n\t\"pump failed\"\n\n";
  }
  static inline struct timeval now_;
  const size_t fds_ = openFds();
  const std::string mailer_ = rooted(NKLOG_MAILER_FIFO_PATH);
  int fifo_ = -1;
};

TEST_F(AlertTest, ThreePassInAWindowOfTenSeconds) {
  memInit();
  const std::string config = rooted("/tmp/alert.conf"), company(200, 'C');
  FILE *file = fopen(config.c_str(), "w");
  fprintf(file, "companyName=%s\n", company.c_str());
  fclose(file);
  configSetFile(config.c_str());
  configReadFile();
  const std::string subject = ("Error Notification from " + company).substr(0, 127) + ",,,";
  const char kLimiter[] = "Rate limiter activated (no more than 3 alerts within 10 seconds)\n\n";
  const time_t t = 1700000000;
  // sent: 0 refused (its body left empty), 1 sent, 2 sent announcing the
  // limiter, -1 failed (its body file cannot be made). The body file is named
  // by the time and the count before the alert (-1: whatever was counted). A
  // clock set back opens a new window too.
  const std::tuple<int, long, int, int> steps[] = {
      {0, 100, -1, 1}, {100, 0, 0, -1},   {0, 101, 0, 1},  {0, 102, 1, 2},
      {0, 103, 2, 0},  {9, 999999, 3, 0}, {10, 0, 4, 1},   {10, 1, 0, 1},
      {10, 2, 1, 2},   {10, 3, 2, 0},     {-100, 0, 3, 1},
  };
  for (const auto &[dt, us, count, sent] : steps) {
    SCOPED_TRACE(std::to_string(dt) + "s " + std::to_string(us) + "us");
    std::string path =
        rooted("/tmp/error_") + std::to_string(t + dt) + std::to_string(us) + std::to_string(count);
    if (sent < 0) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    Lines records = alertAt(t + dt, us, sent == 2 ? NKLOG_EMERG : NKLOG_VVDEBUG);
    if (count < 0) path = records.at(0).substr(records[0].rfind(',') + 1);
    // Reported, or sent under the subject cut to 127 characters.
    EXPECT_EQ(std::exchange(syslogCalls, {}),
              sent > 0 ? Lines{}
                       : Lines{report(sent ? "Failed to open " + path + " for writing"
                                           : "Exceeded email alerts threshold")});
    EXPECT_EQ(records, sent > 0 ? Lines{subject + path} : Lines{});
    // The process is named when nkopenlog was given no component.
    const std::string bodies[] = {"", "", bodyText("nksyslog_test", "VVDB"),
                                  bodyText("nksyslog_test", "!!!!") + kLimiter};
    EXPECT_EQ(nktest::readFile(path), bodies[sent + 1]);
  }
  configCloseFile();
  // No mailer FIFO: nothing is created in its place.
  close(fifo_);
  fifo_ = -1;
  unlink(mailer_.c_str());
  EXPECT_EQ(alertAt(t + 200, 0), Lines{});
  EXPECT_EQ(std::exchange(syslogCalls, {}),
            Lines{report("Failed to open " + mailer_ + " for writing")});
  EXPECT_FALSE(std::filesystem::exists(mailer_));
}

// The log FIFO: nkopenlog waits for it, then writes the quoted form with the
// component, which alerts name too.
TEST_F(AlertTest, FifoDestination) {
  inChild([this] {
    const std::string path = rooted(NKLOG_FIFO_PATH);
    unlink(path.c_str());
    int reader = -1;
    // Each attempt is reported, a second apart: the path is missing, then a
    // plain file, then the FIFO.
    onSyslog = [&] {
      if (syslogCalls.size() == 1) fclose(fopen(path.c_str(), "w"));
      if (syslogCalls.size() == 2) reader = fifoReader(path);
    };
    auto start = std::chrono::steady_clock::now();
    nkopenlog("tester", 0, NKLOG_REMOTE0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    onSyslog = nullptr;
    const std::string retry = kErr + "No log FIFO " + path + " found, retrying";
    EXPECT_EQ(std::exchange(syslogCalls, {}), (Lines{retry, retry}));
    EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
    const std::string q = "\"D\",\"T\",\"tester\",";
    nksyslog(NKLOG_NOTICE, LOGMASK_ALL, "note %d", 1);
    EXPECT_EQ(drain(reader), Lines{q + "\"NOTE\",\"note 1\""});  // at once
    nksyslog(NKLOG_INFO, LOGMASK_ALL, "dropped");
    nkloglevelset("tester", "INFO");
    nkloglevelset("tester", "BOGUS");
    nksyslog(NKLOG_RAW | NKLOG_ERR, 0, "raw %%s");
    nkopenlog("other", 0, NKLOG_LOCAL0);  // a second call changes nothing
    nksyslog(NKLOG_WARNING, 0, "still here\n");
    Lines records = alertAt(1740000000, 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(0, records[0].find(',')),
              "Error Notification from CompanyNotSet KRV (#000000)");
    EXPECT_EQ(body(records[0]), bodyText("tester", "ERR "));
    nkcloselog();
    EXPECT_EQ(drain(reader), (Lines{q + "\"INFO\",\"Changed log level to INFO for tester\"",
                                    q + "\"WARN\",\"Failed to map log level BOGUS for tester\"",
                                    "D,T,ERR ,raw %%s", q + "\"WARN\",\"still here\""}));
    char end;
    EXPECT_EQ(read(reader, &end, 1), 0);  // closed
    // Later lines go to the default stream, still in the quoted form.
    nktest::LogCapture log;
    nksyslog(NKLOG_WARNING, 0, "after close");
    EXPECT_EQ(unstamp(log.lines()), Lines{q + "\"WARN\",\"after close\""});
    EXPECT_EQ(syslogCalls, Lines{});
  });
}

}  // namespace
