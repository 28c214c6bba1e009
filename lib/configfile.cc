// configfile -- the key=value configuration file, held as a list of entries
// in file order.
#define NK_MODULE "configfile"
#define NK_LOGMASK LOGMASK_GENERAL
#include "configfile.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "list.h"
#include "mem.h"
#include "nkstrings.h"
#include "nksyslog.h"

namespace {

// One accepted line. The texts are the entry's own.
struct ConfigEntry {
  ListNode node;  // on configList
  char *key;
  char *value;
};
static_assert(offsetof(ConfigEntry, node) == 0, "node first");

// One byte past the path's room stays NUL, so that even a path of the full
// size is terminated (and then fails to open, being too long).
char configPath[CONFIG_PATH_SIZE + 1] = CONFIG_DEFAULT_PATH;
List configList;
ConfigEntry *configCursor;  // the entry configValueR returned last, or null
int configLoaded;           // 1 while configList holds a reading

inline ConfigEntry *entryOf(ListNode *node) { return reinterpret_cast<ConfigEntry *>(node); }

// The first entry with key from node on, or null.
ConfigEntry *findFrom(ListNode *node, const char *key) {
  for (; node; node = listNext(&configList, node)) {
    if (strcmp(entryOf(node)->key, key) == 0) return entryOf(node);
  }
  return nullptr;
}

}  // namespace

void configSetFile(const char *path) { strncpy(configPath, path, CONFIG_PATH_SIZE); }

void configReadFile(void) {
  if (configLoaded) configCloseFile();
  listInit(&configList);
  configLoaded = 1;
  FILE *file = fopen(configPath, "re");
  if (!file) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "Can't open file %s (%s), reverting to defaults\n",
             configPath, strerror(errno));
    return;
  }
  // The key and the value are each shorter than the line they come from.
  char line[CONFIG_LINE_SIZE];
  char key[CONFIG_LINE_SIZE];
  char value[CONFIG_LINE_SIZE];
  while (fgets(line, sizeof line, file)) {
    if (line[0] == '#') continue;
    // Fails without a key; gives 1 without a value.
    if (sscanf(line, "%[^=]=%[^\n]", key, value) != 2) continue;
    ConfigEntry *entry = static_cast<ConfigEntry *>(memAllocPtr(sizeof(ConfigEntry)));
    listAdd(&configList, &entry->node);
    entry->key = stringDupPtr(key);
    entry->value = stringDupPtr(value);
  }
  fclose(file);
}

const char *configValue(const char *key, const char *defaultValue) {
  ConfigEntry *entry = findFrom(listHead(&configList), key);
  return entry ? entry->value : defaultValue;
}

const char *configValueR(const char *key) {
  ListNode *start =
      configCursor ? listNext(&configList, &configCursor->node) : listHead(&configList);
  configCursor = findFrom(start, key);
  return configCursor ? configCursor->value : nullptr;
}

void configCloseFile(void) {
  listCheckInit(&configList);
  while (ListNode *node = listPop(&configList)) {
    ConfigEntry *entry = entryOf(node);
    stringFreePtr(entry->key);
    stringFreePtr(entry->value);
    memFreePtr(entry);
  }
  listDestroy(&configList);
  configCursor = nullptr;
  configLoaded = 0;
}
