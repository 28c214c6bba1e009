#define NK_MODULE "nkmsg_test"
#include "nkmsg.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"
#include "runtime.h"

namespace {

struct MsgEnvironment : ::testing::Environment {
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MsgEnvironment);

// The bus server's end of one connection on 127.0.0.1:4242, played by the test.
struct FakeBus {
  int listener = socket(AF_INET, SOCK_STREAM, 0), conn = -1;
  std::string received;
  FakeBus() {
    // A small receive window (inherited by the connection): a long line
    // goes to the kernel in many writes.
    int one = 1, window = 4096;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in a = {AF_INET, htons(MSG_PORT), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(listener, 8), 0);
  }
  ~FakeBus() {
    close(conn);
    close(listener);
  }
  // Accepts a client opening as name and answers its registration with type.
  MsgClient *open(const std::string &name, MsgClient *(*init)(const char *) = nkMsgInit,
                  int type = 0) {
    auto client = std::async(std::launch::async, init, name.c_str());
    conn = accept(listener, nullptr, nullptr);
    timeval tv = {10, 0};
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(nextLine(), "base," + name + ",100,1,\r\n");
    send(name + ",base," + std::to_string(type) + ",1,\r\n");
    return client.get();
  }
  // The next line the client sent, with its line end; "" at the end or after 10 s.
  std::string nextLine() {
    char buf[65536];
    for (ssize_t n; received.find('\n') == std::string::npos; received.append(buf, n)) {
      if ((n = recv(conn, buf, sizeof buf, 0)) <= 0) return "";
    }
    std::string line = received.substr(0, received.find('\n') + 1);
    received.erase(0, line.size());
    return line;
  }
  void send(const std::string &s) {
    ASSERT_EQ(::send(conn, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
  }
};

std::string text(int h) { return static_cast<char *>(memGetData(h)); }

// A client registered as "client" with a fake bus, and the message last taken.
class MsgTest : public ::testing::Test {
 protected:
  int freeHandles = memFreeHandleCount();
  FakeBus bus;
  MsgClient *c = bus.open("client");
  char to[MSG_NAME_SIZE] = "", from[MSG_NAME_SIZE] = "";
  int type = -99, data = stringAlloc(0);
  int poll(int timeout) { return nkMsgPoll(c, to, from, &type, data, timeout); }
  std::string taken() {
    return std::string(to) + "," + from + "," + std::to_string(type) + "," + text(data);
  }
  std::future<int> request(const char *recipient, int requestType) {
    return std::async(std::launch::async, nkMsgRequest, c, recipient, nullptr, requestType, data);
  }
};

// A reply's type is the request's result; lines of other seqs met meanwhile
// are set aside and handed out later, newest first, without a receive. The
// counters count the lines received and set aside, and the traffic wakes the
// runtime profile given to the client.
TEST_F(MsgTest, RequestsTakeTheirRepliesAndSetOtherLinesAside) {
  int woken = 0;
  RuntimeProfile *wakeup = runtimeNewCallback(
      "bus", [](void *count) { return ++*static_cast<int *>(count); }, &woken);
  nkMsgSetRuntimeWakeup(wakeup);
  uint32_t received = runtimeIPCSuccess;
  stringCopy(data, "stat=memblocks,index=0");
  bus.send("client,x,0,7,seven\r\nclient,x,0,5,five\r\n*status\r\nclient,nkrun,6,2,a,b=c\r\n");
  EXPECT_EQ(nkMsgRequest(c, "nkrun", nullptr, 202, data), 6);
  EXPECT_EQ(runtimeIPCSuccess - received, 4u);
  EXPECT_EQ(runtimeIPCBacklog, 2u);
  EXPECT_EQ(bus.nextLine(), "nkrun,client,202,2,stat=memblocks,index=0\r\n");
  EXPECT_EQ(text(data), "a,b=c");
  EXPECT_EQ(poll(0), MSG_OK);
  EXPECT_EQ(taken(), "client,x,0,five");
  EXPECT_EQ(nkMsgGet(c, to, from, &type, data), MSG_OK);
  EXPECT_EQ(taken(), "client,x,0,seven");
  EXPECT_EQ(poll(0), MSG_TIMEOUT);  // nothing left, nothing on the socket: no wait
  // Unparsable lines and over-long names are discarded; four fields carry no data.
  bus.send("garbage\r\n" + std::string(300, 'n') + ",x,0,1,long\r\nclient,y,4,0\r\n");
  EXPECT_EQ(poll(-1), MSG_OK);
  EXPECT_EQ(taken(), "client,y,4,");
  // The socket event after the empty poll wakes it (just after the poll's wait).
  EXPECT_TRUE(nktest::eventually([&] { return runtimeExecCallbacks(), woken > 0; }));
  nkMsgSetRuntimeWakeup(nullptr);
  runtimeDeleteCallback(wakeup);
  // A reply has the seq of the message taken; the client's name stays the sender.
  bus.send("client,peer,5,9,ping\r\n");
  EXPECT_EQ(nkMsgPoll(c, to, nullptr, &type, data, -1), MSG_OK);
  stringCopy(data, "pong");
  nkMsgReply(c, "peer", nullptr, 0, data);
  EXPECT_EQ(bus.nextLine(), "peer,client,0,9,pong\r\n");
  // A line a thousand windows long goes out in parts, whole and once.
  const std::string big((4 << 20) - 256, 'x');
  stringCopy(data, big.c_str());
  std::future<int> reply = request("echo", 5);
  EXPECT_TRUE(bus.nextLine() == "echo,client,5,3," + big + "\r\n");
  bus.send("client,echo,0,3,done\r\n");
  EXPECT_EQ(reply.get(), 0);
  nkMsgClose(c);
  EXPECT_EQ(bus.nextLine(), "base,client,102,0,\r\n");
  EXPECT_EQ(bus.nextLine(), "");
}

// A field that would break the line (a name that is empty or holds a comma or
// line end, data with a line end) is refused by every sending call: nothing
// goes out, and the client goes on.
TEST_F(MsgTest, LinesWithBrokenFieldsAreNeverSent) {
  nktest::LogCapture log;
  const struct {
    const char *recipient, *sender, *data;
  } refused[] = {{"nkrun", "client", "a\nnkrun,client,210,0,os.exit()"},
                 {"nkrun", "client", "a\rb"},
                 {"nk\nrun", "client", ""},
                 {"a,b", "client", ""},
                 {"", "client", ""},
                 {"nkrun", "me\r", ""},
                 {"nkrun", "", ""}};
  for (const auto &r : refused) {
    stringCopy(data, r.data);
    EXPECT_EQ(nkMsgSend(c, r.recipient, r.sender, 212, data), MSG_FAILED) << r.data;
    EXPECT_EQ(nkMsgReply(c, r.recipient, r.sender, 0, data), MSG_FAILED) << r.data;
    EXPECT_EQ(nkMsgRequest(c, r.recipient, r.sender, 210, data), MSG_FAILED) << r.data;
  }
  EXPECT_EQ(log.count("not sent: its data holds a line end"), 6);
  EXPECT_EQ(log.count("not sent: a name is empty or holds a comma or a line end"), 15);
  stringCopy(data, "a\tb");  // a tab is data like any other byte
  EXPECT_EQ(nkMsgSend(c, "nkrun", nullptr, 212, data), 0);
  EXPECT_EQ(bus.nextLine(), "nkrun,client,212,0,a\tb\r\n");
  for (const char *name : {"a,b", "a\nb", ""}) EXPECT_EQ(nkMsgTryInit(name), nullptr);
}

// An interrupted request's late reply is never taken for the next one's.
TEST_F(MsgTest, TimeoutsInterruptionsAndALostServer) {
  nkMsgTimeoutSet(c, 100000);
  EXPECT_EQ(nkMsgRequest(c, "nobody", nullptr, 1, data), MSG_TIMEOUT);
  nkMsgTimeoutSet(c, -5);  // without bound again
  std::future<int> slow = request("slow", 202);
  EXPECT_EQ(bus.nextLine(), "nobody,client,1,2,\r\n");
  EXPECT_EQ(bus.nextLine(), "slow,client,202,3,\r\n");
  while (slow.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    nkMsgInterrupt(c);  // until the request's wait has begun and ended
  }
  EXPECT_EQ(slow.get(), MSG_INTERRUPTED);
  bus.send("client,slow,0,3,late\r\nclient,slow,0,4,mine\r\n");
  EXPECT_EQ(nkMsgRequest(c, "slow", nullptr, 202, data), 0);
  EXPECT_EQ(poll(0), MSG_OK);  // the late reply, set aside
  EXPECT_EQ(taken(), "client,slow,0,late");
  shutdown(bus.conn, SHUT_RDWR);
  EXPECT_EQ(poll(-1), MSG_DISCONNECTED);
  EXPECT_EQ(nkMsgRequest(c, "nobody", nullptr, 1, data), MSG_DISCONNECTED);
}

// Lines a client never takes (a shell idle at its prompt) pile up while a request
// waits: only the newest 1 MiB is kept; a later request's reply is found there.
TEST_F(MsgTest, SetAsideLinesAreBoundedAndFoundBySeq) {
  nktest::LogCapture log;
  constexpr int kStray = 40000;
  std::string burst;
  for (int i = 1; i <= kStray; i++) {
    burst += "client,x,0," + std::to_string(i == kStray - 1 ? 3 : 1000 + i % 7) + "," +
             std::to_string(i) + "\r\n";
  }
  uint32_t dropped = runtimeIPCDropped;
  std::future<int> reply = request("x", 1);
  bus.send(burst + "client,x,0,2,mine\r\n");
  EXPECT_EQ(reply.get(), 0);
  EXPECT_EQ(text(data), "mine");
  dropped = runtimeIPCDropped - dropped;
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(log.count("client has 1048576 bytes of lines set aside, dropping the oldest"), 1);
  nkMsgTimeoutSet(c, 0);
  EXPECT_EQ(nkMsgRequest(c, "x", nullptr, 1, data), 0);  // seq 3, from the queue
  EXPECT_EQ(text(data), std::to_string(kStray - 1));
  std::vector<int> order;
  while (poll(0) == MSG_OK) order.push_back(atoi(text(data).c_str()));
  ASSERT_EQ(order.size(), kStray - 1 - dropped);
  EXPECT_EQ(order.front(), kStray);
  EXPECT_EQ(order.back(), static_cast<int>(dropped) + 1);
  // Each line kept costs at least its own block and its record's overhead.
  EXPECT_LE((order.size() + 1) * (sizeof "client,x,0,1000,40000\r" + 2 * BLOCK_OVERHEAD), 1u << 20);
  nkMsgClose(c);
  stringFree(data);
  EXPECT_EQ(memFreeHandleCount(), freeHandles);  // the lines dropped were freed
}

// Without a bus (none, a refusing one) nkMsgTryInit gives null. The bus is at
// NK_BUS_ADDRESS if that is a dotted IPv4 address, else (warned once) the loopback.
TEST(MsgOpenTest, TryInitAndTheBusAddress) {
  nktest::LogCapture log;
  EXPECT_EQ(nkMsgTryInit("early"), nullptr);
  EXPECT_EQ(FakeBus().open("refused", nkMsgTryInit, 1), nullptr);
  EXPECT_EQ(nkMsgInit(std::string(260, 'a').c_str()), nullptr);  // does not fit
  const struct {
    const char *value, *address;
  } cases[] = {{"10.20.30.40", "10.20.30.40"}, {"localhost", "127.0.0.1"},
               {"127.0.0.256", "127.0.0.1"},   {"127.1", "127.0.0.1"},
               {" 127.0.0.2", "127.0.0.1"},    {nullptr, "127.0.0.1"}};
  for (const auto &c : cases) {
    c.value ? setenv("NK_BUS_ADDRESS", c.value, 1) : unsetenv("NK_BUS_ADDRESS");
    EXPECT_STREQ(nkMsgBusAddress(), c.address) << (c.value ? c.value : "unset");
  }
  EXPECT_EQ(log.count("is not a dotted IPv4 address, using 127.0.0.1"), 1);
}

// nkMsgRetryInit tries at once, then no sooner than 100 ms, 200 ms, ... at most 5 s after each
// failed try, and a registration starts the waits afresh.
TEST(MsgOpenTest, RetryInitBacksOff) {
  static MsgRetry retry;
  int64_t due = -1;
  nktest::LogCapture log;
  size_t lines = log.messages().size();
  EXPECT_EQ(nkMsgRetryInit(&retry, "late", &due), nullptr);
  EXPECT_TRUE(due > 50000 && due <= 100000 && retry.wait == 200000) << due;
  size_t afterTry = log.messages().size();
  EXPECT_GT(afterTry, lines);  // the failed try is logged
  EXPECT_EQ(nkMsgRetryInit(&retry, "late", &due), nullptr);
  EXPECT_EQ(log.messages().size(), afterTry);  // not tried again yet
  EXPECT_TRUE(due > 0 && due <= 100000) << due;
  retry = {0, 4000000};
  EXPECT_EQ(nkMsgRetryInit(&retry, "late", &due), nullptr);
  EXPECT_TRUE(due > 3000000 && due <= 4000000 && retry.wait == 5000000) << due;
  retry.next = 0;
  MsgClient *c = FakeBus().open(
      "back", [](const char *name) { return nkMsgRetryInit(&retry, name, nullptr); });
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(retry.wait, 0);
  nkMsgClose(c);
}

TEST(MsgDeathTest, NoServerOrARefusalEndTheProcess) {
  nktest::useThreadsafeDeathTests();
  nksetdefaultlog(stderr);
  EXPECT_EXIT(
      nkMsgInit("lonely"), ::testing::ExitedWithCode(1),
      "ERR  msgSend write failure - is IPC server running\\?\n[^\n]* CRIT Program halted in "
      "file nkmsg at line");
  EXPECT_EXIT(FakeBus().open("refused", nkMsgInit, 1), ::testing::ExitedWithCode(1),
              "nkMsgInit : sending registration request failed\n");
}

}  // namespace
