// fuzz_argparse -- argParse over command lines made from the input, against a
// model of its documented rules: the exit status (or none), the counters,
// numbers and texts set, and the words left.
// Input: a byte whose value modulo 4 is minArgs, then the words, separated by
// NULs (at most 32); argv[0] is "prog". argParse ends the process on '-?', an
// unknown letter, a missing value and too few words: this target is linked
// with -Wl,--wrap=exit, and while a parse runs exit() jumps back here with
// its status (argParse holds nothing that needs unwinding), so the exiting
// paths are fuzzed in one process too.
#include <limits.h>
#include <setjmp.h>

#include "argparse.h"
#include "fuzz_common.h"

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status);

namespace {

constexpr int kNoExit = -1;
jmp_buf exitJump;
bool exitArmed;
int exitStatus;

// The options: which counter, number and text each sets (-1: none). 'm' has
// both a number and a text; it takes the number.
struct Spec {
  char letter;
  int counter, number, text;
};
constexpr Spec kSpecs[] = {{'a', 0, -1, -1}, {'b', 1, -1, -1}, {'n', 2, 0, -1}, {'x', -1, 1, -1},
                           {'s', -1, -1, 0}, {'t', 3, -1, 1},  {'m', -1, 2, 2}, {'z', -1, -1, -1}};
constexpr int kOptions = sizeof kSpecs / sizeof kSpecs[0];

struct Outcome {
  int status = kNoExit;
  int counters[4] = {}, numbers[3] = {};
  char *texts[3] = {};
  int argc = 0;  // words left, argv[0] included
  bool operator==(const Outcome &o) const {
    return status == o.status && !memcmp(counters, o.counters, sizeof counters) &&
           !memcmp(numbers, o.numbers, sizeof numbers) && !memcmp(texts, o.texts, sizeof texts) &&
           (status != kNoExit || argc == o.argc);
  }
};

// Nothing with a destructor lives here across the jump.
void runParser(int *argc, char **argv, int minArgs, Outcome *out) {
  ArgOption table[kOptions + 1] = {};
  for (int i = 0; i < kOptions; i++) {
    const Spec &s = kSpecs[i];
    table[i] = {s.counter < 0 ? nullptr : &out->counters[s.counter], s.letter,
                s.number < 0 ? nullptr : &out->numbers[s.number],
                s.text < 0 ? nullptr : &out->texts[s.text], "an option"};
  }
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

void runModel(const std::vector<char *> &words, int minArgs, Outcome *out) {
  size_t i = 1;
  for (; i < words.size() && words[i][0] == '-'; i++) {
    bool negate = false, consumed = false;
    for (const char *c = words[i] + 1; *c && strcmp(words[i], "-") && !consumed; c++) {
      const Spec *s =
          std::find_if(kSpecs, kSpecs + kOptions, [c](const Spec &o) { return o.letter == *c; });
      if (*c == '~') {
        negate = true;
        continue;
      }
      if (s == kSpecs + kOptions) {
        out->status = *c == '?' ? 0 : 1;
        return;
      }
      if (s->counter >= 0) out->counters[s->counter] += negate ? -1 : 1;
      negate = false;
      if (s->number < 0 && s->text < 0) continue;
      if (i + 1 == words.size()) {
        out->status = 1;
        return;
      }
      const char *next = words[++i];
      consumed = true;
      if (s->number < 0) {
        out->texts[s->text] = words[i];
      } else {
        long long v = strtoll(next, nullptr, strlen(next) > 1 && !strncmp(next, "0x", 2) ? 16 : 10);
        out->numbers[s->number] = v > INT_MAX   ? INT_MAX
                                  : v < INT_MIN ? INT_MIN
                                                : static_cast<int>(v);
      }
    }
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
  nkfuzz::init(true);  // the usage text
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::vector<std::string> storage = nkfuzz::split(data + 1, size - 1, 32);
  storage.insert(storage.begin(), "prog");
  std::vector<char *> words;
  for (std::string &s : storage) words.push_back(&s[0]);
  std::vector<char *> argv = words;
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size()), minArgs = data[0] % 4;
  help = wrong_param = 0;
  Outcome got, want;
  runParser(&argc, argv.data(), minArgs, &got);
  runModel(words, minArgs, &want);
  FUZZ_CHECK(got == want && got.texts[2] == nullptr);
  if (got.status == 0) FUZZ_CHECK(help == 1);
  if (got.status != kNoExit) return 0;
  FUZZ_CHECK(help == 0 && wrong_param == 0);
  // The words after the options are left in order, the closing null too.
  FUZZ_CHECK(argc > minArgs && argv[0] == words[0] && argv[argc] == nullptr);
  for (int i = 1; i < argc; i++) FUZZ_CHECK(argv[i] == words[words.size() - argc + i]);
  return 0;
}
