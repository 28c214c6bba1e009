// nkbridge -- the device's bridge between its bus and the fleet's MQTT broker.
//
//   nkbridge [-f] [-d] [-c CONFIG]
//
// It registers on the device's bus as "nkbridge", watches the runtime's RTDB
// (request type 214, changes as one-way type 215 "TAG=VALUE") and keeps one
// MQTT session to the broker named in the configuration file. Under
// nk/SITE/DEVICE/ it publishes, retained: status (online while both the bus
// and the broker are there, offline otherwise, and through the last will when
// the bridge vanishes), seen (heartbeat time), bridge (its counters) and
// tag/TAG (each tag's value). It takes shell command lines on cmd/CALLER/ID,
// runs the allowed ones through the shell program (nksh -c WORD..., no
// system shell in between) and publishes what the shell printed on
// reply/CALLER/ID. docs/fleet.md describes topics, keys and limits.
//
// Threads: the main thread owns the bus client (registering again with a
// growing wait when the bus goes) and the heartbeat; libmosquitto's thread
// runs the broker callbacks (it reconnects by itself, with a growing wait);
// one worker runs the commands, one at a time. `state` below is shared by the
// three and guarded by its mutex; the counters are atomics.
#define NK_MODULE "nkbridge"
#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "argparse.h"
#include "broker.h"
#include "configfile.h"
#include "mem.h"
#include "nkcommands.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nkproto.h"
#include "timer.h"

extern char **environ;

namespace {

const char kName[] = "nkbridge";
constexpr int kWatchRenewal = 20;  // s; the runtime forgets a watch after 60
constexpr int kWatchRetry = 1;     // s; a watch not answered is sent again
constexpr int kPollWait = 100000;  // us: the main loop's longest wait for the bus
constexpr size_t kCommandsWaiting = 16;
constexpr size_t kOutputLimit = 1 << 20;  // bytes of a command's output

const char kDefaultCommands[] =
    "ps,events,timers,stats,rules,lists,memb,memh,memstats,mem,get,"
    "version,help";

struct Config {
  BrokerSettings broker;
  std::string base;  // "nk/SITE/DEVICE/"
  std::set<std::string> allowed;
  size_t payloadLimit = 0;
  int commandTimeout = 0;
  int heartbeat = 0;
  size_t tagLimit = 0;
  size_t replyQueue = 0;
  std::vector<std::string> shell;  // the program that runs commands, with any leading words
};
Config config;

struct Command {
  std::string replyTopic;
  std::string line;
  std::string from;  // CALLER/ID, for the log
};
struct Reply {
  std::string topic;
  std::string text;
};

// Retained values (status, seen, bridge, each tag) go out from the main
// thread and the broker's thread. Each is read and published under this lock,
// so that a value read earlier never goes out after one read later: what a
// topic keeps is its latest value. Taken before state.lock.
std::mutex publishOrder;

// Shared by the main thread, the broker's thread and the worker.
struct State {
  std::mutex lock;
  std::condition_variable commandWaiting;
  std::map<std::string, std::string> tags;  // the latest value of each tag
  std::deque<Command> commands;             // waiting for the worker
  std::deque<Reply> replies;                // finished while the broker was away
  bool brokerUp = false;
  bool busUp = false;
  bool stopping = false;
};
State state;

struct Counters {
  std::atomic<uint32_t> published{0}, tagsDropped{0}, commands{0}, refused{0}, repliesDropped{0},
      brokerConnects{0}, busConnects{0};
};
Counters counters;

std::atomic<int> caughtSignal{0};
mosquitto *broker;
// Written once when the bridge stops: the worker, which watches it while a
// command runs, kills the command at once.
int stopPipe[2] = {-1, -1};

const char kStopped[] = "* Command stopped: the bridge is stopping\n";

// {==== Configuration

std::string key(const char *name, const std::string &fallback) {
  const char *v = configValue(name, nullptr);
  return v && v[0] ? v : fallback;
}

int numberKey(const char *name, int fallback, int lowest, int highest) {
  const char *v = configValue(name, nullptr);
  if (!v || !v[0]) return fallback;
  char *end = nullptr;
  long n = strtol(v, &end, 10);
  if (*end || n < lowest || n > highest) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: %s=%s is not a number from %d to %d, using %d\n",
             kName, name, v, lowest, highest, fallback);
    return fallback;
  }
  return static_cast<int>(n);
}

// The shell that runs commands: the configured words (a program and any
// words that start it, e.g. an emulator's, split at spaces), else nksh beside
// us.
std::vector<std::string> shellProgram() {
  std::vector<std::string> words;
  std::string configured = key("bridgeShell", "");
  for (size_t at = 0; at < configured.size();) {
    size_t space = configured.find(' ', at);
    if (space == std::string::npos) space = configured.size();
    if (space > at) words.push_back(configured.substr(at, space - at));
    at = space + 1;
  }
  if (!words.empty()) return words;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {"nksh"};
  self[n] = '\0';
  std::string dir(self);
  return {dir.substr(0, dir.rfind('/') + 1) + "nksh"};
}

// Text from outside (a command line, a topic, a name) as it may go into a
// log line or a message: control bytes, which could end the line or drive a
// terminal, are written \xNN.
std::string printable(const std::string &text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// A site or device name is one topic level of its own: '+' and '#' would
// make our subscription take other devices' commands, '/' would put us
// inside another device's topics.
bool isTopicName(const std::string &name) {
  if (name.empty()) return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '+' || c == '#' || c == '/' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

const char kNameRule[] = "not empty; no '+', '#', '/' or control characters";

// The configuration, or false (with the reason printed) when it cannot be
// used.
bool readConfig() {
  std::string error;
  if (!readBrokerSettings(&config.broker, &error)) {
    printf("%s\n", error.c_str());
    return false;
  }
  char host[256] = "device";
  gethostname(host, sizeof host - 1);
  std::string site = key("siteName", "site"), device = key("deviceName", host);
  if (!isTopicName(site)) {
    printf("siteName '%s' is not a valid name (%s)\n", printable(site).c_str(), kNameRule);
    return false;
  }
  if (!isTopicName(device)) {
    if (key("deviceName", "").empty()) {
      printf("The host name '%s' is not a valid deviceName (%s): set deviceName\n",
             printable(device).c_str(), kNameRule);
    } else {
      printf("deviceName '%s' is not a valid name (%s)\n", printable(device).c_str(), kNameRule);
    }
    return false;
  }
  config.base = "nk/" + site + "/" + device + "/";
  std::string allowed = key("bridgeCommands", kDefaultCommands);
  for (size_t at = 0; at <= allowed.size();) {
    size_t comma = allowed.find(',', at);
    if (comma == std::string::npos) comma = allowed.size();
    if (comma > at) config.allowed.insert(allowed.substr(at, comma - at));
    at = comma + 1;
  }
  config.payloadLimit = static_cast<size_t>(numberKey("bridgePayloadLimit", 4096, 1, 1 << 20));
  config.commandTimeout = numberKey("bridgeCommandTimeout", 10, 1, 3600);
  config.heartbeat = numberKey("bridgeHeartbeat", 30, 1, 3600);
  config.tagLimit = static_cast<size_t>(numberKey("bridgeTagLimit", 10000, 1, 1000000));
  config.replyQueue = static_cast<size_t>(numberKey("bridgeReplyQueue", 32, 1, 10000));
  config.shell = shellProgram();
  return true;
}

// }====

// {==== Publishing

// A tag's name as one topic level: the characters with a meaning in topics
// (and the escape itself) become %XX.
std::string topicLevel(const std::string &tag) {
  std::string out;
  for (char c : tag) {
    if (c == '%' || c == '/' || c == '+' || c == '#') {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

bool publish(const std::string &topic, const std::string &payload, bool retain) {
  int rc = mosquitto_publish(broker, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    nksyslog(NKLOG_INFO, LOGMASK_GENERAL, "%s: publish %s: %s\n", kName, topic.c_str(),
             mosquitto_strerror(rc));
  }
  return rc == MOSQ_ERR_SUCCESS;
}

std::string counterText() {
  size_t tags;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    tags = state.tags.size();
  }
  char text[512];
  snprintf(text, sizeof text,
           "published=%u,tags=%zu,tags-dropped=%u,commands=%u,refused=%u,replies-dropped=%u,"
           "broker-connects=%u,bus-connects=%u",
           counters.published.load(), tags, counters.tagsDropped.load(), counters.commands.load(),
           counters.refused.load(), counters.repliesDropped.load(), counters.brokerConnects.load(),
           counters.busConnects.load());
  return text;
}

void publishHeartbeat() {
  std::lock_guard<std::mutex> order(publishOrder);
  publish(config.base + "seen", std::to_string(static_cast<long long>(time(nullptr))), true);
  publish(config.base + "bridge", counterText(), true);
}

// Online takes both ends: a device whose bus is away cannot run commands.
void publishStatus() {
  std::lock_guard<std::mutex> order(publishOrder);
  bool online;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.brokerUp) return;
    online = state.busUp && !state.stopping;
  }
  publish(config.base + "status", online ? "online" : "offline", true);
}

// Publishes the latest value of the tag named only, or of every tag, while
// the broker is there.
void publishTags(const std::string *only) {
  std::lock_guard<std::mutex> order(publishOrder);
  std::map<std::string, std::string> values;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.brokerUp) return;
    if (!only) {
      values = state.tags;
    } else if (auto it = state.tags.find(*only); it != state.tags.end()) {
      values.insert(*it);
    }
  }
  for (const auto &t : values) {
    if (publish(config.base + "tag/" + topicLevel(t.first), t.second, true)) counters.published++;
  }
}

// Sends a reply, or keeps it (the newest replyQueue of them) for the broker's
// return.
void sendReply(const std::string &topic, const std::string &text) {
  {
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.brokerUp) {
      if (state.replies.size() >= config.replyQueue) {
        state.replies.pop_front();
        counters.repliesDropped++;
      }
      state.replies.push_back({topic, text});
      return;
    }
  }
  publish(topic, text, false);
}

// }====

// {==== The broker's callbacks (libmosquitto's thread)

// Everything retained goes out again, the tags before status (a subscriber
// that sees online come back finds the tags already current), then the
// replies kept meanwhile: a broker that restarted without its store gets it
// all back, and a subscriber never misses a value.
void republish() {
  publishTags(nullptr);
  publishStatus();
  publishHeartbeat();
  std::deque<Reply> replies;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    replies.swap(state.replies);
  }
  for (const Reply &r : replies) publish(r.topic, r.text, false);
}

// On a new connection the client library first sends again what the broker
// had not acknowledged on the one before, older values among them: right
// after this callback, before the answer to our subscription comes. So
// everything is published again on that answer, after the old values, or
// at once if the subscription cannot be sent.
void onConnect(mosquitto *, void *, int rc) {
  if (rc != 0) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: broker refused the connection: %s\n", kName,
             mosquitto_connack_string(rc));
    return;
  }
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: connected to the broker %s:%d as %s\n", kName,
           config.broker.host.c_str(), config.broker.port, config.base.c_str());
  counters.brokerConnects++;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.brokerUp = true;
  }
  if (mosquitto_subscribe(broker, nullptr, (config.base + "cmd/+/+").c_str(), 1) !=
      MOSQ_ERR_SUCCESS) {
    republish();
  }
}

void onSubscribe(mosquitto *, void *, int, int, const int *) { republish(); }

void onDisconnect(mosquitto *, void *, int rc) {
  std::lock_guard<std::mutex> hold(state.lock);
  state.brokerUp = false;
  if (!state.stopping) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: lost the broker (%s), connecting again\n", kName,
             mosquitto_strerror(rc));
  }
}

// Counts and logs a refusal (why is its reply); the caller sends the reply.
void countRefusal(const std::string &line, const std::string &from, const std::string &why) {
  counters.refused++;
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: refused '%.80s' from %s: %s", kName,
           printable(line).c_str(), printable(from).c_str(), why.c_str() + 2);
}

// Why a command line may not run here, or "" when it may.
std::string refusal(const std::string &line) {
  if (line.size() > config.payloadLimit) {
    return "* Command too long (" + std::to_string(line.size()) + " bytes, at most " +
           std::to_string(config.payloadLimit) + ")\n";
  }
  // The shell copies a word into a bus line as it is: a line end inside one
  // would put a line of the caller's own onto the bus. A tab stays inside
  // its word and is harmless.
  for (char c : line) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) {
      char text[64];
      snprintf(text, sizeof text, "* Control character in command (0x%02X)\n", u);
      return text;
    }
  }
  std::vector<char> copy(line.begin(), line.end());
  copy.push_back('\0');
  char *words[NK_COMMAND_MAX_WORDS];
  int n = nkSplitWords(copy.data(), words, NK_COMMAND_MAX_WORDS);
  if (n < 0) {
    return "* Too many words (more than " + std::to_string(NK_COMMAND_MAX_WORDS) +
           "), line ignored\n";
  }
  if (n == 0) return "";
  int c = nkCommandMatch(words[0]);
  std::string name = c >= 0 ? nkCommandWords[c] : words[0];
  if (c < 0 || !config.allowed.count(name)) return "* Command not allowed here: " + name + "\n";
  return "";
}

// cmd/CALLER/ID: refused at once, or queued for the worker. A command
// the broker kept (retained) would run again at every connection, long
// after whoever sent it meant it to: it is never run nor answered.
void onMessage(mosquitto *, void *, const mosquitto_message *m) {
  std::string topic = m->topic;
  std::string prefix = config.base + "cmd/";
  if (topic.compare(0, prefix.size(), prefix) != 0) return;
  if (m->retain) {
    nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: ignored the retained command on %s\n", kName,
             printable(topic).c_str());
    return;
  }
  std::string rest = topic.substr(prefix.size());
  size_t slash = rest.find('/');
  if (slash == 0 || slash == std::string::npos || slash + 1 == rest.size()) return;
  std::string line(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::string replyTopic = config.base + "reply/" + rest;
  std::string why = refusal(line);
  if (why.empty()) {
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.stopping) {
      why = kStopped;
    } else if (state.commands.size() < kCommandsWaiting) {
      state.commands.push_back({replyTopic, line, rest});
      state.commandWaiting.notify_one();
      return;
    } else {
      why = "* Too many commands waiting, try again\n";
    }
  }
  countRefusal(line, rest, why);
  publish(replyTopic, why, false);
}

// }====

// {==== Commands (the worker)

// Runs nksh -c WORD... and returns what it printed on its standard output.
// It runs in a process group of its own, which is killed, with whatever the
// command started, once it runs past the timeout, prints more than
// kOutputLimit or the bridge stops; then the result is a refusal, and
// *refused is set.
std::string runShell(const std::string &line, bool *refused) {
  *refused = false;
  std::vector<char> copy(line.begin(), line.end());
  copy.push_back('\0');
  char *words[NK_COMMAND_MAX_WORDS];
  int n = nkSplitWords(copy.data(), words, NK_COMMAND_MAX_WORDS);
  if (n <= 0) return "";
  std::vector<char *> argv;
  for (const std::string &w : config.shell) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(const_cast<char *>("-c"));
  argv.insert(argv.end(), words, words + n);
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return "* Cannot run the command: " + std::string(strerror(errno)) + "\n";
  // Standard input, output and error, nothing else: whatever else is open
  // here (the bus connection, the broker's) is none of the command's
  // business, whoever opened it and however. A child that would not get
  // exactly these does not start.
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  pid_t pid = -1;
  int rc = posix_spawn_file_actions_init(&actions);
  if (rc == 0) {
    rc = posix_spawnattr_init(&attributes);
    if (rc == 0) {
      rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
      if (rc == 0) rc = posix_spawnattr_setpgroup(&attributes, 0);
      if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, out[1], 1);
      if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
      if (rc == 0) rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
      posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return "* Cannot run " + config.shell[0] + ": " + strerror(rc) + "\n";
  }
  // Until the command has ended: its output is read as it comes; once that
  // has closed, the process is looked at after a pause that doubles from
  // 1 ms (a shell ends right after its output; a process that closed it and
  // runs on is held to the same time limit). A stop ends the wait at once.
  std::string text;
  bool open = true, ended = false, timedOut = false, cut = false, stopped = false;
  int pause = 1;  // ms
  int64_t deadline =
      timerMonotonicMicroSec() + static_cast<int64_t>(config.commandTimeout) * 1000000;
  for (;;) {
    if (!open && waitpid(pid, nullptr, WNOHANG) == pid) {
      ended = true;
      break;
    }
    int64_t left = (deadline - timerMonotonicMicroSec()) / 1000;
    if (left <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd p[2] = {{stopPipe[0], POLLIN, 0}, {out[0], POLLIN, 0}};
    int wait = static_cast<int>(open || left < pause ? left : pause);
    if (!open && pause < 64) pause *= 2;
    if (poll(p, open ? 2 : 1, wait) < 0 && errno != EINTR) break;
    if (p[0].revents) {
      stopped = true;
      break;
    }
    if (!open || !p[1].revents) continue;
    char buf[8192];
    ssize_t got = read(out[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      open = false;
      continue;
    }
    text.append(buf, static_cast<size_t>(got));
    if (text.size() > kOutputLimit) {
      text.resize(kOutputLimit);
      cut = true;
      break;
    }
  }
  close(out[0]);
  if (!ended) {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  *refused = timedOut || stopped;
  if (stopped) return kStopped;
  if (timedOut) {
    return "* Command did not finish within " + std::to_string(config.commandTimeout) + " s\n";
  }
  if (cut) text += "\n* Output cut at " + std::to_string(kOutputLimit) + " bytes\n";
  return text;
}

// Runs the commands one at a time. A stop ends the one running (runShell
// watches for it); the ones still waiting are refused.
void worker() {
  for (;;) {
    Command c;
    {
      std::unique_lock<std::mutex> hold(state.lock);
      state.commandWaiting.wait(hold, [] { return state.stopping || !state.commands.empty(); });
      if (state.stopping) break;
      c = state.commands.front();
      state.commands.pop_front();
    }
    counters.commands++;
    nksyslog(NKLOG_INFO, LOGMASK_GENERAL, "%s: running '%.80s'\n", kName,
             printable(c.line).c_str());
    bool refused = false;
    std::string text = runShell(c.line, &refused);
    if (refused) countRefusal(c.line, c.from, text);
    sendReply(c.replyTopic, text);
  }
  std::deque<Command> waiting;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    waiting.swap(state.commands);
  }
  for (const Command &c : waiting) {
    countRefusal(c.line, c.from, kStopped);
    sendReply(c.replyTopic, kStopped);
  }
}

// }====

// {==== The bus (the main thread)

MsgClient *bus;
int request;        // string: the message being handled
int reply;          // string: the answer being built
MsgRetry busRetry;  // the tries to register on the bus
int64_t nextWatch;
bool watchAnswered;  // the runtime answered the latest watch

// Asks the runtime for every tag ("watch", on each registration) or extends
// the watch ("renew": all the tags come again only if the runtime had
// forgotten us). Sent one-way: the values that follow must be taken in the
// order they come, never set aside behind a request.
// Until the runtime answers (it may not be registered yet, and a one-way line
// to nobody is dropped), the watch is sent again every kWatchRetry seconds.
void watch(const char *how) {
  stringCopy(request, how);
  nkMsgSend(bus, "nkrun", nullptr, NK_TYPE_WATCH, request);
  watchAnswered = false;
  nextWatch = timerMonotonicMicroSec() + static_cast<int64_t>(kWatchRetry) * 1000000;
}

void registerIfDue() {
  if (bus) return;
  bus = nkMsgRetryInit(&busRetry, kName, nullptr);
  if (!bus) return;
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: registered on the bus\n", kName);
  counters.busConnects++;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.busUp = true;
  }
  watch("watch");
  publishStatus();
}

void busLost(int status) {
  nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: bus connection %s, registering again\n", kName,
           status == MSG_DISCONNECTED ? "closed by the server" : "failed");
  nkMsgClose(bus);
  bus = nullptr;
  busRetry.next = 0;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.busUp = false;
  }
  publishStatus();
}

void tagChanged(const char *data) {
  const char *eq = strchr(data, '=');
  if (!eq || eq == data) return;
  std::string tag(data, static_cast<size_t>(eq - data));
  std::string value(eq + 1);
  {
    std::lock_guard<std::mutex> hold(state.lock);
    auto it = state.tags.find(tag);
    if (it == state.tags.end()) {
      if (state.tags.size() >= config.tagLimit) {
        if (counters.tagsDropped++ == 0) {
          nksyslog(NKLOG_WARNING, LOGMASK_GENERAL,
                   "%s: more than %zu tags, changes of further tags are dropped\n", kName,
                   config.tagLimit);
        }
        return;
      }
      state.tags.emplace(tag, value);
    } else {
      it->second = value;
    }
  }
  // While the broker is away the map holds the latest value; the next
  // connection publishes it.
  publishTags(&tag);
}

// The bridge's own "stats": one row per counter, as the shell's table reads,
// the same counters in the same order as the bridge topic's.
void answerStats(const char *from, int index) {
  size_t tags;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    tags = state.tags.size();
  }
  const std::pair<const char *, uint32_t> rows[] = {
      {"published", counters.published.load()},
      {"tags", static_cast<uint32_t>(tags)},
      {"tags-dropped", counters.tagsDropped.load()},
      {"commands", counters.commands.load()},
      {"refused", counters.refused.load()},
      {"replies-dropped", counters.repliesDropped.load()},
      {"broker-connects", counters.brokerConnects.load()},
      {"bus-connects", counters.busConnects.load()},
  };
  int count = static_cast<int>(sizeof rows / sizeof rows[0]);
  if (index < 0 || index >= count) {
    stringCopy(reply, "index=0");
  } else {
    stringPrintf(reply, "index=%d,name=%s,count=%u", index + 1, rows[index].first,
                 rows[index].second);
  }
  nkMsgReply(bus, from, nullptr, NK_REPLY_OK, reply);
}

void handle(const char *from, int type, const char *data) {
  if (type == NK_TYPE_TAG_VALUE) return tagChanged(data);
  if (type == NK_REPLY_OK && strcmp(from, "nkrun") == 0 && strncmp(data, "tags=", 5) == 0) {
    watchAnswered = true;
    nextWatch = timerMonotonicMicroSec() + static_cast<int64_t>(kWatchRenewal) * 1000000;
    return;
  }
  if (type < NK_FIRST_REQUEST || strcmp(from, MSG_SERVER_NAME) == 0) return;
  if (type == NK_TYPE_STAT) {
    char stat[64] = "";
    int index = 0;
    paramGetString(data, "stat", stat, sizeof stat);
    paramGetNumber(data, "index", &index);
    if (strcmp(stat, "stats") == 0) return answerStats(from, index);
    if (strcmp(stat, "mem") == 0) {
      memStatsQuery(index, reply);
      nkMsgReply(bus, from, nullptr, NK_REPLY_OK, reply);
      return;
    }
    stringPrintf(reply, "error=unknown stat,stat=%.64s", stat);
  } else {
    stringPrintf(reply, "error=unknown request,type=%d", type);
  }
  nkMsgReply(bus, from, nullptr, NK_REPLY_UNKNOWN, reply);
}

void mainLoop() {
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int64_t nextBeat = timerMonotonicMicroSec() + static_cast<int64_t>(config.heartbeat) * 1000000;
  while (!caughtSignal) {
    registerIfDue();
    int64_t now = timerMonotonicMicroSec();
    if (now >= nextBeat) {
      bool up;
      {
        std::lock_guard<std::mutex> hold(state.lock);
        up = state.brokerUp;
      }
      if (up) publishHeartbeat();
      nextBeat = now + static_cast<int64_t>(config.heartbeat) * 1000000;
    }
    if (!bus) {
      usleep(kPollWait);
      continue;
    }
    if (now >= nextWatch) watch(watchAnswered ? "renew" : "watch");
    int type = 0;
    int r = nkMsgPoll(bus, to, from, &type, request, kPollWait);
    if (r == MSG_OK) {
      handle(from, type, static_cast<const char *>(memGetData(request)));
    } else if (r != MSG_TIMEOUT) {
      busLost(r);
    }
  }
}

// }====

void onStopSignal(int sig) { caughtSignal = sig; }

bool startBroker() {
  mosquitto_lib_init();
  broker = mosquitto_new(nullptr, true, nullptr);
  if (!broker) return false;
  // Replies and tag values are small messages, each wanted at once.
  mosquitto_int_option(broker, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(broker, onConnect);
  mosquitto_disconnect_callback_set(broker, onDisconnect);
  mosquitto_message_callback_set(broker, onMessage);
  mosquitto_subscribe_callback_set(broker, onSubscribe);
  mosquitto_reconnect_delay_set(broker, 1, 5, true);
  std::string will = config.base + "status";
  mosquitto_will_set(broker, will.c_str(), 7, "offline", 1, true);
  std::string error;
  if (!applyBrokerSettings(broker, config.broker, &error)) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: %s\n", kName, error.c_str());
    return false;
  }
  // The first connection may fail (no broker yet): the loop keeps trying.
  int rc = mosquitto_connect_async(broker, config.broker.host.c_str(), config.broker.port,
                                   config.broker.keepalive);
  if (rc != MOSQ_ERR_SUCCESS) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: broker %s:%d: %s, trying again\n", kName,
             config.broker.host.c_str(), config.broker.port, mosquitto_strerror(rc));
  }
  return mosquitto_loop_start(broker) == MOSQ_ERR_SUCCESS;
}

// Ends the command running, if any, and stops the worker taking more.
void stopCommands() {
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.stopping = true;
    state.commandWaiting.notify_all();
  }
  if (write(stopPipe[1], "", 1) < 0) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot stop the running command: %s\n", kName,
             strerror(errno));
  }
}

// Says offline while it still can, then lets everything go. The worker has
// ended: its last replies go out before.
void stopBroker() {
  publishStatus();
  mosquitto_disconnect(broker);
  mosquitto_loop_stop(broker, false);
  mosquitto_destroy(broker);
  mosquitto_lib_cleanup();
}

}  // namespace

int main(int argc, char **argv) {
  int foreground = 0, debug = 0;
  char *configPath = nullptr;
  const ArgOption options[] = {
      {&foreground, 'f', nullptr, nullptr, "stay in the foreground"},
      {&debug, 'd', nullptr, nullptr, "raise the log level by one (repeatable)"},
      {nullptr, 'c', nullptr, &configPath, "read this configuration file"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {kName, "nkbridge [-f] [-d] [-c CONFIG]"};
  argParse(&argc, argv, options, &info, 0);
  if (argc > 1) {
    printf("Unexpected argument '%s', use -? for help\n", argv[1]);
    return 1;
  }
  if (debug > 0) nkloglevelincrease(debug);
  memInit();
  if (configPath) configSetFile(configPath);
  configReadFile();
  if (!readConfig()) return 1;
  if (!foreground && daemon(0, 1) != 0) return 1;

  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  request = stringAlloc(0);
  reply = stringAlloc(0);
  if (pipe2(stopPipe, O_CLOEXEC) != 0) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: pipe: %s\n", kName, strerror(errno));
    return 1;
  }
  if (!startBroker()) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot start the broker connection\n", kName);
    return 1;
  }
  std::thread commandWorker(worker);
  mainLoop();
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: signal %d, exiting\n", kName, caughtSignal.load());
  stopCommands();
  commandWorker.join();
  stopBroker();
  if (bus) nkMsgClose(bus);
  stringFree(reply);
  stringFree(request);
  return 0;
}
