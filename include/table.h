/* table.h -- Lua tables built without a Lua state at hand: typed values
 * collected as an array or as a dictionary keyed by text, possibly nested,
 * then converted in one go onto a given Lua stack.
 *
 * Life of a table: tableNew, adds, one tableToLua (which consumes every entry
 * and nested table), tableDestroy. A table added as a value (type
 * TABLE_VALUE_TABLE) belongs to its entry from then on and must be added to
 * one parent, once. No locks and no shared state: a table is built and
 * converted by one thread. tableToLua calls Lua and can raise a Lua error
 * (out of memory) like any Lua API call. */
#ifndef NK_TABLE_H
#define NK_TABLE_H

#include <stdint.h>

#include <lua.h>

#include "list.h"
#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Kinds of table. */
#define TABLE_ARRAY 1 /* entries at 1, 2, ... in the order added ("simple") */
#define TABLE_DICT 2  /* entries keyed by text ("dict") */

/* Value types: what the add operations are given, and what is stored. */
#define TABLE_VALUE_INTEGER 1 /* pointer to an int32_t: the integer */
#define TABLE_VALUE_DOUBLE 2  /* pointer to a double: the number */
#define TABLE_VALUE_STRING 3  /* a text (or null: nil): an owned copy */
#define TABLE_VALUE_TABLE 4   /* a LuaTable: it becomes the entry's */
#define TABLE_VALUE_NIL 5     /* ignored: a nil */

typedef struct LuaTable {
  List entries; /* LuaTableEntry records, in the order added */
  int32_t kind; /* TABLE_ARRAY or TABLE_DICT */
} LuaTable;

typedef struct LuaTableEntry {
  ListNode node;     /* on its table's entries */
  char *key;         /* owned: a dictionary entry's key; null in an array */
  int32_t valueType; /* TABLE_VALUE_* */
  union {
    int32_t integer;
    double number;
    char *text; /* owned */
    struct LuaTable *table;
  } value; /* 8 bytes, by valueType */
} LuaTableEntry;

/* A new empty table of kind (any value is accepted; only TABLE_ARRAY and
 * TABLE_DICT convert). */
NK_API LuaTable *tableNew(int kind);

/* Adds key = value to a dictionary; 0. -1, logged, when table is not a
 * dictionary ("dict type was expected"), when the key is null, when
 * valueType is not one of TABLE_VALUE_*, or when a value that must be given
 * (integer, double, table) is null; nothing is added then. */
NK_API int tableAddTable(LuaTable *table, const char *key, const void *value, int valueType);
/* Appends value to an array; 0, or -1 as tableAddTable ("simple type was
 * expected" for a table that is not an array). */
NK_API int tableAddArray(LuaTable *table, const void *value, int valueType);

/* Pushes one Lua table made of the entries onto L and returns 1; the entries
 * and nested tables are freed, leaving table empty but allocated. -1, and
 * nothing pushed, for a table of another kind. A nested table that cannot be
 * converted becomes nil. */
NK_API int tableToLua(LuaTable *table, lua_State *L);
/* Frees the table, with any entries (and nested tables) not yet converted. */
NK_API void tableDestroy(LuaTable *table);

/* Pushes one entry's value onto L and frees the entry (its key is the
 * caller's). Used by tableToLua. */
NK_API void pushEntryValue(lua_State *L, LuaTableEntry *entry);

#ifdef __cplusplus
}
#endif

#endif /* NK_TABLE_H */
