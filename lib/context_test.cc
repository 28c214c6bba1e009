#define NK_MODULE "context_test"
#include "context.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "configfile.h"
#include "event.h"
#include "mem.h"
#include "nkluatest.h"
#include "nksyslog.h"
#include "nktest.h"
#include "table.h"

namespace {

using Lines = std::vector<std::string>;

// Every test starts with a fresh Lua world and ends with every handle given
// back.
using ContextTest = nktest::LuaWorldTest;

const char kYielder[] = "local me = ... for i = 1, 3 do t.trace(me, i) t.yield() end";

TEST_F(ContextTest, YieldedTakeTurnsAndWokenContextsGoFirst) {
  start("z", "t.filter('go') local n, p = t.wait() t.trace('z', n, p)");
  w_->script("yielder", kYielder);
  w_->start("yielder", {"x"});
  start("y",
        "t.trace('y', 1) t.post('go', 'p') t.yield() t.trace('y', 2) t.yield() t.trace('y', 3)");
  EXPECT_EQ(contextGetCurrent(), nullptr);
  EXPECT_EQ(contextGetNextRunnable(contextGetNextRunnable(nullptr))->id,
            contextGetNextRunnable(nullptr)->id + 1);
  // z waits; x yields; y wakes z and yields: z runs before x's second turn,
  // though x reached the list first.
  EXPECT_EQ(run(), (Lines{"x 1", "y 1", "z go p", "x 2", "y 2", "x 3", "y 3"}));
  EXPECT_EQ(contextGetNextRunnable(nullptr), nullptr);
  EXPECT_EQ(contextGetNextWaiting(nullptr), nullptr);
  EXPECT_EQ(contextExecute(), 0);
}

TEST_F(ContextTest, WaitingBlockedAndBlockTypeThree) {
  Context *w = start("w", "t.filter('a') t.filter('b') local n, p = t.wait() t.trace('w', n, p)");
  Context *b = start("b", "t.trace('b', t.waitfor('b'))");
  Context *any = start("any",
                       "t.filter('a') t.trace('any', t.block('b', 3, 1)) "
                       "t.trace('any again', t.wait())");
  EXPECT_EQ(run(), Lines{});
  EXPECT_EQ(w->runState, CTX_WAITING);
  EXPECT_EQ(b->runState, CTX_BLOCKED);
  EXPECT_EQ(any->runState, CTX_WAITING);
  EXPECT_STREQ(eventDisplay(b), "B:b");
  EXPECT_STREQ(eventDisplay(w), "a;b");
  // 'a' reaches w (queued), not b, and wakes 'any' (type 3) with its param
  // at once, which also finds 'a' queued when it waits again.
  EXPECT_EQ(eventPost("a", "pa", 0), 0);
  EXPECT_EQ(b->runState, CTX_BLOCKED);
  EXPECT_EQ(run(), (Lines{"any pa", "w a pa", "any again a pa"}));
  EXPECT_EQ(eventPost("b", "pb", 0), 0);
  EXPECT_EQ(run(), (Lines{"b pb"}));
  EXPECT_EQ(contextGetNextWaiting(nullptr), nullptr);
}

// A context that fetches nothing: it blocks on 'never' with 'e' filtered.
const char kFull[] =
    "t.filter('e') t.waitfor('never') "
    "for i = 1, 2 do t.trace('full', t.wait()) end";

TEST_F(ContextTest, FullQueueLosesOrDefersThePost) {
  Context *full = start("full", kFull);
  run();
  for (int i = 1; i <= MAX_PENDING_EVENTS; i++) {
    ASSERT_EQ(eventPost("e", ("p" + std::to_string(i)).c_str(), 0), 0);
  }
  EXPECT_EQ(eventPost("e", "lost", 0), -1);
  EXPECT_EQ(log_.count("WARN Context full's pending event queue is full! Can't post lost to e!"),
            1);
  // A blocking poster blocks until the full context fetches. The fetch, its
  // move and the re-post must not interleave: the full context gets p1, then
  // p2, and the poster the text of its post.
  start("poster", "t.trace('poster', t.post('e', 'x', true))");
  EXPECT_EQ(run(), Lines{});
  EXPECT_EQ(log_.count("Can't post 'x' to e! Blocking"), 1);
  EXPECT_STREQ(eventDisplay(contextGetNextWaiting(full)), "B:e-blocked");
  eventPost("never", nullptr, 0);
  EXPECT_EQ(run(), (Lines{"full e p1", "poster x", "full e p2"}));
}

TEST_F(ContextTest, PendingEventsWhoseNameIsGoneAreDropped) {
  // The full context drops its interest: its 200 pending events lose their
  // name and are dropped when it waits, each fetch still re-posting what it
  // deferred, so the blocked poster wakes.
  Context *full = start("full", "t.filter('e') t.waitfor('never') t.clear('e') t.wait()");
  run();
  for (int i = 0; i < MAX_PENDING_EVENTS; i++) eventPost("e", nullptr, 0);
  start("poster", "t.trace('poster', t.post('e', 'x', true))");
  run();
  eventPost("never", nullptr, 0);
  EXPECT_EQ(run(), (Lines{"poster x"}));
  EXPECT_EQ(full->pendingCount, 0);
  EXPECT_EQ(full->runState, CTX_WAITING);
}

TEST_F(ContextTest, RequestAndReply) {
  start("server",
        "t.filter('ask') local n, p = t.wait() t.trace('server', n, p) "
        "t.reply('ask', 'answer:' .. p)");
  start("client", "t.trace('client', t.request('ask', 'q1'))");
  EXPECT_EQ(run(), (Lines{"server ask q1", "client answer:q1"}));
  EXPECT_EQ(contextGetNextWaiting(nullptr), nullptr);
}

TEST_F(ContextTest, HandlersByTaskState) {
  start("h",
        "t.stateadd('idle') t.stateadd('busy') t.filter('f') t.filter('mine') "
        "t.handler('ev', '', function(n, p) t.trace('wild', n, p, select(2, t.state())) end) "
        "t.handler('ev', 'BUSY', function(n, p) t.trace('busy', n, p) end) "
        "t.handler('ev', 'nosuch', print) "
        "t.dispatch('ev', '1') t.stateset('idle') t.dispatch('ev', '2') "
        "t.stateset('busy') t.dispatch('ev', '3') t.dispatch('f', '') t.dispatch() "
        "t.handler('ev', '', function(n, p) t.trace('wild2', n, p) end) t.dispatch('ev', '4') "
        "t.yield() t.trace(t.dispatch('other'), t.dispatch())");
  start("other", "t.filter('other') t.wait()");
  EXPECT_EQ(run(), (Lines{"wild ev 1 ", "wild ev 2 idle", "busy ev 3", "wild2 ev 4", "0 0"}));
  EXPECT_EQ(log_.count("WARN eventHandler register failed - unknown state nosuch"), 1);
  EXPECT_EQ(log_.count("ERR  eventDispatch: No handler for event f in state 2/busy"), 1);
  EXPECT_EQ(log_.count("ERR  No interest registered in event other"), 1);
}

TEST_F(ContextTest, HandlerThatYieldsIsFinishedByTheContinuation) {
  start("h",
        "t.filter('go') "
        "t.handler('ev', '', function(n, p) t.trace('h1', p) t.trace('h2', t.wait()) end) "
        "t.dispatch('ev', 'x') t.trace('after') t.yield() t.trace('end')");
  EXPECT_EQ(run(), (Lines{"h1 x"}));
  eventPost("go", "y", 0);
  EXPECT_EQ(run(), (Lines{"h2 go y", "after", "end"}));
  EXPECT_EQ(contextGetNextWaiting(nullptr), nullptr);
}

TEST_F(ContextTest, LoadAndRunErrorsAreLogged) {
  nkloglevelset("test", "NOTE");
  struct Case {
    const char *name, *code, *lines[2];
  } cases[] = {
      {"syntax", "x = = 1", {"ERR  handleLuaError: syntax error", "syntax.lua:1:"}},
      {"missing", nullptr, {"ERR  handleLuaError: file does not exist", "cannot open"}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    if (k.code) w_->script(k.name, k.code);
    Context *c = w_->start(k.name);
    EXPECT_EQ(c->runState, CTX_FAILED);
    EXPECT_EQ(c->errorLine, 0);            // no Lua frame yet
    EXPECT_FALSE(listIsMember(&c->node));  // on no list
    for (const char *line : k.lines) EXPECT_EQ(log_.count(line), 1);
    contextDestroy(c);  // the way to free a context that failed at creation
  }
  EXPECT_EQ(log_.count("received error 3 from lua loadfile " + w_->dir + "/syntax.lua"), 1);
  EXPECT_EQ(log_.count("received error 7 from lua loadfile " + w_->dir + "/missing.lua"), 1);

  Context *c = start("bad", "t.filter('x')\nlocal a\nlocal b = a + 1");
  run();
  EXPECT_EQ(log_.count("ERR  handleLuaError: runtime error at line 3"), 1);
  EXPECT_EQ(log_.count("attempt to perform arithmetic on local 'a' (a nil value)"), 1);
  EXPECT_EQ(log_.count("failed, add to wait list"), 1);
  EXPECT_EQ(contextGetNextWaiting(nullptr), c);  // parked for good, without interests
  EXPECT_TRUE(listEmpty(&c->interests));
  EXPECT_EQ(c->errorLine, 3);
  int line = -1;
  char kind[8];
  contextGetLuaInfo(c, &line, kind);
  EXPECT_EQ(line, 3);
  EXPECT_STREQ(kind, "main");
}

TEST_F(ContextTest, DestroyingRenumbersTheAnchorStack) {
  // 'first' returns at once and is destroyed in its first turn; the threads
  // anchored above it move down one place and still run.
  const char *names[] = {"first", "second", "third"};
  Context *c[3];
  for (int i = 0; i < 3; i++) {
    c[i] = start(names[i], i == 0 ? "return" : "t.filter('go') t.trace(t.wait())");
    EXPECT_EQ(c[i]->anchorPosition, i + 1);
  }
  run();
  EXPECT_EQ(c[1]->anchorPosition, 1);
  EXPECT_EQ(c[2]->anchorPosition, 2);
  contextDestroy(c[1]);  // not current: taken off the waiting list
  EXPECT_EQ(c[2]->anchorPosition, 1);
  lua_gc(w_->L, LUA_GCCOLLECT, 0);
  eventPost("go", "p", 0);
  EXPECT_EQ(run(), (Lines{"go p"}));
}

TEST_F(ContextTest, ArgumentsScriptDirectoryAndTaskStates) {
  // The directory named with a final "/" gives the same path.
  w_->script("args",
             "t.trace(...) t.stateadd('idle') t.stateadd('busy') "
             "t.trace(t.statefind('BUSY'), t.state()) t.stateset('IDLE') "
             "t.trace(t.state()) t.stateset('nosuch') t.trace(t.state()) "
             "for i = 3, 31 do t.stateadd('s' .. i) end t.trace(t.stateadd('s32')) "
             "t.setname(string.rep('n', 300)) t.setinfo('k', 'v') "
             "t.trace(t.getinfo(string.rep('n', 255), 'k')) t.wait()");
  FILE *conf = fopen(w_->config.c_str(), "w");
  fprintf(conf, "scriptDir=%s/\n", w_->dir.c_str());
  fclose(conf);
  configReadFile();
  Context *c = w_->start("args", {"a1", "a2"});
  EXPECT_EQ(c->paramCount, 2);
  EXPECT_EQ(run(), (Lines{"a1 a2", "2 0 ", "1 idle", "1 idle", "-1", "v"}));
  EXPECT_EQ(log_.count("WARN Can't set state to nosuch"), 1);
  EXPECT_EQ(log_.count("ERR  Can't create new state s32 - already at maximum"), 1);
  EXPECT_EQ(strlen(c->name), 255u);
  EXPECT_STREQ(contextGetInfo(c->name, "k"), "v");  // found on the waiting list
  EXPECT_EQ(contextGetInfo("nobody", "k"), nullptr);
  int line = -1;
  char kind[8];
  contextGetLuaInfo(c, &line, kind);
  EXPECT_EQ(line, 1);
  EXPECT_STREQ(kind, "main");
  Context *fresh = start("fresh", "return");
  contextGetLuaInfo(fresh, &line, kind);  // not started: no Lua frame
  EXPECT_EQ(line, 0);
  EXPECT_STREQ(kind, "***");
}

// The results of a blocking call by return type, and what contextUnblock
// reports.
TEST_F(ContextTest, UnblockPushesByReturnType) {
  int32_t minus7 = -7, zero = 0;
  uint32_t five = 5;
  int handle = memAlloc(4), bad = -1;
  memcpy(memGetData(handle), "ab\0c", 4);
  LuaTable *table = tableNew(TABLE_ARRAY);
  tableAddArray(table, "one", TABLE_VALUE_STRING);
  struct Case {
    int returnType;
    void *param;
    const char *traced;
  } cases[] = {
      {BLOCK_RETURN_NONE, const_cast<char *>("x"), "0"},
      {BLOCK_RETURN_STRING, const_cast<char *>("texts"), "1 string texts"},
      {BLOCK_RETURN_STRING, nullptr, "1 nil nil"},
      {BLOCK_RETURN_INTEGER, &minus7, "1 number -7"},
      {BLOCK_RETURN_BOOLEAN, &five, "1 boolean true"},
      {BLOCK_RETURN_BOOLEAN, &zero, "1 boolean false"},
      {BLOCK_RETURN_TABLE, table, "1 table one"},
      {BLOCK_RETURN_HANDLE, &handle, "1 string 4"},
      {BLOCK_RETURN_HANDLE, &bad, "1 nil nil"},
      {2, &five, "1 nil nil"},
      {7, &five, "1 nil nil"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.returnType);
    std::string code = "local r = table.pack(t.block('ev', 4, " + std::to_string(k.returnType) +
                       ")) local v = r[1] local ty = type(v) " +
                       "if ty == 'table' then v = v[1] elseif ty == 'string' and #v == 4 " +
                       "then v = #v end if r.n == 0 then t.trace(0) else t.trace(r.n, ty, v) end";
    Context *c = start("u", code.c_str());
    run();
    int other = eventRegister("other"), ev = eventRegister("ev");
    EXPECT_EQ(contextUnblock(c, other, k.param), 0);  // another event: no change
    EXPECT_EQ(c->runState, CTX_BLOCKED);
    EXPECT_EQ(contextUnblock(c, ev, k.param), 1);
    EXPECT_EQ(c->runState, CTX_RUNNABLE);
    EXPECT_EQ(c->paramCount, k.returnType == BLOCK_RETURN_NONE ? 0 : 1);
    EXPECT_EQ(run(), Lines{k.traced});
  }
  EXPECT_FALSE(memIsValid(handle));
}

TEST_F(ContextTest, FatalErrorStopsEveryRun) {
  // The flag is never cleared: this runs in a process of its own.
  EXPECT_EXIT(
      {
        start("y", kYielder);
        nkloglevelset("test", "DBUG");
        contextSetFatalError();
        bool ok = contextAnyRunnable() == 0 && contextExecute() == 0 &&
                  log_.count("DBUG context: no runnable threads") >= 1 && w_->trace().empty();
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

int reenter(lua_State *) { return contextExecute(); }

TEST_F(ContextTest, MisuseStops) {
  lua_register(w_->L, "reenter", reenter);
  Context *c = start("r", "reenter()");
  start("y", kYielder);
  EXPECT_EXIT((nksetdefaultlog(stderr), contextExecute()), ::testing::ExitedWithCode(1),
              "Assertion failed file context line");
  EXPECT_EXIT((nksetdefaultlog(stderr), contextTaskStateAdd("s")), ::testing::ExitedWithCode(1),
              "Assertion failed file context line");
  c->anchorPosition = 0;
  EXPECT_EXIT((nksetdefaultlog(stderr), contextDestroy(c)), ::testing::ExitedWithCode(1),
              "Assertion failed file context line");
  c->anchorPosition = 1;
}

}  // namespace
