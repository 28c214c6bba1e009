// fuzz_replace -- stringReplace, in sequences, against std::string. Input:
// the text up to its NUL, then records: a flag byte, start and end (int16),
// a length byte and that many bytes of replacement. With flag bit 0 the
// replacement comes from the string itself, at the offset the length gives.
#include "fuzz_common.h"
#include "nkstrings.h"

FUZZ_TARGET() {
  std::string model = in.text();
  int s = stringDup(model.c_str());
  while (in.end - in.p >= 6) {
    uint8_t flag = in.byte();
    int start = in.get<int16_t>(), stop = in.get<int16_t>();
    std::string bytes = in.bytes(in.byte());
    const char *text = flag & 1
                           ? static_cast<char *>(memGetData(s)) + bytes.size() % (model.size() + 1)
                           : bytes.c_str();
    std::string replacement = text;  // before the call changes the string
    // Doubling itself each time, the string would pass the largest block,
    // which stops the process by design.
    if (model.size() + replacement.size() > 65536) continue;
    int result = stringReplace(s, start, stop, text);
    bool valid = start >= 0 && stop >= start && static_cast<size_t>(stop) <= model.size();
    FUZZ_CHECK(result == (valid ? 0 : -1));
    if (valid) model.replace(start, stop - start, replacement);
    FUZZ_CHECK(stringLen(s) == static_cast<int>(model.size()) && memGetSize(s) > stringLen(s) &&
               model == static_cast<char *>(memGetData(s)));
  }
  stringFree(s);
}
