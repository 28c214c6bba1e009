#define NK_MODULE "shell_test"
#include "shell.h"

#include <math.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nktest.h"
#include "rawconnection.h"

namespace {

class ShellEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new ShellEnvironment);

const char kHelp[] =
    "version\t- Show the version number of this program\n"
    "exit\t- Quit the shell\n"
    "quit\t- Quit the shell\n"
    "help\t- Show this help\n"
    "lua\t- execuate a lua command in nkrun\n"
    "ps\t- show running lua threads\n"
    "memh\t- show memory handles\n"
    "memstats\t- show memory stats\n"
    "memb\t- show memory blocks\n"
    "mem\t- show memory usage\n"
    "events\t- show running lua threads\n"
    "lists\t- show lists\n"
    "timers\t- show timers\n"
    "stats\t- show run time stats\n"
    "post\t- post an event to the runtime\n"
    "get\t- get the value of an RTDB tag\n"
    "set\t- set the value of an RTDB tag\n"
    "rules\t- show the rules table\n";

using Words = std::vector<std::string>;

Words split(const std::string &line, int max = nksh::kMaxWords) {
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  std::vector<char *> words(max);
  int n = nksh::splitWords(buf.data(), words.data(), max);
  if (n < 0) return {"<too many>"};
  return Words(words.begin(), words.begin() + n);
}

nktest::ProcessResult nksh(const Words &args, const std::string &input = "") {
  return nktest::runProgram(nktest::builtProgram("nksh"), args, input);
}

// ---- without a bus --------------------------------------------------------

TEST(ShellTest, SplitsAtSpacesOnly) {
  EXPECT_EQ(split("memh nkrun"), (Words{"memh", "nkrun"}));
  EXPECT_EQ(split("   set  pump1   on  "), (Words{"set", "pump1", "on"}));
  EXPECT_EQ(split("lua\tprint(1) x"), (Words{"lua\tprint(1)", "x"}));
  EXPECT_EQ(split(""), Words{});
  EXPECT_EQ(split("    "), Words{});
  // The vector's limit: a line with one word more is refused whole.
  std::string full;
  for (int i = 0; i < 4; i++) full += "w ";
  EXPECT_EQ(split(full, 4).size(), 4u);
  EXPECT_EQ(split(full + "x", 4), Words{"<too many>"});
  EXPECT_EQ(split(full + "   ", 4).size(), 4u);
}

TEST(ShellTest, TableHasTheEighteenRowsInOrder) {
  std::string rows;
  for (const ShellCommand &c : commands) {
    ASSERT_NE(c.handler, nullptr) << c.name;
    rows += std::string(c.name) + "\t- " + c.help + "\n";
  }
  EXPECT_EQ(rows, kHelp);
}

TEST(ShellTest, FormatCount) {
  using nksh::formatCount;
  EXPECT_EQ(std::string(formatCount(0, 0)), "          ");
  EXPECT_EQ(std::string(formatCount(-7, 0)), "          ");
  EXPECT_EQ(std::string(formatCount(999, 0)), "       999");
  EXPECT_EQ(std::string(formatCount(1000, 0)), "      1000");
  EXPECT_EQ(std::string(formatCount(1001, 0)), "     1,001");
  EXPECT_EQ(std::string(formatCount(1000000, 0)), "  1000,000");
  EXPECT_EQ(std::string(formatCount(1234567, 0)), " 1,234,567");
  EXPECT_EQ(std::string(formatCount(2147483647, 0)), "2147,483,647");
  EXPECT_EQ(std::string(formatCount(5, 2)), "          .05");
  EXPECT_EQ(std::string(formatCount(0, 1)), "            ");
  EXPECT_EQ(std::string(formatCount(12345, 1)), "     1,234.5");
  EXPECT_EQ(std::string(formatCount(100, 2)), "         1.00");
}

TEST(ShellTest, FormatDuration) {
  using nksh::formatDuration;
  EXPECT_EQ(std::string(formatDuration(2, 500000)), "  2.500s  ");
  EXPECT_EQ(std::string(formatDuration(0, 1500)), "    1,500u");
  EXPECT_EQ(std::string(formatDuration(0, 1000)), "     1000u");
  EXPECT_EQ(std::string(formatDuration(0, 0)), "        0u");
  EXPECT_EQ(std::string(formatDuration(125, 999999)), "125.999s  ");
}

TEST(NkshTest, OptionErrorsAndUsageNeedNoBus) {
  auto r = nksh({"-?"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_NE(r.out.find("\t** Application Name : nksh\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Usage:\n\tnksh [-d] [-v] [-c <command>]\n\nWhere:\n"
                       "\td - switch on debug output\n\tv - increase verbosity\n"
                       "\tc - execute command\n\tr - connect to alternate nkrun process\n"),
            std::string::npos)
      << r.out;
  r = nksh({"-x"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "Unknown option 'x', use -? for help\n");
  r = nksh({"-r"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "Switch 'r' needs an argument\n");
  // -c with no command word: an error, not a crash or a silent success.
  r = nksh({"-c"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "No command given for -c, use -? for help\n");
  // A -r name has at most 63 characters.
  r = nksh({"-r", std::string(64, 'n'), "-c", "version"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "Process name given to -r is too long (at most 63 characters)\n");
  // A comma would split the bus line the name heads.
  for (const char *name : {"a,b", ""}) {
    r = nksh({"-r", name, "-c", "version"});
    EXPECT_EQ(r.exitCode(), 1) << name;
    EXPECT_EQ(r.out, "Process name given to -r must not be empty or hold a comma or a line end\n");
  }
}

TEST(NkshTest, NoBusEndsTheShellWithTheWriteFailure) {
  auto r = nksh({"-c", "help"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_NE(r.out.find("ERR  msgSend write failure - is IPC server running?"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("version\t-"), std::string::npos);
}

// ---- against the bus ------------------------------------------------------

// A runtime played by the test: a bus client that answers each message with
// what the script returns (nothing for an empty answer), and records them.
class FakeRuntime {
 public:
  struct Message {
    int type;
    std::string data;
    std::string from;
  };
  // Returns {reply type, reply data}; type -1 sends nothing, type -2 sends a
  // one-way message of type 0 to the sender instead of a reply.
  using Script = std::function<std::pair<int, std::string>(const Message &)>;

  explicit FakeRuntime(Script script) : script_(std::move(script)) {
    client_ = nkMsgInit("fakerun");
    thread_ = std::thread([this] { run(); });
  }
  ~FakeRuntime() {
    stop_ = true;
    thread_.join();
    nkMsgClose(client_);
  }
  std::vector<Message> received() {
    std::lock_guard<std::mutex> lock(m_);
    return received_;
  }

 private:
  void run() {
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int type = 0;
    int data = stringAlloc(0);
    nkMsgTimeoutSet(client_, 50000);
    while (!stop_) {
      if (nkMsgGet(client_, to, from, &type, data) != MSG_OK) continue;
      Message msg{type, static_cast<char *>(memGetData(data)), from};
      {
        std::lock_guard<std::mutex> lock(m_);
        received_.push_back(msg);
      }
      std::pair<int, std::string> answer = script_(msg);
      if (answer.first == -1) continue;
      stringCopy(data, answer.second.c_str());
      if (answer.first == -2) {
        nkMsgSend(client_, from, nullptr, 0, data);
      } else {
        nkMsgReply(client_, from, nullptr, answer.first, data);
      }
    }
    stringFree(data);
  }

  Script script_;
  MsgClient *client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<Message> received_;
};

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = "/tmp/shell_test_bus_" + std::to_string(getpid()) + ".log";
    bus_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, logPath_);
    ASSERT_TRUE(nktest::waitForPort(MSG_PORT));
  }
  void TearDown() override {
    if (bus_ > 0) nktest::stopProgram(bus_);
    unlink(logPath_.c_str());
  }
  std::string busLog() { return nktest::readFile(logPath_); }
  // nksh addressing the fake runtime.
  nktest::ProcessResult shell(const Words &args, const std::string &input = "") {
    Words all = {"-r", "fakerun"};
    all.insert(all.end(), args.begin(), args.end());
    return nksh(all, input);
  }
  int bus_ = -1;
  std::string logPath_;
};

// Replies for the paged listings, keyed by request text.
FakeRuntime::Script table(std::map<std::string, std::pair<int, std::string>> replies) {
  return [replies](const FakeRuntime::Message &m) -> std::pair<int, std::string> {
    auto it = replies.find(m.data);
    if (it == replies.end()) return {5, "unexpected " + m.data};
    return it->second;
  };
}

TEST_F(BusTest, LocalCommandsAndTheLoop) {
  auto r = nksh({"-c", "help"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, kHelp);
  r = nksh({"-c", "version"});
  EXPECT_EQ(r.out, "nksh version 0.01\n");
  r = nksh({"-c", "bogus"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "* Unknown command, try help\n");
  // Prefix matching, case, '.', long lines and many words at the prompt.
  std::string many = "version";
  for (int i = 0; i < 128; i++) many += " w";
  std::string longLine = "version" + std::string(2040, 'x') + "help";
  r = nksh({}, ".\nversionx\n\n   \nEXIT\nme\n  version extra\n.\n" + many + "\n" + longLine +
                   "\nexitnow\nversion\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, std::string("nksh> nksh> nksh version 0.01\nnksh> nksh> nksh> "
                               "* Unknown command, try help\nnksh> * Unknown command, try help\n"
                               "nksh> nksh version 0.01\nnksh> nksh version 0.01\n"
                               "nksh> * Too many words (more than 128), line ignored\n"
                               "nksh> nksh version 0.01\nnksh> ") +
                       kHelp + "nksh> ");
  // End of input also ends the loop, with status 0.
  r = nksh({}, "version");
  EXPECT_EQ(r.out, "nksh> nksh version 0.01\nnksh> ");
  EXPECT_EQ(r.exitCode(), 0);
}

TEST_F(BusTest, SignsOffAtTheEndOfTheLoopButNotAfterOneCommand) {
  auto r = nksh({}, "quit\n");
  EXPECT_EQ(r.exitCode(), 0);
  r = nksh({"-c", "version"});
  EXPECT_EQ(r.exitCode(), 0);
  nktest::stopProgram(bus_);
  bus_ = -1;
  std::string log = busLog();
  size_t signedOff = 0, registered = 0;
  for (size_t at = 0; (at = log.find(" signed off", at)) != std::string::npos; at++) signedOff++;
  for (size_t at = 0; (at = log.find(" registered as nksh-", at)) != std::string::npos; at++) {
    registered++;
  }
  EXPECT_EQ(registered, 2u) << log;
  EXPECT_EQ(signedOff, 1u) << log;
}

TEST_F(BusTest, MemoryTables) {
  FakeRuntime rt(table({
      {"stat=memblocks,index=0",
       {0, "index=9,size=256,count=10,free=4,allocops=12,freeops=6,peak=7,delta=-1"}},
      {"stat=memblocks,index=9",
       {0, "index=0,size=4194304,count=1000,free=0,allocops=1,freeops=0,peak=1,delta=0"}},
      {"stat=memhandles,index=0",
       {0, "index=1,module=averyveryverylongmodulename,line=12,count=3,size=512,handle=7"}},
      {"stat=memhandles,index=1", {0, "totalh=262144,freeh=262141"}},
      {"stat=mem,index=1",
       {0,
        "index=1,alloch=262144,freeh=262140,allocb=16384,freeb=16380,allocm=4194304,"
        "freem=3145728"}},
  }));
  auto r = shell({"-c", "memb"});
  EXPECT_EQ(r.out,
            "    size allocops freeops  count free  inuse peak  delta alloc-K\n"
            "======== ======== ======== ===== ===== ===== ===== ===== =======\n"
            "     256       12        6    10     4     6     7    -1       2\n"
            " 4194304        1        0  1000     0  1000     1     0  -98304\n");  // 32-bit
  std::string memh =
      "module           line count     size  handle\n"
      "================ ==== ===== ======== =======\n"
      "averyveryverylon   12     3      512       7\n"
      "                    0     0        0       0\n";
  r = shell({"-c", "memh"});
  EXPECT_EQ(r.out, memh);
  r = shell({"-c", "memory", "fakerun"});  // mem: memh then memb, same arguments
  EXPECT_EQ(r.out.substr(0, memh.size()), memh);
  EXPECT_NE(r.out.find("    size allocops"), std::string::npos);
  r = shell({"-c", "memstats"});
  EXPECT_EQ(r.out,
            "    stat    total     free    %used\n"
            "======== ======== ======== ========\n"
            "Handles    262144   262140     0.00\n"
            "Blocks      16384    16380     0.02\n"
            "MiB             4        3    25.00\n");
}

// Extreme numbers in replies print saturated, never overflow.
TEST_F(BusTest, ExtremeNumbersInRepliesStayDefined) {
  FakeRuntime rt(table({
      {"stat=memblocks,index=0",
       {0, "index=0,size=256,count=2147483647,free=-1,allocops=0,freeops=0,peak=0,delta=0"}},
      {"stat=mem,index=1",
       {0,
        "index=1,alloch=2147483647,freeh=-1,allocb=-2147483648,freeb=1,allocm=1048576,"
        "freem=0"}},
  }));
  EXPECT_EQ(shell({"-c", "memb"}).out.substr(130),
            "     256        0        0 2147483647    -1 2147483647     0     0       0\n");
  EXPECT_EQ(shell({"-c", "memstats"}).out.substr(72),
            "Handles  2147483647       -1   100.00\n"
            "Blocks   -2147483648        1   100.00\n"
            "MiB             1        0   100.00\n");
}

TEST_F(BusTest, StatsAndTimersTables) {
  FakeRuntime rt(table({
      {"stat=stats,index=0",
       {0,
        "index=1,name=bus,thread=4660,count=12345,exec=1001,events=5,load=250,min=0,max=1234567"}},
      {"stat=stats,index=1", {0, "index=0"}},  // the end: not printed
      {"stat=mem,index=1", {0, "index=1,alloch=0,freeh=0,allocb=0,freeb=0,allocm=0,freem=0"}},
      {"stat=timers,index=0",
       {0,
        "index=1,timer=tick,interval-sec=2,interval-usec=500000,expiry-sec=0,"
        "expiry-usec=1500,options=periodic"}},
      {"stat=timers,index=1", {0, "index=0,timer=never-printed"}},
  }));
  auto r = shell({"-c", "stats"});
  // A total of 0 prints what the C library prints for 0 * 100.0 / 0.
  char nan[32];
  volatile double zero = 0;
  snprintf(nan, sizeof nan, "%8.2f", zero * 100.0 / zero);
  EXPECT_EQ(r.out,
            "name                   thread      count         rate       exec     events          "
            "load        min        max\n"
            "==================== ======== ========== ============ ========== ========== "
            "============= ========== ==========\n"
            "bus                  00001234     12,345      1,234.5      1,001          5          "
            "2.50             1,234,567\n"
            "    stat    total     free    %used\n"
            "======== ======== ======== ========\n"
            "Handles         0        0 " +
                std::string(nan) + "\nBlocks          0        0 " + nan +
                "\nMiB             0        0 " + nan + "\n");
  r = shell({"-c", "timers"});
  EXPECT_EQ(r.out,
            "timer                        interval    expires       options\n"
            "========================== ========== ========== =============\n"
            "tick                         2.500s       1,500u periodic     \n");
}

TEST_F(BusTest, EventsPsRulesAndListsTables) {
  FakeRuntime rt([ps = 0](const FakeRuntime::Message &m) mutable -> std::pair<int, std::string> {
    if (m.data == "stat=events,index=0") return {0, "index=4,event=alarm,count=2"};
    if (m.data == "stat=events,index=4") return {0, "index=0"};
    // ps ends only on a failed request: a reply index of 0 asks again.
    if (m.type == 209) {
      switch (ps++) {
        case 0:
          return {0, "index=7,name=main,id=3,cstate=waiting,function=loop,line=42,events=alarm"};
        case 1:
          return {0, "index=0,name=idle,id=4,cstate=ready,line=7"};
        default:
          return {1, "index=0"};
      }
    }
    if (m.data == "stat=rules,index=0")
      return {0, "index=1,id=r1,ix=1,type=and,input1=pump1,input2=r2,output=valve,value=on"};
    if (m.data == "stat=rules,index=1")
      return {0, "index=2,id=r2,ix=2,type=or,input1=a,input2=b,output=r1,value=x"};
    if (m.data == "stat=rules,index=2") return {0, "index=0"};
    if (m.data == "stat=listpools,index=0") return {0, "index=5,list=timers,elements=3"};
    if (m.data == "stat=listpools,index=5") return {0, "index=0,list=events,elements=0"};
    return {5, "unexpected"};
  });
  auto r = shell({"-c", "events"});
  EXPECT_EQ(r.out, "index=4,event=alarm,count=2\nindex=0\n");
  r = shell({"-c", "ps"});
  EXPECT_EQ(r.out,
            "name                          |  id|r-state|function           |line|events-filtered\n"
            "==============================|====|=======|===================|====|"
            "==========================================================\n"
            "main                          |   3|waiting|loop               |  42|alarm" +
                std::string(55, ' ') + "\nidle                          |   4|ready  |" +
                std::string(19, ' ') + "|   7|" + std::string(60, ' ') + "\n");
  r = shell({"-c", "rules"});
  EXPECT_EQ(r.out,
            "type            input1          input2          output          value\n"
            "=============== =============== =============== =============== "
            "=====================\n"
            "and             pump1           <= 2            valve           on\n"
            "or              a               b               2 =>            x\n");
  r = shell({"-c", "lists"});
  EXPECT_EQ(r.out,
            "list             elements\n"
            "================ ==============================\n"
            "timers           3                             \n"
            "events           0                             \n");
  // The ps requests went out as type 209 with the index of the last reply.
  Words psRequests;
  for (const auto &m : rt.received())
    if (m.type == 209) psRequests.push_back(m.data);
  EXPECT_EQ(psRequests, (Words{"index=0", "index=7", "index=0"}));
}

TEST_F(BusTest, RuntimeCommands) {
  // Every post is answered, as the runtime cannot tell whether the shell
  // waits: get reads its own answer, not the one to the post before it.
  FakeRuntime rt([](const FakeRuntime::Message &m) -> std::pair<int, std::string> {
    if (m.type == 213) return {-2, m.data + "=42"};
    if (m.type == 201) return {-2, m.data == "event=alarm" ? "done" : "stray answer"};
    if (m.type == 210) return {0, "result of " + m.data};
    return {-1, ""};
  });
  auto r = shell({},
                 "set pump1 on extra\nset pump1\npost idle later\nget tank_level\nget\n"
                 "post alarm REPLY\npost\nlua print(1)\nlua\n"
                 "memb a,b\nmem a,b\nmemh a,b\nmemstats a,b\nstats a,b\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out,
            "nksh> pump1=on\nnksh> Please supply a tag and a value\nnksh> event=idle\n"
            "nksh> tank_level=42\nnksh> Please supply a tag\nnksh> event=alarm\n"
            "nksh> Please supply an event to post\nnksh> result of print(1) \nnksh> result of \n"
            "nksh> Process name 'a,b' must not hold a comma or a line end\n"
            "nksh> Process name 'a,b' must not hold a comma or a line end\n"
            "nksh> Process name 'a,b' must not hold a comma or a line end\n"
            "nksh> Process name 'a,b' must not hold a comma or a line end\n"
            "nksh> Process name 'a,b' must not hold a comma or a line end\n"
            "nksh> ");
  std::vector<FakeRuntime::Message> got = rt.received();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].type, 212);
  EXPECT_EQ(got[0].data, "pump1=on");
  EXPECT_EQ(got[1].data, "event=idle");
  EXPECT_EQ(got[2].type, 213);
  EXPECT_EQ(got[2].data, "tank_level");
  EXPECT_EQ(got[3].data, "event=alarm");
  EXPECT_EQ(got[4].type, 210);
  EXPECT_EQ(got[4].data, "print(1) ");
  EXPECT_EQ(got[5].data, "");
  EXPECT_EQ(got[0].from.rfind("nksh-", 0), 0u);
}

TEST_F(BusTest, DotRunsThePreviousCommandWithoutArguments) {
  FakeRuntime rt(table({{"stat=memhandles,index=0", {0, "totalh=1,freeh=1"}}}));
  // "memh fakerun" addresses fakerun; "." runs memh alone, against -r's name.
  auto r = shell({}, "memh fakerun\n.\n");
  auto lines = nktest::lines(r.out);
  int rows = 0;
  for (const std::string &l : lines)
    rows += l.find("   0     0        0       0") != std::string::npos;
  EXPECT_EQ(rows, 2) << r.out;
}

TEST_F(BusTest, FailedRequestsEndTheListings) {
  // Nobody registered as the target: the bus answers each request with a
  // failure at once. Listings that read the result end silently; the others
  // end with the status line instead of asking again for ever.
  auto r = nksh({"-r", "ghost", "-c", "memb"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out,
            "    size allocops freeops  count free  inuse peak  delta alloc-K\n"
            "======== ======== ======== ===== ===== ===== ===== ===== =======\n"
            "status=ipc-fail,code=3\n");
  // Each listing's lines: its header, then the status line or nothing (stats
  // prints its memory table all the same).
  const struct {
    const char *cmd;
    size_t lines;
    bool status;
  } listings[] = {{"lists", 3, true},   {"memh", 3, true}, {"timers", 3, true}, {"stats", 8, true},
                  {"events", 0, false}, {"ps", 2, false},  {"rules", 2, false}};
  for (const auto &l : listings) {
    r = nksh({"-r", "ghost", "-c", l.cmd});
    EXPECT_EQ(r.exitCode(), 0) << l.cmd;
    Words out = nktest::lines(r.out);
    EXPECT_EQ(out.size(), l.lines) << r.out;
    EXPECT_EQ(out.size() > 2 && out[2] == "status=ipc-fail,code=3", l.status) << r.out;
  }
  r = nksh({"-r", "ghost", "-c", "lua", "x"});
  EXPECT_EQ(r.out, "");  // lua prints nothing on failure
}

TEST_F(BusTest, LostBusDuringGetAndBeforeExit) {
  FakeRuntime::Script silent = [](const FakeRuntime::Message &) {
    return std::pair<int, std::string>{-1, ""};
  };
  FakeRuntime rt(silent);
  std::thread killer([&] {
    for (int i = 0; i < 500 && rt.received().empty(); i++) usleep(10000);
    nktest::stopProgram(bus_);
  });
  auto r = shell({"-c", "get", "tank_level"});
  killer.join();
  bus_ = -1;
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, "status=ipc-fail,code=1\n");
}

// The bus goes while the shell waits at its prompt. The next command that
// uses it finds the connection closed; the sign-off of exit (or end of input)
// then fails: the documented stop, status 1, not death by SIGPIPE.
void loseBusThenEnd(int *bus, const char *ending, const char *expectedBeforeStop) {
  int in = -1, out = -1;
  int pid = nktest::startProgramPiped(nktest::builtProgram("nksh"), {}, &in, &out);
  char buf[4096];
  ASSERT_GT(read(out, buf, sizeof buf), 0);  // the prompt: registered
  nktest::stopProgram(*bus);
  *bus = -1;
  std::string input = std::string("get tank_level\n") + ending;
  ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in);
  std::string rest;
  ssize_t n;
  while ((n = read(out, buf, sizeof buf)) > 0) rest.append(buf, n);
  close(out);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 1) << rest;
  EXPECT_EQ(rest.rfind(expectedBeforeStop, 0), 0u) << rest;
  EXPECT_NE(rest.find("ERR  msgSend write failure - is IPC server running?"), std::string::npos)
      << rest;
}

TEST_F(BusTest, BusLostBeforeExitEndsThroughTheWriteFailure) {
  loseBusThenEnd(&bus_, "exit\n", "status=ipc-fail,code=1\nnksh> ");
}

TEST_F(BusTest, BusLostBeforeEndOfInputEndsThroughTheWriteFailure) {
  loseBusThenEnd(&bus_, "", "status=ipc-fail,code=1\nnksh> ");
}

// Every command against the real runtime stand-in.
// nksh on a pseudo-terminal, as an operator types at it.
class Terminal {
 public:
  Terminal(const Words &args, const std::string &home) {
    Words words;
    std::string emulator = nktest::emulatorCommand();
    for (size_t at = 0; at < emulator.size();) {
      size_t space = emulator.find(' ', at);
      if (space == std::string::npos) space = emulator.size();
      if (space > at) words.push_back(emulator.substr(at, space - at));
      at = space + 1;
    }
    words.push_back(nktest::builtProgram("nksh"));
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("HOME", home.c_str(), 1);
      setenv("TERM", "xterm", 1);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) nktest::stopProgram(pid_);
    close(master_);
  }
  // Keys typed the moment the prompt shows could reach the terminal before
  // the editor has switched its mode, where the line discipline would take
  // Ctrl-D for itself: typed after a short pause, as people type.
  void type(const std::string &keys) {
    usleep(50000);
    EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads until what came since the last call holds text (10 s at most).
  bool expect(const std::string &text) {
    for (int waited = 0; fresh_.find(text) == std::string::npos && waited < 10000;) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        waited += 100;
        continue;
      }
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      fresh_.append(buf, static_cast<size_t>(n));
    }
    size_t at = fresh_.find(text);
    if (at == std::string::npos) return false;
    seen_ += fresh_.substr(0, at + text.size());
    fresh_.erase(0, at + text.size());
    return true;
  }
  const std::string &seen() const { return seen_; }
  int wait() {
    int status = -1;
    for (int i = 0; i < 1000 && waitpid(pid_, &status, WNOHANG) == 0; i++) usleep(10000);
    pid_ = -1;
    return status;
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string fresh_, seen_;
};

// Completion, history with the arrow keys (kept in the home folder), Ctrl-C
// that drops the line being typed, Ctrl-C that abandons a command whose
// runtime never answers, and Ctrl-D.
TEST_F(BusTest, TheConsoleAtATerminal) {
  if (!nksh::consoleAvailable()) GTEST_SKIP() << "built without line editing";
  nktest::RawConnection mute;
  mute.registerAs("mute");
  char home[] = "/tmp/shell_test_home_XXXXXX";
  ASSERT_NE(mkdtemp(home), nullptr);
  {
    Terminal t({"-r", "mute"}, home);
    ASSERT_TRUE(t.expect("nksh> "));
    t.type("vers\t\r");
    EXPECT_TRUE(t.expect("nksh version 0.01"));
    ASSERT_TRUE(t.expect("nksh> "));
    t.type("bogus\x03");
    ASSERT_TRUE(t.expect("nksh> "));
    t.type("\x1b[A\r");  // the line before, not the one dropped
    EXPECT_TRUE(t.expect("nksh version 0.01"));
    ASSERT_TRUE(t.expect("nksh> "));
    t.type("ps\r");
    EXPECT_NE(mute.line().find(",209,"), std::string::npos);
    t.type("\x03");
    EXPECT_TRUE(t.expect("* Interrupted"));
    ASSERT_TRUE(t.expect("nksh> "));
    t.type("\x04");
    int status = t.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(t.seen().find("Unknown command"), std::string::npos) << t.seen();
  }
  std::string history = nktest::readFile(std::string(home) + "/.nksh_history");
  EXPECT_NE(history.find("version"), std::string::npos) << history;
  EXPECT_EQ(history.find("bogus"), std::string::npos) << history;
  EXPECT_EQ(system(("rm -rf '" + std::string(home) + "'").c_str()), 0);
}

TEST_F(BusTest, EveryCommandAgainstTheRuntime) {
  std::string runLog = logPath_ + ".nkrun";
  int run = nktest::startProgram(nktest::builtProgram("nkrun"), {"-f"}, runLog);
  // memstats prints its table even when the runtime is not there yet: a Lua
  // line answers only once it is.
  nktest::ProcessResult ready;
  for (int i = 0; i < 200; i++) {
    ready = nksh({"-c", "lua", "return", "6*7"});
    if (ready.out == "42\n") break;
    usleep(100000);
  }
  ASSERT_EQ(ready.out, "42\n");
  auto r = nksh({},
                "version\nhelp\nmemh\nmemstats\nmemb\nmem\nlists\nevents\ntimers\nstats\n"
                "ps\nrules\nset pump1 on\nget pump1\npost alarm\npost idle\n"
                "lua return 6*7\nexit\n");
  EXPECT_EQ(r.exitCode(), 0);
  const char *expected[] = {
      "nksh version 0.01\n",
      kHelp,
      "module           line count     size  handle\n",
      "Handles    262144 ",
      "    size allocops freeops  count free  inuse peak  delta alloc-K\n",
      "\n     256 ",
      " 4194304 ",
      "list             elements\n================ ==============================\n",
      "index=0\n",
      "timer                        interval    expires       options\n"
      "========================== ========== ========== =============\nnksh> name ",
      "sleep                ",
      "events-filtered\n",
      "type            input1          input2          output          value\n",
      "nksh> pump1=on\nnksh> pump1=on\nnksh> event=alarm\nnksh> event=idle\nnksh> 42\nnksh> ",
  };
  size_t at = 0;
  for (const char *e : expected) {
    size_t found = r.out.find(e, at);
    EXPECT_NE(found, std::string::npos) << "missing, in order: " << e << "\n" << r.out;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(r.out.find("status=ipc-fail"), std::string::npos) << r.out;
  int status = nktest::stopProgram(run);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  unlink(runLog.c_str());
}

}  // namespace
