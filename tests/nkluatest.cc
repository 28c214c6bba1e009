// nkluatest -- the Lua world of the event, context and timer tests.
//
// The bindings are plain C functions: a Lua error unwinds them with longjmp,
// so none keeps a C++ object alive across a Lua call.
#include "nkluatest.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <lauxlib.h>
#include <lualib.h>

#include "configfile.h"
#include "event.h"
#include "mem.h"

namespace nktest {

namespace {

std::vector<std::string> traced;

int tTrace(lua_State *L) {
  int n = lua_gettop(L);
  for (int i = 1; i <= n; i++) {
    luaL_tolstring(L, i, nullptr);
    if (i < n) lua_pushliteral(L, " ");
  }
  lua_concat(L, n > 0 ? 2 * n - 1 : 0);
  traced.push_back(lua_tostring(L, -1));
  return 0;
}

int tYield(lua_State *L) {
  contextGetCurrent()->runState = CTX_RUNNABLE;
  return lua_yield(L, 0);
}

int tWait(lua_State *L) {
  eventWait();
  return lua_yield(L, 0);
}

int tWaitFor(lua_State *L) {
  eventWaitFor(luaL_checkstring(L, 1));
  return lua_yield(L, 0);
}

int tBlock(lua_State *L) {
  int r = eventBlock(luaL_checkstring(L, 1), static_cast<int>(luaL_checkinteger(L, 2)),
                     static_cast<int>(luaL_checkinteger(L, 3)));
  if (r != 0) {
    lua_pushinteger(L, r);
    return 1;
  }
  return lua_yield(L, 0);
}

int tPost(lua_State *L) {
  int blocking = lua_toboolean(L, 3);
  int r = eventPost(luaL_checkstring(L, 1), luaL_optstring(L, 2, nullptr), blocking);
  if (r == -1 && blocking) return lua_yield(L, 0);
  lua_pushinteger(L, r);
  return 1;
}

int tRequest(lua_State *L) {
  eventRequest(luaL_checkstring(L, 1), luaL_optstring(L, 2, nullptr));
  return lua_yield(L, 0);
}

int tReply(lua_State *L) {
  eventReply(luaL_checkstring(L, 1), luaL_optstring(L, 2, nullptr));
  return 0;
}

int tFilter(lua_State *L) {
  eventFilter(luaL_checkstring(L, 1));
  return 0;
}

int tClear(lua_State *L) {
  eventHandlerClear(luaL_checkstring(L, 1));
  return 0;
}

int tHandler(lua_State *L) {
  luaL_checktype(L, 3, LUA_TFUNCTION);
  lua_pushvalue(L, 3);
  int ref = luaL_ref(L, LUA_REGISTRYINDEX);
  eventHandler(luaL_checkstring(L, 1), luaL_checkstring(L, 2), ref);
  return 0;
}

int tDispatch(lua_State *L) {
  lua_pushinteger(L, eventDispatch(luaL_optstring(L, 1, nullptr), luaL_optstring(L, 2, "")));
  return 1;
}

int tStateAdd(lua_State *L) {
  lua_pushinteger(L, contextTaskStateAdd(luaL_checkstring(L, 1)));
  return 1;
}

int tStateFind(lua_State *L) {
  lua_pushinteger(L, contextTaskStateFind(luaL_checkstring(L, 1)));
  return 1;
}

int tStateSet(lua_State *L) {
  contextTaskStateSet(luaL_checkstring(L, 1));
  return 0;
}

int tState(lua_State *L) {
  lua_pushinteger(L, contextTaskStateGet());
  lua_pushstring(L, contextTaskStateGetName());
  return 2;
}

int tSetName(lua_State *L) {
  contextSetName(luaL_checkstring(L, 1));
  return 0;
}

int tSetInfo(lua_State *L) {
  contextSetInfo(luaL_checkstring(L, 1), luaL_checkstring(L, 2));
  return 0;
}

int tGetInfo(lua_State *L) {
  lua_pushstring(L, contextGetInfo(luaL_checkstring(L, 1), luaL_checkstring(L, 2)));
  return 1;
}

int tStart(lua_State *L) {
  int argc = lua_gettop(L);
  char *argv[16] = {};
  luaL_argcheck(L, argc < 16, 16, "too many arguments");
  for (int i = 1; i <= argc; i++) argv[i - 1] = const_cast<char *>(luaL_checkstring(L, i));
  lua_pushinteger(L, contextCreate(argv[0], argc, argv)->id);
  return 1;
}

const luaL_Reg kBindings[] = {
    {"trace", tTrace},         {"yield", tYield},       {"wait", tWait},
    {"waitfor", tWaitFor},     {"block", tBlock},       {"post", tPost},
    {"request", tRequest},     {"reply", tReply},       {"filter", tFilter},
    {"clear", tClear},         {"handler", tHandler},   {"dispatch", tDispatch},
    {"stateadd", tStateAdd},   {"stateset", tStateSet}, {"state", tState},
    {"statefind", tStateFind}, {"setname", tSetName},   {"setinfo", tSetInfo},
    {"getinfo", tGetInfo},     {"start", tStart},       {nullptr, nullptr}};

void writeFile(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) abort();
  fputs(text.c_str(), f);
  fclose(f);
}

}  // namespace

LuaWorld::LuaWorld() {
  char dirTemplate[] = "/tmp/nkluatest-XXXXXX";
  if (!mkdtemp(dirTemplate)) abort();
  dir = dirTemplate;
  config = dir + "/test.conf";
  writeFile(config, "scriptDir=" + dir + "\n");
  configSetFile(config.c_str());
  configReadFile();
  traced.clear();
  eventInit();
  L = luaL_newstate();
  luaL_openlibs(L);
  luaL_newlib(L, kBindings);
  lua_setglobal(L, "t");
  contextInit(L);
}

LuaWorld::~LuaWorld() {
  while (Context *c = contextGetNextRunnable(nullptr)) contextDestroy(c);
  while (Context *c = contextGetNextWaiting(nullptr)) contextDestroy(c);
  eventClose();
  lua_close(L);
  configCloseFile();
  std::string rm = "rm -rf '" + dir + "'";
  if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}

void LuaWorld::script(const std::string &name, const std::string &code) {
  writeFile(dir + "/" + name + ".lua", code);
}

Context *LuaWorld::start(const std::string &name, const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(name.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  return contextCreate(name.c_str(), static_cast<int>(argv.size()), argv.data());
}

std::vector<std::string> LuaWorld::trace() {
  std::vector<std::string> out;
  out.swap(traced);
  return out;
}

void LuaWorldTest::SetUpTestSuite() {
  static bool ready = (memInit(), true);
  (void)ready;
}

void LuaWorldTest::SetUp() {
  free_ = memFreeHandleCount();
  w_ = std::make_unique<LuaWorld>();
}

void LuaWorldTest::TearDown() {
  w_.reset();
  EXPECT_EQ(memFreeHandleCount(), free_);
}

Context *LuaWorldTest::start(const char *name, const char *code) {
  w_->script(name, code);
  return w_->start(name);
}

std::vector<std::string> LuaWorldTest::run() {
  contextExecute();
  return w_->trace();
}

}  // namespace nktest
