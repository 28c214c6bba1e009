/* nkstrings.h -- growable NUL-terminated texts held in memory handles.
 *
 * A string handle is an ordinary memory handle whose data is a text and its
 * terminator; its recorded size (memGetSize) is the room the text may use,
 * terminator included. Every operation that lengthens a string first resizes
 * the handle to the exact size needed. Data pointers obtained earlier go stale
 * when a string grows beyond its block's capacity (219 characters fit the
 * smallest block). No locks: a string is used by one thread at a time. An
 * invalid handle stops the process through the allocator's checks. */
#ifndef NK_NKSTRINGS_H
#define NK_NKSTRINGS_H

#include "mem.h"
#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define stringAlloc(length) stringAllocActual((length), __LINE__, NK_MODULE)
#define stringFree(handle) stringFreeActual((handle), __LINE__, NK_MODULE)
#define stringFreePtr(ptr) stringFreePtrActual((ptr), __LINE__, NK_MODULE)
#define stringDup(text) stringDupActual((text), __LINE__, NK_MODULE)
#define stringDupPtr(text) stringDupPtrActual((text), __LINE__, NK_MODULE)

/* A new string of recorded size length + 1 holding the empty text. */
NK_API int stringAllocActual(int length, int line, const char *module);
NK_API void stringFreeActual(int handle, int line, const char *module);
/* Frees a string obtained as a pointer (stringDupPtr). */
NK_API void stringFreePtrActual(void *ptr, int line, const char *module);
/* A new string of size strlen(text) + 1 holding a copy of text. */
NK_API int stringDupActual(const char *text, int line, const char *module);
/* The same, returning the data pointer; release it with stringFreePtr. */
NK_API char *stringDupPtrActual(const char *text, int line, const char *module);

/* Formats into the string, growing it as needed. Returns 0. */
NK_API int stringPrintf(int handle, const char *format, ...) NK_PRINTF(2, 3);
/* Sets the size to strlen(text) + 1 and copies text; returns that size. */
NK_API int stringCopy(int handle, const char *text);
/* Sets the size to n + 1, copies at most n bytes of text, fills the rest of
 * the n bytes with NUL and terminates at n; returns n + 1. */
NK_API int stringCopyN(int handle, const char *text, int n);
/* Appends text; returns the new size strlen + strlen + 1. */
NK_API int stringCats(int handle, const char *text);
/* Appends the other string's text. */
NK_API int stringCat(int handle, int other);
/* strcmp and strncmp of the two texts. */
NK_API int stringComp(int a, int b);
NK_API int stringCompN(int a, int b, int n);
NK_API int stringLen(int handle);
/* Replaces bytes start .. end - 1 with text; 0, or -1 when start > end or end
 * lies beyond the text (nothing changed). */
NK_API int stringReplace(int handle, int start, int end, const char *text);
/* Replaces every byte equal to from (compared as unsigned bytes) by to;
 * returns how many. */
NK_API int stringReplaceChar(int handle, int from, int to);

/* Finds, within one stretch of text free of space, tab and line feed, two
 * successive occurrences of the delimiter sequence seq, searching from
 * text + *start. On 0 *start is the offset of the first occurrence and *end
 * the offset just past the second; -1 when there is no such pair (or seq is
 * empty), *start then possibly holding an abandoned first occurrence. The
 * characters of one occurrence need not be adjacent. */
NK_API int stringFindEscapeSeqPtr(const char *text, const char *seq, int *start, int *end);
NK_API int stringFindEscapeSeq(int handle, const char *seq, int *start, int *end);

#ifdef __cplusplus
}
#endif

#endif /* NK_NKSTRINGS_H */
