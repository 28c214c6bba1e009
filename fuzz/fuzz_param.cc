// fuzz_param -- paramGetString and paramGetNumber over arbitrary
// "name=value,..." lists, keys and buffer sizes.
//
// Input: one byte for the buffer size (its value less 16, so that sizes of 0
// and below come up too), the key up to the first NUL, then the list. Without
// a NUL the rest is the key and the list is null.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "argparse.h"
#include "fuzz_common.h"

namespace {

// What paramGetNumber must give for a text: its leading decimal digits, held
// to the int range.
int expectedNumber(const char *text) {
  long long v = strtoll(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// Whether value stands in list right after an '=' and runs to a ',' or the
// end of the list: the shape of every value the reader may hand out.
bool isValueOf(const char *list, const char *value) {
  size_t n = strlen(list), len = strlen(value);
  if (strchr(value, ',')) return false;
  for (size_t i = 1; i + len <= n; i++) {
    if (list[i - 1] == '=' && memcmp(list + i, value, len) == 0 &&
        (list[i + len] == ',' || list[i + len] == '\0')) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int outSize = static_cast<int>(data[0]) - 16;
  const char *begin = reinterpret_cast<const char *>(data + 1);
  const char *end = reinterpret_cast<const char *>(data + size);
  const char *nul = static_cast<const char *>(memchr(begin, '\0', end - begin));
  std::string key(begin, nul ? nul : end);
  std::string listText(nul ? nul + 1 : end, end);
  const char *list = nul ? listText.c_str() : nullptr;

  // The whole value, in a buffer that holds any value of the list.
  size_t room = list ? strlen(list) + 1 : 1;
  std::vector<char> whole(room, 'x');
  int wholeResult = paramGetString(list, key.c_str(), whole.data(), static_cast<int>(room));
  FUZZ_CHECK(wholeResult == 0 || wholeResult == -1);
  FUZZ_CHECK(memchr(whole.data(), '\0', room) != nullptr);
  size_t wholeLength = strlen(whole.data());
  if (!list) FUZZ_CHECK(wholeResult == 0 && wholeLength == 0);
  if (wholeResult == -1) FUZZ_CHECK(wholeLength == 0);
  if (wholeLength > 0) FUZZ_CHECK(isValueOf(list, whole.data()));

  // The same call into a buffer of exactly outSize bytes (none at all for a
  // size of 0 or below, which must not be touched): the same result, the
  // value cut to the room and terminated.
  char *out = static_cast<char *>(malloc(outSize > 0 ? outSize : 0));
  int result = paramGetString(list, key.c_str(), out, outSize);
  FUZZ_CHECK(result == wholeResult);
  if (outSize > 0) {
    size_t kept = wholeLength < static_cast<size_t>(outSize - 1) ? wholeLength : outSize - 1;
    FUZZ_CHECK(memcmp(out, whole.data(), kept) == 0 && out[kept] == '\0');
  }
  free(out);

  // paramGetNumber reads the value as cut to 31 characters.
  char text[32];
  paramGetString(list, key.c_str(), text, sizeof text);
  int value = 12345;
  FUZZ_CHECK(paramGetNumber(list, key.c_str(), &value) == 0);
  FUZZ_CHECK(value == expectedNumber(text));
  return 0;
}
