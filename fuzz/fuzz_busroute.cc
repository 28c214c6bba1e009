// fuzz_busroute -- the bus server's reading and routing of lines.
//
// The bus client's own line parsing is internal to the library and is
// reached only over a connection to a server on the bus port, so it is not
// fuzzed here. The server's is: readFrom and route are file-local to
// tools/nkbus.cc, so this file compiles that file into itself, its main
// renamed, and drives them as the server's loop does, over socket pairs.
//
// Four connections are made per input (their server ends registered with
// the socket layer, as accepted ones are). The input is records, one per
// line: the first byte of a record picks the connection (its low 2 bits;
// '0' to '3' so name them), the rest is what that connection's peer sends,
// its line feed included. Bit 0x08 of the first byte ('8' to ';') sends the
// text without the line feed, so that a line can arrive in pieces; bit 0x40
// ('p' to 's') closes the peer's sending side after the text. After each
// record the server reads that connection (unless it has been cut off). The
// loop's write pass runs before the first record and after the last (until
// nothing waits), so that the lines for a connection pile up in its queue
// in between, as under load. Checked throughout: the name table and the
// connections agree (every name held by a live connection under that name),
// and every line that reaches a peer is well formed: two non-empty names
// shorter than MSG_NAME_SIZE, a type and a seq that are whole numbers, data
// without NUL, and a line end of "\n" or "\r\n".
#define main nkbusMain
int main(int argc, char **argv);
#include "nkbus.cc"
#undef main

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_common.h"

namespace {

constexpr int kConnections = 4;

struct Peer {
  Connection *c = nullptr;
  int fd = -1;       // the peer's end
  std::string seen;  // what it has received, up to the last whole line
};

bool isNumber(const std::string &s) {
  if (s.empty() || s.size() > 11) return false;
  char *end = nullptr;
  errno = 0;
  long v = strtol(s.c_str(), &end, 10);
  return *end == '\0' && errno == 0 && v >= -2147483647L - 1 && v <= 2147483647L;
}

// Checks one line as a peer received it, its line feed stripped.
void checkLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  FUZZ_CHECK(line.find('\0') == std::string::npos && line.find('\r') == std::string::npos);
  std::string fields[4];
  size_t start = 0;
  for (std::string &f : fields) {
    size_t comma = line.find(',', start);
    FUZZ_CHECK(comma != std::string::npos);
    f = line.substr(start, comma - start);
    start = comma + 1;
  }
  FUZZ_CHECK(!fields[0].empty() && fields[0].size() < MSG_NAME_SIZE);
  FUZZ_CHECK(!fields[1].empty() && fields[1].size() < MSG_NAME_SIZE);
  FUZZ_CHECK(isNumber(fields[2]) && isNumber(fields[3]));
}

// Takes what has reached a peer and checks its whole lines.
void drain(Peer *p) {
  char buf[4096];
  ssize_t n;
  while ((n = read(p->fd, buf, sizeof buf)) > 0) p->seen.append(buf, n);
  size_t end;
  while ((end = p->seen.find('\n')) != std::string::npos) {
    checkLine(p->seen.substr(0, end));
    p->seen.erase(0, end + 1);
  }
}

void checkTables() {
  for (auto &entry : names) {
    FUZZ_CHECK(entry.second->name == entry.first && !entry.second->closing);
    auto it = connections.find(entry.second->fd);
    FUZZ_CHECK(it != connections.end() && it->second == entry.second);
  }
  for (auto &entry : connections) {
    Connection *c = entry.second;
    if (c->name.empty()) continue;
    auto it = names.find(c->name);
    FUZZ_CHECK(it != names.end() && it->second == c);
  }
}

// The write pass of the server's loop: what waits goes out to every
// connection the poller finds writable. Returns whether anything still waits.
bool writePass(Peer *peers) {
  netPoll(0);
  bool waiting = false;
  for (int i = 0; i < kConnections; i++) {
    Connection *c = peers[i].c;
    if (c->queued && c->writable && !c->closing) {
      c->writable = false;
      int r = netWrite(c->fd, nullptr);
      if (r < 0) drop(c, "send failed, disconnected");
      c->queued = r == 0;
      if (!c->queued) c->queuedBytes = 0;
    }
    waiting = waiting || (c->queued && !c->closing);
    drain(&peers[i]);
  }
  return waiting;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  netInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  nkfuzz::HandleBalance balance;
  Peer peers[kConnections];
  for (Peer &p : peers) {
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0);
    FUZZ_CHECK(netExternal(sv[0]) == 0);
    p.c = new Connection(sv[0]);
    p.c->namelessSince = nowMs();
    p.fd = sv[1];
    connections[sv[0]] = p.c;
    netSetCallback(sv[0], onEvent, nullptr);
  }
  writePass(peers);

  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  while (p < end) {
    const char *lf = static_cast<const char *>(memchr(p, '\n', end - p));
    const char *next = lf ? lf + 1 : end;
    uint8_t selector = static_cast<uint8_t>(*p);
    Peer &peer = peers[selector & 3];
    // An empty record ("\n" alone) has its line feed for a selector.
    const char *body = p + 1;
    const char *stop = (selector & 0x08) && lf ? lf : next;
    std::string text(body, stop > body ? stop : body);
    p = next;
    if (peer.c->closing) continue;  // the loop has released it
    // A short write (a socket buffer full of a huge input) only cuts the text.
    if (!text.empty() && write(peer.fd, text.data(), text.size()) < 0) continue;
    if (selector & 0x40) shutdown(peer.fd, SHUT_WR);
    peer.c->readable = true;
    readFrom(peer.c);
    checkTables();
  }
  for (int pass = 0; pass < 8 && writePass(peers); pass++) {
  }

  for (Peer &peer : peers) {
    release(peer.c);
    close(peer.fd);
  }
  FUZZ_CHECK(names.empty() && connections.empty());
  return 0;
}
