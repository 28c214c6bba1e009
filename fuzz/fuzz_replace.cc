// fuzz_replace -- stringReplace, in sequences, against std::string.
// Input: the first text up to the first NUL, then records of six bytes and a
// text: a flag byte, start and end as signed 16-bit numbers (little end
// first), a length byte, then that many bytes of replacement (cut at a NUL).
// With flag bit 0 the replacement is instead taken from inside the string
// itself, at the offset the length byte gives: the case the module must copy
// aside before it resizes.
#include "fuzz_common.h"
#include "nkstrings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> in = nkfuzz::split(data, size, 2);
  in.resize(2);
  std::string model = in[0];
  const uint8_t *p = reinterpret_cast<const uint8_t *>(in[1].data()), *end = p + in[1].size();
  nkfuzz::HandleBalance balance;
  int s = stringDup(model.c_str());
  while (end - p >= 6) {
    int start = static_cast<int16_t>(p[1] | p[2] << 8),
        stop = static_cast<int16_t>(p[3] | p[4] << 8);
    size_t length = p[5] < end - p - 6 ? p[5] : end - p - 6;
    std::string bytes(reinterpret_cast<const char *>(p) + 6, length);
    const char *text =
        p[0] & 1 ? static_cast<char *>(memGetData(s)) + length % (model.size() + 1) : bytes.c_str();
    p += 6 + length;
    std::string replacement = text;  // before the call changes the string
    // Doubling itself each time, the string would pass the largest block,
    // which stops the process by design.
    if (model.size() + replacement.size() > 65536) continue;
    int result = stringReplace(s, start, stop, text);
    if (start < 0 || stop < start || static_cast<size_t>(stop) > model.size()) {
      FUZZ_CHECK(result == -1);
    } else {
      FUZZ_CHECK(result == 0);
      model.replace(start, stop - start, replacement);
    }
    FUZZ_CHECK(stringLen(s) == static_cast<int>(model.size()) &&
               model == static_cast<char *>(memGetData(s)));
    FUZZ_CHECK(memGetSize(s) >= static_cast<int>(model.size()) + 1);
  }
  stringFree(s);
  return 0;
}
