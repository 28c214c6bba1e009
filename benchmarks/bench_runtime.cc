// The runtime process as the operator and the scripts meet it, each figure
// beside what it is compared with, all in one run:
//
//   - a shell command: the wall time of `nksh -c ps` against an nkrun running
//     100 contexts parked in nk.waitfor (every listing must show all 100),
//     beside that of `redis-cli ping` against a redis-server started here on
//     a free loopback port from 6390. Each is a whole process: started,
//     connected, answered, ended. The two alternate, and so does which of
//     them goes first, kCommandRuns times; then the medians and the median
//     of the runs' ratios (target: nksh within 2x). For information, also
//     `nksh -c version`: the shell started, connected to the bus and ended,
//     without a request to the runtime.
//   - events: one script posting N events to another with blocking posts
//     (nk.post(name, i, true) waits for room in a full queue, so that none is
//     lost), the other taking them with nk.wait() and counting them; timed
//     with nk.now() inside the scripts, from before the first post to the
//     N-th event taken, and read back with `nksh -c lua`. A round starts with
//     `nksh -c post go reply`. Beside it, in this process and in the same
//     repetition, the library's event delivery as bench_context measures it:
//     eventPost from C to one context looping on t.wait(), and contextExecute
//     until it waits again. For information, also the two scripts' shape as
//     contexts of this process's own Lua state, on bindings that call the
//     library and do nothing else (the library wakes a poster refused by a
//     full queue once there is room, and the script posts again).
//   - fairness: the round trip of a `lua` line (a request of this process,
//     through nkbus) to an nkrun whose two contexts pass one event back and
//     forth without end, beside the same to an nkrun with nothing to run;
//     both run at once, and the requests alternate between them,
//     kFairRequests each: medians and the longest. Also the rounds per
//     second the two contexts make meanwhile. A pass of the contexts gives
//     way after 5 ms, so the busy runtime should answer within a few ms.
//   - timers: the wall time of `nksh -c timers` against an nkrun holding
//     10,000 periodic timers (every listing must show them all), beside
//     10,000 times one bus round trip: the median of kRoundTrips requests
//     "stat=timers,index=0" from this process to a second nkrun that holds
//     no timer, measured right after each listing. Then, for information,
//     how long that second nkrun stays silent while 10,000 one-shot timers
//     fire at one instant: a lua line arms them to expire together, and
//     lua lines "1" follow one another until they have all fired; the
//     longest answer. Each fired timer's event is one that nothing takes,
//     which nkrun logs as ignored (once a second, with a count).
//   - tag writes: nk.set of a tag nobody watches, beside nk.get and a Lua
//     table write, timed inside one lua line (kTagOps each), in three
//     runtimes with 0, 10 and 10,000 further events registered (filtered by
//     a script), a line to each in turn; medians of kRepetitions lines.
//   - listings row by row: whole `ps` and `events` listings requested as the
//     shell pages through them, from an nkrun of kManyRows contexts and one
//     of kFewRows (each context parked on an event of its own, so that both
//     listings have a row per context; the small listings are repeated to
//     make as many requests), the mean per request, beside one bus round
//     trip (as many `ps` requests for index 0); medians of kListingRuns. A
//     row should cost the same whatever its index (target: within 1.3 times
//     a round trip).
//   - the memory handle listing: memStatsHandleQuery walks in this process,
//     per row, over kManyRows groups of one handle, kFewRows groups of one,
//     and kFewRows groups spread over kManyRows handles.
//
// The program runs the nkbus, nkrun and nksh of its own build (their paths
// come from CMake) with the bus on 127.0.0.1:4242, and refuses to run while
// something else listens there. It stops every process it started, also
// when it fails or is interrupted. Without redis-server and redis-cli it
// says how to install them and leaves that comparison out. The logs of the
// processes it starts go to /tmp/bench_runtime.<program>.log.
//
//   build/<dir>/benchmarks/bench_runtime [ps] [events] [fair] [tags] [timers] [rows] [memh]
//                                                                   (default: all)
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include "argparse.h"
#include "benchlua.h"
#include "benchproc.h"
#include "context.h"
#include "event.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"

namespace {

using nkbench::argvOf;
using nkbench::bFilter;
using nkbench::bWait;
using nkbench::forgetChild;
using nkbench::median;
using nkbench::medianRatio;
using nkbench::nowNanos;
using nkbench::rememberChild;
using nkbench::stopAll;
using nkbench::stopProcess;
using nkbench::waitCount;
using nkbench::waitForPort;

constexpr int kCommandRuns = 30;  // runs of each shell command, alternated
constexpr int kParked = 100;      // contexts of the nkrun that ps lists
constexpr int kFirstRedisPort = 6390;
constexpr int kRepetitions = 7;         // rounds of the event figures
constexpr int kRuntimeEvents = 200000;  // events of one round through nkrun
constexpr int kLibraryEvents = 200000;  // as bench_context's "event, one context"
constexpr int kFairRequests = 300;      // lua lines to each runtime
constexpr int kListedTimers = 10000;    // timers of the nkrun that timers lists
constexpr int kTimersRuns = 5;          // listings, each followed by round trips
constexpr int kRoundTrips = 1000;       // bus round trips after each listing
constexpr int kFiredTimers = 10000;     // one-shot timers due at one instant
constexpr int kTagOps = 200000;         // writes (and reads) timed by one lua line
constexpr double kCommandTimeout = 20;  // seconds a shell command may take
constexpr double kStartTimeout = 20;    // seconds a server may take to come up
constexpr double kRoundTimeout = 120;   // seconds a round of events may take
constexpr int kManyRows = 10000;        // contexts (each with an event) of the large listing
constexpr int kFewRows = 100;           // of the small one
constexpr int kListingRuns = 3;         // whole listings of each, alternated
constexpr int kReplyEndType = 5;        // nkrun's reply after the last ps row

const char kNkbus[] = NK_BENCH_NKBUS;
const char kNkrun[] = NK_BENCH_NKRUN;
const char kNksh[] = NK_BENCH_NKSH;

// ---- scripts -------------------------------------------------------------------
// %d is the number of events of a round.

const char kParkScript[] = "nk.waitfor('never')\n";
// %d is the number of timers; they are armed a few at a time, each batch well
// within the runtime's budget of Lua without a yield.
const char kArmedScript[] =
    "for i = 1, %d do\n"
    "  nk.every('listed-' .. i, 1000)\n"
    "  if i %% 500 == 0 then nk.yield() end\n"
    "end\n"
    "armed = true\n"
    "nk.waitfor('never')\n";
// Filters the number of events posted with "fill" (more each time).
const char kFillScript[] =
    "local n = 0\n"
    "nk.filter('fill')\n"
    "while true do\n"
    "  local _, upto = nk.wait()\n"
    "  while n < tonumber(upto) do n = n + 1 nk.filter('e' .. n) end\n"
    "  filled = n\n"
    "end\n";
const char kTagLine[] =
    "local n = %d local t0 = nk.now() for i = 1, n do nk.set('t', i) end "
    "local set = nk.now() - t0 t0 = nk.now() for i = 1, n do nk.get('t') end "
    "local get = nk.now() - t0 local t = {} t0 = nk.now() for i = 1, n do t.x = i end "
    "return string.format('%%.6f %%.6f %%.6f', set / n * 1e6, get / n * 1e6, "
    "(nk.now() - t0) / n * 1e6)";
const char kPongScript[] = "while true do nk.waitfor('to-b') nk.post('to-a') end\n";
const char kPingScript[] =
    "rounds = 0\n"
    "while true do nk.post('to-b') nk.waitfor('to-a') rounds = rounds + 1 end\n";
const char kSinkScript[] =
    "local n = %d\n"
    "bench = bench or {}\n"
    "bench.done, bench.count = 0, 0\n"
    "nk.filter('ping')\n"
    "while true do\n"
    "  local name, param = nk.wait()\n"
    "  if name == 'ping' then\n"
    "    bench.count = bench.count + 1\n"
    "    if bench.count == n then\n"
    "      bench.rate = n / (nk.now() - bench.t0)\n"
    "      bench.last = param\n"
    "      bench.count = 0\n"
    "      bench.done = bench.done + 1\n"
    "    end\n"
    "  end\n"
    "end\n";
const char kPosterScript[] =
    "local n = %d\n"
    "bench = bench or {}\n"
    "while true do\n"
    "  nk.waitfor('go')\n"
    "  bench.t0 = nk.now()\n"
    "  for i = 1, n do nk.post('ping', i, true) end\n"
    "end\n";

// In this process, on the bare library's bindings (the listener of the
// library's event delivery is benchlua.h's).
const char kLibrarySinkScript[] =
    "local n = tonumber(...)\n"
    "local count = 0\n"
    "t.filter('ping')\n"
    "while count < n do\n"
    "  local name = t.wait()\n"
    "  if name == 'ping' then count = count + 1 end\n"
    "end\n";
const char kLibraryPosterScript[] =
    "local n = tonumber(...)\n"
    "for i = 1, n do\n"
    "  while not t.post('ping', i, true) do end\n"
    "end\n";

// ---- processes -----------------------------------------------------------------

// The list of the children, and starting and stopping them: benchproc.h.

nkbench::ScriptDir *scriptDir;  // removed on failure too
char scriptPath[4096];          // its path, for an interrupt

// Stops and reaps every child and removes the script directory, with
// async-signal-safe calls only.
void onInterrupt(int) {
  nkbench::stopChildrenNow();
  if (scriptPath[0]) {  // the script directory, as its destructor would
    pid_t rm = fork();
    if (rm == 0) {
      execl("/bin/rm", "rm", "-rf", scriptPath, static_cast<char *>(nullptr));
      _exit(127);
    }
    if (rm > 0) waitpid(rm, nullptr, 0);
  }
  const char note[] = "bench_runtime: interrupted; the processes it started are stopped\n";
  ssize_t ignored = write(2, note, sizeof note - 1);
  (void)ignored;
  _exit(3);
}

double secondsSince(int64_t startNanos) {
  return static_cast<double>(nowNanos() - startNanos) / 1e9;
}

std::string logPath(const char *program) {
  return std::string("/tmp/bench_runtime.") + program + ".log";
}

// The last lines of a log, to stderr.
void showLog(const char *program) {
  std::string path = logPath(program);
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return;
  std::vector<std::string> lines;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    lines.push_back(line);
    if (lines.size() > 20) lines.erase(lines.begin());
  }
  fclose(f);
  fprintf(stderr, "--- the end of %s:\n", path.c_str());
  for (const std::string &l : lines) fputs(l.c_str(), stderr);
  fprintf(stderr, "---\n");
}

[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Stops every child, removes the script directory, exits with 1.
void fail(const char *format, ...) {
  fflush(stdout);
  fprintf(stderr, "bench_runtime: ");
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fprintf(stderr, "\n");
  stopAll();
  delete scriptDir;
  scriptDir = nullptr;
  exit(1);
}

// A server: its output to its log, no input.
pid_t startServer(const char *program, const std::vector<std::string> &args) {
  pid_t pid = nkbench::startLogged(args, logPath(program));
  if (pid < 0) fail("fork: %s", strerror(errno));
  return pid;
}

struct CommandRun {
  bool ok = false;     // ended by itself with 0 in time
  double seconds = 0;  // from before fork to after waitpid
  std::string output;  // standard output and error
};

// Runs a command to its end, its output read through a pipe, its input
// /dev/null. Killed after timeout seconds.
CommandRun runCommand(const std::vector<std::string> &args, double timeout) {
  std::vector<char *> argv = argvOf(args);
  CommandRun r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe: %s", strerror(errno));
  int64_t start = nowNanos();
  pid_t pid = nkbench::forkChild();
  if (pid < 0) fail("fork: %s", strerror(errno));
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    if (in < 0) _exit(127);
    dup2(in, 0);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  rememberChild(pid);
  close(fds[1]);
  char buffer[4096];
  bool late = false;
  for (;;) {
    double left = timeout - secondsSince(start);
    if (left <= 0) {
      late = true;
      break;
    }
    struct pollfd p = {fds[0], POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    r.output.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  while (!late && waitpid(pid, &status, WNOHANG) == 0) {
    if (secondsSince(start) > timeout) {
      late = true;
      break;
    }
    usleep(50);
  }
  r.seconds = secondsSince(start);
  if (late) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    r.output += "\n(killed after " + std::to_string(static_cast<int>(timeout)) + " s)";
  }
  forgetChild(pid);
  r.ok = !late && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// The executable name found on PATH, or "".
std::string findOnPath(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t from = 0;
  while (from <= dirs.size()) {
    size_t colon = dirs.find(':', from);
    if (colon == std::string::npos) colon = dirs.size();
    std::string dir = dirs.substr(from, colon - from);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    from = colon + 1;
  }
  return "";
}

// ---- the shell ---------------------------------------------------------------------

CommandRun nksh(const std::vector<std::string> &command, double timeout = kCommandTimeout) {
  std::vector<std::string> args = {kNksh, "-c"};
  args.insert(args.end(), command.begin(), command.end());
  return runCommand(args, timeout);
}

// The rows of a ps listing: the lines after the header's "====" line; -1
// when there is no header.
int psRows(const std::string &listing) {
  size_t rule = listing.find("\n=====");
  if (listing.compare(0, 5, "=====") == 0) {
    rule = 0;
  } else if (rule == std::string::npos) {
    return -1;
  } else {
    rule++;
  }
  size_t at = listing.find('\n', rule);
  int rows = 0;
  while (at != std::string::npos && at + 1 < listing.size()) {
    size_t end = listing.find('\n', at + 1);
    std::string line = listing.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    if (line.find('|') != std::string::npos) rows++;
    at = end;
  }
  return rows;
}

// Starts nkrun with the scripts of the script directory named, and waits
// until ps lists them all.
pid_t startRuntime(const std::vector<std::string> &scripts) {
  std::vector<std::string> args = {kNkrun, "-f", "-c", scriptDir->config()};
  args.insert(args.end(), scripts.begin(), scripts.end());
  pid_t pid = startServer("nkrun", args);
  int64_t start = nowNanos();
  CommandRun ps;
  int rows = -1;
  while (secondsSince(start) < kStartTimeout) {
    if (!nkbench::running(pid)) {
      showLog("nkrun");
      fail("nkrun ended at its start (%s -f -c %s ...)", kNkrun, scriptDir->config().c_str());
    }
    ps = nksh({"ps"}, 5);
    rows = psRows(ps.output);
    if (ps.ok && rows == static_cast<int>(scripts.size())) return pid;
    usleep(100000);
  }
  showLog("nkrun");
  fail("nkrun with %zu scripts: ps still lists %d contexts after %.0f s; its last listing:\n%s",
       scripts.size(), rows, kStartTimeout, ps.output.c_str());
}

// ---- a shell command -----------------------------------------------------------------

struct Command {
  const char *label;
  std::vector<std::string> args;
  bool (*check)(const std::string &output);
  std::vector<double> millis;
};

bool listsAllParked(const std::string &output) { return psRows(output) == kParked; }
bool saysPong(const std::string &output) { return output == "PONG\n"; }
bool saysVersion(const std::string &output) { return !output.empty(); }

void runChecked(Command &c) {
  CommandRun r = runCommand(c.args, kCommandTimeout);
  if (!r.ok || !c.check(r.output)) {
    if (c.check == listsAllParked) showLog("nkrun");
    fail("%s: unexpected result (%s); it printed:\n%s", c.label,
         r.ok ? "ended with 0" : "failed or timed out", r.output.c_str());
  }
  c.millis.push_back(r.seconds * 1000);
}

// One figure: its label, then the value in a column of its own.
void figure(const std::string &label, double value, const char *unit) {
  int decimals = strcmp(unit, "ms") == 0 ? 2 : 0;
  printf("  %-70s %10.*f %s\n", label.c_str(), decimals, value, unit);
}

void measureCommands() {
  std::vector<std::string> scripts;
  for (int i = 1; i <= kParked; i++) {
    char name[16];
    snprintf(name, sizeof name, "park%03d", i);
    scriptDir->script(name, kParkScript);
    scripts.push_back(name);
  }
  pid_t runtime = startRuntime(scripts);

  std::string redisServer = findOnPath("redis-server");
  std::string redisCli = findOnPath("redis-cli");
  pid_t redis = -1;
  int redisPort = kFirstRedisPort;
  std::string redisVersion;
  if (redisServer.empty() || redisCli.empty()) {
    printf(
        "redis-server or redis-cli not found: the comparison with redis-cli ping is left out.\n"
        "  Install them with: apt-get install -y redis-server   (or scripts/install-deps.sh "
        "--all)\n");
  } else {
    while (redisPort < kFirstRedisPort + 50 && !nkbench::portFree(redisPort)) redisPort++;
    redis = startServer("redis-server", {redisServer, "--port", std::to_string(redisPort), "--bind",
                                         "127.0.0.1", "--save", "", "--appendonly", "no"});
    if (!waitForPort(redisPort, redis, kStartTimeout)) {
      showLog("redis-server");
      fail("redis-server did not come up on port %d", redisPort);
    }
    CommandRun v = runCommand({redisServer, "--version"}, kCommandTimeout);
    size_t at = v.output.find("v=");
    if (at != std::string::npos) {
      redisVersion = v.output.substr(at + 2, v.output.find(' ', at) - at - 2);
    }
  }

  Command ps{"nksh -c ps", {kNksh, "-c", "ps"}, listsAllParked, {}};
  Command version{"nksh -c version", {kNksh, "-c", "version"}, saysVersion, {}};
  Command ping{"redis-cli ping", {redisCli, "-p", std::to_string(redisPort), "ping"}, saysPong, {}};
  std::vector<Command *> order = {&ps, &version};
  if (redis > 0) order.push_back(&ping);
  for (Command *c : order) {  // once each, untimed: file caches, first connections
    runChecked(*c);
    c->millis.clear();
  }
  for (int run = 0; run < kCommandRuns; run++) {
    if (run % 2 == 0) {
      for (Command *c : order) runChecked(*c);
    } else {
      for (auto it = order.rbegin(); it != order.rend(); ++it) runChecked(**it);
    }
  }
  stopProcess(runtime, 5);
  stopProcess(redis, 5);

  printf("shell command, %d runs of each alternated; wall time of the whole process, medians:\n",
         kCommandRuns);
  figure("nksh -c ps, nkrun running " + std::to_string(kParked) + " contexts (all listed)",
         median(ps.millis), "ms");
  if (redis > 0) {
    figure("redis-cli ping, redis-server " + (redisVersion.empty() ? "?" : redisVersion) +
               " on port " + std::to_string(redisPort),
           median(ping.millis), "ms");
    printf("  ratio nksh -c ps / redis-cli ping: %.2f (target <= 2)\n",
           medianRatio(ps.millis, ping.millis));
  }
  figure("nksh -c version (start, bus sign-on, end; for information)", median(version.millis),
         "ms");
}

// ---- listings, row by row ------------------------------------------------------------

// Each parks waiting for an event of its own, so that the runtime lists one
// event per context.
const char kParkOwnScript[] = "nk.waitfor('park' .. nk.id())\n";

// Sends one request; fails unless it is answered with type 0, or with
// endType when that is given.
int listingRequest(MsgClient *client, const char *to, int type, const char *text, int data) {
  stringCopy(data, text);
  int r = nkMsgRequest(client, to, nullptr, type, data);
  if (r != 0 && r != kReplyEndType) {
    showLog("nkrun");
    fail("%s: request '%s' gave %d '%s'", to, text, r, static_cast<const char *>(memGetData(data)));
  }
  return r;
}

// Whole listings, as the shell pages through them: index 0 first, then the
// index each reply names, until a reply of another type than 0 (ps) or one
// naming index 0 (events, whose last reply is a row); times times. The mean
// microseconds per request; *rows, the requests of one listing.
double listingMicrosPerRequest(MsgClient *client, const char *to, int type, const char *prefix,
                               int data, int times, int *rows) {
  int index = 0;
  int requests = 0;
  int64_t start = nowNanos();
  for (int listed = 0; listed < times;) {
    char text[64];
    snprintf(text, sizeof text, "%sindex=%d", prefix, index);
    int r = listingRequest(client, to, type, text, data);
    requests++;
    int next = 0;
    if (r == 0) paramGetNumber(static_cast<const char *>(memGetData(data)), "index", &next);
    if (r != 0 || next == 0) listed++;
    index = r == 0 ? next : 0;
  }
  *rows = requests / times;
  return static_cast<double>(nowNanos() - start) / 1e3 / requests;
}

// Starts an nkrun named name with contexts parked contexts, and waits until
// all of them wait.
pid_t startParked(const char *name, int contexts) {
  std::string config = scriptDir->path() + "/" + name + ".conf";
  nkbench::writeFile(config, "scriptDir=" + scriptDir->path() +
                                 "\nluaMaxContexts=" + std::to_string(contexts + 10) + "\n");
  std::vector<std::string> args = {kNkrun, "-f", "-n", name, "-c", config};
  for (int i = 0; i < contexts; i++) args.push_back("parkown");
  pid_t pid = startServer(name, args);
  MsgClient *client = nkMsgInit("bench-start");
  nkMsgTimeoutSet(client, 200000);
  int data = stringAlloc(0);
  int64_t start = nowNanos();
  for (;;) {
    if (!nkbench::running(pid)) fail("nkrun %s ended at its start", name);
    stringCopy(data, "stat=listpools,index=1");
    if (nkMsgRequest(client, name, nullptr, 202, data) == 0) {
      char elements[32] = "";
      paramGetString(static_cast<const char *>(memGetData(data)), "elements", elements,
                     sizeof elements);
      if (atoi(elements) == contexts) break;
    }
    if (secondsSince(start) > 4 * kStartTimeout) fail("nkrun %s: not all contexts wait", name);
    usleep(100000);
  }
  stringFree(data);
  nkMsgClose(client);
  return pid;
}

// One bus round trip, as a listing's rows are compared with it (us); set by
// measureListings.
double roundTripMicros = 0;

void measureListings() {
  scriptDir->script("parkown", kParkOwnScript);
  pid_t many = startParked("many", kManyRows);
  pid_t few = startParked("few", kFewRows);
  MsgClient *client = nkMsgInit("bench-rows");
  nkMsgTimeoutSet(client, 60000000);
  int data = stringAlloc(0);
  std::vector<double> trip, psMany, psFew, evMany, evFew;
  int rows = 0;
  for (int run = 0; run < kListingRuns; run++) {
    // As many requests for each figure, so that each meets the machine's
    // other work alike.
    int64_t t0 = nowNanos();
    for (int i = 0; i <= kManyRows; i++) listingRequest(client, "many", 209, "index=0", data);
    trip.push_back(static_cast<double>(nowNanos() - t0) / 1e3 / (kManyRows + 1));
    const int fewTimes = kManyRows / kFewRows;
    psMany.push_back(listingMicrosPerRequest(client, "many", 209, "", data, 1, &rows));
    if (rows != kManyRows + 1) fail("ps of many: %d requests, expected %d", rows, kManyRows + 1);
    psFew.push_back(listingMicrosPerRequest(client, "few", 209, "", data, fewTimes, &rows));
    if (rows != kFewRows + 1) fail("ps of few: %d requests, expected %d", rows, kFewRows + 1);
    evMany.push_back(listingMicrosPerRequest(client, "many", 202, "stat=events,", data, 1, &rows));
    if (rows < kManyRows + 1) fail("events of many: %d requests", rows);
    evFew.push_back(
        listingMicrosPerRequest(client, "few", 202, "stat=events,", data, fewTimes, &rows));
    if (rows < kFewRows + 1) fail("events of few: %d requests", rows);
  }
  stringFree(data);
  nkMsgClose(client);
  stopProcess(many, 5);
  stopProcess(few, 5);
  roundTripMicros = median(trip);

  printf("listings, %d runs; mean per request over %d requests each, medians (us):\n", kListingRuns,
         kManyRows);
  figure("one bus round trip (ps index=0, again and again)", roundTripMicros, "us");
  figure("ps, " + std::to_string(kManyRows) + " contexts, per row", median(psMany), "us");
  figure("ps, " + std::to_string(kFewRows) + " contexts (listed " +
             std::to_string(kManyRows / kFewRows) + " times), per row",
         median(psFew), "us");
  printf("  ratios to one round trip: ps %d rows %.2f, %d rows %.2f (target <= 1.3)\n", kManyRows,
         medianRatio(psMany, trip), kFewRows, medianRatio(psFew, trip));
  figure("events, " + std::to_string(kManyRows) + " events, per row", median(evMany), "us");
  figure("events, " + std::to_string(kFewRows) + " events (listed " +
             std::to_string(kManyRows / kFewRows) + " times), per row",
         median(evFew), "us");
  printf("  ratios to one round trip: events %d rows %.2f, %d rows %.2f (target <= 1.3)\n",
         kManyRows, medianRatio(evMany, trip), kFewRows, medianRatio(evFew, trip));
}

// ---- the memory handle listing, in this process ----------------------------------------

// Nanoseconds per row of a whole memStatsHandleQuery walk over groups groups
// of perGroup handles each, allocated group after group in turn (so that
// each group is spread over the whole used list).
double memhNanosPerRow(int groups, int perGroup) {
  std::vector<int> handles;
  for (int k = 0; k < perGroup; k++) {
    for (int g = 0; g < groups; g++) handles.push_back(memAllocActual(0, g + 1, "benchmemh"));
  }
  int s = stringAlloc(0);
  int rows = 0;
  int index = 0;
  int64_t start = nowNanos();
  for (;;) {
    int more = memStatsHandleQuery(index, s);
    rows++;
    if (!more) break;
    index++;
  }
  double nanos = static_cast<double>(nowNanos() - start) / rows;
  stringFree(s);
  for (int h : handles) memFree(h);
  if (rows < groups + 1) fail("memh: %d rows for %d groups", rows, groups);
  return nanos;
}

void measureMemh() {
  struct Shape {
    int groups, perGroup;
    std::vector<double> nanos;
  };
  Shape shapes[] = {{kManyRows, 1, {}}, {kFewRows, 1, {}}, {kFewRows, kManyRows / kFewRows, {}}};
  for (int run = 0; run < kListingRuns; run++) {
    for (Shape &sh : shapes) sh.nanos.push_back(memhNanosPerRow(sh.groups, sh.perGroup));
  }
  printf("memory handle listing (memStatsHandleQuery in this process), %d runs, medians:\n",
         kListingRuns);
  for (const Shape &sh : shapes) {
    figure(std::to_string(sh.groups) + " groups of " + std::to_string(sh.perGroup) +
               " handles, per row",
           median(sh.nanos) / 1e3, "us");
  }
  printf("  ratio %d groups / %d groups (1 handle each): %.2f\n", kManyRows, kFewRows,
         medianRatio(shapes[0].nanos, shapes[1].nanos));
  if (roundTripMicros > 0) {
    printf("  a row of %d groups against one bus round trip: %.2f\n", kManyRows,
           median(shapes[0].nanos) / 1e3 / roundTripMicros);
  }
}

// ---- events through nkrun ---------------------------------------------------------------

struct SinkState {
  int done = -1;  // rounds completed; -1 when the reply made no sense
  int count = 0;  // events of the current round so far
  double rate = 0;
  std::string last;
  std::string reply;
};

SinkState readSink() {
  SinkState s;
  CommandRun r =
      nksh({"lua", "return", "bench.done,", "bench.count,", "bench.rate,", "bench.last"});
  s.reply = r.output;
  char last[64] = "";
  if (!r.ok || sscanf(r.output.c_str(), "%d %d %lf %63s", &s.done, &s.count, &s.rate, last) < 2) {
    s.done = -1;
  }
  s.last = last;
  return s;
}

// Events per second of one round: posts "go", then waits for the sink to
// finish the round (sleeping most of the expected time first, so that the
// polls stay out of the way).
double runtimeRound(int round, double expectSeconds) {
  CommandRun go;
  for (int tries = 0; tries < 20; tries++) {
    go = nksh({"post", "go", "reply"});
    if (go.ok && go.output == "event=go\n") break;
    usleep(100000);
  }
  if (!go.ok || go.output != "event=go\n") {
    showLog("nkrun");
    fail("`nksh -c post go reply` did not reach the posting script; it printed:\n%s",
         go.output.c_str());
  }
  if (expectSeconds > 0) usleep(static_cast<useconds_t>(expectSeconds * 0.9 * 1e6));
  int64_t start = nowNanos();
  int lastCount = -1;
  int64_t lastMove = start;
  for (;;) {
    SinkState s = readSink();
    if (s.done < 0) {
      showLog("nkrun");
      fail(
          "cannot read the counting script's state; `nksh -c lua return bench.done, ...` "
          "printed:\n%s",
          s.reply.c_str());
    }
    if (s.done > round) {
      if (s.last != std::to_string(kRuntimeEvents) || s.rate <= 0) {
        fail("round %d: the last event's param is \"%s\" (expected %d), rate %g", round + 1,
             s.last.c_str(), kRuntimeEvents, s.rate);
      }
      return s.rate;
    }
    if (s.count != lastCount) {
      lastCount = s.count;
      lastMove = nowNanos();
    } else if (secondsSince(lastMove) > 10) {
      showLog("nkrun");
      fail("round %d: only %d of %d events arrived, none for 10 s (lost?)", round + 1, s.count,
           kRuntimeEvents);
    }
    if (secondsSince(start) > kRoundTimeout) {
      fail("round %d: not finished after %.0f s (%d of %d events)", round + 1, kRoundTimeout,
           s.count, kRuntimeEvents);
    }
    usleep(50000);
  }
}

// ---- events in this process, on the library ---------------------------------------------

// What a refused blocking post gives once its poster has been woken: false,
// so that the script posts again (the library wakes the poster when the full
// queue has room, and does not post the refused event itself).
int postRefused(lua_State *L) {
  lua_pushboolean(L, 0);
  return 1;
}

// t.post(name, param, blocking) -> true, or false when the post was refused
// (a blocking one after waiting for room).
int bPost(lua_State *L) {
  int blocking = lua_toboolean(L, 3);
  int r = eventPost(luaL_checkstring(L, 1), luaL_optstring(L, 2, nullptr), blocking);
  if (r == -1 && blocking) return lua_yieldk(L, 0, 0, postRefused);
  lua_pushboolean(L, r == 0);
  return 1;
}

const luaL_Reg kBindings[] = {
    {"wait", bWait}, {"filter", bFilter}, {"post", bPost}, {nullptr, nullptr}};

void startContext(const char *name, const char *arg) {
  if (!nkbench::startScript(name, arg)) fail("the script %s failed to load", name);
}

// Nanoseconds per event posted from C to one listening context and run until
// it waits again: bench_context's "event, one context".
double libraryEventNanos(int events) {
  const char *problem = "";
  double nanos = nkbench::listenerEventNanos(events, &problem);
  if (nanos < 0) fail("library: %s", problem);
  return nanos;
}

// Events per second from one context to another with blocking posts, both
// returning once the last has been taken.
double libraryScriptsRate(int events) {
  char count[24];
  snprintf(count, sizeof count, "%d", events);
  startContext("lsink", count);
  if (contextExecute() != 1) fail("library: the counting context did not start");
  int64_t begin = nowNanos();
  startContext("lpost", count);
  contextExecute();
  int64_t elapsed = nowNanos() - begin;
  if (contextGetNextRunnable(nullptr) || contextGetNextWaiting(nullptr)) {
    fail("library: context to context, not every event arrived");
  }
  return static_cast<double>(events) * 1e9 / static_cast<double>(elapsed);
}

void measureEvents() {
  char code[1024];
  snprintf(code, sizeof code, kSinkScript, kRuntimeEvents);
  scriptDir->script("sink", code);
  snprintf(code, sizeof code, kPosterScript, kRuntimeEvents);
  scriptDir->script("poster", code);
  scriptDir->script("listen", nkbench::kListenScript);
  scriptDir->script("lsink", kLibrarySinkScript);
  scriptDir->script("lpost", kLibraryPosterScript);
  pid_t runtime = startRuntime({"sink", "poster"});

  lua_State *L = nkbench::openContexts(kBindings);

  std::vector<double> runtimeRates, libraryRates, scriptRates;
  for (int rep = 0; rep < kRepetitions; rep++) {
    libraryRates.push_back(1e9 / libraryEventNanos(kLibraryEvents));
    scriptRates.push_back(libraryScriptsRate(kRuntimeEvents));
    double expect = runtimeRates.empty() ? 0 : kRuntimeEvents / runtimeRates.back();
    runtimeRates.push_back(runtimeRound(rep, expect));
  }
  stopProcess(runtime, 5);
  eventClose();
  lua_close(L);

  printf("events, %d repetitions; medians, a ratio is the median of the repetitions' ratios:\n",
         kRepetitions);
  figure("nkrun, script to script (blocking nk.post -> nk.wait), " +
             std::to_string(kRuntimeEvents) + " a round",
         median(runtimeRates), "events/s");
  figure("library, eventPost from C -> a context in t.wait() (bench_context)", median(libraryRates),
         "events/s");
  printf("  ratio library / nkrun: %.2f\n", medianRatio(libraryRates, runtimeRates));
  figure("library, context to context, blocking t.post (for information)", median(scriptRates),
         "events/s");
  printf("  ratio library context to context / nkrun: %.2f (for information)\n",
         medianRatio(scriptRates, runtimeRates));
}

// ---- fairness --------------------------------------------------------------------

// Milliseconds of one request of a lua line to the runtime called to, which
// must answer "0" and the expected text.
double luaMillis(MsgClient *client, const char *to, const char *line, const char *expect,
                 int data) {
  stringCopy(data, line);
  int64_t start = nowNanos();
  int r = nkMsgRequest(client, to, nullptr, 210, data);
  double ms = static_cast<double>(nowNanos() - start) / 1e6;
  const char *got = static_cast<const char *>(memGetData(data));
  if (r != 0 || (expect && strcmp(got, expect) != 0)) {
    showLog("nkrun");
    fail("%s: a lua line gave %d '%s'", to, r, got);
  }
  return ms;
}

void measureFairness() {
  scriptDir->script("ping", kPingScript);
  scriptDir->script("pong", kPongScript);
  pid_t busy =
      startServer("nkrun", {kNkrun, "-f", "-n", "busy", "-c", scriptDir->config(), "pong", "ping"});
  pid_t idle = startServer("nkrun.idle", {kNkrun, "-f", "-n", "idle", "-c", scriptDir->config()});
  MsgClient *client = nkMsgInit("bench-fair");
  nkMsgTimeoutSet(client, 200000);  // us: a runtime not yet there
  int data = stringAlloc(0);
  for (const char *to : {"busy", "idle"}) {
    int64_t start = nowNanos();
    for (;;) {
      stringCopy(data, "1");
      if (nkMsgRequest(client, to, nullptr, 210, data) == 0) break;
      if (secondsSince(start) > kStartTimeout) fail("nkrun %s does not answer", to);
    }
  }
  nkMsgTimeoutSet(client, 10000000);
  std::vector<double> busyMs, idleMs;
  stringCopy(data, "rounds");
  nkMsgRequest(client, "busy", nullptr, 210, data);
  double rounds0 = atof(static_cast<const char *>(memGetData(data)));
  int64_t start = nowNanos();
  for (int i = 0; i < kFairRequests; i++) {
    busyMs.push_back(luaMillis(client, "busy", "1", "1", data));
    idleMs.push_back(luaMillis(client, "idle", "1", "1", data));
  }
  double seconds = secondsSince(start);
  stringCopy(data, "rounds");
  nkMsgRequest(client, "busy", nullptr, 210, data);
  double rounds = atof(static_cast<const char *>(memGetData(data))) - rounds0;
  stringFree(data);
  nkMsgClose(client);
  stopProcess(busy, 5);
  stopProcess(idle, 5);

  printf("fairness, %d lua lines to each runtime, alternating:\n", kFairRequests);
  figure("lua line to nkrun with two contexts passing an event for ever, median", median(busyMs),
         "ms");
  figure("  the longest", *std::max_element(busyMs.begin(), busyMs.end()), "ms");
  figure("lua line to nkrun with nothing to run, median", median(idleMs), "ms");
  figure("  the longest", *std::max_element(idleMs.begin(), idleMs.end()), "ms");
  printf("  ratio busy / idle (medians): %.2f\n", median(busyMs) / median(idleMs));
  figure("rounds of the two contexts meanwhile", rounds / seconds, "rounds/s");
}

// ---- timers ---------------------------------------------------------------------

// The rows of a timers listing: its lines that end like the interval column
// of a timer listed by kArmedScript.
int listedRows(const std::string &listing) {
  int rows = 0;
  for (size_t at = listing.find("listed-"); at != std::string::npos;
       at = listing.find("listed-", at + 1)) {
    rows++;
  }
  return rows;
}

// The reply of a lua line to the runtime to, or fails.
std::string luaReply(MsgClient *client, const char *to, const char *line, int data) {
  stringCopy(data, line);
  if (nkMsgRequest(client, to, nullptr, 210, data) != 0) fail("%s: no answer to a lua line", to);
  return static_cast<const char *>(memGetData(data));
}

void measureTimers() {
  char code[512];
  snprintf(code, sizeof code, kArmedScript, kListedTimers);
  scriptDir->script("armed", code);
  pid_t armed = startServer("nkrun", {kNkrun, "-f", "-c", scriptDir->config(), "armed"});
  pid_t idle = startServer("nkrun.idle",
                           {kNkrun, "-f", "-n", "idle", "-b", "30000", "-c", scriptDir->config()});
  MsgClient *client = nkMsgInit("bench-timers");
  nkMsgTimeoutSet(client, 200000);  // us: a runtime not yet there
  int data = stringAlloc(0);
  int64_t start = nowNanos();
  for (const char *to : {"nkrun", "idle"}) {
    for (;;) {
      stringCopy(data, "armed");
      if (nkMsgRequest(client, to, nullptr, 210, data) == 0 &&
          (strcmp(to, "idle") == 0 || strcmp(static_cast<char *>(memGetData(data)), "true") == 0)) {
        break;
      }
      if (secondsSince(start) > kStartTimeout * 3) fail("nkrun %s is not ready", to);
      usleep(100000);
    }
  }
  nkMsgTimeoutSet(client, 10000000);

  std::vector<double> listingMs, tripMs, ratios;
  for (int run = 0; run < kTimersRuns; run++) {
    CommandRun r = nksh({"timers"}, 120);
    if (!r.ok || listedRows(r.output) != kListedTimers) {
      showLog("nkrun");
      fail("nksh -c timers listed %d of %d timers (%s)", listedRows(r.output), kListedTimers,
           r.ok ? "ended with 0" : "failed or timed out");
    }
    std::vector<double> trips;
    for (int i = 0; i < kRoundTrips; i++) {
      stringCopy(data, "stat=timers,index=0");
      int64_t t0 = nowNanos();
      int result = nkMsgRequest(client, "idle", nullptr, 202, data);
      trips.push_back(static_cast<double>(nowNanos() - t0) / 1e6);
      if (result != 0) fail("idle: a stat request gave %d", result);
    }
    listingMs.push_back(r.seconds * 1000);
    tripMs.push_back(median(trips));
    ratios.push_back(r.seconds * 1000 / (median(trips) * kListedTimers));
  }
  stopProcess(armed, 5);

  // One-shots due together, 1 s after the lua line that arms them starts
  // (each armed with what is left of that second), answered for 2.5 s.
  snprintf(code, sizeof code,
           "local due = nk.now() + 1 "
           "for i = 1, %d do nk.timer('once-' .. i, math.max(0, due - nk.now())) end "
           "return 1",
           kFiredTimers);
  int64_t armStart = nowNanos();
  if (luaReply(client, "idle", code, data) != "1") fail("idle: the one-shot timers not armed");
  double armMs = static_cast<double>(nowNanos() - armStart) / 1e6;
  double longestMs = 0;
  int lines = 0;
  while (secondsSince(armStart) < 2.5) {
    int64_t t0 = nowNanos();
    if (luaReply(client, "idle", "1", data) != "1") fail("idle: a lua line failed");
    longestMs = std::max(longestMs, static_cast<double>(nowNanos() - t0) / 1e6);
    lines++;
  }
  stringCopy(data, "stat=timers,index=0");
  nkMsgRequest(client, "idle", nullptr, 202, data);
  bool allFired = static_cast<const char *>(memGetData(data))[0] == '\0';
  stringFree(data);
  nkMsgClose(client);
  stopProcess(idle, 5);
  if (!allFired) fail("idle: one-shot timers still armed 1.5 s after they were due");

  printf("timers, %d listings, each followed by %d round trips; medians:\n", kTimersRuns,
         kRoundTrips);
  figure("nksh -c timers, nkrun holding " + std::to_string(kListedTimers) + " timers (all listed)",
         median(listingMs), "ms");
  figure("  one bus round trip (stat=timers to an nkrun with none)", median(tripMs) * 1000, "us");
  figure("  " + std::to_string(kListedTimers) + " round trips", median(tripMs) * kListedTimers,
         "ms");
  printf("  ratio listing / round trips: %.2f (target <= 1.3)\n", median(ratios));
  printf(
      "%d one-shot timers due at one instant in an nkrun, lua lines meanwhile (for "
      "information):\n",
      kFiredTimers);
  figure("the lua line that arms them", armMs, "ms");
  figure("the longest answer of " + std::to_string(lines) + " lua lines in the 2.5 s from then",
         longestMs, "ms");
}

// ---- tag writes -----------------------------------------------------------------

void measureTags() {
  scriptDir->script("fill", kFillScript);
  const int counts[] = {0, 10, 10000};
  constexpr int kRuntimes = 3;
  pid_t runtimes[kRuntimes];
  char names[kRuntimes][32];
  for (int r = 0; r < kRuntimes; r++) {
    snprintf(names[r], sizeof names[r], "tags%d", counts[r]);
    std::string log = std::string("nkrun.") + names[r];
    runtimes[r] = startServer(log.c_str(), {kNkrun, "-f", "-b", "100000", "-n", names[r], "-c",
                                            scriptDir->config(), "fill"});
  }
  MsgClient *client = nkMsgInit("bench-tags");
  int data = stringAlloc(0);
  for (int r = 0; r < kRuntimes; r++) {
    nkMsgTimeoutSet(client, 200000);
    for (int64_t start = nowNanos();;) {
      stringCopy(data, "1");
      if (nkMsgRequest(client, names[r], nullptr, 210, data) == 0) break;
      if (secondsSince(start) > kStartTimeout) fail("nkrun %s does not answer", names[r]);
    }
    nkMsgTimeoutSet(client, 60000000);
    char post[64];
    snprintf(post, sizeof post, "nk.post('fill', %d)", counts[r]);
    luaMillis(client, names[r], post, nullptr, data);
    char want[32];
    snprintf(want, sizeof want, "%d", counts[r]);
    for (int64_t t0 = nowNanos();;) {
      stringCopy(data, "filled or 0");
      nkMsgRequest(client, names[r], nullptr, 210, data);
      if (strcmp(static_cast<const char *>(memGetData(data)), want) == 0) break;
      if (secondsSince(t0) > kStartTimeout) fail("the script did not filter %d events", counts[r]);
      usleep(10000);
    }
  }
  char line[1024];
  snprintf(line, sizeof line, kTagLine, kTagOps);
  // One line to each runtime in turn, so that the three see the same machine.
  std::vector<double> set[kRuntimes], get[kRuntimes], table[kRuntimes], ratio[kRuntimes],
      flat[kRuntimes];
  for (int rep = 0; rep < kRepetitions; rep++) {
    for (int r = 0; r < kRuntimes; r++) {
      luaMillis(client, names[r], line, nullptr, data);
      double s = 0, g = 0, t = 0;
      if (sscanf(static_cast<const char *>(memGetData(data)), "%lf %lf %lf", &s, &g, &t) != 3) {
        fail("the timing line gave '%s'", static_cast<const char *>(memGetData(data)));
      }
      set[r].push_back(s);
      get[r].push_back(g);
      table[r].push_back(t);
      ratio[r].push_back(s / g);
      flat[r].push_back(s / set[0].back());
    }
  }
  printf(
      "tag writes, %d of each in one lua line, medians of %d lines to each of three runtimes "
      "in turn (us):\n",
      kTagOps, kRepetitions);
  for (int r = 0; r < kRuntimes; r++) {
    printf(
        "  %5d events: nk.set %.3f  nk.get %.3f  table write %.4f  set/get %.2f (target <= 5)"
        "  set / set at 0 events %.2f (target within 0.8 .. 1.2)\n",
        counts[r], median(set[r]), median(get[r]), median(table[r]), median(ratio[r]),
        median(flat[r]));
  }
  stringFree(data);
  nkMsgClose(client);
  for (pid_t pid : runtimes) stopProcess(pid, 5);
}

}  // namespace

int main(int argc, char **argv) {
  struct sigaction sa = {};
  sa.sa_handler = onInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  for (const char *program : {kNkbus, kNkrun, kNksh}) {
    if (access(program, X_OK) != 0) {
      fprintf(stderr, "bench_runtime: %s is missing: build the targets nkbus nkrun nksh\n",
              program);
      return 2;
    }
  }
  if (nkbench::portAccepts(MSG_PORT)) {
    fprintf(stderr,
            "bench_runtime: something already listens on 127.0.0.1:%d (another nkbus, or a "
            "test); stop it or wait until it ends, then run again\n",
            MSG_PORT);
    return 2;
  }

  memInit();
  nkbench::quietLog();
  scriptDir = new nkbench::ScriptDir;
  snprintf(scriptPath, sizeof scriptPath, "%s", scriptDir->path().c_str());

  pid_t bus = startServer("nkbus", {kNkbus, "-f"});
  if (!waitForPort(MSG_PORT, bus, kStartTimeout)) {
    showLog("nkbus");
    fail("nkbus did not come up on port %d", MSG_PORT);
  }

  if (nkbench::wanted(argc, argv, "ps")) measureCommands();
  if (nkbench::wanted(argc, argv, "events")) measureEvents();
  if (nkbench::wanted(argc, argv, "fair")) measureFairness();
  if (nkbench::wanted(argc, argv, "timers")) measureTimers();
  if (nkbench::wanted(argc, argv, "tags")) measureTags();
  if (nkbench::wanted(argc, argv, "rows")) measureListings();
  if (nkbench::wanted(argc, argv, "memh")) measureMemh();

  stopAll();
  delete scriptDir;
  return 0;
}
