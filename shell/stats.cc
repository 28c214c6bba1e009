// stats -- the statistics commands: they page through the runtime's replies
// and print them as fixed-width tables.
//
// A listing keeps one string for all its requests: the request text is
// printed into it, and nkMsgRequest replaces it with the reply's data, whose
// name=value items are read with paramGetString and paramGetNumber. Every
// listing asks for entry 0 and then for the index each reply names; they
// differ in the reply that ends them and in what a failed request prints.
#define NK_MODULE "stats"
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <functional>

#include "argparse.h"
#include "array.h"
#include "nkmsg.h"
#include "nkstrings.h"
#include "shell.h"

namespace nksh {

namespace {

// One request of a command: type, target, and the text in s (replaced by the
// reply's data). Returns nkMsgRequest's result.
int request(int s, const char *target, int type) {
  return nkMsgRequest(busClient, target, shellName, type, s);
}

const char *data(int s) { return static_cast<const char *>(memGetData(s)); }

int number(int s, const char *key) {
  int v = 0;
  paramGetNumber(data(s), key, &v);
  return v;
}

// A text of the reply in s, cut to 255 bytes: wider than any column, and
// empty when the reply has no such item. It lives until the end of the
// statement that asked for it.
struct Text {
  char text[256];
};
Text text(int s, const char *key) {
  Text t{};
  paramGetString(data(s), key, t.text, sizeof t.text);
  return t;
}

// The reply that ends a listing.
enum class End {
  kAfterIndexZero,  // the reply naming index 0 is the last row
  kAtIndexZero,     // the reply naming index 0 holds no row
  kAtFailure,       // none: a reply naming index 0 asks for entry 0 again
};

// What a failed request (or a reply of a type other than 0), which ends
// every listing, prints: the status line of the runtime commands, or nothing.
enum class Failure { kStatusLine, kSilent };

// Pages through a listing of target: sends requests of type with the text
// prefix + "index=<n>", and hands each reply that is a row to row.
void page(const char *target, int type, const char *prefix, End end, Failure failure,
          const std::function<void(int reply)> &row) {
  int s = stringAlloc(0);
  int index = 0;
  for (;;) {
    stringPrintf(s, "%sindex=%d", prefix, index);
    int result = request(s, target, type);
    if (result != 0) {
      if (failure == Failure::kStatusLine) printf("status=ipc-fail,code=%d\n", result);
      break;
    }
    index = number(s, "index");
    if (index == 0 && end == End::kAtIndexZero) break;
    row(s);
    if (index == 0 && end == End::kAfterIndexZero) break;
  }
  stringFree(s);
}

// A table of target's rows of a statistic under its heading (two lines), a
// failed request ending it with the status line; nothing for a null target
// (checkedTarget has said why).
void statTable(const char *target, const char *heading, const char *prefix, End end,
               const std::function<void(int reply)> &row) {
  if (!target) return;
  fputs(heading, stdout);
  page(target, NK_TYPE_STAT, prefix, end, Failure::kStatusLine, row);
}

// a - b, held to the int range: the replies' numbers are the runtime's, and
// extreme ones must not overflow.
int saturatedDifference(int a, int b) {
  int64_t d = static_cast<int64_t>(a) - b;
  return d > INT32_MAX ? INT32_MAX : d < INT32_MIN ? INT32_MIN : static_cast<int>(d);
}

const char *targetOf(int argc, char **argv) { return argc > 1 ? argv[1] : targetProcess; }

// The process named by argument 1, when it is one a bus line can carry;
// otherwise says so and gives null (nothing is sent).
const char *checkedTarget(int argc, char **argv) {
  const char *target = targetOf(argc, argv);
  if (validProcessName(target)) return target;
  printf("Process name '%s' must not hold a comma or a line end\n", target);
  return nullptr;
}

// A row of the memstats table: the totals shown in units of unit, the share
// in use from the totals themselves.
void usageRow(const char *label, int total, int free, int unit) {
  printf("%s", label);
  printf("%8d ", total / unit);
  printf("%8d ", free / unit);
  printf("%8.2f\n", (static_cast<double>(total) - free) * 100.0 / total);
}

void memstatsTable(const char *target) {
  int s = stringAlloc(0);
  stringPrintf(s, "stat=" NK_STAT_MEM ",index=1");
  request(s, target, NK_TYPE_STAT);
  int alloch = number(s, "alloch"), freeh = number(s, "freeh");
  int allocb = number(s, "allocb"), freeb = number(s, "freeb");
  int allocm = number(s, "allocm"), freem = number(s, "freem");
  printf("    stat    total     free    %%used\n");
  printf("======== ======== ======== ========\n");
  usageRow("Handles  ", alloch, freeh, 1);
  usageRow("Blocks   ", allocb, freeb, 1);
  usageRow("MiB      ", allocm, freem, 1048576);
  stringFree(s);
}

// A rules column naming another rule: "<= " and that rule's ix.
void ruleInput(int rules, const char *value) {
  const char *other = arrayGet(rules, value);
  char column[1100];
  if (other) {
    char ix[1024];
    paramGetString(other, "ix", ix, sizeof ix);
    snprintf(column, sizeof column, "<= %s", ix);
  } else {
    snprintf(column, sizeof column, "%s", value);
  }
  printf("%-15.15s ", column);
}

}  // namespace

// The 20-byte buffer holds any 32-bit value with two decimals; a longer text
// (more decimals than the listings use) is cut, never written past.
#pragma GCC diagnostic push
#if !defined(__clang__)  // clang has no such warning
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
const char *formatCount(int value, int decimals) {
  static char buffer[20];
  int whole = value, fraction = 0;
  if (decimals > 0) {
    int divisor = 1;
    for (int i = 0; i < decimals; i++) divisor *= 10;
    fraction = value % divisor;
    whole = value / divisor;
  }
  if (whole > 1000000) {
    snprintf(buffer, sizeof buffer, "%2d,%03d,%03d", whole / 1000000, (whole % 1000000) / 1000,
             whole % 1000);
  } else if (whole > 1000) {
    snprintf(buffer, sizeof buffer, "%6d,%03d", whole / 1000, whole % 1000);
  } else if (whole <= 0) {
    snprintf(buffer, sizeof buffer, "%10s", "");
  } else {
    snprintf(buffer, sizeof buffer, "%10d", whole);
  }
  if (decimals > 0) {
    size_t used = strlen(buffer);
    if (whole + fraction > 0) {
      snprintf(buffer + used, sizeof buffer - used, ".%0*d", decimals, fraction);
    } else {
      snprintf(buffer + used, sizeof buffer - used, "%*s", decimals + 1, "");
    }
  }
  return buffer;
}
#pragma GCC diagnostic pop

const char *formatDuration(int seconds, int microseconds) {
  static char buffer[32];
  if (seconds > 0) {
    snprintf(buffer, sizeof buffer, "%3d.%03ds  ", seconds, microseconds / 1000);
  } else if (microseconds > 1000) {
    snprintf(buffer, sizeof buffer, "%5d,%03du", microseconds / 1000, microseconds % 1000);
  } else {
    snprintf(buffer, sizeof buffer, "%9du", microseconds);
  }
  return buffer;
}

int cmdLists(int, char **) {
  statTable(targetProcess,
            "list             elements\n"
            "================ ==============================\n",
            "stat=" NK_STAT_LISTPOOLS ",", End::kAfterIndexZero, [](int s) {
              printf("%-16.16s %-30.30s\n", text(s, "list").text, text(s, "elements").text);
            });
  return 0;
}

int cmdEvents(int, char **) {
  page(targetProcess, NK_TYPE_STAT, "stat=" NK_STAT_EVENTS ",", End::kAfterIndexZero,
       Failure::kSilent, [](int s) { printf("%s\n", data(s)); });
  return 0;
}

int cmdMemb(int argc, char **argv) {
  statTable(checkedTarget(argc, argv),
            "    size allocops freeops  count free  inuse peak  delta alloc-K\n"
            "======== ======== ======== ===== ===== ===== ===== ===== =======\n",
            "stat=" NK_STAT_MEMBLOCKS ",", End::kAfterIndexZero, [](int s) {
              int size = number(s, "size"), count = number(s, "count"), free = number(s, "free");
              // 32-bit arithmetic, as the runtime's own counters are.
              int32_t bytes =
                  static_cast<int32_t>(static_cast<uint32_t>(size) * static_cast<uint32_t>(count));
              printf("%8d %8d %8d %5d %5d %5d %5d %5d %7d\n", size, number(s, "allocops"),
                     number(s, "freeops"), count, free, saturatedDifference(count, free),
                     number(s, "peak"), number(s, "delta"), bytes / 1024);
            });
  return 0;
}

int cmdMemstats(int argc, char **argv) {
  if (const char *target = checkedTarget(argc, argv)) memstatsTable(target);
  return 0;
}

int cmdMemh(int argc, char **argv) {
  statTable(checkedTarget(argc, argv),
            "module           line count     size  handle\n"
            "================ ==== ===== ======== =======\n",
            "stat=" NK_STAT_MEMHANDLES ",", End::kAfterIndexZero, [](int s) {
              printf("%-16.16s %4d %5d %8d %7d\n", text(s, "module").text, number(s, "line"),
                     number(s, "count"), number(s, "size"), number(s, "handle"));
            });
  return 0;
}

int cmdMem(int argc, char **argv) {
  if (!checkedTarget(argc, argv)) return 0;
  cmdMemh(argc, argv);
  cmdMemb(argc, argv);
  return 0;
}

int cmdTimers(int, char **) {
  statTable(
      targetProcess,
      "timer                        interval    expires       options\n"
      "========================== ========== ========== =============\n",
      "stat=" NK_STAT_TIMERS ",", End::kAtIndexZero, [](int s) {
        printf("%-26.26s ", text(s, "timer").text);
        printf("%-10.10s ", formatDuration(number(s, "interval-sec"), number(s, "interval-usec")));
        printf("%-10.10s ", formatDuration(number(s, "expiry-sec"), number(s, "expiry-usec")));
        printf("%-13.13s\n", text(s, "options").text);
      });
  return 0;
}

int cmdStats(int argc, char **argv) {
  if (!checkedTarget(argc, argv)) return 0;
  statTable(targetProcess,
            "name                   thread      count         rate       exec     events          "
            "load        min        max\n"
            "==================== ======== ========== ============ ========== ========== "
            "============= ========== ==========\n",
            "stat=" NK_STAT_PROFILES ",", End::kAtIndexZero, [](int s) {
              int count = number(s, "count");
              printf("%-20.20s ", text(s, "name").text);
              printf("%08X ", static_cast<unsigned>(number(s, "thread")));
              printf("%s ", formatCount(count, 0));
              printf("%s ", formatCount(count, 1));
              printf("%s ", formatCount(number(s, "exec"), 0));
              printf("%s ", formatCount(number(s, "events"), 0));
              printf("%s ", formatCount(number(s, "load"), 2));
              printf("%s ", formatCount(number(s, "min"), 0));
              printf("%s\n", formatCount(number(s, "max"), 0));
            });
  memstatsTable(targetOf(argc, argv));
  return 0;
}

int cmdPs(int, char **) {
  printf("name                          |  id|r-state|function           |line|events-filtered\n");
  printf(
      "==============================|====|=======|===================|====|"
      "==========================================================\n");
  page(targetProcess, NK_TYPE_PS, "", End::kAtFailure, Failure::kSilent, [](int s) {
    printf("%-30.30s|", text(s, "name").text);
    printf("%4d|", number(s, "id"));
    printf("%-7.7s|", text(s, "cstate").text);
    printf("%-19.19s|", text(s, "function").text);
    printf("%4d|", number(s, "line"));
    printf("%-60.60s\n", text(s, "events").text);
  });
  return 0;
}

int cmdRules(int, char **) {
  printf("type            input1          input2          output          value\n");
  printf("=============== =============== =============== =============== =====================\n");
  // All rules first: a rule's columns name the other rules it is wired to.
  int rules = arrayAlloc();
  page(targetProcess, NK_TYPE_STAT, "stat=" NK_STAT_RULES ",", End::kAtIndexZero, Failure::kSilent,
       [rules](int s) {
         char id[1024];
         paramGetString(data(s), "id", id, sizeof id);
         arrayPut(rules, id, data(s));
       });
  char type[1024], input[1024], output[1024];
  for (int i = 0; i < arrayCount(rules); i++) {
    const char *rule = arrayGet(rules, arrayIndexName(rules, i));
    paramGetString(rule, "type", type, sizeof type);
    printf("%-15.15s ", type);
    paramGetString(rule, "input1", input, sizeof input);
    ruleInput(rules, input);
    paramGetString(rule, "input2", input, sizeof input);
    ruleInput(rules, input);
    paramGetString(rule, "output", output, sizeof output);
    char column[1100];
    if (arrayGet(rules, output)) {
      int ix = 0;
      paramGetNumber(rule, "ix", &ix);
      snprintf(column, sizeof column, "%d =>", ix);
    } else {
      snprintf(column, sizeof column, "%s", output);
    }
    printf("%-15.15s ", column);
    char value[1024];
    paramGetString(rule, "value", value, sizeof value);
    printf("%s\n", value);
  }
  arrayFree(rules);
  return 0;
}

}  // namespace nksh
