/* Compiled as C99: every public header must be C, and usable from C. */
#include "argparse.h"
#include "event.h"
#include "mem.h"
#include "nkexport.h"
#include "nksyslog.h"
#include "table.h"

#include <lauxlib.h>

#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    failures++;
  }
}

int main(void) {
  char value[16];
  int number = -1;
  ArgOption table[] = {{NULL, 'a', NULL, NULL, "an option"}, {NULL, 0, NULL, NULL, NULL}};
  (void)table;

  check(paramGetString("index=3,name=main", "name", value, sizeof value) == 0, "paramGetString");
  check(strcmp(value, "main") == 0, "paramGetString value");
  check(paramGetNumber("index=3,name=main", "index", &number) == 0 && number == 3,
        "paramGetNumber");

  check(nkloglevelget() == NKLOG_WARNING, "default level");
  nklogMaskSet(LOGMASK_NET);
  check(nkcurrentLogMaskGet() == LOGMASK_NET, "mask");
  nksetdefaultlog(stdout);
  nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: C caller logs", "main");
  check(help == 0 && wrong_param == 0, "exported flags");

  /* A table built from C and converted onto a Lua stack. */
  memInit();
  {
    lua_State *L = luaL_newstate();
    LuaTable *t = tableNew(TABLE_DICT);
    int32_t seven = 7;
    check(tableAddTable(t, "n", &seven, TABLE_VALUE_INTEGER) == 0, "tableAddTable");
    check(tableToLua(t, L) == 1, "tableToLua");
    lua_getfield(L, -1, "n");
    check(lua_tointeger(L, -1) == 7, "converted field");
    tableDestroy(t);
    lua_close(L);
  }
  eventInit();
  check(eventRegister("ev") == eventRegister("ev"), "eventRegister");
  check(contextGetCurrent() == NULL, "no current context");
  eventClose();

  return failures ? 1 : 0;
}
