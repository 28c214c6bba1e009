// fuzz_escapeseq -- stringFindEscapeSeq(Ptr). Input: a byte for the offset
// (modulo the text's length plus one), the sequence, the text (NUL-ended).
// Expected: the leftmost match of the sequence twice over, as a subsequence,
// in the first stretch from the offset free of space, tab and line feed that
// holds one: *start at its first character, *end one past its last; else -1.
#include "fuzz_common.h"
#include "nkstrings.h"

FUZZ_TARGET() {
  uint8_t offset = in.byte();
  std::string seq = in.text(), twice = seq + seq, text = in.text();
  size_t from = offset % (text.size() + 1);
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

  int s = stringDup(text.c_str());
  for (int viaHandle = 0; viaHandle < 2; viaHandle++) {
    int start = static_cast<int>(from), end = 0;
    int got = viaHandle ? stringFindEscapeSeq(s, seq.c_str(), &start, &end)
                        : stringFindEscapeSeqPtr(text.c_str(), seq.c_str(), &start, &end);
    FUZZ_CHECK(got == want && (want != 0 || (start == wantStart && end == wantEnd)));
  }
  stringFree(s);
}
