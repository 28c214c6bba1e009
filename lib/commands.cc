// commands -- the operator shell's command words and its word splitting,
// shared by the shell and by the programs that hand it lines.
#define NK_MODULE "commands"
#define NK_LOGMASK LOGMASK_GENERAL
#include "nkcommands.h"

#include <string.h>

#include "nkassert_internal.h"
#include "nksyslog.h"

// The order decides: "memh", "memstats" and "memb" come before "mem", of
// which they are longer forms.
const char *const nkCommandWords[NK_COMMAND_COUNT] = {
    "version", "exit",   "quit",  "help",   "lua",   "ps",   "memh", "memstats", "memb",
    "mem",     "events", "lists", "timers", "stats", "post", "get",  "set",      "rules",
};

int nkCommandMatch(const char *typed) {
  NK_ASSERT(typed != nullptr);
  for (int i = 0; i < NK_COMMAND_COUNT; i++) {
    if (strncmp(typed, nkCommandWords[i], strlen(nkCommandWords[i])) == 0) return i;
  }
  return -1;
}

int nkSplitWords(char *line, char **words, int max) {
  NK_ASSERT(line != nullptr && words != nullptr && max >= 0);
  int n = 0;
  char *p = line;
  for (;;) {
    while (*p == ' ') p++;
    if (!*p) return n;
    if (n == max) return -1;
    words[n++] = p;
    while (*p && *p != ' ') p++;
    if (!*p) return n;
    *p++ = '\0';
  }
}
