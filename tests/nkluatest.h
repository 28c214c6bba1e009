// nkluatest.h -- the Lua world of the context and event tests: a fresh Lua state with events and
// contexts, and in the table `t` bindings that call the current context's operations and return
// the result, or yield where the call waits. A Lua error unwinds a binding with longjmp: none
// keeps a C++ object alive across a Lua call.
#ifndef NK_TESTS_NKLUATEST_H
#define NK_TESTS_NKLUATEST_H

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lauxlib.h>
#include <lualib.h>

#include "configfile.h"
#include "event.h"
#include "mem.h"
#include "nktest.h"

namespace nktest {

inline const char *s(lua_State *L, int i) { return luaL_optstring(L, i, nullptr); }
inline int ret(lua_State *L, int v, bool yield = false) {
  if (yield) return lua_yield(L, 0);
  lua_pushinteger(L, v);
  return 1;
}

inline const luaL_Reg kBindings[] = {
    {"yield",
     [](lua_State *L) { return ret(L, contextGetCurrent()->runState = CTX_RUNNABLE, true); }},
    {"wait", [](lua_State *L) { return ret(L, eventWait(), true); }},
    {"waitfor", [](lua_State *L) { return ret(L, eventWaitFor(s(L, 1)), true); }},
    {"request", [](lua_State *L) { return ret(L, eventRequest(s(L, 1), s(L, 2)), true); }},
    {"block",  // (event, block type, return type)
     [](lua_State *L) {
       int r = eventBlock(s(L, 1), luaL_checkint(L, 2), luaL_checkint(L, 3));
       return ret(L, r, r == 0);
     }},
    {"post",  // (event, param, blocking)
     [](lua_State *L) {
       int r = eventPost(s(L, 1), s(L, 2), lua_toboolean(L, 3));
       return ret(L, r, r == -1 && lua_toboolean(L, 3));
     }},
    {"reply", [](lua_State *L) { return ret(L, eventReply(s(L, 1), s(L, 2))); }},
    {"filter", [](lua_State *L) { return ret(L, eventFilter(s(L, 1))); }},
    {"clear", [](lua_State *L) { return ret(L, eventHandlerClear(s(L, 1))); }},
    {"handler",  // (event, state, function): the function is on top
     [](lua_State *L) {
       return ret(L, eventHandler(s(L, 1), s(L, 2), luaL_ref(L, LUA_REGISTRYINDEX)));
     }},
    {"dispatch", [](lua_State *L) { return ret(L, eventDispatch(s(L, 1), s(L, 2))); }},
    {"stateadd", [](lua_State *L) { return ret(L, contextTaskStateAdd(s(L, 1))); }},
    {"stateset", [](lua_State *L) { return ret(L, contextTaskStateSet(s(L, 1))); }},
    {"state", [](lua_State *L) { return ret(L, contextTaskStateGet()); }},
    {"setname", [](lua_State *L) { return contextSetName(s(L, 1)), 0; }},
    {"info",  // (context, key, value): sets key of the current context, then looks it up
     [](lua_State *L) {
       contextSetInfo(s(L, 2), s(L, 3));
       lua_pushstring(L, contextGetInfo(s(L, 1), s(L, 2)));
       return 1;
     }},
    {nullptr, nullptr}};

// What a test sees: the world, the log captured, and every handle given back at the end.
class LuaWorldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    [[maybe_unused]] static const bool ready = (memInit(), true);
    free_ = memFreeHandleCount();
    std::ofstream(config_) << "scriptDir=" << dir_ << "\n";
    configSetFile(config_.c_str());
    configReadFile();
    eventInit();
    luaL_openlibs(L_);
    luaL_newlib(L_, kBindings);
    lua_setglobal(L_, "t");
    ASSERT_EQ(luaL_dostring(L_,
                            "out = {} function t.trace(...) local s = table.pack(...) for i = "
                            "1, s.n do s[i] = tostring(s[i]) end out[#out + 1] = "
                            "table.concat(s, ' ', 1, s.n) end"),
              0);
    contextInit(L_);
  }
  void TearDown() override {
    while (Context *c = contextGetNextRunnable(nullptr)) contextDestroy(c);
    while (Context *c = contextGetNextWaiting(nullptr)) contextDestroy(c);
    eventClose();
    lua_close(L_);
    configCloseFile();
    EXPECT_EQ(memFreeHandleCount(), free_);
  }
  // Writes the script (unless code is null) and creates its context with args as argv[1..].
  Context *start(const std::string &name, const char *code, std::vector<const char *> args = {}) {
    if (code) std::ofstream(dir_ + "/" + name + ".lua") << code;
    args.insert(args.begin(), name.c_str());
    return contextCreate(args[0], static_cast<int>(args.size()), const_cast<char **>(args.data()));
  }
  // contextExecute, then the lines t.trace recorded since the last run, joined by "|".
  std::string run() {
    contextExecute();
    luaL_dostring(L_, "local s = table.concat(out, '|') out = {} return s");
    std::string s = lua_tostring(L_, -1);
    lua_pop(L_, 1);
    return s;
  }
  LogCapture log_;
  int free_ = 0;
  lua_State *L_ = luaL_newstate();
  std::string dir_ = systemPath("/tmp"), config_ = dir_ + "/test.conf";
};

}  // namespace nktest

#endif  // NK_TESTS_NKLUATEST_H
