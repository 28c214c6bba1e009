#define NK_MODULE "table_test"
#include "table.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lauxlib.h>
#include <lualib.h>

#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

struct MemEnvironment : ::testing::Environment {
  void SetUp() override { memInit(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new MemEnvironment);

// A table from text: [...] an array, {...} a dictionary, <...> a table of kind 3. Each item is
// added, with tableAddTable as key=value (=value: a null key) or with tableAddArray as value, and
// is refused if marked !. Values: integers, numbers with a point or exponent, 'texts' (no spaces),
// nil, null (a null text), #n (type n, null value) or tables. Keys and texts are overwritten
// once added: the table keeps copies.
LuaTable *build(const char *s, const char **end = nullptr) {
  const char close = *s == '[' ? ']' : *s == '{' ? '}' : '>';
  LuaTable *t = tableNew(close == ']' ? TABLE_ARRAY : close == '}' ? TABLE_DICT : 3);
  for (s++; *s != close; s += *s == ' ') {
    bool refused = *s == '!';
    size_t n = strcspn(s += refused, "= []{}<>'");
    bool keyed = s[n] == '=';
    std::string key(s, keyed ? n : 0), v;
    s += keyed ? n + 1 : 0;
    const void *p = strchr("[{<", *s) ? build(s, &s) : nullptr;
    if (!p) v.assign(s, strcspn(s, " ]}>")), s += v.size();
    double d = strtod(v.c_str(), nullptr);
    int32_t i = static_cast<int32_t>(strtol(v.c_str(), nullptr, 10));
    int type = p ? TABLE_VALUE_TABLE : TABLE_VALUE_INTEGER;
    if (!p) p = v.find_first_of(".e") == std::string::npos ? static_cast<void *>(&i) : &d;
    if (p == &d) type = TABLE_VALUE_DOUBLE;
    if (v == "nil") type = TABLE_VALUE_NIL, p = nullptr;
    if (v == "null") type = TABLE_VALUE_STRING, p = nullptr;
    if (v[0] == '#') type = atoi(&v[1]), p = nullptr;
    if (v[0] == '\'') type = TABLE_VALUE_STRING, v = v.substr(1, v.size() - 2), p = v.c_str();
    const char *k = key.empty() ? nullptr : key.c_str();
    EXPECT_EQ(keyed ? tableAddTable(t, k, p, type) : tableAddArray(t, p, type), refused ? -1 : 0);
    key.assign(key.size(), 'X'), v.assign(v.size(), 'X');
  }
  if (end) *end = s + 1;
  return t;
}

// Lua's allocator: new and larger blocks fail once the budget is spent.
int budget = INT_MAX;
void *limitedAlloc(void *, void *ptr, size_t osize, size_t nsize) {
  if (nsize == 0) return free(ptr), nullptr;
  return (ptr && nsize <= osize) || budget-- > 0 ? realloc(ptr, nsize) : nullptr;
}

// A Lua state with dump(v): any value as text, table keys sorted: {1=7,name="x"}.
lua_State *newState() {
  lua_State *L = lua_newstate(limitedAlloc, nullptr);
  luaL_openlibs(L);
  EXPECT_FALSE(luaL_dostring(L, R"(function dump(v)
    if type(v) ~= "table" then return type(v) == "string" and ("%q"):format(v) or tostring(v) end
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
    for i, k in ipairs(keys) do keys[i] = tostring(k) .. "=" .. dump(v[k]) end
    return "{" .. table.concat(keys, ",") .. "}"
  end)"));
  return L;
}
// The value on top of L as text; it stays there.
std::string dumpTop(lua_State *L) {
  lua_getglobal(L, "dump"), lua_pushvalue(L, -2), lua_call(L, 1, 1);
  std::string text = lua_tostring(L, -1);
  return lua_pop(L, 1), text;
}

class TableTest : public ::testing::Test {
 protected:
  void TearDown() override {
    lua_close(L_);
    EXPECT_EQ(memFreeHandleCount(), freeBefore_);  // every record, key and text freed
  }
  int freeBefore_ = memFreeHandleCount();
  lua_State *L_ = newState();
};

TEST_F(TableTest, BuildsAndConvertsInOrderConsumingTheEntriesOrRefuses) {
  const char kNoRoom[] = "WARN tableToLua: no room on the Lua stack";
  const char kDict[] = "WARN dict type was expected", kSimple[] = "WARN simple type was expected";
  struct Case {
    const char *shape;
    int room;         // slots left on the stack; 0: plenty
    const char *lua;  // null: refused, nothing pushed and the entries kept
    std::vector<std::string> log;
    int length = -1;  // where the border is unique
  } cases[] = {
      {"[7 'seven' nil]", 0, "{1=7,2=\"seven\"}", {}, 2},
      {"[null nil -2147483648 2147483647 1e300]", 0, "{3=-2147483648,4=2147483647,5=1e+300}", {}},
      {"[-0.125 '' '\xc3\xa9' 2.5]", 0, "{1=-0.125,2=\"\",3=\"\xc3\xa9\",4=2.5}", {}, 4},
      {"{name='x' k=1 r=0.5 none=nil gone=null k=2 j=3 j=nil}", 0, "{k=2,name=\"x\",r=0.5}", {}, 0},
      // Nested tables of no kind become nil.
      {"[1 <> {inner=['deep'] odd=<> empty={}}]", 0, "{1=1,3={empty={},inner={1=\"deep\"}}}", {}},
      // The kind is checked first; refused adds leave no trace, null texts and nils do.
      {"<!7 !k=1>", 0, nullptr, {kSimple, kDict}},
      {"[!k=1 !k=#9 !=1 #3 #5 7]", 0, "{3=7}", {kDict, kDict, kDict}},
      {"{!7 !#9 k=#3 j=#5}", 0, "{}", {kSimple, kSimple}},
      {"[!#0]", 0, "{}", {"WARN tableAddArray: unknown value type 0"}},
      {"{!k=#6}", 0, "{}", {"WARN tableAddTable: unknown value type 6"}},
      {"{!=1}", 0, "{}", {"WARN tableAddTable: null key"}},
      {"[!#1]", 0, "{}", {"WARN tableAddArray: null value for type 1"}},
      {"{!k=#2}", 0, "{}", {"WARN tableAddTable: null value for type 2"}},
      {"[!#4]", 0, "{}", {"WARN tableAddArray: null value for type 4"}},
      {"[1]", 1, nullptr, {kNoRoom}},
      {"[1]", 2, "{1=1}", {}},
      {"{a=1}", 2, nullptr, {kNoRoom}},
      {"{a=1}", 3, "{a=1}", {}},
      {"[[7] 8]", 2, "{2=8}", {kNoRoom}},
      {"[[7] 8]", 3, "{1={1=7},2=8}", {}},
      {"{a={b=1} c=2}", 4, "{c=2}", {kNoRoom}},
      {"{a={b=1} c=2}", 5, "{a={b=1},c=2}", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.shape) + " in " + std::to_string(c.room));
    nktest::LogCapture log;
    int before = memFreeHandleCount();
    LuaTable *t = build(c.shape);
    int entries = listCount(&t->entries);
    lua_pushstring(L_, "below");
    while (c.room && lua_checkstack(L_, c.room + 1)) lua_pushnil(L_);
    int top = lua_gettop(L_);
    ASSERT_EQ(tableToLua(t, L_), c.lua ? 1 : -1);
    EXPECT_EQ(lua_gettop(L_), top + (c.lua ? 1 : 0));
    EXPECT_EQ(listCount(&t->entries), c.lua ? 0 : entries);
    EXPECT_EQ(log.messages(), c.log);
    if (c.lua) {
      lua_copy(L_, -1, 2), lua_settop(L_, 2);
      EXPECT_STREQ(lua_tostring(L_, 1), "below");
      EXPECT_EQ(dumpTop(L_), c.lua);
      EXPECT_EQ(c.length < 0 ? -1 : static_cast<int>(lua_rawlen(L_, -1)), c.length);
      EXPECT_EQ(memFreeHandleCount(), before - 1);  // all gone but the emptied table
      EXPECT_EQ(tableToLua(t, L_), 1);
      EXPECT_EQ(dumpTop(L_), "{}");
    }
    lua_settop(L_, 0), tableDestroy(t);
  }
}

TEST_F(TableTest, PushEntryValueFreesTheEntryButNotTheKey) {
  LuaTable *t = build("{k=[[7] 'x']}");
  LuaTableEntry *entry = reinterpret_cast<LuaTableEntry *>(listPop(&t->entries));
  char *key = entry->key;
  pushEntryValue(L_, entry);
  EXPECT_EQ(lua_gettop(L_), 1);
  EXPECT_EQ(dumpTop(L_), "{1={1=7},2=\"x\"}");
  EXPECT_STREQ(key, "k");
  stringFreePtr(key), tableDestroy(t);
}

int convert(lua_State *L) { return tableToLua(static_cast<LuaTable *>(lua_touserdata(L, 1)), L); }

// An entry leaves its table only once stored, so whatever a Lua error cuts
// short stays with the table for tableDestroy.
TEST_F(TableTest, OutOfMemoryLeavesEverythingToDestroy) {
  int status = LUA_ERRMEM, failures = -1;
  while (status != LUA_OK && ++failures < 1000) {
    LuaTable *t = build("{a={b=1} c=2 list=[[7] 'text' 8] n=2.5}");
    lua_pushcfunction(L_, convert), lua_pushlightuserdata(L_, t);
    budget = failures, status = lua_pcall(L_, 1, 1, 0), budget = INT_MAX;
    EXPECT_TRUE(status == LUA_OK || status == LUA_ERRMEM) << status;
    lua_settop(L_, 0), tableDestroy(t);
    ASSERT_EQ(memFreeHandleCount(), freeBefore_) << "budget " << failures;
  }
  EXPECT_GT(failures, 5);
}

TEST(TableDeathTest, NullTableStopsTheProcess) {
  EXPECT_EXIT((nksetdefaultlog(stderr), tableAddArray(nullptr, nullptr, TABLE_VALUE_NIL)),
              ::testing::ExitedWithCode(1), "CRIT Assertion failed file table line [0-9]+\n");
}

}  // namespace
