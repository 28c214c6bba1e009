// nkrun -- a stand-in for the framework's runtime process: it registers on
// the message bus and answers the operator shell's requests, so that nksh can
// be run and tested end to end on one machine.
//
// Messages served (each reply goes back through the bus to the sender):
//   202 "stat=memhandles|memblocks|mem,index=%d"  the allocator's own replies
//   202 "stat=stats,index=%d"       run-time statistics of nkrun's profiles
//                                   ("bus", "signal", "sleep", "lua")
//   202 "stat=listpools,index=%d"   "index=%d,list=%s,elements=%s", one list
//                                   per reply, index 0 after the last
//   202 "stat=timers|events|rules,index=%d"  "index=0": nothing to list yet
//   209 "index=%d" (ps)             type 5 and "index=0": no contexts yet, and
//                                   ps ends its listing only on a non-zero type
//   210 a line of Lua               type 0 and the output (see below)
//   212 "tag=value" (set)           one-way: stored in memory, text as given
//   213 "tag" (get)                 one-way: answered with one message, type 0
//                                   and "tag=value", or type 4 and
//                                   "error=unknown tag,tag=%s"
//   201 "event=NAME" (post)         one-way: logged; answered (type 0,
//                                   "event=NAME") only for the events named
//                                   with -e, because the post does not say
//                                   whether its sender waits for an answer
// A stat it does not know gets type 4 and "error=unknown stat,stat=%s"; any
// other type from 100 up gets type 4 and "error=unknown request,type=%d".
// The bus client does not tell a request from a one-way message, so such a
// message is always answered: a stray answer is better than a requester left
// waiting for ever. Types below 100 are results and lines from the bus server
// ("base") are never answered, so that two processes cannot answer each other
// without end.
//
// Lua lines run in one Lua 5.2 state that lives as long as the process. An
// expression's values are given back as if the line were "return " and the
// line. The reply is what print wrote, then the values (tab-separated, as
// print writes them), then "error: " and the message if the line failed to
// compile or run; every line end becomes "; " (a reply is one line), the
// last ones are dropped, and a reply longer than 16384 bytes is cut and ends
// in "...".
//
// One thread runs everything: it sleeps in runtimeSleep until the bus client
// wakes the "bus" callback, which takes every message until none is left
// (the socket layer watches for more only after a receive found nothing).
// SIGINT and SIGTERM are taken by a thread of their own, which wakes the
// "signal" callback; nkrun then signs off and exits with 0. A bus that goes
// away ends it with 1.
//
//   nkrun [-f] [-d] [-n NAME] [-e EVENT ...]
#define NK_MODULE "nkrun"
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "argparse.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "requests.h"
#include "runtime.h"

namespace {

constexpr char kName[] = "nkrun";
constexpr int kFirstRequestType = 100;  // lower types are results: never answered
constexpr int kReplyOk = 0;
constexpr int kReplyUnknown = 4;     // the request, stat, list or tag is unknown here
constexpr int kReplyEnd = 5;         // nothing (more) to list
constexpr int kIdleSleep = 1000000;  // us; no timers bound the sleep yet
constexpr int kMaxReply = 16384;     // bytes of a Lua reply before it is cut
constexpr int kStatSize = 64;
constexpr int kEventSize = 256;

// State of the main loop's thread.
const char *ownName = kName;
MsgClient *client;
int request;     // string: the message being handled
int reply;       // string: the answer being built
int luaOutput;   // string: what the current Lua line printed
bool outputCut;  // luaOutput reached kMaxReply and dropped bytes
lua_State *luaState;
std::map<std::string, std::string> tags;  // the RTDB
std::vector<std::string> replyEvents;     // posts of these are answered
RuntimeProfile *busProfile;
RuntimeProfile *signalProfile;
bool stopping;
bool busLost;

sigset_t stopSignals;
std::atomic<int> caughtSignal{0};

const char *text(int handle) { return static_cast<const char *>(memGetData(handle)); }

// The reply to the message just taken (same seq).
void answer(const char *to, int type) { nkMsgReply(client, to, nullptr, type, reply); }

// A one-way message to the sender of a one-way message.
void tell(const char *to, int type) { nkMsgSend(client, to, nullptr, type, reply); }

// {==== Lua lines

// Appends n bytes to luaOutput, keeping at most kMaxReply of them. Runs inside
// Lua calls: no C++ objects.
void appendOutput(const char *s, size_t n) {
  int have = stringLen(luaOutput);
  size_t room = have < kMaxReply ? static_cast<size_t>(kMaxReply - have) : 0;
  if (n > room) {
    n = room;
    outputCut = true;
  }
  memResize(luaOutput, 1, have + static_cast<int>(n) + 1);
  char *out = static_cast<char *>(memGetData(luaOutput));
  memcpy(out + have, s, n);
  out[have + n] = '\0';
}

// Appends the values at stack positions first .. last, tab-separated, and a
// line end, as print writes them.
void appendValues(lua_State *L, int first, int last) {
  for (int i = first; i <= last; i++) {
    size_t n = 0;
    const char *s = luaL_tolstring(L, i, &n);  // may raise (__tostring)
    if (i > first) appendOutput("\t", 1);
    appendOutput(s, n);
    lua_pop(L, 1);
  }
  appendOutput("\n", 1);
}

// print, writing into luaOutput instead of standard output.
int capturePrint(lua_State *L) {
  appendValues(L, 1, lua_gettop(L));
  return 0;
}

// Runs the line at stack position 1, as "return <line>" when that compiles
// (so that an expression gives its values), and appends the values. Errors
// propagate to the caller's lua_pcall.
int runLine(lua_State *L) {
  size_t len = 0;
  const char *line = lua_tolstring(L, 1, &len);
  const char *withReturn = lua_pushfstring(L, "return %s", line);
  if (luaL_loadbuffer(L, withReturn, strlen(withReturn), "=lua") != LUA_OK) {
    lua_pop(L, 1);
    if (luaL_loadbuffer(L, line, len, "=lua") != LUA_OK) return lua_error(L);
  }
  int chunk = lua_gettop(L);
  lua_call(L, 0, LUA_MULTRET);
  if (lua_gettop(L) >= chunk) appendValues(L, chunk, lua_gettop(L));
  return 0;
}

// Writes the text into out with every line end (CR LF, CR or LF) as "; " and
// the trailing ones dropped; cuts it at kMaxReply bytes and marks a cut text
// with "...".
void flattenInto(const char *s, int out, bool cut) {
  size_t len = strlen(s);
  while (len > 0 && (s[len - 1] == '\n' || s[len - 1] == '\r')) len--;
  memResize(out, 0, static_cast<int>(2 * len + 4));
  char *o = static_cast<char *>(memGetData(out));
  size_t k = 0;
  for (size_t i = 0; i < len; i++) {
    if (s[i] == '\r' || s[i] == '\n') {
      if (s[i] == '\r' && i + 1 < len && s[i + 1] == '\n') i++;
      o[k++] = ';';
      o[k++] = ' ';
    } else {
      o[k++] = s[i];
    }
  }
  if (k > static_cast<size_t>(kMaxReply)) {
    k = kMaxReply;
    cut = true;
  }
  if (cut) {
    memcpy(o + k, "...", 3);
    k += 3;
  }
  o[k] = '\0';
}

void luaOpen() {
  luaState = luaL_newstate();
  if (!luaState) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot create the Lua state\n", kName);
    exit(1);
  }
  luaL_openlibs(luaState);
  lua_register(luaState, "print", capturePrint);
}

void runLua(const char *from, const char *line) {
  runtimeTiming("lua");
  lua_State *L = luaState;
  stringCopy(luaOutput, "");
  outputCut = false;
  lua_settop(L, 0);
  lua_pushcfunction(L, runLine);
  lua_pushstring(L, line);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
    char what[64];
    const char *message = lua_tostring(L, -1);
    if (!message) {
      snprintf(what, sizeof what, "(error object is a %s value)", luaL_typename(L, -1));
      message = what;
    }
    appendOutput("error: ", 7);
    appendOutput(message, strlen(message));
  }
  lua_settop(L, 0);
  flattenInto(text(luaOutput), reply, outputCut);
  nksyslog(NKLOG_INFO, LOGMASK_GENERAL, "%s: lua from %s: %s\n", kName, from, text(reply));
  answer(from, kReplyOk);
  runtimeSwitch(busProfile);
}

// }====

// "index=%d,list=%s,elements=%s" for nkrun's own lists; the index names the
// next list, 0 after the last.
int listPool(int index) {
  struct Pool {
    const char *name;
    size_t elements;
  };
  const Pool pools[] = {{"rtdb-tags", tags.size()}, {"reply-events", replyEvents.size()}};
  const int count = static_cast<int>(sizeof pools / sizeof pools[0]);
  if (index < 0 || index >= count) {
    stringPrintf(reply, "index=0,error=no such list");
    return kReplyUnknown;
  }
  stringPrintf(reply, "index=%d,list=%s,elements=%zu", index + 1 < count ? index + 1 : 0,
               pools[index].name, pools[index].elements);
  return kReplyOk;
}

void answerStat(const char *from, const char *data) {
  char stat[kStatSize];
  int index = 0;
  paramGetString(data, "stat", stat, sizeof stat);
  paramGetNumber(data, "index", &index);
  int type = kReplyOk;
  if (strcmp(stat, "memhandles") == 0) {
    memStatsHandleQuery(index, reply);
  } else if (strcmp(stat, "memblocks") == 0) {
    memStatsBlockQuery(index, reply);
  } else if (strcmp(stat, "mem") == 0) {
    memStatsQuery(index, reply);
  } else if (strcmp(stat, "stats") == 0) {
    runtimeStatsQuery(index, reply);
  } else if (strcmp(stat, "listpools") == 0) {
    type = listPool(index);
  } else if (strcmp(stat, "timers") == 0 || strcmp(stat, "events") == 0 ||
             strcmp(stat, "rules") == 0) {
    stringCopy(reply, "index=0");
  } else {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: unknown stat '%s' from %s\n", kName, stat, from);
    stringPrintf(reply, "error=unknown stat,stat=%s", stat);
    type = kReplyUnknown;
  }
  answer(from, type);
}

void setTag(const char *from, const char *data) {
  const char *eq = strchr(data, '=');
  if (!eq || eq == data) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: set from %s is not tag=value, dropped: '%s'\n",
             kName, from, data);
    return;
  }
  tags[std::string(data, eq - data)] = eq + 1;
  nksyslog(NKLOG_INFO, LOGMASK_GENERAL, "%s: %s set %s\n", kName, from, data);
}

void getTag(const char *from, const char *tag) {
  auto it = tags.find(tag);
  if (it == tags.end()) {
    stringPrintf(reply, "error=unknown tag,tag=%s", tag);
    tell(from, kReplyUnknown);
    return;
  }
  stringPrintf(reply, "%s=%s", tag, it->second.c_str());
  tell(from, kReplyOk);
}

void post(const char *from, const char *data) {
  char event[kEventSize];
  if (paramGetString(data, "event", event, sizeof event) != 0 || !event[0]) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: post from %s names no event, dropped: '%s'\n",
             kName, from, data);
    return;
  }
  bool replying = false;
  for (const std::string &e : replyEvents) replying = replying || e == event;
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: event %s posted by %s%s\n", kName, event, from,
           replying ? ", answered" : "");
  if (replying) {
    stringPrintf(reply, "event=%s", event);
    tell(from, kReplyOk);
  }
}

void handle(const char *from, int type, const char *data) {
  if (type < kFirstRequestType || strcmp(from, MSG_SERVER_NAME) == 0) {
    nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: type %d from %s not answered: '%s'\n", kName, type,
             from, data);
    return;
  }
  switch (type) {
    case kTypeStat:
      answerStat(from, data);
      break;
    case kTypePs:
      stringCopy(reply, "index=0");
      answer(from, kReplyEnd);
      break;
    case kTypeLua:
      runLua(from, data);
      break;
    case kTypeSet:
      setTag(from, data);
      break;
    case kTypeGet:
      getTag(from, data);
      break;
    case kTypePost:
      post(from, data);
      break;
    default:
      nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: unknown type %d from %s: '%s'\n", kName, type,
               from, data);
      stringPrintf(reply, "error=unknown request,type=%d", type);
      answer(from, kReplyUnknown);
      break;
  }
}

// The "bus" callback: takes and handles every message until none is left.
// Returns how many were handled.
int drainBus(void *) {
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int handled = 0;
  while (!busLost) {
    int type = 0;
    int r = nkMsgPoll(client, to, from, &type, request, 0);
    if (r == MSG_TIMEOUT) break;
    if (r != MSG_OK) {
      nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: bus connection %s, exiting\n", kName,
               r == MSG_DISCONNECTED ? "closed by the server" : "failed");
      busLost = true;
      stopping = true;
      break;
    }
    handle(from, type, text(request));
    handled++;
  }
  return handled;
}

// The "signal" callback.
int onSignal(void *) {
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: signal %d, exiting\n", kName, caughtSignal.load());
  stopping = true;
  return 1;
}

// Takes SIGINT and SIGTERM, blocked in every other thread.
void *waitForSignal(void *) {
  int sig = 0;
  if (sigwait(&stopSignals, &sig) == 0) caughtSignal = sig;
  runtimeWakeup(signalProfile);
  return nullptr;
}

// Options as argParse reads them, except that every -e adds an event.
void parseOptions(int argc, char **argv, int *foreground, int *debug) {
  char *name = nullptr, *event = nullptr;
  const ArgOption options[] = {
      {foreground, 'f', nullptr, nullptr, "stay in the foreground"},
      {debug, 'd', nullptr, nullptr, "raise the log level by one (repeatable)"},
      {nullptr, 'n', nullptr, &name, "register on the bus under this name (default nkrun)"},
      {nullptr, 'e', nullptr, &event, "answer posts of this event (repeatable)"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {kName, "nkrun [-f] [-d] [-n NAME] [-e EVENT ...]"};
  int i = 1;
  while (i < argc && argv[i][0] == '-') {
    int consumed = 0, negate = 0;
    for (const char *c = argv[i] + 1; *c && consumed == 0; c++) {
      if (*c == '~') {
        negate = 1;
        continue;
      }
      // argHandleOption counts the words from the current one, as argParse
      // does after dropping the ones before it.
      argHandleOption(*c, argv[i + 1], argc - i + 1, &consumed, options, &info, negate);
      negate = 0;
      if (event) replyEvents.push_back(event);
      event = nullptr;
    }
    i += 1 + consumed;
  }
  if (i < argc) {
    printf("Unexpected argument '%s', use -? for help\n", argv[i]);
    exit(1);
  }
  if (name) {
    if (!name[0] || strchr(name, ',')) {
      printf("Bad bus name '%s'\n", name);
      exit(1);
    }
    ownName = name;
  }
}

}  // namespace

int main(int argc, char **argv) {
  int foreground = 0, debug = 0;
  parseOptions(argc, argv, &foreground, &debug);
  if (debug > 0) nkloglevelincrease(debug);
  memInit();
  if (!foreground && daemon(0, 1) != 0) return 1;

  // Blocked before any thread starts, so that only waitForSignal takes them.
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  luaOpen();
  request = stringAlloc(0);
  reply = stringAlloc(0);
  luaOutput = stringAlloc(0);
  busProfile = runtimeNewCallback("bus", drainBus, nullptr);
  signalProfile = runtimeNewCallback("signal", onSignal, nullptr);
  pthread_t signalThread;
  if (pthread_create(&signalThread, nullptr, waitForSignal, nullptr) != 0) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot start the signal thread\n", kName);
    return 1;
  }
  nkMsgSetRuntimeWakeup(busProfile);
  client = nkMsgInit(ownName);
  if (!client) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot register on the bus as %s\n", kName, ownName);
    return 1;
  }
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: registered on the bus as %s\n", kName, ownName);
  runtimeWakeup(busProfile);  // whatever came before the loop

  while (!stopping) {
    runtimeSleep(kIdleSleep);
    runtimeExecCallbacks();
  }

  nkMsgSetRuntimeWakeup(nullptr);
  if (!busLost) nkMsgClose(client);  // a lost connection cannot sign off
  if (!caughtSignal) pthread_kill(signalThread, SIGTERM);
  pthread_join(signalThread, nullptr);
  lua_close(luaState);
  stringFree(luaOutput);
  stringFree(reply);
  stringFree(request);
  return busLost ? 1 : 0;
}
