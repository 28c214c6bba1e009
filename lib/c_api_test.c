/* Compiled as C99: a C program links the library and calls into each part. */
#include "argparse.h"
#include "event.h"
#include "mem.h"
#include "nksyslog.h"
#include "table.h"

#include <lauxlib.h>

#include <stdio.h>
#include <string.h>

static int failures;
#define CHECK(ok) ((ok) ? (void)0 : (void)(failures++, printf("FAILED: %s\n", #ok)))

int main(void) {
  char value[16];
  int number = -1;
  int32_t seven = 7;
  lua_State *L = luaL_newstate();
  LuaTable *t;
  CHECK(paramGetString("index=3,name=main", "name", value, sizeof value) == 0);
  CHECK(strcmp(value, "main") == 0 && help == 0 && wrong_param == 0);
  CHECK(paramGetNumber("index=3", "index", &number) == 0 && number == 3);
  nklogMaskSet(LOGMASK_NET);
  CHECK(nkloglevelget() == NKLOG_WARNING && nkcurrentLogMaskGet() == LOGMASK_NET);
  nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: C caller logs", "main");
  memInit(); /* a table built from C and converted onto a Lua stack */
  t = tableNew(TABLE_DICT);
  CHECK(tableAddTable(t, "n", &seven, TABLE_VALUE_INTEGER) == 0 && tableToLua(t, L) == 1);
  lua_getfield(L, -1, "n");
  CHECK(lua_tointeger(L, -1) == 7);
  tableDestroy(t);
  lua_close(L);
  eventInit();
  CHECK(eventRegister("ev") == eventRegister("ev") && contextGetCurrent() == NULL);
  eventClose();
  return failures ? 1 : 0;
}
