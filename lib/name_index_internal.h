// name_index_internal.h -- records found by the name they own, without a walk.
//
// A NameIndex maps names to records whose name is a field of the record
// (kName): the key is the record's own copy, so the record must stay indexed
// no longer than that copy lives. Each entry carries one 32-bit value for the
// owner's use. Names are compared byte for byte and are unique in an index.
//
// The table is open addressing with linear probing over a power of two of
// entries, at most half of them used; a removal moves the entries after it
// back into the gap, so there are no tombstones and a search ends at the
// first empty entry. It lives on the system heap, never in the handle
// allocator, so that the memory statistics count only the records. Adding may
// grow it (a failed allocation stops the process); finding, removing and
// changing a value never allocate. No locks: callers serialise access.
#ifndef NK_NAME_INDEX_INTERNAL_H
#define NK_NAME_INDEX_INTERNAL_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "nkassert_internal.h"
#include "nksyslog.h"

namespace nk {

template <typename Record, char *Record::*kName>
class NameIndex {
 public:
  struct Entry {
    Record *record;  // null while empty
    uint32_t hash;
    uint32_t value;
  };

  // The entry of name, or null.
  Entry *find(const char *name) const {
    if (count_ == 0) return nullptr;
    uint32_t hash = hashOf(name);
    for (uint32_t i = hash & mask_;; i = (i + 1) & mask_) {
      Entry *e = &entries_[i];
      if (!e->record) return nullptr;
      if (e->hash == hash && strcmp(e->record->*kName, name) == 0) return e;
    }
  }

  // Indexes record under its name, which no indexed record has.
  void add(Record *record, uint32_t value) {
    if (2 * (count_ + 1) > size()) grow();
    uint32_t hash = hashOf(record->*kName);
    uint32_t i = hash & mask_;
    while (entries_[i].record) i = (i + 1) & mask_;
    entries_[i] = {record, hash, value};
    count_++;
  }

  // Removes an entry that find returned.
  void remove(Entry *entry) {
    uint32_t gap = static_cast<uint32_t>(entry - entries_);
    for (uint32_t i = (gap + 1) & mask_; entries_[i].record; i = (i + 1) & mask_) {
      // The entry at i may fill the gap unless its home lies cyclically in
      // (gap, i]: then the gap is not on its probe path.
      uint32_t home = entries_[i].hash & mask_;
      bool homeAfterGap = gap <= i ? (gap < home && home <= i) : (gap < home || home <= i);
      if (homeAfterGap) continue;
      entries_[gap] = entries_[i];
      gap = i;
    }
    entries_[gap].record = nullptr;
    count_--;
  }

  uint32_t count() const { return count_; }

  // Empties the index and gives its table back. There is no destructor: an
  // index of static storage stays usable by threads that outlive main.
  void release() {
    free(entries_);
    entries_ = nullptr;
    mask_ = count_ = 0;
  }

 private:
  uint32_t size() const { return entries_ ? mask_ + 1 : 0; }

  // FNV-1a: cheap, and spreads the short, numbered names a device uses.
  static uint32_t hashOf(const char *name) {
    uint32_t h = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) {
      h = (h ^ *p) * 16777619u;
    }
    return h;
  }

  void grow() {
    uint32_t oldSize = size();
    Entry *old = entries_;
    uint32_t newSize = oldSize ? 2 * oldSize : 16;
    NK_ASSERT(newSize > oldSize);
    entries_ = static_cast<Entry *>(calloc(newSize, sizeof(Entry)));
    NK_ASSERT(entries_ != nullptr);
    mask_ = newSize - 1;
    for (uint32_t i = 0; i < oldSize; i++) {
      if (!old[i].record) continue;
      uint32_t j = old[i].hash & mask_;
      while (entries_[j].record) j = (j + 1) & mask_;
      entries_[j] = old[i];
    }
    free(old);
  }

  Entry *entries_ = nullptr;
  uint32_t mask_ = 0;
  uint32_t count_ = 0;
};

}  // namespace nk

#endif  // NK_NAME_INDEX_INTERNAL_H
