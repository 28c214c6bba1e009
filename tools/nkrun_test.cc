// nkrun over the real bus: a library client sends it what the shell sends and
// reads the answers the way the shell reads them.
#define NK_MODULE "nkrun_test"
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "argparse.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nktest.h"

namespace {

class MemEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MemEnvironment);

constexpr int kReplyWait = 20000000;  // us: a reply that never comes fails the test

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Waits for pid to end by itself: its wait status, or -1 after timeoutSeconds.
int waitExit(int pid, int timeoutSeconds = 20) {
  double deadline = now() + timeoutSeconds;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (now() > deadline) return -1;
    usleep(10000);
  }
  return status;
}

bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// Runs nkbus and nkrun (answering posts of "alarm" and "shutdown") for the
// duration of a test, with a client named "tester".
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The port is fixed: a bus of another test run would take our messages.
    busPid_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, logPath("nkbus"));
    double deadline = now() + 20;
    while (log("nkbus").find("listening on") == std::string::npos && now() < deadline) {
      int status = 0;
      if (waitpid(busPid_, &status, WNOHANG) == busPid_) {
        busPid_ = -1;
        FAIL() << "nkbus ended with status " << status << "\n" << log("nkbus");
      }
      usleep(10000);
    }
    ASSERT_TRUE(nktest::waitForPort(MSG_PORT)) << log("nkbus");
    client_ = nkMsgInit("tester");
    ASSERT_NE(client_, nullptr);
    nkMsgTimeoutSet(client_, kReplyWait);
    data_ = stringAlloc(0);
    ASSERT_NO_FATAL_FAILURE(
        startRuntime({"-f", "-d", "-e", "alarm", "-e", "shutdown"}, "nkrun", &runPid_));
  }
  void TearDown() override {
    if (client_) nkMsgClose(client_);
    if (data_) stringFree(data_);
    if (runPid_ > 0) {
      int status = nktest::stopProgram(runPid_);
      EXPECT_TRUE(exitedWith(status, 0)) << "status " << status << "\n" << log("nkrun");
    }
    if (busPid_ > 0) nktest::stopProgram(busPid_);
    for (const std::string &path : logs_) unlink(path.c_str());
  }

  static std::string pathOf(const std::string &program) {
    return "/tmp/nkrun_test_" + std::to_string(getpid()) + "_" + program + ".log";
  }
  std::string logPath(const std::string &program) {
    logs_.push_back(pathOf(program));
    return logs_.back();
  }
  std::string log(const std::string &program) {
    FILE *f = fopen(pathOf(program).c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    if (f) fclose(f);
    return out;
  }

  // Starts nkrun with args and waits until it answers under name (the bus
  // answers type 3 while nobody holds the name).
  void startRuntime(const std::vector<std::string> &args, const std::string &name, int *pid) {
    *pid = nktest::startProgram(nktest::builtProgram("nkrun"), args, logPath(name));
    double deadline = now() + 30;
    int result = -1;
    while ((result = request(202, "stat=mem,index=1", name.c_str())) != 0 && now() < deadline) {
      usleep(20000);
    }
    ASSERT_EQ(result, 0) << log(name);
  }

  int request(int type, const std::string &text, const char *to = "nkrun") {
    stringCopy(data_, text.c_str());
    return nkMsgRequest(client_, to, nullptr, type, data_);
  }
  void send(int type, const std::string &text, const char *to = "nkrun") {
    stringCopy(data_, text.c_str());
    nkMsgSend(client_, to, nullptr, type, data_);
  }
  // The next message for the tester: its status, and its type in *type.
  int next(int *type) {
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    return nkMsgGet(client_, to, from, type, data_);
  }
  // After one request's round trip: nothing else was sent to the tester
  // (an answer to anything sent before the request would have come first).
  bool nothingElseAfterARoundTrip() {
    if (request(202, "stat=mem,index=1") != 0) return false;
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int type = 0;
    return nkMsgPoll(client_, to, from, &type, data_, 0) == MSG_TIMEOUT;
  }
  std::string reply() { return static_cast<char *>(memGetData(data_)); }
  int replyIndex() {
    int index = -1;
    paramGetNumber(reply().c_str(), "index", &index);
    return index;
  }
  // Pages through a "stat=" listing from index 0 until a reply's index is 0.
  std::vector<std::string> page(const std::string &stat) {
    std::vector<std::string> replies;
    int index = 0;
    do {
      EXPECT_EQ(request(202, "stat=" + stat + ",index=" + std::to_string(index)), 0);
      replies.push_back(reply());
      index = replyIndex();
    } while (index != 0 && replies.size() < 1000);
    return replies;
  }

  MsgClient *client_ = nullptr;
  int data_ = 0;
  int busPid_ = -1;
  int runPid_ = -1;
  std::vector<std::string> logs_;
};

bool startsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(RunTest, MemoryStatisticsAreTheAllocatorsReplies) {
  ASSERT_EQ(request(202, "stat=mem,index=1"), 0);
  EXPECT_TRUE(startsWith(reply(), "index=1,alloch=262144,freeh=")) << reply();

  std::vector<std::string> blocks = page("memblocks");
  ASSERT_EQ(blocks.size(), 15u);
  EXPECT_TRUE(startsWith(blocks[0], "index=9,size=256,count=")) << blocks[0];
  EXPECT_TRUE(startsWith(blocks[14], "index=0,size=4194304,count=")) << blocks[14];

  std::vector<std::string> groups = page("memhandles");
  ASSERT_GE(groups.size(), 2u);
  EXPECT_TRUE(startsWith(groups[0], "index=1,module=")) << groups[0];
  EXPECT_TRUE(startsWith(groups.back(), "totalh=262144,freeh=")) << groups.back();
  int own = 0;
  for (const std::string &g : groups) own += g.find(",module=nkrun,") != std::string::npos;
  EXPECT_GE(own, 1);
}

TEST_F(RunTest, StatsListItsProfilesAndEndWithAnEmptyReply) {
  ASSERT_EQ(request(210, "1 "), 0);  // makes the "lua" profile
  std::vector<std::string> names;
  std::string first;
  int index = 0;
  do {
    ASSERT_EQ(request(202, "stat=stats,index=" + std::to_string(index)), 0);
    if (index == 0) first = reply();
    char name[256];
    paramGetString(reply().c_str(), "name", name, sizeof name);
    if (!reply().empty()) names.push_back(name);
    index = replyIndex();
  } while (index != 0 && names.size() < 100);
  EXPECT_EQ(reply(), "");
  EXPECT_EQ(names, (std::vector<std::string>{"bus", "signal", "sleep", "lua"}));
  // The profiles belong to nkrun's main thread, whose kernel id is its pid.
  EXPECT_TRUE(startsWith(first, "index=1,name=bus,thread=" + std::to_string(runPid_) + ",count="))
      << first;
}

TEST_F(RunTest, ListsAndEmptyListingsEndEachCommand) {
  std::vector<std::string> lists = page("listpools");
  EXPECT_EQ(lists, (std::vector<std::string>{"index=1,list=rtdb-tags,elements=0",
                                             "index=0,list=reply-events,elements=2"}));
  send(212, "pump1=on");
  ASSERT_EQ(request(202, "stat=listpools,index=0"), 0);
  EXPECT_EQ(reply(), "index=1,list=rtdb-tags,elements=1");
  EXPECT_EQ(request(202, "stat=listpools,index=2"), 4);
  EXPECT_EQ(reply(), "index=0,error=no such list");
  for (const char *stat : {"timers", "events", "rules"}) {
    EXPECT_EQ(request(202, std::string("stat=") + stat + ",index=0"), 0) << stat;
    EXPECT_EQ(reply(), "index=0") << stat;
  }
  // ps ends only on a non-zero result.
  EXPECT_EQ(request(209, "index=0"), 5);
  EXPECT_EQ(reply(), "index=0");
}

TEST_F(RunTest, SetThenGetAnswersTheValue) {
  int type = -1;
  send(212, "tank_level=42");
  send(213, "tank_level");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(reply(), "tank_level=42");
  send(212, "tank_level=43");
  send(212, "note=a=b,c");
  send(213, "tank_level");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "tank_level=43");
  send(213, "note");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "note=a=b,c");
  // Unknown tags, and sets that name no tag (dropped).
  send(212, "novalue");
  send(212, "=x");
  send(213, "novalue");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(type, 4);
  EXPECT_EQ(reply(), "error=unknown tag,tag=novalue");
  send(213, "");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "error=unknown tag,tag=");
  EXPECT_TRUE(nothingElseAfterARoundTrip());
}

TEST_F(RunTest, LuaLinesAnswerWithTheirValuesAndOutput) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1+1 ", "2"},
      {"print(1) ", "1"},
      {"x = 5 ", ""},
      {"x * 2, 'a' .. x, nil ", "10\ta5\tnil"},
      {"print('a', 'b') print('c') return 7 ", "a\tb; c; 7"},
      {"'one\\ntwo\\r\\nthree\\n' ", "one; two; three"},
      {"", ""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(request(210, c.first), 0) << c.first;
    EXPECT_EQ(reply(), c.second) << c.first;
  }
  // Long output is cut.
  ASSERT_EQ(request(210, "string.rep('x', 20000) "), 0);
  EXPECT_EQ(reply(), std::string(16384, 'x') + "...");
  ASSERT_EQ(request(210, "print(string.rep('y', 16384)) print('lost') "), 0);
  EXPECT_EQ(reply(), std::string(16384, 'y') + "...");
  ASSERT_EQ(request(210, "for i = 1, 100000 do print(i) end "), 0);
  EXPECT_TRUE(startsWith(reply(), "1; 2; 3; ")) << reply().substr(0, 20);
  EXPECT_EQ(reply().size(), 16387u);
}

TEST_F(RunTest, LuaErrorsComeBackAsText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x = = 1 ", "error: lua:1: unexpected symbol near '='"},
      {"error('boom') ", "error: lua:1: boom"},
      {"undefined_fn() ", "error: lua:1: attempt to call global 'undefined_fn' (a nil value)"},
      {"print('before') error('after', 0) ", "before; error: after"},
      {"error({}) ", "error: (error object is a table value)"},
      {"error('two\\nlines', 0) ", "error: two; lines"},
      {"1 + 1 ", "2"},  // the state survives its errors
  };
  for (const auto &c : cases) {
    EXPECT_EQ(request(210, c.first), 0) << c.first;
    EXPECT_EQ(reply(), c.second) << c.first;
  }
}

TEST_F(RunTest, PostsAreAnsweredOnlyForReplyingEvents) {
  int type = -1;
  send(201, "event=alarm");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(reply(), "event=alarm");
  send(201, "event=shutdown");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "event=shutdown");
  send(201, "event=other");
  send(201, "noevent");
  EXPECT_TRUE(nothingElseAfterARoundTrip());
  std::string out = log("nkrun");
  EXPECT_NE(out.find("nkrun: event alarm posted by tester, answered\n"), std::string::npos) << out;
  EXPECT_NE(out.find("nkrun: event other posted by tester\n"), std::string::npos) << out;
  EXPECT_NE(out.find("nkrun: post from tester names no event, dropped: 'noevent'\n"),
            std::string::npos)
      << out;
}

TEST_F(RunTest, UnknownRequestsGetANonZeroReplyWithTheirSeq) {
  EXPECT_EQ(request(250, "x"), 4);
  EXPECT_EQ(reply(), "error=unknown request,type=250");
  EXPECT_EQ(request(202, "stat=bogus,index=0"), 4);
  EXPECT_EQ(reply(), "error=unknown stat,stat=bogus");
  // Results are never answered; unknown one-way messages are.
  send(0, "a stray reply");
  send(7, "a stray result");
  EXPECT_TRUE(nothingElseAfterARoundTrip());
  int type = -1;
  send(251, "y");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(type, 4);
  EXPECT_EQ(reply(), "error=unknown request,type=251");
}

// One wake-up may stand for many lines: nkrun must take them all, or later
// traffic would wake nobody.
TEST_F(RunTest, KeepsAnsweringAfterABurstOfOneWayMessages) {
  const int n = nktest::emulated() ? 500 : 5000;
  for (int i = 0; i < n; i++) send(212, "t" + std::to_string(i) + "=" + std::to_string(i));
  int type = -1;
  send(213, "t" + std::to_string(n - 1));
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "t" + std::to_string(n - 1) + "=" + std::to_string(n - 1));
  ASSERT_EQ(request(202, "stat=listpools,index=0"), 0);
  EXPECT_EQ(reply(), "index=1,list=rtdb-tags,elements=" + std::to_string(n));
  send(213, "t0");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "t0=0");
}

TEST_F(RunTest, RegistersUnderTheNameGivenAndEndsOnSigint) {
  int pid = -1;
  ASSERT_NO_FATAL_FAILURE(startRuntime({"-fd", "-n", "rt2"}, "rt2", &pid));
  EXPECT_EQ(request(202, "stat=timers,index=0", "rt2"), 0);
  EXPECT_EQ(reply(), "index=0");
  send(201, "event=alarm", "rt2");  // no -e: not answered
  EXPECT_TRUE(nothingElseAfterARoundTrip());
  kill(pid, SIGINT);
  int status = waitExit(pid);
  if (status == -1) nktest::stopProgram(pid);
  EXPECT_TRUE(exitedWith(status, 0)) << "status " << status << "\n" << log("rt2");
  EXPECT_NE(log("rt2").find("nkrun: signal 2, exiting\n"), std::string::npos) << log("rt2");
}

TEST_F(RunTest, EndsWithStatusOneWhenTheBusGoes) {
  nkMsgClose(client_);
  client_ = nullptr;
  EXPECT_TRUE(exitedWith(nktest::stopProgram(busPid_), 0));
  busPid_ = -1;
  int status = waitExit(runPid_);
  if (status == -1) nktest::stopProgram(runPid_);
  runPid_ = -1;
  EXPECT_TRUE(exitedWith(status, 1)) << "status " << status << "\n" << log("nkrun");
  EXPECT_NE(log("nkrun").find("nkrun: bus connection closed by the server, exiting\n"),
            std::string::npos)
      << log("nkrun");
}

}  // namespace
