// nkbus -- a small message-bus server for running and testing the framework's
// processes on one machine.
//
// It listens on port 4242 of 127.0.0.1 only, or of the address in the
// environment variable NK_BUS_ADDRESS when that holds a dotted IPv4 address:
// the address every client of the library connects to, so that several buses
// (one per simulated device, on 127.0.0.2, 127.0.0.3, ...) can run on one
// machine. A connection registers a name with a request of type 100 to "base"
// and gets a type-0 line with the same seq back
// (a name another connection holds is refused with type 1). Every line
// addressed to a registered name goes to that connection unchanged, in the
// order received; a request (seq above 0) for a name nobody holds is answered
// at once with type 3 and a short error text, so that its caller fails instead
// of waiting; a one-way line for such a name is dropped with a log line. A
// sign-off (type 102 to "base") or a disconnect frees the name. Lines from
// connections that have not registered are dropped.
//
// Who may speak: on accept the server asks the kernel which local user owns
// the other end of the connection (peerUid). Trusted are root, the user
// nkbus runs as, the users of the configuration key busTrustedUsers and the
// members of the groups of busTrustedGroups (both comma-separated names or
// numeric ids); everyone else, and a connection whose user cannot be told,
// is untrusted. A trusted connection may do all of the above. An untrusted
// one may send anything to "base", but may not register the names of
// busReservedNames (default "nkrun,nkbridge": a local user must not take the
// runtime's name while it restarts), answered with type 1 and "error=name
// reserved"; to the other processes it may send only the lines that read
// state: 202 (statistics), 209 (ps) and 213 (get). This is an allow list: a
// result line (below 100) would answer another process's pending request, a
// 215 would feed forged tag values to their watchers, and the write types
// run or change things. Any other line of it is not forwarded: it is logged
// and answered, even when one-way, with type 3 and "error=not
// permitted,type=<type>", so that the sender learns why.
//
// The server's own statistics: a request of type 202 to "base" with
// "stat=connections,index=N" is answered with the N-th connection (from 0,
// in descriptor order): "index=<next, 0 on the last>,fd=,name=,user=,uid=,
// trusted=yes|no,lines=,refused=" (user "?" and uid -1 when unknown; lines
// received, and lines the policy refused). An index past the last gets type
// 5 and "index=0", another stat type 4 and "error=unknown stat,stat=<stat>".
// nkbus -s lists them as a table through a client of the library.
//
// A connection that sends a malformed line, or a line of more than 64 KiB,
// is disconnected with a log line, and so is one that has not registered a
// name within a few seconds (-r), or is the oldest without one when the
// descriptors run short, and so is one for which more than the output limit
// (-o, 1 MiB) waits unread. Nothing a peer sends
// stops the server, and a peer that vanishes cannot kill it through SIGPIPE (the socket layer
// ignores that signal).
//
// One thread does everything: it runs the poller, whose callbacks only mark
// connections, then receives, routes and writes (through the socket layer's
// queues). SIGINT and SIGTERM end it
// cleanly.
//
//   [NK_BUS_ADDRESS=ADDRESS] nkbus [-f] [-d] [-l LEVEL] [-r SECONDS] [-o KIB] [-c CONFIG]
//   [NK_BUS_ADDRESS=ADDRESS] nkbus -s
#define NK_MODULE "nkbus"
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "argparse.h"
#include "configfile.h"
#include "mem.h"
#include "netfuncs.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nkproto.h"
#include "timer.h"

namespace {

int64_t nowMs() { return timerMonotonicMicroSec() / 1000; }

constexpr size_t kMaxLine = 64 * 1024;
constexpr int kReadChunk = 4096;

// Connections beyond which a new one closes the oldest without a name: the
// descriptor table holds NET_MAX_DESCRIPTORS, and the last 64 stay free for
// processes that register.
constexpr size_t kRoomAt = NET_MAX_DESCRIPTORS - 64;

volatile sig_atomic_t stopRequested;
int registrationDeadline = 5;  // s a connection may stay without a name (-r)
int outputLimit = 1024;        // KiB that may wait for a connection (-o)

struct Connection {
  explicit Connection(int descriptor) : fd(descriptor) {}
  int fd;
  std::string name;     // registered name, empty before registration
  std::string pending;  // bytes received after the last line end
  bool readable = false;
  bool writable = false;
  bool queued = false;     // bytes wait in the socket layer's queue
  size_t queuedBytes = 0;  // at most this many, since the queue was last empty
  bool closing = false;
  bool signedOff = false;
  int64_t namelessSince = 0;  // ms: when it connected or signed off (while it holds no name)
  long long uid = -1;         // the peer's user, -1 when it cannot be told
  std::string user = "?";     // its login name, or the number when it has none
  bool trusted = false;
  unsigned lines = 0;    // lines received
  unsigned refused = 0;  // lines the policy refused
};

std::map<int, Connection *> connections;  // by descriptor
std::map<std::string, Connection *> names;
int listener = -1;
bool listenerReady = false;

// Runs inside netPoll: only marks what needs doing.
void onEvent(int fd, int kind, void *) {
  if (fd == listener) {
    listenerReady = true;
    return;
  }
  auto it = connections.find(fd);
  if (it == connections.end()) return;
  if (kind == NET_EVENT_READ) it->second->readable = true;
  if (kind == NET_EVENT_WRITE) it->second->writable = true;
  if (kind == NET_EVENT_ERROR) it->second->closing = true;
}

// Dropped lines are logged at most kDropLogsPerSecond a second: a client that
// sends thousands of them must not flood the log. The lines not logged are
// counted in the next one that is.
constexpr int kDropLogsPerSecond = 10;
bool dropLogAllowed() {
  static int64_t second = 0;
  static int logged = 0, skipped = 0;
  int64_t now = timerMonotonicMicroSec() / 1000000;
  if (now != second) {
    if (skipped > 0) {
      nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: %d more dropped lines not logged\n", "nkbus",
               skipped);
    }
    second = now;
    logged = skipped = 0;
  }
  if (logged < kDropLogsPerSecond) {
    logged++;
    return true;
  }
  skipped++;
  return false;
}

// {==== Who is asking

// The uid that owns the other end of an accepted connection, or -1 when it
// cannot be told. Every socket carries the (filesystem) uid of the process
// that made it; on loopback the peer's socket is the one whose local end is
// our remote end and whose remote end is our local end. The kernel is asked
// through the netlink socket diagnostics (one exact lookup by those four
// values); where that socket cannot be opened (under qemu-user) the table of
// /proc/net/tcp gives the same answer.
long long sockDiagUid(const sockaddr_in &peer, const sockaddr_in &local) {
  int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (s < 0) return -1;
  struct timeval wait = {1, 0};  // the kernel answers at once; never hang the bus
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request = {};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0u;
  request.body.id.idiag_sport = peer.sin_port;
  request.body.id.idiag_dport = local.sin_port;
  request.body.id.idiag_src[0] = peer.sin_addr.s_addr;
  request.body.id.idiag_dst[0] = local.sin_addr.s_addr;
  request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  struct sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  char answer[1024];
  ssize_t n = -1;
  if (sendto(s, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel),
             sizeof kernel) == static_cast<ssize_t>(sizeof request)) {
    n = recv(s, answer, sizeof answer, 0);
  }
  close(s);
  // One message: the socket's record (a refusal comes as NLMSG_ERROR).
  nlmsghdr header;
  inet_diag_msg found;
  if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof found))) return -1;
  memcpy(&header, answer, sizeof header);
  if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len < NLMSG_LENGTH(sizeof found) ||
      header.nlmsg_len > static_cast<size_t>(n)) {
    return -1;
  }
  memcpy(&found, answer + NLMSG_HDRLEN, sizeof found);
  if (found.id.idiag_sport != peer.sin_port || found.id.idiag_dport != local.sin_port) return -1;
  return found.idiag_uid;
}

// The kernel prints each address as %08X of its raw (network-order) 32-bit
// value and the port as %04X: formatted the same way here, on any host.
long long procTcpUid(const sockaddr_in &peer, const sockaddr_in &local) {
  char peerText[16], localText[16];
  snprintf(peerText, sizeof peerText, "%08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port));
  snprintf(localText, sizeof localText, "%08X:%04X", local.sin_addr.s_addr, ntohs(local.sin_port));
  FILE *f = fopen("/proc/net/tcp", "re");
  if (!f) return -1;
  long long uid = -1;
  char line[512];
  while (uid < 0 && fgets(line, sizeof line, f)) {
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
    char from[16], to[16];
    unsigned long owner;
    if (sscanf(line, "%*s %15s %15s %*s %*s %*s %*s %lu", from, to, &owner) == 3 &&
        strcmp(from, peerText) == 0 && strcmp(to, localText) == 0) {
      uid = static_cast<long long>(owner);
    }
  }
  fclose(f);
  return uid;
}

long long peerUid(int fd) {
  struct sockaddr_in peer = {}, local = {};
  socklen_t peerSize = sizeof peer, localSize = sizeof local;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localSize) != 0 ||
      peer.sin_family != AF_INET) {
    return -1;
  }
  long long uid = sockDiagUid(peer, local);
  if (uid >= 0) return uid;
  uid = procTcpUid(peer, local);
  static bool told = false;  // once: it is the same for every connection
  if (uid >= 0 && !told) {
    told = true;
    nksyslog(NKLOG_NOTICE, LOGMASK_IPC,
             "%s: no netlink socket diagnostics, users are read from /proc/net/tcp\n", "nkbus");
  }
  return uid;
}

// The policy, read from the configuration at start-up.
std::set<unsigned> trustedUsers;      // busTrustedUsers (uid_t)
std::set<unsigned> trustedGroups;     // busTrustedGroups (gid_t)
std::set<std::string> reservedNames;  // busReservedNames
const char kDefaultReserved[] = "nkrun,nkbridge";

// The items of every line of key, split at commas, blanks around each
// dropped; those of fallback when no line has the key.
std::vector<std::string> configList(const char *key, const char *fallback) {
  std::string all;
  bool found = false;
  for (const char *value; (value = configValueR(key)) != nullptr; found = true) {
    all += std::string(value) + ",";
  }
  if (!found) all = fallback;
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= all.size()) {
    size_t comma = std::min(all.find(',', start), all.size());
    std::string item = all.substr(start, comma - start);
    size_t first = item.find_first_not_of(" \t"), last = item.find_last_not_of(" \t");
    if (first != std::string::npos) items.push_back(item.substr(first, last - first + 1));
    start = comma + 1;
  }
  return items;
}

// A user or group id in decimal (the invalid id, all ones, is not one; a
// number too large for strtoull is read as its largest value).
bool parseId(const std::string &s, unsigned *out) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long v = strtoull(s.c_str(), nullptr, 10);
  if (v >= UINT32_MAX) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

bool userId(const char *name, unsigned *id) {
  const struct passwd *pw = getpwnam(name);
  if (pw) *id = pw->pw_uid;
  return pw != nullptr;
}

bool groupId(const char *name, unsigned *id) {
  const struct group *gr = getgrnam(name);
  if (gr) *id = gr->gr_gid;
  return gr != nullptr;
}

// The ids of the items of key, each a name that lookup knows (tried first)
// or a number; any other item is logged and ignored.
void readIds(const char *key, const char *what, bool (*lookup)(const char *, unsigned *),
             std::set<unsigned> *ids) {
  for (const std::string &item : configList(key, "")) {
    unsigned id = 0;
    if (lookup(item.c_str(), &id) || parseId(item, &id)) {
      ids->insert(id);
    } else {
      nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: %s: no %s %s, ignored\n", "nkbus", key, what,
               item.c_str());
    }
  }
}

void readPolicy() {
  readIds("busTrustedUsers", "user", userId, &trustedUsers);
  readIds("busTrustedGroups", "group", groupId, &trustedGroups);
  for (const std::string &name : configList("busReservedNames", kDefaultReserved)) {
    reservedNames.insert(name);
  }
}

// Root, our own user, a user of busTrustedUsers or a member (by its primary
// or a supplementary group) of a group of busTrustedGroups.
bool trustedUser(long long uid) {
  if (uid < 0) return false;
  uid_t user = static_cast<uid_t>(uid);
  if (user == 0 || user == geteuid() || trustedUsers.count(user)) return true;
  const struct passwd *pw = trustedGroups.empty() ? nullptr : getpwuid(user);
  if (!pw) return false;
  std::string name = pw->pw_name;
  gid_t primary = pw->pw_gid;
  // Too small a buffer fails with the number needed in count.
  std::vector<gid_t> groups;
  int count = 32;
  do {
    groups.resize(count);
  } while (getgrouplist(name.c_str(), primary, groups.data(), &count) < 0);
  groups.resize(count);
  for (gid_t g : groups) {
    if (trustedGroups.count(g)) return true;
  }
  return false;
}

// Who is behind a new connection, logged with the verdict.
void identify(Connection *c) {
  c->uid = peerUid(c->fd);
  c->trusted = trustedUser(c->uid);
  if (c->uid < 0) {
    nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: fd %d connected, its user unknown: untrusted\n",
             "nkbus", c->fd);
    return;
  }
  const struct passwd *pw = getpwuid(static_cast<uid_t>(c->uid));
  c->user = pw ? pw->pw_name : std::to_string(c->uid);
  nksyslog(NKLOG_INFO, LOGMASK_IPC, "%s: fd %d connected, user %s (uid %lld), %s\n", "nkbus", c->fd,
           c->user.c_str(), c->uid, c->trusted ? "trusted" : "untrusted");
}

// The lines an untrusted connection may send to another process: they only
// read state.
bool readsOnly(int type) {
  return type == NK_TYPE_STAT || type == NK_TYPE_PS || type == NK_TYPE_GET;
}

// }====

// A peer closing its end is ordinary (a process that signed off, or one that
// ended without signing off) and is logged as a notice; the server cutting a
// peer off is a warning.
void drop(Connection *c, const char *why, int level = NKLOG_WARNING) {
  nksyslog(level, LOGMASK_IPC, "%s: fd %d (%s) %s\n", "nkbus", c->fd,
           !c->name.empty() ? c->name.c_str()
           : c->signedOff   ? "signed off"
                            : "unregistered",
           why);
  if (!c->name.empty()) names.erase(c->name);
  c->name.clear();
  c->closing = true;
}

// A connection that does not read its lines cannot hold the server up: once
// more than outputLimit KiB wait for it, it is cut off (its senders never
// wait for it, and the queue never grows past what the allocator can give).
void send(Connection *c, const std::string &line) {
  if (c->closing) return;
  if (c->queued && c->queuedBytes + line.size() > static_cast<size_t>(outputLimit) * 1024) {
    drop(c, "does not read its lines (output limit passed), disconnected");
    return;
  }
  int r = netWrite(c->fd, line.c_str());
  if (r < 0) {
    drop(c, "send failed, disconnected");
  } else {
    c->queued = r == 0;
    c->queuedBytes = c->queued ? c->queuedBytes + line.size() : 0;
  }
}

void answer(Connection *c, const std::string &to, int type, int seq, const std::string &data) {
  send(c, to + "," + MSG_SERVER_NAME + "," + std::to_string(type) + "," + std::to_string(seq) +
              "," + data + "\r\n");
}

// A line the policy does not let through: not forwarded, and answered (even
// when one-way) so that its sender learns why.
void refuse(Connection *c, const std::string &to, int type, int seq) {
  c->refused++;
  if (dropLogAllowed()) {
    nksyslog(NKLOG_WARNING, LOGMASK_IPC,
             "%s: fd %d (%s, user %s) may not send type %d to %s, refused\n", "nkbus", c->fd,
             c->name.c_str(), c->user.c_str(), type, to.c_str());
  }
  answer(c, c->name, NK_REPLY_NO_SUCH_NAME, seq,
         "error=not permitted,type=" + std::to_string(type));
}

// "stat=connections,index=N": the N-th open connection, in descriptor order.
void answerStat(Connection *c, int seq, const std::string &data) {
  char stat[64];
  int index = 0;
  paramGetString(data.c_str(), "stat", stat, sizeof stat);
  paramGetNumber(data.c_str(), "index", &index);
  if (strcmp(stat, NK_STAT_CONNECTIONS) != 0) {
    answer(c, c->name, NK_REPLY_UNKNOWN, seq, std::string("error=unknown stat,stat=") + stat);
    return;
  }
  std::vector<const Connection *> open;
  for (const auto &entry : connections) {
    if (!entry.second->closing) open.push_back(entry.second);
  }
  if (index < 0 || static_cast<size_t>(index) >= open.size()) {
    answer(c, c->name, NK_REPLY_END, seq, "index=0");
    return;
  }
  const Connection *row = open[index];
  size_t next = static_cast<size_t>(index) + 1 < open.size() ? index + 1 : 0;
  answer(c, c->name, 0, seq,
         "index=" + std::to_string(next) + ",fd=" + std::to_string(row->fd) + ",name=" + row->name +
             ",user=" + row->user + ",uid=" + std::to_string(row->uid) +
             ",trusted=" + (row->trusted ? "yes" : "no") + ",lines=" + std::to_string(row->lines) +
             ",refused=" + std::to_string(row->refused));
}

// A whole number in the int range. Read as long long, which has 64 bits on
// 32-bit targets too: a long there would clamp an out-of-range number into
// the range instead of refusing it.
bool parseInt(const std::string &s, int *out) {
  if (s.empty() || s.size() > 11) return false;
  char *end = nullptr;
  long long v = strtoll(s.c_str(), &end, 10);
  if (*end || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// One line, without its line feed (a carriage return before it stays, and
// is forwarded as it came).
void route(Connection *c, const std::string &raw) {
  c->lines++;
  std::string line = raw;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::vector<std::string> f;
  size_t start = 0;
  for (int i = 0; i < 4; i++) {
    size_t comma = line.find(',', start);
    if (comma == std::string::npos) break;
    f.push_back(line.substr(start, comma - start));
    start = comma + 1;
  }
  int type = 0, seq = 0;
  bool ok = f.size() == 4 && !f[0].empty() && !f[1].empty() && f[0].size() < MSG_NAME_SIZE &&
            f[1].size() < MSG_NAME_SIZE && parseInt(f[2], &type) && parseInt(f[3], &seq) &&
            line.find('\0') == std::string::npos && line.find('\r') == std::string::npos;
  if (!ok) {
    drop(c, "sent a malformed line, disconnected");
    return;
  }
  const std::string &to = f[0], &from = f[1];
  if (to == MSG_SERVER_NAME) {
    if (type == MSG_REGISTER) {
      if (!c->trusted && reservedNames.count(from)) {
        c->refused++;
        if (dropLogAllowed()) {
          nksyslog(NKLOG_WARNING, LOGMASK_IPC,
                   "%s: fd %d (user %s) may not take the reserved name %s\n", "nkbus", c->fd,
                   c->user.c_str(), from.c_str());
        }
        answer(c, from, NK_REPLY_REFUSED, seq, "error=name reserved");
        return;
      }
      auto held = names.find(from);
      if ((held != names.end() && held->second != c) || (!c->name.empty() && c->name != from)) {
        nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: fd %d refused name %s\n", "nkbus", c->fd,
                 from.c_str());
        answer(c, from, NK_REPLY_REFUSED, seq, "error=name in use");
        return;
      }
      c->name = from;
      names[from] = c;
      nksyslog(NKLOG_NOTICE, LOGMASK_IPC, "%s: fd %d registered as %s\n", "nkbus", c->fd,
               from.c_str());
      answer(c, from, 0, seq, "");
    } else if (type == MSG_CLOSE) {
      if (c->name == from) {
        nksyslog(NKLOG_NOTICE, LOGMASK_IPC, "%s: %s signed off\n", "nkbus", from.c_str());
        names.erase(from);
        c->name.clear();
        c->signedOff = true;
        c->namelessSince = nowMs();
      }
    } else if (seq > 0 && !c->name.empty() && type == NK_TYPE_STAT) {
      answerStat(c, seq, line.substr(start));
    } else if (seq > 0 && !c->name.empty()) {
      answer(c, c->name, NK_REPLY_NO_SUCH_NAME, seq, "error=unknown request to base");
    }
    return;
  }
  if (c->name.empty()) {
    if (dropLogAllowed()) {
      nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: fd %d not registered, line to %s dropped\n",
               "nkbus", c->fd, to.c_str());
    }
    return;
  }
  // A process speaks only in its own name: a line whose sender is not the
  // name its connection registered would make its answer go to another
  // process. It is dropped; a request is answered with the refusal.
  if (from != c->name) {
    if (dropLogAllowed()) {
      nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: fd %d (%s) sent a line as %s, dropped\n", "nkbus",
               c->fd, c->name.c_str(), from.c_str());
    }
    if (seq > 0) {
      answer(c, c->name, NK_REPLY_NO_SUCH_NAME, seq,
             "error=sender is not the registered name,sender=" + from);
    }
    return;
  }
  // The one door of the policy: an untrusted connection only reads.
  if (!c->trusted && !readsOnly(type)) {
    refuse(c, to, type, seq);
    return;
  }
  auto target = names.find(to);
  if (target == names.end()) {
    if (seq > 0) {
      answer(c, from, NK_REPLY_NO_SUCH_NAME, seq, "error=no process named " + to);
    } else if (dropLogAllowed()) {
      nksyslog(NKLOG_WARNING, LOGMASK_IPC, "%s: no process named %s, line from %s dropped\n",
               "nkbus", to.c_str(), from.c_str());
    }
    return;
  }
  send(target->second, raw + "\n");
}

// Sends what waits for a writable connection; one whose send fails is cut off.
void flush(Connection *c) {
  if (!c->queued || !c->writable || c->closing) return;
  c->writable = false;
  int r = netWrite(c->fd, nullptr);
  if (r < 0) drop(c, "send failed, disconnected");
  c->queued = r == 0;
  if (!c->queued) c->queuedBytes = 0;
}

// Closes and forgets a connection.
void release(Connection *c) {
  if (!c->name.empty()) names.erase(c->name);
  connections.erase(c->fd);
  netClose(c->fd);
  delete c;
}

// Connections without a name cost a descriptor each and do nothing: ones
// that never register would fill the descriptor table and lock every new
// process out. Each gets registrationDeadline seconds to register (again,
// after a sign-off); and once kRoomAt connections are open, a new one closes
// the oldest that has no name, so that a registration always finds room
// (while many processes that start at once still all get in). One that has
// sent something not yet read is most likely registering: the oldest silent
// one goes first.
void closeNameless(int64_t now, bool makeRoom) {
  Connection *oldest = nullptr, *oldestSilent = nullptr;
  for (auto &entry : connections) {
    Connection *c = entry.second;
    if (c->closing || !c->name.empty()) continue;
    if (now - c->namelessSince >= registrationDeadline * 1000LL) {
      drop(c, "did not register in time, disconnected");
      continue;
    }
    if (!oldest || c->namelessSince < oldest->namelessSince) oldest = c;
    int pending = 0;
    // The kernel's count, not the readable flag: a peer that has closed is
    // readable too, with nothing to read.
    bool silent = ioctl(c->fd, FIONREAD, &pending) == 0 && pending == 0;
    if (silent && (!oldestSilent || c->namelessSince < oldestSilent->namelessSince)) {
      oldestSilent = c;
    }
  }
  if (oldestSilent) oldest = oldestSilent;
  if (makeRoom && connections.size() > kRoomAt && oldest) {
    drop(oldest, "closed to make room: too many connections");
    // At once, not at the end of the pass: during a burst of arrivals its
    // descriptor is what keeps the next one inside the table.
    release(oldest);
  }
}

// Receives what the kernel holds and routes every complete line. The server
// receives by itself, then re-arms the layer's read watch: lines that came
// with the peer's close are still routed, and a peer cannot make a line
// longer than the limit. A receive that does not fill the buffer has taken
// what there was; the watch is re-armed at once rather than after a receive
// that would block.
void readFrom(Connection *c) {
  c->readable = false;
  char buf[kReadChunk];
  while (!c->closing) {
    ssize_t n = recv(c->fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      netReadPoll(c->fd);
      return;
    }
    if (n <= 0) {
      if (n == 0) {
        drop(c, "closed the connection", NKLOG_NOTICE);
      } else {
        drop(c, "receive failed, disconnected");
      }
      return;
    }
    c->pending.append(buf, n);
    size_t start = 0, end;
    while (!c->closing && (end = c->pending.find('\n', start)) != std::string::npos) {
      size_t length = end - start;
      if (length > 0 && c->pending[end - 1] == '\r') length--;
      if (length > kMaxLine) {  // the limit holds for a line that came whole, too
        drop(c, "sent a line longer than 64 KiB, disconnected");
        break;
      }
      route(c, c->pending.substr(start, end - start));
      start = end + 1;
    }
    c->pending.erase(0, start);
    if (c->pending.size() > kMaxLine) {
      drop(c, "sent more than 64 KiB without a line end, disconnected");
    } else if (n < static_cast<ssize_t>(sizeof buf) && !c->closing) {
      // Anything that came since makes select report it readable at once.
      netReadPoll(c->fd);
      return;
    }
  }
}

// Listens on the bus's address (nkMsgBusAddress: a dotted one). The backlog
// is the system's largest: connections the kernel drops from a full backlog
// come back only after seconds, behind later ones.
int openListener(const char *address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(MSG_PORT);
  if (inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, SOMAXCONN) != 0) {
    nksyslog(NKLOG_ERR, LOGMASK_IPC, "%s: cannot listen on %s:%d: %s\n", "nkbus", address, MSG_PORT,
             strerror(errno));
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void onSignal(int) { stopRequested = 1; }

// nkbus -s: the running bus's connections as a table, asked for as any
// client asks ("stat=connections", one row a reply). Returns the exit status.
int listConnections() {
  char name[32];
  snprintf(name, sizeof name, "nkbus-s-%d", static_cast<int>(getpid()));
  MsgClient *client = nkMsgTryInit(name);
  if (!client) {
    printf("No bus answers on %s:%d\n", nkMsgBusAddress(), MSG_PORT);
    return 1;
  }
  nkMsgTimeoutSet(client, 10000000);
  int s = stringAlloc(0);
  std::vector<std::string> rows;
  int index = 0, status = 0;
  do {
    stringPrintf(s, "stat=" NK_STAT_CONNECTIONS ",index=%d", index);
    int type = nkMsgRequest(client, MSG_SERVER_NAME, nullptr, NK_TYPE_STAT, s);
    if (type == NK_REPLY_END) break;  // connections closed while we paged
    if (type != 0) {
      printf("The bus on %s:%d did not list its connections (%d)\n", nkMsgBusAddress(), MSG_PORT,
             type);
      status = 1;
      break;
    }
    const char *reply = static_cast<const char *>(memGetData(s));
    char fd[16], who[MSG_NAME_SIZE], user[64], uid[16], trusted[8], lines[16], refused[16];
    paramGetString(reply, "fd", fd, sizeof fd);
    paramGetString(reply, "name", who, sizeof who);
    paramGetString(reply, "user", user, sizeof user);
    paramGetString(reply, "uid", uid, sizeof uid);
    paramGetString(reply, "trusted", trusted, sizeof trusted);
    paramGetString(reply, "lines", lines, sizeof lines);
    paramGetString(reply, "refused", refused, sizeof refused);
    char row[512];
    snprintf(row, sizeof row, "%4s %-24.24s %-12.12s %10s %-7s %10s %10s\n", fd, who, user, uid,
             trusted, lines, refused);
    rows.push_back(row);
    paramGetNumber(reply, "index", &index);
  } while (index > 0 && rows.size() < NET_MAX_DESCRIPTORS);
  stringFree(s);
  nkMsgClose(client);
  if (status != 0) return status;
  printf("%4s %-24s %-12s %10s %-7s %10s %10s\n", "fd", "name", "user", "uid", "trusted", "lines",
         "refused");
  printf("==== ======================== ============ ========== ======= ========== ==========\n");
  for (const std::string &row : rows) fputs(row.c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int debug = 0, foreground = 0, list = 0;
  char *level = nullptr, *config = nullptr;
  const ArgOption options[] = {
      {&foreground, 'f', nullptr, nullptr, "stay in the foreground"},
      {&debug, 'd', nullptr, nullptr, "raise the log level by one (repeatable)"},
      {nullptr, 'l', nullptr, &level, "log level by name (ERR , WARN, NOTE, INFO, DBUG)"},
      {nullptr, 'r', &registrationDeadline, nullptr,
       "seconds a connection may stay unregistered (default 5)"},
      {nullptr, 'o', &outputLimit, nullptr,
       "KiB that may wait for a connection before it is cut off (default 1024)"},
      {nullptr, 'c', nullptr, &config,
       "read this configuration file (busTrustedUsers, busTrustedGroups, busReservedNames)"},
      {&list, 's', nullptr, nullptr, "list the running bus's connections and exit"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {"nkbus",
                        "[NK_BUS_ADDRESS=ADDRESS] nkbus [-f] [-d] [-l LEVEL] [-r SECONDS] [-o KIB]"
                        " [-c CONFIG] | -s"
                        "   (listens on ADDRESS:4242, else on 127.0.0.1:4242)"};
  argParse(&argc, argv, options, &info, 0);
  if (outputLimit < 1 || outputLimit > 2048) {
    printf("The output limit must be from 1 to 2048 KiB\n");
    return 1;
  }
  if (registrationDeadline < 1) {
    printf("The registration deadline must be at least 1 s\n");
    return 1;
  }
  if (level) nkloglevelset("nkbus", level);
  if (debug > 0) nkloglevelincrease(debug);

  if (list) nksetdefaultlog(stderr);  // the table alone on standard output
  memInit();
  if (list) return listConnections();
  if (config) configSetFile(config);
  configReadFile();
  readPolicy();
  netInit();
  const char *address = nkMsgBusAddress();
  int lfd = openListener(address);
  if (lfd < 0) return 1;
  if (!foreground && daemon(0, 1) != 0) return 1;

  struct sigaction sa = {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  if (netExternal(lfd) != 0) return 1;
  listener = lfd;
  netSetCallback(lfd, onEvent, nullptr);
  nksyslog(NKLOG_NOTICE, LOGMASK_IPC, "%s: listening on %s:%d\n", "nkbus", address, MSG_PORT);

  while (!stopRequested) {
    if (netPoll(1000000) < 0 && errno != EINTR) {
      nksyslog(NKLOG_ERR, LOGMASK_IPC, "%s: poll failed: %s\n", "nkbus", strerror(errno));
      break;
    }
    if (listenerReady) {
      listenerReady = false;
      int fd;
      while ((fd = netAccept(lfd)) > 0) {
        // Lines go out as soon as they are forwarded: without this, a line
        // written while the previous one to the same client is unacknowledged
        // waits for the client's delayed acknowledgement (tens of ms).
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection *c = new Connection(fd);
        c->namelessSince = nowMs();
        connections[fd] = c;
        netSetCallback(fd, onEvent, nullptr);
        identify(c);
        closeNameless(c->namelessSince, true);
      }
    }
    closeNameless(nowMs(), false);
    std::vector<Connection *> all;
    for (auto &entry : connections) all.push_back(entry.second);
    for (Connection *c : all) {
      if (c->readable && !c->closing) readFrom(c);
    }
    for (Connection *c : all) flush(c);
    for (Connection *c : all) {
      if (c->closing) release(c);
    }
  }
  nksyslog(NKLOG_NOTICE, LOGMASK_IPC, "%s: exiting\n", "nkbus");
  for (auto &entry : connections) {
    netClose(entry.first);
    delete entry.second;
  }
  netClose(lfd);
  return 0;
}
