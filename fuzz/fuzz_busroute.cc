// fuzz_busroute -- the bus server's readFrom and route, file-local to
// tools/nkbus.cc, compiled in here (main renamed) and driven as the server's
// loop does over four socket pairs. Input: records, one per line; the first
// byte's low 2 bits pick the connection ('0'-'3'), the rest is what its peer
// sends; bit 0x08 ('8'-';') leaves the line feed off, so a line arrives in
// pieces; bit 0x40 ('p'-'s') then closes the peer's sending side. Write
// passes come before the first record and after the last. Checked: names and
// connections agree, and every line a peer receives is well formed.
#define main nkbusMain
#include "nkbus.cc"
#undef main

#include <sys/socket.h>

#include "fuzz_common.h"

struct Peer {
  Connection *c;
  int fd;            // the peer's end
  std::string seen;  // what it has received, up to the last whole line
};

static bool isNumber(const std::string &s) {
  char *end = nullptr;
  long long v = strtoll(s.c_str(), &end, 10);
  return !s.empty() && s.size() <= 11 && *end == '\0' && v >= INT32_MIN && v <= INT32_MAX;
}

// The loop's write pass, each peer's whole lines checked; returns whether
// anything still waits.
static bool writePass(Peer (&peers)[4]) {
  netPoll(0);
  bool waiting = false;
  for (Peer &p : peers) {
    flush(p.c);
    waiting = waiting || (p.c->queued && !p.c->closing);
    char buf[4096];
    for (ssize_t n; (n = read(p.fd, buf, sizeof buf)) > 0;) p.seen.append(buf, n);
    for (size_t end; (end = p.seen.find('\n')) != std::string::npos; p.seen.erase(0, end + 1)) {
      std::string line = p.seen.substr(0, end - (end > 0 && p.seen[end - 1] == '\r'));
      std::vector<std::string> f;
      for (size_t from = 0, comma;
           f.size() < 4 && (comma = line.find(',', from)) != std::string::npos; from = comma + 1)
        f.push_back(line.substr(from, comma - from));
      FUZZ_CHECK(line.find('\0') == std::string::npos && line.find('\r') == std::string::npos);
      FUZZ_CHECK(f.size() == 4 && !f[0].empty() && f[0].size() < MSG_NAME_SIZE && !f[1].empty() &&
                 f[1].size() < MSG_NAME_SIZE && isNumber(f[2]) && isNumber(f[3]));
    }
  }
  return waiting;
}

// Names are held by exactly the open connections registered under them.
static void checkTables() {
  std::map<std::string, Connection *> named;
  for (auto &entry : connections) {
    Connection *c = entry.second;
    FUZZ_CHECK(c->name.empty() || (!c->closing && named.emplace(c->name, c).second));
  }
  FUZZ_CHECK(named == names);
}

FUZZ_TARGET(netInit()) {
  Peer peers[4];
  for (Peer &p : peers) {
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0 &&
               netExternal(sv[0]) == 0);
    p.c = connections[sv[0]] = new Connection(sv[0]);
    p.fd = sv[1];
    netSetCallback(sv[0], onEvent, nullptr);
  }
  writePass(peers);
  for (const char *p = reinterpret_cast<const char *>(in.p), *end = p + (in.end - in.p), *next;
       p < end; p = next) {
    const char *lf = static_cast<const char *>(memchr(p, '\n', end - p));
    next = lf ? lf + 1 : end;
    uint8_t selector = static_cast<uint8_t>(*p);
    Peer &peer = peers[selector & 3];
    // An empty record ("\n" alone) has its line feed for a selector.
    const char *stop = (selector & 0x08) && lf ? lf : next;
    std::string text(p + 1, std::max(stop, p + 1));
    if (peer.c->closing) continue;  // the loop has released it
    // A short write (a socket buffer full of a huge input) only cuts the text.
    if (!text.empty() && write(peer.fd, text.data(), text.size()) < 0) continue;
    if (selector & 0x40) shutdown(peer.fd, SHUT_WR);
    peer.c->readable = true;
    readFrom(peer.c);
    checkTables();
  }
  for (int pass = 0; pass < 8 && writePass(peers);) pass++;
  for (Peer &peer : peers) {
    release(peer.c);
    close(peer.fd);
  }
  FUZZ_CHECK(names.empty() && connections.empty());
}
