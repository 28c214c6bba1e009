// nkrun over the real bus with real scripts: a client of the library sends
// it what the shell sends, and nksh itself drives the scripts and reads the
// live listings.
#define NK_MODULE "nkrun_test"
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nktest.h"
#include "rawconnection.h"

namespace {

bool contains(const std::string &s, const std::string &part) {
  return s.find(part) != std::string::npos;
}

using nktest::eventually;

// nksh -c with the words of a command: its standard output.
std::string sh(std::vector<std::string> words) {
  words.insert(words.begin(), "-c");
  return nktest::runProgram(nktest::builtProgram("nksh"), words).out;
}

// Repeats the command until its output contains part (or 20 s passed).
std::string shUntil(const std::vector<std::string> &words, const std::string &part) {
  std::string out;
  eventually([&] { return contains(out = sh(words), part); });
  return out;
}

// Runs nkbus and a client named "tester" for the duration of a test, with a
// folder for the scripts, the configurations and the logs; each test starts
// nkrun on its scripts.
class RunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { memInit(); }
  void SetUp() override {
    ASSERT_NE(mkdtemp(dir_), nullptr);
    write("nkrun.conf", "scriptDir=" + path("") + "\n");
    ASSERT_NO_FATAL_FAILURE(startBus());
  }
  void TearDown() override {
    if (client_) nkMsgClose(client_);
    stringFree(data_);
    if (runPid_ > 0) {
      EXPECT_EQ(nktest::stopProgram(runPid_), 0) << log(name_);
    }
    if (busPid_ > 0) nktest::stopProgram(busPid_);
    EXPECT_EQ(system(("rm -rf " + path("")).c_str()), 0);
  }

  void startBus() {
    busPid_ = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, path("nkbus.log"));
    ASSERT_TRUE(nktest::waitForPort(MSG_PORT)) << log("nkbus");
    client_ = nkMsgInit("tester");
    nkMsgTimeoutSet(client_, 20000000);  // a reply that never comes fails the test
  }
  // Writes the scripts that have a text and starts nkrun with args on all of
  // them, in the order given, and the configuration NAME.conf; waits until
  // it answers under name, which also names its log.
  void runScripts(const std::vector<std::pair<std::string, std::string>> &scripts,
                  std::vector<std::string> args = {}, const char *name = "nkrun") {
    name_ = name;
    args.insert(args.begin(), {"-fd", "-c", path(name) + ".conf"});
    for (const auto &script : scripts) {
      if (!script.second.empty()) write(script.first + ".lua", script.second);
      args.push_back(script.first);
    }
    runPid_ = nktest::startProgram(nktest::builtProgram("nkrun"), args, path(name) + ".log");
    ASSERT_TRUE(eventually([&] { return ask(202, "stat=mem,index=1")[0] == '0'; }, 30))
        << log(name);
  }

  std::string path(const std::string &name) { return std::string(dir_) + "/" + name; }
  void write(const std::string &name, const std::string &text) {
    FILE *f = fopen(path(name).c_str(), "w");
    ASSERT_NE(f, nullptr) << name;
    fputs(text.c_str(), f);
    fclose(f);
  }
  std::string log(const std::string &name) { return nktest::readFile(path(name) + ".log"); }

  std::string reply() { return static_cast<char *>(memGetData(data_)); }
  // A request: "TYPE TEXT" of its reply.
  std::string ask(int type, const std::string &text) {
    stringCopy(data_, text.c_str());
    int result = nkMsgRequest(client_, name_, nullptr, type, data_);
    return std::to_string(result) + " " + reply();
  }
  void tell(int type, const std::string &text) {
    stringCopy(data_, text.c_str());
    nkMsgSend(client_, name_, nullptr, type, data_);
  }
  // "TYPE TEXT" of the next one-way message for the tester, "nothing" when
  // none came within usec.
  std::string next(int usec = 20000000) {
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int type = -1;
    if (nkMsgPoll(client_, to, from, &type, data_, usec) != MSG_OK) return "nothing";
    return std::to_string(type) + " " + reply();
  }
  // True when nothing else came for the tester by the end of a request's
  // round trip (an answer to anything sent before would have come first).
  bool nothingElse() { return ask(202, "stat=mem,index=1")[0] == '0' && next(0) == "nothing"; }

  char dir_[23] = "/tmp/nkrun_test_XXXXXX";
  const char *name_ = "nkrun";  // the runtime's name on the bus
  MsgClient *client_ = nullptr;
  int data_ = stringAlloc(0);
  int busPid_ = -1, runPid_ = -1;
};

// Scripts of every kind in one runtime. It answers what the shell sends:
// requests always, one-way messages when they ask for something (an answer
// ending in '*' is a prefix). The shell reads the live listings, posts to
// the scripts and sets the tags that they follow; Lua that does not yield
// is stopped after the budget, and a context that only yields still lets
// the runtime answer.
TEST_F(RunTest, AnswersListsAndDrivesItsScripts) {
  // ThreadSanitizer loses a frame of its shadow stack at each yield (the
  // longjmp out of the uninstrumented Lua library is not matched to its
  // setjmp), so there a context that yields for ever overflows it.
#if defined(__SANITIZE_THREAD__)
  const bool forever = false;
#else
  const bool forever = true;
#endif
  const char waiter[] = R"(
nk.setname("waiter-1") print("hello", 1) print()
nk.filter("ping")
while true do last_event, last_param = nk.wait() end
)";
  const char ticker[] = R"(
nk.every("tick", 60, "p")
nk.snap("report", 10)
nk.timer("soon", 0)
nk.rule("hot", ">", "temp", 30)
nk.rule("fan", "and", "hot", "pump1", "fan1")
nk.rule("mirror", "copy", "fan1", "fan1.copy")
nk.waitfor("never")
)";
  // pcall cannot keep stubborn alive: once over budget every instruction fails.
  ASSERT_NO_FATAL_FAILURE(runScripts(
      {{"init", std::string(forever ? "kForever = true\n" : "kForever = false\n") +
                    "stolen_G, stolen_open, stolen_file = _G, io.open, io.stdout\n"
                    "stolen_clock = os.clock\n"},
       {"waiter", waiter},
       {"ticker", ticker},
       {"bad", "nk.sleep(0.01)\nlocal t = nil\nt.x = 1\n"},
       {"missing", ""},
       {"door", "while true do nk.set('seen', nk.waitfor('tag:door')) end"},
       {"spin", "nk.waitfor('spin')\nwhile true do end\n"},
       {"stubborn",
        "nk.waitfor('spin')\nwhile true do pcall(function() while true do end end) end\n"},
       {"yielder",
        "turns = 0\nwhile kForever or turns < 1000 do turns = turns + 1; nk.yield() end\n"}}));
  const std::string huge(65510, 'h'), pid = std::to_string(runPid_);
  std::string numbers;
  for (int i = 1; i <= 20000; i++) numbers += std::to_string(i) + "; ";
  const struct {
    bool oneWay;
    int type;
    std::string text, answer;  // "TYPE TEXT", "" for none
  } exchanges[] = {
      {true, 212, "tank_level=42", ""},
      {true, 212, "note=a=b,c", ""},
      {true, 213, "tank_level", "0 tank_level=42"},
      {true, 213, "note", "0 note=a=b,c"},
      // Sets that name no tag are dropped.
      {true, 212, "novalue", ""},
      {true, 212, "=x", ""},
      {true, 213, "novalue", "4 error=unknown tag,tag=novalue"},
      {true, 213, "", "4 error=unknown tag,tag="},
      // An error repeats at most 256 bytes of the request: repeated whole,
      // this one would pass the bus's line limit and take nkrun off the bus.
      {true, 213, huge, "4 error=unknown tag,tag=" + huge.substr(0, 256)},
      // A text with a line end cannot split a reply into two lines.
      {false, 210, "nk.set('x', 'a\\r\\ntester,nkrun,0,0,INJECTED') ", "0 "},
      {true, 213, "x", "0 x=a\\r\\ntester,nkrun,0,0,INJECTED"},
      {false, 210, "x = 5 ", "0 "},
      {false, 210, "print(1) ", "0 1"},  // print gives no values
      {false, 210, "x * 2, 'a' .. x, nil ", "0 10\ta5\tnil"},
      {false, 210, "print('a', 'b') print('c') return 7 ", "0 a\tb; c; 7"},
      {false, 210, "'one\\ntwo\\r\\nthree\\n' ", "0 one; two; three"},
      {false, 210, "", "0 "},
      {false, 210, "x = = 1 ", "0 error: lua:1: unexpected symbol near '='"},
      {false, 210, "error('boom') ", "0 error: lua:1: boom"},
      {false, 210, "print('before') error('two\\nlines', 0) ", "0 before; error: two; lines"},
      {false, 210, "error({}) ", "0 error: (error object is a table value)"},
      {false, 210, "nk.wait() ", "0 error: lua:1: nk.wait needs a script context"},
      {false, 210, "while true do end",
       "0 error: lua:1: ran for more than 1000 ms without yielding"},
      // Lines run in a sandbox: nothing that reaches files, programs or
      // loaders, however it is looked for; the libraries' names stay the
      // scripts'; each line gets fresh copies of the libraries it has.
      {false, 210, "os.exit(3) ", "0 error: lua:1: attempt to call field 'exit' (a nil value)"},
      {false, 210, "_G, load, loadstring, dofile, require, debug, io, package, collectgarbage ",
       "0 nil\tnil\tnil\tnil\tnil\tnil\tnil\tnil\tnil"},
      {false, 210, "os.time() > 0, os.getenv, string.dump, ('').dump, getmetatable('') ",
       "0 true\tnil\tnil\tnil\tnil"},
      {false, 210, "getmetatable(_ENV), stolen_G, stolen_open, stolen_file, stolen_clock ~= nil ",
       "0 false\tnil\tnil\tnil\ttrue"},
      {false, 210, "io = {} ", "0 error: lua:1: cannot assign to 'io' from a lua line"},
      {false, 210, "string.format = nil ", "0 "},
      {false, 210, "string.format('%d', 7), ('x'):rep(2) ", "0 7\txx"},
      {false, 210, "nk.start('../x') ",
       "0 error: lua:1: bad argument #1 to 'start' (not a script name (letters, digits, '_', "
       "'-' and '.', without '..'))"},
      {false, 210,
       "for _, n in ipairs{'/tmp/x', 'a/b', '..', '', 'x..y', ('x'):rep(256)} do "
       "assert(not pcall(nk.start, n), n) end ",
       "0 "},
      {false, 210, "x + 1 ", "0 6"},  // the state survives its errors
      // Numbers are stored as Lua writes them.
      {false, 210,
       "for k, v in pairs{w = -7, n = 99999999999999, m = 1e14, z = -0.0, f = 2.5} do "
       "nk.set(k, v) end return nk.get('w'), nk.get('n'), nk.get('m'), nk.get('z'), nk.get('f')",
       "0 -7\t99999999999999\t1e+14\t-0\t2.5"},
      // Long output is cut.
      {false, 210, "string.rep('x', 20000) ", "0 " + std::string(16384, 'x') + "..."},
      {false, 210, "for i = 1, 20000 do print(i) end ", "0 " + numbers.substr(0, 16384) + "..."},
      {false, 202, "stat=mem,index=1", "0 index=1,alloch=262144,freeh=*"},
      {false, 202, "stat=memblocks,index=0", "0 index=9,size=256,count=*"},
      {false, 202, "stat=memhandles,index=0", "0 index=1,module=*"},
      // The loop's profiles; they belong to nkrun's main thread, whose kernel
      // id is its pid.
      {false, 202, "stat=stats,index=0", "0 index=1,name=bus,thread=" + pid + ",*"},
      {false, 202, "stat=stats,index=1", "0 index=2,name=signal,*"},
      {false, 202, "stat=stats,index=2", "0 index=3,name=sleep,*"},
      {false, 202, "stat=stats,index=3", "0 index=4,name=timers,*"},
      {false, 202, "stat=stats,index=4", "0 index=5,name=contexts,*"},
      {false, 202, "stat=listpools,index=4", "0 index=0,list=rules,elements=*"},
      {false, 202, "stat=listpools,index=5", "4 index=0,error=no such list"},
      {false, 202, "stat=bogus,index=0", "4 error=unknown stat,stat=bogus"},
      // The rules: hot, read by fan, lists fan as its output; every kind, the
      // truth of texts, numbers against texts; a chain of 32 through tags is
      // followed to its end, and a loop of rules is cut instead of hanging
      // the runtime (which logs it).
      {false, 202, "stat=rules,index=0",
       "0 index=1,id=hot,ix=1,type=>,input1=temp,input2=30,output=fan,value=0"},
      {false, 202, "stat=rules,index=3", "0 index=0"},
      {false, 210,
       "function r(kind, a, b) n = (n or 0) + 1 local id = 'r' .. n nk.set(id .. 'a', a) "
       "nk.set(id .. 'b', b or '') nk.rule(id, kind, id .. 'a', b and id .. 'b' or id .. 'o', "
       "b and id .. 'o') return nk.get(id .. 'o') end",
       "0 "},
      {false, 210, "r('and', 'on', 'YES'), r('and', '1', 'off'), r('or', '', 'true')", "0 1\t0\t1"},
      {false, 210, "r('or', '0.0', 'no'), r('xor', '2', ''), r('xor', '-1', 'yes')", "0 0\t1\t0"},
      {false, 210, "r('<', '9', '10'), r('<', 'b', 'a'), r('<=', '1.0', '1')", "0 1\t0\t1"},
      {false, 210, "r('<=', '2', '1'), r('>', '10', '9'), r('>=', 'abc', 'abd')", "0 0\t1\t0"},
      {false, 210, "r('>=', '5', '5'), r('==', '1e1', '10'), r('==', 'x', 'y')", "0 1\t1\t0"},
      {false, 210, "r('~=', 'x', 'x'), r('~=', '1', '2'), r('not', 'off')", "0 0\t1\t1"},
      {false, 210, "r('not', 'on'), r('copy', 'text')", "0 0\ttext"},
      {false, 210,
       "for i = 0, 31 do nk.rule('k' .. i, 'copy', 'c' .. i, 'c' .. i + 1) end "
       "nk.set('c0', 'end') return nk.get('c32')",
       "0 end"},
      {false, 210, "nk.rule('l1', 'copy', 'lx', 'ly') nk.rule('l2', 'not', 'ly', 'lx')", "0 "},
      {false, 210, "nk.rule('', 'and', 'a', 'b')", "0 error: lua:1: nk.rule: a rule needs an id"},
      {false, 210, "nk.rule('r', 'nand', 'a')",
       "0 error: lua:1: bad argument #2 to 'rule' (unknown kind of rule)"},
      {false, 100, "x", "4 error=unknown request,type=100"},
      // Results are never answered, nor posts that name no event; unknown
      // one-way messages and posts nobody takes are.
      {true, 0, "a stray reply", ""},
      {true, 7, "a stray result", ""},
      {true, 201, "noevent", ""},
      {true, 251, "y", "4 error=unknown request,type=251"},
      {true, 201, "event=other", "6 error=not taken,event=other"},
  };
  for (const auto &e : exchanges) {
    std::string got, want = e.answer;
    if (e.oneWay) tell(e.type, e.text);
    if (!want.empty()) got = e.oneWay ? next() : ask(e.type, e.text);
    if (!want.empty() && want.back() == '*') {
      want.pop_back();
      got = got.substr(0, want.size());
    }
    EXPECT_EQ(got, want) << e.text.substr(0, 80);
  }
  EXPECT_TRUE(nothingElse());
  // rules: fan reads hot (an arrow from rule 1) and feeds mirror through its
  // tag; stats: the Lua lines and each timer that fired have a profile.
  const struct {
    std::string command;
    std::vector<std::string> parts;
  } listings[] = {
      {"ps",
       {"waiter-1                      |   1|wait   |main               |   4|ping",
        "ticker                        |   2|block  |main               |   8|B:never",
        "missing                       |   4|failed |***                |   0|",
        "bad                           |   3|failed |main               |   3|"}},
      {"events",
       {",name=ping,in0=waiter-1,blk0=No\n", ",name=never,in0=ticker,blk0=Yes\n", "\nindex=0\n"}},
      {"timers",
       {"\ntick                        60.000s  ", "PER          \n",
        "\nreport                      10.000s  ", "PER SNAP REAL\n"}},
      {"rules",
       {">               temp            30              1 =>            0\n",
        "and             <= 1            pump1           fan1            0\n",
        "copy            fan1                            fan1.copy       0\n"}},
      {"lists",
       {forever ? "waiting          7 " : "waiting          6 ", "unloaded         1 ",
        "rules            57 "}},
      {"stats", {"\ncontexts             ", "\nlua                  ", "\nsoon                 "}},
  };
  for (const auto &listing : listings) {
    std::string out = shUntil({listing.command}, listing.parts.back());
    for (const std::string &part : listing.parts) {
      EXPECT_TRUE(contains(out, part)) << listing.command << ": " << part << "\n" << out;
    }
  }
  for (const char *line :
       {"bad.lua:3: attempt to index local 't' (a nil value)",
        "nkrun: rule l1: chain deeper than 32, not evaluated", "print from waiter-1: hello\t1\n",
        "print from waiter-1: \n", "event other (-1) ignored"}) {
    EXPECT_TRUE(contains(log("nkrun"), line)) << line;
  }
  // A post carries its sender's name.
  EXPECT_EQ(sh({"post", "ping", "reply"}), "event=ping\n");
  EXPECT_EQ(shUntil({"lua", "return", "last_param"}, "nksh-").rfind("nksh-", 0), 0u);
  EXPECT_EQ(sh({"set", "door", "open"}), "door=open\n");
  EXPECT_EQ(shUntil({"get", "seen"}, "open"), "seen=open\n");
  // The rule chain follows its inputs: temp > 30 and pump1 give fan1.
  sh({"set", "temp", "35"});
  sh({"set", "pump1", "on"});
  EXPECT_EQ(shUntil({"get", "fan1.copy"}, "=1"), "fan1.copy=1\n");
  sh({"set", "temp", "20.5"});
  EXPECT_EQ(shUntil({"get", "fan1"}, "=0"), "fan1=0\n");
  EXPECT_EQ(sh({"post", "spin", "reply"}), "event=spin\n");
  std::string ps =
      shUntil({"ps"}, "stubborn                      |   7|failed |main               |   2|");
  EXPECT_TRUE(contains(ps, "spin                          |   6|failed |main               |   2|"))
      << ps;
  if (forever) {
    EXPECT_TRUE(contains(ps, "yielder                       |   8|yield  |main ")) << ps;
  }
  EXPECT_TRUE(contains(log("nkrun"), "spin.lua:2: ran for more than 1000 ms without yielding"));
  EXPECT_EQ(sh({"lua", "return", "turns", ">", "0"}), "true\n");
}

// ps lists the contexts by position (runnable, waiting, then those that
// failed to load) while they come and go between its requests: a row is the
// context that a walk from the start finds at its index, after a context
// ended, one moved to the back of the waiting list and one was started. A
// step asks for a row, or runs a Lua line and waits until `until` is true.
// A rule without an output lists the first rule that reads it, as the rules
// stand at each request.
TEST_F(RunTest, ListingsFollowContextsAndRulesThatChangeBetweenRequests) {
  write("e.lua", "started_e = true nk.waitfor('never')\n");
  ASSERT_NO_FATAL_FAILURE(runScripts({{"a", "nk.waitfor('go-a') moved_a = true nk.waitfor('x')\n"},
                                      {"b", "nk.waitfor('go-b') ended_b = true\n"},
                                      {"c", "nk.waitfor('never')\n"},
                                      {"d", "nk.waitfor('never')\n"},
                                      {"missing", ""}}));
  auto row = [&](int index) {
    std::string r = ask(209, "index=" + std::to_string(index));
    char name[64] = "end";
    sscanf(r.c_str(), "%*d index=%*d,name=%63[^,]", name);
    return r.substr(0, 2) + name;
  };
  ASSERT_TRUE(eventually([&] { return row(3) == "0 d"; })) << row(3);
  const struct {
    int index;
    const char *line, *until, *want;
  } steps[] = {
      {0, "", "", "0 a"},
      {1, "", "", "0 b"},
      {-1, "nk.post('go-b')", "ended_b", ""},  // a c d
      {2, "", "", "0 d"},
      {-1, "nk.post('go-a')", "moved_a", ""},  // c d a
      {3, "", "", "0 missing"},
      {-1, "nk.start('e')", "started_e", ""},  // c d a e
      {3, "", "", "0 e"},
      {0, "", "", "0 c"},
      {1, "", "", "0 d"},
      {2, "", "", "0 a"},
      {3, "", "", "0 e"},
      {4, "", "", "0 missing"},
      {5, "", "", "5 end"},
      {1, "", "", "0 d"},
  };
  for (const auto &step : steps) {
    if (step.index >= 0) {
      EXPECT_EQ(row(step.index), step.want) << step.index;
      continue;
    }
    ask(210, step.line);
    EXPECT_TRUE(eventually([&] { return ask(210, step.until) == "0 true"; })) << step.line;
  }
  const std::string m0 = "0 index=1,id=m0,ix=1,type=copy,input1=mx,input2=,output=";
  ask(210, "nk.rule('m0', 'copy', 'mx') nk.rule('m1', 'not', 'm0') nk.rule('m2', 'copy', 'm0')");
  EXPECT_EQ(ask(202, "stat=rules,index=0").rfind(m0 + "m1,", 0), 0u);
  ask(210, "nk.rule('m1', 'not', 'mx')");
  EXPECT_EQ(ask(202, "stat=rules,index=0").rfind(m0 + "m2,", 0), 0u);
}

// A new watcher gets the answer, then every tag; after that each write that
// changes a value (a set, a rule's output), and nothing for one that does
// not, nor for a renewal, nor for a value the bus cannot carry (a line past
// the bus's limit would take nkrun off the bus); a line break goes escaped;
// every tag again for a new watch. The watchers are bounded.
// The scripts outlive the bus: nkrun keeps running them and registers again
// under the name it was given once a bus is back. A stop does not wait for
// Lua that does not yield, however large the budget. The configuration can
// give shell lines the full globals.
TEST_F(RunTest, WatchersAndScriptsThatOutliveTheBus) {
  write("rt2.conf", "scriptDir=" + path("") + "\nluaLinesUnrestricted=1\n");
  ASSERT_NO_FATAL_FAILURE(
      runScripts({{"count", "n = 0 while true do n = n + 1 nk.sleep(0.01) end\n"},
                  {"spin", "nk.waitfor('spin') nk.log('spinning') while true do end\n"}},
                 {"-n", "rt2", "-b", "1000000"}, "rt2"));
  EXPECT_EQ(ask(210, "type(os.execute), type(io.popen) "), "0 function\tfunction");
  auto told = [&](const std::vector<std::string> &tags) {
    for (const std::string &tag : tags) EXPECT_EQ(next(), "215 " + tag);
  };
  tell(212, "pump=on");
  EXPECT_EQ(ask(210, "nk.rule('hot', '>', 'temp', 30, 'fan') "), "0 ");
  EXPECT_EQ(ask(214, "watch"), "0 tags=2");
  told({"fan=0", "pump=on"});
  EXPECT_EQ(ask(214, "renew"), "0 tags=2");
  for (const char *set : {"pump=on", "pump=off", "temp=35", "temp=36"}) tell(212, set);
  told({"pump=off", "temp=35", "fan=1", "temp=36"});
  // The longest value that fits beside the longest name a watcher can have.
  EXPECT_EQ(ask(210, "nk.set('v', string.rep('v', 65264)) "), "0 ");
  told({"v=" + std::string(65264, 'v')});
  EXPECT_EQ(ask(210, "nk.set('v', string.rep('w', 65265)) nk.set('v', 'a\\nb') "), "0 ");
  told({"v=a\\nb"});
  EXPECT_TRUE(nothingElse());
  EXPECT_EQ(ask(214, "watch"), "0 tags=4");
  told({"fan=1", "pump=off", "temp=36", "v=a\\nb"});
  std::deque<nktest::RawConnection> others(16);
  for (int i = 0; i < 16; i++) {
    std::string name = "w" + std::to_string(i);
    others[i].registerAs(name);
    others[i].send("rt2," + name + ",214,2,watch\r\n");
    EXPECT_EQ(others[i].line(),
              name + (i < 15 ? ",rt2,0,2,tags=4\r\n" : ",rt2,4,2,error=too many watchers\r\n"));
  }
  nkMsgClose(client_);
  client_ = nullptr;
  EXPECT_EQ(nktest::stopProgram(busPid_), 0);
  EXPECT_TRUE(eventually([&] {
    return contains(log("rt2"), "nkrun: bus connection closed by the server, registering again\n");
  }));
  usleep(300000);  // at least one try finds no bus
  ASSERT_NO_FATAL_FAILURE(startBus());
  EXPECT_TRUE(eventually([&] { return ask(210, "n > 10") == "0 true"; })) << log("rt2");
  EXPECT_TRUE(eventually([&] {  // posted until the script waits for it and takes it
    tell(201, "event=spin");
    return next() == "0 event=spin";
  }));
  EXPECT_TRUE(eventually([&] { return contains(log("rt2"), "spin: spinning"); }));
  kill(runPid_, SIGINT);
  int status = -1;
  if (!eventually([&] { return waitpid(runPid_, &status, WNOHANG) == runPid_; })) {
    nktest::stopProgram(runPid_);
  }
  runPid_ = -1;
  EXPECT_EQ(status, 0) << log("rt2");
  for (const char *line : {"nkrun: signal 2, exiting\n", "spin.lua:1: the runtime is stopping"}) {
    EXPECT_TRUE(contains(log("rt2"), line)) << line << "\n" << log("rt2");
  }
  EXPECT_TRUE(contains(log("nkbus"), "nkbus: rt2 signed off\n")) << log("nkbus");
}

// One local process misbehaving in every way it can on the bus: idle
// connections that never register, a consumer that never reads, lines in
// another process's name, requests past the line limit, stray lines for the
// tester, process control in a lua line. The runtime stays registered, the
// shell keeps getting its answers, and the tester's requests still match.
TEST_F(RunTest, TheBusRuntimeAndShellKeepServingWhileAClientMisbehaves) {
  ASSERT_NO_FATAL_FAILURE(
      runScripts({{"waiter", "nk.setname('waiter-1') while true do nk.wait() end\n"}}));
  ASSERT_TRUE(contains(shUntil({"ps"}, "waiter-1"), "waiter-1"));
  tell(212, "pump1=off");
  std::atomic<bool> done{false}, idleOpen{false};
  std::thread hostile([&] {
    nktest::RawConnection sink, bad;
    sink.registerAs("sink");
    bad.registerAs("hostile");
    // All at once before the shells come, so that each shell's connection is
    // the newest when it registers.
    std::deque<nktest::RawConnection> idle(300);
    idleOpen = true;
    bad.send("nkrun,nkrun,212,0,pump1=hacked\r\nnkrun,tester,210,5,os.exit(3)\r\n");
    bad.send("nkrun,hostile,210,6,os.exit(3)\r\n");
    // The kernel's buffers take some megabytes before the bus holds any.
    std::string flood = "sink,hostile,0,0," + std::string(1000, 'f') + "\r\n";
    for (int i = 0; i < 20000 && (i % 500 || !contains(log("nkbus"), "(sink) does not")); i++) {
      bad.send(flood);
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
  std::string missed;
  for (int asked = 0; !done || asked < 3; asked++) {
    std::string out = sh({"ps"});
    if (!contains(out, "waiter-1")) missed += out;
  }
  hostile.join();
  EXPECT_EQ(missed, "");
  EXPECT_EQ(ask(210, "nk.get('pump1')"), "0 off");
  EXPECT_EQ(sh({"get", "pump1"}), "pump1=off\n");
  EXPECT_TRUE(eventually([&] { return contains(log("nkbus"), "sent more than 64 KiB"); }));
  for (const char *line : {"(sink) does not read its lines", "(hostile) sent a line as nkrun"}) {
    EXPECT_TRUE(contains(log("nkbus"), line)) << line << "\n" << log("nkbus");
  }
  EXPECT_FALSE(contains(log("nkbus"), "nkrun signed off"));
}

// Scripts as careless and hostile authors write them: contexts that wake
// each other for ever, a script that starts itself, values and listings past
// what a bus line carries, more event names than the table takes, text
// conversions that give no text, print of thousands of values, a dispatch of
// a name that another name extends, a wait refused under pcall. The runtime
// answers throughout, and a stop ends it even while Lua is stuck in a C call.
TEST_F(RunTest, NoScriptTakesTheRuntimeDown) {
  write("nkrun.conf", "scriptDir=" + path("") + "\nluaMaxContexts=600\n");
  const char odd[] = R"(
nk.filter('a,b')
local ok, err = nk.dispatch('a')
local t = {}
for i = 1, 5000 do t[i] = i end
print(unpack(t))
local sorted, why = pcall(table.sort, {3, 1, 2}, function(a, b) nk.sleep(0.01) return a < b end)
nk.timer('after', 0.05)
nk.filter('after')
odd = table.concat({tostring(ok), err, tostring(sorted), why:match('attempt.*'), (nk.wait())}, '|')
)";
  const char names[] = R"(
nk.waitfor('names')
for i = 1, 40000 do
  local ok, err = pcall(nk.set, 'n' .. i, i)
  if not ok then names = err:gsub("'n%d+'", "'n'") break end
  if i % 1000 == 0 then nk.yield() end
end
names = names .. '|' .. select(2, pcall(nk.filter, 'new-name')):match('too.*')
)";
  // Each yield costs ThreadSanitizer a frame of its shadow stack (see above):
  // there the contexts take a few hundred turns, not turns without end.
#if defined(__SANITIZE_THREAD__)
  const std::string rounds = "kRounds = 300\n";
#else
  const std::string rounds = "kRounds = math.huge\n";
#endif
  ASSERT_NO_FATAL_FAILURE(runScripts(
      {{"self", rounds + "nk.filter('pp') nk.post('pp', 0) self_n = 0 while self_n < kRounds do "
                         "local e, p = nk.wait() if e .. p ~= 'pp' .. self_n then bad = e .. p end "
                         "self_n = self_n + 1 nk.post('pp', self_n) end\n"},
       {"pong", "while true do nk.post('to-a', nk.waitfor('to-b')) end\n"},
       {"ping",
        "ping_n = 0 while ping_n < kRounds do nk.post('to-b', ping_n) "
        "if nk.waitfor('to-a') ~= tostring(ping_n) then bad = ping_n end "
        "ping_n = ping_n + 1 end\n"},
       {"rec",
        "rec_n = (rec_n or 0) + 1 local id, err = nk.start('rec') rec_err = rec_err or err "
        "nk.waitfor('never')\n"},
       {"idle", "nk.waitfor('never')\n"},
       {"odd", odd},
       {"names", names},
       {"stuck",
        "nk.waitfor('stuck') nk.log('stuck') "
        "string.find(string.rep('a', 40), string.rep('a*', 8) .. 'b')\n"}}));
  const std::string starts =
      "for i = 1, 400 do local id, e = nk.start('idle') if not id then return i, e end end ";
  EXPECT_TRUE(eventually([&] {
    return ask(210, "math.min(self_n, ping_n) >= math.min(kRounds, 20000) and bad") == "0 nil";
  }));
  const struct {
    bool oneWay;
    int type;
    std::string text, answer;  // "TYPE TEXT", "" for none
  } exchanges[] = {
      {false, 210, "rec_n, rec_err ",
       "0 257\ttoo many starts in one turn (256): wait or yield first"},
      {false, 210, starts, "0 257\ttoo many starts in one turn (256): wait or yield first"},
      {false, 210, "nk.set('huge', string.rep('h', 70000)) nk.rule('big', 'copy', 'huge') ", "0 "},
      {true, 213, "huge", "4 error=value too long,tag=huge,bytes=70000"},
      {false, 210, "x = setmetatable({}, {__tostring = function() return {} end}) return x ",
       "0 error: '__tostring' must return a string"},
      {false, 210, "print(x) ", "0 error: lua:1: '__tostring' must return a string"},
      {false, 210, "nk.id() ", "0 nil"},
  };
  for (const auto &e : exchanges) {
    std::string got;
    if (e.oneWay) tell(e.type, e.text);
    got = e.oneWay ? next() : ask(e.type, e.text);
    EXPECT_EQ(got, e.answer) << e.text.substr(0, 80);
  }
  std::string oddOut;
  eventually([&] { return (oddOut = ask(210, "odd ")) != "0 nil"; });
  EXPECT_EQ(oddOut,
            "0 false|no handler for a|false|attempt to yield across a C-call boundary|after");
  const std::string ruleHead = "0 index=1,id=big,ix=1,type=copy,input1=huge,input2=,";
  std::string rule = ask(202, "stat=rules,index=0");
  EXPECT_EQ(rule.substr(0, ruleHead.size()), ruleHead);
  EXPECT_TRUE(rule.size() < 64 * 1024 && rule.substr(rule.size() - 4) == "h...") << rule.size();
  EXPECT_TRUE(eventually([&] { return contains(ask(210, starts), "too many contexts (600)"); }));
  EXPECT_TRUE(contains(log("nkrun"), "print from odd: 1\t2\t3\t"));
  tell(201, "event=names");
  EXPECT_EQ(next(), "0 event=names");
  EXPECT_TRUE(eventually([&] { return ask(210, "names ~= nil") == "0 true"; }, 120));
  EXPECT_EQ(ask(210, "names "),
            "0 too many event names (30000): tag 'n' not created|too many event "
            "names (30000): 'new-name' not registered");
  tell(212, "newtag=1");
  tell(213, "newtag");
  EXPECT_EQ(next(), "4 error=unknown tag,tag=newtag");
  tell(213, "n1");
  EXPECT_EQ(next(), "0 n1=1");
  EXPECT_TRUE(contains(log("nkrun"), " names are registered\n"));
  // Stuck in the C library: the stop comes after the grace, as if by the signal.
  tell(201, "event=stuck");
  EXPECT_EQ(next(), "0 event=stuck");
  EXPECT_TRUE(eventually([&] { return contains(log("nkrun"), "stuck: stuck"); }));
  kill(runPid_, SIGTERM);
  int status = -1;
  if (!eventually([&] { return waitpid(runPid_, &status, WNOHANG) == runPid_; })) {
    nktest::stopProgram(runPid_);
  }
  runPid_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_TRUE(contains(log("nkrun"), "still running 2000 ms after signal 15")) << log("nkrun");
}

TEST(RunOptionsTest, BadOptionsAreRefused) {
  const std::vector<std::string> refused[] = {
      {"-b", "0"}, {"-b", "2000001"}, {"-n", "a,b"}, {"-n", ""}, {"script", "-d"}};
  for (std::vector<std::string> args : refused) {
    args.insert(args.begin(), "-f");  // a program that runs anyway is stopped after 10 s
    nktest::ProcessResult p = nktest::runProgram(nktest::builtProgram("nkrun"), args, "", 10);
    EXPECT_EQ(p.exitCode(), 1) << args[1] << " " << args[2] << "\n" << p.out;
  }
}

// The bindings, exercised by scripts: each check that fails is reported in
// the tag "failures" (empty when all passed).
TEST_F(RunTest, BindingsWorkFromScripts) {
  const char checks[] = R"(
local failures = {}
local function check(ok, what) if not ok then failures[#failures + 1] = what end end
check(nk.request("level", "tank1") == "level of tank1", "request")
check(nk.timer("once", 0.05, "fired") == true and nk.waitfor("once") == "fired", "one-shot timer")
nk.filter("t1") nk.filter("t2") nk.timer("t1", 0.01, "1") nk.timer("t2", 0.01, "2")
local e1, p1 = nk.wait()
local e2, p2 = nk.wait()
check(e1 .. p1 .. e2 .. p2 == "t11t22", "timer events due together")
local t0 = nk.now()
nk.sleep(0.1)
check(nk.now() - t0 >= 0.09, "sleep")
nk.every("beat", 0.01)
nk.waitfor("beat"); nk.waitfor("beat")
nk.stoptimer("beat")
check(not pcall(nk.sleep, -1) and not pcall(nk.timer, "t", 3e9), "seconds out of range")
check(not pcall(nk.every, "e", 0), "periodic timer without an interval")
check(nk.addstate("idle") and nk.addstate("busy"), "addstate")
check(nk.setstate("idle") and not nk.setstate("nosuch"), "setstate")
local name, index = nk.state()
check(name == "idle" and index == 1 and nk.findstate("BUSY") == 2, "state")
check(nk.findstate("") == 0 and select("#", nk.findstate("nosuch")) == 1, "findstate")
check(nk.handler("go", function(e, p) nk.setstate("busy"); handled = p end, "idle"), "handler")
nk.handler("go", function(e, p) error("failing handler") end, "busy")
check(nk.dispatch("go", "x") == true and handled == "x" and nk.state() == "busy", "dispatch")
-- a failing handler is logged and returns nothing; the script goes on
check(select("#", nk.dispatch("go", "y")) == 0, "failed handler")
check(select(1, nk.dispatch("unknown")) == false, "dispatch without interest")
check(select(1, nk.handler("go", print, "nosuch")) == false, "handler in unknown state")
nk.filter("q") nk.post("q", "1")
local none, pending = nk.block("z", "string", true)
check(select("#", nk.post("q")) == 1 and none == nil and pending == "events pending", "block any")
nk.setinfo("role", "checker")
nk.setname("checks")
check(nk.getinfo("checks", "role") == "checker", "info")
local myId, myName = nk.id()
check(myId == 1 and myName == "checks", "id")
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
check(type(io.open) == "function" and type(string.dump) == "function", "the full library")
nk.set("failures", table.concat(failures, ";"))
)";
  write("echo.lua", "nk.post('echo', table.concat({...}, ' '))\n");
  write("boom.lua", "error('boom')\n");
  // Names with line ends show escaped in the listings, each row one line.
  const char lineEnds[] = "nk.setname('c\\r\\nd') nk.filter('e\\nf') nk.waitfor('g\\rh')\n";
  ASSERT_NO_FATAL_FAILURE(runScripts({{"server",
                                       "nk.filter('level')\nwhile true do nk.reply('level', 'level "
                                       "of ' .. select(2, nk.wait())) end\n"},
                                      {"checks", checks},
                                      {"lineends", lineEnds},
                                      {"children",
                                       "nk.waitfor('children') os.execute('ls -l "
                                       "/proc/self/fd/ >" +
                                           path("fds") + "') nk.set('listed', 1)"}}));
  EXPECT_EQ(shUntil({"get", "failures"}, "failures="), "failures=\n") << log("nkrun");
  // A program a script starts does not inherit the runtime's bus connection
  // (nor any other socket of the library).
  EXPECT_EQ(sh({"post", "children", "reply"}), "event=children\n");
  EXPECT_EQ(shUntil({"get", "listed"}, "="), "listed=1\n");
  std::string fds = nktest::readFile(path("fds"));
  EXPECT_TRUE(contains(fds, "0 -> /dev/null") && !contains(fds, "socket:")) << fds;
  // Of the 40 failed contexts the newest 32 stay listed, beside the server.
  EXPECT_TRUE(contains(sh({"lists"}), "\nwaiting          34 ")) << sh({"lists"});
  EXPECT_TRUE(contains(sh({"ps"}),
                       "\nc\\r\\nd                        |   2|block  |main      "
                       "         |   1|B:g\\rh    "))
      << sh({"ps"});
  EXPECT_TRUE(contains(sh({"events"}), ",name=e\\nf,in0=c\\r\\nd,")) << sh({"events"});
}

}  // namespace
