// fuzz_escapeseq -- stringFindEscapeSeq (and its pointer form) against a
// plain reading of its contract.
// Input: a byte for the starting offset (modulo the text's length plus one),
// the delimiter sequence up to the first NUL, then the text up to the next.
// Expected: in the first stretch from the offset that is free of space, tab
// and line feed and holds the sequence twice over as a subsequence, the
// leftmost such match, from its first character (*start) to one past its
// last (*end); else (or for an empty sequence) -1.
#include "fuzz_common.h"
#include "nkstrings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::vector<std::string> in = nkfuzz::split(data + 1, size - 1, 3);
  in.resize(2);
  const std::string &seq = in[0], twice = seq + seq, text = in[1];
  size_t from = data[0] % (text.size() + 1);
  int want = -1, wantStart = 0, wantEnd = 0;
  for (size_t pos = from; !seq.empty() && want < 0 && pos < text.size();) {
    size_t stop = std::min(text.find_first_of(" \t\n", pos), text.size()), k = 0;
    for (size_t i = pos; i < stop && want < 0; i++) {
      if (text[i] != twice[k]) continue;
      if (k == 0) wantStart = static_cast<int>(i);
      if (++k == twice.size()) want = 0, wantEnd = static_cast<int>(i + 1);
    }
    pos = stop + 1;
  }

  nkfuzz::HandleBalance balance;
  int s = stringDup(text.c_str());
  for (int viaHandle = 0; viaHandle < 2; viaHandle++) {
    int start = static_cast<int>(from), end = 0;
    int got = viaHandle ? stringFindEscapeSeq(s, seq.c_str(), &start, &end)
                        : stringFindEscapeSeqPtr(text.c_str(), seq.c_str(), &start, &end);
    FUZZ_CHECK(got == want && (want != 0 || (start == wantStart && end == wantEnd)));
  }
  stringFree(s);
  return 0;
}
