// nkbus over real TCP: raw sockets and clients of the library against the
// server process.
#define NK_MODULE "nkbus_test"
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nktest.h"
#include "rawconnection.h"

namespace {

using Raw = nktest::RawConnection;

// Runs nkbus on 127.0.0.1 (registration deadline 2 s, output limit 256 KiB,
// an empty configuration) for the duration of a test; a test may start more
// on other addresses.
class BusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { memInit(); }
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start("127.0.0.1", {"-r", "2", "-o", "256", "-c", "/dev/null"}));
  }
  void TearDown() override {
    for (size_t i = 0; i < buses_.size(); i++) stop(i);
  }
  void stop(size_t bus) {
    int status = nktest::stopProgram(buses_[bus].first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << log(bus);
    unlink(buses_[bus].second.c_str());
  }
  // The only bus, on 127.0.0.1, stopped and started again with args (run
  // by nativePrefix).
  void restart(const std::vector<std::string> &args,
               const std::vector<std::string> &nativePrefix = {}) {
    stop(0);
    buses_.clear();
    start("127.0.0.1", args, nativePrefix);
  }
  // Starts a bus with NK_BUS_ADDRESS=address (the child inherits it) and
  // waits until it listens there.
  void start(const std::string &address, std::vector<std::string> args,
             const std::vector<std::string> &nativePrefix = {}) {
    std::string path = "/tmp/nkbus_test_" + std::to_string(getpid()) + "_" + address + ".log";
    args.insert(args.begin(), {"-f", "-d"});
    setenv("NK_BUS_ADDRESS", address.c_str(), 1);
    buses_.emplace_back(
        nktest::startProgram(nktest::builtProgram("nkbus"), args, path, nativePrefix), path);
    unsetenv("NK_BUS_ADDRESS");
    ASSERT_TRUE(eventually("listening on " + address + ":4242\n", buses_.size() - 1)) << log();
  }
  std::string log(size_t bus = 0) { return nktest::readFile(buses_[bus].second); }
  bool logged(const std::string &part, size_t bus = 0) {
    return log(bus).find(part) != std::string::npos;
  }
  // True once the log holds part (polled for up to 20 s).
  bool eventually(const std::string &part, size_t bus = 0) {
    return nktest::eventually([&] { return logged(part, bus); });
  }
  std::vector<std::pair<int, std::string>> buses_;  // pid and log of each
};

TEST_F(BusTest, RoutesLinesByTheRegisteredName) {
  Raw a, b;
  a.registerAs("alpha");
  b.send("base,beta,100,4,\r\n");
  EXPECT_EQ(b.line(), "beta,base,0,4,\r\n");
  a.send("beta,alpha,202,2,stat=mem,index=1\r\nbeta,alpha,-2147483648,2147483647,x\r\n");
  EXPECT_EQ(b.line(), "beta,alpha,202,2,stat=mem,index=1\r\n");
  EXPECT_EQ(b.line(), "beta,alpha,-2147483648,2147483647,x\r\n");
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
  // A line comes from the name its connection registered, or goes nowhere:
  // only a request is answered.
  a.send("beta,gamma,210,6,spoofed\r\nbeta,gamma,212,0,spoofed\r\nalpha,alpha,0,7,own\r\n");
  EXPECT_EQ(a.line(), "alpha,base,3,6,error=sender is not the registered name,sender=gamma\r\n");
  EXPECT_EQ(a.line(), "alpha,alpha,0,7,own\r\n");
  // An unknown request to the server is answered, unless it has no seq.
  a.send("base,alpha,150,0,\r\nbase,alpha,150,8,\r\n");
  EXPECT_EQ(a.line(), "alpha,base,3,8,error=unknown request to base\r\n");
  // Signing off frees the name, and so does a close.
  a.send("base,alpha,102,0,\r\n");
  b.send("alpha,beta,210,5,x\r\n");
  EXPECT_EQ(b.line(), "beta,base,3,5,error=no process named alpha\r\n");
  {
    Raw quiet;
    quiet.registerAs("quiet");
  }
  EXPECT_TRUE(eventually("(quiet) closed the connection"));
  // A bus on another address shares nothing with this one: a client goes to
  // the bus of its NK_BUS_ADDRESS, a name registers on both, and a line
  // stays on its bus.
  ASSERT_NO_FATAL_FAILURE(start("127.0.0.2", {}));
  setenv("NK_BUS_ADDRESS", "127.0.0.2", 1);
  MsgClient *beta = nkMsgTryInit("beta"), *gamma = nkMsgTryInit("gamma");
  unsetenv("NK_BUS_ADDRESS");
  ASSERT_TRUE(beta && gamma);
  b.send("gamma,beta,210,1,x\r\n");
  EXPECT_EQ(b.line(), "beta,base,3,1,error=no process named gamma\r\n");
  nkMsgClose(beta);
  nkMsgClose(gamma);
}

// Connections that never register cannot lock others out: when descriptors
// run short the oldest is closed, and each is closed after the deadline.
// Dropped lines cannot flood the log: at most 10 a second are logged, and
// the next one logged in a later second counts the others.
TEST_F(BusTest, UnregisteredConnectionsCannotLockOthersOut) {
  std::deque<Raw> idle(300);
  Raw late;
  late.registerAs("late");
  EXPECT_TRUE(idle.front().closedByPeer());
  idle.clear();
  for (int i = 0; i < 30; i++) late.send("ghost,late,0,0,x\r\n");
  Raw lazy;
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(lazy.closedByPeer());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(logged("did not register in time, disconnected"));
  late.send("ghost,late,0,0,x\r\nlate,late,0,0,still served\r\n");
  EXPECT_EQ(late.line(), "late,late,0,0,still served\r\n");
  int shown = 0, counted = 0, more = 0;
  for (const std::string &line : nktest::lines(log())) {
    shown += line.find("no process named ghost, line from late dropped") != std::string::npos;
    size_t at = line.find("nkbus: ");
    if (at != std::string::npos && sscanf(line.c_str() + at, "nkbus: %d more", &more) == 1) {
      counted += more;
    }
  }
  EXPECT_GT(counted, 0);
  EXPECT_EQ(shown + counted, 31);
}

// Nothing a peer does stops the server or holds up the other peers.
TEST_F(BusTest, MisbehavingPeersAreCutOffAndTheOthersGoOn) {
  const std::string malformed[] = {
      "base,x,100,notanumber,\r\n",
      "base,x,-2147483649,1,\r\n",
      "base,x,100\r\n",
      ",x,100,1,\r\n",
      "base," + std::string(MSG_NAME_SIZE, 'n') + ",100,1,\r\n",
      "base,x,100,1,a\rb\r\n",
      std::string("base,x,100,1,a\0b\r\n", 19),
      std::string(70 * 1024, 'x'),  // no line end
  };
  for (const std::string &line : malformed) {
    Raw peer;  // registered: not cut off by the deadline
    peer.registerAs("peer");
    peer.send(line);
    EXPECT_TRUE(peer.closedByPeer()) << line.substr(0, 30);
  }
  Raw sink, source, other;
  sink.registerAs("sink");
  source.registerAs("source");
  other.registerAs("other");
  std::string full = "sink,source,0,0,";  // 64 KiB a line, exactly
  full += std::string(64 * 1024 - full.size(), 'f');
  source.send(full + "\r\n");
  EXPECT_EQ(sink.line(), full + "\r\n");
  // A consumer that does not read is cut off once 256 KiB wait for it.
  std::string line = "sink,source,0,0," + std::string(1000, 's') + "\r\n";
  for (int i = 0; i < 20000 && !logged("output limit passed"); i++) source.send(line);
  EXPECT_TRUE(logged("(sink) does not read its lines (output limit passed), disconnected"));
  // Sends a line and vanishes at once: the line is still delivered, and the
  // lines for a vanished peer cannot kill the server.
  {
    Raw once;
    once.registerAs("once");
    once.send("other,once,210,2,hello\r\n");
  }
  EXPECT_EQ(other.line(), "other,once,210,2,hello\r\n");
  for (int i = 0; i < 50; i++) other.send("once,other,0,0," + std::string(1000, 'r') + "\r\n");
  // One byte more, even with its line end in the same receive, and the
  // sender is cut off.
  source.send(full + "g\r\n");
  EXPECT_TRUE(source.closedByPeer());
  other.send("other,other,0,0,still served\r\n");
  EXPECT_EQ(other.line(), "other,other,0,0,still served\r\n");
  for (const char *why : {"sent a malformed line", "sent more than 64 KiB without a line end",
                          "sent a line longer than 64 KiB"}) {
    EXPECT_TRUE(logged(why)) << why << "\n" << log();
  }
}

// The user tests make sockets of the user nobody: its uid, or -1 when the
// test cannot (not root, or no such user).
int nobodyUid() {
  const struct passwd *pw = getpwnam("nobody");
  return geteuid() == 0 && pw ? static_cast<int>(pw->pw_uid) : -1;
}

// A statistics line with the descriptor number (into *fd) shown as "#".
std::string withoutFd(std::string line, int *fd) {
  size_t at = line.find(",fd=");
  if (at == std::string::npos) return line;
  *fd = atoi(line.c_str() + at + 4);
  return line.replace(at + 4, line.find(',', at + 4) - at - 4, "#");
}

// The fields of a bus line: to, from, type, seq and the data.
std::vector<std::string> fields(const std::string &line) {
  std::vector<std::string> f;
  size_t at = 0;
  for (int i = 0; i < 4; i++) {
    size_t comma = std::min(line.find(',', at), line.size());
    f.push_back(line.substr(at, comma - at));
    at = std::min(comma + 1, line.size());
  }
  f.push_back(line.substr(at));
  return f;
}

// Another local user (nobody: the guest) may only read. For each line of
// the guest: whether the runtime (played by the test) gets it, and what the
// guest gets back. Each row ends with a probe: a line the runtime gets and a
// request the bus answers, so that what comes before them is all there was.
TEST_F(BusTest, AnotherUserMayOnlyRead) {
  const int nobody = nobodyUid();
  if (nobody < 0) GTEST_SKIP() << "needs root and the user nobody";
  {
    Raw runtime, guest(nobody);
    runtime.registerAs("nkrun");
    guest.registerAs("guest");
    auto refused = [](int type, int seq) {
      return "guest,base,3," + std::to_string(seq) +
             ",error=not permitted,type=" + std::to_string(type) + "\r\n";
    };
    const struct {
      const char *name, *line;
      bool forwarded;
      std::string answer;
    } cases[] = {
        {"stat", "nkrun,guest,202,2,stat=mem,index=1\r\n", true, ""},
        {"ps", "nkrun,guest,209,3,index=0\r\n", true, ""},
        {"get", "nkrun,guest,213,0,x\r\n", true, ""},
        {"post", "nkrun,guest,201,0,event=e\r\n", false, refused(201, 0)},
        {"lua", "nkrun,guest,210,4,os.exit()\r\n", false, refused(210, 4)},
        {"set", "nkrun,guest,212,0,x=1\r\n", false, refused(212, 0)},
        {"watch", "nkrun,guest,214,5,watch\r\n", false, refused(214, 5)},
        {"tag value", "nkrun,guest,215,0,x=1\r\n", false, refused(215, 0)},
        {"reply", "nkrun,guest,0,6,forged\r\n", false, refused(0, 6)},
        {"get, no such name", "ghost,guest,213,7,x\r\n", false,
         "guest,base,3,7,error=no process named ghost\r\n"},
        {"lua, no such name", "ghost,guest,210,8,x\r\n", false, refused(210, 8)},
        {"own row", "base,guest,202,9,stat=connections,index=1\r\n", false,
         "guest,base,0,9,index=0,fd=#,name=guest,user=nobody,uid=" + std::to_string(nobody) +
             ",trusted=no,lines=35,refused=7\r\n"},
    };
    for (const auto &row : cases) {
      SCOPED_TRACE(row.name);
      guest.send(std::string(row.line) + "nkrun,guest,213,0,probe\r\nghost,guest,213,99,probe\r\n");
      if (row.forwarded) {
        EXPECT_EQ(runtime.line(), row.line);
      }
      EXPECT_EQ(runtime.line(), "nkrun,guest,213,0,probe\r\n");
      int fd = -1;
      if (!row.answer.empty()) {
        EXPECT_EQ(withoutFd(guest.line(), &fd), row.answer);
      }
      EXPECT_EQ(guest.line(), "guest,base,3,99,error=no process named ghost\r\n");
    }
    EXPECT_TRUE(logged("(guest, user nobody) may not send type 210 to nkrun, refused"));
    // The kernel is asked through netlink, which qemu-user does not carry.
    EXPECT_EQ(logged("users are read from /proc/net/tcp"), nktest::emulated());
    runtime.send("guest,nkrun,0,2,answered\r\n");
    EXPECT_EQ(guest.line(), "guest,nkrun,0,2,answered\r\n");
    // The device's service names are not for it; a trusted connection
    // takes any free name, and a sign-off frees the guest's.
    Raw intruder(nobody), service;
    for (const std::string name : {"nkrun", "nkbridge"}) {
      intruder.send("base," + name + ",100,1,\r\n");
      EXPECT_EQ(intruder.line(), name + ",base,1,1,error=name reserved\r\n");
    }
    service.registerAs("nkbridge");
    guest.send("base,guest,102,0,\r\n");
    intruder.registerAs("guest");
  }
  // The configuration trusts other users, or reserves other names.
  const std::string config = "/tmp/nkbus_test_" + std::to_string(getpid()) + ".conf";
  const std::string ok = "nkrun,base,0,1,\r\n", reserved = "nkrun,base,1,1,error=name reserved\r\n";
  const std::string uid = std::to_string(nobody), gid = std::to_string(getpwnam("nobody")->pw_gid);
  const struct {
    std::string text;
    const char *name;
    std::string answer;
    const char *logLine;
  } configs[] = {
      {"busTrustedUsers=nobody\n", "nkrun", ok, ""},
      {"busTrustedUsers=daemon\nbusTrustedUsers= " + uid + " ,\n", "nkrun", ok, ""},
      {"busTrustedGroups=nogroup\n", "nkrun", ok, ""},
      {"busTrustedGroups=root,nosuchgroup," + gid + "\n", "nkrun", ok,
       "busTrustedGroups: no group nosuchgroup, ignored"},
      {"busTrustedUsers=nosuchuser,daemon\nbusTrustedGroups=root\n", "nkrun", reserved,
       "busTrustedUsers: no user nosuchuser, ignored"},
      {"busReservedNames=guest\n", "guest", "guest,base,1,1,error=name reserved\r\n", ""},
  };
  for (const auto &row : configs) {
    SCOPED_TRACE(row.text);
    std::ofstream(config) << row.text;
    ASSERT_NO_FATAL_FAILURE(restart({"-c", config}));
    Raw peer(nobody);
    peer.send("base," + std::string(row.name) + ",100,1,\r\n");
    EXPECT_EQ(peer.line(), row.answer);
    EXPECT_TRUE(logged(row.logLine)) << log();
  }
  unlink(config.c_str());
}

// The bus's own statistics show every connection with its user, one a
// reply in descriptor order; nkbus -s prints them as a table.
TEST_F(BusTest, ConnectionsAreListedWithTheirUsers) {
  const int nobody = nobodyUid();
  if (nobody < 0) GTEST_SKIP() << "needs root and the user nobody";
  Raw runtime, guest(nobody);
  runtime.registerAs("nkrun");
  guest.registerAs("guest");
  guest.send("nkrun,guest,210,0,x\r\n");
  EXPECT_EQ(guest.line(), "guest,base,3,0,error=not permitted,type=210\r\n");
  const std::string uid = std::to_string(nobody);
  std::vector<int> fds;
  {
    Raw unnamed(nobody);
    unnamed.send("nkrun,unnamed,213,0,x\r\n");
    ASSERT_TRUE(eventually("not registered, line to nkrun dropped"));
    const std::string rows[] = {
        "index=1,fd=#,name=nkrun,user=root,uid=0,trusted=yes,lines=2,refused=0",
        "index=2,fd=#,name=guest,user=nobody,uid=" + uid + ",trusted=no,lines=2,refused=1",
        "index=0,fd=#,name=,user=nobody,uid=" + uid + ",trusted=no,lines=1,refused=0",
    };
    for (int i = 0; i < 3; i++) {
      runtime.send("base,nkrun,202,1,stat=connections,index=" + std::to_string(i) + "\r\n");
      fds.push_back(-1);
      EXPECT_EQ(withoutFd(runtime.line(), &fds.back()), "nkrun,base,0,1," + rows[i] + "\r\n");
    }
  }
  EXPECT_TRUE(fds[0] < fds[1] && fds[1] < fds[2]);
  ASSERT_TRUE(eventually("(unregistered) closed the connection"));
  // Only a request is answered; past the last and an unknown stat fail.
  runtime.send(
      "base,nkrun,202,0,stat=connections,index=0\r\nbase,nkrun,202,2,stat=connections,index=2\r\n"
      "base,nkrun,202,3,stat=bogus,index=0\r\n");
  EXPECT_EQ(runtime.line(), "nkrun,base,5,2,index=0\r\n");
  EXPECT_EQ(runtime.line(), "nkrun,base,4,3,error=unknown stat,stat=bogus\r\n");
  nktest::ProcessResult p = nktest::runProgram(nktest::builtProgram("nkbus"), {"-s"});
  EXPECT_EQ(p.exitCode(), 0) << p.out << p.err;
  std::vector<std::string> table = nktest::lines(p.out);
  ASSERT_EQ(table.size(), 5u) << p.out;
  char fd[2][8];
  for (int i = 0; i < 2; i++) snprintf(fd[i], sizeof fd[i], "%4d", fds[i]);
  EXPECT_EQ(table[0],
            "  fd name                     user                uid trusted      lines    refused");
  EXPECT_EQ(table[1],
            "==== ======================== ============ ========== ======= ========== ==========");
  EXPECT_EQ(table[2],
            std::string(fd[0]) +
                " nkrun                    root                  0 yes              7          0");
  EXPECT_EQ(table[3], std::string(fd[1]) + " guest                    nobody            " + uid +
                          " no               2          1");
  EXPECT_EQ(table[4].substr(4, 9), " nkbus-s-");  // nkbus -s itself
  EXPECT_EQ(table[4].substr(30), "root                  0 yes              4          0");
}

// The shell run by another user (nobody, through setpriv) reaches the
// runtime (played by the test) only with what reads: a lua line never
// arrives and prints nothing, a get is answered. Run by the bus's own user,
// it is trusted, and so is root whoever runs the bus.
TEST_F(BusTest, ShellOfAnotherUserOnlyReads) {
  if (nobodyUid() < 0) GTEST_SKIP() << "needs root and the user nobody";
  const std::vector<std::string> asNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                             "--clear-groups"};
  auto nksh = [&](const std::vector<std::string> &words) {
    return nktest::runProgram(nktest::builtProgram("nksh"), words, "", 10, asNobody);
  };
  nktest::ProcessResult version = nksh({"-c", "version"});
  if (version.exitCode() != 0) {
    GTEST_SKIP() << "nksh does not run as nobody (setpriv missing, or the build tree not "
                    "readable by it): "
                 << version.out << version.err;
  }
  Raw runtime;
  runtime.registerAs("nkrun");
  nktest::ProcessResult lua = nksh({"-c", "lua", "1+1"});
  EXPECT_EQ(lua.exitCode(), 0);
  EXPECT_EQ(lua.out, "");
  // A shell still running when a check fails is waited for, not abandoned.
  auto get = std::async(std::launch::async, [&] { return nksh({"-c", "get", "x"}); });
  std::vector<std::string> f = fields(runtime.line());  // the get, not the lua line
  EXPECT_EQ(f[0] + "," + f[2] + "," + f[3] + "," + f[4], "nkrun,213,0,x\r\n");
  EXPECT_EQ(f[1].substr(0, 5), "nksh-");
  runtime.send(f[1] + ",nkrun,0,0,x=5\r\n");
  EXPECT_EQ(get.get().out, "x=5\n");
  ASSERT_NO_FATAL_FAILURE(restart({"-c", "/dev/null"}, asNobody));
  Raw root;
  root.registerAs("nkrun");  // a reserved name
  auto trusted = std::async(std::launch::async, [&] { return nksh({"-c", "lua", "1+1"}); });
  f = fields(root.line());
  EXPECT_EQ(f[2], "210");
  root.send(f[1] + ",nkrun,0," + f[3] + ",2\r\n");
  EXPECT_EQ(trusted.get().out, "2\n");
}

TEST(BusOptionsTest, OutOfRangeLimitsAreRefused) {
  const struct {
    std::vector<std::string> args;
    const char *message;
  } refused[] = {
      {{"-f", "-o", "0"}, "The output limit must be from 1 to 2048 KiB\n"},
      {{"-f", "-o", "2049"}, "The output limit must be from 1 to 2048 KiB\n"},
      {{"-f", "-r", "0"}, "The registration deadline must be at least 1 s\n"},
      {{"-s"}, "No bus answers on 127.0.0.1:4242\n"},
  };
  for (const auto &row : refused) {
    // A bus that starts anyway is stopped after 10 s.
    nktest::ProcessResult p = nktest::runProgram(nktest::builtProgram("nkbus"), row.args, "", 10);
    EXPECT_EQ(p.exitCode(), 1) << row.message;
    EXPECT_EQ(p.out, row.message);
  }
}

}  // namespace
