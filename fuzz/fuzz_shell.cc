// fuzz_shell -- nkSplitWords and dispatchCommand. Input: a byte for maxWords
// (1 to kMaxWords), then the line up to its NUL. With no bus (the client
// stops the process when handed none) only lines the shell answers by itself
// are dispatched: an unknown word, version, help, exit, quit, set/get/post
// short of arguments, the statistics commands given a refused process name,
// and any command with a word holding a line end (refused, nothing run).
#include "fuzz_common.h"
#include "shell.h"

static bool holdsLineEnd(int argc, char **argv) {
  for (int i = 0; i < argc; i++)
    if (strpbrk(argv[i], "\r\n")) return true;
  return false;
}

static bool answersAlone(int argc, char **argv) {
  if (holdsLineEnd(argc, argv)) return true;
  const ShellCommand *c = nksh::findCommand(argv[0]);
  std::string name = c ? c->name : "";
  if (name == "set") return argc < 3;
  if (name == "get" || name == "post") return argc < 2;
  if (name == "memb" || name == "memstats" || name == "memh" || name == "mem" || name == "stats")
    return argc > 1 && !nksh::validProcessName(argv[1]);
  return !c || name == "version" || name == "help" || name == "exit" || name == "quit";
}

FUZZ_TARGET() {
  int maxWords = 1 + in.byte() % nksh::kMaxWords;
  std::string line = in.text().substr(0, nksh::kLineSize - 1);
  std::vector<std::string> expected;
  std::istringstream split(line);
  for (std::string word; std::getline(split, word, ' ');)
    if (!word.empty()) expected.push_back(word);

  std::vector<char> buffer(line.c_str(), line.c_str() + line.size() + 1);
  std::vector<char *> words(maxWords, nullptr);
  int n = nkSplitWords(buffer.data(), words.data(), maxWords);
  bool fits = expected.size() <= static_cast<size_t>(maxWords);
  FUZZ_CHECK(n == (fits ? static_cast<int>(expected.size()) : -1));
  for (int i = 0; i < n; i++)
    FUZZ_CHECK(words[i] >= buffer.data() && words[i] < &buffer.back() && expected[i] == words[i]);
  if (n <= 0 || !answersAlone(n, words.data())) return;

  nksh::quitRequested = 0;
  int result = dispatchCommand(n, words.data());
  const ShellCommand *c = holdsLineEnd(n, words.data()) ? nullptr : nksh::findCommand(words[0]);
  FUZZ_CHECK(result == (c ? 0 : -1));
  FUZZ_CHECK(nksh::quitRequested == (c && c->handler == nksh::findCommand("quit")->handler));
}
