// bench_fleet -- the fleet through a real broker: a remote get through broker
// and bridge beside the same get run on the device, and tag fan-in from ten
// devices into one subscriber at the broker.
//
//   bench_fleet [get] [fanin] [--seconds N]
//
// Each device is simulated on this machine: its bus on 127.0.0.N:4242 (the
// programs find it through NK_BUS_ADDRESS), its nkrun and its nkbridge; the
// broker is Debian's mosquitto on a free port of 127.0.0.1. Fan-in: the
// benchmark writes 100 tags a second into each device's runtime (one set
// every 10 ms per device, the value carrying the time it was sent) and
// subscribes to every tag at the broker with QoS 1: it reports the changes
// that arrived, their latency from set to delivery, and the bridges' CPU time
// per 1,000 changes (from /proc). Figures are wall-clock on a shared machine:
// compare them only with those of the same run.
#define NK_MODULE "bench_fleet"
#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "benchlua.h"
#include "benchproc.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"

namespace {

const char kNkbus[] = NK_BENCH_NKBUS;
const char kNkrun[] = NK_BENCH_NKRUN;
const char kNkbridge[] = NK_BENCH_NKBRIDGE;
const char kNkfleet[] = NK_BENCH_NKFLEET;
const char kNksh[] = NK_BENCH_NKSH;
constexpr int kTypeSet = 212;
constexpr int kTagsPerDevice = 100;

std::string dir;
int brokerPort;

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "bench_fleet: %s (logs in %s)\n", what, dir.c_str());
  nkbench::stopAll();
  exit(1);
}

bool accepts(const char *address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

void waitFor(const char *address, int port, const char *what) {
  for (double end = now() + 20; !accepts(address, port); usleep(10000)) {
    if (now() > end) fail(what);
  }
}

struct Device {
  std::string name, address;
  pid_t bus = 0, runtime = 0, bridge = 0;
};

Device startDevice(int n) {
  Device d;
  d.name = "d" + std::to_string(n);
  d.address = "127.0.0." + std::to_string(10 + n);
  std::string conf = dir + "/" + d.name + ".conf";
  nkbench::writeFile(conf, "scriptDir=" + dir + "\nsiteName=bench\ndeviceName=" + d.name +
                               "\nbrokerPort=" + std::to_string(brokerPort) +
                               "\nbridgeTagLimit=1000\n");
  setenv("NK_BUS_ADDRESS", d.address.c_str(), 1);
  d.bus = nkbench::startLogged({kNkbus, "-f"}, dir + "/" + d.name + "-bus.log");
  waitFor(d.address.c_str(), MSG_PORT, "a bus did not come up");
  d.runtime =
      nkbench::startLogged({kNkrun, "-f", "-c", conf, "idle"}, dir + "/" + d.name + "-run.log");
  d.bridge =
      nkbench::startLogged({kNkbridge, "-f", "-c", conf}, dir + "/" + d.name + "-bridge.log");
  unsetenv("NK_BUS_ADDRESS");
  return d;
}

// Runs a program to its end with NK_BUS_ADDRESS set (or not): seconds taken.
double timeRun(const std::vector<std::string> &args, const char *busAddress) {
  if (busAddress) setenv("NK_BUS_ADDRESS", busAddress, 1);
  double start = now();
  pid_t pid = nkbench::startLogged(args, dir + "/run.log");
  int status = 0;
  waitpid(pid, &status, 0);
  nkbench::forgetChild(pid);
  unsetenv("NK_BUS_ADDRESS");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a get failed");
  return now() - start;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> &sorted, double p) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(p * (sorted.size() - 1));
  return sorted[i];
}

// A device's runtime answers once its bridge has published its status.
void waitOnline(const std::vector<Device> &devices) {
  for (const Device &d : devices) {
    std::string out;
    for (double end = now() + 30; now() < end; usleep(100000)) {
      FILE *p = popen(
          (std::string(kNkfleet) + " -p " + std::to_string(brokerPort) + " devices 2>/dev/null")
              .c_str(),
          "r");
      char buf[4096];
      out.clear();
      while (p && fgets(buf, sizeof buf, p)) out += buf;
      if (p) pclose(p);
      if (out.find("bench/" + d.name + " ") != std::string::npos &&
          out.find("online", out.find("bench/" + d.name + " ")) != std::string::npos) {
        break;
      }
    }
    if (out.find("bench/" + d.name + " ") == std::string::npos) fail("a device never came online");
  }
}

void measureGet(const Device &d) {
  MsgClient *c = nkMsgRemoteInit("bench", d.address.c_str());
  int data = stringDup("level=42");
  nkMsgSend(c, "nkrun", nullptr, kTypeSet, data);
  stringFree(data);
  nkMsgClose(c);
  const int runs = 30;
  std::vector<double> local, remote;
  std::string port = std::to_string(brokerPort);
  for (int i = 0; i < runs; i++) {
    local.push_back(timeRun({kNksh, "-c", "get", "level"}, d.address.c_str()));
    remote.push_back(
        timeRun({kNkfleet, "-p", port, "-d", "bench/" + d.name, "get", "level"}, nullptr));
  }
  double l = median(local) * 1000, r = median(remote) * 1000;
  printf("get on the device (nksh -c get level):          %8.2f ms (median of %d)\n", l, runs);
  printf("get through broker and bridge (nkfleet -d ...): %8.2f ms (median of %d), %.2fx\n", r,
         runs, r / l);
}

// ---- fan-in ----------------------------------------------------------------

struct Arrivals {
  std::mutex lock;
  std::vector<double> latency;  // seconds
  uint64_t stale = 0;           // retained values of earlier runs
} arrivals;

double epoch() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void onTag(mosquitto *, void *, const mosquitto_message *m) {
  std::string v(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
  double sent = atof(v.c_str());
  std::lock_guard<std::mutex> hold(arrivals.lock);
  if (m->retain) {
    arrivals.stale++;
    return;
  }
  arrivals.latency.push_back(epoch() - sent);
}

double cpuSeconds(pid_t pid) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char buf[2048];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  const char *p = strrchr(buf, ')');
  unsigned long utime = 0, stime = 0;
  // Fields after the name: state, then 10 numbers, then utime and stime.
  if (p) sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void measureFanIn(const std::vector<Device> &devices, int seconds) {
  mosquitto *sub = mosquitto_new(nullptr, true, nullptr);
  mosquitto_message_callback_set(sub, onTag);
  if (mosquitto_connect(sub, "127.0.0.1", brokerPort, 30) != MOSQ_ERR_SUCCESS) {
    fail("cannot subscribe at the broker");
  }
  mosquitto_subscribe(sub, nullptr, "nk/bench/+/tag/#", 1);
  mosquitto_loop_start(sub);
  std::vector<MsgClient *> clients;
  for (const Device &d : devices) clients.push_back(nkMsgRemoteInit("bench", d.address.c_str()));
  usleep(500000);  // the retained values of the tags come first, as stale
  std::vector<double> cpuBefore;
  for (const Device &d : devices) cpuBefore.push_back(cpuSeconds(d.bridge));
  int data = stringAlloc(0);
  uint64_t sent = 0;
  double start = now();
  for (int tick = 0; now() - start < seconds; tick++) {
    // One set per device every 10 ms: 100 a second each, tags t0..t99 in turn.
    double due = start + tick * 0.01;
    double wait = due - now();
    if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
    for (MsgClient *c : clients) {
      char text[64];
      snprintf(text, sizeof text, "t%d=%.6f", tick % kTagsPerDevice, epoch());
      stringCopy(data, text);
      nkMsgSend(c, "nkrun", nullptr, kTypeSet, data);
      sent++;
    }
  }
  double elapsed = now() - start;
  // What is still on its way gets 5 s.
  for (double end = now() + 5; now() < end; usleep(100000)) {
    std::lock_guard<std::mutex> hold(arrivals.lock);
    if (arrivals.latency.size() >= sent) break;
  }
  double cpu = 0;
  for (size_t i = 0; i < devices.size(); i++) cpu += cpuSeconds(devices[i].bridge) - cpuBefore[i];
  stringFree(data);
  for (MsgClient *c : clients) nkMsgClose(c);
  mosquitto_loop_stop(sub, true);
  std::vector<double> latency;
  {
    std::lock_guard<std::mutex> hold(arrivals.lock);
    latency = arrivals.latency;
  }
  mosquitto_destroy(sub);
  std::sort(latency.begin(), latency.end());
  printf("fan-in: %zu devices x %d tags/s for %.0f s: %llu changes sent, %zu arrived (%.2f%%)\n",
         devices.size(), kTagsPerDevice, elapsed, static_cast<unsigned long long>(sent),
         latency.size(), sent ? 100.0 * static_cast<double>(latency.size()) / sent : 0);
  printf("fan-in latency set -> subscriber: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
         percentile(latency, 0.5) * 1000, percentile(latency, 0.99) * 1000,
         latency.empty() ? 0 : latency.back() * 1000);
  printf("bridges' CPU: %.3f s in all, %.1f ms per 1,000 changes\n", cpu,
         sent ? cpu * 1000 / (static_cast<double>(sent) / 1000) : 0);
}

void onInterrupt(int) {
  nkbench::stopChildrenNow();
  _exit(130);
}

}  // namespace

int main(int argc, char **argv) {
  struct sigaction sa = {};
  sa.sa_handler = onInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int seconds = 60;
  std::vector<char *> sections = {argv[0]};
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = atoi(argv[++i]);
    } else {
      sections.push_back(argv[i]);
    }
  }
  for (const char *program : {kNkbus, kNkrun, kNkbridge, kNkfleet, kNksh}) {
    if (access(program, X_OK) != 0) {
      fprintf(stderr, "bench_fleet: %s is missing: build nkbus nkrun nkbridge nkfleet nksh\n",
              program);
      return 2;
    }
  }
  memInit();
  nkbench::quietLog();
  char dirTemplate[] = "/tmp/bench_fleet_XXXXXX";
  if (!mkdtemp(dirTemplate)) return 2;
  dir = dirTemplate;
  nkbench::writeFile(dir + "/idle.lua", "while true do nk.wait() end\n");
  struct sockaddr_in a = nkbench::loopback(0);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  brokerPort = ntohs(a.sin_port);
  nkbench::writeFile(dir + "/broker.conf", "listener " + std::to_string(brokerPort) +
                                               " 127.0.0.1\nallow_anonymous true\n"
                                               "persistence false\nmax_queued_messages 100000\n"
                                               "set_tcp_nodelay true\n");
  nkbench::startLogged({"mosquitto", "-c", dir + "/broker.conf"}, dir + "/broker.log");
  waitFor("127.0.0.1", brokerPort, "the broker did not come up");
  mosquitto_lib_init();

  int argcSections = static_cast<int>(sections.size());
  std::vector<Device> devices;
  if (nkbench::wanted(argcSections, sections.data(), "get")) {
    devices.push_back(startDevice(0));
    waitOnline(devices);
    measureGet(devices[0]);
  }
  if (nkbench::wanted(argcSections, sections.data(), "fanin")) {
    for (int n = static_cast<int>(devices.size()); n < 10; n++) devices.push_back(startDevice(n));
    waitOnline(devices);
    measureFanIn(devices, seconds);
  }
  nkbench::stopAll();
  mosquitto_lib_cleanup();
  if (system(("rm -rf '" + dir + "'").c_str()) != 0) return 1;
  return 0;
}
