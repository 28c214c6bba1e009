// nkbus over real TCP: clients of the library and raw sockets against the
// server process.
#define NK_MODULE "nkbus_test"
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"
#include "rawconnection.h"

namespace {

class BusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    memInit();
    if (const char *level = getenv("NK_TEST_LOG_LEVEL")) nkloglevelset("test", level);
  }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new BusEnvironment);

// Runs nkbus for the duration of a test.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = "/tmp/nkbus_test_" + std::to_string(getpid()) + ".log";
    pid_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-r", "2", "-o", "256"},
                                logPath_);
    ASSERT_TRUE(nktest::waitForPort(MSG_PORT)) << log();
  }
  void TearDown() override {
    int status = nktest::stopProgram(pid_);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << log();
    unlink(logPath_.c_str());
  }
  std::string log() { return nktest::readFile(logPath_); }
  int pid_ = -1;
  std::string logPath_;
};

using Raw = nktest::RawConnection;

std::string text(int h) { return static_cast<char *>(memGetData(h)); }

TEST_F(BusTest, RegistersAndForwardsLinesUnchanged) {
  Raw a, b;
  a.registerAs("alpha");
  b.send("base,beta,100,4,\r\n");
  EXPECT_EQ(b.line(), "beta,base,0,4,\r\n");
  a.send("beta,alpha,202,2,stat=mem,index=1\r\nbeta,alpha,212,0,pump1=on\r\n");
  EXPECT_EQ(b.line(), "beta,alpha,202,2,stat=mem,index=1\r\n");
  EXPECT_EQ(b.line(), "beta,alpha,212,0,pump1=on\r\n");
  // A name in use is refused; an unregistered connection's lines go nowhere.
  Raw c;
  c.send("base,alpha,100,1,\r\n");
  EXPECT_EQ(c.line(), "alpha,base,1,1,error=name in use\r\n");
  c.send("beta,nobody,5,0,dropped\r\n");
  // A request for an unknown name fails at once; a one-way line is dropped.
  a.send("ghost,alpha,210,3,x\r\nghost,alpha,210,0,y\r\n");
  EXPECT_EQ(a.line(), "alpha,base,3,3,error=no process named ghost\r\n");
  b.send("alpha,beta,0,9,still in order\r\n");
  EXPECT_EQ(a.line(), "alpha,beta,0,9,still in order\r\n");
  // A line comes from the name its connection registered, or goes nowhere.
  a.send("beta,gamma,210,6,spoofed\r\nbeta,gamma,212,0,spoofed\r\nbeta,alpha,0,7,genuine\r\n");
  EXPECT_EQ(a.line(), "alpha,base,3,6,error=sender is not the registered name,sender=gamma\r\n");
  EXPECT_EQ(b.line(), "beta,alpha,0,7,genuine\r\n");
  // Signing off frees the name.
  a.send("base,alpha,102,0,\r\n");
  b.send("alpha,beta,210,5,x\r\n");
  EXPECT_EQ(b.line(), "beta,base,3,5,error=no process named alpha\r\n");
}

// Connections that never register cannot lock others out: when descriptors
// run short the oldest is closed, and each is closed after the deadline (2 s
// here).
TEST_F(BusTest, UnregisteredConnectionsCannotLockOthersOut) {
  std::vector<std::unique_ptr<Raw>> idle;
  for (int i = 0; i < 300; i++) idle.push_back(std::make_unique<Raw>());
  Raw late;
  late.registerAs("late");
  EXPECT_TRUE(idle.front()->closedByPeer());
  idle.clear();
  Raw lazy;
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(lazy.closedByPeer());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_NE(log().find("did not register in time, disconnected"), std::string::npos);
  late.send("late,late,0,0,still served\r\n");
  EXPECT_EQ(late.line(), "late,late,0,0,still served\r\n");
}

// A consumer that does not read is cut off once 256 KiB (here) wait for it;
// its sender and everybody else go on.
TEST_F(BusTest, AConsumerThatDoesNotReadIsCutOff) {
  Raw sink, source, bystander;
  sink.registerAs("sink");
  source.registerAs("source");
  bystander.registerAs("bystander");
  std::string line = "sink,source,0,0," + std::string(1000, 's') + "\r\n";
  for (int i = 0; i < 20000 && log().find("output limit passed") == std::string::npos; i++) {
    source.send(line);
  }
  EXPECT_NE(log().find("(sink) does not read its lines (output limit passed), disconnected"),
            std::string::npos)
      << log();
  source.send("bystander,source,0,0,still served\r\n");
  EXPECT_EQ(bystander.line(), "bystander,source,0,0,still served\r\n");
}

TEST_F(BusTest, MisbehavingPeersAreDisconnectedAndTheServerGoesOn) {
  {
    Raw garbage;
    garbage.send("base,x,100,notanumber,\r\n");
    EXPECT_TRUE(garbage.closedByPeer());
  }
  {
    Raw flood;
    std::string big(70 * 1024, 'x');
    flood.send(big);
    EXPECT_TRUE(flood.closedByPeer());
  }
  {
    // 64 KiB a line, exactly: one more byte, even with its line end in the
    // same receive, and the sender is cut off.
    Raw sink, source;
    sink.registerAs("sink");
    source.registerAs("source");
    std::string head = "sink,source,0,0,";
    std::string full = head + std::string(64 * 1024 - head.size(), 'f');
    source.send(full + "\r\n");
    EXPECT_EQ(sink.line(), full + "\r\n");
    source.send(full + "g\r\n");
    EXPECT_TRUE(source.closedByPeer());
  }
  {
    // Sends a line and vanishes at once: the line is still delivered, and the
    // answer to a vanished peer cannot kill the server.
    Raw target;
    target.registerAs("target");
    {
      Raw once;
      once.registerAs("once");
      once.send("target,once,210,2,hello\r\n");
    }
    EXPECT_EQ(target.line(), "target,once,210,2,hello\r\n");
    for (int i = 0; i < 50; i++) target.send("once,target,0,2," + std::string(1000, 'r') + "\r\n");
  }
  Raw after;
  after.send("base,after,100,7,\r\n");
  EXPECT_EQ(after.line(), "after,base,0,7,\r\n");
  std::string out = log();
  EXPECT_NE(out.find("sent a malformed line, disconnected"), std::string::npos) << out;
  EXPECT_NE(out.find("sent more than 64 KiB without a line end, disconnected"), std::string::npos);
}

TEST_F(BusTest, LibraryClientsTalkThroughTheBus) {
  MsgClient *a = nkMsgInit("alpha");
  MsgClient *b = nkMsgInit("beta");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  std::thread responder([&] {
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int type = 0;
    int data = stringAlloc(0);
    EXPECT_EQ(nkMsgGet(b, to, from, &type, data), MSG_OK);
    EXPECT_STREQ(from, "alpha");
    EXPECT_EQ(type, 202);
    stringCats(data, ",answered");
    nkMsgReply(b, from, nullptr, 0, data);
    stringFree(data);
  });
  int data = stringDup("stat=mem");
  EXPECT_EQ(nkMsgRequest(a, "beta", nullptr, 202, data), 0);
  EXPECT_EQ(text(data), "stat=mem,answered");
  responder.join();
  // Closing one client leaves the other's polling running.
  nkMsgClose(b);
  // beta signed off: a request for it fails fast (a request that crossed the
  // sign-off on its way is lost with beta's connection, hence the timeout).
  nkMsgTimeoutSet(a, 1000000);
  int result = -1;
  for (int i = 0; i < 20 && result != 3; i++) result = nkMsgRequest(a, "beta", nullptr, 202, data);
  EXPECT_EQ(result, 3);
  EXPECT_EQ(text(data), "error=no process named beta");
  nkMsgClose(a);
  stringFree(data);
}

// A bus started with NK_BUS_ADDRESS (the child inherits it), for the
// duration of a test.
class BusOn {
 public:
  explicit BusOn(const std::string &address)
      : logPath_("/tmp/nkbus_test_" + std::to_string(getpid()) + "_" + address + ".log") {
    setenv("NK_BUS_ADDRESS", address.c_str(), 1);
    pid_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, logPath_);
    unsetenv("NK_BUS_ADDRESS");
  }
  ~BusOn() {
    int status = nktest::stopProgram(pid_);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << log();
    unlink(logPath_.c_str());
  }
  BusOn(const BusOn &) = delete;
  BusOn &operator=(const BusOn &) = delete;
  // Waits (up to 20 s) until the log says the bus listens; the line.
  std::string listening() {
    for (int i = 0; i < 2000 && log().find("listening on") == std::string::npos; i++) {
      usleep(10000);
    }
    std::string out = log();
    size_t at = out.find("listening on");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  }
  std::string log() { return nktest::readFile(logPath_); }

 private:
  std::string logPath_;
  int pid_ = -1;
};

// Two buses on one machine, each on its own loopback address: a client goes
// to the bus of its NK_BUS_ADDRESS, and the buses share nothing (the same
// names register on both, and each line stays on its bus).
TEST(BusAddressTest, BusesOnTwoAddressesShareNothing) {
  const std::string addresses[] = {"127.0.0.2", "127.0.0.3"};
  BusOn first(addresses[0]), second(addresses[1]);
  ASSERT_EQ(first.listening(), "listening on 127.0.0.2:4242");
  ASSERT_EQ(second.listening(), "listening on 127.0.0.3:4242");
  MsgClient *alpha[2], *beta[2];
  setenv("NK_BUS_ADDRESS", addresses[0].c_str(), 1);
  alpha[0] = nkMsgInit("alpha");
  beta[0] = nkMsgInit("beta");
  // A registration on the first bus again would be refused: null.
  setenv("NK_BUS_ADDRESS", addresses[1].c_str(), 1);
  alpha[1] = nkMsgTryInit("alpha");
  beta[1] = nkMsgTryInit("beta");
  unsetenv("NK_BUS_ADDRESS");
  ASSERT_NE(alpha[1], nullptr);
  ASSERT_NE(beta[1], nullptr);
  int data = stringAlloc(0);
  for (int i = 0; i < 2; i++) {
    stringCopy(data, ("on " + addresses[i]).c_str());
    EXPECT_EQ(nkMsgSend(alpha[i], "beta", nullptr, 212, data), 0);
  }
  for (int i = 0; i < 2; i++) {
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int type = 0;
    nkMsgTimeoutSet(beta[i], 10000000);
    EXPECT_EQ(nkMsgGet(beta[i], to, from, &type, data), MSG_OK);
    EXPECT_EQ(text(data), "on " + addresses[i]);
  }
  stringFree(data);
  for (MsgClient *c : {alpha[0], beta[0], alpha[1], beta[1]}) nkMsgClose(c);
}

// The load of the many-clients test: 100 clients x 1,000 requests (about 5 s
// natively, 15 s under the user-mode emulator). ThreadSanitizer makes every
// hand-off many times slower and runs 300 per client.
// NK_TEST_LOAD="clients,requests" sets the load explicitly.
void loadSize(int *clients, int *requests) {
  *clients = 100;
  *requests = 1000;
#if defined(__SANITIZE_THREAD__)
  *requests = 300;
#endif
  if (const char *env = getenv("NK_TEST_LOAD")) sscanf(env, "%d,%d", clients, requests);
}

// Many clients at once, each with a stream of requests to one echo responder:
// every reply arrives and matches its request, and the responder sees each
// client's requests in the order they were made.
TEST_F(BusTest, ManyConcurrentClientsLoseNothing) {
  int clients = 0, requests = 0;
  loadSize(&clients, &requests);
  MsgClient *echo = nkMsgInit("echo");
  std::atomic<bool> done{false};
  std::vector<int> nextExpected(static_cast<size_t>(clients), 0);
  int outOfOrder = 0;
  std::thread responder([&] {
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int type = 0;
    int data = stringAlloc(0);
    nkMsgTimeoutSet(echo, 100000);
    while (!done) {
      if (nkMsgGet(echo, to, from, &type, data) != MSG_OK) continue;
      int client = -1, request = -1;
      if (sscanf(text(data).c_str(), "c%d-%d", &client, &request) != 2 || client < 0 ||
          client >= clients || request != nextExpected[static_cast<size_t>(client)]++) {
        outOfOrder++;
      }
      nkMsgReply(echo, from, nullptr, 0, data);
    }
    stringFree(data);
  });
  std::atomic<int> good{0}, bad{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; i++) {
    threads.emplace_back([&, i] {
      MsgClient *c = nkMsgInit(("load-" + std::to_string(i)).c_str());
      int data = stringAlloc(0);
      for (int j = 0; j < requests; j++) {
        std::string payload = "c" + std::to_string(i) + "-" + std::to_string(j);
        stringCopy(data, payload.c_str());
        if (nkMsgRequest(c, "echo", nullptr, 300, data) == 0 && text(data) == payload) {
          good++;
        } else {
          bad++;
        }
      }
      stringFree(data);
      nkMsgClose(c);
    });
  }
  for (std::thread &t : threads) t.join();
  done = true;
  responder.join();
  nkMsgClose(echo);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(good.load(), clients * requests);
  EXPECT_EQ(outOfOrder, 0);
}

}  // namespace
