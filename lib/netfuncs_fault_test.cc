// The socket layer when the system refuses it something. Linked with
// --wrap=fcntl and --wrap=close: the wrappers below fail F_SETFL on demand and
// count the closes of one descriptor number.
#define NK_MODULE "netfuncs_fault_test"
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "mem.h"
#include "netfuncs.h"

extern "C" {
int __real_fcntl(int fd, int cmd, ...);
int __real_close(int fd);
int __wrap_fcntl(int fd, int cmd, ...);
int __wrap_close(int fd);
}

namespace {

std::atomic<bool> failSetFlags{false};
std::atomic<int> watchedFd{-1};
std::atomic<int> watchedCloses{0};

}  // namespace

extern "C" int __wrap_fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  long arg = va_arg(ap, long);  // every command used here takes an int or none
  va_end(ap);
  if (cmd == F_SETFL && failSetFlags.exchange(false)) {
    errno = EIO;
    return -1;
  }
  return __real_fcntl(fd, cmd, arg);
}

extern "C" int __wrap_close(int fd) {
  if (fd == watchedFd.load()) watchedCloses++;
  return __real_close(fd);
}

namespace {

// A new connection that cannot be made non-blocking is refused, and its
// descriptor closed exactly once: a second close could hit a descriptor that
// another thread has been given the same number since.
TEST(NetFaultTest, AConnectionThatCannotBeMadeNonBlockingIsClosedOnce) {
  memInit();
  netInit();
  int listener = netListen(0);
  ASSERT_GT(listener, 0);
  struct sockaddr_in a = {};
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int peer = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  // The number accept will hand out: the lowest free one.
  int next = dup(peer);
  __real_close(next);
  watchedFd = next;
  failSetFlags = true;
  EXPECT_EQ(netAccept(listener), -2);
  EXPECT_EQ(watchedCloses.load(), 1);
  EXPECT_EQ(__real_fcntl(next, F_GETFD), -1);  // and it is closed
  // Nothing of it stayed in the table; the next connection is served.
  watchedFd = -1;
  int peer2 = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(peer2, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  int conn = netAccept(listener);
  EXPECT_GT(conn, 0);
  EXPECT_EQ(netReadable(conn), 0);
  netClose(conn);
  netClose(listener);
  __real_close(peer);
  __real_close(peer2);
}

}  // namespace
