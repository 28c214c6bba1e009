// mem -- the handle allocator and its statistics.
//
// DESIGN
// memHandleTable holds MAX_HANDLES records; a record is free (block null, not
// in use) or on usedHandles (block set, in use). The free-handle queue is the
// never-used records from highWater on, in index order, followed by
// freeHandles; a freed record goes to the tail of freeHandles, so a handle
// number comes back only after every record that was free before it.
//
// Blocks live in 4 MiB slabs, one size class (logSize 8..22) per slab, laid
// out back to back after a 16-byte slab header, and carved off in address
// order as they are first needed. A block is its 32-byte header
// (MemBlock), the data, and 4 rear guard bytes: 2^logSize bytes in all, the
// data beginning 32 bytes in, the owner's index 8 bytes before the data and
// the 4 front guard bytes directly before it. A free block is on its class's
// pool list (owner -1), reused oldest-freed first.
//
// allocLock, a short lock, serialises handle records, pool lists, slab
// creation and the pool counters; it ranks before every List lock. The statistics queries take it
// too (so that a walk never meets a record half freed) and format their reply
// after releasing it, since a reply string may itself need a block.
//
// Under AddressSanitizer a free block's guards and data are poisoned, and an
// allocated block's guards, so that use after free and overruns inside a
// slab are reported; the layout and the fills stay as they are.
#define NK_MODULE "mem"
#define NK_LOGMASK LOGMASK_MEMORY
#include "mem.h"

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "atomic_internal.h"
#include "list.h"
#include "lock_internal.h"
#include "nkassert_internal.h"
#include "nkstrings.h"
#include "nksyslog_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define NK_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define NK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define NK_POISON(p, n) ((void)(p), (void)(n))
#define NK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr int kHeaderSize = 32;
constexpr int kSlabHeaderSize = SLAB_SIZE - MAX_BLOCK_SIZE;
constexpr int kClasses = MAX_LOG_SIZE + 1;  // pools indexed directly by logSize

#if UINTPTR_MAX > 0xffffffffu
// With 8-byte pointers a ListNode is 24 bytes, of which 4 are tail padding.
// The block carries the node's three fields at their own offsets and keeps its
// state where the padding would be; the capacity follows from logSize.
struct MemBlock {
  ListNode *next;  // the pool list's node: next, prev, member
  ListNode *prev;
  uint32_t member;
  uint8_t inUse;
  uint8_t logSize;
  uint16_t reserved;
  int32_t owner;  // index of the owning record, -1 while free
  uint8_t frontGuard[4];
};
static_assert(offsetof(MemBlock, next) == offsetof(ListNode, next), "node layout");
static_assert(offsetof(MemBlock, prev) == offsetof(ListNode, prev), "node layout");
static_assert(offsetof(MemBlock, member) == offsetof(ListNode, member), "node layout");
inline uint32_t capacityOf(const MemBlock *b) { return (1u << b->logSize) - BLOCK_OVERHEAD; }
inline void setClass(MemBlock *b, int logSize) { b->logSize = static_cast<uint8_t>(logSize); }
#else
struct MemBlock {
  ListNode node;  // links the block into its pool while free
  uint32_t inUse;
  uint32_t logSize;   // size class, 8..22
  uint32_t capacity;  // 2^logSize - 36 data bytes
  int32_t owner;      // index of the owning record, -1 while free
  uint8_t frontGuard[4];
};
static_assert(offsetof(MemBlock, node) == 0, "node first");
inline uint32_t capacityOf(const MemBlock *b) { return b->capacity; }
inline void setClass(MemBlock *b, int logSize) {
  b->logSize = logSize;
  b->capacity = (1u << logSize) - BLOCK_OVERHEAD;
}
#endif
static_assert(sizeof(MemBlock) == kHeaderSize, "block header is 32 bytes");
static_assert(kHeaderSize - offsetof(MemBlock, owner) == BLOCK_OWNER_OFFSET, "owner position");
static_assert(offsetof(MemBlock, frontGuard) == kHeaderSize - 4, "guard before the data");
static_assert(kSlabHeaderSize == 16, "slab header");

struct MemHandleRecord {
  ListNode node;    // on freeHandles or usedHandles
  MemBlock *block;  // null while free
  uint32_t inUse;   // 1 while allocated
  int32_t size;     // size last requested
  int32_t index;    // own index, set by memInit
  int32_t line;     // caller's line at allocation
  char module[16];  // caller's module at allocation, truncated to 15
  uint32_t mark;    // used by the handle statistics walk
};
static_assert(offsetof(MemHandleRecord, node) == 0, "node first");

// Slabs are listed through small records beside them: a list node does not
// fit the 16-byte slab header with 8-byte pointers.
struct SlabRecord {
  ListNode node;
  char *slab;
};

struct MemPoolStats {
  int32_t allocops;  // blocks handed out, resizes included
  int32_t freeops;   // blocks returned
  int32_t count;     // blocks ever created in the class
  int32_t free;      // blocks now on the pool list
  int32_t peak;      // highest count - free seen at an allocation
  int32_t lastPeak;  // peak as of the last block report
};

uint32_t allocLock;  // a short lock
MemHandleRecord memHandleTable[MAX_HANDLES];
List pools[kClasses];              // guarded by allocLock (and their own mutexes)
MemPoolStats poolStats[kClasses];  // guarded by allocLock
List freeHandles;
List usedHandles;
List slabList;
List slabRecordsFree;
// The uncarved rest of each class's newest slab (see blockCreate). Guarded by
// allocLock.
struct Carve {
  char *next;
  int left;
};
Carve carve[kClasses];
std::atomic<int> freeHandleCount{0};
bool initialised;  // guarded by allocLock
// Records from highWater on have never been handed out. They stand, in index
// order, at the front of the free-handle queue (a freed record always goes
// behind them), so they are taken from here first and never listed: memInit
// then touches none of the 262,144 records. Guarded by allocLock.
int highWater;

inline uint8_t *dataOf(MemBlock *b) { return reinterpret_cast<uint8_t *>(b) + kHeaderSize; }
inline ListNode *nodeOf(MemBlock *b) { return reinterpret_cast<ListNode *>(b); }
inline MemBlock *blockOfNode(ListNode *n) { return reinterpret_cast<MemBlock *>(n); }
inline int blockBytes(const MemBlock *b) { return 1 << b->logSize; }

inline bool wellFormed(int handle) {
  return static_cast<uint32_t>(handle) - static_cast<uint32_t>(HANDLE_BASE) <
         static_cast<uint32_t>(MAX_HANDLES);
}
inline MemHandleRecord *recordOf(int handle) {
  return &memHandleTable[static_cast<uint32_t>(handle) - static_cast<uint32_t>(HANDLE_BASE)];
}

// The in-use flag and block pointer are read without the lock by memIsValid
// and the other lock-free queries, from any thread.
inline MemBlock *loadBlock(const MemHandleRecord *r) { return nk::loadRelaxed(&r->block); }
inline void storeBlock(MemHandleRecord *r, MemBlock *b) { nk::storeRelaxed(&r->block, b); }
inline uint32_t loadInUse(const MemHandleRecord *r) { return nk::loadRelaxed(&r->inUse); }
inline void storeInUse(MemHandleRecord *r, uint32_t v) { nk::storeRelaxed(&r->inUse, v); }

int classOf(int64_t request) {
  if (request <= 256) return MIN_LOG_SIZE;
  int logSize = MIN_LOG_SIZE + 1;
  while ((int64_t{1} << logSize) < request) logSize++;
  return logSize;
}

// Obtains a slab for one class. Its blocks stand, in address order, at the
// front of the class's free queue (the pool list is empty when a slab is
// made, and every block freed later goes behind them): they are carved off
// one by one as they are handed out, so that making a slab touches none of
// its pages. REQUIRES: allocLock held.
void blockCreate(int logSize) {
  char *slab = static_cast<char *>(calloc(1, SLAB_SIZE));
  NK_ASSERT(slab != nullptr);
  SlabRecord *record =
      static_cast<SlabRecord *>(listAlloc(&slabRecordsFree, &slabList, sizeof(SlabRecord)));
  record->slab = slab;
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "Allocated new slab=%p size=%d log=%d\n",
         static_cast<void *>(slab), SLAB_SIZE, logSize);
  int size = 1 << logSize;
  int count = 1 << (MAX_LOG_SIZE - logSize);
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "blockCreate: count=%d size=%d\n", count, size);
  NK_POISON(slab, SLAB_SIZE);
  carve[logSize].next = slab + kSlabHeaderSize;
  carve[logSize].left = count;
  poolStats[logSize].count += count;
  poolStats[logSize].free += count;
}

// The next block of the class's newest slab, made a free block.
// REQUIRES: allocLock held and carve[logSize].left > 0.
MemBlock *carveBlock(int logSize) {
  MemBlock *b = reinterpret_cast<MemBlock *>(carve[logSize].next);
  carve[logSize].next += 1 << logSize;
  carve[logSize].left--;
  NK_UNPOISON(b, kHeaderSize - 4);
  setClass(b, logSize);
  b->inUse = 0;
  b->owner = -1;
  return b;
}

// Hands out a zero-filled block able to hold request - 36 bytes.
// REQUIRES: allocLock held.
MemBlock *blockAlloc(int64_t request) {
  if (request > MAX_BLOCK_SIZE) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "%s request to allocate %d but max block size is %d\n",
             "__blockAlloc", static_cast<int>(request > INT_MAX ? INT_MAX : request),
             MAX_BLOCK_SIZE);
    NK_HALT();
  }
  int logSize = classOf(request);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc, logsize is %d, data size is %d\n", logSize,
         static_cast<int>(request));
  List *pool = &pools[logSize];
  listCheckInit(pool);
  if (carve[logSize].left == 0 && listEmpty(pool)) blockCreate(logSize);
  MemBlock *b = carve[logSize].left > 0 ? carveBlock(logSize) : blockOfNode(listPop(pool));
  NK_ASSERT(b != nullptr);
  MemPoolStats &st = poolStats[logSize];
  st.free--;
  if (st.count - st.free > st.peak) st.peak = st.count - st.free;
  st.allocops++;
  uint32_t capacity = capacityOf(b);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc %p from %d pool, size=%d\n", static_cast<void *>(b),
         blockBytes(b), static_cast<int>(capacity));
  NK_ASSERT(!b->inUse);  // a block on a pool list that is in use: corruption
  b->inUse = 1;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc: memset to 0 %p bytes %d\n",
         static_cast<void *>(b->frontGuard), static_cast<int>(capacity));
  uint8_t *data = dataOf(b);
  NK_UNPOISON(b->frontGuard, capacity + 8);
  memset(b->frontGuard, GUARD_BYTE, 4);
  memset(data + capacity, GUARD_BYTE, 4);
  memset(data, 0, capacity);
  NK_POISON(b->frontGuard, 4);
  NK_POISON(data + capacity, 4);
  return b;
}

// Checks the guards, fills the data with 0xFF and returns the block to the
// tail of its pool. REQUIRES: allocLock held.
void blockFree(MemBlock *b) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockFree %p: logSize=%d\n", static_cast<void *>(b),
         static_cast<int>(b->logSize));
  NK_ASSERT(b->inUse);
  b->inUse = 0;
  b->owner = -1;
  NK_ASSERT(b->logSize >= MIN_LOG_SIZE && b->logSize <= MAX_LOG_SIZE);
  uint32_t capacity = capacityOf(b);
  uint8_t *data = dataOf(b);
  NK_UNPOISON(b->frontGuard, capacity + 8);
  for (int i = 0; i < 4; i++) {
    NK_ASSERT(b->frontGuard[i] == GUARD_BYTE);
    NK_ASSERT(data[capacity + i] == GUARD_BYTE);
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc: memset to ff %p bytes %d\n",
         static_cast<void *>(b->frontGuard), static_cast<int>(capacity));
  memset(data, 0xFF, capacity);
  NK_POISON(b->frontGuard, capacity + 8);
  listAdd(&pools[b->logSize], nodeOf(b));
  poolStats[b->logSize].freeops++;
  poolStats[b->logSize].free++;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "free to %d pool\n", blockBytes(b));
}

// Records module, truncated to 15 characters.
inline void copyModule(char (&to)[16], const char *module) {
  size_t i = 0;
  if (module) {
    for (; i < sizeof to - 1 && module[i]; i++) to[i] = module[i];
  }
  to[i] = '\0';
}

// The checks of memGetData, in its order.
MemHandleRecord *checkedRecord(int handle) {
  NK_ASSERT(wellFormed(handle));
  MemHandleRecord *r = recordOf(handle);
  NK_ASSERT(loadInUse(r));
  NK_ASSERT(loadBlock(r) != nullptr);
  return r;
}

}  // namespace

void memInit(void) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "mem init...\n");
  nk::lockRanked(&allocLock, nk::kRankAllocator);
  bool twice = initialised;
  nk::unlockRanked(&allocLock, nk::kRankAllocator);
  if (twice) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "memInit() was called twice");
  } else {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "memInit: creating %d handles\n", MAX_HANDLES);
    listInit(&freeHandles);
    listInit(&usedHandles);
    listInit(&slabList);
    listInit(&slabRecordsFree);
    nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
    highWater = 0;  // every record free, in index order, still zero-filled
    freeHandleCount.store(MAX_HANDLES, std::memory_order_relaxed);
    initialised = true;
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "...mem init done\n");
}

void memClose(void) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "mem close...\n");
  nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
  for (Carve &c : carve) c.left = 0;  // nothing may be carved from a returned slab
  while (ListNode *n = listPop(&slabList)) {
    SlabRecord *record = reinterpret_cast<SlabRecord *>(n);
    NK_UNPOISON(record->slab, SLAB_SIZE);
    free(record->slab);
    record->slab = nullptr;
    listAdd(&slabRecordsFree, n);
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "...mem close done\n");
}

int memAllocActual(int size, int line, const char *module) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "memAllocActual: alloc size %d\n", size);
  nk::lockRanked(&allocLock, nk::kRankAllocator);
  MemHandleRecord *r;
  if (highWater < MAX_HANDLES) {
    r = &memHandleTable[highWater];
    r->index = highWater++;
  } else {
    r = reinterpret_cast<MemHandleRecord *>(listPop(&freeHandles));
  }
  NK_ASSERT(r != nullptr);  // out of handles
  NK_ASSERT(loadBlock(r) == nullptr);
  NK_ASSERT(!loadInUse(r));
  r->size = size;
  MemBlock *b = blockAlloc(int64_t{size} + BLOCK_OVERHEAD);
  storeBlock(r, b);
  storeInUse(r, 1);
  r->line = line;
  copyModule(r->module, module);
  freeHandleCount.fetch_sub(1, std::memory_order_relaxed);
  nk::unlockRanked(&allocLock, nk::kRankAllocator);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "mem: allocated handle %d size %d\n", r->index, size);
  b->owner = r->index;
  listAdd(&usedHandles, &r->node);
  return r->index + HANDLE_BASE;
}

void *memAllocPtrActual(int size, int line, const char *module) {
  void *p = memGetData(memAllocActual(size, line, module));
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "memAllocPtrActual return %p\n", p);
  return p;
}

void memFreeActual(int handle, int line, const char *module) {
  NK_ASSERT(wellFormed(handle));
  MemHandleRecord *r = recordOf(handle);
  MemBlock *b = loadBlock(r);
  if (!b || !loadInUse(r)) {
    nksyslog(NKLOG_ERR, NK_LOGMASK, "memFreeActual: invalid free handle %d by %s:%d\n", handle,
             module ? module : "", line);
    NK_HALT();
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "attempting to free mem %d size %d\n", r->index, blockBytes(b));
  nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
  blockFree(b);
  storeBlock(r, nullptr);
  storeInUse(r, 0);
  listRemove(&usedHandles, &r->node);
  listAdd(&freeHandles, &r->node);
  freeHandleCount.fetch_add(1, std::memory_order_relaxed);
}

void memFreePtrActual(void *ptr, int line, const char *module) {
  memFreeActual(memGetHandle(ptr), line, module);
}

int memDupActual(int handle, int line, const char *module) {
  MemHandleRecord *r = checkedRecord(handle);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "memDupActual: dup mem %d size %d\n", r->index, r->size);
  int size = r->size;
  int copy = memAllocActual(size, line, module);
  if (size > 0) memcpy(memGetData(copy), dataOf(loadBlock(r)), size);
  return copy;
}

void memResize(int handle, int copy, int size) {
  // A handle that is not allocated has no block to look at: checked as in
  // memGetData before the owner.
  MemHandleRecord *r = checkedRecord(handle);
  MemBlock *b = loadBlock(r);
  NK_ASSERT(b->owner == r->index);
  NK_ASSERT(size >= 0);
  uint32_t capacity = capacityOf(b);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "memResize: request size %d alloc size %d\n", size,
         static_cast<int>(capacity));
  if (static_cast<uint32_t>(size) > capacity) {
    nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
    MemBlock *grown = blockAlloc(int64_t{size} + BLOCK_OVERHEAD);
    if (copy && r->size > 0) memcpy(dataOf(grown), dataOf(b), r->size);
    grown->owner = r->index;
    blockFree(b);
    storeBlock(r, grown);
  }
  r->size = size;
  NK_ASSERT(loadBlock(r)->owner == r->index);
}

void *memReallocPtr(void *ptr, int size) {
  int handle = memGetHandle(ptr);
  memResize(handle, 1, size);
  return memGetData(handle);
}

void *memGetData(int handle) {
  MemHandleRecord *r = checkedRecord(handle);
  MemBlock *b = loadBlock(r);
  NK_ASSERT(b->owner == r->index);
  return dataOf(b);
}

int memGetSize(int handle) { return checkedRecord(handle)->size; }

int memGetHandle(const void *ptr) {
  NK_ASSERT(ptr != nullptr);
  int32_t owner;
  memcpy(&owner, static_cast<const char *>(ptr) - BLOCK_OWNER_OFFSET, sizeof owner);
  NK_ASSERT(static_cast<uint32_t>(owner) < static_cast<uint32_t>(MAX_HANDLES));
  return owner + HANDLE_BASE;
}

int memIsValid(int handle) {
  if (!wellFormed(handle)) return 0;
  MemHandleRecord *r = recordOf(handle);
  if (!loadInUse(r)) return 0;
  return loadBlock(r) != nullptr;
}

int memVerifyPtr(const void *ptr) {
  const char *p = static_cast<const char *>(ptr);
  for (ListNode *n = listHead(&slabList); n; n = listNext(&slabList, n)) {
    const char *slab = reinterpret_cast<SlabRecord *>(n)->slab;
    if (slab + kSlabHeaderSize <= p && p < slab + SLAB_SIZE) return 1;
  }
  return 0;
}

int memFreeHandleCount(void) { return freeHandleCount.load(std::memory_order_relaxed); }

int memTotalHandleCount(void) { return MAX_HANDLES; }

// {==== statistics

int memStatsHandleQuery(int index, int string) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "stats handles i=%d\n", index);
  MemHandleRecord *rep = nullptr;
  int count = 0;
  char module[sizeof rep->module];
  int line = 0, size = 0, repIndex = 0;
  {
    nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
    if (index == 0) {
      for (ListNode *n = listHead(&usedHandles); n; n = listNext(&usedHandles, n)) {
        reinterpret_cast<MemHandleRecord *>(n)->mark = 0;
      }
    }
    for (ListNode *n = listHead(&usedHandles); n && !rep; n = listNext(&usedHandles, n)) {
      if (!reinterpret_cast<MemHandleRecord *>(n)->mark)
        rep = reinterpret_cast<MemHandleRecord *>(n);
    }
    if (rep) {
      NK_ASSERT(loadBlock(rep) != nullptr);
      uint32_t logSize = loadBlock(rep)->logSize;
      for (ListNode *n = listHead(&usedHandles); n; n = listNext(&usedHandles, n)) {
        MemHandleRecord *r = reinterpret_cast<MemHandleRecord *>(n);
        MemBlock *b = loadBlock(r);
        NK_ASSERT(b != nullptr);
        if (r->line == rep->line && b->logSize == logSize && strcmp(r->module, rep->module) == 0) {
          count++;
          r->mark = 1;
        }
      }
      memcpy(module, rep->module, sizeof module);
      line = rep->line;
      size = 1 << logSize;
      repIndex = rep->index;
    }
  }
  if (!rep) {
    int freeCount = memFreeHandleCount();
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "total handles free/total = %d/%d\n", freeCount, MAX_HANDLES);
    stringPrintf(string, "totalh=%d,freeh=%d", MAX_HANDLES, freeCount);
    return 0;
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "%s:%d allocated %d blocks of %d bytes handle %d\n", module, line,
         count, size, repIndex);
  // The next index saturates: a request for the largest index stays defined.
  int next = index < INT_MAX ? index + 1 : INT_MAX;
  stringPrintf(string, "index=%d,module=%s,line=%d,count=%d,size=%d,handle=%d", next, module, line,
               count, size, repIndex);
  return 1;
}

// Indexes 1 to 7 report the always-empty classes below 256 bytes; an index
// outside 0..22 is outside the class table and reads as the end of the walk
// (an all-zero record with next index 0).
int memStatsBlockQuery(int index, int string) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "stats block: ix=%d\n", index);
  if (index < 0 || index > MAX_LOG_SIZE) {
    stringPrintf(string, "index=0,size=0,count=0,free=0,allocops=0,freeops=0,peak=0,delta=0");
    return 0;
  }
  int cls = index == 0 ? MIN_LOG_SIZE : index;
  int next = index == 0 ? MIN_LOG_SIZE + 1 : index == MAX_LOG_SIZE ? 0 : index + 1;
  MemPoolStats st;
  {
    nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
    st = poolStats[cls];
    poolStats[cls].lastPeak = poolStats[cls].peak;
  }
  stringPrintf(string, "index=%d,size=%d,count=%d,free=%d,allocops=%d,freeops=%d,peak=%d,delta=%d",
               next, 1 << cls, st.count, st.free, st.allocops, st.freeops, st.peak,
               st.lastPeak - st.peak);
  return next;
}

// The byte sums saturate at INT_MAX rather than wrap, should more than 2 GiB
// of slabs ever be in use.
int memStatsQuery(int index, int string) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "stats block: ix=%d\n", index);
  int64_t allocb = 0, freeb = 0, allocm = 0, freem = 0;
  int freeh, usedh;
  {
    nk::RankedLock<uint32_t> lock(&allocLock, nk::kRankAllocator);
    for (int cls = MIN_LOG_SIZE; cls <= MAX_LOG_SIZE; cls++) {
      allocb += poolStats[cls].count;
      freeb += poolStats[cls].free;
      allocm += int64_t{poolStats[cls].count} << cls;
      freem += int64_t{poolStats[cls].free} << cls;
    }
    freeh = listCount(&freeHandles) + (MAX_HANDLES - highWater);
    usedh = listCount(&usedHandles);
  }
  auto clamp = [](int64_t v) { return static_cast<int>(v > INT_MAX ? INT_MAX : v); };
  stringPrintf(string, "index=1,alloch=%d,freeh=%d,allocb=%d,freeb=%d,allocm=%d,freem=%d",
               usedh + freeh, freeh, clamp(allocb), clamp(freeb), clamp(allocm), clamp(freem));
  return 0;
}

void memStats(void) {
  int s = stringAllocActual(0, __LINE__, NK_MODULE);
  int index = 0;
  do {
    index = memStatsHandleQuery(index, s);
    puts(static_cast<char *>(memGetData(s)));
  } while (index != 0);
  do {
    index = memStatsBlockQuery(index, s);
    puts(static_cast<char *>(memGetData(s)));
  } while (index != 0);
  stringFreeActual(s, __LINE__, NK_MODULE);
}

// }====
