// fuzz_replace -- stringReplace, in sequences, against std::string.
//
// Input: the first text up to the first NUL, then records of six bytes and a
// text: a flag byte, start and end as signed 16-bit numbers (little end
// first), and a length byte; then that many bytes of replacement text (cut
// at a NUL, as a C string is). With flag bit 0 the replacement text is
// instead taken from inside the string itself, at the offset given by the
// length byte: the case the module copies aside before it resizes.
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "nkstrings.h"

namespace {

constexpr size_t kMaxText = 65536;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  const char *nul = static_cast<const char *>(memchr(p, '\0', size));
  std::string model(p, nul ? nul : end);
  p = nul ? nul + 1 : end;

  nkfuzz::HandleBalance balance;
  int s = stringDup(model.c_str());
  while (end - p >= 6) {
    int flags = static_cast<uint8_t>(p[0]);
    int start = static_cast<int16_t>(static_cast<uint8_t>(p[1]) | static_cast<uint8_t>(p[2]) << 8);
    int stop = static_cast<int16_t>(static_cast<uint8_t>(p[3]) | static_cast<uint8_t>(p[4]) << 8);
    size_t length = static_cast<uint8_t>(p[5]);
    p += 6;
    if (length > static_cast<size_t>(end - p)) length = end - p;
    std::string bytes(p, length);
    p += length;

    char *own = static_cast<char *>(memGetData(s));
    const char *text;
    if (flags & 1) {
      text = own + length % (model.size() + 1);
    } else {
      text = bytes.c_str();
    }
    std::string replacement = text;  // before the call changes the string
    // A text taken from the string itself can double it each time; a block
    // holds 4 MiB at most, and going past that stops the process by design.
    if (model.size() + replacement.size() > kMaxText) continue;

    size_t from = static_cast<unsigned>(start), to = static_cast<unsigned>(stop);
    int result = stringReplace(s, start, stop, text);
    if (from > to || to > model.size()) {
      FUZZ_CHECK(result == -1);
    } else {
      FUZZ_CHECK(result == 0);
      model.replace(from, to - from, replacement);
    }
    FUZZ_CHECK(stringLen(s) == static_cast<int>(model.size()));
    FUZZ_CHECK(model == static_cast<const char *>(memGetData(s)));
    FUZZ_CHECK(memGetSize(s) >= static_cast<int>(model.size()) + 1);
  }
  stringFree(s);
  return 0;
}
