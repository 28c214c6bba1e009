#define NK_MODULE "netfuncs_test"
#include "netfuncs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

class NetEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    memInit();
    netInit();
  }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new NetEnvironment);

// A plain blocking listener on 127.0.0.1, port chosen by the system: the peer.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 5), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
  }
  int accept1() { return ::accept(fd, nullptr, nullptr); }
  ~Listener() { close(fd); }
};

// Records the callback kinds the poller raises.
struct Events {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> kinds;
  static void record(int, int kind, void *param) {
    Events *e = static_cast<Events *>(param);
    std::lock_guard<std::mutex> lock(e->m);
    e->kinds.push_back(kind);
    e->cv.notify_all();
  }
  int count(int kind) {
    std::lock_guard<std::mutex> lock(m);
    int n = 0;
    for (int k : kinds) n += k == kind;
    return n;
  }
};

// Polls until pred holds, at most about five seconds of passes.
template <typename Pred>
bool pollUntil(Pred pred) {
  for (int i = 0; i < 500 && !pred(); i++) netPoll(10000);
  return pred();
}

// A connected pair: ours (a context of the layer) and the peer's plain socket.
struct Pair {
  Listener listener;
  Events events;
  int fd = -1;
  int peer = -1;
  Pair() {
    fd = netConnect("127.0.0.1", listener.port);
    EXPECT_GT(fd, 0);
    netSetCallback(fd, Events::record, &events);
    peer = listener.accept1();
    EXPECT_TRUE(pollUntil([&] { return netConnected(fd) == 1 && netWritable(fd) == 1; }));
  }
  ~Pair() {
    netClose(fd);
    if (peer >= 0) close(peer);
  }
  void peerSends(const std::string &bytes) {
    ASSERT_EQ(send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
};

std::string text(int h) { return std::string(static_cast<char *>(memGetData(h)), memGetSize(h)); }

// netRead, polling while it says "not yet".
int readLine(int fd, int out) {
  int r = 0;
  for (int i = 0; i < 500 && (r = netRead(fd, out)) == 0; i++) netPoll(10000);
  return r;
}

TEST(NetTest, ConnectIsReportedOnceThenWritesAreEvents) {
  Pair p;
  EXPECT_EQ(p.events.count(NET_EVENT_CONNECTED), 1);
  EXPECT_EQ(p.events.count(NET_EVENT_WRITE), 0);
  // Writable stays set until a send clears it: no further write events.
  netPoll(0);
  EXPECT_EQ(p.events.count(NET_EVENT_WRITE), 0);
  EXPECT_EQ(netWrite(p.fd, "ping\r\n"), 1);
  EXPECT_EQ(netWritable(p.fd), 0);
  EXPECT_TRUE(pollUntil([&] { return p.events.count(NET_EVENT_WRITE) == 1; }));
  EXPECT_EQ(p.events.count(NET_EVENT_CONNECTED), 1);
  char buf[16] = "";
  EXPECT_EQ(recv(p.peer, buf, sizeof buf, 0), 6);
  EXPECT_STREQ(buf, "ping\r\n");
}

TEST(NetTest, LinesLoseTheirLineEnds) {
  Pair p;
  int out = memAlloc(0);
  p.peerSends("abc\r\nxyz\r\r\n\nhalf");
  EXPECT_EQ(readLine(p.fd, out), 1);
  // Sized to the line with its carriage return, which becomes a terminator.
  EXPECT_EQ(text(out), std::string("abc\0\0", 5));
  // The next lines are held already: delivered without a receive, even
  // though the descriptor is no longer marked readable.
  EXPECT_EQ(netRead(p.fd, out), 1);
  EXPECT_EQ(text(out), std::string("xyz\r\0\0", 6));  // only one carriage return goes
  EXPECT_EQ(netRead(p.fd, out), 1);
  EXPECT_EQ(memGetSize(out), 1);
  EXPECT_EQ(text(out), std::string("\0", 1));
  EXPECT_EQ(netRead(p.fd, out), 0);  // half a line: not yet
  p.peerSends(" line\n");
  EXPECT_EQ(readLine(p.fd, out), 1);
  EXPECT_STREQ(static_cast<char *>(memGetData(out)), "half line");
  memFree(out);
}

TEST(NetTest, LineSplitAcrossManyReceivesGrowsTheBuffer) {
  Pair p;
  int out = memAlloc(0);
  std::string line(3000, 'x');
  for (size_t i = 0; i < line.size(); i += 100) {
    p.peerSends(line.substr(i, 100));
    EXPECT_EQ(netRead(p.fd, out), 0);
    netPoll(1000);
  }
  p.peerSends("\n");
  EXPECT_EQ(readLine(p.fd, out), 1);
  EXPECT_EQ(std::string(static_cast<char *>(memGetData(out))), line);
  memFree(out);
}

TEST(NetTest, ReceiveRoomGrowsInSteps) {
  Pair p;
  FILE *log = tmpfile();
  nksetdefaultlog(log);
  nkloglevelset("test", "DBUG");
  int out = memAlloc(0);
  p.peerSends("a");
  ASSERT_TRUE(pollUntil([&] { return netReadable(p.fd) == 1; }));
  EXPECT_EQ(netRead(p.fd, out), 0);
  p.peerSends("b\n");
  EXPECT_EQ(readLine(p.fd, out), 1);
  nkloglevelset("test", "WARN");
  nksetdefaultlog(nullptr);
  rewind(log);
  std::vector<std::string> offers;
  char line[512];
  while (fgets(line, sizeof line, log)) {
    std::string l(line);
    if (l.find("readBuff: attempt to read") != std::string::npos ||
        l.find("resized read buff") != std::string::npos) {
      offers.push_back(
          l.substr(l.find("DBUG") != std::string::npos ? l.find("DBUG") + 5 : l.find("INFO") + 5));
    }
  }
  fclose(log);
  // First receive: 256 bytes of room. With one byte held the buffer first
  // grows to 512 and offers 511.
  EXPECT_EQ(offers, (std::vector<std::string>{
                        "readBuff: attempt to read 256\n", "netReadData resized read buff to 512\n",
                        "readBuff: attempt to read 511\n", "readBuff: attempt to read 511\n"}));
  memFree(out);
}

TEST(NetTest, PeerClosingLosesOnlyTheHalfLine) {
  Pair p;
  int out = memAlloc(0);
  p.peerSends("one\ntwo\nhal");
  close(p.peer);
  p.peer = -1;
  EXPECT_EQ(readLine(p.fd, out), 1);
  EXPECT_STREQ(static_cast<char *>(memGetData(out)), "one");
  EXPECT_EQ(readLine(p.fd, out), 1);
  EXPECT_STREQ(static_cast<char *>(memGetData(out)), "two");
  EXPECT_EQ(readLine(p.fd, out), -1);
  EXPECT_EQ(readLine(p.fd, out), -1);
  memFree(out);
}

TEST(NetTest, RawReadsRespectTheMaximum) {
  Pair p;
  int out = memAlloc(0);
  p.peerSends("0123456789");
  ASSERT_TRUE(pollUntil([&] { return netReadable(p.fd) == 1; }));
  // The maximum fills while the socket is still readable: what is held is
  // handed out (one less than the maximum) rather than a receive of nothing.
  std::string got;
  for (int i = 0; i < 100 && got.size() < 10; i++) {
    int r = netReadRaw(p.fd, out, 4);
    ASSERT_GE(r, 0);
    if (r == 1) {
      EXPECT_LE(memGetSize(out), 3);
      got.append(static_cast<char *>(memGetData(out)), memGetSize(out));
    } else {
      netPoll(10000);
    }
  }
  EXPECT_EQ(got, "0123456789");
  // Fewer bytes than the maximum are handed out whole, once the kernel has
  // nothing more.
  p.peerSends("ab");
  ASSERT_TRUE(pollUntil([&] { return netReadable(p.fd) == 1; }));
  EXPECT_EQ(netReadRaw(p.fd, out, 100), 0);  // received, kept until readable is clear
  EXPECT_EQ(netReadRaw(p.fd, out, 100), 1);
  EXPECT_EQ(text(out), "ab");
  memFree(out);
}

TEST(NetTest, WritesQueueUntilWritableAndKeepTheUnsentTail) {
  Pair p;
  EXPECT_EQ(netWrite(p.fd, nullptr), 1);  // nothing queued
  int small = 4096;
  setsockopt(p.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string big;
  for (int i = 0; big.size() < 1000000; i++) big += std::to_string(i) + ",";
  int r = netWrite(p.fd, big.c_str());
  EXPECT_EQ(r, 0);                    // a partial send: the tail stays queued
  EXPECT_EQ(netWrite(p.fd, "!"), 0);  // not writable: queued behind it
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while (got.size() < big.size() + 1 && (n = recv(p.peer, buf, sizeof buf, 0)) > 0) {
      got.append(buf, n);
    }
  });
  for (int i = 0; i < 100000 && r != 1; i++) {
    netPoll(10000);
    if (netWritable(p.fd) == 1) r = netWrite(p.fd, nullptr);
  }
  EXPECT_EQ(r, 1);
  reader.join();
  EXPECT_EQ(got, big + "!");
}

// A peer that never reads cannot make the queue outgrow the allocator's
// largest block: the write that would is refused, queues nothing, and the
// process goes on.
TEST(NetTest, AWriteQueueStopsShortOfTheLargestBlock) {
  int fd = netConnect("127.0.0.1", 1);  // never writable: nothing listens
  ASSERT_GT(fd, 0);
  std::string chunk(1024 * 1024, 'q');
  for (int i = 0; i < 3; i++) EXPECT_EQ(netWrite(fd, chunk.c_str()), 0) << i;
  EXPECT_EQ(netWrite(fd, chunk.c_str()), -2);
  EXPECT_EQ(netWrite(fd, "still fits\n"), 0);
  netClose(fd);
}

TEST(NetTest, InvalidDescriptorsAnswerAsDocumented) {
  int out = memAlloc(0);
  for (int fd : {0, 256, 200, -1}) {
    EXPECT_EQ(netConnected(fd), 1) << fd;
    EXPECT_EQ(netReadable(fd), -2) << fd;
    EXPECT_EQ(netWritable(fd), -2) << fd;
    EXPECT_EQ(netRead(fd, out), -2) << fd;
    EXPECT_EQ(netReadRaw(fd, out, 10), -2) << fd;
    EXPECT_EQ(netWrite(fd, "x"), -2) << fd;
    EXPECT_EQ(netSetCallback(fd, nullptr, nullptr), -2) << fd;
    EXPECT_EQ(netAccept(fd), -2) << fd;
    EXPECT_EQ(netClose(fd), 1) << fd;
  }
  memFree(out);
}

TEST(NetTest, PollTimesOutAndRescanEndsALongWait) {
  while (netPoll(0) != 0) {
  }
  EXPECT_EQ(netPoll(0), 0);
  auto start = std::chrono::steady_clock::now();
  std::thread waker([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    netPollRescan(99);
  });
  EXPECT_EQ(netPoll(10000000), 1);
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Rescan requests are read back as a pipe hands them out: one made while
// nobody polls ends the next wait at once, a pass reads at most 99 bytes and
// the rest ends the following wait, and a full pipe refuses a request whole.
TEST(NetTest, RescanRequestsAreReadBackLikeAPipe) {
  while (netPoll(0) != 0) {
  }
  nktest::LogCapture capture;
  nkloglevelset("test", "DBUG");
  auto start = std::chrono::steady_clock::now();
  netPollRescan(7);
  EXPECT_EQ(netPoll(10000000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  for (int i = 0; i < 20; i++) netPollRescan(10);  // 120 bytes
  EXPECT_EQ(netPoll(0), 1);
  EXPECT_EQ(netPoll(0), 1);
  EXPECT_EQ(netPoll(0), 0);
  nkloglevelset("test", "WARN");
  const std::string prefix = "netPoll select woken up by rescan pipe msg=";
  std::vector<std::string> read;
  for (const std::string &m : capture.messages()) {
    size_t at = m.find(prefix);
    if (at != std::string::npos) read.push_back(m.substr(at + prefix.size()));
  }
  std::string six = "ifd=10";
  std::string sixteen;
  for (int i = 0; i < 16; i++) sixteen += six;
  EXPECT_EQ(read, (std::vector<std::string>{"ifd=7", sixteen + "ifd", "=10" + six + six + six}));

  // 64 KiB hold 10,922 texts of six bytes; the next finds four bytes free.
  for (int i = 0; i < 10923; i++) netPollRescan(10);
  int passes = 0;
  while (netPoll(0) == 1) passes++;
  EXPECT_EQ(passes, (10922 * 6 + 98) / 99);
  EXPECT_EQ(capture.count("netPollRescan failed to write 6 bytes"), 1);
}

// A poller thread waits in select while this thread takes each event and
// re-arms the read watch: every re-arm must reach the waiting poller. A lost
// wake-up would leave it in its 10-second select, and the next event late.
TEST(NetTest, ReArmsAlwaysReachAWaitingPoller) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(netExternal(sv[0]), 0);
  Events events;
  netSetCallback(sv[0], Events::record, &events);
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop) netPoll(10000000);
  });
  const int rounds = nktest::emulated() ? 300 : 3000;
  int delivered = 0;
  for (int i = 0; i < rounds; i++) {
    ASSERT_EQ(write(sv[1], "x", 1), 1);
    {
      std::unique_lock<std::mutex> lock(events.m);
      if (!events.cv.wait_for(lock, std::chrono::seconds(5), [&] {
            int n = 0;
            for (int k : events.kinds) n += k == NET_EVENT_READ;
            return n == i + 1;
          })) {
        break;
      }
    }
    char c;
    ASSERT_EQ(recv(sv[0], &c, 1, 0), 1);
    netReadPoll(sv[0]);
    delivered++;
  }
  stop = true;
  netPollRescan(sv[0]);
  poller.join();
  EXPECT_EQ(delivered, rounds);
  netClose(sv[0]);
  close(sv[1]);
}

TEST(NetTest, ListeningSocketRaisesAcceptOnce) {
  int lfd = netListen(0);
  ASSERT_GT(lfd, 0);
  struct sockaddr_in a = {};
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &len);
  Events events;
  netSetCallback(lfd, Events::record, &events);
  FILE *log = tmpfile();
  nksetdefaultlog(log);
  nkloglevelset("test", "INFO");
  EXPECT_EQ(netAccept(lfd), 0);  // nothing waiting
  int client = socket(AF_INET, SOCK_STREAM, 0);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  EXPECT_TRUE(pollUntil([&] { return events.count(NET_EVENT_ACCEPT) == 1; }));
  netPoll(20000);
  EXPECT_EQ(events.count(NET_EVENT_ACCEPT), 1);  // nothing more until accepted
  EXPECT_EQ(events.count(NET_EVENT_READ), 0);
  int conn = netAccept(lfd);
  EXPECT_GT(conn, 0);
  EXPECT_EQ(netWrite(conn, "hello\n"), 0);  // new contexts wait for writability
  nkloglevelset("test", "WARN");
  nksetdefaultlog(nullptr);
  rewind(log);
  char line[512];
  bool egain = false;
  while (fgets(line, sizeof line, log)) {
    egain |=
        strstr(line, ("INFO Socket " + std::to_string(lfd) + " accept EGAIN").c_str()) != nullptr;
  }
  fclose(log);
  EXPECT_TRUE(egain);
  netClose(conn);
  netClose(lfd);
  close(client);
}

TEST(NetTest, DescriptorClosedBehindTheLayerTurnsBad) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Events events;
  ASSERT_EQ(netExternal(fds[0]), 0);
  netSetCallback(fds[0], Events::record, &events);
  close(fds[0]);                     // behind the layer's back
  EXPECT_EQ(netPoll(0), 0);          // select fails, the sweep marks the context bad
  EXPECT_EQ(netPoll(0) >= 0, true);  // later passes skip it
  EXPECT_TRUE(events.kinds.empty());
  netClose(fds[0]);
  close(fds[1]);
}

TEST(NetTest, ReadPollRegistersAnUnknownDescriptor) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_GE(dup2(fds[0], 7), 0);
  EXPECT_EQ(netReadPoll(7), -2);  // registered as external now
  EXPECT_EQ(netReadPoll(7), 0);
  EXPECT_EQ(netWritePoll(7), 0);
  EXPECT_EQ(netExceptPoll(7), 0);
  EXPECT_EQ(netReadPoll(300), -2);
  EXPECT_EQ(netReadPoll(300), -2);  // outside the table: never registered
  netClose(7);
  close(fds[0]);
  close(fds[1]);
}

TEST(NetTest, DescriptorsBeyondTheTableAreRefused) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(dup2(s, 300), 0);
  EXPECT_EQ(netExternal(300), -2);
  EXPECT_EQ(fcntl(300, F_GETFD), 0);  // not ours: left open
  close(300);
  close(s);
  // Fill the table so that the system's next socket is numbered 256 or more.
  std::vector<int> held;
  int null = open("/dev/null", O_RDONLY);
  int probe;
  while ((probe = dup(null)) >= 0 && probe < NET_MAX_DESCRIPTORS) held.push_back(probe);
  ASSERT_GE(probe, NET_MAX_DESCRIPTORS);
  close(probe);
  Listener listener;  // its descriptor is above the table too
  EXPECT_EQ(listener.fd, probe);
  EXPECT_EQ(netConnect("127.0.0.1", listener.port), -2);
  EXPECT_EQ(fcntl(probe + 1, F_GETFD), -1);  // the refused socket was closed
  for (int fd : held) close(fd);
  close(null);
}

TEST(NetTest, RefusedAndUnresolvableConnects) {
  Listener listener;
  int port = listener.port;
  close(listener.fd);
  listener.fd = socket(AF_INET, SOCK_STREAM, 0);  // the port is free now
  int fd = netConnect("127.0.0.1", port);
  ASSERT_GT(fd, 0);
  Events events;
  netSetCallback(fd, Events::record, &events);
  // The poller takes writability as completion, refused or not; the failure
  // shows on the first receive.
  EXPECT_TRUE(pollUntil([&] { return events.count(NET_EVENT_CONNECTED) == 1; }));
  int out = memAlloc(0);
  EXPECT_EQ(readLine(fd, out), -2);
  netClose(fd);
  memFree(out);
  EXPECT_EQ(netConnect("no-such-host.invalid", 80), -2);
}

// The poller on its own thread, a reader and a writer on two others, the
// peer echoing: every line comes back, in order.
TEST(NetTest, PollerReaderAndWriterOnThreeThreads) {
  Pair p;
  constexpr int kLines = 2000;
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop) netPoll(10000);
  });
  std::thread echo([&] {
    char buf[4096];
    ssize_t n;
    while ((n = recv(p.peer, buf, sizeof buf, 0)) > 0) send(p.peer, buf, n, 0);
  });
  std::thread writer([&] {
    for (int i = 0; i < kLines; i++) {
      std::string line = "line " + std::to_string(i) + "\r\n";
      int r = netWrite(p.fd, line.c_str());
      while (r == 0) {
        std::unique_lock<std::mutex> lock(p.events.m);
        p.events.cv.wait_for(lock, std::chrono::milliseconds(5));
        lock.unlock();
        r = netWrite(p.fd, nullptr);
      }
      ASSERT_EQ(r, 1);
    }
  });
  int out = memAlloc(0);
  for (int i = 0; i < kLines; i++) {
    int r;
    while ((r = netRead(p.fd, out)) == 0) {
      std::unique_lock<std::mutex> lock(p.events.m);
      p.events.cv.wait_for(lock, std::chrono::milliseconds(5));
    }
    ASSERT_EQ(r, 1);
    ASSERT_EQ(std::string(static_cast<char *>(memGetData(out))), "line " + std::to_string(i));
  }
  writer.join();
  stop = true;
  poller.join();
  shutdown(p.peer, SHUT_RDWR);
  echo.join();
  memFree(out);
}

}  // namespace
