// fuzz_param -- paramGetString and paramGetNumber. Input: a byte for the
// buffer size (its value less 16: sizes of 0 and below too), a byte whose bit
// 0 makes the list null, the key up to the first NUL, then the list.
#include <limits.h>

#include "argparse.h"
#include "fuzz_common.h"

FUZZ_TARGET() {
  int outSize = in.byte() - 16;
  bool nullList = in.byte() & 1;
  std::string key = in.text(), rest = in.bytes(SIZE_MAX);
  const char *list = nullList ? nullptr : rest.c_str();

  // The whole value: empty when the key is missing (-1) or the list null (0),
  // else a stretch of the list after a '=' that runs to a ',' or the end.
  size_t room = rest.size() + 1;
  std::vector<char> whole(room, 'x');
  int wholeResult = paramGetString(list, key.c_str(), whole.data(), static_cast<int>(room));
  FUZZ_CHECK((wholeResult == 0 || wholeResult == -1) && (list || wholeResult == 0));
  FUZZ_CHECK(memchr(whole.data(), 0, room) != nullptr);
  std::string value = whole.data();
  FUZZ_CHECK(value.empty() ||
             (list && wholeResult == 0 && value.find(',') == std::string::npos &&
              (list + std::string(",")).find("=" + value + ",") != std::string::npos));

  // Into exactly outSize bytes (none for 0 and below): the value cut to fit.
  char *out = static_cast<char *>(malloc(outSize > 0 ? outSize : 0));
  FUZZ_CHECK(paramGetString(list, key.c_str(), out, outSize) == wholeResult);
  FUZZ_CHECK(outSize <= 0 || value.substr(0, outSize - 1) == out);
  free(out);

  // paramGetNumber reads the value as cut to 31 characters, held to int.
  long long expected = strtoll(value.substr(0, 31).c_str(), nullptr, 10);
  int number = 12345;
  FUZZ_CHECK(paramGetNumber(list, key.c_str(), &number) == 0 &&
             number == std::clamp<long long>(expected, INT_MIN, INT_MAX));
}
