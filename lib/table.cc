// table -- Lua tables collected as typed entries, converted in one go.
//
// An entry stays on its table's list until its value has been stored in the
// Lua table; only then is it unlinked and freed. A Lua error (out of memory)
// raised part way through a conversion thus leaves every entry not yet
// stored, nested tables included, owned by its table, and tableDestroy frees
// them. Each table asks for its own stack room before it pushes anything; one
// that gets none is left unconverted (a nested one stands as nil), so every
// assignment still finds its key and value where it expects them.
//
// Lua raises its errors with longjmp: no function here holds a C++ object
// with a destructor across a Lua API call.
#define NK_MODULE "table"
#define NK_LOGMASK LOGMASK_RUNTIME
#include "table.h"

#include <stddef.h>

#include <lua.h>

#include "list.h"
#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"

static_assert(offsetof(LuaTableEntry, node) == 0, "an entry begins with its list node");
static_assert(sizeof(LuaTableEntry{}.value) == 8, "an entry's value takes 8 bytes");

namespace {

// Stack slots a conversion needs: the new table and a value, and for a
// dictionary also the key. A nested table is converted in its parent's value
// slot and asks for its own room from there.
constexpr int kArrayRoom = 2;
constexpr int kDictRoom = 3;

inline LuaTableEntry *entryOf(ListNode *node) { return reinterpret_cast<LuaTableEntry *>(node); }

// Frees what the entry's value owns: its text, or its nested table with
// whatever that one still holds.
void releaseValue(LuaTableEntry *e) {
  if (e->valueType == TABLE_VALUE_STRING) {
    if (e->value.text) stringFreePtr(e->value.text);
  } else if (e->valueType == TABLE_VALUE_TABLE) {
    tableDestroy(e->value.table);
  }
}

// Frees an entry that is no longer on a list, its key included.
void freeEntry(LuaTableEntry *e) {
  if (e->key) stringFreePtr(e->key);
  releaseValue(e);
  memFreePtr(e);
}

// Appends a new entry holding value to table. Only the five defined codes
// are stored: any other would push nothing on conversion, and every later
// assignment would then take the wrong stack slots.
int addEntry(const char *caller, LuaTable *table, const char *key, const void *value,
             int valueType) {
  if (valueType < TABLE_VALUE_INTEGER || valueType > TABLE_VALUE_NIL) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s: unknown value type %d\n", caller, valueType);
    return -1;
  }
  // Integers, doubles and tables are read through value; a null text is
  // allowed and stands for nil.
  bool needsValue = valueType == TABLE_VALUE_INTEGER || valueType == TABLE_VALUE_DOUBLE ||
                    valueType == TABLE_VALUE_TABLE;
  if (needsValue && value == nullptr) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s: null value for type %d\n", caller, valueType);
    return -1;
  }
  LuaTableEntry *e = static_cast<LuaTableEntry *>(memAllocPtr(sizeof(LuaTableEntry)));
  e->valueType = valueType;
  switch (valueType) {
    case TABLE_VALUE_INTEGER:
      e->value.integer = *static_cast<const int32_t *>(value);
      break;
    case TABLE_VALUE_DOUBLE:
      e->value.number = *static_cast<const double *>(value);
      break;
    case TABLE_VALUE_STRING:
      if (value) e->value.text = stringDupPtr(static_cast<const char *>(value));
      break;
    case TABLE_VALUE_TABLE:
      e->value.table = static_cast<LuaTable *>(const_cast<void *>(value));
      break;
    default:  // TABLE_VALUE_NIL: nothing to keep
      break;
  }
  if (key) e->key = stringDupPtr(key);
  listAdd(&table->entries, &e->node);
  return 0;
}

// Pushes the entry's value; the entry keeps everything it owns.
void pushValue(lua_State *L, LuaTableEntry *e) {
  switch (e->valueType) {
    case TABLE_VALUE_INTEGER:
      lua_pushinteger(L, e->value.integer);
      break;
    case TABLE_VALUE_DOUBLE:
      lua_pushnumber(L, e->value.number);
      break;
    case TABLE_VALUE_STRING:
      if (e->value.text) {
        lua_pushstring(L, e->value.text);
      } else {
        lua_pushnil(L);
      }
      break;
    case TABLE_VALUE_TABLE:
      // A nested table that cannot be converted still fills its slot, with
      // nil, so that the parent's assignment finds key and value in place.
      if (tableToLua(e->value.table, L) < 0) lua_pushnil(L);
      break;
    default:  // TABLE_VALUE_NIL
      lua_pushnil(L);
      break;
  }
}

}  // namespace

LuaTable *tableNew(int kind) {
  LuaTable *t = static_cast<LuaTable *>(memAllocPtr(sizeof(LuaTable)));
  listInit(&t->entries);
  t->kind = kind;
  return t;
}

// Both adds check the kind first, so a table of the wrong kind always gives
// the kind's message, whatever else is wrong with the call.
int tableAddTable(LuaTable *table, const char *key, const void *value, int valueType) {
  NK_ASSERT(table != nullptr);
  if (table->kind != TABLE_DICT) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "dict type was expected");
    return -1;
  }
  if (key == nullptr) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s: null key\n", "tableAddTable");
    return -1;
  }
  return addEntry("tableAddTable", table, key, value, valueType);
}

int tableAddArray(LuaTable *table, const void *value, int valueType) {
  NK_ASSERT(table != nullptr);
  if (table->kind != TABLE_ARRAY) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "simple type was expected");
    return -1;
  }
  return addEntry("tableAddArray", table, nullptr, value, valueType);
}

int tableToLua(LuaTable *table, lua_State *L) {
  NK_ASSERT(table != nullptr && L != nullptr);
  bool dict = table->kind == TABLE_DICT;
  if (!dict && table->kind != TABLE_ARRAY) return -1;
  // Without room nothing is pushed and the entries stay for tableDestroy.
  if (!lua_checkstack(L, dict ? kDictRoom : kArrayRoom)) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s: no room on the Lua stack\n", "tableToLua");
    return -1;
  }
  int count = listCount(&table->entries);
  lua_createtable(L, dict ? 0 : count, dict ? count : 0);
  int index = 1;
  while (ListNode *node = listHead(&table->entries)) {
    LuaTableEntry *e = entryOf(node);
    if (dict) {
      lua_pushstring(L, e->key);
      pushValue(L, e);
      lua_settable(L, -3);
    } else {
      pushValue(L, e);
      lua_rawseti(L, -2, index++);
    }
    listRemove(&table->entries, node);
    freeEntry(e);
  }
  return 1;
}

void tableDestroy(LuaTable *table) {
  NK_ASSERT(table != nullptr);
  // Entries never converted go with the table; the list must be empty before
  // it is retired.
  while (ListNode *node = listPop(&table->entries)) freeEntry(entryOf(node));
  listDestroy(&table->entries);
  memFreePtr(table);
}

void pushEntryValue(lua_State *L, LuaTableEntry *entry) {
  NK_ASSERT(L != nullptr && entry != nullptr);
  pushValue(L, entry);
  releaseValue(entry);
  memFreePtr(entry);
}
