#define NK_MODULE "table_test"
#include "table.h"

#include <stdlib.h>
#include <string.h>

#include "nkluatest.h"
#include "nkstrings.h"
#include "nksyslog.h"

namespace {

// A table from text: [...] an array, {...} a dictionary, <...> a table of kind 3. An item is
// key=value (tableAddTable; =value: a null key) or value (tableAddArray), refused if marked !.
// Values: integers, numbers with a point or exponent, 'texts', nil, null (a null text), #n (type
// n, null value) or tables. Keys and texts are overwritten once added: the table keeps copies.
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
    if (!p) v.assign(s, strcspn(s, " ]}>"));
    s += v.size();
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
    key.assign(key.size(), 'X');
    v.assign(v.size(), 'X');
  }
  if (end) *end = s + 1;
  return t;
}

// Lua's allocator: new and larger blocks fail once the budget is spent; and a call of tableToLua.
int budget = 1 << 30;
void *limitedAlloc(void *, void *ptr, size_t osize, size_t nsize) {
  if (nsize == 0) return free(ptr), nullptr;
  return (ptr && nsize <= osize) || budget-- > 0 ? realloc(ptr, nsize) : nullptr;
}
int convert(lua_State *L) { return tableToLua(static_cast<LuaTable *>(lua_touserdata(L, 1)), L); }

class TableTest : public nktest::LuaWorldTest {
 protected:
  void SetUp() override {
    LuaWorldTest::SetUp();
    ASSERT_EQ(luaL_dostring(L_, R"(function dump(v)  -- any value as text, items sorted: {1=7,k="x"}
      if type(v) ~= "table" then return type(v) == "string" and ("%q"):format(v) or tostring(v) end
      local items = {}
      for k, x in pairs(v) do items[#items + 1] = tostring(k) .. "=" .. dump(x) end
      table.sort(items)
      return "{" .. table.concat(items, ",") .. "}"
    end)"),
              0);
    lua_settop(L_, 0);
  }
  // Pops the value on top and gives it as text.
  std::string dump() {
    lua_getglobal(L_, "dump");
    lua_insert(L_, -2);
    lua_call(L_, 1, 1);
    std::string text = lua_tostring(L_, -1);
    lua_pop(L_, 1);
    return text;
  }
};

// Each table asks for its own stack room: 2 slots for an array, 3 for a dictionary.
TEST_F(TableTest, BuildsAndConvertsInOrderConsumingTheEntriesOrRefuses) {
  const std::string kArray = "WARN tableAddArray: ", kDict = "WARN dict type was expected",
                    kSimple = "WARN simple type was expected",
                    kNoRoom = "WARN tableToLua: no room on the Lua stack";
  struct {
    int room;  // slots left on the stack; 0: plenty
    const char *shape;
    const char *lua;  // null: refused, nothing pushed and the entries kept
    std::vector<std::string> log;
  } cases[] = {
      {0,
       "[-2147483648 'é' null nil 1e300 -0.125 [7] {k=1 j=2 k='x' j=nil} <>]",
       "{1=-2147483648,2=\"é\",5=1e+300,6=-0.125,7={1=7},8={k=\"x\"}}",
       {}},
      // The kind is checked first; refused adds leave no trace, null texts and nils do.
      {0, "<!7 !k=1>", nullptr, {kSimple, kDict}},
      {0,
       "[!k=1 !#0 !#1 !#2 !#4 !#6 #3 #5 7]",
       "{3=7}",
       {kDict, kArray + "unknown value type 0", kArray + "null value for type 1",
        kArray + "null value for type 2", kArray + "null value for type 4",
        kArray + "unknown value type 6"}},
      {0, "{!7 !=1 k=#3 j=#5}", "{}", {kSimple, "WARN tableAddTable: null key"}},
      {1, "[1]", nullptr, {kNoRoom}},
      {2, "[1]", "{1=1}", {}},
      {2, "{a=1}", nullptr, {kNoRoom}},
      {3, "{a=1}", "{a=1}", {}},
      {2, "[[7] 8]", "{2=8}", {kNoRoom}},  // a nested table without room stands as nil
      {4, "{a={b=1} c=2}", "{c=2}", {kNoRoom}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.shape) + " in " + std::to_string(c.room));
    nktest::LogCapture log;
    int before = memFreeHandleCount();
    LuaTable *t = build(c.shape);
    int entries = listCount(&t->entries);
    while (c.room && lua_checkstack(L_, c.room + 1)) lua_pushnil(L_);
    int top = lua_gettop(L_);
    ASSERT_EQ(tableToLua(t, L_), c.lua ? 1 : -1);
    EXPECT_EQ(lua_gettop(L_), top + (c.lua ? 1 : 0));
    EXPECT_EQ(listCount(&t->entries), c.lua ? 0 : entries);
    EXPECT_EQ(log.messages(), c.log);
    if (c.lua) {
      lua_copy(L_, -1, 1);  // room for dump
      lua_settop(L_, 1);
      EXPECT_EQ(dump(), c.lua);
      EXPECT_EQ(memFreeHandleCount(), before - 1);  // all gone but the emptied table
    }
    lua_settop(L_, 0);
    tableDestroy(t);
  }
  EXPECT_EXIT((nksetdefaultlog(stderr), tableAddArray(nullptr, nullptr, TABLE_VALUE_NIL)),
              ::testing::ExitedWithCode(1), "CRIT Assertion failed file table line [0-9]+\n");
}

// pushEntryValue frees the entry but not its key, which stays the caller's. An entry leaves its
// table only once stored, so whatever a Lua error (out of memory) cuts short stays with the
// table for tableDestroy.
TEST_F(TableTest, PushEntryValueAndOutOfMemory) {
  LuaTable *t = build("{k=[[7] 'x']}");
  LuaTableEntry *entry = reinterpret_cast<LuaTableEntry *>(listPop(&t->entries));
  char *key = entry->key;
  pushEntryValue(L_, entry);
  EXPECT_EQ(lua_gettop(L_), 1);
  EXPECT_EQ(dump(), "{1={1=7},2=\"x\"}");
  EXPECT_STREQ(key, "k");
  stringFreePtr(key);
  tableDestroy(t);
  int status = LUA_ERRMEM, failures = -1, handles = memFreeHandleCount();
  while (status != LUA_OK && ++failures < 1000) {
    t = build("{a={b=1} c=2 list=[[7] 'text' 8] n=2.5}");
    lua_pushcfunction(L_, convert);
    lua_pushlightuserdata(L_, t);
    lua_setallocf(L_, limitedAlloc, nullptr);
    budget = failures;
    status = lua_pcall(L_, 1, 1, 0);
    budget = 1 << 30;
    EXPECT_TRUE(status == LUA_OK || status == LUA_ERRMEM) << status;
    lua_settop(L_, 0);
    tableDestroy(t);
    ASSERT_EQ(memFreeHandleCount(), handles) << "budget " << failures;
  }
  EXPECT_GT(failures, 5);
}

}  // namespace
