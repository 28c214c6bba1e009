// fuzz_table -- tables built from the input, converted with tableToLua.
//
// The input is a program over a stack of open tables, the first of them the
// root, whose kind the first byte chooses (an array, a dictionary, or a kind
// that does not convert). Each following operation byte:
//   low 4 bits  0 open a nested table (kind from the next byte)
//               1 close the innermost table and add it to its parent
//               2 add an integer (4 bytes), 3 a double (8 bytes),
//               4 a text (length byte, then the bytes; bit 0x40 of the
//                 operation: a null text), 5 a nil,
//               6 a value of an undefined type (type from the next byte),
//               7 an integer, double or table given as a null pointer,
//               anything else: a dictionary add with a null key
//   bit 0x10    add with tableAddTable and a key (one byte: below 0xF0 one of
//               a few short keys, else a key of its low 4 bits' length from
//               the input), without it with tableAddArray
// Tables still open at the end are closed in turn, each added to its parent
// by the call that the parent's kind takes. Each add's result is
// checked against the kinds and arguments, and a model records what was
// stored. The root then goes to a fresh Lua state: the stack must grow by
// exactly the table (or stay as it was for a root that does not convert),
// and the Lua table must hold what the model says, nested tables included:
// later dictionary keys replace earlier ones, and nil values (a null text,
// a nested table that does not convert) leave no key.
#include <string.h>

#include <lauxlib.h>
#include <lua.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "table.h"

namespace {

constexpr int kMaxDepth = 64;
constexpr int kMaxOperations = 4096;

struct Node;

// One stored entry, as the model sees it.
struct Entry {
  std::string key;  // a dictionary entry's
  int type = TABLE_VALUE_NIL;
  int32_t integer = 0;
  double number = 0;
  bool nullText = false;
  std::string text;
  std::unique_ptr<Node> table;
};

struct Node {
  int kind = 0;
  std::vector<Entry> entries;
};

bool converts(int kind) { return kind == TABLE_ARRAY || kind == TABLE_DICT; }

// Whether the entry's value becomes nil (no key) in Lua.
bool isNil(const Entry &e) {
  return e.type == TABLE_VALUE_NIL || (e.type == TABLE_VALUE_STRING && e.nullText) ||
         (e.type == TABLE_VALUE_TABLE && !converts(e.table->kind));
}

class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  void bytes(void *out, size_t n) {
    memset(out, 0, n);
    size_t have = static_cast<size_t>(end_ - p_) < n ? end_ - p_ : n;
    memcpy(out, p_, have);
    p_ += have;
  }
  std::string text(size_t n) {
    std::string s(n, '\0');
    bytes(&s[0], n);
    return s.c_str();  // a C string ends at a NUL
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

int kindOf(uint8_t b) {
  static const int kKinds[] = {TABLE_ARRAY, TABLE_ARRAY, TABLE_ARRAY, TABLE_DICT,
                               TABLE_DICT,  TABLE_DICT,  0,           3};
  return kKinds[b % 8];
}

std::string keyOf(Reader *in) {
  static const char *const kKeys[] = {"a", "b", "key", "", "1", "value"};
  uint8_t b = in->byte();
  if (b < 0xF0) return kKeys[b % 6];
  return in->text(b & 0x0f);
}

struct Open {
  LuaTable *table;
  Node *node;
};

// Adds value to the innermost table, by the call that op chooses; checks the
// result and, when the add succeeds, records the entry. Returns the result.
int add(std::vector<Open> *open, uint8_t op, Reader *in, Entry entry, const void *value,
        bool nullKey) {
  Open &top = open->back();
  bool dictCall = (op & 0x10) != 0;
  int result;
  bool valid = entry.type >= TABLE_VALUE_INTEGER && entry.type <= TABLE_VALUE_NIL;
  bool needsValue = entry.type == TABLE_VALUE_INTEGER || entry.type == TABLE_VALUE_DOUBLE ||
                    entry.type == TABLE_VALUE_TABLE;
  bool ok = valid && !(needsValue && value == nullptr);
  if (dictCall) {
    if (!nullKey) entry.key = keyOf(in);
    result = tableAddTable(top.table, nullKey ? nullptr : entry.key.c_str(), value, entry.type);
    ok = ok && top.node->kind == TABLE_DICT && !nullKey;
  } else {
    result = tableAddArray(top.table, value, entry.type);
    ok = ok && top.node->kind == TABLE_ARRAY;
  }
  FUZZ_CHECK(result == (ok ? 0 : -1));
  if (result == 0) top.node->entries.push_back(std::move(entry));
  return result;
}

// Closes the innermost table and adds it to its parent; one the parent
// refuses stays the caller's and is destroyed.
void close(std::vector<Open> *open, uint8_t op, Reader *in) {
  Open child = open->back();
  open->pop_back();
  Entry entry;
  entry.type = TABLE_VALUE_TABLE;
  entry.table.reset(child.node);
  if (add(open, op, in, std::move(entry), child.table, false) != 0) tableDestroy(child.table);
}

bool sameNumber(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

// Compares the Lua table on top of the stack with node.
void verify(lua_State *L, const Node &node) {
  FUZZ_CHECK(lua_checkstack(L, 4));
  FUZZ_CHECK(lua_type(L, -1) == LUA_TTABLE);
  // The entry each key ends with, or null where a nil removed it.
  std::map<std::string, const Entry *> byKey;
  std::vector<const Entry *> byIndex;
  for (const Entry &e : node.entries) {
    if (node.kind == TABLE_DICT) {
      byKey[e.key] = isNil(e) ? nullptr : &e;
    } else {
      byIndex.push_back(isNil(e) ? nullptr : &e);
    }
  }
  size_t expectedKeys = 0;
  for (auto &k : byKey) expectedKeys += k.second != nullptr;
  for (const Entry *e : byIndex) expectedKeys += e != nullptr;

  size_t keys = 0;
  lua_pushnil(L);
  while (lua_next(L, -2)) {
    keys++;
    lua_pop(L, 1);
  }
  FUZZ_CHECK(keys == expectedKeys);

  auto check = [L](const Entry *e) {
    if (!e) {
      FUZZ_CHECK(lua_isnil(L, -1));
      return;
    }
    switch (e->type) {
      case TABLE_VALUE_INTEGER:
        FUZZ_CHECK(lua_type(L, -1) == LUA_TNUMBER && lua_tonumber(L, -1) == e->integer);
        break;
      case TABLE_VALUE_DOUBLE:
        FUZZ_CHECK(lua_type(L, -1) == LUA_TNUMBER && sameNumber(lua_tonumber(L, -1), e->number));
        break;
      case TABLE_VALUE_STRING: {
        size_t len = 0;
        const char *s = lua_tolstring(L, -1, &len);
        FUZZ_CHECK(lua_type(L, -1) == LUA_TSTRING && e->text == std::string(s, len));
        break;
      }
      default:
        verify(L, *e->table);
        break;
    }
  };
  for (auto &k : byKey) {
    lua_pushlstring(L, k.first.data(), k.first.size());
    lua_rawget(L, -2);
    check(k.second);
    lua_pop(L, 1);
  }
  for (size_t i = 0; i < byIndex.size(); i++) {
    lua_rawgeti(L, -1, static_cast<int>(i + 1));
    check(byIndex[i]);
    lua_pop(L, 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  Reader in(data, size);
  nkfuzz::HandleBalance balance;
  std::unique_ptr<Node> root(new Node);
  root->kind = kindOf(in.byte());
  LuaTable *rootTable = tableNew(root->kind);
  std::vector<Open> open = {{rootTable, root.get()}};

  for (int ops = 0; ops < kMaxOperations && !in.empty(); ops++) {
    uint8_t op = in.byte();
    Entry entry;
    switch (op & 0x0f) {
      case 0: {
        if (open.size() >= kMaxDepth) break;
        Node *node = new Node;
        node->kind = kindOf(in.byte());
        open.push_back({tableNew(node->kind), node});
        break;
      }
      case 1:
        if (open.size() > 1) close(&open, op, &in);
        break;
      case 2: {
        in.bytes(&entry.integer, sizeof entry.integer);
        entry.type = TABLE_VALUE_INTEGER;
        int32_t value = entry.integer;
        add(&open, op, &in, std::move(entry), &value, false);
        break;
      }
      case 3: {
        in.bytes(&entry.number, sizeof entry.number);
        entry.type = TABLE_VALUE_DOUBLE;
        double value = entry.number;
        add(&open, op, &in, std::move(entry), &value, false);
        break;
      }
      case 4: {
        bool nullText = (op & 0x40) != 0;
        std::string value = nullText ? "" : in.text(in.byte());
        entry.type = TABLE_VALUE_STRING;
        entry.nullText = nullText;
        entry.text = value;
        add(&open, op, &in, std::move(entry), nullText ? nullptr : value.c_str(), false);
        break;
      }
      case 5:
        entry.type = TABLE_VALUE_NIL;
        add(&open, op, &in, std::move(entry), nullptr, false);
        break;
      case 6: {
        int type = in.byte();
        if (type >= TABLE_VALUE_INTEGER && type <= TABLE_VALUE_NIL) type += 5;
        entry.type = type;
        double value = 1;
        add(&open, op, &in, std::move(entry), &value, false);
        break;
      }
      case 7:
        entry.type = (op & 0x40)   ? TABLE_VALUE_TABLE
                     : (op & 0x20) ? TABLE_VALUE_DOUBLE
                                   : TABLE_VALUE_INTEGER;
        add(&open, op, &in, std::move(entry), nullptr, false);
        break;
      default: {
        entry.type = TABLE_VALUE_INTEGER;
        int32_t value = 7;
        add(&open, op | 0x10, &in, std::move(entry), &value, true);
        break;
      }
    }
  }
  // The rest are closed with the add that their parent takes.
  while (open.size() > 1)
    close(&open, open[open.size() - 2].node->kind == TABLE_DICT ? 0x10 : 0, &in);

  lua_State *L = luaL_newstate();
  FUZZ_CHECK(L != nullptr);
  int top = lua_gettop(L);
  int result = tableToLua(rootTable, L);
  FUZZ_CHECK(result == (converts(root->kind) ? 1 : -1));
  FUZZ_CHECK(lua_gettop(L) == top + (result == 1 ? 1 : 0));
  if (result == 1) {
    verify(L, *root);
    FUZZ_CHECK(lua_gettop(L) == top + 1);
  }
  tableDestroy(rootTable);
  lua_close(L);
  return 0;
}
