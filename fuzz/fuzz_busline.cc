// fuzz_busline -- the bus client's reading of lines and its set-aside queue.
// msgFetch is file-local to lib/nkmsg.cc: this file compiles that file into
// itself (the target links the library without it) and gives a client one
// end of a socket pair, the poller run here instead of the client's thread.
// Input: a byte whose bit 0 closes the peer after its bytes, the fetches up
// to the first NUL (each byte wants seq (byte % 8) - 1, -1 being any), then
// the bytes the peer sends. Model: the lines the format parses (a line is
// cut at its NUL, a leading '*' or fewer than four fields skip it); a fetch
// takes the newest set-aside line it wants, else reads on, setting aside
// what it does not want; with nothing left it times out, or reports the
// connection lost. Every line is delivered once, as parsed, and nothing stays.
#include "../lib/nkmsg.cc"

#include <sys/socket.h>

#include "fuzz_common.h"

namespace {

struct Line {
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int type, seq;
  std::string text;
};

bool parse(std::string raw, Line *l) {
  raw = raw.c_str();
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();
  std::vector<char> text(raw.size() + 1, '\0');
  int fields = sscanf(raw.c_str(), "%259[^,],%259[^,],%d,%d,%[^\r]", l->to, l->from, &l->type,
                      &l->seq, text.data());
  l->text = text.data();
  return raw[0] != '*' && fields >= 4;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  netInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  std::vector<std::string> in = nkfuzz::split(data + 1, size - 1, 2);
  in.resize(2);
  std::vector<Line> stream, queue;  // the model's
  for (size_t pos = 0, lf; (lf = in[1].find('\n', pos)) != std::string::npos; pos = lf + 1) {
    Line l;
    if (parse(in[1].substr(pos, lf - pos), &l)) stream.push_back(l);
  }

  nkfuzz::HandleBalance balance;
  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0 &&
             netExternal(sv[0]) == 0);
  MsgClient *c = static_cast<MsgClient *>(memAllocPtr(sizeof(MsgClient)));
  memset(c, 0, sizeof *c);
  pthread_mutex_init(&c->lock, nullptr);
  pthread_cond_init(&c->cond, nullptr);
  listInit(&c->queue);
  c->fd = sv[0], c->rxBuffer = memAlloc(0), c->mayFail = true, c->lastSeq = -1, c->timeout = -1;
  netSetCallback(c->fd, eventCallback, c);
  FUZZ_CHECK(write(sv[1], in[1].data(), in[1].size()) == static_cast<ssize_t>(in[1].size()));
  if (data[0] & 1) shutdown(sv[1], SHUT_WR);
  netPoll(0);

  std::string wants = in[0] + std::string(stream.size() + 1, '\0');  // then any, until none is left
  size_t next = 0;
  int text = stringAlloc(0);
  for (char w : wants) {
    int wanted = static_cast<uint8_t>(w) % 8 - 1, seq = wanted, type = -1;
    char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
    int r = msgFetch(c, to, from, &type, &seq, text, 0);
    Line want;
    bool found = false;
    for (size_t i = queue.size(); i-- > 0 && !found;) {
      if (wanted == -1 || queue[i].seq == wanted) {
        want = queue[i], found = true;
        queue.erase(queue.begin() + i);
      }
    }
    for (; !found && next < stream.size(); next++) {
      if (wanted == -1 || stream[next].seq == wanted) {
        want = stream[next++], found = true;
        break;
      }
      queue.push_back(stream[next]);
    }
    if (!found) {
      FUZZ_CHECK(r == (data[0] & 1 ? MSG_DISCONNECTED : MSG_TIMEOUT));
      continue;
    }
    FUZZ_CHECK(r == MSG_OK && type == want.type && seq == want.seq);
    FUZZ_CHECK(!strcmp(to, want.to) && !strcmp(from, want.from));
    FUZZ_CHECK(want.text == static_cast<char *>(memGetData(text)));
  }
  FUZZ_CHECK(queue.empty() && listCount(&c->queue) == 0 && c->setAsideBytes == 0);
  stringFree(text);
  netClose(c->fd);
  close(sv[1]);
  freeQueue(c);
  memFree(c->rxBuffer);
  pthread_mutex_destroy(&c->lock);
  pthread_cond_destroy(&c->cond);
  memFreePtr(c);
  return 0;
}
