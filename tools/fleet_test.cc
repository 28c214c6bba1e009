// The fleet end to end: a real broker on a free loopback port, two simulated
// devices (each its own bus on 127.0.0.2 or .3, runtime and bridge), and the
// operator's console, all as processes.
#define NK_MODULE "fleet_test"
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nktest.h"

namespace {

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int freePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

void writeFile(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  fputs(text.c_str(), f);
  fclose(f);
}

// The retained messages under filter, as a subscriber that comes now sees them.
std::map<std::string, std::string> retained(int port, const std::string &filter) {
  struct Seen {
    std::mutex m;
    std::map<std::string, std::string> messages;
  } seen;
  mosquitto *m = mosquitto_new(nullptr, true, &seen);
  mosquitto_message_callback_set(m, [](mosquitto *, void *p, const mosquitto_message *msg) {
    Seen *s = static_cast<Seen *>(p);
    std::lock_guard<std::mutex> hold(s->m);
    if (msg->retain) {
      s->messages[msg->topic] = std::string(static_cast<const char *>(msg->payload),
                                            static_cast<size_t>(msg->payloadlen));
    }
  });
  if (mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS) {
    mosquitto_subscribe(m, nullptr, filter.c_str(), 1);
    for (double end = now() + 0.5; now() < end;) mosquitto_loop(m, 50, 1);
  }
  mosquitto_destroy(m);
  std::lock_guard<std::mutex> hold(seen.m);
  return seen.messages;
}

// retained(), asked again until it holds count messages (10 s at most).
std::map<std::string, std::string> retainedUntil(int port, const std::string &filter,
                                                 size_t count) {
  std::map<std::string, std::string> seen;
  for (double end = now() + 10; (seen = retained(port, filter)).size() < count && now() < end;) {
  }
  return seen;
}

const char kScript[] = R"(
nk.setname("waiter")
nk.set("level", "42")
while true do nk.wait() end
)";

struct Device {
  std::string name;     // DEVICE in s1/DEVICE
  std::string address;  // its bus's loopback address
  std::string commands;
  int bus = -1, runtime = -1, bridge = -1;
};

class FleetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { mosquitto_lib_init(); }
  static void TearDownTestSuite() { mosquitto_lib_cleanup(); }

  void SetUp() override {
    char dir[] = "/tmp/fleet_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    port_ = freePort();
    writeFile(dir_ + "/broker.conf", "listener " + std::to_string(port_) +
                                         " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                         "set_tcp_nodelay true\n");
    writeFile(dir_ + "/waiter.lua", kScript);
    ASSERT_NO_FATAL_FAILURE(startBroker());
    devices_ = {{"a", "127.0.0.2", "ps,get,set"}, {"b", "127.0.0.3", ""}};
    for (Device &d : devices_) ASSERT_NO_FATAL_FAILURE(startDevice(&d));
  }
  void TearDown() override {
    for (Device &d : devices_) {
      for (int *pid : {&d.bridge, &d.runtime, &d.bus}) {
        if (*pid > 0) nktest::stopProgram(*pid);
      }
    }
    if (broker_ > 0) nktest::stopProgram(broker_);
    if (HasFailure()) {
      for (const char *log : {"broker", "a-bus", "a-runtime", "a-bridge", "b-bridge"}) {
        printf("---- %s\n%s", log, nktest::readFile(dir_ + "/" + log + ".log").c_str());
      }
    }
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) ADD_FAILURE() << dir_;
  }

  // The broker is Debian's, never the emulated kind.
  void startBroker() {
    std::string log = dir_ + "/broker.log";
    broker_ = fork();
    if (broker_ == 0) {
      freopen(log.c_str(), "a", stdout);
      freopen(log.c_str(), "a", stderr);
      execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir_ + "/broker.conf").c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(nktest::waitForPort(port_)) << nktest::readFile(log);
  }

  // A device's programs find its bus through NK_BUS_ADDRESS, inherited.
  void startDevice(Device *d) {
    std::string conf = dir_ + "/" + d->name + ".conf";
    std::string text = "scriptDir=" + dir_ + "\nsiteName=s1\ndeviceName=" + d->name +
                       "\nbrokerPort=" + std::to_string(port_) +
                       "\nbrokerKeepalive=5\nbridgeHeartbeat=1\nbridgePayloadLimit=200\n";
    if (!d->commands.empty()) text += "bridgeCommands=" + d->commands + "\n";
    if (nktest::emulated()) {
      // A program under the emulator cannot start another foreign one.
      text +=
          "bridgeShell=" + nktest::emulatorCommand() + " " + nktest::builtProgram("nksh") + "\n";
    }
    writeFile(conf, text);
    setenv("NK_BUS_ADDRESS", d->address.c_str(), 1);
    std::string prefix = dir_ + "/" + d->name;
    d->bus = nktest::startProgram(nktest::builtProgram("nkbus"), {"-f", "-d"}, prefix + "-bus.log");
    double deadline = now() + 20;
    while (nktest::readFile(prefix + "-bus.log").find("listening on") == std::string::npos &&
           now() < deadline) {
      usleep(10000);
    }
    d->runtime = nktest::startProgram(nktest::builtProgram("nkrun"), {"-f", "-c", conf, "waiter"},
                                      prefix + "-runtime.log");
    d->bridge = nktest::startProgram(nktest::builtProgram("nkbridge"), {"-f", "-d", "-c", conf},
                                     prefix + "-bridge.log");
    unsetenv("NK_BUS_ADDRESS");
  }

  nktest::ProcessResult fleet(const std::vector<std::string> &args) {
    std::vector<std::string> all = {"-p", std::to_string(port_), "-t", "5"};
    all.insert(all.end(), args.begin(), args.end());
    return nktest::runProgram(nktest::builtProgram("nkfleet"), all);
  }
  // Repeats a fleet command until its output holds text (20 s at most).
  std::string fleetUntil(const std::vector<std::string> &args, const std::string &text) {
    std::string out;
    for (double end = now() + 20; now() < end; usleep(200000)) {
      out = fleet(args).out;
      if (out.find(text) != std::string::npos) break;
    }
    return out;
  }
  // What nksh -c prints on the device itself (-r target when given).
  std::string onDevice(const Device &d, const std::vector<std::string> &words,
                       const char *target = nullptr) {
    std::vector<std::string> args = {"-c"};
    if (target) args.insert(args.begin(), {"-r", target});
    args.insert(args.end(), words.begin(), words.end());
    setenv("NK_BUS_ADDRESS", d.address.c_str(), 1);
    std::string out = nktest::runProgram(nktest::builtProgram("nksh"), args).out;
    unsetenv("NK_BUS_ADDRESS");
    return out;
  }
  bool bothOnline() {
    std::string out = fleetUntil({"devices"}, "s1/b                           online");
    return out.find("s1/a                           online") != std::string::npos &&
           out.find("s1/b                           online") != std::string::npos;
  }

  std::string dir_;
  int port_ = 0;
  int broker_ = -1;
  std::vector<Device> devices_;
};

TEST_F(FleetTest, DevicesAreListedQueriedAndDriven) {
  ASSERT_TRUE(bothOnline()) << fleet({"devices"}).out;
  // One device: exactly what its own shell prints.
  auto r = fleet({"-d", "s1/a", "get", "level"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, onDevice(devices_[0], {"get", "level"}));
  EXPECT_EQ(r.out, "level=42\n");
  // Every device of the site, each under its header.
  r = fleet({"-d", "s1/*", "ps"});
  EXPECT_EQ(r.exitCode(), 0);
  size_t a = r.out.find("==== s1/a\n"), b = r.out.find("==== s1/b\n");
  ASSERT_NE(a, std::string::npos) << r.out;
  ASSERT_NE(b, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("waiter", a), std::string::npos);
  EXPECT_NE(r.out.find("waiter", b), std::string::npos);
  // set runs where the configuration allows it, and is refused elsewhere.
  r = fleet({"-d", "s1/a", "set", "pump1", "on"});
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_EQ(r.out, onDevice(devices_[0], {"set", "pump1", "on"}));
  const struct {
    std::string device;
    std::vector<std::string> words;
    std::string out;
  } refused[] = {
      {"s1/b", {"set", "pump1", "on"}, "* Command not allowed here: set\n"},
      {"s1/b", {"lua", "os.exit()"}, "* Command not allowed here: lua\n"},
      {"s1/a", {"postx"}, "* Command not allowed here: post\n"},  // read as the shell reads it
      {"s1/a", {"get", std::string(300, 'x')}, "* Command too long (304 bytes, at most 200)\n"},
  };
  for (const auto &c : refused) {
    std::vector<std::string> args = {"-d", c.device};
    args.insert(args.end(), c.words.begin(), c.words.end());
    EXPECT_EQ(fleet(args).out, c.out) << c.device << " " << c.words[0];
  }
  EXPECT_EQ(onDevice(devices_[0], {"get", "pump1"}), "pump1=on\n");
  EXPECT_EQ(onDevice(devices_[1], {"get", "pump1"}).find("pump1=on"), std::string::npos);
  // The tags went to the broker, retained.
  auto tags = retainedUntil(port_, "nk/s1/a/tag/#", 2);
  EXPECT_EQ(tags["nk/s1/a/tag/pump1"], "on");
  EXPECT_EQ(tags["nk/s1/a/tag/level"], "42");
  // The bridge's counters, in its own stats on the device's bus.
  std::string stats = onDevice(devices_[0], {"stats"}, "nkbridge");
  for (const char *row : {"published ", "commands ", "refused ", "tags-dropped "}) {
    EXPECT_NE(stats.find(row), std::string::npos) << row << "\n" << stats;
  }
}

// The broker restarts without a store: both bridges come back and publish
// everything retained again. A device that dies is shown offline by the
// broker's last will.
TEST_F(FleetTest, BrokerRestartLosesNothingRetainedAndADeadDeviceGoesOffline) {
  ASSERT_TRUE(bothOnline()) << fleet({"devices"}).out;
  EXPECT_EQ(retainedUntil(port_, "nk/+/+/tag/level", 2).size(), 2u);
  nktest::stopProgram(broker_);
  ASSERT_NO_FATAL_FAILURE(startBroker());
  ASSERT_TRUE(bothOnline()) << fleet({"devices"}).out;
  auto tags = retainedUntil(port_, "nk/+/+/tag/level", 2);
  EXPECT_EQ(tags["nk/s1/a/tag/level"], "42");
  EXPECT_EQ(tags["nk/s1/b/tag/level"], "42");
  EXPECT_NE(retained(port_, "nk/s1/a/bridge")["nk/s1/a/bridge"].find("broker-connects=2"),
            std::string::npos);

  kill(devices_[1].bridge, SIGKILL);
  waitpid(devices_[1].bridge, nullptr, 0);
  devices_[1].bridge = -1;
  std::string out = fleetUntil({"devices"}, "s1/b                           offline");
  EXPECT_NE(out.find("s1/b                           offline"), std::string::npos) << out;
  auto r = fleet({"-d", "s1/b", "ps"});
  EXPECT_EQ(r.exitCode(), 1);
  EXPECT_EQ(r.out, "* s1/b is offline\n");
}

}  // namespace
