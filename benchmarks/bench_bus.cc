// Request/reply round trips through the bus, one request outstanding: a client
// of this library (nkMsgRequest to "echo") -> nkbus -> a responder of this
// library (nkMsgGet, nkMsgReply with the same data) -> nkbus -> the client.
// In the same run, for comparison, the same shape over a plain relay of
// blocking sockets (client -> relay -> echo -> relay -> client, the physical
// limit of a relayed round trip) and over the mosquitto broker with
// libmosquitto (request topic, reply topic, QoS 0). Every party is a process
// of its own. The three are measured in turn, several times, and the median
// of each figure is reported (the machine is small and shared).
//
// Besides the rate and the latencies, each measurement counts what a round
// trip costs the machine: the context switches (voluntary, that is wake-ups,
// and involuntary) and the CPU time of every thread of the three parties, the
// client, the server and the responder, from /proc/<pid>/task/*/status and the
// processes' CPU clocks, read just before and just after the timed rounds.
// The targets: a round trip through nkbus at most 7 context switches in all,
// and at least 0.9 of the mosquitto rate. With NK_BENCH_THREADS set in the
// environment, each measurement also writes every thread's switches to
// standard error (which thread wakes how often).
//
// Last, a load run: a hundred clients of one process at once, each sending a
// tenth of the round trips; every reply must come back to its request (the
// program fails otherwise).
//
// The program starts the nkbus found beside its own directory
// (<build>/benchmarks/bench_bus -> <build>/nkbus) on 127.0.0.1:4242, and
// mosquitto on a free loopback port from 18830, and stops both at the end. It
// refuses to run while something else listens on port 4242.
//
//   build/<dir>/benchmarks/bench_bus [round trips per measurement, default 10000]
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#ifdef NK_BENCH_MOSQUITTO
#include <mosquitto.h>
#endif

#include "benchproc.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"

namespace {

using nkbench::connectLoopback;
using nkbench::forkChild;
using nkbench::rememberChild;
using nkbench::stopProcess;

using Clock = std::chrono::steady_clock;

// The data of every request and reply: a typical small reading.
constexpr char kPayload[] = "sensor=kitchen,temperature=21.50,humidity=40.20";
constexpr int kLoadClients = 100;  // clients at once in the load run
bool loadLost;                     // the load run lost or mixed up a reply
constexpr int kRepetitions = 5;    // measurements of each shape, alternated
constexpr int kWarmUp = 500;       // round trips before the timed ones
constexpr int kClientAlarm = 30;   // seconds a client may take before it is ended
#ifdef NK_BENCH_MOSQUITTO
constexpr int kFirstMqttPort = 18830;
constexpr char kRequestTopic[] = "bench/bus/request";
constexpr char kReplyTopic[] = "bench/bus/reply";
#endif

// The three parties of a round trip, in the order their costs are printed.
constexpr int kParties = 3;  // client, server, responder
const char *const kPartyNames[kParties] = {"client", "server", "responder"};

struct Figures {
  double rate = -1;  // round trips per second, -1 for a failed measurement
  double p50 = 0;    // microseconds
  double p99 = 0;
  // Per round trip and party (kPartyNames): voluntary and involuntary
  // context switches of all its threads, and its CPU time in microseconds.
  double voluntary[kParties] = {};
  double involuntary[kParties] = {};
  double cpu[kParties] = {};
};

// What the processes of the parties have used so far.
struct Usage {
  long long voluntary[kParties] = {};
  long long involuntary[kParties] = {};
  double cpu[kParties] = {};  // microseconds
};

// The processes whose usage a measurement reads, by party (0: none).
pid_t parties[kParties];

// Adds the switches in the status file of one thread (none if it has just
// ended) to *voluntary and *involuntary.
void addSwitchesOf(const char *status, long long *voluntary, long long *involuntary) {
  FILE *f = fopen(status, "re");
  if (!f) return;
  char line[256];
  long long n = 0;
  while (fgets(line, sizeof line, f)) {
    if (sscanf(line, "voluntary_ctxt_switches: %lld", &n) == 1) *voluntary += n;
    if (sscanf(line, "nonvoluntary_ctxt_switches: %lld", &n) == 1) *involuntary += n;
  }
  fclose(f);
}

// Adds the switches of every thread of pid to *voluntary and *involuntary.
void addSwitches(pid_t pid, long long *voluntary, long long *involuntary) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
  DIR *tasks = opendir(path);
  if (!tasks) return;
  while (struct dirent *task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::string status = std::string(path) + "/" + task->d_name + "/status";
    addSwitchesOf(status.c_str(), voluntary, involuntary);
  }
  closedir(tasks);
}

// The switches so far of one thread of a party (NK_BENCH_THREADS).
struct ThreadSwitches {
  int party;
  int tid;
  long long voluntary, involuntary;
};

std::vector<ThreadSwitches> threadSwitches() {
  std::vector<ThreadSwitches> all;
  for (int i = 0; i < kParties; i++) {
    if (parties[i] <= 0) continue;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(parties[i]));
    DIR *tasks = opendir(path);
    if (!tasks) continue;
    while (struct dirent *task = readdir(tasks)) {
      if (task->d_name[0] == '.') continue;
      ThreadSwitches t = {i, atoi(task->d_name), 0, 0};
      std::string base = std::string(path) + "/" + task->d_name;
      addSwitchesOf((base + "/status").c_str(), &t.voluntary, &t.involuntary);
      all.push_back(t);
    }
    closedir(tasks);
  }
  std::sort(all.begin(), all.end(),
            [](const ThreadSwitches &a, const ThreadSwitches &b) { return a.tid < b.tid; });
  return all;
}

void printThreadSwitches(const char *label, const std::vector<ThreadSwitches> &before,
                         const std::vector<ThreadSwitches> &after, int rounds) {
  for (const ThreadSwitches &a : after) {
    for (const ThreadSwitches &b : before) {
      if (a.tid != b.tid) continue;
      fprintf(stderr, "%s: %-9s thread %d%s: %5.2f voluntary %5.2f involuntary\n", label,
              kPartyNames[a.party], a.tid, a.tid == parties[a.party] ? " (main)" : "",
              static_cast<double>(a.voluntary - b.voluntary) / rounds,
              static_cast<double>(a.involuntary - b.involuntary) / rounds);
    }
  }
}

// The CPU time of all threads of pid so far, in microseconds.
double cpuMicros(pid_t pid) {
  clockid_t clock;
  struct timespec ts;
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

Usage usageNow() {
  Usage u;
  for (int i = 0; i < kParties; i++) {
    if (parties[i] <= 0) continue;
    addSwitches(parties[i], &u.voluntary[i], &u.involuntary[i]);
    u.cpu[i] = cpuMicros(parties[i]);
  }
  return u;
}

// The usage between before and after, per round trip, into f.
void perRoundTrip(const Usage &before, const Usage &after, int rounds, Figures *f) {
  for (int i = 0; i < kParties; i++) {
    f->voluntary[i] = static_cast<double>(after.voluntary[i] - before.voluntary[i]) / rounds;
    f->involuntary[i] = static_cast<double>(after.involuntary[i] - before.involuntary[i]) / rounds;
    f->cpu[i] = (after.cpu[i] - before.cpu[i]) / rounds;
  }
}

// Stops the servers and responders started so far, then ends the run.
void onInterrupt(int) {
  nkbench::stopChildrenNow();
  _exit(3);
}

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double micros(Clock::time_point since) {
  return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

// The parties' usage around the timed rounds of the measurement in progress.
Usage usageBefore, usageAfter;
std::vector<ThreadSwitches> threadsBefore, threadsAfter;

// Runs once() kWarmUp times, then rounds times recording each latency in
// lat. Returns the seconds the timed rounds took, or -1 if a round failed.
template <typename Once>
double timeRounds(Once once, int rounds, std::vector<double> &lat) {
  for (int i = 0; i < kWarmUp; i++) {
    if (!once()) return -1;
  }
  if (getenv("NK_BENCH_THREADS")) threadsBefore = threadSwitches();
  usageBefore = usageNow();
  Clock::time_point start = Clock::now();
  for (int i = 0; i < rounds; i++) {
    Clock::time_point t0 = Clock::now();
    if (!once()) return -1;
    lat.push_back(micros(t0));
  }
  double took = seconds(start);
  usageAfter = usageNow();
  if (getenv("NK_BENCH_THREADS")) threadsAfter = threadSwitches();
  return took;
}

std::string ownDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s(path);
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

bool readAll(int fd, void *buffer, size_t size) {
  char *p = static_cast<char *>(buffer);
  while (size > 0) {
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool sendAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Starts body(readyFd) in a child and waits until it signals readiness on
// readyFd; -1 if it ended first.
template <typename Body>
pid_t startChild(Body body) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = forkChild();
  if (pid == 0) {
    close(ready[0]);
    body(ready[1]);
    _exit(1);
  }
  close(ready[1]);
  char byte = 0;
  bool ok = pid > 0 && readAll(ready[0], &byte, 1);
  close(ready[0]);
  if (pid > 0) rememberChild(pid);
  if (!ok && pid > 0) {
    stopProcess(pid, 1);
    return -1;
  }
  return pid;
}

void signalReady(int fd) {
  char byte = 1;
  if (write(fd, &byte, 1) != 1) _exit(1);
  close(fd);
}

// Runs client(latencies) in a fresh process: it returns the timed seconds, or
// a negative value on failure. The child sends back its figures, with the
// usage of itself, of server and of responder.
template <typename ClientFn>
Figures runClient(const char *label, ClientFn client, int rounds, pid_t server, pid_t responder) {
  int result[2];
  if (pipe(result) != 0) return Figures();
  pid_t pid = forkChild();
  if (pid == 0) {
    close(result[0]);
    parties[0] = getpid();
    parties[1] = server;
    parties[2] = responder;
    alarm(kClientAlarm);
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(rounds));
    double took = client(rounds, lat);
    Figures f;
    if (took > 0 && !lat.empty()) {
      std::sort(lat.begin(), lat.end());
      f.rate = static_cast<double>(lat.size()) / took;
      f.p50 = lat[lat.size() / 2];
      f.p99 = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
      perRoundTrip(usageBefore, usageAfter, static_cast<int>(lat.size()), &f);
      printThreadSwitches(label, threadsBefore, threadsAfter, static_cast<int>(lat.size()));
    }
    if (write(result[1], &f, sizeof f) != sizeof f) _exit(1);
    _exit(0);
  }
  close(result[1]);
  Figures f;
  if (pid < 0 || !readAll(result[0], &f, sizeof f)) f = Figures();
  close(result[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  if (f.rate <= 0) {
    fprintf(stderr, "bench_bus: %s: a measurement failed (client status 0x%x)\n", label, status);
  }
  return f;
}

// ---- our bus ------------------------------------------------------------------

[[noreturn]] void busResponder(int readyFd) {
  memInit();
  MsgClient *c = nkMsgInit("echo");
  if (!c) _exit(1);
  signalReady(readyFd);
  int data = stringAlloc(0);
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int type = 0;
  while (nkMsgGet(c, to, from, &type, data) == MSG_OK) nkMsgReply(c, from, nullptr, 0, data);
  _exit(0);
}

double busClient(int rounds, std::vector<double> &lat, int instance) {
  memInit();
  char name[64];
  snprintf(name, sizeof name, "bench-client-%d", instance);
  MsgClient *c = nkMsgInit(name);
  if (!c) return -1;
  int data = stringDup(kPayload);
  auto once = [&]() {
    return nkMsgRequest(c, "echo", nullptr, 1, data) == 0 &&
           strcmp(static_cast<char *>(memGetData(data)), kPayload) == 0;
  };
  double took = timeRounds(once, rounds, lat);
  stringFree(data);
  nkMsgClose(c);
  return took;
}

// Many clients of one process at once (threads, each its own client), each
// with a stream of requests to the echo responder: the rate, and how many
// replies did not come back or did not match their request (must be 0). The
// clients that end and close leave the others' polling running.
void busLoad(int clients, int requests) {
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < clients; i++) {
    threads.emplace_back([&good, i, requests] {
      MsgClient *c = nkMsgInit(("load-" + std::to_string(i)).c_str());
      int data = stringAlloc(0);
      for (int j = 0; j < requests; j++) {
        std::string payload = std::to_string(i) + "-" + std::to_string(j);
        stringCopy(data, payload.c_str());
        good += nkMsgRequest(c, "echo", nullptr, 1, data) == 0 &&
                static_cast<char *>(memGetData(data)) == payload;
      }
      stringFree(data);
      nkMsgClose(c);
    });
  }
  for (std::thread &t : threads) t.join();
  int all = clients * requests;
  printf("%d clients x %d requests at once: %.0f round trips/s, %d of %d lost or wrong\n", clients,
         requests, all / seconds(start), all - good.load(), all);
  if (good.load() != all) loadLost = true;
}

// ---- plain blocking-socket relay ---------------------------------------------

// A socket listening on a free loopback port, which goes to *port; -1 on
// failure.
int listenLoopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = nkbench::loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 5) != 0) return -1;
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Forwards what arrives on from to to until a line feed has passed.
bool forwardLine(int from, int to) {
  char buf[4096];
  for (;;) {
    ssize_t n = recv(from, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (!sendAll(to, buf, static_cast<size_t>(n))) return false;
    if (memchr(buf, '\n', static_cast<size_t>(n))) return true;
  }
}

// The echo: sends every line back as it came. Ends when the relay closes.
[[noreturn]] void plainEcho(int lfd) {
  int conn = accept(lfd, nullptr, nullptr);
  while (conn >= 0 && forwardLine(conn, conn)) {
  }
  _exit(0);
}

// The relay: a line from the client to the echo, then a line back.
[[noreturn]] void plainRelay(int lfd, int echoPort) {
  int client = accept(lfd, nullptr, nullptr);
  int echo = connectLoopback(echoPort);
  while (client >= 0 && echo >= 0 && forwardLine(client, echo) && forwardLine(echo, client)) {
  }
  _exit(0);
}

double plainClient(int rounds, std::vector<double> &lat, int relayPort, int instance) {
  int fd = connectLoopback(relayPort);
  if (fd < 0) return -1;
  // The lines the bus carries for the same exchange: same size and shape.
  auto once = [&](int seq) {
    char line[256], reply[256];
    int len =
        snprintf(line, sizeof line, "echo,bench-client-%d,1,%d,%s\r\n", instance, seq, kPayload);
    if (!sendAll(fd, line, static_cast<size_t>(len))) return false;
    size_t got = 0;
    while (got == 0 || reply[got - 1] != '\n') {
      ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return got == static_cast<size_t>(len) && memcmp(line, reply, got) == 0;
  };
  int seq = 1;
  double took = timeRounds([&] { return once(seq++); }, rounds, lat);
  close(fd);
  return took;
}

Figures measurePlain(int rounds, int instance) {
  int echoPort = 0, relayPort = 0;
  int echoListen = listenLoopback(&echoPort);
  int relayListen = listenLoopback(&relayPort);
  if (echoListen < 0 || relayListen < 0) return Figures();
  pid_t echo = forkChild();
  if (echo == 0) {
    close(relayListen);
    plainEcho(echoListen);
  }
  if (echo > 0) rememberChild(echo);
  pid_t relay = forkChild();
  if (relay == 0) {
    close(echoListen);
    plainRelay(relayListen, echoPort);
  }
  if (relay > 0) rememberChild(relay);
  close(echoListen);
  close(relayListen);
  Figures f;
  if (echo > 0 && relay > 0) {
    f = runClient(
        "plain relay",
        [&](int n, std::vector<double> &lat) { return plainClient(n, lat, relayPort, instance); },
        rounds, relay, echo);
  }
  stopProcess(relay, 1);
  stopProcess(echo, 1);
  return f;
}

// ---- mosquitto ----------------------------------------------------------------

#ifdef NK_BENCH_MOSQUITTO

struct MqttState {
  bool subscribed = false;
  long replies = 0;
  bool mismatch = false;
};

void onSubscribed(struct mosquitto *, void *obj, int, int, const int *) {
  static_cast<MqttState *>(obj)->subscribed = true;
}

void onRequest(struct mosquitto *m, void *, const struct mosquitto_message *msg) {
  mosquitto_publish(m, nullptr, kReplyTopic, msg->payloadlen, msg->payload, 0, false);
}

void onReply(struct mosquitto *, void *obj, const struct mosquitto_message *msg) {
  MqttState *st = static_cast<MqttState *>(obj);
  size_t len = strlen(kPayload);
  if (static_cast<size_t>(msg->payloadlen) != len || memcmp(msg->payload, kPayload, len) != 0) {
    st->mismatch = true;
  }
  st->replies++;
}

// Connects and subscribes to topic; null on failure.
struct mosquitto *mqttOpen(const char *id, int port, const char *topic, MqttState *st) {
  mosquitto_lib_init();
  struct mosquitto *m = mosquitto_new(id, true, st);
  if (!m) return nullptr;
  mosquitto_subscribe_callback_set(m, onSubscribed);
  int rc = mosquitto_connect(m, "127.0.0.1", port, 60);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_subscribe(m, nullptr, topic, 0);
  while (rc == MOSQ_ERR_SUCCESS && !st->subscribed) rc = mosquitto_loop(m, 1000, 1);
  if (rc != MOSQ_ERR_SUCCESS) {
    fprintf(stderr, "bench_bus: %s: %s\n", id, mosquitto_strerror(rc));
    return nullptr;
  }
  return m;
}

[[noreturn]] void mqttResponder(int readyFd, int port) {
  MqttState st;
  struct mosquitto *m = mqttOpen("bench-echo", port, kRequestTopic, &st);
  if (!m) _exit(1);
  mosquitto_message_callback_set(m, onRequest);
  signalReady(readyFd);
  mosquitto_loop_forever(m, 1000, 1);
  _exit(0);
}

// Publishes a request, then runs the client's network loop on this thread
// until the reply has come.
double mqttClient(int rounds, std::vector<double> &lat, int port, int instance) {
  char id[64];
  snprintf(id, sizeof id, "bench-client-%d", instance);
  MqttState st;
  struct mosquitto *m = mqttOpen(id, port, kReplyTopic, &st);
  if (!m) return -1;
  mosquitto_message_callback_set(m, onReply);
  int len = static_cast<int>(strlen(kPayload));
  auto once = [&]() {
    long before = st.replies;
    if (mosquitto_publish(m, nullptr, kRequestTopic, len, kPayload, 0, false) != MOSQ_ERR_SUCCESS) {
      return false;
    }
    while (st.replies == before) {
      int rc = mosquitto_loop(m, 1000, 1);
      if (rc != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "bench_bus: %s: %s\n", id, mosquitto_strerror(rc));
        return false;
      }
    }
    return !st.mismatch;
  };
  double took = timeRounds(once, rounds, lat);
  mosquitto_disconnect(m);
  mosquitto_destroy(m);
  mosquitto_lib_cleanup();
  return took;
}

#endif  // NK_BENCH_MOSQUITTO

// ---- report ---------------------------------------------------------------------

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Series {
  const char *label;
  std::vector<Figures> runs;
  bool failed = false;
  double rate() const { return failed ? 0 : median(pick(&Figures::rate)); }
  double best() const {
    std::vector<double> v = pick(&Figures::rate);
    return failed || v.empty() ? 0 : *std::max_element(v.begin(), v.end());
  }
  std::vector<double> pick(double Figures::*field) const {
    std::vector<double> v;
    for (const Figures &f : runs) v.push_back(f.*field);
    return v;
  }
  // The median over the runs of one party's figure, or (party -1) of the
  // sum over the parties.
  double cost(double (Figures::*field)[kParties], int party) const {
    std::vector<double> v;
    for (const Figures &f : runs) {
      double sum = 0;
      for (int i = 0; i < kParties; i++) {
        if (party < 0 || party == i) sum += (f.*field)[i];
      }
      v.push_back(sum);
    }
    return median(v);
  }
  // Voluntary and involuntary switches together, per party or (-1) in all.
  double switches(int party) const {
    std::vector<double> v;
    for (const Figures &f : runs) {
      double sum = 0;
      for (int i = 0; i < kParties; i++) {
        if (party < 0 || party == i) sum += f.voluntary[i] + f.involuntary[i];
      }
      v.push_back(sum);
    }
    return median(v);
  }
  void add(const Figures &f) {
    if (f.rate <= 0) failed = true;
    runs.push_back(f);
  }
  void print() const {
    if (failed || runs.empty()) {
      printf("%-34s failed\n", label);
      return;
    }
    printf("%-34s %8.0f round trips/s (best %.0f)  p50 %7.1f us  p99 %7.1f us\n", label, rate(),
           best(), median(pick(&Figures::p50)), median(pick(&Figures::p99)));
  }
  // Switches (voluntary + involuntary) and CPU per round trip, in all and
  // per party.
  void printCost() const {
    if (failed || runs.empty()) {
      printf("%-34s failed\n", label);
      return;
    }
    printf(
        "%-34s %5.2f (vol %4.2f, invol %4.2f; %4.2f / %4.2f / %4.2f)  %6.1f us (%5.1f / %5.1f / "
        "%5.1f)\n",
        label, switches(-1), cost(&Figures::voluntary, -1), cost(&Figures::involuntary, -1),
        switches(0), switches(1), switches(2), cost(&Figures::cpu, -1), cost(&Figures::cpu, 0),
        cost(&Figures::cpu, 1), cost(&Figures::cpu, 2));
  }
};

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 10000;
  if (rounds <= 0) rounds = 10000;

  struct sigaction sa = {};
  sa.sa_handler = onInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  if (nkbench::portAccepts(MSG_PORT)) {
    fprintf(stderr, "bench_bus: something already listens on 127.0.0.1:%d; not measuring\n",
            MSG_PORT);
    return 2;
  }
  std::string nkbus = ownDirectory() + "/../nkbus";
  if (access(nkbus.c_str(), X_OK) != 0) {
    fprintf(stderr, "bench_bus: no bus server at %s\n", nkbus.c_str());
    return 2;
  }
  pid_t bus = nkbench::startLogged({nkbus, "-f"}, "/tmp/bench_bus.nkbus.log");
  if (bus <= 0 || !nkbench::waitForPort(MSG_PORT, bus, 10)) {
    fprintf(stderr, "bench_bus: nkbus did not come up (see /tmp/bench_bus.nkbus.log)\n");
    stopProcess(bus, 1);
    return 2;
  }
  pid_t busEcho = startChild([](int ready) { busResponder(ready); });

#ifdef NK_BENCH_MOSQUITTO
  int mqttPort = kFirstMqttPort;
  while (mqttPort < kFirstMqttPort + 20 && !nkbench::portFree(mqttPort)) mqttPort++;
  char confPath[64];
  snprintf(confPath, sizeof confPath, "/tmp/bench_bus.%d.mosquitto.conf",
           static_cast<int>(getpid()));
  FILE *conf = fopen(confPath, "w");
  if (conf) {
    fprintf(conf, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n", mqttPort);
    fclose(conf);
  }
  // Debian's broker; the search path only where it is installed elsewhere.
  const char *mosquitto =
      access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
  pid_t broker = nkbench::startLogged({mosquitto, "-c", confPath}, "/tmp/bench_bus.mosquitto.log");
  bool brokerUp = broker > 0 && nkbench::waitForPort(mqttPort, broker, 10);
  if (!brokerUp) {
    fprintf(stderr, "bench_bus: mosquitto did not come up (see /tmp/bench_bus.mosquitto.log)\n");
  }
  pid_t mqttEcho =
      brokerUp ? startChild([mqttPort](int ready) { mqttResponder(ready, mqttPort); }) : -1;
#endif

  Series plain{"plain blocking-socket relay", {}};
  Series ours{"nk bus (nkbus, nkmsg client)", {}};
  Series mqtt{"mosquitto (libmosquitto, QoS 0)", {}};
  if (busEcho <= 0) ours.failed = true;
  for (int i = 0; i < kRepetitions; i++) {
    plain.add(measurePlain(rounds, i));
    if (busEcho > 0) {
      ours.add(runClient(
          "nk bus", [i](int n, std::vector<double> &lat) { return busClient(n, lat, i); }, rounds,
          bus, busEcho));
    }
#ifdef NK_BENCH_MOSQUITTO
    if (mqttEcho > 0) {
      mqtt.add(runClient(
          "mosquitto",
          [i, mqttPort](int n, std::vector<double> &lat) {
            return mqttClient(n, lat, mqttPort, i);
          },
          rounds, broker, mqttEcho));
    }
#endif
  }

  if (busEcho > 0) {
    memInit();
    busLoad(kLoadClients, rounds / 10);
  }
  stopProcess(busEcho, 2);
  stopProcess(bus, 5);
#ifdef NK_BENCH_MOSQUITTO
  stopProcess(mqttEcho, 2);
  stopProcess(broker, 5);
  unlink(confPath);
#endif

  printf(
      "request/reply, one outstanding, %d round trips x %d runs alternated; "
      "median of the runs (best rate in brackets)\n",
      rounds, kRepetitions);
  plain.print();
  ours.print();
#ifdef NK_BENCH_MOSQUITTO
  if (mqtt.runs.empty()) mqtt.failed = true;
  mqtt.print();
#else
  printf("%-34s not built (no libmosquitto)\n", mqtt.label);
#endif
  printf(
      "\nper round trip, each figure the median of the runs: context switches (voluntary, "
      "involuntary; client / server / responder), CPU (client / server / responder)\n");
  plain.printCost();
  ours.printCost();
#ifdef NK_BENCH_MOSQUITTO
  mqtt.printCost();
#endif
  printf("\n");
  double r = plain.rate() > 0 ? ours.rate() / plain.rate() : 0;
  printf("ratio nk bus / plain relay: %.2f (target >= 0.60)\n", r);
#ifdef NK_BENCH_MOSQUITTO
  double m = mqtt.rate() > 0 ? ours.rate() / mqtt.rate() : 0;
  printf("ratio nk bus / mosquitto:   %.2f (target >= 0.90)\n", m);
  printf("switches per round trip:    nk bus %.2f, mosquitto %.2f (target for nk bus <= 7)\n",
         ours.switches(-1), mqtt.switches(-1));
  printf("CPU per round trip:         nk bus %.1f us, mosquitto %.1f us\n",
         ours.cost(&Figures::cpu, -1), mqtt.cost(&Figures::cpu, -1));
#endif
  return plain.failed || ours.failed || loadLost ? 1 : 0;
}
