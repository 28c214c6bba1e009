// fuzz_argparse -- argParse over command lines made from the input.
//
// Input: one byte whose value modulo 4 is minArgs, then the words of the
// command line, separated by NULs (at most kMaxWords of them); argv[0] is
// "prog". The option table has counters, numbers, texts, a record with both a
// number and a text, and one with neither.
//
// argParse ends the process on '-?', on an unknown letter, on a missing
// value and when too few words remain. This target is linked with
// -Wl,--wrap=exit: while a parse runs, exit() jumps back here with its status
// (argParse holds nothing that needs unwinding), and at any other time it is
// the real exit, for libFuzzer's own calls. The exiting paths are so fuzzed
// as well, at full speed and in one process.
//
// Every outcome is compared with a model of the documented rules: which
// status (or none), the counters, numbers and texts set, and the words left.
#include <limits.h>
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "argparse.h"
#include "fuzz_common.h"

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status);

namespace {

constexpr int kMaxWords = 32;
constexpr int kNoExit = -1;

jmp_buf exitJump;
bool exitArmed;
int exitStatus;

// What one parse sets, in the parser and in the model alike.
struct Outcome {
  int status = kNoExit;  // the exit status, or kNoExit
  int a = 0, b = 0, n = 0, t = 0;
  int number = 0, numberOnly = 0, both = 0;
  char *text = nullptr, *textCounted = nullptr, *neverText = nullptr;
  int argc = 0;  // words left, argv[0] included (when no exit)
};

// The parser's run, argv changed in place. Nothing with a destructor lives
// here across the jump.
void runParser(int *argc, char **argv, int minArgs, Outcome *out) {
  const ArgOption table[] = {
      {&out->a, 'a', nullptr, nullptr, "a counter"},
      {&out->b, 'b', nullptr, nullptr, "another counter"},
      {&out->n, 'n', &out->number, nullptr, "a counted number"},
      {nullptr, 'x', &out->numberOnly, nullptr, "a number"},
      {nullptr, 's', nullptr, &out->text, "a text"},
      {&out->t, 't', nullptr, &out->textCounted, "a counted text"},
      {nullptr, 'm', &out->both, &out->neverText, "a number, as it has both"},
      {nullptr, 'z', nullptr, nullptr, "nothing at all"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {"prog", "prog [options] words"};
  exitStatus = kNoExit;
  if (setjmp(exitJump) == 0) {
    exitArmed = true;
    argParse(argc, argv, table, &info, minArgs);
  }
  exitArmed = false;
  out->status = exitStatus;
  out->argc = *argc;
}

int toInt(const char *text, int base) {
  long long v = strtoll(text, nullptr, base);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// The documented rules over the same words (words[0] is argv[0]).
void runModel(const std::vector<char *> &words, int minArgs, Outcome *out) {
  size_t i = 1;
  while (i < words.size() && words[i][0] == '-') {
    int consumed = 0;
    if (strcmp(words[i], "-") != 0) {
      bool negate = false;
      for (const char *c = words[i] + 1; *c && consumed == 0; c++) {
        if (*c == '~') {
          negate = true;
          continue;
        }
        int step = negate ? -1 : 1;
        negate = false;
        bool hasNext = i + 1 < words.size();
        const char *next = hasNext ? words[i + 1] : nullptr;
        int *counter = nullptr, *number = nullptr;
        char **text = nullptr;
        switch (*c) {
          case 'a':
            counter = &out->a;
            break;
          case 'b':
            counter = &out->b;
            break;
          case 'n':
            counter = &out->n;
            number = &out->number;
            break;
          case 'x':
            number = &out->numberOnly;
            break;
          case 's':
            text = &out->text;
            break;
          case 't':
            counter = &out->t;
            text = &out->textCounted;
            break;
          case 'm':
            number = &out->both;
            break;
          case 'z':
            break;
          case '?':
            out->status = 0;
            return;
          default:
            out->status = 1;
            return;
        }
        if (counter) *counter += step;
        if (number || text) {
          if (!hasNext) {
            out->status = 1;
            return;
          }
          if (number) {
            bool hex = strlen(next) > 1 && strncmp(next, "0x", 2) == 0;
            *number = toInt(next, hex ? 16 : 10);
          } else {
            *text = words[i + 1];
          }
          consumed = 1;
        }
      }
    }
    i += 1 + consumed;
  }
  out->argc = static_cast<int>(words.size() - i) + 1;
  if (out->argc <= minArgs) out->status = 0;
}

}  // namespace

extern "C" void __wrap_exit(int status) {
  if (exitArmed) {
    exitArmed = false;
    exitStatus = status;
    longjmp(exitJump, 1);
  }
  __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kDiscard);  // the usage text
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int minArgs = data[0] % 4;
  std::vector<std::string> storage = {"prog"};
  const char *p = reinterpret_cast<const char *>(data + 1);
  const char *end = reinterpret_cast<const char *>(data + size);
  while (p < end && storage.size() <= kMaxWords) {
    const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
    storage.emplace_back(p, nul ? nul : end);
    p = nul ? nul + 1 : end;
  }
  std::vector<char *> words;
  for (std::string &s : storage) words.push_back(&s[0]);

  std::vector<char *> argv = words;
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  help = wrong_param = 0;
  Outcome got, want;
  runParser(&argc, argv.data(), minArgs, &got);
  runModel(words, minArgs, &want);

  FUZZ_CHECK(got.status == want.status);
  FUZZ_CHECK(got.a == want.a && got.b == want.b && got.n == want.n && got.t == want.t);
  FUZZ_CHECK(got.number == want.number && got.numberOnly == want.numberOnly);
  FUZZ_CHECK(got.both == want.both && got.neverText == nullptr);
  FUZZ_CHECK(got.text == want.text && got.textCounted == want.textCounted);
  if (got.status == 0) FUZZ_CHECK(help == 1);
  if (got.status != kNoExit) return 0;

  // The options are gone; the words after them are left in order, the
  // closing null included.
  FUZZ_CHECK(help == 0 && wrong_param == 0);
  FUZZ_CHECK(argc == want.argc && argc > minArgs && argc >= 1);
  FUZZ_CHECK(argv[0] == words[0] && argv[argc] == nullptr);
  FUZZ_CHECK(argc == 1 || argv[1][0] != '-');
  for (int i = 1; i < argc; i++) FUZZ_CHECK(argv[i] == words[words.size() - argc + i]);
  return 0;
}
