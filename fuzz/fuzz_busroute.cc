// fuzz_busroute -- the bus server's reading and routing of lines. readFrom
// and route are file-local to tools/nkbus.cc: this file compiles that file
// into itself, its main renamed, and drives them as the server's loop does,
// over four socket pairs whose server ends are registered as accepted ones.
// The input is records, one per line: the first byte's low 2 bits pick the
// connection ('0' to '3'), the rest is what its peer sends, line feed
// included; bit 0x08 ('8' to ';') sends it without the line feed, so that a
// line arrives in pieces; bit 0x40 ('p' to 's') then closes the peer's
// sending side. The write pass runs before the first record and after the
// last, so that lines pile up in the queues in between. Checked: the name
// table and the connections agree, and every line a peer receives is well
// formed (two non-empty names shorter than MSG_NAME_SIZE, a type and a seq
// that are whole numbers, no NUL, a line end of "\n" or "\r\n").
#define main nkbusMain
int main(int argc, char **argv);
#include "nkbus.cc"
#undef main

#include <sys/socket.h>

#include "fuzz_common.h"

namespace {

struct Peer {
  Connection *c = nullptr;
  int fd = -1;       // the peer's end
  std::string seen;  // what it has received, up to the last whole line
};

bool isNumber(const std::string &s) {
  char *end = nullptr;
  long long v = strtoll(s.c_str(), &end, 10);
  return !s.empty() && s.size() <= 11 && *end == '\0' && v >= INT32_MIN && v <= INT32_MAX;
}

// What has reached a peer, its whole lines checked.
void drain(Peer *p) {
  char buf[4096];
  for (ssize_t n; (n = read(p->fd, buf, sizeof buf)) > 0;) p->seen.append(buf, n);
  for (size_t end; (end = p->seen.find('\n')) != std::string::npos; p->seen.erase(0, end + 1)) {
    std::string line = p->seen.substr(0, end), fields[4];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    FUZZ_CHECK(line.find('\0') == std::string::npos && line.find('\r') == std::string::npos);
    size_t from = 0;
    for (std::string &f : fields) {
      size_t comma = line.find(',', from);
      FUZZ_CHECK(comma != std::string::npos);
      f = line.substr(from, comma - from);
      from = comma + 1;
    }
    FUZZ_CHECK(!fields[0].empty() && fields[0].size() < MSG_NAME_SIZE);
    FUZZ_CHECK(!fields[1].empty() && fields[1].size() < MSG_NAME_SIZE);
    FUZZ_CHECK(isNumber(fields[2]) && isNumber(fields[3]));
  }
}

void checkTables() {
  for (auto &entry : names) {
    auto it = connections.find(entry.second->fd);
    FUZZ_CHECK(entry.second->name == entry.first && !entry.second->closing);
    FUZZ_CHECK(it != connections.end() && it->second == entry.second);
  }
  for (auto &entry : connections) {
    auto it = names.find(entry.second->name);
    FUZZ_CHECK(entry.second->name.empty() || (it != names.end() && it->second == entry.second));
  }
}

// The loop's write pass; returns whether anything still waits.
bool writePass(Peer *peers) {
  netPoll(0);
  bool waiting = false;
  for (int i = 0; i < 4; i++) {
    Connection *c = peers[i].c;
    flush(c);
    waiting = waiting || (c->queued && !c->closing);
    drain(&peers[i]);
  }
  return waiting;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  netInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  nkfuzz::HandleBalance balance;
  Peer peers[4];
  for (Peer &p : peers) {
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0 &&
               netExternal(sv[0]) == 0);
    p.c = new Connection(sv[0]);
    p.c->namelessSince = nowMs();
    p.fd = sv[1];
    connections[sv[0]] = p.c;
    netSetCallback(sv[0], onEvent, nullptr);
  }
  writePass(peers);
  for (const char *p = reinterpret_cast<const char *>(data), *end = p + size, *next; p < end;
       p = next) {
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
  for (int pass = 0; pass < 8 && writePass(peers); pass++) {
  }
  for (Peer &peer : peers) {
    release(peer.c);
    close(peer.fd);
  }
  FUZZ_CHECK(names.empty() && connections.empty());
  return 0;
}
