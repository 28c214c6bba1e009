// fuzz_escapeseq -- stringFindEscapeSeq (and its pointer form) against a
// plain reading of its contract.
//
// Input: one byte for the starting offset (modulo the text's length plus
// one), the delimiter sequence up to the first NUL, then the text up to the
// next. The expected answer: in the first stretch of the text from the
// starting offset that is free of space, tab and line feed and holds the
// sequence twice over as a subsequence, the leftmost such match; its first
// character is *start and one past its last is *end. With no such stretch
// (or an empty sequence) the result is -1.
#include <string.h>

#include <string>

#include "fuzz_common.h"
#include "nkstrings.h"

namespace {

struct Found {
  int result = -1;
  int start = 0, end = 0;
};

Found expected(const std::string &text, const std::string &seq, size_t from) {
  Found f;
  if (seq.empty()) return f;
  const std::string twice = seq + seq;
  size_t pos = from;
  while (pos < text.size()) {
    size_t stop = text.find_first_of(" \t\n", pos);
    if (stop == std::string::npos) stop = text.size();
    size_t k = 0, first = 0;
    for (size_t i = pos; i < stop; i++) {
      if (text[i] != twice[k]) continue;
      if (k == 0) first = i;
      if (++k == twice.size()) {
        f.result = 0;
        f.start = static_cast<int>(first);
        f.end = static_cast<int>(i + 1);
        return f;
      }
    }
    pos = stop + 1;
  }
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const char *p = reinterpret_cast<const char *>(data + 1);
  const char *end = reinterpret_cast<const char *>(data + size);
  const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
  std::string seq(p, nul ? nul : end);
  std::string text = nul ? std::string(nul + 1, end).c_str() : "";
  size_t from = data[0] % (text.size() + 1);
  Found want = expected(text, seq, from);

  Found got;
  got.start = static_cast<int>(from);
  got.result = stringFindEscapeSeqPtr(text.c_str(), seq.c_str(), &got.start, &got.end);
  FUZZ_CHECK(got.result == want.result);
  if (want.result == 0) FUZZ_CHECK(got.start == want.start && got.end == want.end);

  nkfuzz::HandleBalance balance;
  int s = stringDup(text.c_str());
  Found viaHandle;
  viaHandle.start = static_cast<int>(from);
  viaHandle.result = stringFindEscapeSeq(s, seq.c_str(), &viaHandle.start, &viaHandle.end);
  FUZZ_CHECK(viaHandle.result == got.result);
  if (got.result == 0) FUZZ_CHECK(viaHandle.start == got.start && viaHandle.end == got.end);
  stringFree(s);
  return 0;
}
