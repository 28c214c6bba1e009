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

#include "nkassert_internal.h"
#include "nksyslog_internal.h"
#include "nktest.h"

// nklogGdb's null write must reach the test as a signal, not a sanitizer report.
#if defined(NK_ASAN_BUILD)
extern "C" const char *__asan_default_options();
extern "C" const char *__asan_default_options() { return "handle_segv=0"; }
#endif
#if defined(NK_TSAN_BUILD)
extern "C" const char *__tsan_default_options();
extern "C" const char *__tsan_default_options() { return "handle_segv=0"; }
#endif

// The system log functions are wrapped at link time (CMakeLists.txt) to record the calls.
extern "C" {
void __wrap_openlog(const char *ident, int option, int facility);
void __wrap_syslog(int priority, const char *format, ...) NK_PRINTF(2, 3);
void __wrap_vsyslog(int priority, const char *format, va_list args) NK_PRINTF(2, 0);
void __wrap___syslog_chk(int priority, int flag, const char *format, ...) NK_PRINTF(3, 4);
void __wrap___vsyslog_chk(int priority, int flag, const char *format, va_list args) NK_PRINTF(3, 0);
}

namespace {

using Lines = std::vector<std::string>;

// As "priority text" (a report's source line written N), or "openlog ident facility".
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

// The lines with their date and time written D and T.
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

// A FIFO made afresh, open for reading without blocking, so that a writer's open goes through.
int fifoReader(const std::string &path) {
  unlink(path.c_str());
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
  return open(path.c_str(), O_RDONLY | O_NONBLOCK);
}

// Runs body in a child process, for what cannot be undone in this one.
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

// The frames in the log and alone in the file, after the script's place if one
// was set; below a root of 255 characters, the longest there is.
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
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "doing backtrace\n");
    Lines logged = unstamp(log.lines()), written = nktest::lines(nktest::readFile(file));
    ASSERT_EQ(logged.size(), written.size());
    ASSERT_GT(written.size(), script ? 1u : 0u);
    EXPECT_EQ(written[0] == "While executing script pump.lua at line 12", script != nullptr);
    for (size_t i = 0; i < logged.size(); i++) {
      EXPECT_EQ(logged[i], (i == 0 && script ? "D T ERR   " : "D T ERR  ") + written[i]);
    }
  }
  nk::setSystemPathRoot(nktest::systemRoot().c_str());
}

// An assertion or a halt logs, writes the backtrace and ends with status 1;
// an assertion under a debugger traps instead.
TEST(LogDeathTest, AssertionsHaltsAndRanges) {
  const std::string file = nktest::systemPath(NKLOG_BACKTRACE_PATH),
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
}

// Our own PTRACE_TRACEME makes the parent our tracer (under a user-mode
// emulator the request does not exist and no debugger is seen).
TEST(LogInChildTest, DebuggerDetectionAndSystemLog) {
  inChild([] {
    EXPECT_EQ(nklogDebuggerAttached(), 0);
    EXPECT_EQ(nklogDebuggerAttached(), 0);  // our own request is remembered
  });
  inChild([] {
    bool traced = ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0;
    EXPECT_EQ(nklogDebuggerAttached(), traced ? 1 : 0);
    nkopenlog("tester", 0, NKLOG_LOCAL0);
    EXPECT_EQ(nkloglevelget(), NKLOG_NOTICE);
    nksyslog(NKLOG_ERR, 0, "hello %d", 5);
    nksyslog(NKLOG_RAW | NKLOG_NOTICE, LOGMASK_ALL, "raw %%d");
    nksyslog(NKLOG_INFO, LOGMASK_ALL, "below the level");
    EXPECT_EQ(syslogCalls,  // dated by the system log
              (Lines{"openlog tester " + std::to_string(LOG_LOCAL0), kErr + "ERR  hello 5",
                     std::to_string(LOG_NOTICE) + " NOTE raw %d"}));
  });
}

// Alerts at the clock set here, the test playing the mailer: three pass in a
// window of ten seconds, the third saying so.
TEST(AlertTest, ThreePassInAWindowOfTenSeconds) {
  static struct timeval now;
  nk::setAlertClock([](struct timeval *tv) {
    *tv = now;
    return 0;
  });
  auto openFds = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto fds = openFds();
  int fifo = fifoReader(nktest::systemPath(NKLOG_MAILER_FIFO_PATH));
  // The process is named when nkopenlog was given no component.
  const std::string body =
                        "The following error was logged on KRV # 000000\n\n\tComponent: "
                        "nksyslog_test\n\tTime: 12:00:01\n\tPriority: ",
                    text = "\n\n\t\"pump failed\"\n\n";
  const std::string bodies[] = {
      "", "", body + "VVDB" + text,
      body + "!!!!" + text +
          "Rate limiter activated (no more than 3 alerts within 10 seconds)\n\n"};
  const time_t t = 1700000000;
  // sent: 0 refused (its body left empty), 1 sent, 2 sent announcing the
  // limiter, -1 failed (no body file). The body file is named by the time and
  // the count before (-1: whatever was counted). A clock set back opens a window.
  const std::tuple<int, long, int, int> steps[] = {
      {0, 100, -1, 1}, {100, 0, 0, -1},   {0, 101, 0, 1},  {0, 102, 1, 2},
      {0, 103, 2, 0},  {9, 999999, 3, 0}, {10, 0, 4, 1},   {10, 1, 0, 1},
      {10, 2, 1, 2},   {10, 3, 2, 0},     {-100, 0, 3, 1},
  };
  for (const auto &[dt, us, count, sent] : steps) {
    SCOPED_TRACE(std::to_string(dt) + "s " + std::to_string(us) + "us");
    std::string path = nktest::systemPath("/tmp/error_") + std::to_string(t + dt) +
                       std::to_string(us) + std::to_string(count);
    if (sent < 0) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    now = {t + dt, us};
    sendEmailAlert(sent == 2 ? NKLOG_EMERG : NKLOG_VVDEBUG, "12:00:01", "pump failed");
    Lines records = drain(fifo);
    if (count < 0) path = records.at(0).substr(records[0].rfind(',') + 1);
    EXPECT_EQ(std::exchange(syslogCalls, {}),
              sent > 0 ? Lines{}
                       : Lines{kErr + "nksyslog.cc:N - " +
                               (sent ? "Failed to open " + path + " for writing"
                                     : "Exceeded email alerts threshold") +
                               "\n"});
    EXPECT_EQ(records, sent > 0
                           ? Lines{"Error Notification from CompanyNotSet KRV (#000000),,," + path}
                           : Lines{});
    EXPECT_EQ(nktest::readFile(path), bodies[sent + 1]);
  }
  close(fifo);
  nk::setAlertClock(nullptr);
  EXPECT_EQ(openFds(), fds) << "every alert closes what it opens";
}

// nkopenlog waits for the log FIFO, then writes the quoted form with the
// component there, until nkcloselog.
TEST(LogInChildTest, FifoDestination) {
  inChild([] {
    const std::string path = nktest::systemPath(NKLOG_FIFO_PATH);
    unlink(path.c_str());
    int reader = -1;
    // Reported each second: the path is missing, then a plain file.
    onSyslog = [&] {
      if (syslogCalls.size() == 1) fclose(fopen(path.c_str(), "w"));
      if (syslogCalls.size() == 2) reader = fifoReader(path);
    };
    auto start = std::chrono::steady_clock::now();
    nkopenlog("tester", 0, NKLOG_REMOTE0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const std::string retry = kErr + "No log FIFO " + path + " found, retrying";
    EXPECT_EQ(syslogCalls, (Lines{retry, retry}));
    const std::string q = "\"D\",\"T\",\"tester\",";
    nksyslog(NKLOG_NOTICE, LOGMASK_ALL, "note %d", 1);
    EXPECT_EQ(drain(reader), Lines{q + "\"NOTE\",\"note 1\""});  // at once
    nkloglevelset("tester", "INFO");
    nksyslog(NKLOG_RAW | NKLOG_ERR, 0, "raw %%s");
    nkopenlog("other", 0, NKLOG_LOCAL0);  // a second call changes nothing
    nkcloselog();
    EXPECT_EQ(drain(reader),
              (Lines{q + "\"INFO\",\"Changed log level to INFO for tester\"", "D,T,ERR ,raw %%s"}));
    char end;
    EXPECT_EQ(read(reader, &end, 1), 0);
    EXPECT_EQ(syslogCalls.size(), 2u);
  });
}

}  // namespace
