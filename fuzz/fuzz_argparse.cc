// fuzz_argparse -- argParse over minArgs (a byte, modulo 4) and up to 32
// NUL-separated words after "prog". exit() (-Wl,--wrap=exit) jumps back here
// during a parse, as argParse holds nothing to unwind: status 0 with help, or
// 1. Otherwise the words left are the input's last, in order, the first no
// option, more than minArgs; a text option's value is one of the words.
#include <setjmp.h>

#include "argparse.h"
#include "fuzz_common.h"

extern "C" [[noreturn]] void __real_exit(int status);

static jmp_buf *exitJump;  // while a parse runs
static int exitStatus;

extern "C" void __wrap_exit(int status) {
  if (!exitJump) __real_exit(status);
  exitStatus = status;
  longjmp(*exitJump, 1);
}

FUZZ_TARGET() {
  int minArgs = in.byte() % 4;
  std::vector<std::string> storage = {"prog"};
  while (in.p < in.end && storage.size() <= 32) storage.push_back(in.text());
  std::vector<char *> words, argv(storage.size() + 1, nullptr);
  for (size_t i = 0; i < storage.size(); i++) words.push_back(argv[i] = &storage[i][0]);
  int argc = static_cast<int>(words.size());
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
  jmp_buf jump;
  exitJump = &jump;
  exitStatus = -1;
  if (setjmp(jump) == 0) argParse(&argc, argv.data(), table, &info, minArgs);
  exitJump = nullptr;
  FUZZ_CHECK(neverText == nullptr &&
             (!text || std::find(words.begin(), words.end(), text) != words.end()));
  FUZZ_CHECK(exitStatus == -1 || (exitStatus == 0 ? help == 1 : exitStatus == 1));
  if (exitStatus != -1) return;
  FUZZ_CHECK(help == 0 && wrong_param == 0 && argc > minArgs && argv[0] == words[0] && !argv[argc]);
  FUZZ_CHECK(argc == 1 || argv[1][0] != '-');
  for (int i = 1; i < argc; i++) FUZZ_CHECK(argv[i] == words[words.size() - argc + i]);
}
