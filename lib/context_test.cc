#define NK_MODULE "context_test"
#include "context.h"

#include <stdlib.h>
#include <string.h>

#include <functional>

#include "nkluatest.h"
#include "nksyslog.h"
#include "table.h"

namespace {

using ContextTest = nktest::LuaWorldTest;

// contextGetLuaInfo's line and kind of code.
std::string luaInfo(Context *c) {
  int line = -1;
  char kind[8];
  contextGetLuaInfo(c, &line, kind);
  return std::to_string(line) + " " + kind;
}

// z blocks with type 3, so any event it filters wakes it; x yields; y wakes z and yields: z runs
// before x's second turn, though x reached the list first, and then finds the event queued.
TEST_F(ContextTest, YieldedTakeTurnsAndWokenContextsGoFirst) {
  start("z", "t.filter('go') t.trace('z', t.block('never', 3, 1)) t.trace(t.wait())");
  Context *x = start("x", "for i = 1, 3 do t.trace('x', i) t.yield() end");
  start("y",
        "t.trace('y', 1) t.post('go', 'p') t.yield() t.trace('y', 2) t.yield() t.trace('y', 3)");
  EXPECT_EQ(contextGetNextRunnable(x)->id, x->id + 1);
  EXPECT_EQ(contextExecute(), 10);
  EXPECT_EQ(run(), "x 1|y 1|z p|x 2|go p|y 2|x 3|y 3");
  EXPECT_EQ(contextAnyRunnable() + contextAnyWaiting(), 0);
}

// The run lists' change count moves with every operation that adds a context to them, takes
// one off or moves one, and stays put otherwise, so that a listing can go on from its place.
TEST_F(ContextTest, RunListChangesCountEveryMoveOfAContext) {
  Context *w = nullptr;
  const struct {
    const char *what;
    std::function<void()> operation;
    bool changes;
  } operations[] = {
      {"created", [&] { w = start("w", "t.waitfor('go') t.waitfor('never')"); }, true},
      {"a turn that waits", [&] { contextExecute(); }, true},
      {"walks, and a post that reaches nobody",
       [&] {
         contextGetNextWaiting(contextGetNextWaiting(nullptr));
         eventPost("nobody", nullptr, 0);
       },
       false},
      {"woken by a post", [&] { eventPost("go", nullptr, 0); }, true},
      {"a turn that waits again", [&] { contextExecute(); }, true},
      {"destroyed while waiting", [&] { contextDestroy(w); }, true},
  };
  for (const auto &op : operations) {
    uint32_t before = contextRunListChanges();
    op.operation();
    EXPECT_EQ(contextRunListChanges() != before, op.changes) << op.what;
  }
}

// Contexts that take an event leave the waiting list in its order, whatever the order of their
// interests: here they wait after 7, 1, 8, 2, ... turns.
TEST_F(ContextTest, WaitingContextsTakeEventsInTheOrderTheyWaited) {
  for (int k = 1; k <= 12; k++) {
    std::string code = "t.filter('go') for i = 1, " + std::to_string(k * 7 % 13) +
                       " do t.yield() end t.trace(select(2, t.wait()) .. " + std::to_string(k) +
                       ")";
    start("w" + std::to_string(k), code.c_str());
  }
  run();
  eventPost("go", "w", 0);
  EXPECT_EQ(run(), "w2|w4|w6|w8|w10|w12|w1|w3|w5|w7|w9|w11");
  // Pending events whose name went with the interest are dropped; the one after them is taken.
  start("c",
        "t.filter('gone') t.filter('kept') t.waitfor('now') t.clear('gone') t.trace(t.wait())");
  run();
  for (const char *name : {"gone", "gone", "kept", "now"}) eventPost(name, "p", 0);
  EXPECT_EQ(run(), "kept p");
}

// Handlers by task state; one that yields is finished by the continuation of the protected call.
TEST_F(ContextTest, TaskStatesHandlersArgumentsAndInformation) {
  std::ofstream(config_) << "scriptDir=" << dir_ << "/\n";  // a final "/" gives the same path
  configReadFile();
  eventRegister("other");
  Context *c = start(
      "args",
      "t.trace(...) t.trace(t.stateadd('idle'), t.stateadd('busy'), t.stateset('IDLE'), t.state(), "
      "t.stateset('x'), t.state()) t.filter('f') t.filter('go') "
      "t.handler('ev', '', function(n, p) t.trace('any', n, p, t.state()) end) "
      "t.handler('ev', 'BUSY', function(n, p) t.trace('busy', n, p) t.trace(t.wait()) end) "
      "t.handler('ev', 'x', print) t.dispatch('ev', '1') t.stateset('busy') t.dispatch('f') "
      "t.dispatch() t.dispatch('other') t.dispatch('ev', '2') "
      "for i = 3, 31 do t.stateadd('s' .. i) end t.trace(t.stateadd('s32')) "
      "t.setname(('n'):rep(300)) t.trace(t.info(('n'):rep(255), 'k', 'v')) t.wait()",
      {"a1", "a2"});
  EXPECT_EQ(run(), "a1 a2|0 0 0 1 -1 1|any ev 1 1|busy ev 2");
  eventPost("go", "y", 0);
  EXPECT_EQ(run(), "go y|-1|v");
  EXPECT_EQ(log_.count("WARN eventHandler register failed - unknown state x"), 1);
  EXPECT_EQ(log_.count("ERR  eventDispatch: No handler for event f in state 2/busy"), 1);
  EXPECT_EQ(log_.count("ERR  No interest registered in event other"), 1);
  EXPECT_EQ(strlen(c->name), 255u);                 // cut to fit
  EXPECT_STREQ(contextGetInfo(c->name, "k"), "v");  // found on the waiting list
  EXPECT_EQ(contextGetInfo("nobody", "k"), nullptr);
  EXPECT_EQ(luaInfo(c), "1 main");
  EXPECT_EQ(luaInfo(start("fresh", "return")), "0 ***");  // not started: no Lua frame
}

// 'first' returns at once and is destroyed in its first turn; the threads anchored above it move
// down one place and still run. Destroyed from inside another context, a context leaves that one
// current. A context that failed at creation is on no list and is freed with contextDestroy.
TEST_F(ContextTest, DestroyingAndErrors) {
  lua_register(L_, "destroy", [](lua_State *) {
    contextDestroy(contextGetNextWaiting(nullptr));
    return 0;
  });
  start("first", "return");
  Context *w1 = start("w1", "t.wait()"), *w2 = start("w2", "t.filter('go') t.trace(t.wait())");
  run();
  EXPECT_EQ(w2->anchorPosition, 2);
  contextDestroy(w1);  // not current: taken off the waiting list
  EXPECT_EQ(w2->anchorPosition, 1);
  lua_gc(L_, LUA_GCCOLLECT, 0);
  eventPost("go", "p", 0);
  start("victim", "t.filter('v') t.wait()");
  start("killer", "destroy() t.trace(t.state())");
  EXPECT_EQ(run(), "go p|0");
  for (Context *failed : {start("syntax", "x = = 1"), start("missing", nullptr)}) {
    EXPECT_EQ(failed->runState, CTX_FAILED);
    EXPECT_FALSE(listIsMember(&failed->node));
    contextDestroy(failed);
  }
  EXPECT_EQ(log_.count("syntax.lua:1:"), 1);  // the text Lua gave
  Context *bad = start("bad", "local function f(a) return a + 1 end\nt.filter('x')\nf()");
  start("gc", "for i = 1, 9 do setmetatable({}, {__gc = error}) end collectgarbage()");
  run();
  EXPECT_EQ(log_.count("ERR  handleLuaError: runtime error at line 1"), 1);
  EXPECT_EQ(log_.count("ERR  handleLuaError: unknown error 5"), 1);  // in a finaliser
  EXPECT_EQ(contextGetNextWaiting(nullptr), bad);  // parked for good, without interests
  EXPECT_TRUE(listEmpty(&bad->interests));
  EXPECT_EQ(luaInfo(bad), "1 Lua");  // where the error was raised
  bad->errorLevel = 1;
  EXPECT_EQ(luaInfo(bad), "3 main");  // its caller
}

// What a blocking call returns by return type (an undefined one pushes nil, so that the count and
// the stack agree), and what contextUnblock reports. The fatal error flag is never cleared: it is
// set in a process of its own.
TEST_F(ContextTest, UnblockPushesByReturnTypeAndMisuseStops) {
  int32_t minus7 = -7, zero = 0, five = 5, handle = memAlloc(4), bad = -1;
  char texts[] = "texts";
  memcpy(memGetData(handle), "ab\0c", 4);
  LuaTable *table = tableNew(TABLE_ARRAY);
  tableAddArray(table, "one", TABLE_VALUE_STRING);
  struct {
    int returnType;
    void *param;
    const char *traced;
  } cases[] = {
      {BLOCK_RETURN_NONE, &five, ""},         {BLOCK_RETURN_STRING, texts, "texts"},
      {BLOCK_RETURN_STRING, nullptr, "nil"},  {BLOCK_RETURN_INTEGER, &minus7, "-7"},
      {BLOCK_RETURN_BOOLEAN, &five, "true"},  {BLOCK_RETURN_BOOLEAN, &zero, "false"},
      {BLOCK_RETURN_TABLE, table, "one"},     {BLOCK_RETURN_HANDLE, &handle, "ab0c"},
      {BLOCK_RETURN_HANDLE, &bad, "nil"},     {2, &five, "nil"},
      {BLOCK_RETURN_INTEGER, nullptr, "nil"}, {7, &five, "nil"},
  };
  int other = eventRegister("other"), ev = eventRegister("ev");
  for (const auto &k : cases) {
    std::string code = "local r = table.pack(t.block('ev', 4, " + std::to_string(k.returnType) +
                       ")) local v = r[1] if type(v) == 'table' then v = v[1] elseif type(v) == "
                       "'string' then v = v:gsub('%z', '0') end if r.n > 0 then t.trace(v) end";
    Context *c = start("u", code.c_str());
    run();
    EXPECT_EQ(contextUnblock(c, other, k.param), 0);  // another event: no change
    EXPECT_EQ(c->runState, CTX_BLOCKED);
    EXPECT_EQ(contextUnblock(c, ev, k.param), 1);
    EXPECT_EQ(c->runState, CTX_RUNNABLE);
    EXPECT_EQ(run(), k.traced) << k.returnType;
  }
  EXPECT_FALSE(memIsValid(handle));
  lua_register(L_, "reenter", [](lua_State *) { return contextExecute(); });
  start("r", "reenter()");
  start("y", "t.yield()");
  nksetdefaultlog(stderr);
  EXPECT_EXIT(contextExecute(), ::testing::ExitedWithCode(1), "Assertion failed file context");
  EXPECT_EXIT((contextSetFatalError(),
               exit(contextAnyRunnable() == 0 && contextExecute() == 0 && run().empty() ? 0 : 1)),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
