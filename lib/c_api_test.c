/* Compiled as C99: every public header must be C, and usable from C. */
#include "argparse.h"
#include "nkexport.h"
#include "nksyslog.h"

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

  return failures ? 1 : 0;
}
