// fuzz_busroute -- the bus server's readFrom and route (tools/nkbus.cc
// compiled in here, main renamed), driven as its loop does over four socket
// pairs. Input: records, one per line; the first byte's low 2 bits pick the
// connection ('0'-'3'; 0 and 1 are of trusted users, 2 and 3 not, so that
// both sides of the policy run), the rest is sent; bit 0x08 ('8'-';') leaves the line
// feed off, bit 0x40 ('p'-'s') then closes the peer's sending side. Checked:
// names and connections agree, every line a peer receives is well formed.
#define main nkbusMain
#include "nkbus.cc"
#undef main

#include <sys/socket.h>

#include "fuzz_common.h"

static Connection *conn[4];  // the server's ends
static int peer[4];          // the peers' ends
static std::string seen[4];  // what a peer has received since its last whole line

static bool isNumber(const std::string &s) {
  char *end = nullptr;
  long long v = strtoll(s.c_str(), &end, 10);
  return !s.empty() && s.size() <= 11 && *end == '\0' && v >= INT32_MIN && v <= INT32_MAX;
}

// The loop's write pass, the lines each peer receives checked; returns
// whether anything still waits.
static bool writePass() {
  netPoll(0);
  bool waiting = false;
  for (int i = 0; i < 4; i++) {
    flush(conn[i]);
    waiting = waiting || (conn[i]->queued && !conn[i]->closing);
    char buf[4096];
    for (ssize_t n; (n = read(peer[i], buf, sizeof buf)) > 0;) seen[i].append(buf, n);
    for (size_t end; (end = seen[i].find('\n')) != std::string::npos; seen[i].erase(0, end + 1)) {
      std::string line = seen[i].substr(0, end - (end > 0 && seen[i][end - 1] == '\r')), f[4];
      std::istringstream fields(line);
      for (std::string &field : f) FUZZ_CHECK(std::getline(fields, field, ',') && !fields.eof());
      FUZZ_CHECK(line.find('\0') == std::string::npos && line.find('\r') == std::string::npos);
      FUZZ_CHECK(!f[0].empty() && f[0].size() < MSG_NAME_SIZE && !f[1].empty() &&
                 f[1].size() < MSG_NAME_SIZE && isNumber(f[2]) && isNumber(f[3]));
    }
  }
  return waiting;
}

FUZZ_TARGET(netInit()) {
  for (int i = 0, sv[2]; i < 4; i++) {
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0 &&
               netExternal(sv[0]) == 0);
    conn[i] = connections[sv[0]] = new Connection(sv[0]);
    conn[i]->trusted = i < 2;
    peer[i] = sv[1];
    seen[i].clear();
    netSetCallback(sv[0], onEvent, nullptr);
  }
  writePass();
  while (in.p < in.end) {
    uint8_t selector = in.byte(), i = selector & 3;
    std::string text = selector == '\n' ? "" : in.text('\n');  // "\n" alone: an empty record
    if (!(selector & 0x08) && in.p[-1] == '\n') text += '\n';
    if (conn[i]->closing) continue;  // the loop has released it
    // A short write (a socket buffer full of a huge input) only cuts the text.
    if (!text.empty() && write(peer[i], text.data(), text.size()) < 0) continue;
    if (selector & 0x40) shutdown(peer[i], SHUT_WR);
    conn[i]->readable = true;
    readFrom(conn[i]);
    // Names are held by exactly the open connections registered under them.
    std::map<std::string, Connection *> named;
    for (auto &[fd, c] : connections)
      FUZZ_CHECK(c->name.empty() || (!c->closing && named.emplace(c->name, c).second));
    FUZZ_CHECK(named == names);
  }
  for (int pass = 0; pass < 8 && writePass();) pass++;
  for (int i = 0; i < 4; i++) {
    release(conn[i]);
    close(peer[i]);
  }
  FUZZ_CHECK(names.empty() && connections.empty());
}
