// argparse -- single-letter option parsing, the usage text, and the
// name=value list readers.
#include "argparse.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "nkbuildinfo.h"

int help;
int wrong_param;

namespace {

// Converts the leading digits of text in base, saturating to the int range so
// that 32-bit and 64-bit builds read the same value.
int toInt(const char *text, int base) {
  long long v = strtoll(text, nullptr, base);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

void printUsage(const ArgOption *table, const ArgInfo *info) {
  printf("\n\t** Orvalin IoT Framework **\n\n");
  printf("\t** Application Name : %s\n", info->name);
  printf("\t** Version          : %s\n", NK_BUILD_VERSION);
  printf("\t** Build time       : %s\n", NK_BUILD_TIME);
  printf("\t** git tag          : %s\n\n", NK_BUILD_REVISION);
  printf("Usage:\n\t%s\n\n", info->usage);
  printf("Where:\n");
  for (const ArgOption *o = table; o->help; o++) printf("\t%c - %s\n", o->letter, o->help);
  printf("\nA tilde (~) before an argument negates it\n\n");
}

}  // namespace

void argHandleOption(char letter, char *nextWord, int argc, int *consumed, const ArgOption *table,
                     const ArgInfo *info, int negate) {
  help = 0;
  wrong_param = 0;
  if (letter == '?') {
    help = 1;
    printUsage(table, info);
    exit(0);
  }
  const ArgOption *o = table;
  while (o->help && o->letter != letter) o++;
  if (!o->help) {
    printf("Unknown option '%c', use -? for help\n", letter);
    wrong_param = 1;
    exit(1);
  }
  if (o->counter) *o->counter += negate ? -1 : 1;
  if (o->number) {
    if (argc <= 2) {
      printf("Switch '%c' needs an argument\n", letter);
      exit(1);
    }
    bool hex = strlen(nextWord) > 1 && strncmp(nextWord, "0x", 2) == 0;
    *o->number = toInt(nextWord, hex ? 16 : 10);
    (*consumed)++;
  } else if (o->string) {
    if (argc <= 2) {
      printf("Switch '%c' needs an argument\n", letter);
      exit(1);
    }
    *o->string = nextWord;
    (*consumed)++;
  }
}

void argParse(int *argc, char **argv, const ArgOption *table, const ArgInfo *info, int minArgs) {
  while (*argc > 1 && argv[1] && argv[1][0] == '-') {
    int consumed = 0;
    if (strcmp(argv[1], "-") != 0) {
      int negate = 0;
      for (const char *c = argv[1] + 1; *c && consumed == 0; c++) {
        if (*c == '~') {
          negate = 1;
          continue;
        }
        argHandleOption(*c, argv[2], *argc, &consumed, table, info, negate);
        negate = 0;
      }
    }
    // Drop the option word and the word it took, the closing null included.
    int drop = 1 + consumed;
    memmove(&argv[1], &argv[1 + drop], sizeof(char *) * (*argc - drop));
    *argc -= drop;
  }
  if (*argc <= minArgs) {
    help = 1;
    printUsage(table, info);
    exit(0);
  }
}

int paramGetString(const char *list, const char *key, char *out, int outSize) {
  // Every path ends with out terminated; a zero-sized buffer is never touched.
  auto finish = [&](const char *value, size_t len, int result) {
    if (outSize <= 0) return result;
    if (len > static_cast<size_t>(outSize - 1)) len = outSize - 1;
    memcpy(out, value, len);
    out[len] = '\0';
    return result;
  };
  if (!list) return finish("", 0, 0);
  size_t keyLen = strlen(key);
  const char *p = list;
  for (;;) {
    const char *eq = strchr(p, '=');
    const char *comma = strchr(p, ',');
    if (!eq) return finish("", 0, 0);
    const char *end = comma ? comma : p + strlen(p);
    if (strncmp(p, key, keyLen) == 0) {
      if (eq > end) return finish("", 0, -1);
      return finish(eq + 1, end - (eq + 1), 0);
    }
    if (!comma) return finish("", 0, 0);
    p = comma + 1;
  }
}

int paramGetNumber(const char *list, const char *key, int *value) {
  char text[32];
  paramGetString(list, key, text, sizeof text);
  *value = toInt(text, 10);
  return 0;
}
