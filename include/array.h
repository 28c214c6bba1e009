/* array.h -- small associative arrays of text names to text values, each held
 * in one memory handle, with every name and value a string handle.
 *
 * Names match without regard to case; elements keep their insertion order and
 * are never removed one by one. An array owns its name and value strings and
 * frees them with itself. arrayCSV writes an array as "name=value" items
 * joined by commas (no escaping); the argument parser reads such texts back.
 *
 * No locks: an array is used by one thread at a time, and callers serialise
 * access. Every operation asserts that the handle's data begins with
 * ARRAY_MAGIC; misuse (a wrong handle, a 1001st element, a damaged count)
 * stops the process. */
#ifndef NK_ARRAY_H
#define NK_ARRAY_H

#include <stdint.h>

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ARRAY_MAGIC 0x06572726u /* first word of every array */
#define ARRAY_MAX_ELEMENTS 1000 /* a 1001st element stops the process */
#define ARRAY_WARN_ELEMENTS 750 /* adding beyond this many is logged */
#define ARRAY_LONG_TEXT 16384   /* arrayCopy logs names and values this long */

/* The data of an array's handle (8008 bytes). Callers go through the
 * functions below; the layout is fixed so that a dump can be read. */
typedef struct Array {
  uint32_t magic;                     /* ARRAY_MAGIC */
  int32_t count;                      /* elements, 0 .. ARRAY_MAX_ELEMENTS */
  int32_t names[ARRAY_MAX_ELEMENTS];  /* string handles of elements 0 .. count - 1 */
  int32_t values[ARRAY_MAX_ELEMENTS]; /* string handles, paired with names */
} Array;

/* A new empty array; free it with arrayFree. */
NK_API int arrayAlloc(void);
/* Frees every name and value, then the array itself. */
NK_API void arrayFree(int array);

/* Sets the value of name, adding a new element when no name matches it
 * (case-insensitively; a matching element keeps its name as first stored).
 * Returns strlen(value) + 1. Adding the 751st element logs a warning; adding
 * a 1001st stops the process. */
NK_API int arrayPut(int array, const char *name, const char *value);
/* The value of name (case-insensitive), or null. The text belongs to the
 * array: it goes stale when the element's value is set again or the array is
 * freed. A count out of range prints the allocator statistics and stops the
 * process. */
NK_API const char *arrayGet(int array, const char *name);
/* The name of element i, or null when i is not below the count (or is
 * negative). Stale under the same conditions as arrayGet's result. */
NK_API const char *arrayIndexName(int array, int i);
NK_API int arrayCount(int array);

/* Frees the destination's elements, then fills it with copies of the
 * source's, in order. Names or values of ARRAY_LONG_TEXT characters or more
 * are logged and copied all the same. The two arrays must differ: copying a
 * non-empty array onto itself stops the process. */
NK_API void arrayCopy(int destination, int source);
/* Writes the elements into the string handle as name=value items joined by
 * commas, in order and unescaped. Returns the text's size including its
 * terminator (1 for an empty array). */
NK_API int arrayCSV(int array, int string);

#ifdef __cplusplus
}
#endif

#endif /* NK_ARRAY_H */
