// fuzz_table -- tables built from the input, converted with tableToLua.
// The input is a program over a stack of open tables; the first byte chooses
// the root's kind (an array, a dictionary, or a kind that does not convert).
// Each operation byte, by its low 3 bits: 0 open a nested table (kind from
// the next byte); 1 close the innermost and add it to its parent; 2 add an
// integer (4 bytes); 3 a double (8 bytes); 4 a text (length byte, then the
// bytes; op bit 0x40: a null text); 5 a nil; 6 a number or nil of a type
// from the next byte (an undefined one too), given as a null pointer when op
// bit 0x20 is set; 7 a dictionary
// add with a null key. Op bit 0x10 adds with tableAddTable and a key (a
// byte: below 0xF0 one of a few short keys, else its low 4 bits give the
// length of a key from the input), else with tableAddArray. Tables left open
// are closed in turn at the end. Each add's result must follow from the
// kinds and arguments; the root then goes to a fresh Lua state, whose stack
// grows by exactly the table (or not at all for a root that does not
// convert), and the root's Lua table has as many keys as distinct non-nil
// entries were stored in it.
#include <lauxlib.h>
#include <lua.h>

#include <map>

#include "fuzz_common.h"
#include "table.h"

namespace {

struct Open {
  LuaTable *table;
  int kind;
  std::map<std::string, bool> keys;  // a dictionary's: whether the value is not nil
  size_t values = 0;                 // an array's non-nil values
};

const uint8_t *p, *end;
uint8_t byte() { return p < end ? *p++ : 0; }
void raw(void *out, size_t n) {
  n = std::min(n, static_cast<size_t>(end - p));
  memcpy(out, p, n);
  p += n;
}
std::string text(size_t n) {
  n = std::min(n, static_cast<size_t>(end - p));
  std::string s(reinterpret_cast<const char *>(p), n);
  p += n;
  return s.c_str();
}
int kind() {
  static const int kKinds[] = {TABLE_ARRAY, TABLE_ARRAY, TABLE_DICT, TABLE_DICT, 0, 3};
  return kKinds[byte() % 6];
}
bool converts(int kind) { return kind == TABLE_ARRAY || kind == TABLE_DICT; }

// Adds by the call op chooses; nil says whether Lua will see no value.
int add(std::vector<Open> *open, uint8_t op, int type, const void *value, bool nil,
        bool nullKey = false) {
  static const char *const kKeys[] = {"a", "b", "key", "", "1", "value"};
  Open &top = open->back();
  bool ok = type >= TABLE_VALUE_INTEGER && type <= TABLE_VALUE_NIL &&
            (value || type == TABLE_VALUE_STRING || type == TABLE_VALUE_NIL);
  int result;
  if (op & 0x10) {
    uint8_t b = nullKey ? 0 : byte();
    std::string key = b < 0xF0 ? kKeys[b % 6] : text(b & 0x0f);
    result = tableAddTable(top.table, nullKey ? nullptr : key.c_str(), value, type);
    FUZZ_CHECK(result == (ok && top.kind == TABLE_DICT && !nullKey ? 0 : -1));
    if (result == 0) top.keys[key] = !nil;
  } else {
    result = tableAddArray(top.table, value, type);
    FUZZ_CHECK(result == (ok && top.kind == TABLE_ARRAY ? 0 : -1));
    if (result == 0) top.values += !nil;
  }
  return result;
}

// The innermost table goes to its parent; one the parent refuses is destroyed.
void close(std::vector<Open> *open, uint8_t op) {
  Open child = open->back();
  open->pop_back();
  if (add(open, op, TABLE_VALUE_TABLE, child.table, !converts(child.kind)) != 0)
    tableDestroy(child.table);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  p = data, end = data + size;
  nkfuzz::HandleBalance balance;
  std::vector<Open> open(1);
  open[0].kind = kind();
  LuaTable *root = open[0].table = tableNew(open[0].kind);
  for (int ops = 0; ops < 4096 && p < end; ops++) {
    uint8_t op = byte();
    int32_t integer = 7;
    double number = 1;
    std::string s;  // a text added
    switch (op & 7) {
      case 0:
        if (open.size() < 64) {
          open.emplace_back();
          open.back().kind = kind();
          open.back().table = tableNew(open.back().kind);
        }
        break;
      case 1:
        if (open.size() > 1) close(&open, op);
        break;
      case 2:
        raw(&integer, sizeof integer);
        add(&open, op, TABLE_VALUE_INTEGER, &integer, false);
        break;
      case 3:
        raw(&number, sizeof number);
        add(&open, op, TABLE_VALUE_DOUBLE, &number, false);
        break;
      case 4:
        s = op & 0x40 ? "" : text(byte());
        add(&open, op, TABLE_VALUE_STRING, op & 0x40 ? nullptr : s.c_str(), op & 0x40);
        break;
      case 5:
        add(&open, op, TABLE_VALUE_NIL, nullptr, true);
        break;
      case 6: {
        int type = byte() % 8;  // 0, 6, 7 and 9 are no value type
        if (type == TABLE_VALUE_STRING || type == TABLE_VALUE_TABLE) type = 9;
        add(&open, op, type, op & 0x20 ? nullptr : &number, type == TABLE_VALUE_NIL);
        break;
      }
      default:
        add(&open, op | 0x10, TABLE_VALUE_INTEGER, &integer, false, true);
        break;
    }
  }
  while (open.size() > 1) close(&open, open[open.size() - 2].kind == TABLE_DICT ? 0x10 : 0);

  lua_State *L = luaL_newstate();
  FUZZ_CHECK(L != nullptr);
  int result = tableToLua(root, L);
  FUZZ_CHECK(result == (converts(open[0].kind) ? 1 : -1) && lua_gettop(L) == (result == 1));
  if (result == 1) {
    size_t keys = 0, expected = open[0].values;
    for (auto &k : open[0].keys) expected += k.second;
    for (lua_pushnil(L); lua_next(L, -2); lua_pop(L, 1)) keys++;
    FUZZ_CHECK(keys == expected && lua_gettop(L) == 1);
  }
  tableDestroy(root);
  lua_close(L);
  return 0;
}
