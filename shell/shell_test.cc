#include "shell.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nktest.h"
#include "rawconnection.h"

namespace {

using Words = std::vector<std::string>;

nktest::ProcessResult nksh(const Words &args, const std::string &input = "") {
  return nktest::runProgram(nktest::builtProgram("nksh"), args, input);
}

// Each test has a bus of its own.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, log_);
    ASSERT_TRUE(nktest::waitForPort(MSG_PORT));
  }
  void TearDown() override {
    if (bus_ > 0) nktest::stopProgram(bus_);
  }

  int bus_ = -1;
  std::string log_ = nktest::systemPath("/tmp/bus.log");
};

TEST_F(ShellTest, OptionsLocalCommandsAndTheLoop) {
  const char kBadName[] =
      "Process name given to -r must not be empty or hold a comma or a line end\n";
  const char kLineEnd[] = "* A word holds a line end (CR or LF), command not run\n";
  const struct {
    Words args;
    const char *out;
    int status;
  } options[] = {
      {{"-c"}, "No command given for -c, use -? for help\n", 1},
      {{"-r", std::string(64, 'n'), "-c", "version"},
       "Process name given to -r is too long (at most 63 characters)\n",
       1},
      {{"-r", std::string(63, 'n'), "-c", "version"}, "nksh version 0.01\n", 0},
      // A comma would split the bus line the name heads.
      {{"-r", "a,b", "-c", "version"}, kBadName, 1},
      {{"-r", "", "-c", "version"}, kBadName, 1},
      // A line end in a word would end the bus line there and start another.
      {{"-c", "set", "a\nnkrun,nksh-1,212,0,t=1", "v"}, kLineEnd, 0},
  };
  for (const auto &row : options) {
    auto r = nksh(row.args);
    EXPECT_EQ(r.exitCode(), row.status) << row.out;
    EXPECT_EQ(r.out, row.out);
  }
  // With -d -v the registration shows as the request it is, in this order.
  std::string registration;
  for (const std::string &l : nktest::lines(nksh({"-d", "-v", "-c", "version"}).out)) {
    if (l.find(" : ") != std::string::npos) registration += l.substr(27) + "\n";
  }
  EXPECT_EQ(registration,
            "INFO nkMsgInit : sending registration request\n"
            "INFO nkMsgRequest : sending request 100\nINFO nkMsgRequest : send result is 0\n"
            "INFO nkMsgRequest : recv result is 0\n");
  // A line with more words than there is room for is refused whole.
  char line[] = "w w";
  char *words[1];
  EXPECT_EQ(nkSplitWords(line, words, 1), -1);
  // Prefix matching, case, '.', spaces, long lines and the most words at the prompt.
  std::string most = "version";
  for (int i = 1; i < nksh::kMaxWords; i++) most += " w";
  std::string longLine = "version" + std::string(2040, 'x') + "help";
  std::string help;
  for (const ShellCommand &c : commands) help += std::string(c.name) + "\t- " + c.help + "\n";
  auto r = nksh({}, ".\nversionx\r\n\n   \nEXIT\nme\n  version  extra \n.\n" + most + "   \n" +
                        most + " w\n" + longLine + "\nset a\rb v\nexitnow\nversion\n");
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out,
            "nksh> nksh> nksh version 0.01\nnksh> nksh> nksh> * Unknown command, try help\n"
            "nksh> * Unknown command, try help\nnksh> nksh version 0.01\nnksh> nksh version 0.01\n"
            "nksh> nksh version 0.01\nnksh> * Too many words (more than 128), line ignored\n"
            "nksh> nksh version 0.01\nnksh> " +
                help + "nksh> " + kLineEnd + "nksh> ");
  // The loop signed off; the one-shot command only dropped its connection.
  nktest::stopProgram(bus_);
  bus_ = -1;
  std::string log = nktest::readFile(log_);
  EXPECT_NE(log.find(" signed off"), std::string::npos) << log;
  EXPECT_EQ(log.find(" signed off"), log.rfind(" signed off")) << log;
}

// Every listing and runtime command, against a runtime played by the test on
// a raw connection registered as "nkrun", the shell's default. A message whose
// "TYPE,DATA" is a key of replies takes that reply out and is answered with
// its value, "TYPE,DATA" (nothing when empty), and the message's seq; any
// other message fails (type 1). A failed request ends any listing, with the
// status line or silently. Numbers a reply leaves out print as 0.
TEST_F(ShellTest, ListingsAndRuntimeCommands) {
  std::map<std::string, std::string> replies = {
      {"202,stat=memhandles,index=0",
       "0,index=1,module=averylongmodulename,line=12,count=3,size=512"},
      {"202,stat=memhandles,index=1", "0,totalh=262144,freeh=262141"},
      {"202,stat=memblocks,index=0",
       "0,index=9,size=256,count=10,free=4,allocops=12,freeops=6,peak=7,delta=-1"},
      {"202,stat=memblocks,index=9", "0,index=8,size=4194304,count=1000,allocops=1,peak=1"},
      // Extreme numbers print saturated, never overflow.
      {"202,stat=memblocks,index=8", "0,index=7,size=256,count=2147483647,free=-1"},
      // Counts print in ten columns with digit groups, or blank when not positive.
      {"202,stat=stats,index=0",
       "0,index=1,name=bus,thread=4660,count=12345,exec=1001,events=1000,load=250,max=1234567"},
      {"202,stat=stats,index=1",
       "0,index=2,name=idle,exec=1000000,events=999,load=5,min=-7,max=2147483647"},
      {"202,stat=stats,index=2", "0,index=0,name=never-printed"},
      {"202,stat=mem,index=1",
       "0,alloch=2147483647,freeh=-1,allocb=-2147483648,freeb=1,allocm=4194304,freem=3145728"},
      {"202,stat=timers,index=0",
       "0,index=1,timer=t1,options=repeat,interval-sec=2,interval-usec=500000,expiry-usec=1500"},
      {"202,stat=timers,index=1",
       "0,index=2,timer=t2,interval-usec=1000,expiry-sec=125,expiry-usec=999999"},
      {"202,stat=timers,index=2", "0,index=0,timer=never-printed"},
      {"202,stat=events,index=0", "0,index=4,event=alarm,count=2"},
      {"202,stat=events,index=4", "0,index=0"},
      // ps ends only on a failed request: a reply index of 0 asks again.
      {"209,index=0", "0,index=7,name=main,id=3,cstate=waiting,function=loop,line=42,events=alarm"},
      {"209,index=7", "0,name=idle,id=4,cstate=ready,line=7"},
      {"202,stat=rules,index=0",
       "0,index=1,id=r1,ix=1,type=and,input1=pump1,input2=r2,output=valve,value=on"},
      {"202,stat=rules,index=1", "0,index=2,id=r2,ix=2,type=or,input1=a,input2=b,output=r1"},
      {"202,stat=rules,index=2", "0,index=0"},
      {"202,stat=listpools,index=0", "0,index=5,list=timers,elements=3"},
      {"202,stat=listpools,index=5", "0,list=events,elements=0"},
      // Every post is answered, as the runtime cannot tell whether the shell
      // waits: get reads its own answer, not the one to the post before it.
      {"212,pump1=on", ""},
      {"201,event=idle", "0,stray answer"},
      {"213,tank_level", "0,tank_level=42"},
      {"201,event=alarm", "0,done"},
      {"201,event=fault", "5,failed"},
      {"210,print(1) ", "0,result of print(1)"},
      {"210,", "0,result of nothing"},
      {"201,event=wake", ""},
  };
  nktest::RawConnection runtime;
  runtime.registerAs("nkrun");
  std::thread serve([&] {
    std::string l;  // "recipient,sender,type,seq,data\r\n"; "" after a quiet while or at the end
    while (errno = 0, !(l = runtime.line()).empty() || errno == EAGAIN) {
      size_t from = l.find(',') + 1, type = l.find(',', from) + 1;
      size_t seq = l.find(',', type) + 1, data = l.find(',', seq) + 1;
      auto asked =
          replies.extract(l.substr(type, seq - type) + l.substr(data, l.size() - data - 2));
      std::string reply = asked ? asked.mapped() : "1,index=0";
      if (size_t comma = reply.find(','); comma != std::string::npos && !l.empty()) {
        runtime.send(l.substr(from, type - from) + "nkrun," + reply.substr(0, comma + 1) +
                     l.substr(seq, data - seq) + reply.substr(comma + 1) + "\r\n");
      }
    }
  });
  // "ghost" is nobody: the argument names the process.
  EXPECT_EQ(nksh({"-r", "ghost", "-c", "mem", "nkrun"}).out,
            "module           line count     size  handle\n"
            "================ ==== ===== ======== =======\n"
            "averylongmodulen   12     3      512       0\n"
            "                    0     0        0       0\n"
            "    size allocops freeops  count free  inuse peak  delta alloc-K\n"
            "======== ======== ======== ===== ===== ===== ===== ===== =======\n"
            "     256       12        6    10     4     6     7    -1       2\n"
            " 4194304        1        0  1000     0  1000     1     0  -98304\n"  // 32-bit
            "     256        0        0 2147483647    -1 2147483647     0     0       0\n"
            "status=ipc-fail,code=1\n");
  auto r = nksh({},
                "stats\ntimers\nevents\nps\nrules\nlists\n"
                "set pump1 on extra\n.\npost idle\nget tank_level\nget\n"
                "post alarm REPLY\npost fault reply\npost\nlua print(1)\nlua\n"
                "memb a,b\nmem a,b\nmemh a,b\nmemstats a,b\nstats a,b");  // then end of input
  EXPECT_EQ(r.exitCode(), 0);
  std::string badName = "nksh> Process name 'a,b' must not hold a comma or a line end\n";
  EXPECT_EQ(
      r.out,
      "nksh> name                   thread      count         rate       exec     events     "
      "     load        min        max\n"
      "==================== ======== ========== ============ ========== ========== "
      "============= ========== ==========\n"
      "bus                  00001234     12,345      1,234.5      1,001       1000          "
      "2.50             1,234,567\n"
      "idle                 00000000                           1000,000        999           .05"
      "            2147,483,647\n"
      "    stat    total     free    %used\n======== ======== ======== ========\n"
      "Handles  2147483647       -1   100.00\nBlocks   -2147483648        1   100.00\n"
      "MiB             4        3    25.00\n"
      "nksh> timer                        interval    expires       options\n"
      "========================== ========== ========== =============\n"
      "t1                           2.500s       1,500u repeat       \n"
      "t2                              1000u 125.999s                \n"
      "nksh> index=4,event=alarm,count=2\nindex=0\n"
      "nksh> name                          |  id|r-state|function           "
      "|line|events-filtered\n"
      "==============================|====|=======|===================|====|"
      "==========================================================\n"
      "main                          |   3|waiting|loop               |  42|alarm" +
          std::string(55, ' ') + "\nidle                          |   4|ready  |" +
          std::string(19, ' ') + "|   7|" + std::string(60, ' ') +
          "\nnksh> type            input1          input2          output          value\n"
          "=============== =============== =============== =============== "
          "=====================\n"
          "and             pump1           <= 2            valve           on\n"
          "or              a               b               2 =>            \n"
          "nksh> list             elements\n================ ==============================\n"
          "timers           3                             \n"
          "events           0                             \n"
          // "." runs the command word before it, without its arguments.
          "nksh> pump1=on\nnksh> Please supply a tag and a value\nnksh> event=idle\n"
          "nksh> tank_level=42\nnksh> Please supply a tag\nnksh> event=alarm\n"
          "nksh> status=ipc-fail,code=5\nnksh> Please supply an event to post\n"
          "nksh> result of print(1)\nnksh> result of nothing\n" +
          badName + badName + badName + badName + badName + "nksh> ");
  EXPECT_EQ(nksh({"-c", "post", "wake"}).out, "event=wake\n");  // no third word at all
  nktest::stopProgram(bus_);  // and with the bus the runtime, whose replies must all be taken
  bus_ = -1;
  serve.join();
  EXPECT_TRUE(replies.empty()) << "not asked: " << replies.begin()->first;
}

// nksh on a pseudo-terminal, as an operator types at it: completion, history
// with the arrow keys (kept in the home folder), Ctrl-C that drops the line
// being typed, Ctrl-C that abandons a command whose runtime never answers,
// and Ctrl-D.
TEST_F(ShellTest, TheConsoleAtATerminal) {
  if (!nksh::consoleAvailable()) GTEST_SKIP() << "built without line editing";
  nktest::RawConnection mute;
  mute.registerAs("nkrun");
  std::string home = nktest::systemPath("/tmp");  // for the history
  // Only standard input and output make a terminal.
  std::string command = "HOME=" + home + " TERM=xterm exec " + nktest::emulatorCommand() + " " +
                        nktest::builtProgram("nksh") + " 2>/dev/null";
  int terminal = -1;
  fflush(nullptr);
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  const struct {
    const char *keys, *then;
  } steps[] = {
      {"", "nksh> "},
      {"vers\t\r", "ion \r\nnksh version 0.01\r\nnksh> "},
      {"me\t\t", "m\r\nmemh  memstats  memb  mem\r\n"},  // as far as they agree, then the list
      {"\x03", "^C\r\nnksh> "},
      {".\r", ".\r\nnksh> "},  // nothing to repeat after a dropped line
      {" \r", " \r\nnksh> "},  // a blank line is not kept
      {"\x1b[A\x1b[A\r", "version\r\nnksh version 0.01\r\nnksh> "},  // not the line dropped
      {"ps\r", "events-filtered\r\n"},
      {"\x03", "* Interrupted\r\nnksh> "},
      {"\x04", "\r\n"},
  };
  std::string fresh;  // what came after the text of the step before
  for (const auto &step : steps) {
    // Keys typed the moment the prompt shows could reach the terminal before
    // the editor has switched its mode, where the line discipline would take
    // Ctrl-D for itself: typed after a short pause, as people type.
    usleep(50000);
    ssize_t size = strlen(step.keys);
    ASSERT_EQ(write(terminal, step.keys, size), size);
    // Ctrl-C only once the request is out.
    if (step.keys[0] == 'p') {
      EXPECT_NE(mute.line().find(",209,"), std::string::npos);
    }
    char buf[4096];
    struct pollfd p = {terminal, POLLIN, 0};
    for (ssize_t n; fresh.find(step.then) == std::string::npos; fresh.append(buf, n)) {
      n = poll(&p, 1, 10000) > 0 ? read(terminal, buf, sizeof buf) : -1;
      ASSERT_GT(n, 0) << step.keys << "\n" << fresh;
    }
    fresh.erase(0, fresh.find(step.then) + strlen(step.then));
  }
  int status = -1;
  nktest::eventually([&] { return waitpid(pid, &status, WNOHANG) != 0; }, 10);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(terminal);
  EXPECT_EQ(nktest::readFile(home + "/.nksh_history"), "_HiStOrY_V2_\nversion\n.\nversion\nps\n");
}

}  // namespace
