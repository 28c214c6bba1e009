// fuzz_escapeseq -- stringFindEscapeSeq and its pointer form. Input: a byte
// for the starting offset (modulo the text's length plus one), the sequence
// up to the first NUL, the text up to the next. Expected: in the first stretch
// from the offset free of space, tab and line feed that holds the sequence
// twice over as a subsequence, the leftmost such match, from its first
// character (*start) to one past its last (*end); else (or for an empty
// sequence) -1.
#include "fuzz_common.h"
#include "nkstrings.h"

FUZZ_TARGET() {
  uint8_t offset = in.byte();
  std::vector<std::string> pieces = in.split(3, 2);
  const std::string &seq = pieces[0], twice = seq + seq, &text = pieces[1];
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
