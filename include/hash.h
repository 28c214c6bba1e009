/* hash.h -- fixed-size, open-addressing tables that intern names: each
 * distinct name holds one slot for as long as it has users, so the slot index
 * serves as a small integer identifier (the event system numbers its events
 * this way).
 *
 * Names are compared exactly, byte for byte. Adding a present name counts one
 * more user and returns its slot; removing releases one user, and the last
 * one frees the slot. A table never grows or rehashes and never moves a name;
 * it refuses to become more than half full. Deleted slots need no tombstones:
 * each slot counts the stored names whose probe path runs through it, and a
 * search stops at a slot that no path reaches.
 *
 * No locks: callers serialise access to a table. Every operation except
 * roundUpToPrime asserts the table's magic word; a wrong handle, a size
 * beyond the largest prime and a full table stop the process. */
#ifndef NK_HASH_H
#define NK_HASH_H

#include <stdint.h>

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HASH_MAGIC 0x68617368u /* first word of every table */
#define HASH_PRIME_COUNT 10    /* entries of primes */

/* One slot of a table. */
typedef struct HashSlot {
  int32_t name; /* string handle of the stored name, -1 while empty */
  int32_t ref;  /* users of the name */
  int32_t pass; /* stored names whose probe path runs through or ends here */
  int32_t home; /* hash of the stored name (meaningful while occupied) */
} HashSlot;

/* The data of a table's handle: 12 bytes, then nelem slots. Callers go
 * through the functions below; the layout is fixed so that a dump can be
 * read. */
typedef struct HashTable {
  uint32_t magic;   /* HASH_MAGIC */
  int32_t count;    /* occupied slots, at most nelem / 2 */
  int32_t nelem;    /* slots */
  HashSlot slots[]; /* probed from a name's hash upwards, wrapping to 0 */
} HashTable;

/* The table sizes in use, ascending: 1237 to 100049. */
NK_API extern const int primes[HASH_PRIME_COUNT];

/* The first entry of primes not below n. Stops the process when n exceeds
 * the largest. */
NK_API int roundUpToPrime(int n);

/* A new empty table of nelem slots (1 .. 8388607, and within the allocator's
 * largest block; an entry of primes in practice). Free it with hashFree. */
NK_API int hashAlloc(int nelem);
/* Frees every stored name and the table. */
NK_API void hashFree(int table);

/* The slot holding name, or -1. */
NK_API int hashCheck(int table, const char *name);
/* The slot of name: counts one more user of a stored name, or stores a copy
 * of a new one with one user. A table holds at most nelem / 2 names: adding
 * past three quarters of that logs a warning, adding beyond it stops the
 * process, and so does finding no free slot within nelem - 1 probes. */
NK_API int hashAdd(int table, const char *name);
/* The name stored in slot, or null (logged at priority 4) for a slot out of
 * range or empty. The text stays valid until the name's last user removes
 * it. */
NK_API const char *hashGet(int table, int slot);
/* Releases one user of the slot's name; the last frees the slot. An empty
 * slot is left alone. slot must lie within the table (as hashAdd and
 * hashCheck return it). */
NK_API void hashRemove(int table, int slot);
/* Occupied slots. */
NK_API int hashCount(int table);

#ifdef __cplusplus
}
#endif

#endif /* NK_HASH_H */
