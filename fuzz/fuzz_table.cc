// fuzz_table -- tables built from the input, converted with tableToLua.
// The input is a program over a stack of open tables; the first byte chooses
// the root's kind (an array, a dictionary, or a kind that does not convert).
// Each operation byte, by its low 4 bits:
//   0 open a nested table (kind from the next byte); 1 close the innermost
//   and add it to its parent; 2 add an integer (4 bytes); 3 a double (8
//   bytes); 4 a text (length byte, then the bytes; op bit 0x40: a null text);
//   5 a nil; 6 a value of an undefined type (type from the next byte); 7 an
//   integer, double or table given as a null pointer; else a dictionary add
//   with a null key.
// Op bit 0x10 adds with tableAddTable and a key (a byte below 0xF0 picks a
// short key, else its low 4 bits give the length of a key from the input),
// else with tableAddArray. Tables left open are closed in turn at the end.
// Each add's result is checked and a model records what was stored. The root
// then goes to a fresh Lua state: the stack grows by exactly the table (or
// not at all for a root that does not convert), and the table holds what the
// model says: later dictionary keys replace earlier ones, nil values (a null
// text, a nested table that does not convert) leave no key.
#include <lauxlib.h>
#include <lua.h>

#include <map>
#include <memory>

#include "fuzz_common.h"
#include "table.h"

namespace {

struct Node;
struct Entry {  // as Lua must see it
  std::string key;
  int type = LUA_TNIL;
  double number = 0;
  std::string text;
  std::unique_ptr<Node> table;
};
struct Node {
  int kind = 0;
  std::vector<Entry> entries;
};
struct Open {
  LuaTable *table;
  Node *node;
};
bool converts(int kind) { return kind == TABLE_ARRAY || kind == TABLE_DICT; }

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  void bytes(void *out, size_t n) {
    memset(out, 0, n);
    n = std::min(n, static_cast<size_t>(end_ - p_));
    memcpy(out, p_, n);
    p_ += n;
  }
  std::string text(size_t n) {
    std::string s(n, '\0');
    bytes(&s[0], n);
    return s.c_str();
  }
  int kind() {
    static const int kKinds[] = {TABLE_ARRAY, TABLE_ARRAY, TABLE_ARRAY, TABLE_DICT,
                                 TABLE_DICT,  TABLE_DICT,  0,           3};
    return kKinds[byte() % 8];
  }

 private:
  const uint8_t *p_, *end_;
};

// Adds value by the call op chooses and checks the result against the kinds
// and arguments; a stored entry goes into the model.
int add(std::vector<Open> *open, uint8_t op, Reader *in, Entry entry, int type, const void *value,
        bool nullKey = false) {
  static const char *const kKeys[] = {"a", "b", "key", "", "1", "value"};
  Open &top = open->back();
  bool ok = type >= TABLE_VALUE_INTEGER && type <= TABLE_VALUE_NIL &&
            (value || type == TABLE_VALUE_STRING || type == TABLE_VALUE_NIL);
  int result;
  if (op & 0x10) {
    uint8_t b = nullKey ? 0 : in->byte();
    entry.key = b < 0xF0 ? kKeys[b % 6] : in->text(b & 0x0f);
    result = tableAddTable(top.table, nullKey ? nullptr : entry.key.c_str(), value, type);
    ok = ok && top.node->kind == TABLE_DICT && !nullKey;
  } else {
    result = tableAddArray(top.table, value, type);
    ok = ok && top.node->kind == TABLE_ARRAY;
  }
  FUZZ_CHECK(result == (ok ? 0 : -1));
  if (result == 0) top.node->entries.push_back(std::move(entry));
  return result;
}

// The innermost table goes to its parent; one the parent refuses is destroyed.
void close(std::vector<Open> *open, uint8_t op, Reader *in) {
  Open child = open->back();
  open->pop_back();
  Entry entry;
  entry.table.reset(child.node);
  entry.type = converts(child.node->kind) ? LUA_TTABLE : LUA_TNIL;
  if (add(open, op, in, std::move(entry), TABLE_VALUE_TABLE, child.table) != 0)
    tableDestroy(child.table);
}

// Compares the Lua table on top of the stack with node.
void verify(lua_State *L, const Node &node) {
  FUZZ_CHECK(lua_checkstack(L, 4) && lua_type(L, -1) == LUA_TTABLE);
  std::map<std::string, const Entry *> byKey;  // the entry each key ends with
  std::vector<const Entry *> byIndex;
  for (const Entry &e : node.entries) {
    if (node.kind == TABLE_DICT) byKey[e.key] = &e;
    if (node.kind == TABLE_ARRAY) byIndex.push_back(&e);
  }
  size_t keys = 0, expectedKeys = 0;
  for (auto &k : byKey) expectedKeys += k.second->type != LUA_TNIL;
  for (const Entry *e : byIndex) expectedKeys += e->type != LUA_TNIL;
  for (lua_pushnil(L); lua_next(L, -2); lua_pop(L, 1)) keys++;
  FUZZ_CHECK(keys == expectedKeys);
  auto check = [L](const Entry *e) {
    FUZZ_CHECK(lua_type(L, -1) == e->type);
    size_t len = 0;
    double n = lua_tonumber(L, -1);
    if (e->type == LUA_TNUMBER) FUZZ_CHECK(memcmp(&n, &e->number, sizeof n) == 0);
    if (e->type == LUA_TSTRING) FUZZ_CHECK(e->text == std::string(lua_tolstring(L, -1, &len), len));
    if (e->type == LUA_TTABLE) verify(L, *e->table);
    lua_pop(L, 1);
  };
  for (auto &k : byKey) {
    lua_pushlstring(L, k.first.data(), k.first.size());
    lua_rawget(L, -2);
    check(k.second);
  }
  for (size_t i = 0; i < byIndex.size(); i++) {
    lua_rawgeti(L, -1, static_cast<int>(i + 1));
    check(byIndex[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  Reader in(data, size);
  nkfuzz::HandleBalance balance;
  std::unique_ptr<Node> root(new Node);
  root->kind = in.kind();
  LuaTable *rootTable = tableNew(root->kind);
  std::vector<Open> open = {{rootTable, root.get()}};
  for (int ops = 0; ops < 4096 && !in.empty(); ops++) {
    uint8_t op = in.byte();
    Entry e;
    int32_t integer = 7;
    double number = 1;
    switch (op & 0x0f) {
      case 0:
        if (open.size() < 64) {
          Node *node = new Node;
          node->kind = in.kind();
          open.push_back({tableNew(node->kind), node});
        }
        break;
      case 1:
        if (open.size() > 1) close(&open, op, &in);
        break;
      case 2:
        in.bytes(&integer, sizeof integer);
        e.type = LUA_TNUMBER, e.number = integer;
        add(&open, op, &in, std::move(e), TABLE_VALUE_INTEGER, &integer);
        break;
      case 3:
        in.bytes(&e.number, sizeof e.number);
        number = e.number, e.type = LUA_TNUMBER;
        add(&open, op, &in, std::move(e), TABLE_VALUE_DOUBLE, &number);
        break;
      case 4: {
        std::string text = op & 0x40 ? "" : in.text(in.byte());
        e.type = op & 0x40 ? LUA_TNIL : LUA_TSTRING, e.text = text;
        add(&open, op, &in, std::move(e), TABLE_VALUE_STRING, op & 0x40 ? nullptr : text.c_str());
        break;
      }
      case 5:
        add(&open, op, &in, std::move(e), TABLE_VALUE_NIL, nullptr);
        break;
      case 6: {
        int type = in.byte();
        add(&open, op, &in, std::move(e), type + 5 * (type >= 1 && type <= 5), &number);
        break;
      }
      case 7:
        add(&open, op, &in, std::move(e),
            op & 0x40   ? TABLE_VALUE_TABLE
            : op & 0x20 ? TABLE_VALUE_DOUBLE
                        : TABLE_VALUE_INTEGER,
            nullptr);
        break;
      default:
        e.type = LUA_TNUMBER, e.number = integer;
        add(&open, op | 0x10, &in, std::move(e), TABLE_VALUE_INTEGER, &integer, true);
        break;
    }
  }
  while (open.size() > 1)
    close(&open, open[open.size() - 2].node->kind == TABLE_DICT ? 0x10 : 0, &in);

  lua_State *L = luaL_newstate();
  FUZZ_CHECK(L != nullptr);
  int result = tableToLua(rootTable, L);
  FUZZ_CHECK(result == (converts(root->kind) ? 1 : -1) && lua_gettop(L) == (result == 1));
  if (result == 1) verify(L, *root);
  FUZZ_CHECK(lua_gettop(L) == (result == 1));
  tableDestroy(rootTable);
  lua_close(L);
  return 0;
}
