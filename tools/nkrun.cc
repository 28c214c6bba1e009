// nkrun -- a stand-in for the framework's runtime process: it runs Lua
// scripts as cooperative contexts driven by events and timers, keeps the RTDB
// with its rules, registers on the message bus and answers the operator
// shell's requests from that live state, so that nksh can be run and tested
// end to end on one machine.
//
//   nkrun [-f] [-d] [-n NAME] [-c CONFIG] [-b MSEC] [SCRIPT ...]
//
// Each SCRIPT names a context running "<scriptDir>/<SCRIPT>.lua", scriptDir
// coming from the configuration file (-c, else the framework's default);
// scripts start further contexts with nk.start. The bindings are in
// nkrun_lua.cc, the RTDB and rules in nkrun_rtdb.cc.
//
// The main loop, on one thread: sleep in runtimeSleep until a callback is
// woken or the next timer is due (no sleep while nk.yield has parked
// contexts), run the woken callbacks (the bus client wakes "bus" on every
// socket event; it takes every message until none is left, as the socket
// layer watches for more only after a receive found nothing), fire the due
// timers, wake the parked contexts, and run the contexts until none is
// runnable (a pass gives way after a few ms: nkrun_lua.cc). SIGINT and
// SIGTERM are taken by a thread of their own, which wakes the "signal"
// callback; nkrun then signs off and exits with 0, or, when Lua stuck in a
// C library call keeps the main loop longer than kStopGraceUs, exits at once
// from the signal thread with 128 + the signal.
//
// The scripts do not depend on the bus: when it is not there (at start, or
// after it went away) nkrun keeps running them and tries to register again,
// with back-off (nkMsgRetryInit).
//
// Messages served (each reply goes back through the bus to the sender):
//   202 "stat=memhandles|memblocks|mem,index=%d"  the allocator's own replies
//   202 "stat=stats,index=%d"     the profiles: bus, signal, sleep, timers,
//                                 contexts, lua and one per callback timer
//   202 "stat=events,index=%d"    the event system's listing
//   202 "stat=timers,index=%d"    the timers' listing
//   202 "stat=rules,index=%d"     one rule per reply (id, ix, type, input1,
//                                 input2, output, value), "index=0" after the last
//   202 "stat=listpools,index=%d" "index=%d,list=%s,elements=%s", one list per
//                                 reply, index 0 on the last
//   209 "index=%d" (ps)           one context per reply (runnable, then
//                                 waiting, then those that failed to load),
//                                 type 5 and "index=0" after the last
//   210 a line of Lua             type 0 and the flattened output; the line
//                                 runs in a sandbox (nkrun_lua.cc) unless the
//                                 configuration has luaLinesUnrestricted=1
//   212 "tag=value" (set)         one-way: writes the tag (as nk.set does)
//   213 "tag" (get)               one-way: answered with one message, type 0
//                                 and "tag=value", or type 4 and
//                                 "error=unknown tag,tag=%s", or type 4 and
//                                 "error=value too long,tag=%s,bytes=%zu"
//                                 when the bus line cannot carry the value
//   214 "watch" or "renew"        the sender watches the tags for 60 s (each
//                                 one renews it): type 0 and "tags=N", the
//                                 number of tags; then every tag as a 215
//                                 after "watch", and after "renew" from a
//                                 sender that was not watching. At
//                                 most 16 watch at once: another new one gets
//                                 type 4 and "error=too many watchers"
//   215 "tag=value"               sent, one-way, to every watcher on each
//                                 write that gives a tag another value (or
//                                 makes it); a watch runs out, or ends when
//                                 nkrun loses the bus, without a word
//   201 "event=NAME" (post)       one-way: posts NAME with the sender's name as
//                                 parameter, and answers with one message:
//                                 type 0 and "event=NAME" when it reached a
//                                 context, type 6 and "error=not taken,..."
//                                 when nobody is interested or a full queue
//                                 lost it. A post does not say whether its
//                                 sender waits for the answer, so every post is
//                                 answered; the shell drops answers it did not
//                                 wait for.
// Texts in the replies come from scripts and users (tag values, names): each
// CR and LF in them is sent as the two characters \r or \n, so that no text
// can end a bus line early and pass the rest off as a line of its own. A
// reply that a bus line cannot carry is cut, its end marked by "...".
// A stat it does not know gets type 4 and "error=unknown stat,stat=%s"; any
// other type from 100 up gets type 4 and "error=unknown request,type=%d".
// The bus client does not tell a request from a one-way message, so such a
// message is always answered: a stray answer is better than a requester left
// waiting for ever. Types below 100 are results and lines from the bus server
// ("base") are never answered, so that two processes cannot answer each other
// without end.
#define NK_MODULE "nkrun"
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

extern "C" {
#include <lua.h>
}

#include "argparse.h"
#include "configfile.h"
#include "context.h"
#include "event.h"
#include "mem.h"
#include "nkmsg.h"
#include "nkrun.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nkproto.h"
#include "runtime.h"
#include "timer.h"

using namespace nkrun;

namespace {

constexpr int kIdleSleep = 1000000;   // us: the longest sleep without timers
constexpr int kDefaultBudget = 1000;  // ms of Lua without a yield
constexpr int kMaxBudget = 2000000;   // ms; in microseconds it still fits an int
constexpr int kStatSize = 64;
constexpr int kEventSize = 256;
constexpr int kScriptSize = 256;
constexpr int kEchoSize = 256;   // bytes of request text an error reply repeats
constexpr int kFailedKept = 32;  // failed contexts kept on the waiting list for ps
constexpr int kMaxWatchers = 16;
constexpr int64_t kWatchPeriod = 60000000;  // us a watch lasts
constexpr int64_t kStopGraceUs = 2000000;   // us a stop waits for the Lua that runs
constexpr int64_t kStopLookUs = 10000;      // us between two looks whether it stopped
constexpr int kDefaultMaxContexts = 1024;
constexpr int kMostContexts = 100000;  // the highest luaMaxContexts taken
// The longest line the bus takes (without its line end): it cuts off a
// process that sends a longer one.
constexpr size_t kBusLineLimit = 64 * 1024;

// State of the main loop's thread.
const char *ownName = kName;
MsgClient *client;  // null while the bus is away
int request;        // string: the message being handled
int reply;          // string: the answer being built
int scratch;        // string: listings read while answering
int tagLine;        // string: the "tag=value" of a 215 (tags change amid other replies)
RuntimeProfile *busProfile;
RuntimeProfile *signalProfile;
bool stopping;
MsgRetry busRetry;  // the tries to register on the bus

// The senders of 214: a free slot has until 0.
struct Watcher {
  char name[MSG_NAME_SIZE];
  int64_t until;  // us (monotonic): when the watch runs out
};
Watcher watchers[kMaxWatchers];

sigset_t stopSignals;
std::atomic<int> caughtSignal{0};
std::atomic<bool> loopEnded{false};

const char *text(int handle) { return static_cast<const char *>(memGetData(handle)); }

// Writes each CR and LF of the string handle as the two characters \r or
// \n. Replies carry texts that scripts and users wrote (tag values, context
// and event names, timer names): a raw line end in one would end the bus
// line there and make the rest pass for a line of its own. A backslash is
// left as it is: the escape is for reading, not for parsing back.
void escapeLineEnds(int string) {
  const char *s = text(string);
  if (!strpbrk(s, "\r\n")) return;
  std::string escaped;
  for (; *s; s++) {
    if (*s == '\r' || *s == '\n') {
      escaped += '\\';
      escaped += *s == '\r' ? 'r' : 'n';
    } else {
      escaped += *s;
    }
  }
  stringCopy(string, escaped.c_str());
}

// The most bytes of data a message to `to` carries within the bus's line
// limit, beside the recipient, the sender, the type and the seq (each number
// at most 11 characters) and their commas.
size_t dataRoom(const char *to) {
  return kBusLineLimit - (strlen(to) + strlen(ownName) + 2 * 11 + 4);
}

// Escapes the line ends of the reply, and cuts it, marked by "...", where a
// line to `to` would pass the bus's limit: the bus would cut nkrun off for a
// longer line. Values and names have no bound of their own (a script may
// set a tag of megabytes), so every listing row may meet this.
void fitReply(const char *to) {
  escapeLineEnds(reply);
  size_t room = dataRoom(to);
  size_t len = static_cast<size_t>(stringLen(reply));
  if (len <= room) return;
  nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: reply to %s of %zu bytes cut to %zu\n", kName, to,
           len, room);
  char *r = static_cast<char *>(memGetData(reply));
  memcpy(r + room - 3, "...", 4);
}

// The reply to the message just taken (same seq).
void answer(const char *to, int type) {
  fitReply(to);
  nkMsgReply(client, to, nullptr, type, reply);
}

// A one-way message to the sender of a one-way message.
void tell(const char *to, int type) {
  fitReply(to);
  nkMsgSend(client, to, nullptr, type, reply);
}

// {==== Listings

// A position in ps order: runnable, waiting (blocked, failed), then the ones
// that failed to load.
struct PsPlace {
  int index = -1;              // -1: before the first
  Context *context = nullptr;  // the context there while on a run list
  bool waiting = false;        // context is on the waiting list
  int listed = -1;             // once past the run lists: how many they hold
                               // (the failures are found by index from there)
  uint32_t changes = 0;        // contextRunListChanges() when it was taken
};

// The place of the last ps row. The shell asks for the rows one after the
// other, so each row goes on from the one before instead of walking the
// lists from their start; while the run lists stay as they were, that gives
// the same context as the walk. Once they change, the kept context may be
// gone: the place is not used again, and the next row walks afresh.
PsPlace psPlace;

// The next position after p, which is on the run lists or before them.
void psStep(PsPlace *p) {
  p->index++;
  Context *c = nullptr;
  if (!p->waiting) c = contextGetNextRunnable(p->context);
  if (!c) {
    c = contextGetNextWaiting(p->waiting ? p->context : nullptr);
    p->waiting = true;
  }
  p->context = c;
  if (!c) p->listed = p->index;
}

// The context at position index in ps order, or null.
Context *contextAt(int index) {
  if (psPlace.changes != contextRunListChanges() || index < psPlace.index) psPlace = PsPlace();
  while (psPlace.index < index && psPlace.listed < 0) psStep(&psPlace);
  psPlace.changes = contextRunListChanges();
  return psPlace.context ? psPlace.context : luaStartFailure(index - psPlace.listed);
}

const char *runStateText(const Context *c) {
  if (c == contextGetCurrent()) return "run";
  if (luaIsParked(c)) return "yield";
  switch (c->runState) {
    case CTX_RUNNABLE:
      return "ready";
    case CTX_YIELDED:
      return "yield";
    case CTX_WAITING:
      return "wait";
    case CTX_BLOCKED:
      return "block";
    case CTX_DONE:
      return "done";
    case CTX_FAILED:
      return "failed";
    default:
      return "?";
  }
}

// One row of ps: type 0 while contexts remain (index names the next), then
// type 5, which ends the shell's listing.
int psRow(int index) {
  Context *c = index >= 0 ? contextAt(index) : nullptr;
  if (!c) {
    stringCopy(reply, "index=0");
    return NK_REPLY_END;
  }
  int line = 0;
  char kind[8] = "";
  contextGetLuaInfo(c, &line, kind);
  if (c->runState == CTX_FAILED) line = c->errorLine;
  stringPrintf(reply, "index=%d,name=%s,id=%d,cstate=%s,function=%s,line=%d,events=%s", index + 1,
               c->name, c->id, runStateText(c), kind, line, luaIsParked(c) ? "" : eventDisplay(c));
  return NK_REPLY_OK;
}

size_t countList(Context *(*next)(Context *)) {
  size_t n = 0;
  for (Context *c = next(nullptr); c; c = next(c)) n++;
  return n;
}

// "index=%d,list=%s,elements=%s" for nkrun's own lists; the index names the
// next list, 0 on the last.
int listPool(int index) {
  struct Pool {
    const char *name;
    size_t elements;
  };
  const Pool pools[] = {
      {"runnable", countList(contextGetNextRunnable)},
      {"waiting", countList(contextGetNextWaiting)},
      {"unloaded", luaStartFailureCount()},
      {"rtdb-tags", rtdbCount()},
      {"rules", ruleCount()},
  };
  const int count = static_cast<int>(sizeof pools / sizeof pools[0]);
  if (index < 0 || index >= count) {
    stringPrintf(reply, "index=0,error=no such list");
    return NK_REPLY_UNKNOWN;
  }
  stringPrintf(reply, "index=%d,list=%s,elements=%zu", index + 1 < count ? index + 1 : 0,
               pools[index].name, pools[index].elements);
  return NK_REPLY_OK;
}

// The "stat=" listings: each writes the reply for one index and gives its
// type.
struct StatQuery {
  const char *stat;
  int (*query)(int index);
};
const StatQuery kStatQueries[] = {
    {NK_STAT_MEMHANDLES, [](int i) { return memStatsHandleQuery(i, reply), NK_REPLY_OK; }},
    {NK_STAT_MEMBLOCKS, [](int i) { return memStatsBlockQuery(i, reply), NK_REPLY_OK; }},
    {NK_STAT_MEM, [](int i) { return memStatsQuery(i, reply), NK_REPLY_OK; }},
    {NK_STAT_PROFILES, [](int i) { return runtimeStatsQuery(i, reply), NK_REPLY_OK; }},
    {NK_STAT_LISTPOOLS, listPool},
    {NK_STAT_EVENTS, [](int i) { return eventStatsQuery(i, reply), NK_REPLY_OK; }},
    {NK_STAT_TIMERS, [](int i) { return timerStatsQuery(i, reply), NK_REPLY_OK; }},
    {NK_STAT_RULES, [](int i) { return ruleStatsQuery(i, reply), NK_REPLY_OK; }},
};

void answerStat(const char *from, const char *data) {
  char stat[kStatSize];
  int index = 0;
  paramGetString(data, "stat", stat, sizeof stat);
  paramGetNumber(data, "index", &index);
  for (const StatQuery &q : kStatQueries) {
    if (strcmp(stat, q.stat) == 0) return answer(from, q.query(index));
  }
  nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: unknown stat '%s' from %s\n", kName, stat, from);
  stringPrintf(reply, "error=unknown stat,stat=%s", stat);
  answer(from, NK_REPLY_UNKNOWN);
}

// }====

// {==== Commands

void runLua(const char *from, const char *line) {
  runtimeTiming("lua");
  luaRunLine(line, reply);
  nksyslog(NKLOG_INFO, LOGMASK_GENERAL, "%s: lua from %s: %s\n", kName, from, text(reply));
  answer(from, NK_REPLY_OK);
  runtimeSwitch(busProfile);
}

void setTag(const char *from, const char *data) {
  const char *eq = strchr(data, '=');
  if (!eq || eq == data) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: set from %s is not tag=value, dropped: '%s'\n",
             kName, from, data);
    return;
  }
  stringCopy(scratch, data);
  char *tag = static_cast<char *>(memGetData(scratch));
  tag[eq - data] = '\0';
  nksyslog(NKLOG_INFO, LOGMASK_GENERAL, "%s: %s set %s\n", kName, from, data);
  rtdbSet(tag, eq + 1);
}

void getTag(const char *from, const char *tag) {
  const char *value = rtdbGet(tag);
  if (!value) {
    // The name is cut: a reply never grows with what a request sends.
    stringPrintf(reply, "error=unknown tag,tag=%.*s", kEchoSize, tag);
    tell(from, NK_REPLY_UNKNOWN);
    return;
  }
  // A value that the line cannot carry is not cut: a cut value would pass
  // for the tag's value.
  stringPrintf(reply, "%s=%s", tag, value);
  escapeLineEnds(reply);
  if (static_cast<size_t>(stringLen(reply)) > dataRoom(from)) {
    stringPrintf(reply, "error=value too long,tag=%.*s,bytes=%zu", kEchoSize, tag, strlen(value));
    tell(from, NK_REPLY_UNKNOWN);
    return;
  }
  tell(from, NK_REPLY_OK);
}

// {==== Tag watchers

// Puts "tag=value" into tagLine, its line ends escaped. False, with a
// warning, when the bus cannot carry it: a line past the bus's limit would be
// refused and take nkrun off the bus. Such a value is not sent, and the
// watchers keep the one they had.
bool formatTagLine(const char *tag, const char *value) {
  stringPrintf(tagLine, "%s=%s", tag, value);
  escapeLineEnds(tagLine);
  // The longest recipient, the sender, the type and the seq come first.
  size_t head = (MSG_NAME_SIZE - 1) + 1 + strlen(ownName) + 1 + strlen("215,0,");
  if (head + static_cast<size_t>(stringLen(tagLine)) > kBusLineLimit) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL,
             "%s: tag %.*s: a value of %zu bytes cannot go on the bus, watchers not told\n", kName,
             kEchoSize, tag, strlen(value));
    return false;
  }
  return true;
}

// The RTDB's observer: tells every live watcher, dropping those that ran out.
void tagChanged(const char *tag, const char *value) {
  if (!client) return;
  int64_t now = 0;
  bool formatted = false;
  for (Watcher &w : watchers) {
    if (!w.until) continue;
    if (!now) now = timerMonotonicMicroSec();
    if (w.until <= now) {
      w.until = 0;
      continue;
    }
    if (!formatted && !formatTagLine(tag, value)) return;
    formatted = true;
    nkMsgSend(client, w.name, nullptr, NK_TYPE_TAG_VALUE, tagLine);
  }
}

// rtdbForEach's visitor for a new watcher (to: its name).
void sendTag(const char *tag, const char *value, void *to) {
  if (formatTagLine(tag, value)) {
    nkMsgSend(client, static_cast<const char *>(to), nullptr, NK_TYPE_TAG_VALUE, tagLine);
  }
}

// "watch" starts afresh (a watcher that restarted keeps its name but lost
// what it knew); "renew" only extends a watch that is still running.
void watch(const char *from, const char *data) {
  bool renew = strcmp(data, "renew") == 0;
  if (!renew && strcmp(data, "watch") != 0) {
    stringPrintf(reply, "error=unknown watch,text=%.*s", kEchoSize, data);
    answer(from, NK_REPLY_UNKNOWN);
    return;
  }
  int64_t now = timerMonotonicMicroSec();
  Watcher *found = nullptr, *unused = nullptr;
  for (Watcher &w : watchers) {
    if (w.until && w.until <= now) w.until = 0;
    if (w.until && strcmp(w.name, from) == 0) found = &w;
    if (!w.until && !unused) unused = &w;
  }
  Watcher *w = found ? found : unused;
  if (!w) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: watch from %s refused: %d watchers\n", kName,
             from, kMaxWatchers);
    stringCopy(reply, "error=too many watchers");
    answer(from, NK_REPLY_UNKNOWN);
    return;
  }
  if (!found) {
    snprintf(w->name, sizeof w->name, "%s", from);
    nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: %s watches the tags\n", kName, from);
  }
  w->until = now + kWatchPeriod;
  stringPrintf(reply, "tags=%zu", rtdbCount());
  answer(from, NK_REPLY_OK);
  if (!found || !renew) rtdbForEach(sendTag, w->name);
}

// With the bus gone every watcher must watch again, and is then sent every
// tag: what changed meanwhile never reached it.
void forgetWatchers() {
  for (Watcher &w : watchers) w.until = 0;
}

// }====

// True when some context is interested in the event called name.
bool anyInterest(const char *name) {
  int id = eventLookup(name);
  return id >= 0 && eventIdHasInterest(id);
}

void post(const char *from, const char *data) {
  char event[kEventSize];
  if (paramGetString(data, "event", event, sizeof event) != 0 || !event[0]) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: post from %s names no event, dropped: '%s'\n",
             kName, from, data);
    return;
  }
  bool taken = anyInterest(event);
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: event %s posted by %s%s\n", kName, event, from,
           taken ? "" : ", nobody takes it");
  // Posted all the same: the event system logs an event that nobody takes,
  // whoever posted it.
  if (eventPost(event, from, 0) == 0 && taken) {
    stringPrintf(reply, "event=%s", event);
    tell(from, NK_REPLY_OK);
    return;
  }
  stringPrintf(reply, "error=not taken,event=%s", event);
  tell(from, NK_REPLY_NOT_TAKEN);
}

void handle(const char *from, int type, const char *data) {
  if (type < NK_FIRST_REQUEST || strcmp(from, MSG_SERVER_NAME) == 0) {
    nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: type %d from %s not answered: '%s'\n", kName, type,
             from, data);
    return;
  }
  int index = 0;
  switch (type) {
    case NK_TYPE_STAT:
      answerStat(from, data);
      break;
    case NK_TYPE_PS:
      paramGetNumber(data, "index", &index);
      answer(from, psRow(index));
      break;
    case NK_TYPE_LUA:
      runLua(from, data);
      break;
    case NK_TYPE_SET:
      setTag(from, data);
      break;
    case NK_TYPE_GET:
      getTag(from, data);
      break;
    case NK_TYPE_POST:
      post(from, data);
      break;
    case NK_TYPE_WATCH:
      watch(from, data);
      break;
    default:
      nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: unknown type %d from %s: '%s'\n", kName, type,
               from, data);
      stringPrintf(reply, "error=unknown request,type=%d", type);
      answer(from, NK_REPLY_UNKNOWN);
      break;
  }
}

// }====

// Registers on the bus if the time for the next try has come. Returns the
// microseconds until the next try, or -1 with the bus there.
int64_t registerIfDue() {
  if (client) return -1;
  int64_t due;
  client = nkMsgRetryInit(&busRetry, ownName, &due);
  if (!client) return due;
  nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: registered on the bus as %s\n", kName, ownName);
  runtimeWakeup(busProfile);  // whatever came before the loop
  return -1;
}

// The "bus" callback: takes and handles every message until none is left.
// Returns how many were handled.
int drainBus(void *) {
  char to[MSG_NAME_SIZE], from[MSG_NAME_SIZE];
  int handled = 0;
  while (client) {
    int type = 0;
    int r = nkMsgPoll(client, to, from, &type, request, 0);
    if (r == MSG_TIMEOUT) break;
    if (r != MSG_OK) {
      nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: bus connection %s, registering again\n", kName,
               r == MSG_DISCONNECTED ? "closed by the server" : "failed");
      nkMsgClose(client);
      client = nullptr;
      forgetWatchers();
      busRetry.next = 0;
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

// Takes SIGINT and SIGTERM, blocked in every other thread. The Lua that runs
// is ended at its next instruction, but a call inside the C library (a long
// pattern match, say) has none until it returns: when the main loop has not
// ended kStopGraceUs after the signal, nkrun exits at once, with 128 plus the
// signal's number, as if the signal had killed it.
void *waitForSignal(void *) {
  int sig = 0;
  if (sigwait(&stopSignals, &sig) == 0) caughtSignal = sig;
  if (caughtSignal) luaRequestStop();
  runtimeWakeup(signalProfile);
  if (!caughtSignal) return nullptr;
  for (int64_t waited = 0; !loopEnded; waited += kStopLookUs) {
    if (waited >= kStopGraceUs) {
      nksyslog(NKLOG_ERR, LOGMASK_GENERAL,
               "%s: still running %d ms after signal %d, exiting without signing off\n", kName,
               static_cast<int>(kStopGraceUs / 1000), sig);
      fflush(nullptr);
      _exit(128 + sig);
    }
    usleep(kStopLookUs);
  }
  return nullptr;
}

struct Options {
  int foreground = 0;
  int debug = 0;
  int budget = kDefaultBudget;
  char *config = nullptr;
};

// Options, then the scripts: argv[1 .. *argc - 1] are left holding them.
void parseOptions(int *argc, char **argv, Options *o) {
  char *name = nullptr;
  const ArgOption options[] = {
      {&o->foreground, 'f', nullptr, nullptr, "stay in the foreground"},
      {&o->debug, 'd', nullptr, nullptr, "raise the log level by one (repeatable)"},
      {nullptr, 'n', nullptr, &name, "register on the bus under this name (default nkrun)"},
      {nullptr, 'c', nullptr, &o->config, "read this configuration file (its scriptDir)"},
      {nullptr, 'b', &o->budget, nullptr,
       "stop Lua that runs this many ms without yielding (default 1000)"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {kName, "nkrun [-f] [-d] [-n NAME] [-c CONFIG] [-b MSEC] [SCRIPT ...]"};
  argParse(argc, argv, options, &info, 0);
  for (int i = 1; i < *argc; i++) {
    if (argv[i][0] == '-') {
      printf("Options come before the scripts: '%s', use -? for help\n", argv[i]);
      exit(1);
    }
  }
  if (o->budget <= 0 || o->budget > kMaxBudget) {
    printf("The budget must be a number of ms from 1 to %d\n", kMaxBudget);
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

// A whole number from 1 to most from the configuration, or fallback when the
// key is not there; anything else ends nkrun with a message.
int configNumber(const char *key, int fallback, int most) {
  const char *text = configValue(key, nullptr);
  if (!text) return fallback;
  char *end = nullptr;
  long n = strtol(text, &end, 10);
  if (end == text || *end || n < 1 || n > most) {
    printf("%s must be a number from 1 to %d, not '%s'\n", key, most, text);
    exit(1);
  }
  return static_cast<int>(n);
}

// Starts the contexts named on the command line; "pump.lua" names pump.
void startScripts(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    char script[kScriptSize];
    snprintf(script, sizeof script, "%s", argv[i]);
    size_t len = strlen(script);
    if (len > 4 && strcmp(script + len - 4, ".lua") == 0) script[len - 4] = '\0';
    char *scriptArgv[] = {script};
    const char *error = nullptr;
    if (luaStartContext(script, 1, scriptArgv, &error) < 0) {
      nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: script %s not started: %s\n", kName, script, error);
    }
  }
}

// A context that fails stays parked on the waiting list, where ps shows it
// with the line of its error. Scripts that keep starting contexts that fail
// would fill the memory with them: beyond kFailedKept, the oldest go.
void dropOldFailures() {
  int failed = 0;
  for (Context *c = contextGetNextWaiting(nullptr); c; c = contextGetNextWaiting(c)) {
    failed += c->runState == CTX_FAILED;
  }
  for (Context *c = contextGetNextWaiting(nullptr); c && failed > kFailedKept;) {
    Context *next = contextGetNextWaiting(c);
    if (c->runState == CTX_FAILED) {
      nksyslog(NKLOG_NOTICE, LOGMASK_GENERAL, "%s: dropping failed context %d (%s)\n", kName, c->id,
               c->name);
      contextDestroy(c);
      failed--;
    }
    c = next;
  }
}

// Registration is tried at the end of a pass, so that the first pass has
// made the loop's profiles (sleep, timers, contexts) before anyone can ask
// for them.
void mainLoop() {
  int64_t retry = 0;  // us until the next try to register; -1 with the bus there
  while (!stopping) {
    bool parked = luaYieldersParked();
    int sleep = parked ? 0 : timerGetNextExpiry(kIdleSleep);
    if (retry >= 0 && retry < sleep) sleep = static_cast<int>(retry);
    runtimeSleep(sleep);
    runtimeExecCallbacks();
    if (stopping) break;
    runtimeTiming("timers");
    timerTick();
    if (parked) luaWakeYielders();
    runtimeTiming("contexts");
    luaBeginPass();
    if (contextExecute() > 0) dropOldFailures();
    runtimeSwitch(nullptr);
    retry = registerIfDue();
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  parseOptions(&argc, argv, &options);
  if (options.debug > 0) nkloglevelincrease(options.debug);
  memInit();
  if (options.config) configSetFile(options.config);
  configReadFile();
  int maxContexts = configNumber("luaMaxContexts", kDefaultMaxContexts, kMostContexts);
  if (!options.foreground && daemon(0, 1) != 0) return 1;

  // Blocked before any thread starts, so that only waitForSignal takes them.
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  request = stringAlloc(0);
  reply = stringAlloc(0);
  scratch = stringAlloc(0);
  tagLine = stringAlloc(0);
  rtdbObserve(tagChanged);
  eventInit();
  // Shell lines reach files, programs and loaders only when the
  // configuration says so (luaLinesUnrestricted=1).
  const char *unrestricted = configValue("luaLinesUnrestricted", "0");
  if (!luaStart(options.budget, unrestricted && strcmp(unrestricted, "1") == 0, maxContexts)) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot create the Lua state\n", kName);
    return 1;
  }
  busProfile = runtimeNewCallback("bus", drainBus, nullptr);
  signalProfile = runtimeNewCallback("signal", onSignal, nullptr);
  pthread_t signalThread;
  if (pthread_create(&signalThread, nullptr, waitForSignal, nullptr) != 0) {
    nksyslog(NKLOG_ERR, LOGMASK_GENERAL, "%s: cannot start the signal thread\n", kName);
    return 1;
  }
  nkMsgSetRuntimeWakeup(busProfile);
  startScripts(argc, argv);

  mainLoop();
  loopEnded = true;

  nkMsgSetRuntimeWakeup(nullptr);
  if (client) nkMsgClose(client);
  if (!caughtSignal) pthread_kill(signalThread, SIGTERM);
  pthread_join(signalThread, nullptr);
  luaStop();
  rtdbObserve(nullptr);
  stringFree(tagLine);
  stringFree(scratch);
  stringFree(reply);
  stringFree(request);
  return 0;
}
