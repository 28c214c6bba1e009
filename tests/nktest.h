// nktest.h -- helpers shared by the test executables.
#ifndef NK_TESTS_NKTEST_H
#define NK_TESTS_NKTEST_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

namespace nktest {

struct ProcessResult {
  int status = -1;  // raw wait status
  std::string out, err;
  int exitCode() const;  // -1 when the program did not exit
};

// Programs built in this tree, started through the emulator in a cross build.
// runProgram feeds input and collects both outputs, killing the program after
// timeoutSeconds; startProgram leaves it running with its output going to
// outputPath; stopProgram sends SIGTERM and gives the wait status, or -1 if
// the program had to be killed. A nativePrefix is a native command that runs
// the rest (e.g. setpriv and its options): it comes before the emulator.
std::string builtProgram(const std::string &name);
ProcessResult runProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::string &input = "", int timeoutSeconds = 30,
                         const std::vector<std::string> &nativePrefix = {});
int startProgram(const std::string &program, const std::vector<std::string> &args,
                 const std::string &outputPath, const std::vector<std::string> &nativePrefix = {});
int stopProgram(int pid, int timeoutSeconds = 10);
int connectLocal(int port);  // to 127.0.0.1:port, receives time out after 10 s; -1 if refused
bool waitForPort(int port, int timeoutSeconds = 20);

bool emulated();
std::string emulatorCommand();  // "" in a native build
// Threadsafe death tests re-execute the test binary, which cannot work under
// the emulator (no binfmt registration): there "fast" stays in use.
void useThreadsafeDeathTests();

// A time source for timerSetGetTimeFunc: every read gives fakeNow (its clock
// kept in fakeClocks), or fails with errno fakeError (-1: errno left 0).
extern struct timespec fakeNow;
extern int fakeError;
extern std::vector<int64_t> fakeClocks;
int fakeGetTime(clockid_t clock, struct timespec *ts);

// The folder that stands for "/" in the library's fixed paths (log FIFO,
// backtrace file, ...), made before main with tmp/ and var/run/orvalin/ in it
// and removed at exit, so that test programs running side by side do not
// meet. Death test processes use their parent's.
const std::string &systemRoot();
std::string systemPath(const std::string &path);

// True once done() holds, asked every pauseMs for up to seconds.
bool eventually(const std::function<bool()> &done, int seconds = 20, int pauseMs = 10);

std::vector<std::string> lines(const std::string &text);
std::string readFile(const std::string &path);  // "" if unreadable

// Points the log at a temporary file, at level WARN and all categories.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
  std::vector<std::string> lines();
  std::vector<std::string> messages();  // the lines without their date and time
  int count(const std::string &text);   // how many lines contain text

 private:
  FILE *file_;
};

}  // namespace nktest

#endif  // NK_TESTS_NKTEST_H
