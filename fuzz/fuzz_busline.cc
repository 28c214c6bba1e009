// fuzz_busline -- the bus client's msgFetch (lib/nkmsg.cc compiled in here,
// the target links the library without it) on one end of a socket pair.
// Input: a byte whose bit 0 closes the peer after its bytes, the fetches up
// to a NUL (byte b wants seq b % 8 - 1; -1: any), what the peer sends. Model:
// lines cut at a NUL, skipped with a leading '*' or under four fields; a
// fetch takes the newest set-aside line it wants, else reads on, setting
// aside the others; with none left it times out or reports the loss.
#include "../lib/nkmsg.cc"

#include <sys/socket.h>

#include "fuzz_common.h"

struct Line {
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int type, seq;
  std::string text;
};

static bool parse(std::string raw, Line *l) {
  raw = raw.c_str();
  std::vector<char> text(raw.size() + 1, '\0');
  int fields = sscanf(raw.c_str(), "%259[^,],%259[^,],%d,%d,%[^\r]", l->to, l->from, &l->type,
                      &l->seq, text.data());
  l->text = text.data();
  return raw[0] != '*' && fields >= 4;
}

FUZZ_TARGET(netInit()) {
  bool closes = in.byte() & 1;
  std::string wants = in.text(), sent = in.bytes(65536);
  std::vector<Line> stream, queue;  // the model's
  for (size_t pos = 0, lf; (lf = sent.find('\n', pos)) != std::string::npos; pos = lf + 1) {
    Line l;
    if (parse(sent.substr(pos, lf - pos), &l)) stream.push_back(l);
  }

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0 &&
             netExternal(sv[0]) == 0);
  MsgClient *c = static_cast<MsgClient *>(memAllocPtr(sizeof(MsgClient)));
  memset(c, 0, sizeof *c);
  pthread_mutex_init(&c->lock, nullptr);
  pthread_cond_init(&c->cond, nullptr);
  listInit(&c->queue);
  c->fd = sv[0], c->rxBuffer = memAlloc(0), c->mayFail = true, c->lastSeq = -1, c->timeout = -1;
  openClients++;  // as openClient does, for releaseClient
  netSetCallback(c->fd, eventCallback, c);
  FUZZ_CHECK(write(sv[1], sent.data(), sent.size()) == static_cast<ssize_t>(sent.size()));
  if (closes) shutdown(sv[1], SHUT_WR);
  netPoll(0);

  size_t next = 0;
  int text = stringAlloc(0);
  for (char w : wants + std::string(stream.size() + 1, '\0')) {  // then any, until none is left
    int wanted = static_cast<uint8_t>(w) % 8 - 1, seq = wanted, type = -1;
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int r = msgFetch(c, to, from, &type, &seq, text, 0);
    auto match = [&](const Line &l) { return wanted == -1 || l.seq == wanted; };
    size_t i = queue.size();  // one past the line the model takes
    while (i > 0 && !match(queue[i - 1])) i--;
    while (i == 0 && next < stream.size()) {
      queue.push_back(stream[next++]);
      if (match(queue.back())) i = queue.size();
    }
    FUZZ_CHECK(i > 0 || r == (closes ? MSG_DISCONNECTED : MSG_TIMEOUT));
    if (i == 0) continue;
    Line want = queue[i - 1];
    queue.erase(queue.begin() + i - 1);
    FUZZ_CHECK(r == MSG_OK && type == want.type && seq == want.seq && !strcmp(to, want.to) &&
               !strcmp(from, want.from) && want.text == static_cast<char *>(memGetData(text)));
  }
  FUZZ_CHECK(queue.empty() && listCount(&c->queue) == 0 && c->setAsideBytes == 0);
  stringFree(text);
  releaseClient(c);
  close(sv[1]);
}
