// fuzz_param -- paramGetString and paramGetNumber over arbitrary
// "name=value,..." lists, keys and buffer sizes.
// Input: a byte for the buffer size (its value less 16, so that sizes of 0
// and below come too; bit 0 of the next byte: a null list), the key up to
// the first NUL, then the list.
#include <limits.h>

#include "argparse.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  int outSize = data[0] - 16;
  std::vector<std::string> in = nkfuzz::split(data + 2, size - 2, 2);
  in.resize(2);
  const char *key = in[0].c_str(), *list = data[1] & 1 ? nullptr : in[1].c_str();

  // The whole value, in a buffer that holds any value of the list: empty when
  // the key is missing (-1), else a stretch of the list after a '=' that runs
  // to a ',' or the end.
  size_t room = in[1].size() + 1;
  std::vector<char> whole(room, 'x');
  int wholeResult = paramGetString(list, key, whole.data(), static_cast<int>(room));
  FUZZ_CHECK((wholeResult == 0 || wholeResult == -1) && memchr(whole.data(), 0, room));
  std::string value = whole.data();
  if (!list || wholeResult == -1) FUZZ_CHECK(value.empty());
  if (!list) FUZZ_CHECK(wholeResult == 0);
  if (!value.empty()) {
    std::string text = list;
    size_t at = text.find("=" + value);
    while (at != std::string::npos && at + 1 + value.size() < text.size() &&
           text[at + 1 + value.size()] != ',')
      at = text.find("=" + value, at + 1);
    FUZZ_CHECK(at != std::string::npos && value.find(',') == std::string::npos);
  }

  // Into exactly outSize bytes (none touched for 0 and below): the same
  // result, the value cut to the room and terminated.
  char *out = static_cast<char *>(malloc(outSize > 0 ? outSize : 0));
  FUZZ_CHECK(paramGetString(list, key, out, outSize) == wholeResult);
  if (outSize > 0) FUZZ_CHECK(value.substr(0, outSize - 1) == out);
  free(out);

  // paramGetNumber reads the value as cut to 31 characters, held to int.
  char text[32];
  paramGetString(list, key, text, sizeof text);
  long long expected = strtoll(text, nullptr, 10);
  expected = expected > INT_MAX ? INT_MAX : expected < INT_MIN ? INT_MIN : expected;
  int number = 12345;
  FUZZ_CHECK(paramGetNumber(list, key, &number) == 0 && number == expected);
  return 0;
}
