#define NK_MODULE "context_test"
#include "context.h"

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "nkluatest.h"
#include "nksyslog.h"
#include "table.h"

namespace {

using ContextTest = nktest::LuaWorldTest;
const char kYielder[] = "local me = ... for i = 1, 3 do t.trace(me, i) t.yield() end";

// z waits; x yields; y wakes z and yields: z runs before x's second turn, though x reached the
// list first.
TEST_F(ContextTest, YieldedTakeTurnsAndWokenContextsGoFirst) {
  start("z", "t.filter('go') t.trace('z', t.wait())");
  Context *x = start("yielder", kYielder, {"x"});
  start("y",
        "t.trace('y', 1) t.post('go', 'p') t.yield() t.trace('y', 2) t.yield() t.trace('y', 3)");
  EXPECT_EQ(contextGetNextRunnable(x)->id, x->id + 1);
  EXPECT_EQ(contextExecute(), 9);
  EXPECT_EQ(run(), "x 1|y 1|z go p|x 2|y 2|x 3|y 3");
  EXPECT_EQ(contextAnyRunnable() + contextAnyWaiting(), 0);
}

TEST_F(ContextTest, WaitingBlockedRequestsAndBlockTypeThree) {
  Context *w = start("w", "t.filter('a') t.filter('b') t.trace('w', t.wait())");
  Context *b = start("b", "t.trace('b', t.waitfor('b'))");
  start("any", "t.filter('a') t.trace('any', t.block('b', 3, 1)) t.trace(t.wait())");
  start("server", "t.filter('ask') local n, p = t.wait() t.reply('ask', n .. ':' .. p)");
  start("client", "t.trace(t.request('ask', 'q1'))");
  EXPECT_EQ(run(), "ask:q1");
  EXPECT_EQ(w->runState, CTX_WAITING);
  EXPECT_EQ(contextAnyWaiting(), 1);
  // 'a' reaches w (queued), not b, and wakes 'any' (type 3) at once, which then also finds 'a'
  // queued.
  eventPost("a", "pa", 0);
  EXPECT_EQ(b->runState, CTX_BLOCKED);
  EXPECT_EQ(run(), "any pa|w a pa|a pa");
  eventPost("b", "pb", 0);
  EXPECT_EQ(run(), "b pb");
}

// The full context blocks on 'never' with 'e' filtered: it fetches nothing.
TEST_F(ContextTest, FullQueueLosesOrDefersThePost) {
  Context *full =
      start("full", "t.filter('e') t.waitfor('never') t.trace(t.wait()) t.trace(t.wait())");
  run();
  for (int i = 1; i <= MAX_PENDING_EVENTS; i++) eventPost("e", std::to_string(i).c_str(), 0);
  EXPECT_EQ(eventPost("e", "lost", 0), -1);
  // A blocking poster blocks until the full context fetches. The fetch, its move and the re-post
  // (a nested scheduling pass) must not interleave: the full context gets 1, then 2, and the
  // poster the text of its post.
  start("poster", "t.trace('poster', t.post('e', 'x', true))");
  EXPECT_EQ(run(), "");
  EXPECT_EQ(contextGetNextWaiting(full)->blockingId, eventRegister("e-blocked"));
  eventPost("never", nullptr, 0);
  EXPECT_EQ(run(), "e 1|poster x|e 2");
}

// The full context drops its interest: its pending events lose their name and are dropped when
// it waits, each fetch still re-posting what it deferred, so the blocked poster wakes.
TEST_F(ContextTest, PendingEventsWhoseNameIsGoneAreDropped) {
  Context *full = start("full", "t.filter('e') t.waitfor('never') t.clear('e') t.wait()");
  run();
  for (int i = 0; i < MAX_PENDING_EVENTS; i++) eventPost("e", nullptr, 0);
  start("poster", "t.trace('poster', t.post('e', 'x', true))");
  run();
  eventPost("never", nullptr, 0);
  EXPECT_EQ(run(), "poster x");
  EXPECT_EQ(full->pendingCount, 0);
}

TEST_F(ContextTest, HandlersByTaskState) {
  start("h",
        "t.stateadd('idle') t.stateadd('busy') t.filter('f') "
        "t.handler('ev', '', function(n, p) t.trace('any', n, p, t.state()) end) "
        "t.handler('ev', 'BUSY', function(n, p) t.trace('busy', n, p) end) t.handler('ev', 'x', "
        "print) t.dispatch('ev', '1') t.stateset('idle') t.dispatch('ev', '2') "
        "t.stateset('busy') t.dispatch('ev', '3') t.dispatch('f') t.dispatch() t.yield() "
        "t.dispatch('other')");
  start("other", "t.filter('other') t.wait()");
  EXPECT_EQ(run(), "any ev 1 0|any ev 2 1|busy ev 3");
  EXPECT_EQ(log_.count("WARN eventHandler register failed - unknown state x"), 1);
  EXPECT_EQ(log_.count("ERR  eventDispatch: No handler for event f in state 2/busy"), 1);
  EXPECT_EQ(log_.count("ERR  No interest registered in event other"), 1);
}

// The handler yields inside the protected call: the continuation finishes the dispatch.
TEST_F(ContextTest, HandlerThatYieldsIsFinishedByTheContinuation) {
  start("h",
        "t.filter('go') t.handler('ev', '', function(n, p) t.trace(p) t.trace(t.wait()) end) "
        "t.dispatch('ev', 'x') t.trace('after') t.yield() t.trace('end')");
  EXPECT_EQ(run(), "x");
  eventPost("go", "y", 0);
  EXPECT_EQ(run(), "go y|after|end");
}

TEST_F(ContextTest, LoadAndRunErrors) {
  for (Context *c : {start("syntax", "x = = 1"), start("missing", nullptr)}) {
    EXPECT_EQ(c->runState, CTX_FAILED);
    EXPECT_FALSE(listIsMember(&c->node));  // on no list
    contextDestroy(c);                     // the way to free a context that failed at creation
  }
  EXPECT_EQ(log_.count("received error 7 from lua loadfile " + dir_ + "/missing.lua"), 1);
  Context *c = start("bad", "t.filter('x')\nlocal function f(a) return a + 1 end\nf()");
  start("gc", "for i = 1, 9 do setmetatable({}, {__gc = error}) end collectgarbage()");
  run();
  EXPECT_EQ(log_.count("ERR  handleLuaError: runtime error at line 2"), 1);
  EXPECT_EQ(log_.count("attempt to perform arithmetic on local 'a' (a nil value)"), 1);
  EXPECT_EQ(log_.count("ERR  handleLuaError: unknown error 5"), 1);  // in a finaliser
  EXPECT_EQ(contextGetNextWaiting(nullptr), c);  // parked for good, without interests
  EXPECT_TRUE(listEmpty(&c->interests));
  int line = -1;
  char kind[8];
  for (int level : {0, 1}) {  // where the error was raised, or its caller's line
    c->errorLevel = level;
    contextGetLuaInfo(c, &line, kind);
    EXPECT_EQ(line, level + 2);
    EXPECT_STREQ(kind, level ? "main" : "Lua");
  }
}

// 'first' returns at once and is destroyed in its first turn; the threads anchored above it move
// down one place and still run. Destroyed from inside another context, a context leaves that one
// current.
TEST_F(ContextTest, DestroyingRenumbersTheAnchorStack) {
  lua_register(L_, "destroy", [](lua_State *) {
    contextDestroy(contextGetNextWaiting(nullptr));
    return 0;
  });
  Context *c[3];
  for (int i = 0; i < 3; i++) {
    c[i] = start(i ? "waiter" : "first", i ? "t.filter('go') t.trace(t.wait())" : "return");
    EXPECT_EQ(c[i]->anchorPosition, i + 1);
  }
  run();
  EXPECT_EQ(c[2]->anchorPosition, 2);
  contextDestroy(c[1]);  // not current: taken off the waiting list
  EXPECT_EQ(c[2]->anchorPosition, 1);
  lua_gc(L_, LUA_GCCOLLECT, 0);
  eventPost("go", "p", 0);
  start("victim", "t.filter('v') t.wait()");
  start("killer", "destroy() t.trace(t.state())");
  EXPECT_EQ(run(), "go p|0");
}

// A script directory named with a final "/" gives the same path.
TEST_F(ContextTest, ArgumentsTaskStatesAndInformation) {
  std::ofstream(config_) << "scriptDir=" << dir_ << "/\n";
  configReadFile();
  Context *c = start("args",
                     "t.trace(...) t.trace(t.stateadd('idle'), t.stateadd('busy'), "
                     "t.stateset('IDLE'), t.state(), t.stateset('x'), t.state()) "
                     "for i = 3, 31 do t.stateadd('s' .. i) end t.trace(t.stateadd('s32')) "
                     "t.trace(t.info('args', 'k', 'v')) t.wait()",
                     {"a1", "a2"});
  EXPECT_EQ(run(), "a1 a2|0 0 0 1 -1 1|-1|v");
  EXPECT_STREQ(contextGetInfo("args", "k"), "v");  // found on the waiting list
  EXPECT_EQ(contextGetInfo("nobody", "k"), nullptr);
  int line = -1;
  char kind[8];
  contextGetLuaInfo(c, &line, kind);
  EXPECT_EQ(line, 1);
  EXPECT_STREQ(kind, "main");
  contextGetLuaInfo(start("fresh", "return"), &line, kind);  // not started: no Lua frame
  EXPECT_EQ(line, 0);
  EXPECT_STREQ(kind, "***");
}

// What a blocking call returns by return type, and what contextUnblock reports.
TEST_F(ContextTest, UnblockPushesByReturnType) {
  int32_t minus7 = -7, zero = 0, five = 5, handle = memAlloc(4), bad = -1;
  memcpy(memGetData(handle), "ab\0c", 4);
  LuaTable *table = tableNew(TABLE_ARRAY);
  tableAddArray(table, "one", TABLE_VALUE_STRING);
  struct {
    int returnType;
    void *param;
    const char *traced;
  } cases[] = {
      {BLOCK_RETURN_NONE, &five, ""},
      {BLOCK_RETURN_STRING, const_cast<char *>("texts"), "texts"},
      {BLOCK_RETURN_STRING, nullptr, "nil"},
      {BLOCK_RETURN_INTEGER, &minus7, "-7"},
      {BLOCK_RETURN_BOOLEAN, &five, "true"},
      {BLOCK_RETURN_BOOLEAN, &zero, "false"},
      {BLOCK_RETURN_TABLE, table, "one"},
      {BLOCK_RETURN_HANDLE, &handle, "ab0c"},
      {BLOCK_RETURN_HANDLE, &bad, "nil"},
      {2, &five, "nil"},
  };
  int other = eventRegister("other"), ev = eventRegister("ev");
  for (const auto &k : cases) {
    SCOPED_TRACE(k.returnType);
    Context *c =
        start("u", ("local r = table.pack(t.block('ev', 4, " + std::to_string(k.returnType) +
                    ")) local v = r[1] if type(v) == 'table' then v = v[1] elseif type(v) == "
                    "'string' then v = v:gsub('%z', '0') end if r.n > 0 then t.trace(v) end")
                       .c_str());
    run();
    EXPECT_EQ(contextUnblock(c, other, k.param), 0);  // another event: no change
    EXPECT_EQ(c->runState, CTX_BLOCKED);
    EXPECT_EQ(contextUnblock(c, ev, k.param), 1);
    EXPECT_EQ(c->runState, CTX_RUNNABLE);
    EXPECT_EQ(run(), k.traced);
  }
  EXPECT_FALSE(memIsValid(handle));
}

TEST_F(ContextTest, FatalErrorStopsEveryRun) {
  // The flag is never cleared: this runs in a process of its own.
  EXPECT_EXIT(
      {
        start("y", kYielder);
        contextSetFatalError();
        exit(contextAnyRunnable() == 0 && contextExecute() == 0 && run().empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ContextTest, MisuseStops) {
  const char kAssert[] = "Assertion failed file context line";
  lua_register(L_, "reenter", [](lua_State *) { return contextExecute(); });
  Context *c = start("r", "reenter()");
  start("y", kYielder);
  nksetdefaultlog(stderr);
  EXPECT_EXIT(contextExecute(), ::testing::ExitedWithCode(1), kAssert);
  EXPECT_EXIT(contextTaskStateAdd("s"), ::testing::ExitedWithCode(1), kAssert);
  c->anchorPosition = 0;
  EXPECT_EXIT(contextDestroy(c), ::testing::ExitedWithCode(1), kAssert);
  c->anchorPosition = 1;
}

}  // namespace
