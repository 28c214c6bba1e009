// nkfleet -- the operator's console for a fleet of devices. Every device runs
// nkbridge, which keeps its presence, its latest heartbeat and the replies to
// shell commands on an MQTT broker; nkfleet reads and drives the fleet through
// the same broker.
//
//   nkfleet [-b HOST] [-p PORT] [-t SECONDS] [-c CONFIG] devices
//   nkfleet [-b HOST] [-p PORT] [-t SECONDS] [-c CONFIG] -d PATTERN COMMAND...
//
// Topics (every one of a device starts with nk/SITE/DEVICE/):
//   status                retained "online" or "offline"
//   seen                  retained, the latest heartbeat in seconds since 1970
//   cmd/CALLER/ID         a shell command line, sent here with QoS 1
//   reply/CALLER/ID       its output, byte for byte, or a one-line refusal
// CALLER is "fleet-PID-RANDOM", also the client id of our clean session; ID
// numbers the requests of one run from 1.
//
// What the fleet looks like comes from the retained messages: nkfleet
// subscribes, waits for the broker's acknowledgement, then takes messages
// until kQuietMs pass without a new one (at most kCollectMs in all).
//
// `devices` prints every device with a retained status, sorted by site and
// device. `-d SITE/DEVICE` sends the command line (the words joined by single
// spaces) to that device, even when its status is unknown, and prints its
// reply exactly; a PATTERN with '*' or '?' (matched with fnmatch against
// SITE/DEVICE) sends it to every matching online device at once and prints
// each output under "==== SITE/DEVICE", in sorted order.
//
// Exit status: 0 when every device asked answered; 1 when one is offline,
// did not answer within -t seconds, nothing matched, or the command line was
// wrong; 2 when the broker cannot be reached or used (the reason goes to the
// standard error on one line).
//
// One thread: the client's network loop (mosquitto_loop) runs on the main
// thread, so the callbacks and the rest of the program share the Session
// without a lock. Every wait has a deadline.
#define NK_MODULE "nkfleet"
#include <errno.h>
#include <fnmatch.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <mosquitto.h>

#include "argparse.h"
#include "broker.h"
#include "configfile.h"
#include "mem.h"
#include "nksyslog.h"
#include "timer.h"

namespace {

int64_t monotonicMs() { return timerMonotonicMicroSec() / 1000; }

constexpr const char *kName = "nkfleet";
constexpr int kExitAnswered = 0;
constexpr int kExitNotAnswered = 1;  // also: a wrong command line
constexpr int kExitBroker = 2;
constexpr int kDefaultTimeout = 10;  // s to wait for replies
constexpr int kMaxTimeout = 86400;
constexpr int64_t kConnectMs = 5000;  // the longest wait for the broker's CONNACK
constexpr int64_t kQuietMs = 300;     // retained messages are over after this silence
constexpr int64_t kCollectMs = 3000;  // the longest collection of retained messages
constexpr int kQos = 1;
constexpr int kRefusedQos = 0x80;  // a SUBACK's code for a refused subscription

// SITE and DEVICE; ordered by site, then device.
using DeviceName = std::pair<std::string, std::string>;

// What the retained messages say of one device; empty when unknown.
struct Device {
  std::string status;
  std::string seen;
};

// Everything the client's callbacks and the main program share.
struct Session {
  struct mosquitto *mosq = nullptr;
  std::string caller;
  bool connected = false;
  int connackCode = -1;  // the broker's answer to CONNECT, -1 before it
  std::set<int> pendingSubscriptions;
  std::string refusedSubscription;  // set when the broker refused one
  int64_t lastNews = 0;             // ms (monotonic) of the latest message or SUBACK
  std::map<DeviceName, Device> devices;
  std::set<std::string> awaited;                 // reply topics of the requests sent
  std::map<std::string, std::string> replies;    // reply topic -> payload
  std::map<int, std::string> subscriptionNames;  // mid -> topic filter
};

struct Options {
  char *host = nullptr;
  int port = 0;
  int timeout = kDefaultTimeout;
  char *config = nullptr;
  char *pattern = nullptr;
};

std::string deviceText(const DeviceName &name) { return name.first + "/" + name.second; }

std::string deviceTopic(const DeviceName &name, const char *rest) {
  return "nk/" + deviceText(name) + "/" + rest;
}

std::vector<std::string> splitTopic(const char *topic) {
  std::vector<std::string> levels;
  const char *start = topic;
  for (const char *p = topic;; p++) {
    if (*p == '/' || *p == '\0') {
      levels.emplace_back(start, p - start);
      if (*p == '\0') break;
      start = p + 1;
    }
  }
  return levels;
}

// {==== Options and settings

// Options, then the command words: argv[1 .. *argc - 1] are left holding them.
void parseOptions(int *argc, char **argv, Options *o) {
  const ArgOption options[] = {
      {nullptr, 'b', nullptr, &o->host, "the broker's host (default brokerHost, else 127.0.0.1)"},
      {nullptr, 'p', &o->port, nullptr, "the broker's port (default brokerPort, else 1883)"},
      {nullptr, 't', &o->timeout, nullptr, "seconds to wait for replies (default 10)"},
      {nullptr, 'c', nullptr, &o->config, "read the broker keys from this configuration file"},
      {nullptr, 'd', nullptr, &o->pattern,
       "run the command on SITE/DEVICE, or on every online device matching a pattern with * or ?"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {kName,
                        "nkfleet [-b HOST] [-p PORT] [-t SECONDS] [-c CONFIG] devices\n"
                        "\tnkfleet [-b HOST] [-p PORT] [-t SECONDS] [-c CONFIG] -d PATTERN "
                        "COMMAND..."};
  argParse(argc, argv, options, &info, 1);
  if (o->port < 0 || o->port > 65535) {
    printf("The port must be a number from 1 to 65535\n");
    exit(kExitNotAnswered);
  }
  if (o->timeout <= 0 || o->timeout > kMaxTimeout) {
    printf("The timeout must be a number of seconds from 1 to %d\n", kMaxTimeout);
    exit(kExitNotAnswered);
  }
}

// The broker keys of the configuration file (when -c names one), with -b and
// -p over brokerHost and brokerPort.
bool readBrokerOptions(const Options &o, BrokerSettings *s, std::string *error) {
  if (o.config) {
    if (access(o.config, R_OK) != 0) {
      *error =
          std::string("cannot read the configuration file ") + o.config + ": " + strerror(errno);
      return false;
    }
    configSetFile(o.config);
    configReadFile();
    bool read = readBrokerSettings(s, error);
    configCloseFile();
    if (!read) return false;
  }
  if (o.host) s->host = o.host;
  if (o.port) s->port = o.port;  // checked with the options
  return true;
}

// A caller name no other console shares: "fleet-PID-RANDOM", RANDOM in hex.
std::string newCaller() {
  std::random_device random;
  char text[64];
  snprintf(text, sizeof text, "fleet-%d-%08x", static_cast<int>(getpid()),
           static_cast<unsigned>(random()));
  return text;
}

// }====

// {==== The client's callbacks

void onConnect(struct mosquitto *, void *obj, int code) {
  Session *s = static_cast<Session *>(obj);
  s->connackCode = code;
  s->connected = code == 0;
}

void onDisconnect(struct mosquitto *, void *obj, int) {
  static_cast<Session *>(obj)->connected = false;
}

void onSubscribe(struct mosquitto *, void *obj, int mid, int count, const int *granted) {
  Session *s = static_cast<Session *>(obj);
  for (int i = 0; i < count; i++) {
    if (granted[i] >= kRefusedQos) s->refusedSubscription = s->subscriptionNames[mid];
  }
  s->pendingSubscriptions.erase(mid);
  s->lastNews = monotonicMs();
}

// A status or seen of some device: nk/SITE/DEVICE/status|seen. An empty
// payload clears the retained message, and so what we know.
void noteDevice(Session *s, const std::vector<std::string> &levels, const std::string &payload) {
  if (levels.size() != 4 || levels[0] != "nk") return;
  DeviceName name(levels[1], levels[2]);
  if (levels[3] == "status") {
    if (payload.empty()) {
      s->devices.erase(name);
    } else {
      s->devices[name].status = payload;
    }
  } else if (levels[3] == "seen" && !payload.empty()) {
    s->devices[name].seen = payload;
  }
}

void onMessage(struct mosquitto *, void *obj, const struct mosquitto_message *m) {
  Session *s = static_cast<Session *>(obj);
  s->lastNews = monotonicMs();
  std::string payload(static_cast<const char *>(m->payload), m->payload ? m->payloadlen : 0);
  if (s->awaited.count(m->topic)) {
    s->replies.emplace(m->topic, payload);  // a repeated delivery keeps the first
    return;
  }
  noteDevice(s, splitTopic(m->topic), payload);
}

// }====

// {==== The broker

// Runs the client's network loop for at most ms. False, with the reason in
// error, when the connection is gone.
bool pump(Session *s, int64_t ms, std::string *error) {
  int timeout = static_cast<int>(ms < 1 ? 1 : ms);
  int rc = mosquitto_loop(s->mosq, timeout, 1);
  if (rc == MOSQ_ERR_SUCCESS && (s->connected || s->connackCode < 0)) return true;
  bool closed = rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_CONN_LOST;
  if (s->connackCode > 0) {
    std::string answer = mosquitto_connack_string(s->connackCode);
    if (!answer.empty() && answer.back() == '.') answer.pop_back();
    *error = "the broker refused the connection (" + answer + ")";
  } else if (s->connackCode == 0) {
    *error = "lost the connection to the broker";
    if (!closed) *error += ": " + brokerReason(rc);
  } else {
    *error = closed ? "the broker closed the connection" : brokerReason(rc);
  }
  return false;
}

// Waits until the TCP connection that mosquitto_connect_async started is made.
// False when it failed (the reason in error) or the deadline passed (error
// left empty). The client's loop would not see a refused connection when TLS
// is on, and would spin until the deadline. connectErrno is errno just after
// mosquitto_connect_async, where a connect() that failed at once left it.
bool waitForSocket(Session *s, int64_t deadline, int connectErrno, std::string *error) {
  error->clear();
  int fd = mosquitto_socket(s->mosq);
  if (fd < 0) {
    *error = strerror(connectErrno ? connectErrno : ENOTCONN);
    return false;
  }
  struct pollfd p = {fd, POLLOUT, 0};
  int ready;
  do {
    int64_t left = deadline - monotonicMs();
    ready = poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return false;
  int failure = 0;
  socklen_t size = sizeof failure;
  if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
  struct sockaddr_storage peer;
  socklen_t peerSize = sizeof peer;
  if (!failure && getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerSize) != 0) {
    bool pending = connectErrno == 0 || connectErrno == EAGAIN || connectErrno == EINPROGRESS;
    failure = pending ? ENOTCONN : connectErrno;
  }
  if (failure) *error = strerror(failure);
  return failure == 0;
}

// Creates the client and waits (at most kConnectMs) for the broker to accept
// the connection.
bool connectBroker(Session *s, const BrokerSettings &b, std::string *error) {
  s->mosq = mosquitto_new(s->caller.c_str(), true, s);
  if (!s->mosq) {
    *error = std::string("cannot create the MQTT client: ") + strerror(errno);
    return false;
  }
  mosquitto_connect_callback_set(s->mosq, onConnect);
  mosquitto_disconnect_callback_set(s->mosq, onDisconnect);
  mosquitto_subscribe_callback_set(s->mosq, onSubscribe);
  mosquitto_message_callback_set(s->mosq, onMessage);
  // A command is one small message each way: without this the kernel would
  // hold it back for the acknowledgement of the previous one.
  mosquitto_int_option(s->mosq, MOSQ_OPT_TCP_NODELAY, 1);
  if (!applyBrokerSettings(s->mosq, b, error)) return false;
  std::string where = " at " + b.host + ":" + std::to_string(b.port);
  errno = 0;
  int rc = mosquitto_connect_async(s->mosq, b.host.c_str(), b.port, b.keepalive);
  int connectErrno = errno;
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "cannot connect to the broker" + where + ": " + brokerReason(rc);
    return false;
  }
  int64_t deadline = monotonicMs() + kConnectMs;
  std::string timedOut =
      "no answer from the broker" + where + " within " + std::to_string(kConnectMs / 1000) + " s";
  std::string reason;
  if (!waitForSocket(s, deadline, connectErrno, &reason)) {
    *error = reason.empty() ? timedOut : "cannot connect to the broker" + where + ": " + reason;
    return false;
  }
  while (!s->connected) {
    int64_t left = deadline - monotonicMs();
    if (left <= 0) {
      *error = timedOut;
      return false;
    }
    if (!pump(s, left, &reason)) {
      *error = "cannot connect to the broker" + where + ": " + reason;
      return false;
    }
  }
  return true;
}

// Subscribes to the topic filters, waits for their SUBACK, then takes the
// retained messages until quietMs pass without one; kCollectMs at most.
bool collect(Session *s, const std::vector<std::string> &filters, std::string *error,
             int64_t quietMs = kQuietMs) {
  int64_t start = monotonicMs();
  for (const std::string &filter : filters) {
    int mid = 0;
    int rc = mosquitto_subscribe(s->mosq, &mid, filter.c_str(), kQos);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "cannot subscribe to " + filter + ": " + brokerReason(rc);
      return false;
    }
    s->pendingSubscriptions.insert(mid);
    s->subscriptionNames[mid] = filter;
  }
  for (;;) {
    int64_t now = monotonicMs();
    int64_t left = start + kCollectMs - now;
    bool acknowledged = s->pendingSubscriptions.empty();
    if (!s->refusedSubscription.empty()) {
      *error = "the broker refused the subscription to " + s->refusedSubscription;
      return false;
    }
    if (acknowledged && now - s->lastNews >= quietMs) return true;
    if (left <= 0) return true;  // whatever came is all we get
    int64_t wait = acknowledged ? s->lastNews + quietMs - now : left;
    if (!pump(s, wait < left ? wait : left, error)) return false;
  }
}

// Publishes the command line to the device and expects the reply; returns
// the reply's topic.
bool sendCommand(Session *s, const DeviceName &name, const std::string &line, int id,
                 std::string *replyTopic, std::string *error) {
  std::string request = s->caller + "/" + std::to_string(id);
  std::string topic = deviceTopic(name, "cmd/") + request;
  *replyTopic = deviceTopic(name, "reply/") + request;
  s->awaited.insert(*replyTopic);
  int rc = mosquitto_publish(s->mosq, nullptr, topic.c_str(), static_cast<int>(line.size()),
                             line.data(), kQos, false);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "cannot publish to " + topic + ": " + brokerReason(rc);
    return false;
  }
  return true;
}

// Waits until every awaited reply came, for at most seconds.
bool waitReplies(Session *s, int seconds, std::string *error) {
  int64_t deadline = monotonicMs() + static_cast<int64_t>(seconds) * 1000;
  while (s->replies.size() < s->awaited.size()) {
    int64_t left = deadline - monotonicMs();
    if (left <= 0) return true;
    if (!pump(s, left, error)) return false;
  }
  return true;
}

// }====

// {==== Commands

std::string formatSeen(const std::string &seen) {
  char *end = nullptr;
  errno = 0;
  long long seconds = strtoll(seen.c_str(), &end, 10);
  if (seen.empty() || errno != 0 || *end != '\0') return "-";
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  char text[64];
  if (!localtime_r(&t, &local) || !strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local)) {
    return "-";
  }
  return text;
}

int listDevices(Session *s, std::string *error) {
  if (!collect(s, {"nk/+/+/status", "nk/+/+/seen"}, error)) return kExitBroker;
  printf("%-30s %-8s %s\n", "device", "status", "last seen");
  printf("%s %s %s\n", std::string(30, '=').c_str(), std::string(8, '=').c_str(),
         std::string(19, '=').c_str());
  for (const auto &entry : s->devices) {
    if (entry.second.status.empty()) continue;  // seen, but no status: not a device we know
    printf("%-30s %-8s %s\n", deviceText(entry.first).c_str(), entry.second.status.c_str(),
           formatSeen(entry.second.seen).c_str());
  }
  return kExitAnswered;
}

// The words of the command, joined by single spaces.
std::string commandLine(int argc, char **argv) {
  std::string line;
  for (int i = 1; i < argc; i++) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

bool isPattern(const char *pattern) { return strpbrk(pattern, "*?") != nullptr; }

// SITE/DEVICE: two non-empty names without the characters MQTT reserves
// and without control characters, which no bridge takes as a name.
bool parseDeviceName(const char *text, DeviceName *name) {
  const char *slash = strchr(text, '/');
  if (!slash || slash == text || !slash[1] || strchr(slash + 1, '/')) return false;
  if (strpbrk(text, "+#")) return false;
  for (const char *p = text; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return false;
  }
  *name = DeviceName(std::string(text, slash - text), slash + 1);
  return true;
}

bool isOffline(const Session *s, const DeviceName &name) {
  auto it = s->devices.find(name);
  return it != s->devices.end() && it->second.status == "offline";
}

// Prints the reply that came on topic, or the line saying that none came in
// time. With ownLine, output that does not end a line gets a line end, so
// that what follows starts a line of its own. True when the reply came.
bool printReply(const Session *s, const DeviceName &name, const std::string &topic, int timeout,
                bool ownLine) {
  auto reply = s->replies.find(topic);
  if (reply == s->replies.end()) {
    printf("* No reply from %s within %d s\n", deviceText(name).c_str(), timeout);
    return false;
  }
  const std::string &output = reply->second;
  fwrite(output.data(), 1, output.size(), stdout);
  if (ownLine && !output.empty() && output.back() != '\n') putchar('\n');
  return true;
}

// One device needs no quiet period: the command goes out once the
// subscriptions are acknowledged, and a retained offline status that comes
// before the reply ends the wait.
int runOnDevice(Session *s, const Options &o, const std::string &line, std::string *error) {
  DeviceName name;
  parseDeviceName(o.pattern, &name);  // checked before connecting
  std::string replies = deviceTopic(name, "reply/") + s->caller + "/+";
  if (!collect(s, {deviceTopic(name, "status"), replies}, error, 0)) return kExitBroker;
  std::string replyTopic;
  if (!isOffline(s, name) && !sendCommand(s, name, line, 1, &replyTopic, error)) {
    return kExitBroker;
  }
  int64_t deadline = monotonicMs() + static_cast<int64_t>(o.timeout) * 1000;
  while (s->replies.empty() && !isOffline(s, name)) {
    int64_t left = deadline - monotonicMs();
    if (left <= 0) break;
    if (!pump(s, left, error)) return kExitBroker;
  }
  if (s->replies.empty() && isOffline(s, name)) {
    printf("* %s is offline\n", deviceText(name).c_str());
    return kExitNotAnswered;
  }
  return printReply(s, name, replyTopic, o.timeout, false) ? kExitAnswered : kExitNotAnswered;
}

int runOnPattern(Session *s, const Options &o, const std::string &line, std::string *error) {
  if (!collect(s, {"nk/+/+/status", "nk/+/+/reply/" + s->caller + "/+"}, error)) {
    return kExitBroker;
  }
  // Sent to every online match at once, then awaited together.
  std::vector<DeviceName> matches;
  std::map<DeviceName, std::string> replyTopics;
  for (const auto &entry : s->devices) {
    const DeviceName &name = entry.first;
    if (entry.second.status.empty() || fnmatch(o.pattern, deviceText(name).c_str(), 0) != 0) {
      continue;
    }
    matches.push_back(name);
    if (entry.second.status != "online") continue;
    int id = static_cast<int>(replyTopics.size()) + 1;
    if (!sendCommand(s, name, line, id, &replyTopics[name], error)) return kExitBroker;
  }
  if (matches.empty()) {
    printf("* No device matches %s\n", o.pattern);
    return kExitNotAnswered;
  }
  if (!waitReplies(s, o.timeout, error)) return kExitBroker;
  int status = kExitAnswered;
  for (const DeviceName &name : matches) {
    printf("==== %s\n", deviceText(name).c_str());
    auto topic = replyTopics.find(name);
    if (topic == replyTopics.end()) {
      printf("* %s is offline\n", deviceText(name).c_str());
      status = kExitNotAnswered;
    } else if (!printReply(s, name, topic->second, o.timeout, true)) {
      status = kExitNotAnswered;
    }
  }
  return status;
}

// The command words, checked before the broker is asked anything. False,
// with the reason printed, when they make no command.
bool checkCommand(const Options &o, int argc, char **argv) {
  if (!o.pattern && (argc != 2 || strcmp(argv[1], "devices") != 0)) {
    printf("Unknown command '%s': devices, or -d PATTERN COMMAND..., use -? for help\n",
           commandLine(argc, argv).c_str());
    return false;
  }
  DeviceName name;
  if (o.pattern && !isPattern(o.pattern) && !parseDeviceName(o.pattern, &name)) {
    printf("Not a device: '%s' (SITE/DEVICE, or a pattern with * or ?)\n", o.pattern);
    return false;
  }
  return true;
}

// The command of the command line, on a connected session.
int runCommand(Session *s, const Options &o, int argc, char **argv, std::string *error) {
  if (o.pattern) {
    std::string line = commandLine(argc, argv);
    return isPattern(o.pattern) ? runOnPattern(s, o, line, error) : runOnDevice(s, o, line, error);
  }
  return listDevices(s, error);
}

// }====

}  // namespace

int main(int argc, char **argv) {
  Options options;
  parseOptions(&argc, argv, &options);
  if (!checkCommand(options, argc, argv)) return kExitNotAnswered;
  nksetdefaultlog(stderr);  // the standard output carries only the fleet's answers
  memInit();

  BrokerSettings broker;
  std::string error;
  int status = kExitBroker;
  if (readBrokerOptions(options, &broker, &error)) {
    mosquitto_lib_init();
    Session session;
    session.caller = newCaller();
    if (connectBroker(&session, broker, &error)) {
      status = runCommand(&session, options, argc, argv, &error);
      if (status != kExitBroker) mosquitto_disconnect(session.mosq);
    }
    if (session.mosq) mosquitto_destroy(session.mosq);
    mosquitto_lib_cleanup();
  }
  fflush(stdout);
  if (status == kExitBroker) fprintf(stderr, "%s: %s\n", kName, error.c_str());
  return status;
}
