// Linked with --wrap=fcntl and --wrap=close: F_SETFL fails on demand, and the
// closes of one descriptor number are counted.
#define NK_MODULE "netfuncs_test"
#include "netfuncs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdarg.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "mem.h"
#include "nktest.h"

std::atomic<bool> failSetFlags{false};
std::atomic<int> watchedFd{-1}, watchedCloses{0};
extern "C" int __real_fcntl(int fd, int cmd, ...);
extern "C" int __real_close(int fd);
extern "C" int __wrap_fcntl(int fd, int cmd, ...);
extern "C" int __wrap_close(int fd);

extern "C" int __wrap_fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  long arg = va_arg(ap, long);  // every command used here takes an int or none
  va_end(ap);
  return cmd == F_SETFL && failSetFlags.exchange(false) ? -1 : __real_fcntl(fd, cmd, arg);
}

extern "C" int __wrap_close(int fd) {
  watchedCloses += fd == watchedFd;
  return __real_close(fd);
}

namespace {

struct NetEnvironment : ::testing::Environment {
  void SetUp() override {
    memInit();
    netInit();
  }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new NetEnvironment);

void count(int, int kind, void *counts) { static_cast<std::atomic<int> *>(counts)[kind]++; }

// Polls until pred holds, at most about five seconds of passes.
template <typename Pred>
bool pollUntil(Pred pred) {
  for (int i = 0; i < 500 && !pred(); i++) netPoll(10000);
  return pred();
}

std::string text(int h) { return std::string(static_cast<char *>(memGetData(h)), memGetSize(h)); }

// Fills the stack below the caller with ones: a descriptor set the poller
// forgot to clear then names every descriptor.
void paintStack() {
  volatile char bytes[16384];
  for (auto &b : bytes) b = static_cast<char>(0xff);
}

// netRead, polling while it says "not yet".
int readLine(int fd, int out) {
  int r = 0;
  for (int i = 0; i < 500 && (r = netRead(fd, out)) == 0; i++) netPoll(10000);
  return r;
}

TEST(NetTest, ListenConnectAcceptAndTheirEvents) {
  int lfd = netListen(0);
  sockaddr_in a = {};
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
  int port = ntohs(a.sin_port);
  EXPECT_EQ(netListen(port), -1);  // the port is taken
  std::atomic<int> accepts[8] = {}, events[8] = {};
  netSetCallback(lfd, count, accepts);
  EXPECT_EQ(netAccept(lfd), 0);  // nothing waiting
  int fd = netConnect("127.0.0.1", port);
  EXPECT_EQ(netSetCallback(fd, count, events), 1);
  EXPECT_TRUE(pollUntil([&] { return netConnected(fd) == 1 && accepts[NET_EVENT_ACCEPT] == 1; }));
  int accepted = netAccept(lfd);
  EXPECT_GT(accepted, 0);
  for (int made : {lfd, fd, accepted}) {  // a program started later inherits none
    EXPECT_EQ(fcntl(made, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << made;
  }
  // Connected is raised once; writable then stays set until a send clears it.
  EXPECT_EQ(netWritable(fd), 1);
  EXPECT_EQ(netWrite(fd, "ping\r\n"), 1);
  EXPECT_EQ(netWritable(fd), 0);
  EXPECT_TRUE(pollUntil([&] { return events[NET_EVENT_WRITE] == 1; }));
  EXPECT_EQ(events[NET_EVENT_CONNECTED], 1);
  EXPECT_EQ(accepts[NET_EVENT_ACCEPT] + accepts[NET_EVENT_READ], 1);  // one until accepted
  // Urgent data is the exceptional condition: reported once, the context bad.
  ASSERT_EQ(send(accepted, "!", 1, MSG_OOB), 1);
  EXPECT_TRUE(pollUntil([&] { return events[NET_EVENT_ERROR] == 1; }));
  // A connection that cannot be made non-blocking is refused and closed once
  // (a second close could hit the number given meanwhile to another thread).
  netConnect("localhost", port);  // by name
  ASSERT_TRUE(pollUntil([&] { return accepts[NET_EVENT_ACCEPT] == 2; }));
  watchedFd = dup(lfd);  // the lowest free number: what accept hands out next
  __real_close(watchedFd);
  failSetFlags = true;
  EXPECT_EQ(netAccept(lfd), -2);
  EXPECT_EQ(watchedCloses, 1);
  EXPECT_EQ(__real_fcntl(watchedFd, F_GETFD), -1);
  EXPECT_EQ(netReadable(watchedFd), -2);  // nothing of it stays in the table
}

// A raw read's maximum that fills while the socket is still readable hands out
// what is held (one byte less), never a receive of nothing.
TEST(NetTest, LinesAndRawReadsOnAConnectedPair) {
  int sv[2], out = memAlloc(0);  // sv[0] the layer's, sv[1] the peer's
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  ASSERT_EQ(netExternal(sv[0]), 0);
  ASSERT_EQ(write(sv[1], "abc\r\nxyz\r\r\n\nhalf", 16), 16);
  // Sized to the line with its carriage return; one carriage return becomes a terminator.
  for (auto want : {std::string("abc\0\0", 5), std::string("xyz\r\0\0", 6), std::string(1, 0)}) {
    EXPECT_EQ(readLine(sv[0], out), 1);
    EXPECT_EQ(text(out), want);
  }
  EXPECT_EQ(netRead(sv[0], out), 0);  // half a line: not yet
  std::string longLine(3000, 'x');    // grows the buffer
  ASSERT_EQ(write(sv[1], (longLine + "\n0123456789").c_str(), 3011), 3011);
  EXPECT_EQ(readLine(sv[0], out), 1);
  EXPECT_STREQ(static_cast<char *>(memGetData(out)), ("half" + longLine).c_str());
  std::string got;
  for (int i = 0, r; i < 100 && got.size() < 10; i++) {
    ASSERT_GE(r = netReadRaw(sv[0], out, 4), 0);
    EXPECT_LE(memGetSize(out), 3);
    if (r == 1) got += text(out);
    if (r == 0) netPoll(10000);
  }
  EXPECT_EQ(got, "0123456789");
  ASSERT_EQ(write(sv[1], "ab", 2), 2);
  ASSERT_TRUE(pollUntil([&] { return netReadable(sv[0]) == 1; }));
  EXPECT_EQ(netReadRaw(sv[0], out, 100), 0);  // received, kept until readable is clear
  EXPECT_EQ(netReadRaw(sv[0], out, 100), 1);
  EXPECT_EQ(text(out), "ab");
  EXPECT_EQ(netReadRaw(sv[0], out, 100), 0);  // nothing held
  close(sv[1]);
  EXPECT_EQ(readLine(sv[0], out), -1);
}

// A peer that never reads cannot make a write queue outgrow the allocator's largest block.
TEST(NetTest, FailuresAndInvalidOrOutOfTableDescriptors) {
  EXPECT_EQ(netConnect("no-such-host.invalid", 80), -2);
  int fd = netConnect("127.0.0.1", 1), out = memAlloc(0);  // nothing listens
  std::string chunk(1024 * 1024, 'q');
  for (int i = 0; i < 3; i++) EXPECT_EQ(netWrite(fd, chunk.c_str()), 0) << i;
  EXPECT_EQ(netWrite(fd, chunk.c_str()), -2);  // refused whole
  EXPECT_EQ(netWrite(fd, "still fits\n"), 0);
  EXPECT_TRUE(pollUntil([&] { return netConnected(fd) == 1; }));
  EXPECT_EQ(readLine(fd, out), -2);
  for (int bad : {0, 256, -1}) {
    EXPECT_EQ(netConnected(bad), 1) << bad;
    EXPECT_EQ(netReadable(bad), -2) << bad;
    EXPECT_EQ(netRead(bad, out), -2) << bad;
    EXPECT_EQ(netWrite(bad, "x"), -2) << bad;
    EXPECT_EQ(netSetCallback(bad, nullptr, nullptr), -2) << bad;
    EXPECT_EQ(netAccept(bad), -2) << bad;
  }
  // Beyond the table a descriptor handed in is left open, a socket made is closed.
  ASSERT_EQ(dup2(fd, 300), 300);
  EXPECT_EQ(netExternal(300), -2);
  EXPECT_EQ(fcntl(300, F_GETFD), 0);
  int probe;
  while ((probe = dup(fd)) >= 0 && probe < NET_MAX_DESCRIPTORS) {
  }
  close(probe);
  EXPECT_EQ(netConnect("127.0.0.1", 1), -2);
  EXPECT_EQ(netListen(0), -1);
  EXPECT_EQ(fcntl(probe, F_GETFD), -1);
}

// A wake-up is never lost, whether it comes before the poller waits or while
// it does; rescan requests are read back as a pipe hands them out: 99 bytes a
// pass, 64 KiB at most, a text whole or not.
TEST(NetTest, RescanRequestsEndWaitsAndAreReadBackLikeAPipe) {
  while (netPoll(0) != 0) {
  }
  EXPECT_LT(netPoll(-1), 0);       // select refuses the timeout
  for (int i = 0; i < 200; i++) {  // odd rounds: sent before the poll; even: racing it
    std::thread waker(netPollRescan, i);
    if (i % 2) waker.join();
    EXPECT_EQ(netPoll(10000000), 1) << i;
    if (waker.joinable()) waker.join();
  }
  nktest::LogCapture capture;
  for (int i = 0; i < 10923; i++) netPollRescan(10);  // six bytes each
  int passes = 0;
  paintStack();
  while (passes < 1000 && netPoll(0) == 1) passes++;
  EXPECT_EQ(passes, (10922 * 6 + 98) / 99);
  EXPECT_EQ(capture.count("netPollRescan failed to write 6 bytes"), 1);
}

}  // namespace
