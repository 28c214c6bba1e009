// fuzz_table -- tableToLua over tables built by a program: the root's kind
// (a byte: array, dictionary, or one that does not convert), then operations
// by their low 3 bits: 0 open a nested table (kind byte); 1 close it into its
// parent; 2 add an int32; 3 a double; 4 a text (length byte, bytes; bit 0x40:
// null); 5 a nil; 6 a value of any type (a byte; bit 0x20: null pointer); 7 a
// dictionary add with a null key. Bit 0x10: tableAddTable with a key (a byte:
// below 0xF0 a short one, else its low 4 bits a length), else tableAddArray.
// Results follow from kinds and arguments; the Lua table has the keys stored.
#include <lauxlib.h>
#include <lua.h>

#include "fuzz_common.h"
#include "table.h"

struct Open {
  LuaTable *table;
  int kind;
  std::map<std::string, bool> keys;  // whether the entry is not nil (an array's: by position)
};

static FuzzInput prog;
static std::vector<Open> stack;

static bool converts(int kind) { return kind == TABLE_ARRAY || kind == TABLE_DICT; }

static void push() {
  static const int kKinds[] = {TABLE_ARRAY, TABLE_ARRAY, TABLE_DICT, TABLE_DICT, 0, 3};
  int kind = kKinds[prog.byte() % 6];
  stack.push_back({tableNew(kind), kind, {}});
}

// Adds to the innermost table by the call op chooses; nil: Lua sees no value.
static int add(uint8_t op, int type, const void *value, bool nil) {
  static const char *const kKeys[] = {"a", "b", "key", "", "1", "value"};
  Open &top = stack.back();
  bool dict = op & 0x10, ok = type >= TABLE_VALUE_INTEGER && type <= TABLE_VALUE_NIL &&
                              (value || type == TABLE_VALUE_STRING || type == TABLE_VALUE_NIL);
  uint8_t b = dict ? prog.byte() : 0;
  std::string key = !dict      ? std::to_string(top.keys.size())
                    : b < 0xF0 ? kKeys[b % 6]
                               : prog.bytes(b & 0x0f).c_str();
  int result = dict ? tableAddTable(top.table, key.c_str(), value, type)
                    : tableAddArray(top.table, value, type);
  FUZZ_CHECK(result == (ok && top.kind == (dict ? TABLE_DICT : TABLE_ARRAY) ? 0 : -1));
  if (result == 0) top.keys[key] = !nil;
  return result;
}

// The innermost table goes to its parent; one the parent refuses is destroyed.
static void pop(uint8_t op) {
  Open child = stack.back();
  stack.pop_back();
  if (add(op, TABLE_VALUE_TABLE, child.table, !converts(child.kind)) != 0)
    tableDestroy(child.table);
}

FUZZ_TARGET() {
  prog = in;
  stack.clear();
  push();
  for (int ops = 0; ops < 4096 && prog.p < prog.end; ops++) {
    uint8_t op = prog.byte(), code = op & 7;
    int32_t integer = code == 2 ? prog.get<int32_t>() : 7;
    double number = code == 3 ? prog.get<double>() : 1;
    std::string s = code == 4 && !(op & 0x40) ? prog.bytes(prog.byte()).c_str() : "";
    int type = code == 6 ? prog.byte() % 8 : TABLE_VALUE_INTEGER;  // 0, 6, 7 and 9: no value type
    if (type == TABLE_VALUE_STRING || type == TABLE_VALUE_TABLE) type = 9;
    if (code == 0 && stack.size() < 64) push();
    if (code == 1 && stack.size() > 1) pop(op);
    if (code == 2) add(op, TABLE_VALUE_INTEGER, &integer, false);
    if (code == 3) add(op, TABLE_VALUE_DOUBLE, &number, false);
    if (code == 4) add(op, TABLE_VALUE_STRING, op & 0x40 ? nullptr : s.c_str(), op & 0x40);
    if (code == 5) add(op, TABLE_VALUE_NIL, nullptr, true);
    if (code == 6) add(op, type, op & 0x20 ? nullptr : &number, type == TABLE_VALUE_NIL);
    if (code == 7) FUZZ_CHECK(tableAddTable(stack.back().table, nullptr, &integer, type) == -1);
  }
  while (stack.size() > 1) pop(stack[stack.size() - 2].kind == TABLE_DICT ? 0x10 : 0);

  lua_State *L = luaL_newstate();
  int result = tableToLua(stack[0].table, L);
  FUZZ_CHECK(result == (converts(stack[0].kind) ? 1 : -1) && lua_gettop(L) == (result == 1));
  size_t keys = 0, expected = 0;
  for (auto &k : stack[0].keys) expected += k.second;
  for (lua_pushnil(L); result == 1 && lua_next(L, -2); lua_pop(L, 1)) keys++;
  FUZZ_CHECK(result != 1 || (keys == expected && lua_gettop(L) == 1));
  tableDestroy(stack[0].table);
  lua_close(L);
}
