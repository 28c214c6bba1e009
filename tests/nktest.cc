// nktest -- helpers shared by the test executables, linked into each of them
// as an object, so that the system root below is in place before any test.
#include "nktest.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "nksyslog.h"
#include "nksyslog_internal.h"

namespace nktest {
namespace {

[[noreturn]] void fail(const std::string &what) {
  perror(("nktest: " + what).c_str());
  abort();
}

// The maker's pid goes with the folder: a forked death test ends through
// exit() too, and only the maker removes it; a re-executed one finds it in
// the environment.
struct SystemRoot {
  std::string dir;
  pid_t owner = -1;
  SystemRoot() {
    if (const char *inherited = getenv("NK_TEST_SYSTEM_ROOT")) {
      dir = inherited;
    } else {
      char name[] = "/tmp/nktest.XXXXXX";
      if (!mkdtemp(name)) fail(name);
      dir = name;
      owner = getpid();
      std::error_code error;
      std::filesystem::create_directories(dir + "/var/run/orvalin", error);
      if (error || !std::filesystem::create_directory(dir + "/tmp", error)) fail(dir);
      setenv("NK_TEST_SYSTEM_ROOT", dir.c_str(), 1);
    }
    nk::setSystemPathRoot(dir.c_str());
  }
  ~SystemRoot() {
    std::error_code ignored;
    if (owner == getpid()) std::filesystem::remove_all(dir, ignored);
  }
};

SystemRoot &root() {
  static SystemRoot made;
  return made;
}
const bool kRootMade = !root().dir.empty();

// The whole content of fd, from its start.
std::string readFd(int fd) {
  std::string text;
  char buf[8192];
  ssize_t n;
  for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) text.append(buf, n);
  return text;
}

pid_t spawn(const std::string &program, const std::vector<std::string> &args, int in, int out,
            int err, const std::vector<std::string> &prefix) {
  // The shell splits the emulator's words.
  std::vector<const char *> argv;
  for (const std::string &word : prefix) argv.push_back(word.c_str());
  argv.insert(argv.end(),
              {"/bin/sh", "-c", "exec " NK_TEST_EMULATOR " \"$@\"", "sh", program.c_str()});
  for (const std::string &arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(argv[0], const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  return pid;
}

// The wait status of pid, or -1 once it has been killed after timeoutSeconds.
int waitFor(pid_t pid, int timeoutSeconds) {
  int status = 0;
  if (eventually([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeoutSeconds)) {
    return status;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

const std::string &systemRoot() { return root().dir; }
std::string systemPath(const std::string &path) { return root().dir + path; }

int ProcessResult::exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
std::string builtProgram(const std::string &name) { return NK_TEST_BIN_DIR "/" + name; }
bool emulated() { return getenv("NK_TEST_EMULATED") != nullptr; }
std::string emulatorCommand() { return NK_TEST_EMULATOR; }

struct timespec fakeNow;
int fakeError;
std::vector<int64_t> fakeClocks;
int fakeGetTime(clockid_t clock, struct timespec *ts) {
  fakeClocks.push_back(clock);
  *ts = fakeNow;
  if (fakeError > 0) errno = fakeError;
  return fakeError ? -1 : 0;
}

void useThreadsafeDeathTests() {
  if (!emulated()) GTEST_FLAG_SET(death_test_style, "threadsafe");
}

bool eventually(const std::function<bool()> &done, int seconds, int pauseMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    usleep(pauseMs * 1000);
  }
  return true;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string readFile(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string text = fd < 0 ? "" : readFd(fd);
  close(fd);
  return text;
}

LogCapture::LogCapture() : file_(tmpfile()) {
  if (!file_) fail("tmpfile");
  nksetdefaultlog(file_);
  nkloglevelset("test", "WARN");
  nklogMaskSet(LOGMASK_ALL);
}

LogCapture::~LogCapture() {
  nksetdefaultlog(nullptr);
  fclose(file_);
}

std::vector<std::string> LogCapture::lines() {
  fflush(file_);
  return nktest::lines(readFd(fileno(file_)));
}

std::vector<std::string> LogCapture::messages() {
  std::vector<std::string> out;
  // "YYYY-MM-DD HH:MM:SS.uuuuuu " is 27 characters.
  for (const std::string &line : lines()) out.push_back(line.size() > 27 ? line.substr(27) : line);
  return out;
}

int LogCapture::count(const std::string &text) {
  int n = 0;
  for (const std::string &line : lines()) n += line.find(text) != std::string::npos;
  return n;
}

ProcessResult runProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::string &input, int timeoutSeconds,
                         const std::vector<std::string> &nativePrefix) {
  FILE *in = tmpfile(), *out = tmpfile(), *err = tmpfile();
  if (!in || !out || !err || fwrite(input.data(), 1, input.size(), in) != input.size()) {
    fail("tmpfile");
  }
  rewind(in);
  ProcessResult r;
  r.status = waitFor(spawn(program, args, fileno(in), fileno(out), fileno(err), nativePrefix),
                     timeoutSeconds);
  if (r.status == -1) ADD_FAILURE() << program << " did not end within " << timeoutSeconds << " s";
  r.out = readFd(fileno(out));
  r.err = readFd(fileno(err));
  for (FILE *f : {in, out, err}) fclose(f);
  return r;
}

int startProgram(const std::string &program, const std::vector<std::string> &args,
                 const std::string &outputPath, const std::vector<std::string> &nativePrefix) {
  int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = spawn(program, args, in, out, out, nativePrefix);
  close(in);
  close(out);
  return pid;
}

int stopProgram(int pid, int timeoutSeconds) {
  kill(pid, SIGTERM);
  return waitFor(pid, timeoutSeconds);
}

int connectLocal(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

bool waitForPort(int port, int timeoutSeconds) {
  return eventually(
      [port] {
        int fd = connectLocal(port);
        if (fd < 0) return false;
        close(fd);
        return true;
      },
      timeoutSeconds, 20);
}

}  // namespace nktest
