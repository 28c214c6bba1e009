// fuzz_argparse -- argParse over command lines made from the input.
// Input: a byte whose value modulo 4 is minArgs, then the words, separated by
// NULs (at most 32); argv[0] is "prog". argParse ends the process on '-?', an
// unknown letter, a missing value and too few words: this target is linked
// with -Wl,--wrap=exit, and while a parse runs exit() jumps back here with
// its status (argParse holds nothing that needs unwinding), so the exiting
// paths are fuzzed in one process too. Checked: the status is 0 (help) or 1;
// otherwise the words left are the input's last ones, in order, the first
// of them no option, more than minArgs, the closing null in place; a value
// taken by a text option is one of the words.
#include <setjmp.h>

#include "argparse.h"
#include "fuzz_common.h"

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status);

namespace {

jmp_buf exitJump;
bool exitArmed;
int exitStatus;

}  // namespace

extern "C" void __wrap_exit(int status) {
  if (!exitArmed) __real_exit(status);
  exitArmed = false;
  exitStatus = status;
  longjmp(exitJump, 1);
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
  int a = 0, n = 0, number = 0, numberOnly = 0, both = 0;
  char *text = nullptr, *neverText = nullptr;
  const ArgOption table[] = {{&a, 'a', nullptr, nullptr, "a counter"},
                             {&n, 'n', &number, nullptr, "a counted number"},
                             {nullptr, 'x', &numberOnly, nullptr, "a number"},
                             {&a, 't', nullptr, &text, "a counted text"},
                             {nullptr, 'm', &both, &neverText, "a number, as it has both"},
                             {nullptr, 'z', nullptr, nullptr, "nothing at all"},
                             {nullptr, 0, nullptr, nullptr, nullptr}};
  const ArgInfo info = {"prog", "prog [options] words"};
  help = wrong_param = 0;
  exitStatus = -1;
  if (setjmp(exitJump) == 0) {
    exitArmed = true;
    argParse(&argc, argv.data(), table, &info, minArgs);
  }
  exitArmed = false;
  FUZZ_CHECK(neverText == nullptr &&
             (!text || std::find(words.begin(), words.end(), text) != words.end()));
  if (exitStatus != -1) {
    FUZZ_CHECK(exitStatus == 0 ? help == 1 : exitStatus == 1);
    return 0;
  }
  FUZZ_CHECK(help == 0 && wrong_param == 0 && argc > minArgs && argv[0] == words[0] && !argv[argc]);
  FUZZ_CHECK(argc == 1 || argv[1][0] != '-');
  for (int i = 1; i < argc; i++) FUZZ_CHECK(argv[i] == words[words.size() - argc + i]);
  return 0;
}
