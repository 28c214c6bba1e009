// nktest.h -- helpers shared by the test executables.
#ifndef NK_TESTS_NKTEST_H
#define NK_TESTS_NKTEST_H

#include <stdio.h>

#include <string>
#include <vector>

namespace nktest {

struct ProcessResult {
  int status = -1;       // raw wait status
  std::string out;       // everything the program wrote on standard output
  std::string err;       // and on standard error
  int exitCode() const;  // exit status, or -1 when the program did not exit
};

// Path of a program built in this tree (nksh, ...).
std::string builtProgram(const std::string &name);

// Runs program with args, feeding input on standard input and collecting both
// outputs; kills it after timeoutSeconds. In a cross build the program is
// started through the emulator.
ProcessResult runProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::string &input = "", int timeoutSeconds = 30);

// Starts program with args in the background (through the emulator in a
// cross build), its standard output and error going to outputPath. Returns
// its process id.
int startProgram(const std::string &program, const std::vector<std::string> &args,
                 const std::string &outputPath);
// Starts program with args (through the emulator in a cross build) with pipes
// on its standard input and output: *input is ours to write, *output ours to
// read. Returns its process id.
int startProgramPiped(const std::string &program, const std::vector<std::string> &args, int *input,
                      int *output);
// Sends SIGTERM and waits: the wait status, or -1 if it had to be killed
// after timeoutSeconds.
int stopProgram(int pid, int timeoutSeconds = 10);
// True once something accepts connections on 127.0.0.1:port (tries for up to
// timeoutSeconds).
bool waitForPort(int port, int timeoutSeconds = 20);

// True when the tests run under a user-mode emulator.
bool emulated();
// The words that start a built program under the emulator, joined by spaces
// ("" in a native build).
std::string emulatorCommand();

// Death tests in a process that has started threads use the "threadsafe"
// style, which re-executes the test binary; under the emulator that cannot
// work (no binfmt registration), so "fast" stays in use there.
void useThreadsafeDeathTests();

// The folder that stands for "/" in the library's fixed paths (the log FIFO,
// the backtrace file, the mailer FIFO, ...) in this test program, so that
// tests change nothing outside it and programs running side by side do not
// meet. Made when the program starts, with tmp/ and var/run/orvalin/ in it, and removed when the
// process that made it ends; the processes of death tests use their parent's.
const std::string &systemRoot();
// path (absolute) below systemRoot().
std::string systemPath(const std::string &path);

// Splits text into lines (without their line ends).
std::vector<std::string> lines(const std::string &text);

// Everything written to stream so far (it is flushed and rewound).
std::string readAll(FILE *stream);
// A file's whole text, or "" if it cannot be read.
std::string readFile(const std::string &path);
// The plain log lines written to stream, each without its date and time.
std::vector<std::string> loggedMessages(FILE *stream);

// Points the log at a temporary file, at the default level (WARN) and
// category mask, for the test to read back; the log goes back to standard
// output when the capture ends.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;
  // The log lines so far, whole, and without their date and time.
  std::vector<std::string> lines();
  std::vector<std::string> messages();
  // How many of the log lines so far contain text.
  int count(const std::string &text);

 private:
  FILE *file_;
};

}  // namespace nktest

#endif  // NK_TESTS_NKTEST_H
