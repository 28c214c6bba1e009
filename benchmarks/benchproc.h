// benchproc.h -- what the benchmarks that run other programs share: the list
// of the children still running (so that an interrupt or a failure stops
// them all), starting a server with its output to a log, stopping a child,
// and the loopback ports the servers listen on.
//
// Header-only, like benchlua.h, so that each benchmark stays one program of
// one source file. Nothing here prints or exits: each program reports its
// failures in its own words.
#ifndef NK_BENCHMARKS_BENCHPROC_H
#define NK_BENCHMARKS_BENCHPROC_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace nkbench {

// ---- children --------------------------------------------------------------------

// Every child still running, oldest first, 0 in a free slot; stopped newest
// first. Volatile, since an interrupt handler reads it.
inline volatile pid_t children[64];

inline void rememberChild(pid_t pid) {
  for (volatile pid_t &slot : children) {
    if (slot == 0) {
      slot = pid;
      return;
    }
  }
}

inline void forgetChild(pid_t pid) {
  for (volatile pid_t &slot : children) {
    if (slot == pid) slot = 0;
  }
}

// Stops and reaps every child (SIGTERM, up to 5 s of grace, then SIGKILL),
// with async-signal-safe calls only: for an interrupt handler, which then
// does its own clean-up and _exit()s.
inline void stopChildrenNow() {
  for (volatile pid_t &slot : children) {
    if (slot > 0) kill(slot, SIGTERM);
  }
  for (int tick = 0; tick < 500; tick++) {
    bool left = false;
    for (volatile pid_t &slot : children) {
      if (slot <= 0) continue;
      if (waitpid(slot, nullptr, WNOHANG) != 0) {
        slot = 0;
      } else {
        left = true;
      }
    }
    if (!left) break;
    struct timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
  }
  for (volatile pid_t &slot : children) {
    if (slot > 0) {
      kill(slot, SIGKILL);
      waitpid(slot, nullptr, 0);
    }
  }
}

// fork(); the child takes the default actions again, so that stopping it
// never runs the parent's clean-up, and starts with no children of its own.
// -1 when fork fails (errno says why).
inline pid_t forkChild() {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    for (volatile pid_t &slot : children) slot = 0;
  }
  return pid;
}

// SIGTERM, up to timeout seconds of grace, then SIGKILL; reaped and
// forgotten. Nothing for a pid of 0 or less (a child that never started).
inline void stopProcess(pid_t pid, double timeout) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(timeout)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    usleep(10000);
  }
  forgetChild(pid);
}

// Every child still running, newest first, 5 s of grace each.
inline void stopAll() {
  for (int i = static_cast<int>(sizeof children / sizeof children[0]) - 1; i >= 0; i--) {
    pid_t pid = children[i];
    if (pid > 0) stopProcess(pid, 5);
  }
}

// Whether the child still runs; once it has ended it is reaped and
// forgotten.
inline bool running(pid_t pid) {
  int status;
  if (waitpid(pid, &status, WNOHANG) == 0) return true;
  forgetChild(pid);
  return false;
}

// The argv of args, for exec: pointers into args, then a null.
inline std::vector<char *> argvOf(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &s : args) argv.push_back(const_cast<char *>(s.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// A server: args[0] (looked up on PATH when it has no slash) with its output
// to the file log, its input /dev/null; remembered as a child. -1 when fork
// fails (errno says why); a program that cannot be run ends with 127.
inline pid_t startLogged(const std::vector<std::string> &args, const std::string &log) {
  std::vector<char *> argv = argvOf(args);
  pid_t pid = forkChild();
  if (pid == 0) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid > 0) rememberChild(pid);
  return pid;
}

// ---- loopback ports --------------------------------------------------------------

// 127.0.0.1:port (0: any free port, for bind).
inline struct sockaddr_in loopback(int port) {
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// A socket connected to 127.0.0.1:port, or -1.
inline int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether something listens on 127.0.0.1:port.
inline bool portAccepts(int port) {
  int fd = connectLoopback(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Whether 127.0.0.1:port can be bound, that is, nothing holds it.
inline bool portFree(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = loopback(port);
  bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// Waits until port accepts while the child that should open it still runs.
inline bool waitForPort(int port, pid_t child, double timeout) {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(timeout)) {
    if (!running(child)) return false;
    if (portAccepts(port)) return true;
    usleep(20000);
  }
  return false;
}

}  // namespace nkbench

#endif  // NK_BENCHMARKS_BENCHPROC_H
