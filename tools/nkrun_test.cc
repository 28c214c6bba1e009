// nkrun over the real bus with real scripts: a library client sends it what
// the shell sends and reads the answers the way the shell reads them, and
// nksh itself drives the scripts and reads the live listings.
#define NK_MODULE "nkrun_test"
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "argparse.h"
#include "event.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nkrun.h"
#include "nktest.h"
#include "rawconnection.h"

namespace {

class MemEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MemEnvironment);

constexpr int kReplyWait = 20000000;  // us: a reply that never comes fails the test
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

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

// Runs nkbus and a client named "tester" for the duration of a test; each
// test starts nkrun with its scripts (startRuntime).
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(startBus("nkbus"));
    client_ = nkMsgInit("tester");
    ASSERT_NE(client_, nullptr);
    nkMsgTimeoutSet(client_, kReplyWait);
    data_ = stringAlloc(0);
    char dir[] = "/tmp/nkrun_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    writeFile(dir_ + "/test.conf", "scriptDir=" + dir_ + "\n");
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
    if (!dir_.empty() && system(("rm -rf '" + dir_ + "'").c_str()) != 0) ADD_FAILURE() << dir_;
  }

  // The port is fixed: a bus of another test run would take our messages.
  void startBus(const std::string &logName) {
    busPid_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, logPath(logName));
    double deadline = now() + 20;
    while (log(logName).find("listening on") == std::string::npos && now() < deadline) {
      int status = 0;
      if (waitpid(busPid_, &status, WNOHANG) == busPid_) {
        busPid_ = -1;
        FAIL() << "nkbus ended with status " << status << "\n" << log(logName);
      }
      usleep(10000);
    }
    ASSERT_TRUE(nktest::waitForPort(MSG_PORT)) << log(logName);
  }

  static void writeFile(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
  }

  // Writes the scripts and starts nkrun on them, the scripts named on its
  // command line in the order given, with the runaway budget in ms.
  void runScripts(const std::vector<std::pair<std::string, std::string>> &scripts,
                  int budget = 1000) {
    std::vector<std::string> args = {
        "-f", "-d", "-c", dir_ + "/test.conf", "-b", std::to_string(budget)};
    for (const auto &script : scripts) {
      if (!script.second.empty()) writeFile(dir_ + "/" + script.first + ".lua", script.second);
      args.push_back(script.first);
    }
    startRuntime(args, "nkrun", &runPid_);
  }

  // nksh -c with the words of a command: its standard output.
  static std::string sh(const std::vector<std::string> &words) {
    std::vector<std::string> args = {"-c"};
    args.insert(args.end(), words.begin(), words.end());
    return nktest::runProgram(nktest::builtProgram("nksh"), args).out;
  }
  // Repeats the command until its output contains text (or 20 s passed).
  static std::string shUntil(const std::vector<std::string> &words, const std::string &text) {
    double deadline = now() + 20;
    std::string out = sh(words);
    while (out.find(text) == std::string::npos && now() < deadline) {
      usleep(50000);
      out = sh(words);
    }
    return out;
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
  std::string dir_;
  std::vector<std::string> logs_;
};

bool startsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool contains(const std::string &s, const std::string &part) {
  return s.find(part) != std::string::npos;
}

TEST_F(RunTest, MemoryStatisticsAreTheAllocatorsReplies) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
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

TEST_F(RunTest, StatsListTheLoopsProfilesAndEndWithAnEmptyReply) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
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
  EXPECT_EQ(names,
            (std::vector<std::string>{"bus", "signal", "sleep", "timers", "contexts", "lua"}));
  // The profiles belong to nkrun's main thread, whose kernel id is its pid.
  EXPECT_TRUE(startsWith(first, "index=1,name=bus,thread=" + std::to_string(runPid_) + ",count="))
      << first;
}

TEST_F(RunTest, SetThenGetAnswersTheValue) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
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
  // An error reply repeats at most 256 bytes of the request: repeated whole,
  // this one would pass the bus's line limit and take nkrun off the bus.
  std::string huge(65510, 'h');
  send(213, huge);
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "error=unknown tag,tag=" + huge.substr(0, 256));
  EXPECT_TRUE(nothingElseAfterARoundTrip());
}

TEST_F(RunTest, LuaLinesAnswerWithTheirValuesOutputAndErrors) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1+1 ", "2"},
      {"print(1) ", "1"},
      {"x = 5 ", ""},
      {"x * 2, 'a' .. x, nil ", "10\ta5\tnil"},
      {"print('a', 'b') print('c') return 7 ", "a\tb; c; 7"},
      {"'one\\ntwo\\r\\nthree\\n' ", "one; two; three"},
      {"", ""},
      {"x = = 1 ", "error: lua:1: unexpected symbol near '='"},
      {"error('boom') ", "error: lua:1: boom"},
      {"undefined_fn() ", "error: lua:1: attempt to call global 'undefined_fn' (a nil value)"},
      {"print('before') error('after', 0) ", "before; error: after"},
      {"error({}) ", "error: (error object is a table value)"},
      {"error('two\\nlines', 0) ", "error: two; lines"},
      {"nk.wait() ", "error: lua:1: nk.wait needs a script context"},
      // No process control from the shell, and no way around that.
      {"os.exit(3) ", "error: lua:1: attempt to call field 'exit' (a nil value)"},
      {"io.popen('true') ", "error: lua:1: attempt to call field 'popen' (a nil value)"},
      {"_G, load, require, debug, getmetatable(_ENV) ", "nil\tnil\tnil\tnil\tfalse"},
      {"os.time() > 0, type(io.write), type(string) ", "true\tfunction\ttable"},
      {"x + 1 ", "6"},  // the state survives its errors
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
  ASSERT_EQ(request(210, "for i = 1, 20000 do print(i) end "), 0);
  EXPECT_TRUE(startsWith(reply(), "1; 2; 3; ")) << reply().substr(0, 20);
  EXPECT_EQ(reply().size(), 16387u);
}

TEST_F(RunTest, UnknownRequestsGetANonZeroReplyWithTheirSeq) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
  EXPECT_EQ(request(250, "x"), 4);
  EXPECT_EQ(reply(), "error=unknown request,type=250");
  EXPECT_EQ(request(100, "x"), 4);
  EXPECT_EQ(request(202, "stat=bogus,index=0"), 4);
  EXPECT_EQ(reply(), "error=unknown stat,stat=bogus");
  EXPECT_EQ(request(202, "stat=listpools,index=5"), 4);
  EXPECT_EQ(reply(), "index=0,error=no such list");
  // Results are never answered, nor posts that name no event; unknown
  // one-way messages and posts nobody takes are.
  send(0, "a stray reply");
  send(7, "a stray result");
  send(201, "noevent");
  EXPECT_TRUE(nothingElseAfterARoundTrip());
  int type = -1;
  send(251, "y");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(type, 4);
  EXPECT_EQ(reply(), "error=unknown request,type=251");
  send(201, "event=other");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(type, 6);
  EXPECT_EQ(reply(), "error=not taken,event=other");
}

// A new watcher gets the answer, then every tag; after that each write that
// changes a value (a set, a rule's output), and nothing for one that does
// not, nor for a renewal, nor for a value the bus cannot carry; every tag
// again for a new watch. The watchers are bounded.
TEST_F(RunTest, WatchersGetEveryTagThenEachChange) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
  send(212, "pump=on");
  ASSERT_EQ(request(210, "nk.rule('hot', '>', 'temp', 30, 'fan') "), 0);
  int type = -1;
  auto told = [&](const char *expected) {
    ASSERT_EQ(next(&type), MSG_OK);
    EXPECT_EQ(type, 215);
    EXPECT_EQ(reply(), expected);
  };
  ASSERT_EQ(request(214, "watch"), 0);
  EXPECT_EQ(reply(), "tags=2");
  told("fan=0");
  told("pump=on");
  ASSERT_EQ(request(214, "renew"), 0);
  EXPECT_EQ(reply(), "tags=2");
  send(212, "pump=on");
  send(212, "pump=off");
  told("pump=off");
  send(212, "temp=35");
  told("temp=35");
  told("fan=1");
  send(212, "temp=36");
  told("temp=36");
  // A line break would split the bus line and take nkrun off the bus: such a
  // value is not sent.
  ASSERT_EQ(request(210, "nk.set('note', 'two\\nlines') "), 0);
  EXPECT_TRUE(nothingElseAfterARoundTrip());
  // A watcher that restarted under the same name watches afresh.
  ASSERT_EQ(request(214, "watch"), 0);
  EXPECT_EQ(reply(), "tags=4");
  for (const char *tag : {"fan=1", "pump=off", "temp=36"}) told(tag);

  std::vector<std::unique_ptr<nktest::RawConnection>> others;
  for (int i = 0; i < 16; i++) {
    others.push_back(std::make_unique<nktest::RawConnection>());
    std::string name = "w" + std::to_string(i);
    others.back()->registerAs(name);
    others.back()->send("nkrun," + name + ",214,2,watch\r\n");
    EXPECT_EQ(others.back()->line(),
              name + (i < 15 ? ",nkrun,0,2,tags=4\r\n" : ",nkrun,4,2,error=too many watchers\r\n"));
  }
}

// One wake-up may stand for many lines: nkrun must take them all, or later
// traffic would wake nobody.
TEST_F(RunTest, KeepsAnsweringAfterABurstOfOneWayMessages) {
  ASSERT_NO_FATAL_FAILURE(runScripts({}));
  const int n = nktest::emulated() ? 500 : 5000;
  for (int i = 0; i < n; i++) send(212, "t" + std::to_string(i) + "=" + std::to_string(i));
  int type = -1;
  send(213, "t" + std::to_string(n - 1));
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "t" + std::to_string(n - 1) + "=" + std::to_string(n - 1));
  ASSERT_EQ(request(202, "stat=listpools,index=3"), 0);
  EXPECT_EQ(reply(), "index=4,list=rtdb-tags,elements=" + std::to_string(n));
  send(213, "t0");
  ASSERT_EQ(next(&type), MSG_OK);
  EXPECT_EQ(reply(), "t0=0");
}

// A stop does not wait for Lua that does not yield, however large the
// budget; the configuration can give shell lines process control back.
TEST_F(RunTest, RegistersUnderTheNameGivenAndEndsOnSigintWhileLuaRuns) {
  writeFile(dir_ + "/open.conf", "scriptDir=" + dir_ + "\nluaLinesUnrestricted=1\n");
  writeFile(dir_ + "/spin.lua", "nk.waitfor('spin') nk.log('spinning') while true do end\n");
  int pid = -1;
  ASSERT_NO_FATAL_FAILURE(startRuntime(
      {"-fd", "-n", "rt2", "-b", "1000000", "-c", dir_ + "/open.conf", "spin"}, "rt2", &pid));
  EXPECT_EQ(request(202, "stat=timers,index=0", "rt2"), 0);
  EXPECT_EQ(reply(), "");
  EXPECT_EQ(request(210, "type(os.execute), type(io.popen) ", "rt2"), 0);
  EXPECT_EQ(reply(), "function\tfunction");
  // Posted until the script, started with nkrun, waits for it and takes it.
  int type = -1;
  double deadline = now() + 20;
  for (;;) {
    send(201, "event=spin", "rt2");
    ASSERT_EQ(next(&type), MSG_OK);  // the post's answer
    if (type == 0 || now() > deadline) break;
    usleep(20000);
  }
  EXPECT_EQ(type, 0);
  while (log("rt2").find("spin: spinning") == std::string::npos && now() < deadline) usleep(10000);
  kill(pid, SIGINT);
  int status = waitExit(pid);
  if (status == -1) nktest::stopProgram(pid);
  EXPECT_TRUE(exitedWith(status, 0)) << "status " << status << "\n" << log("rt2");
  EXPECT_NE(log("rt2").find("nkrun: signal 2, exiting\n"), std::string::npos) << log("rt2");
  EXPECT_NE(log("rt2").find("spin.lua:1: the runtime is stopping"), std::string::npos)
      << log("rt2");
  EXPECT_NE(log("nkbus").find("nkbus: rt2 signed off\n"), std::string::npos) << log("nkbus");
}

// The scripts outlive the bus: nkrun keeps running them and registers again
// once a bus is back.
TEST_F(RunTest, RegistersAgainWhenTheBusComesBack) {
  ASSERT_NO_FATAL_FAILURE(
      runScripts({{"count", "n = 0 while true do n = n + 1 nk.sleep(0.01) end"}}));
  nkMsgClose(client_);
  client_ = nullptr;
  EXPECT_TRUE(exitedWith(nktest::stopProgram(busPid_), 0));
  busPid_ = -1;
  double deadline = now() + 20;
  while (log("nkrun").find("registering again") == std::string::npos && now() < deadline) {
    usleep(10000);
  }
  EXPECT_NE(log("nkrun").find("nkrun: bus connection closed by the server, registering again\n"),
            std::string::npos)
      << log("nkrun");
  usleep(300000);  // at least one try finds no bus
  ASSERT_NO_FATAL_FAILURE(startBus("nkbus2"));
  client_ = nkMsgInit("tester");
  nkMsgTimeoutSet(client_, kReplyWait);
  deadline = now() + 20;
  while (request(210, "n > 10") != 0 && now() < deadline) usleep(50000);
  EXPECT_EQ(reply(), "true") << log("nkrun");
}

// {==== The shell against running scripts

const char kWaiter[] = R"(
nk.setname("waiter-1") print("hello", 1)
nk.filter("ping")
while true do last_event, last_param = nk.wait() end
)";
const char kTicker[] = R"(
nk.every("tick", 60, "p")
nk.snap("report", 10)
nk.timer("soon", 0)
nk.rule("hot", ">", "temp", 30)
nk.rule("fan", "and", "hot", "pump1", "fan1")
nk.rule("mirror", "copy", "fan1", "fan1.copy")
nk.waitfor("never")
)";
const char kBad[] = R"(
nk.sleep(0.01)
local t = nil
t.x = 1
)";

TEST_F(RunTest, ListingsShowTheLiveContextsEventsTimersAndRules) {
  ASSERT_NO_FATAL_FAILURE(
      runScripts({{"waiter", kWaiter}, {"ticker", kTicker}, {"bad", kBad}, {"missing", ""}}));
  std::string ps = shUntil({"ps"}, "failed");
  const char *rows[] = {
      "waiter-1                      |   0|wait   |main               |   4|ping",
      "ticker                        |   1|block  |main               |   8|B:never",
      "bad                           |   2|failed |main               |   4|",
      "missing                       |   3|failed |***                |   0|",
  };
  for (const char *row : rows) EXPECT_TRUE(contains(ps, row)) << row << "\n" << ps;

  // rules: fan reads hot (an arrow from rule 1) and feeds mirror through its
  // tag; stats: each timer that fired has a profile of its own.
  const struct {
    const char *command;
    std::vector<std::string> parts;
  } listings[] = {
      {"events",
       {",name=ping,in0=waiter-1,blk0=No\n", ",name=never,in0=ticker,blk0=Yes\n", "\nindex=0\n"}},
      {"timers",
       {"\ntick                        60.000s  ", "PER          \n",
        "\nreport                      10.000s  ", "PER SNAP REAL\n"}},
      {"rules",
       {">               temp            30              1 =>            0\n",
        "and             <= 1            pump1           fan1            0\n",
        "copy            fan1                            fan1.copy       0\n"}},
      {"lists", {"waiting          3 ", "unloaded         1 ", "rules            3 "}},
      {"stats", {"\ncontexts             ", "\nsoon                 "}},
  };
  for (const auto &listing : listings) {
    std::string out = sh({listing.command});
    for (const std::string &part : listing.parts) {
      EXPECT_TRUE(contains(out, part)) << listing.command << ": " << part << "\n" << out;
    }
  }
  EXPECT_TRUE(contains(log("nkrun"), "bad.lua:4: attempt to index local 't' (a nil value)"));
  EXPECT_TRUE(contains(log("nkrun"), "nkrun: print from waiter-1: hello\t1\n"));
}

TEST_F(RunTest, TheShellDrivesTheScripts) {
  const char alarm[] = R"(
while true do
  alarm_from = nk.waitfor("alarm")
  nk.set("alarms", (tonumber(nk.get("alarms")) or 0) + 1)
end
)";
  const char door[] = R"(
while true do nk.set("door.seen", nk.waitfor("tag:door")) end
)";
  ASSERT_NO_FATAL_FAILURE(
      runScripts({{"alarm", alarm}, {"door", door}, {"ticker", kTicker}, {"waiter", kWaiter}}));
  EXPECT_EQ(sh({"post", "alarm", "reply"}), "event=alarm\n");
  EXPECT_EQ(sh({"post", "nobody", "reply"}), "status=ipc-fail,code=6\n");
  EXPECT_EQ(shUntil({"get", "alarms"}, "alarms=1"), "alarms=1\n");
  EXPECT_TRUE(startsWith(sh({"lua", "return", "alarm_from"}), "nksh-"))
      << sh({"lua", "alarm_from"});
  // Posts without "reply" are answered too; the shell drops those answers.
  EXPECT_EQ(sh({"post", "ping"}), "event=ping\n");
  EXPECT_EQ(shUntil({"lua", "return", "last_event"}, "ping"), "ping\n");

  EXPECT_EQ(sh({"set", "door", "open"}), "door=open\n");
  EXPECT_EQ(shUntil({"get", "door.seen"}, "open"), "door.seen=open\n");

  // The rule chain follows its inputs: temp > 30 and pump1 give fan1.
  sh({"set", "temp", "35"});
  sh({"set", "pump1", "on"});
  EXPECT_EQ(shUntil({"get", "fan1.copy"}, "=1"), "fan1.copy=1\n");
  sh({"set", "temp", "20.5"});
  EXPECT_EQ(shUntil({"get", "fan1"}, "=0"), "fan1=0\n");
  EXPECT_TRUE(contains(sh({"rules"}),
                       "\n>               temp            30              1 =>    "
                       "        0\n"));
}

// One local process misbehaving in every way it can on the bus: idle
// connections that never register, a consumer that never reads, lines in
// another process's name, requests past the line limit, stray lines for the
// tester, process control in a lua line. The runtime stays registered, the
// shell keeps getting its answers, and the tester's requests still match.
TEST_F(RunTest, TheBusRuntimeAndShellKeepServingWhileAClientMisbehaves) {
  ASSERT_NO_FATAL_FAILURE(runScripts({{"waiter", kWaiter}}));
  ASSERT_NE(shUntil({"ps"}, "waiter-1").find("waiter-1"), std::string::npos);
  send(212, "pump1=off");
  std::atomic<bool> done{false}, idleOpen{false};
  std::thread hostile([&] {
    nktest::RawConnection sink, bad;
    sink.registerAs("sink");
    bad.registerAs("hostile");
    // All at once before the shells come, so that each shell's connection is
    // the newest when it registers.
    std::vector<std::unique_ptr<nktest::RawConnection>> idle;
    for (int i = 0; i < 300; i++) idle.push_back(std::make_unique<nktest::RawConnection>());
    idleOpen = true;
    bad.send("nkrun,nkrun,212,0,pump1=hacked\r\nnkrun,tester,210,5,os.exit(3)\r\n");
    bad.send("nkrun,hostile,210,6,os.exit(3)\r\n");
    // The kernel's buffers take some megabytes before the bus holds any.
    std::string flood = "sink,hostile,0,0," + std::string(1000, 'f') + "\r\n";
    for (int i = 0; i < 20000; i++) {
      bad.send(flood);
      if (i % 500 == 0 && log("nkbus").find("(sink) does not read") != std::string::npos) break;
    }
    for (int i = 0; i < 20000; i++)
      bad.send("tester,hostile,0,0,stray " + std::to_string(i) + "\r\n");
    std::string head = "nkrun,hostile,213,0,";
    bad.send(head + std::string(64 * 1024 - head.size() - 2, 't') + "\r\n");
    bad.send(head + std::string(70 * 1024, 't') + "\r\n");
    while (!bad.line().empty()) {  // until the bus cuts it off (closing first would reset)
    }
    done = true;
  });
  while (!idleOpen) usleep(1000);
  int answered = 0, asked = 0;
  std::string missed;
  while (!done || asked < 3) {
    asked++;
    std::string out = sh({"ps"});
    if (out.find("waiter-1") != std::string::npos) {
      answered++;
    } else {
      missed = out;
    }
  }
  hostile.join();
  EXPECT_EQ(answered, asked) << missed;
  EXPECT_EQ(request(210, "nk.get('pump1')"), 0);
  EXPECT_EQ(reply(), "off");
  EXPECT_EQ(sh({"get", "pump1"}), "pump1=off\n");
  double deadline = now() + 20;
  while (log("nkbus").find("sent more than 64 KiB") == std::string::npos && now() < deadline) {
    usleep(10000);
  }
  std::string bus = log("nkbus");
  EXPECT_NE(bus.find("(sink) does not read its lines"), std::string::npos) << bus;
  EXPECT_NE(bus.find("(hostile) sent a line as nkrun, dropped"), std::string::npos) << bus;
  EXPECT_NE(bus.find("sent more than 64 KiB"), std::string::npos) << bus;
  EXPECT_EQ(bus.find("nkrun signed off"), std::string::npos) << bus;
}

TEST_F(RunTest, RunawayLuaIsStoppedAndTheRuntimeKeepsAnswering) {
  const char spin[] = R"(
nk.waitfor("spin")
while true do end
)";
  // pcall cannot keep it alive: once over budget every instruction fails.
  const char stubborn[] = R"(
nk.waitfor("spin")
while true do pcall(function() while true do end end) end
)";
  // ThreadSanitizer loses a frame of its shadow stack at each yield (the
  // longjmp out of the uninstrumented Lua library is not matched to its
  // setjmp), so there a context that yields for ever overflows it.
  const char yielder[] = R"(
turns = 0
while kForever or turns < 1000 do turns = turns + 1; nk.yield() end
)";
  writeFile(dir_ + "/init.lua", kThreadSanitizer ? "" : "kForever = true\n");
  ASSERT_NO_FATAL_FAILURE(runScripts(
      {{"init.lua", ""}, {"spin", spin}, {"stubborn", stubborn}, {"yielder", yielder}}, 300));
  EXPECT_EQ(sh({"lua", "while", "true", "do", "end"}),
            "error: lua:1: ran for more than 300 ms without yielding\n");
  EXPECT_EQ(sh({"lua", "return", "1"}), "1\n");
  // A context that only yields still lets the runtime answer.
  if (!kThreadSanitizer) {
    EXPECT_TRUE(contains(sh({"ps"}), "yielder                       |   3|yield  |main "));
  }

  EXPECT_EQ(sh({"post", "spin", "reply"}), "event=spin\n");
  std::string ps = shUntil({"ps"}, "stubborn                      |   2|failed");
  EXPECT_TRUE(contains(ps, "spin                          |   1|failed |main               |   3|"))
      << ps;
  EXPECT_TRUE(contains(ps, "stubborn                      |   2|failed")) << ps;
  EXPECT_TRUE(contains(log("nkrun"), "spin.lua:3: ran for more than 300 ms without yielding"))
      << log("nkrun");
  EXPECT_EQ(sh({"lua", "return", "turns", ">", "0"}), "true\n");
}

// The bindings, exercised by scripts: each check that fails is reported in
// the tag "failures" (empty when all passed).
TEST_F(RunTest, BindingsWorkFromScripts) {
  const char checks[] = R"(
local failures = {}
local function check(ok, what) if not ok then failures[#failures + 1] = what end end

-- request and reply between two contexts
check(nk.request("level", "tank1") == "level of tank1", "request")
-- a blocking post waits for room instead of losing events
for i = 1, 250 do nk.post("count", tostring(i), true) end
check(nk.request("counted") == "250", "blocking post")
-- timers and sleep
nk.timer("once", 0.05, "fired")
check(nk.waitfor("once") == "fired", "one-shot timer")
local t0 = nk.now()
nk.sleep(0.1)
check(nk.now() - t0 >= 0.09, "sleep")
nk.every("beat", 0.01)
nk.waitfor("beat"); nk.waitfor("beat")
nk.stoptimer("beat")
-- task states and handlers
check(nk.addstate("idle") and nk.addstate("busy"), "addstate")
check(nk.setstate("idle") and not nk.setstate("nosuch"), "setstate")
local name, index = nk.state()
check(name == "idle" and index == 1 and nk.findstate("BUSY") == 2, "state")
check(nk.findstate("") == 0 and nk.findstate("nosuch") == nil, "findstate")
nk.handler("go", function(e, p) nk.setstate("busy"); handled = p end, "idle")
nk.handler("go", function(e, p) error("failing handler") end, "busy")
check(nk.dispatch("go", "x") == true and handled == "x" and nk.state() == "busy", "dispatch")
-- a failing handler is logged and returns nothing; the script goes on
check(select("#", nk.dispatch("go", "y")) == 0, "failed handler")
check(select(1, nk.dispatch("unknown")) == false, "dispatch without interest")
check(select(1, nk.handler("go", print, "nosuch")) == false, "handler in unknown state")
-- a handler that waits
nk.setstate("idle")
nk.handler("go", function(e, p) waited = nk.waitfor("later") end, "idle")
nk.post("later-trigger")
nk.dispatch("go")
check(waited == "now", "handler that waits")
-- any event ends a block of type any
nk.filter("poke")
check(nk.block("nothing", "string", true) == "p1", "block any")
-- information, names, unique events, contexts
nk.setinfo("role", "checker")
nk.setname("checks")
check(nk.getinfo("checks", "role") == "checker", "info")
local myId, myName = nk.id()
check(myId == 2 and myName == "checks", "id")
check(nk.unique() ~= nk.unique(), "unique")
local id, err = nk.start("nosuch")
check(id == nil and err:find("nosuch.lua"), "start of a missing script")
check(nk.start("echo", "a", 2) ~= nil and nk.waitfor("echo") == "a 2", "start with arguments")
local co = coroutine.wrap(function() return pcall(nk.wait) end)
local cok, cerr = co()
check(not cok and cerr:find("inside a coroutine"), "wait from a coroutine")
check(not pcall(nk.rule, "r", "bogus", "a"), "unknown rule kind")
for i = 1, 40 do nk.start("boom") end
nk.set("flag", true)
check(nk.get("flag") == "true" and nk.get("nothing") == nil, "get and set")
nk.set("failures", table.concat(failures, ";"))
nk.set("done", "yes")
)";
  const char server[] = R"(
nk.filter("level"); nk.filter("count"); nk.filter("counted")
local count = 0
while true do
  local e, p = nk.wait()
  if e == "level" then nk.reply("level", "level of " .. p)
  elseif e == "count" then count = count + 1
  elseif e == "counted" then nk.reply("counted", tostring(count)) end
end
)";
  const char helper[] = R"(
nk.waitfor("later-trigger")
nk.post("later", "now")
nk.sleep(0.05)
nk.post("poke", "p1")
)";
  const char echo[] = "nk.post('echo', table.concat({...}, ' '))\n";
  writeFile(dir_ + "/echo.lua", echo);  // started by checks
  writeFile(dir_ + "/boom.lua", "error('boom')\n");
  ASSERT_NO_FATAL_FAILURE(runScripts({{"server", server}, {"helper", helper}, {"checks", checks}}));
  ASSERT_EQ(shUntil({"get", "done"}, "yes"), "done=yes\n") << log("nkrun");
  EXPECT_EQ(sh({"get", "failures"}), "failures=\n") << log("nkrun");
  // Of the 40 failed contexts the newest 32 stay listed, beside the server.
  EXPECT_TRUE(contains(sh({"lists"}), "\nwaiting          33 ")) << sh({"lists"});
}

// }====

}  // namespace

namespace {

// The rules in-process: every kind, the truth of texts, numbers against
// texts, a chain through a rule's id, refused definitions and a loop of
// rules through their tags, which is cut instead of hanging the runtime.
TEST(RulesTest, KindsChainsRefusalsAndLoops) {
  eventInit();
  struct Case {
    const char *kind, *a, *b, *value;
  };
  const Case cases[] = {
      {"and", "on", "YES", "1"}, {"and", "1", "off", "0"},     {"or", "", "true", "1"},
      {"or", "0.0", "no", "0"},  {"xor", "2", "", "1"},        {"xor", "-1", "yes", "0"},
      {"<", "9", "10", "1"},     {"<", "b", "a", "0"},         {"<=", "1.0", "1", "1"},
      {"<=", "2", "1", "0"},     {">", "10", "9", "1"},        {">=", "abc", "abd", "0"},
      {">=", "5", "5", "1"},     {"==", "1e1", "10", "1"},     {"==", "x", "y", "0"},
      {"~=", "x", "x", "0"},     {"~=", "1", "2", "1"},        {"not", "off", "", "1"},
      {"not", "on", "", "0"},    {"copy", "text", "", "text"},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string id = "r" + std::to_string(n++), a = id + ".a", b = id + ".b", out = id + ".out";
    nkrun::rtdbSet(a.c_str(), c.a);
    nkrun::rtdbSet(b.c_str(), c.b);
    const char *in[2] = {a.c_str(), b.c_str()};
    const bool variable[2] = {false, false};
    const char *error = nullptr;
    ASSERT_EQ(nkrun::ruleDefine(id.c_str(), c.kind, in, variable, out.c_str(), &error), 0);
    EXPECT_STREQ(nkrun::rtdbGet(out.c_str()), c.value) << c.kind << " " << c.a << " " << c.b;
  }

  // hot feeds alarm as its second input; the listing names the reader.
  const char *hotIn[2] = {"temp", "30"}, *alarmIn[2] = {"armed", "hot"};
  const bool hotConstant[2] = {false, true}, none[2] = {false, false};
  const char *error = nullptr;
  ASSERT_EQ(nkrun::ruleDefine("hot", ">", hotIn, hotConstant, nullptr, &error), 0);
  ASSERT_EQ(nkrun::ruleDefine("alarm", "and", alarmIn, none, "siren", &error), 0);
  nkrun::rtdbSet("armed", "on");
  nkrun::rtdbSet("temp", "35");
  EXPECT_STREQ(nkrun::rtdbGet("siren"), "1");
  nkrun::rtdbSet("temp", "29.5");
  EXPECT_STREQ(nkrun::rtdbGet("siren"), "0");
  int s = stringAlloc(0);
  size_t hot = nkrun::ruleCount() - 2;
  nkrun::ruleStatsQuery(static_cast<int>(hot), s);
  EXPECT_EQ(std::string(static_cast<char *>(memGetData(s))),
            "index=" + std::to_string(hot + 1) + ",id=hot,ix=" + std::to_string(hot + 1) +
                ",type=>,input1=temp,input2=30,output=alarm,value=0");
  nkrun::ruleStatsQuery(static_cast<int>(hot + 2), s);
  EXPECT_STREQ(static_cast<char *>(memGetData(s)), "index=0");
  stringFree(s);

  const char *oneInput[2] = {"temp", nullptr};
  const struct {
    const char *id, *kind, *message;
  } refused[] = {{"", "and", "a rule needs an id"},
                 {"r", "nand", "unknown kind of rule"},
                 {"r", "and", "missing input"}};
  for (const auto &r : refused) {
    EXPECT_EQ(nkrun::ruleDefine(r.id, r.kind, oneInput, none, nullptr, &error), -1) << r.kind;
    EXPECT_STREQ(error, r.message);
  }

  nktest::LogCapture log;
  const char *copyIn[2] = {"x", nullptr}, *notIn[2] = {"y", nullptr};
  ASSERT_EQ(nkrun::ruleDefine("l1", "copy", copyIn, none, "y", &error), 0);
  ASSERT_EQ(nkrun::ruleDefine("l2", "not", notIn, none, "x", &error), 0);
  EXPECT_GE(log.count("nkrun: rule l1: chain deeper than 32, not evaluated"), 1);
}

}  // namespace
