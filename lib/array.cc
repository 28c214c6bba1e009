// array -- name/value arrays in one memory handle.
//
// Lookups are linear: arrays hold a few dozen elements in practice (reply
// records, a context's information items), and a search of that size costs
// less than keeping an index up to date.
#define NK_MODULE "array"
#define NK_LOGMASK LOGMASK_CONTAINERS
#include "array.h"

#include <stddef.h>
#include <string.h>
#include <strings.h>

#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"

static_assert(sizeof(Array) == 8008, "an array's handle holds 8008 bytes");
static_assert(offsetof(Array, names) == 8, "names follow the magic and the count");

namespace {

inline const char *textOf(int handle) { return static_cast<const char *>(memGetData(handle)); }

// The array's data, its magic word checked.
Array *checkedArray(int array) {
  Array *a = static_cast<Array *>(memGetData(array));
  NK_ASSERT(a->magic == ARRAY_MAGIC);
  return a;
}

// The index of the element named name, or -1.
int find(const Array *a, const char *name) {
  for (int i = 0; i < a->count; i++) {
    if (strcasecmp(textOf(a->names[i]), name) == 0) return i;
  }
  return -1;
}

}  // namespace

int arrayAlloc(void) {
  int array = memAlloc(sizeof(Array));
  Array *a = static_cast<Array *>(memGetData(array));
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayAlloc: got handle %d ptr %p\n", array,
         static_cast<void *>(a));
  a->magic = ARRAY_MAGIC;
  a->count = 0;
  return array;
}

void arrayFree(int array) {
  Array *a = checkedArray(array);
  for (int i = 0; i < a->count; i++) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayFree: free name %d value %d\n", a->names[i],
           a->values[i]);
    stringFree(a->names[i]);
    stringFree(a->values[i]);
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayFree: free handle %d\n", array);
  memFree(array);
}

int arrayPut(int array, const char *name, const char *value) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayPut: h=%d n=%s v=%s\n", array, name, value);
  Array *a = checkedArray(array);
  int i = find(a, name);
  if (i < 0) {
    if (a->count == ARRAY_WARN_ELEMENTS) {
      nksyslog(NKLOG_ERR, NK_LOGMASK,
               "%s: WARNING while adding %s=>%s - array is growing too large, crash may occur\n",
               "arrayPut", name, value);
    }
    NK_ASSERT(a->count < ARRAY_MAX_ELEMENTS);
    i = a->count;
    a->names[i] = stringAlloc(static_cast<int>(strlen(name)));
    stringCopy(a->names[i], name);
    a->values[i] = stringAlloc(0);
    a->count++;
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayPut: added new elem %d, %d, count now %d\n", a->names[i],
           a->values[i], a->count);
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayPut: storing '%s' to %d\n", value, a->names[i]);
  return stringCopy(a->values[i], value);
}

const char *arrayGet(int array, const char *name) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayGet: h=%d n=%s\n", array, name);
  Array *a = checkedArray(array);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayGet: a->nelements=%d\n", a->count);
  if (static_cast<uint32_t>(a->count) > ARRAY_MAX_ELEMENTS) {
    // A damaged array: the allocator's picture of who owns what is the best
    // clue to the stray write, so it goes out before the process stops.
    memStats();
    NK_ASSERT(static_cast<uint32_t>(a->count) <= ARRAY_MAX_ELEMENTS);
  }
  int i = find(a, name);
  if (i < 0) {
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayGet: not found, return NULL\n");
    return nullptr;
  }
  const char *value = textOf(a->values[i]);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayGet: name=%s value=%s\n", name, value);
  return value;
}

const char *arrayIndexName(int array, int i) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayIndexName: h=%d i=%d\n", array, i);
  Array *a = checkedArray(array);
  if (i < 0 || i >= a->count) return nullptr;
  return textOf(a->names[i]);
}

int arrayCount(int array) { return checkedArray(array)->count; }

void arrayCopy(int destination, int source) {
  Array *to = checkedArray(destination);
  const Array *from = checkedArray(source);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayCopy, delete %d elems from h=%d\n", to->count, destination);
  for (int i = 0; i < to->count; i++) {
    stringFree(to->names[i]);
    stringFree(to->values[i]);
    to->names[i] = 0;
    to->values[i] = 0;
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "arrayCopy, copy %d elems from h=%d to h=%d\n", from->count,
         source, destination);
  for (int i = 0; i < from->count; i++) {
    const char *name = textOf(from->names[i]);
    const char *value = textOf(from->values[i]);
    int nameLength = static_cast<int>(strlen(name));
    int valueLength = static_cast<int>(strlen(value));
    // Such texts are not expected here, but they are copied all the same.
    if (nameLength >= ARRAY_LONG_TEXT) {
      nksyslog(NKLOG_ERR, NK_LOGMASK,
               "%s: WARNING - Array index too long (length: %d, index: %s)\n", "arrayCopy",
               nameLength, name);
    }
    if (valueLength >= ARRAY_LONG_TEXT) {
      nksyslog(NKLOG_ERR, NK_LOGMASK,
               "%s: WARNING - Array value too long (length: %d, value: %s)\n", "arrayCopy",
               valueLength, value);
    }
    to->names[i] = memDup(from->names[i]);
    to->values[i] = memDup(from->values[i]);
  }
  to->count = from->count;
}

int arrayCSV(int array, int string) {
  const Array *a = checkedArray(array);
  int size = stringCopy(string, "");
  for (int i = 0; i < a->count; i++) {
    stringCat(string, a->names[i]);
    stringCats(string, "=");
    size = stringCat(string, a->values[i]);
    if (i < a->count - 1) size = stringCats(string, ",");
  }
  return size;
}
