// nkstrings -- texts in memory handles.
//
// A text given to stringCopy, stringCats, stringCat or stringReplace may lie
// inside the very string it changes: it is copied aside first, since a resize
// can move (or, without copy, clear) the data it points into.
#define NK_MODULE "nkstrings"
#define NK_LOGMASK LOGMASK_CONTAINERS
#include "nkstrings.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "nkassert_internal.h"
#include "nksyslog.h"

namespace {

inline char *textOf(int handle) { return static_cast<char *>(memGetData(handle)); }

// A private copy of text when it lies inside handle's data, else null.
char *copyIfInside(int handle, const char *text) {
  const char *data = textOf(handle);
  if (text < data || text > data + memGetSize(handle)) return nullptr;
  char *copy = strdup(text);
  NK_ASSERT(copy != nullptr);
  return copy;
}

}  // namespace

int stringAllocActual(int length, int line, const char *module) {
  return memAllocActual(length + 1, line, module);
}

void stringFreeActual(int handle, int line, const char *module) {
  memFreeActual(handle, line, module);
}

void stringFreePtrActual(void *ptr, int line, const char *module) {
  memFreePtrActual(ptr, line, module);
}

int stringDupActual(const char *text, int line, const char *module) {
  int len = static_cast<int>(strlen(text));
  int handle = memAllocActual(len + 1, line, module);
  memcpy(textOf(handle), text, len + 1);
  return handle;
}

char *stringDupPtrActual(const char *text, int line, const char *module) {
  int len = static_cast<int>(strlen(text));
  char *p = static_cast<char *>(memAllocPtrActual(len + 1, line, module));
  memcpy(p, text, len + 1);
  return p;
}

int stringPrintf(int handle, const char *format, ...) {
  for (;;) {
    int size = memGetSize(handle);
    va_list args;
    va_start(args, format);
    int n = vsnprintf(textOf(handle), size, format, args);
    va_end(args);
    if (n < 0 || n + 1 <= size) return 0;
    memResize(handle, 0, n + 1);
  }
}

int stringCopy(int handle, const char *text) {
  char *aside = copyIfInside(handle, text);
  const char *src = aside ? aside : text;
  int size = static_cast<int>(strlen(src)) + 1;
  memResize(handle, 0, size);
  memcpy(textOf(handle), src, size);
  free(aside);
  return size;
}

int stringCopyN(int handle, const char *text, int n) {
  NK_ASSERT(n >= 0);
  char *aside = copyIfInside(handle, text);
  memResize(handle, 0, n + 1);
  char *data = textOf(handle);
  strncpy(data, aside ? aside : text, n);
  data[n] = '\0';
  free(aside);
  return n + 1;
}

int stringCats(int handle, const char *text) {
  char *aside = copyIfInside(handle, text);
  const char *src = aside ? aside : text;
  size_t have = strlen(textOf(handle));
  size_t add = strlen(src);
  int size = static_cast<int>(have + add + 1);
  memResize(handle, 1, size);
  memcpy(textOf(handle) + have, src, add + 1);
  free(aside);
  return size;
}

int stringCat(int handle, int other) { return stringCats(handle, textOf(other)); }

int stringComp(int a, int b) { return strcmp(textOf(a), textOf(b)); }

int stringCompN(int a, int b, int n) { return strncmp(textOf(a), textOf(b), n); }

int stringLen(int handle) { return static_cast<int>(strlen(textOf(handle))); }

int stringReplace(int handle, int start, int end, const char *text) {
  size_t len = strlen(textOf(handle));
  size_t from = static_cast<unsigned>(start), to = static_cast<unsigned>(end);
  if (from > to || to > len) return -1;
  char *aside = copyIfInside(handle, text);
  const char *src = aside ? aside : text;
  size_t add = strlen(src);
  size_t result = len - (to - from) + add;
  if (result > len) memResize(handle, 1, static_cast<int>(result + 1));
  char *temp = static_cast<char *>(
      memGetData(stringAllocActual(static_cast<int>(result), __LINE__, NK_MODULE)));
  char *data = textOf(handle);
  memcpy(temp, data, from);
  memcpy(temp + from, src, add);
  memcpy(temp + from + add, data + to, len - to + 1);
  memcpy(data, temp, result + 1);
  memFreePtrActual(temp, __LINE__, NK_MODULE);
  free(aside);
  return 0;
}

int stringReplaceChar(int handle, int from, int to) {
  int count = 0;
  unsigned char match = static_cast<unsigned char>(from);
  for (char *p = textOf(handle); *p; p++) {
    if (static_cast<unsigned char>(*p) == match) {
      *p = static_cast<char>(to);
      count++;
    }
  }
  return count;
}

int stringFindEscapeSeqPtr(const char *text, const char *seq, int *start, int *end) {
  size_t seqLen = strlen(seq);
  if (seqLen == 0) return -1;
  size_t k = 0;
  bool firstDone = false;
  const char *p = text + *start;
  for (;;) {
    const char set[] = {seq[k], ' ', '\t', '\n', '\0'};
    const char *hit = strpbrk(p, set);
    if (!hit) return -1;
    p = hit + 1;
    if (*hit == ' ' || *hit == '\t' || *hit == '\n') {
      k = 0;
      firstDone = false;
      continue;
    }
    if (k == 0 && !firstDone) *start = static_cast<int>(hit - text);
    if (++k < seqLen) continue;
    k = 0;
    if (!firstDone) {
      firstDone = true;
      continue;
    }
    *end = static_cast<int>(p - text);
    return 0;
  }
}

int stringFindEscapeSeq(int handle, const char *seq, int *start, int *end) {
  return stringFindEscapeSeqPtr(textOf(handle), seq, start, end);
}
