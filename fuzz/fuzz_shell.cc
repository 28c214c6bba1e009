// fuzz_shell -- the shell's splitWords and dispatchCommand.
// Input: a byte that sets maxWords (1 to nksh::kMaxWords), then the command
// line, cut at its first NUL and to the shell's line size. The words are
// compared with a plain reading (runs of spaces separate words). There is no
// bus here, and the bus client stops the process when handed none; so only
// lines that the shell answers by itself are dispatched: an unknown word,
// version, help, exit and quit, set/get/post without their arguments, and
// the statistics commands given a process name they refuse.
#include "fuzz_common.h"
#include "shell.h"

namespace {

bool answersAlone(int argc, char **argv) {
  const ShellCommand *c = nksh::findCommand(argv[0]);
  std::string name = c ? c->name : "";
  if (!c || name == "version" || name == "help" || name == "exit" || name == "quit") return true;
  if (name == "set") return argc < 3;
  if (name == "get" || name == "post") return argc < 2;
  if (name == "memb" || name == "memstats" || name == "memh" || name == "mem" || name == "stats")
    return argc > 1 && !nksh::validProcessName(argv[1]);
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(true);  // the commands print their answers
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int maxWords = 1 + data[0] % nksh::kMaxWords;
  std::vector<std::string> in = nkfuzz::split(data + 1, size - 1, 2);
  in.resize(1);
  std::string line = in[0].substr(0, nksh::kLineSize - 1);
  std::vector<std::string> expected;
  for (size_t pos = line.find_first_not_of(' '), end; pos != std::string::npos;
       pos = line.find_first_not_of(' ', end)) {
    end = std::min(line.find(' ', pos), line.size());
    expected.push_back(line.substr(pos, end - pos));
  }

  std::vector<char> buffer(line.c_str(), line.c_str() + line.size() + 1);
  std::vector<char *> words(maxWords, nullptr);
  int n = nksh::splitWords(buffer.data(), words.data(), maxWords);
  if (expected.size() > static_cast<size_t>(maxWords)) {
    FUZZ_CHECK(n == -1);
    return 0;
  }
  FUZZ_CHECK(n == static_cast<int>(expected.size()));
  for (int i = 0; i < n; i++) {
    FUZZ_CHECK(words[i] >= buffer.data() && words[i] < buffer.data() + buffer.size());
    FUZZ_CHECK(expected[i] == words[i]);
  }
  if (n == 0 || !answersAlone(n, words.data())) return 0;

  nkfuzz::HandleBalance balance;
  nksh::quitRequested = 0;
  int result = dispatchCommand(n, words.data());
  const ShellCommand *c = nksh::findCommand(words[0]);
  FUZZ_CHECK(c ? result == 0 : result == -1);
  FUZZ_CHECK(nksh::quitRequested == (c && c->handler == nksh::findCommand("quit")->handler));
  return 0;
}
