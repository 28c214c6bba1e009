// nktest -- helpers shared by the test executables.
#include "nktest.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "nksyslog.h"

namespace nktest {

int ProcessResult::exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string builtProgram(const std::string &name) {
  return std::string(NK_TEST_BIN_DIR) + "/" + name;
}

bool emulated() { return getenv("NK_TEST_EMULATED") != nullptr; }

void useThreadsafeDeathTests() {
  if (!emulated()) GTEST_FLAG_SET(death_test_style, "threadsafe");
}

std::string readAll(FILE *stream) {
  fflush(stream);
  rewind(stream);
  std::string text;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stream)) > 0) text.append(buf, n);
  return text;
}

std::string readFile(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return "";
  std::string text = readAll(f);
  fclose(f);
  return text;
}

std::vector<std::string> loggedMessages(FILE *stream) {
  std::vector<std::string> messages;
  for (const std::string &line : lines(readAll(stream))) {
    // "YYYY-MM-DD HH:MM:SS.uuuuuu " is 27 characters.
    messages.push_back(line.size() > 27 ? line.substr(27) : line);
  }
  return messages;
}

LogCapture::LogCapture() : file_(tmpfile()) {
  if (!file_) abort();
  nksetdefaultlog(file_);
  nkloglevelset("test", "WARN");
  nklogMaskSet(LOGMASK_ALL);
}

LogCapture::~LogCapture() {
  nksetdefaultlog(nullptr);
  fclose(file_);
}

std::vector<std::string> LogCapture::lines() { return nktest::lines(readAll(file_)); }

std::vector<std::string> LogCapture::messages() { return loggedMessages(file_); }

int LogCapture::count(const std::string &text) {
  int n = 0;
  for (const std::string &line : lines()) n += line.find(text) != std::string::npos;
  return n;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

namespace {

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Starts program with args (after the emulator's words in a cross build),
// its standard input, output and error on the descriptors given; closes
// the descriptors named in others in the child.
pid_t spawn(const std::string &program, const std::vector<std::string> &args, const int (&fds)[3],
            std::initializer_list<int> others) {
  std::istringstream emulator(NK_TEST_EMULATOR);
  std::vector<std::string> words{std::istream_iterator<std::string>(emulator), {}};
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    for (int i = 0; i < 3; i++) dup2(fds[i], i);
    for (int fd : others) close(fd);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

std::string emulatorCommand() { return NK_TEST_EMULATOR; }

int startProgram(const std::string &program, const std::vector<std::string> &args,
                 const std::string &outputPath) {
  int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = spawn(program, args, {in, out, out}, {});
  close(in);
  close(out);
  return pid;
}

int startProgramPiped(const std::string &program, const std::vector<std::string> &args, int *input,
                      int *output) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) abort();
  pid_t pid = spawn(program, args, {in[0], out[1], 2}, {in[0], in[1], out[0], out[1]});
  close(in[0]);
  close(out[1]);
  *input = in[1];
  *output = out[0];
  return pid;
}

int stopProgram(int pid, int timeoutSeconds) {
  kill(pid, SIGTERM);
  double deadline = now() + timeoutSeconds;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return status;
}

bool waitForPort(int port, int timeoutSeconds) {
  double deadline = now() + timeoutSeconds;
  while (now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return true;
    usleep(20000);
  }
  return false;
}

ProcessResult runProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::string &input, int timeoutSeconds) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe(inPipe) || pipe(outPipe) || pipe(errPipe)) abort();
  pid_t pid = spawn(program, args, {inPipe[0], outPipe[1], errPipe[1]},
                    {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]});
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  signal(SIGPIPE, SIG_IGN);

  ProcessResult r;
  size_t written = 0;
  int inFd = inPipe[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  double deadline = now() + timeoutSeconds;
  while (outOpen || errOpen) {
    struct pollfd fds[3];
    int n = 0;
    if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
    if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    double left = deadline - now();
    if (left <= 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << program << " did not end within " << timeoutSeconds << " s";
      break;
    }
    if (poll(fds, n, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; i++) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == inFd) {
        ssize_t k = write(inFd, input.data() + written, input.size() - written);
        if (k > 0) written += k;
        if (k < 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buf[4096];
      ssize_t k = read(fds[i].fd, buf, sizeof buf);
      bool isOut = fds[i].fd == outPipe[0];
      if (k <= 0) {
        (isOut ? outOpen : errOpen) = false;
      } else {
        (isOut ? r.out : r.err).append(buf, k);
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(outPipe[0]);
  close(errPipe[0]);
  waitpid(pid, &r.status, 0);
  return r;
}

}  // namespace nktest
