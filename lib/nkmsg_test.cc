#define NK_MODULE "nkmsg_test"
#include "nkmsg.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"
#include "runtime.h"

namespace {

class MsgEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MsgEnvironment);

// A bus server played by the test on 127.0.0.1:4242: it records every line it
// receives, answers registrations by itself (unless told to refuse them), and
// sends whatever the test gives it.
class FakeBus {
 public:
  explicit FakeBus(int registrationType = 0) : registrationType_(registrationType) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(MSG_PORT);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeBus() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    {
      std::lock_guard<std::mutex> lock(m_);
      if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
      held_ = false;
      cv_.notify_all();
    }
    thread_.join();
    if (conn_ >= 0) close(conn_);
  }
  // The next line received (with its line end), or "" after 10 s or at EOF.
  std::string nextLine() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [this] { return !lines_.empty() || eof_; });
    if (lines_.empty()) return "";
    std::string l = lines_.front();
    lines_.pop_front();
    return l;
  }
  bool sawEof() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [this] { return eof_; });
    return eof_;
  }
  void send(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(m_);
    ASSERT_EQ(::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void hangUp() {
    std::lock_guard<std::mutex> lock(m_);
    shutdown(conn_, SHUT_RDWR);
  }
  // While held, the server receives nothing: the client's sends back up.
  void holdReading(bool held) {
    std::lock_guard<std::mutex> lock(m_);
    held_ = held;
    cv_.notify_all();
  }

 private:
  void serve() {
    int conn = accept(listener_, nullptr, nullptr);
    if (conn < 0) return;
    {
      std::lock_guard<std::mutex> lock(m_);
      conn_ = conn;
    }
    std::string pending;
    char buf[4096];
    ssize_t n;
    auto released = [this] {
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait(lock, [this] { return !held_; });
      return true;
    };
    while (released() && (n = recv(conn, buf, sizeof buf, 0)) > 0) {
      pending.append(buf, n);
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end + 1);
        pending.erase(0, end + 1);
        char name[300];
        int seq = 0;
        if (sscanf(line.c_str(), "base,%299[^,],100,%d,", name, &seq) == 2) {
          std::string answer = std::string(name) + ",base," + std::to_string(registrationType_) +
                               "," + std::to_string(seq) + ",\r\n";
          ::send(conn, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        std::lock_guard<std::mutex> lock(m_);
        lines_.push_back(line);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> lock(m_);
    eof_ = true;
    cv_.notify_all();
  }

  int registrationType_;
  int listener_ = -1;
  int conn_ = -1;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::string> lines_;
  bool eof_ = false;
  bool held_ = false;
  std::thread thread_;
};

std::string text(int h) { return static_cast<char *>(memGetData(h)); }

struct Received {
  char to[MSG_NAME_SIZE] = "";
  char from[MSG_NAME_SIZE] = "";
  int type = -99;
  int data = stringAlloc(0);
  ~Received() { stringFree(data); }
};

TEST(MsgTest, RegistrationRequestsAndSequenceNumbers) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("nksh-1234");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(bus.nextLine(), "base,nksh-1234,100,1,\r\n");
  int data = stringDup("stat=memblocks,index=0");
  std::thread server([&] {
    EXPECT_EQ(bus.nextLine(), "nkrun,nksh-1234,202,2,stat=memblocks,index=0\r\n");
    bus.send("nksh-1234,nkrun,0,2,index=9,size=256\r\n");
  });
  EXPECT_EQ(nkMsgRequest(c, "nkrun", nullptr, 202, data), 0);
  server.join();
  EXPECT_EQ(text(data), "index=9,size=256");
  // A reply's type is the request's result; data with commas arrives whole.
  server = std::thread([&] {
    EXPECT_EQ(bus.nextLine(), "nkrun,other,210,3,print(1) \r\n");
    bus.send("nksh-1234,nkrun,7,3,a,b,c=d\r\n");
  });
  stringCopy(data, "print(1) ");
  EXPECT_EQ(nkMsgRequest(c, "nkrun", "other", 210, data), 7);
  server.join();
  EXPECT_EQ(text(data), "a,b,c=d");
  nkMsgClose(c);
  EXPECT_EQ(bus.nextLine(), "base,nksh-1234,102,0,\r\n");
  EXPECT_TRUE(bus.sawEof());
  stringFree(data);
}

TEST(MsgTest, LinesForOtherRequestsAreSetAsideNewestFirst) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  int data = stringAlloc(0);
  std::thread server([&] {
    bus.nextLine();  // the request, seq 2
    bus.send("client,x,0,7,seven\r\nclient,x,0,5,five\r\n*status line\r\nclient,y,0,2,mine\r\n");
  });
  uint32_t before = runtimeIPCSuccess;
  EXPECT_EQ(nkMsgRequest(c, "x", nullptr, 1, data), 0);
  server.join();
  EXPECT_EQ(text(data), "mine");
  EXPECT_EQ(runtimeIPCSuccess - before, 4u);  // the '*' line counts too
  // The queue holds seq 5 (newest) and 7: taken without reading the socket.
  Received r;
  EXPECT_EQ(nkMsgPoll(c, r.to, r.from, &r.type, r.data, 0), MSG_OK);
  EXPECT_EQ(runtimeIPCBacklog, 2u);
  EXPECT_EQ(text(r.data), "five");
  EXPECT_STREQ(r.to, "client");
  EXPECT_STREQ(r.from, "x");
  EXPECT_EQ(nkMsgGet(c, r.to, r.from, &r.type, r.data), MSG_OK);
  EXPECT_EQ(text(r.data), "seven");
  // Nothing left and nothing on the socket: no wait with timeout 0.
  EXPECT_EQ(nkMsgPoll(c, r.to, nullptr, &r.type, r.data, 0), MSG_TIMEOUT);
  nkMsgClose(c);
  stringFree(data);
}

TEST(MsgTest, OddLinesFromTheServer) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  Received r;
  // Four fields: status 0, empty data. Unparsable and over-long fields:
  // discarded, the receiver goes on.
  std::string longName(300, 'n');
  bus.send("garbage without commas\r\n" + longName + ",x,0,1,too long\r\nclient,x,4,0\r\n");
  EXPECT_EQ(nkMsgGet(c, r.to, r.from, &r.type, r.data), MSG_OK);
  EXPECT_EQ(r.type, 4);
  EXPECT_EQ(text(r.data), "");
  // A reply to the last message taken carries its seq; no sender buffer
  // leaves the client's own name as the default sender.
  bus.send("client,peer,5,9,ping\r\n");
  EXPECT_EQ(nkMsgPoll(c, r.to, nullptr, &r.type, r.data, -1), MSG_OK);
  stringCopy(r.data, "pong");
  nkMsgReply(c, "peer", nullptr, 0, r.data);
  EXPECT_EQ(bus.nextLine(), "peer,client,0,9,pong\r\n");
  nkMsgClose(c);
}

TEST(MsgTest, TimeoutsAndALostServer) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  int data = stringAlloc(0);
  nkMsgTimeoutSet(c, 100000);
  EXPECT_EQ(nkMsgRequest(c, "nobody", nullptr, 1, data), MSG_TIMEOUT);
  nkMsgTimeoutSet(c, -5);  // without bound again
  Received r;
  std::thread closer([&] {
    bus.nextLine();
    bus.hangUp();
  });
  uint32_t before = runtimeIPCDisconnect;
  EXPECT_EQ(nkMsgGet(c, r.to, r.from, &r.type, r.data), MSG_DISCONNECTED);
  closer.join();
  EXPECT_EQ(runtimeIPCDisconnect, before + 1);
  EXPECT_EQ(nkMsgRequest(c, "nobody", nullptr, 1, data), MSG_DISCONNECTED);
  stringFree(data);
}

// Stray lines sent to a client that does not take them (a shell idle at its
// prompt) pile up while its next request waits: setting them aside must not
// cost a walk of the queue per line, and the queue keeps only the newest
// 1 MiB; a stray line that carries a later request's seq answers it.
TEST(MsgTest, SetAsideLinesAreBoundedAndFoundBySeq) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  constexpr int kStray = 40000;
  std::string burst;
  for (int i = 1; i <= kStray; i++) {
    burst += "client,x,0," + std::to_string(i == kStray - 1 ? 3 : 1000 + i % 7) + "," +
             std::to_string(i) + "\r\n";
  }
  int data = stringAlloc(0);
  std::thread server([&] {
    bus.nextLine();  // seq 2
    bus.send(burst + "client,x,0,2,mine\r\n");
  });
  uint32_t dropped = runtimeIPCDropped;
  EXPECT_EQ(nkMsgRequest(c, "x", nullptr, 1, data), 0);
  server.join();
  EXPECT_EQ(text(data), "mine");
  dropped = runtimeIPCDropped - dropped;
  EXPECT_GT(dropped, 0u);
  EXPECT_LT(dropped, static_cast<uint32_t>(kStray - 1000));
  // Request 3 is answered from the queue, with nothing more on the socket.
  nkMsgTimeoutSet(c, 0);
  EXPECT_EQ(nkMsgRequest(c, "x", nullptr, 1, data), 0);
  EXPECT_EQ(text(data), std::to_string(kStray - 1));
  bus.nextLine();
  // The rest come newest first, down to the oldest line kept.
  Received r;
  std::vector<int> order;
  while (nkMsgPoll(c, r.to, r.from, &r.type, r.data, 0) == MSG_OK)
    order.push_back(atoi(text(r.data).c_str()));
  ASSERT_EQ(order.size(), kStray - 1 - dropped);
  EXPECT_EQ(order.front(), kStray);
  EXPECT_EQ(order[1], kStray - 2);
  EXPECT_EQ(order.back(), static_cast<int>(dropped) + 1);
  stringFree(data);
  nkMsgClose(c);
}

// An operator's Ctrl-C ends a request that waits without bound; its late
// reply is never taken for the next request's.
TEST(MsgTest, AnInterruptedRequestLeavesItsLateReplyAside) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  int data = stringAlloc(0);
  std::atomic<bool> returned{false};
  std::thread interrupter([&] {
    EXPECT_EQ(bus.nextLine(), "slow,client,202,2,\r\n");
    // Until the request's wait has begun and ends.
    while (!returned) {
      nkMsgInterrupt(c);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  EXPECT_EQ(nkMsgRequest(c, "slow", nullptr, 202, data), MSG_INTERRUPTED);
  returned = true;
  interrupter.join();
  std::thread server([&] {
    bus.nextLine();  // request 3
    bus.send("client,slow,0,2,late\r\nclient,slow,0,3,mine\r\n");
  });
  EXPECT_EQ(nkMsgRequest(c, "slow", nullptr, 202, data), 0);
  server.join();
  EXPECT_EQ(text(data), "mine");
  stringFree(data);
  nkMsgClose(c);
}

// A process that outlives its bus opens with nkMsgTryInit: no server, or a
// refusing one, gives null instead of ending the process.
TEST(MsgTest, TryInitReturnsNullWithoutABus) {
  EXPECT_EQ(nkMsgTryInit("early"), nullptr);
  {
    FakeBus refusing(1);
    EXPECT_EQ(nkMsgTryInit("refused"), nullptr);
  }
  FakeBus bus;
  // The bus is on 127.0.0.1; NK_BUS_ADDRESS sends the client elsewhere.
  setenv("NK_BUS_ADDRESS", "127.0.0.2", 1);
  EXPECT_EQ(nkMsgTryInit("elsewhere"), nullptr);
  unsetenv("NK_BUS_ADDRESS");
  MsgClient *c = nkMsgTryInit("late");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(bus.nextLine(), "base,late,100,1,\r\n");
  nkMsgClose(c);
}

// The bus's address is NK_BUS_ADDRESS when that is a dotted IPv4 address;
// anything else is warned about once and the loopback is used.
TEST(MsgTest, BusAddressComesFromTheEnvironment) {
  nktest::LogCapture log;
  const struct {
    const char *value, *address;
  } cases[] = {
      {nullptr, "127.0.0.1"},     {"127.0.0.3", "127.0.0.3"},   {"10.20.30.40", "10.20.30.40"},
      {"localhost", "127.0.0.1"}, {"127.0.0.256", "127.0.0.1"}, {"127.1", "127.0.0.1"},
      {"", "127.0.0.1"},          {" 127.0.0.2", "127.0.0.1"},
  };
  for (const auto &c : cases) {
    if (c.value) setenv("NK_BUS_ADDRESS", c.value, 1);
    EXPECT_STREQ(nkMsgBusAddress(), c.address) << (c.value ? c.value : "unset");
    unsetenv("NK_BUS_ADDRESS");
  }
  EXPECT_EQ(log.count("NK_BUS_ADDRESS 'localhost' is not a dotted IPv4 address, using 127.0.0.1"),
            1);
  EXPECT_EQ(log.count("is not a dotted IPv4 address"), 1);
}

TEST(MsgTest, NamesThatDoNotFitAreRefused) {
  EXPECT_EQ(nkMsgInit(std::string(260, 'a').c_str()), nullptr);
  FakeBus bus;
  MsgClient *c = nkMsgInit(std::string(259, 'a').c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(bus.nextLine(), "base," + std::string(259, 'a') + ",100,1,\r\n");
  nkMsgClose(c);
}

// A line larger than the socket takes at once leaves a tail queued: the
// sender waits for writability and flushes until the whole line has gone.
TEST(MsgTest, ALongRequestWaitsForTheSocketAndGoesOutWhole) {
  FakeBus bus;
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  nktest::LogCapture capture;
  nkloglevelset("test", "NOTE");
  const std::string big((4 << 20) - 256, 'x');
  int data = stringDup(big.c_str());
  bool whole = false;
  bus.holdReading(true);
  std::thread server([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bus.holdReading(false);
    whole = bus.nextLine() == "echo,client,5,2," + big + "\r\n";
    bus.send("client,echo,0,2,done\r\n");
  });
  EXPECT_EQ(nkMsgRequest(c, "echo", nullptr, 5, data), 0);
  server.join();
  nkloglevelset("test", "WARN");
  EXPECT_TRUE(whole);
  EXPECT_EQ(text(data), "done");
  EXPECT_GE(capture.count("msgSend netWrite returns 0"), 1);
  stringFree(data);
  nkMsgClose(c);
}

int wakeups;
int countWakeup(void *) { return ++wakeups; }

TEST(MsgTest, SocketEventsWakeTheRuntime) {
  FakeBus bus;
  RuntimeProfile *profile = runtimeNewCallback("bus", countWakeup, nullptr);
  nkMsgSetRuntimeWakeup(profile);
  MsgClient *c = nkMsgInit("client");
  bus.nextLine();
  bus.send("client,x,0,0,hello\r\n");
  runtimeSleep(5000000);  // returns once the socket event has woken the callback
  runtimeExecCallbacks();
  EXPECT_GE(wakeups, 1);
  Received r;
  EXPECT_EQ(nkMsgGet(c, r.to, r.from, &r.type, r.data), MSG_OK);
  nkMsgSetRuntimeWakeup(nullptr);
  nkMsgClose(c);
}

void logToStderr() { nksetdefaultlog(stderr); }

TEST(MsgDeathTest, NoServerEndsTheProcess) {
  nktest::useThreadsafeDeathTests();
  EXPECT_EXIT(
      {
        logToStderr();
        nkMsgInit("lonely");
      },
      ::testing::ExitedWithCode(1),
      "ERR  msgSend write failure - is IPC server running\\?\n[^\n]* CRIT Program halted in file "
      "nkmsg at line");
}

TEST(MsgDeathTest, RefusedRegistrationEndsTheProcess) {
  nktest::useThreadsafeDeathTests();
  EXPECT_EXIT(
      {
        logToStderr();
        FakeBus bus(1);
        nkMsgInit("refused");
      },
      ::testing::ExitedWithCode(1), "nkMsgInit : sending registration request failed\n");
}

TEST(MsgDeathTest, MissingArgumentsStop) {
  EXPECT_EXIT(
      {
        logToStderr();
        nkMsgRequest(nullptr, "x", nullptr, 1, 0);
      },
      ::testing::ExitedWithCode(1), "Assertion failed file nkmsg line");
}

}  // namespace
