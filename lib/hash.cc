// hash -- interning tables with open addressing and linear probing.
//
// A name's home is its hash; it is stored in the first empty slot from its
// home on, and every slot from the home to that slot counts it once in pass.
// A search can stop at a slot with pass 0: no stored name's path reaches it,
// so nothing further along belongs to this home. Removal takes its count back
// from the same stretch, which is why no name ever moves and no tombstone is
// needed. Keeping the table at most half full keeps the stretches short.
#define NK_MODULE "hash"
#define NK_LOGMASK LOGMASK_CONTAINERS
#include "hash.h"

#include <stddef.h>
#include <string.h>

#include "mem.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"

const int primes[HASH_PRIME_COUNT] = {1237,  28001, 30029, 40009, 50033,
                                      60029, 70001, 80051, 90011, 100049};

static_assert(sizeof(HashSlot) == 16, "four 32-bit fields per slot");
static_assert(offsetof(HashTable, slots) == 12, "slots follow magic, count and nelem");

namespace {

constexpr int kMaxSlots = 8388607;  // keeps h * 256 + 255 within 31 bits

inline HashTable *tableOf(int table) { return static_cast<HashTable *>(memGetData(table)); }

inline const char *textOf(int handle) { return static_cast<const char *>(memGetData(handle)); }

// The home slot of name. Bytes are read as unsigned, so that names with bytes
// of 0x80 and above land on the same slot whatever the signedness of char.
// A table with no slots (a damaged one, which the magic check then rejects)
// gives 0 instead of dividing by zero.
int homeOf(const HashTable *t, const char *name) {
  if (t->nelem < 1) return 0;
  int32_t h = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) {
    h = (h * 256 + *p) % t->nelem;
  }
  return h;
}

inline int nextSlot(const HashTable *t, int slot) { return slot + 1 == t->nelem ? 0 : slot + 1; }

// Adds delta to the pass of every slot from home to last, both included.
void adjustPass(HashTable *t, int home, int last, int delta) {
  for (int s = home;; s = nextSlot(t, s)) {
    t->slots[s].pass += delta;
    if (s == last) return;
  }
}

}  // namespace

int roundUpToPrime(int n) {
  for (int prime : primes) {
    if (prime >= n) return prime;
  }
  NK_ASSERT(n <= primes[HASH_PRIME_COUNT - 1]);
  return primes[HASH_PRIME_COUNT - 1];  // not reached
}

int hashAlloc(int nelem) {
  NK_ASSERT(nelem >= 1 && nelem <= kMaxSlots);
  int table = memAlloc(static_cast<int>(sizeof(HashTable) + sizeof(HashSlot) * nelem));
  HashTable *t = tableOf(table);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "hashAlloc: got handle %d ptr %p\n", table,
         static_cast<void *>(t));
  t->magic = HASH_MAGIC;
  t->count = 0;
  t->nelem = nelem;
  for (int s = 0; s < nelem; s++) {
    t->slots[s].name = -1;
    t->slots[s].ref = 0;
    t->slots[s].pass = 0;
  }
  return table;
}

void hashFree(int table) {
  HashTable *t = tableOf(table);
  NK_ASSERT(t->magic == HASH_MAGIC);
  for (int s = 0; s < t->nelem; s++) {
    if (t->slots[s].name != -1) stringFree(t->slots[s].name);
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "hashFree: free handle %d\n", table);
  memFree(table);
}

int hashCheck(int table, const char *name) {
  HashTable *t = tableOf(table);
  int home = homeOf(t, name);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "hashCheck: handle=%d name=%s, hash=%d\n", table, name, home);
  NK_ASSERT(t->magic == HASH_MAGIC);
  int slot = home;
  for (int probes = 0; probes < t->nelem; probes++, slot = nextSlot(t, slot)) {
    const HashSlot &s = t->slots[slot];
    if (s.pass == 0) return -1;
    if (s.name != -1 && strcmp(textOf(s.name), name) == 0) {
      NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s %s->%d\n", "hashCheck", name, slot);
      return slot;
    }
  }
  return -1;
}

int hashAdd(int table, const char *name) {
  HashTable *t = tableOf(table);
  int home = homeOf(t, name);
  NK_ASSERT(t->magic == HASH_MAGIC);
  int slot = hashCheck(table, name);
  if (slot >= 0) {
    t->slots[slot].ref++;
    return slot;
  }
  // The first empty slot from home on, whatever its pass, within nelem - 1
  // probes: the slot just before home is never taken, so a table of one slot
  // holds nothing.
  slot = home;
  int probes = 0;
  while (probes < t->nelem - 1 && t->slots[slot].name != -1) {
    probes++;
    slot = nextSlot(t, slot);
  }
  NK_ASSERT(probes < t->nelem - 1);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "hashAdd: handle=%d hash=%d slot=%d count=%d ref=%d s=%s\n", table,
         home, slot, t->count, t->slots[slot].ref, name);
  int half = t->nelem / 2;
  int warn = half - half / 4;
  if (t->count == warn) {
    nksyslog(NKLOG_ERR, NK_LOGMASK,
             "%s: WARNING while adding %s - hash is growing too large, crash may occur\n",
             "hashAdd", name);
  }
  if (t->count >= half) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "Hash table full adding '%s' count/elem=%d/%d\n", name,
             t->count, t->nelem);
    NK_ASSERT(t->count < half);
  }
  adjustPass(t, home, slot, 1);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s: Adding to hash, s=%s slot=%d\n", "hashAdd", name, slot);
  HashSlot &s = t->slots[slot];
  s.name = stringAlloc(static_cast<int>(strlen(name)));
  stringCopy(s.name, name);
  s.home = home;
  s.ref = 1;
  t->count++;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s done\n", "hashAdd");
  return slot;
}

const char *hashGet(int table, int slot) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "hashGet: h=%d n=%d\n", table, slot);
  HashTable *t = tableOf(table);
  NK_ASSERT(t->magic == HASH_MAGIC);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "hashGet: a->nelements=%d\n", t->nelem);
  if (slot < 0 || slot >= t->nelem) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s hash %d is out of range\n", "hashGet", slot);
    return nullptr;
  }
  if (t->slots[slot].name == -1) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "%s hash %d has no string\n", "hashGet", slot);
    return nullptr;
  }
  const char *name = textOf(t->slots[slot].name);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "%s %d->%s\n", "hashGet", slot, name);
  return name;
}

void hashRemove(int table, int slot) {
  HashTable *t = tableOf(table);
  NK_ASSERT(t->magic == HASH_MAGIC);
  HashSlot &s = t->slots[slot];
  if (s.name == -1) return;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "hashRemove: handle=%d slot=%d hash=%d c=%d s=%s\n", table, slot,
         s.home, t->count, textOf(s.name));
  if (--s.ref > 0) return;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "Removing from hash: %s\n", textOf(s.name));
  stringFree(s.name);
  s.name = -1;
  t->count--;
  adjustPass(t, s.home, slot, -1);
}

int hashCount(int table) {
  HashTable *t = tableOf(table);
  NK_ASSERT(t->magic == HASH_MAGIC);
  return t->count;
}
