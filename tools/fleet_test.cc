// The fleet end to end: a real broker on a free loopback port, two simulated
// devices (each its own bus on 127.0.0.2 or .3, runtime and bridge), and the
// operator's console, all as processes.
#define NK_MODULE "fleet_test"
#include <arpa/inet.h>
#include <ctype.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nktest.h"

namespace {

using Words = std::vector<std::string>;
using Messages = std::map<std::string, std::string>;

int freePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  socklen_t size = sizeof a;
  bind(s, reinterpret_cast<sockaddr *>(&a), size);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &size);
  close(s);
  return ntohs(a.sin_port);
}

// The retained messages under filter, as a subscriber that comes now sees
// them; asked again until count of them came (10 s at most).
Messages retained(int port, const std::string &filter, size_t count = 1) {
  Messages seen;
  nktest::eventually(
      [&] {
        mosquitto *m = mosquitto_new(nullptr, true, &seen);
        mosquitto_message_callback_set(m, [](mosquitto *, void *p, const mosquitto_message *msg) {
          std::string payload(static_cast<const char *>(msg->payload), msg->payloadlen);
          if (msg->retain) (*static_cast<Messages *>(p))[msg->topic] = payload;
        });
        if (mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS) {
          mosquitto_subscribe(m, nullptr, filter.c_str(), 1);
          for (int i = 0; i < 10; i++) mosquitto_loop(m, 50, 1);
        }
        mosquitto_destroy(m);
        return seen.size() >= count;
      },
      10, 0);
  return seen;
}

// Publishes payload on topic, retained, and waits (10 s at most) until the
// broker has it.
bool publishRetained(int port, const std::string &topic, const std::string &payload) {
  bool stored = false;
  mosquitto *m = mosquitto_new(nullptr, true, &stored);
  mosquitto_publish_callback_set(m,
                                 [](mosquitto *, void *p, int) { *static_cast<bool *>(p) = true; });
  if (mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS &&
      mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                        1, true) == MOSQ_ERR_SUCCESS) {
    nktest::eventually(
        [&] {
          mosquitto_loop(m, 50, 1);
          return stored;
        },
        10, 0);
  }
  mosquitto_destroy(m);
  return stored;
}

class FleetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { mosquitto_lib_init(); }
  static void TearDownTestSuite() { mosquitto_lib_cleanup(); }

  // Device a allows ps, get and set; b the default commands.
  void SetUp() override {
    port_ = freePort();
    std::ofstream(dir_ + "/broker.conf")
        << "listener " << port_ << " 127.0.0.1\n"
        << "allow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
    std::ofstream(dir_ + "/waiter.lua")
        << "nk.setname(\"waiter\")\nnk.set(\"level\", \"42\")\nwhile true do nk.wait() end\n";
    ASSERT_NO_FATAL_FAILURE(startBroker());
    startDevice("a", "ps,get,set");
    startDevice("b", "");
    ASSERT_TRUE(devicesShow({"s1/a", "s1/b"}, "online"));
  }
  void TearDown() override {
    for (size_t i = pids_.size(); i-- > 0;) {
      if (pids_[i] > 0) nktest::stopProgram(pids_[i]);  // bridges first, buses last
    }
    if (broker_ > 0) nktest::stopProgram(broker_);
    for (const char *log :
         {"broker", "a-bus", "a-nkrun", "a-nkbridge", "b-nkbridge", "c-nkbridge", "d-nkbridge"}) {
      if (HasFailure()) printf("---- %s\n%s", log, nktest::readFile(dir_ + "/" + log).c_str());
    }
  }

  // The broker is Debian's, never the emulated kind.
  void startBroker() {
    std::string log = dir_ + "/broker";
    broker_ = fork();
    if (broker_ == 0) {
      freopen(log.c_str(), "a", stdout);
      freopen(log.c_str(), "a", stderr);
      execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir_ + "/broker.conf").c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(nktest::waitForPort(port_)) << nktest::readFile(log);
  }

  // Device s1/NAME: its bus on 127.0.0.2, .3, ..., which its programs find
  // through NK_BUS_ADDRESS, inherited, its runtime and its bridge, which runs
  // commands through shell when one is given; extra ends its configuration.
  void startDevice(const std::string &name, const char *commands, const std::string &shell = "",
                   const std::string &extra = "") {
    std::string at = dir_ + "/" + name, conf = at + ".conf";
    std::ofstream text(conf);
    text << "scriptDir=" << dir_ << "\nsiteName=s1\ndeviceName=" << name << "\nbrokerPort=" << port_
         << "\nbrokerKeepalive=5\nbridgeHeartbeat=1\nbridgePayloadLimit=200\n"
         << "bridgeCommands=" << commands << "\n";
    // A program under the emulator cannot start another foreign one.
    if (!shell.empty()) {
      text << "bridgeShell=" << shell << "\n";
    } else if (nktest::emulated()) {
      text << "bridgeShell=" << nktest::emulatorCommand() << " " << nktest::builtProgram("nksh");
    }
    text << "\n" << extra;
    text.close();
    setenv("NK_BUS_ADDRESS", ("127.0.0." + std::to_string(2 + pids_.size() / 3)).c_str(), 1);
    pids_.push_back(nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, at + "-bus"));
    nktest::eventually(
        [&] { return nktest::readFile(at + "-bus").find("listening on") != std::string::npos; });
    pids_.push_back(nktest::startProgram(nktest::builtProgram("nkrun"),
                                         {"-f", "-c", conf, "waiter"}, at + "-nkrun"));
    pids_.push_back(nktest::startProgram(nktest::builtProgram("nkbridge"), {"-f", "-d", "-c", conf},
                                         at + "-nkbridge"));
    unsetenv("NK_BUS_ADDRESS");
  }

  nktest::ProcessResult fleet(const Words &args) {
    Words all = {"-p", std::to_string(port_), "-t", "5"};
    all.insert(all.end(), args.begin(), args.end());
    return nktest::runProgram(nktest::builtProgram("nkfleet"), all);
  }
  // The devices listing, asked again until it shows every device with that
  // status (20 s at most).
  bool devicesShow(const Words &devices, const char *status) {
    std::string out;
    auto shown = [&] {
      out = fleet({"devices"}).out;
      for (const std::string &d : devices) {
        if (out.find(d + std::string(27, ' ') + status) == std::string::npos) return false;
      }
      return true;
    };
    if (nktest::eventually(shown, 20, 200)) return true;
    ADD_FAILURE() << out;
    return false;
  }

  // What nksh with args prints on the bus of a device (a is 0, b 1, in the
  // order started).
  std::string shellOn(int device, const Words &args) {
    setenv("NK_BUS_ADDRESS", ("127.0.0." + std::to_string(2 + device)).c_str(), 1);
    std::string out = nktest::runProgram(nktest::builtProgram("nksh"), args).out;
    unsetenv("NK_BUS_ADDRESS");
    return out;
  }
  // The rows of the bridge's own stats on that bus as its bridge topic
  // writes them: name=count joined by commas (a blank count is 0).
  std::string bridgeStats(int device) {
    std::vector<std::string> rows =
        nktest::lines(shellOn(device, {"-r", "nkbridge", "-c", "stats"}));
    std::string counts;
    for (size_t i = 2; i < rows.size() && rows[i].compare(0, 8, "    stat") != 0; i++) {
      std::string count;
      for (char c : rows[i].substr(30, 10)) count += isdigit(c) ? std::string(1, c) : "";
      counts += (i > 2 ? "," : "") + rows[i].substr(0, rows[i].find(' ')) + "=" +
                (count.empty() ? "0" : count);
    }
    return counts;
  }

  std::string dir_ = nktest::systemPath("/tmp");
  int port_ = 0, broker_ = -1;
  std::vector<int> pids_;  // bus, runtime and bridge of a, then of b
};

TEST_F(FleetTest, DevicesAreQueriedDrivenAndWatched) {
  // One device: exactly what its own shell prints; b allows the default
  // commands (no set, no lua); a's line is read as the shell reads it.
  // Command lines refused before the broker is asked anything (the options
  // given last count), and a broker that is not there.
  const struct {
    Words args;
    int status;
    const char *out;  // then what it wrote on standard error
  } commands[] = {
      {{"-d", "s1/a", "get", "level"}, 0, "level=42\n"},
      {{"-d", "s1/a", "set", "pump1", "on"}, 0, "pump1=on\n"},
      {{"-d", "s1/a", "get", "pump1"}, 0, "pump1=on\n"},
      {{"-d", "s1/b", "get", "pump1"}, 0, "error=unknown tag,tag=pump1\n"},
      {{"-d", "s1/b", "set", "pump1", "on"}, 0, "* Command not allowed here: set\n"},
      {{"-d", "s1/b", "lua", "os.exit()"}, 0, "* Command not allowed here: lua\n"},
      {{"-d", "s1/a", "postx"}, 0, "* Command not allowed here: post\n"},
      {{"-d", "s1/a", "get", std::string(300, 'x')},
       0,
       "* Command too long (304 bytes, at most 200)\n"},
      // A line end would take a bus line of the caller's own past the shell:
      // refused, and the tag that line writes stays unknown. A tab stays
      // inside its word.
      {{"-d", "s1/a", "get", "x\nnkrun,nksh-1,212,0,injected=1"},
       0,
       "* Control character in command (0x0A)\n"},
      {{"-d", "s1/a", "get", "injected"}, 0, "error=unknown tag,tag=injected\n"},
      {{"-d", "s1/a", "get", "x\x7f"}, 0, "* Control character in command (0x7F)\n"},
      {{"-d", "s1/a", "get", "level\t"}, 0, "error=unknown tag,tag=level\t\n"},
      {{"-p", "65536", "devices"}, 1, "The port must be a number from 1 to 65535\n"},
      {{"-t", "0", "devices"}, 1, "The timeout must be a number of seconds from 1 to 86400\n"},
      {{"-d", "s1", "ps"}, 1, "Not a device: 's1' (SITE/DEVICE, or a pattern with * or ?)\n"},
      {{"-d", "s1/a\tb", "ps"},
       1,
       "Not a device: 's1/a\tb' (SITE/DEVICE, or a pattern with * or ?)\n"},
      {{"-p", "1", "-t", "1", "devices"},
       2,
       "nkfleet: cannot connect to the broker at 127.0.0.1:1: Connection refused\n"},
  };
  for (const auto &c : commands) {
    auto r = fleet(c.args);
    EXPECT_EQ(r.exitCode(), c.status) << c.out;
    EXPECT_EQ(r.out + r.err, c.out);
  }
  // Not even a line under a wrong name (which the bus drops, saying so)
  // reached a's bus.
  EXPECT_EQ(nktest::readFile(dir_ + "/a-bus").find("sent a line as"), std::string::npos);
  // Every device of the site, each under its header.
  auto r = fleet({"-d", "s1/*", "ps"});
  EXPECT_EQ(r.exitCode(), 0);
  size_t a = r.out.find("==== s1/a\n"), b = r.out.find("==== s1/b\n");
  ASSERT_TRUE(a < b && b != std::string::npos) << r.out;
  EXPECT_LT(r.out.find("waiter", a), b) << r.out;
  EXPECT_NE(r.out.find("waiter", b), std::string::npos) << r.out;
  // The tags went to the broker, retained.
  Messages tags = retained(port_, "nk/+/+/tag/#", 3);
  EXPECT_EQ(tags, (Messages{{"nk/s1/a/tag/level", "42"},
                            {"nk/s1/a/tag/pump1", "on"},
                            {"nk/s1/b/tag/level", "42"}}));
  // The broker restarts without a store: both bridges come back and publish
  // everything retained again.
  nktest::stopProgram(broker_);
  ASSERT_NO_FATAL_FAILURE(startBroker());
  ASSERT_TRUE(devicesShow({"s1/a", "s1/b"}, "online"));
  EXPECT_EQ(retained(port_, "nk/+/+/tag/#", 3), tags);
  // The bridge counts its tags, connections and refusals, retained, and its
  // stats on its bus list the same counters (once a heartbeat has brought
  // the retained copy up to date with the tags published again).
  std::string counts;
  nktest::eventually(
      [&] {
        counts = retained(port_, "nk/s1/a/bridge")["nk/s1/a/bridge"];
        return counts == bridgeStats(0);
      },
      20, 0);
  EXPECT_EQ(bridgeStats(0), counts);
  EXPECT_NE(counts.find(",tags=2,"), std::string::npos) << counts;
  EXPECT_NE(counts.find(",refused=4,"), std::string::npos) << counts;
  EXPECT_NE(counts.find("broker-connects=2"), std::string::npos) << counts;
  // A value the broker had not acknowledged when it died goes again on the
  // next connection; the value that replaced it meanwhile stays retained.
  kill(broker_, SIGSTOP);
  std::string before = bridgeStats(0), log = dir_ + "/a-nkbridge";
  shellOn(0, {"-c", "set", "pump1", "stale"});
  EXPECT_TRUE(nktest::eventually([&] { return bridgeStats(0) != before; }));  // published
  size_t logged = nktest::readFile(log).size();
  kill(broker_, SIGKILL);
  waitpid(broker_, nullptr, 0);
  EXPECT_TRUE(nktest::eventually(
      [&] { return nktest::readFile(log).find("lost the broker", logged) != std::string::npos; }));
  shellOn(0, {"-c", "set", "pump1", "fresh"});
  ASSERT_NO_FATAL_FAILURE(startBroker());
  ASSERT_TRUE(devicesShow({"s1/a"}, "online"));
  EXPECT_EQ(retained(port_, "nk/s1/a/tag/#", 2),
            (Messages{{"nk/s1/a/tag/level", "42"}, {"nk/s1/a/tag/pump1", "fresh"}}));
  // A device that dies is shown offline by the broker's last will.
  kill(pids_.back(), SIGKILL);  // b's bridge
  waitpid(pids_.back(), nullptr, 0);
  pids_.back() = -1;
  EXPECT_TRUE(devicesShow({"s1/b"}, "offline"));
  r = fleet({"-d", "s1/b", "ps"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "* s1/b is offline\n");
}

// Devices c and d run their commands through a script that notes what it was
// given and lists the descriptors it holds, or, for a "slow" command, waits on
// a sleep it started. A command the broker kept before c started is never
// run: commands run one at a time, in order, so it would have run before the
// one sent.
TEST_F(FleetTest, OnlyCommandsSentRunWithoutSocketsAndNoLongerThanAllowed) {
  std::string script = dir_ + "/listfds.sh", ran = dir_ + "/c-ran", sleeper = dir_ + "/sleeper";
  std::ofstream(script) << "echo \"$*\" >>" << ran
                        << "\ncase \"$*\" in *slow*) sleep 600 & echo $! >" << sleeper
                        << "; wait;; esac"
                        << "\nfor fd in /proc/$$/fd/*; do readlink \"$fd\"; done\n";
  ASSERT_TRUE(publishRetained(port_, "nk/s1/c/cmd/test/1", "set retained 1"));
  startDevice("c", "get,set", "/bin/sh " + script, "bridgeCommandTimeout=1\n");
  ASSERT_TRUE(devicesShow({"s1/c"}, "online"));
  auto r = fleet({"-d", "s1/c", "get", "level"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(nktest::readFile(ran), "-c get level\n");
  // Standard input and output (0 and 1), then error and the script the
  // shell reads; no connection of the bridge's.
  EXPECT_EQ(r.out.find("/dev/null\npipe:"), 0u) << r.out;
  EXPECT_EQ(r.out.find("socket:"), std::string::npos) << r.out;
  // A command past its time is stopped and refused, and counted as refused.
  EXPECT_EQ(fleet({"-d", "s1/c", "get", "slow"}).out, "* Command did not finish within 1 s\n");
  EXPECT_NE(bridgeStats(2).find(",refused=1,"), std::string::npos) << bridgeStats(2);
  // A stop does not wait for a running command (d would give it an hour):
  // the command and what it started are killed, its caller is answered, and
  // the bridge ends at once.
  startDevice("d", "get", "/bin/sh " + script, "bridgeCommandTimeout=3600\n");
  ASSERT_TRUE(devicesShow({"s1/d"}, "online"));
  unlink(sleeper.c_str());
  auto slow = std::async(std::launch::async, [&] { return fleet({"-d", "s1/d", "get", "slow"}); });
  ASSERT_TRUE(nktest::eventually([&] { return !nktest::readFile(sleeper).empty(); }));
  EXPECT_EQ(nktest::stopProgram(pids_.back()), 0);
  pids_.back() = -1;
  EXPECT_EQ(slow.get().out, "* Command stopped: the bridge is stopping\n");
  std::string sleep = "/proc/" + nktest::lines(nktest::readFile(sleeper))[0] + "/cmdline";
  EXPECT_TRUE(nktest::eventually([&] { return nktest::readFile(sleep).empty(); }, 5));
}

// A configuration the bridge cannot use stops it before it connects anywhere (there is no broker
// and no bus here): a name that would reach into other devices' topics, a broker key it cannot use.
TEST(FleetConfigTest, UnusableSettingsStopTheBridgeAtStart) {
  const std::string name =
      "' is not a valid name (not empty; no '+', '#', '/' or control "
      "characters)\n";
  const struct {
    std::string line, out;
  } cases[] = {
      {"deviceName=+", "deviceName '+" + name},
      {"deviceName=#", "deviceName '#" + name},
      {"deviceName=a/b", "deviceName 'a/b" + name},
      {"deviceName=a\001b", "deviceName 'a\\x01b" + name},
      {"siteName=+", "siteName '+" + name},
      {"brokerPort=0", "brokerPort=0 is not a number from 1 to 65535\n"},
      {"brokerKeepalive=4s", "brokerKeepalive=4s is not a number from 5 to 65535\n"},
      {"brokerPasswordFile=/nonexistent",
       "cannot read the password file /nonexistent: No such file or directory\n"},
  };
  std::string conf = nktest::systemPath("/tmp/names.conf");
  for (const auto &c : cases) {
    std::ofstream(conf) << c.line << "\n";
    auto r = nktest::runProgram(nktest::builtProgram("nkbridge"), {"-f", "-c", conf}, "", 10);
    EXPECT_EQ(r.exitCode(), 1) << c.line;
    EXPECT_EQ(r.out, c.out);
  }
}

}  // namespace
