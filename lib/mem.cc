// mem -- the handle allocator and its statistics.
//
// DESIGN
// memHandleTable holds MAX_HANDLES records; a record is free (block null, not
// in use) or on the used-handle list (block set, in use), which keeps the
// allocated records in the order they were allocated. The free-handle queue
// is the never-used records from highWater on, in index order, followed by
// the freed records queued behind one another; a freed record goes to the
// tail, so a handle number comes back only after every record that was free
// before it.
//
// Blocks live in 4 MiB slabs, one size class (logSize 8..22) per slab, laid
// out back to back after a 16-byte slab header, and carved off in address
// order as they are first needed. A block is its 32-byte header
// (MemBlock), the data, and 4 rear guard bytes: 2^logSize bytes in all, the
// data beginning 32 bytes in, the owner's index 8 bytes before the data and
// the 4 front guard bytes directly before it. A free block is queued on its
// class's pool (owner -1), reused oldest-freed first.
//
// One lock, the allocator lock, guards the handle queues and lists, the
// pools, slab creation and the pool counters; it ranks before every List
// lock. The queues and lists are the allocator's own singly and doubly linked
// chains through the records and block headers, touched only under that lock,
// so they need no lock of their own. What the lock guards is packed into few
// cache lines (the handle state in one, each class's pool and counters in
// one), so that a holder touches little memory that another thread may have
// to hand over. The work on a block's bytes is done outside the lock, by the
// one thread that owns the block at that moment: the zero fill and the
// guards after the block is taken from its pool, the guard check and the
// 0xFF fill before it is given back.
//
// The statistics queries take the lock too (so that a walk never meets a
// record half freed) and format their reply after releasing it, since a reply
// string may itself need a block.
//
// Under AddressSanitizer a free block's guards and data are poisoned, and an
// allocated block's guards, so that use after free and overruns inside a
// slab are reported; the layout and the fills stay as they are.
#define NK_MODULE "mem"
#define NK_LOGMASK LOGMASK_MEMORY
#include "mem.h"

#include <limits.h>
#include <linux/futex.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

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
// The regions of a block: its header but the front guard (open from when
// the block is carved), its body (the guards and the data: closed while the
// block is free) and its data alone (open while the block is in use).
#define NK_UNPOISON_HEADER(b) NK_UNPOISON((b), kHeaderSize - 4)
#define NK_POISON_BODY(b) NK_POISON((b)->frontGuard, (b)->capacity + 8)
#define NK_UNPOISON_BODY(b) NK_UNPOISON((b)->frontGuard, (b)->capacity + 8)
#define NK_UNPOISON_DATA(b) NK_UNPOISON(dataOf(b), (b)->capacity)

namespace {

constexpr int kHeaderSize = 32;
constexpr int kSlabHeaderSize = SLAB_SIZE - MAX_BLOCK_SIZE;
constexpr int kClasses = MAX_LOG_SIZE + 1;  // pools indexed directly by logSize
constexpr int kCacheLine = 64;

struct MemBlock {
  MemBlock *next;     // the next block of the pool's queue, while free
  uint32_t inUse;     // 1 while a handle owns the block
  uint32_t logSize;   // size class, 8..22
  uint32_t capacity;  // 2^logSize - 36 data bytes
  uint8_t reserved[kHeaderSize - 5 * sizeof(uint32_t) - sizeof(MemBlock *)];
  int32_t owner;  // index of the owning record, -1 while free
  uint8_t frontGuard[4];
};
static_assert(sizeof(MemBlock) == kHeaderSize, "block header is 32 bytes");
static_assert(kHeaderSize - offsetof(MemBlock, owner) == BLOCK_OWNER_OFFSET, "owner position");
static_assert(offsetof(MemBlock, frontGuard) == kHeaderSize - 4, "guard before the data");
static_assert(kSlabHeaderSize == 16, "slab header");

// With 8-byte pointers a record fills one cache line exactly.
struct alignas(sizeof(void *) == 8 ? kCacheLine : alignof(void *)) MemHandleRecord {
  MemHandleRecord *next;  // the next record on the free-handle queue or the used list
  MemHandleRecord *prev;  // the previous record on the used list
  MemBlock *block;        // null while free
  uint32_t inUse;         // 1 while allocated
  int32_t size;           // size last requested
  int32_t index;          // own index, set when first handed out
  int32_t line;           // caller's line at allocation
  uint32_t mark;          // used by the handle statistics walk
  char module[16];        // caller's module at allocation, truncated to 15
};

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

// One size class: its free blocks, oldest-freed first, behind the uncarved
// rest of its newest slab (see blockCreate), and its counters.
struct alignas(kCacheLine) Pool {
  MemBlock *head;
  MemBlock *tail;
  char *carveNext;  // the next block never handed out
  int32_t carveLeft;
  MemPoolStats stats;
};

// The allocator lock. A holder only moves a few links and counters, so a
// waiter first spins a little in the hope that the holder is about to let
// go; after that it sleeps in the kernel until an unlock wakes it, so that a
// holder that lost its processor can run again instead of competing with
// spinners. The word is 0 free, 1 held, 2 held with a waiter perhaps asleep.
class AllocatorLock {
 public:
  void lock() {
    nk::lockRankAcquire(nk::kRankAllocator);
    uint32_t expected = 0;
    if (!__atomic_compare_exchange_n(&word_, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
      wait();
    }
  }
  void unlock() {
    if (__atomic_exchange_n(&word_, 0u, __ATOMIC_RELEASE) == 2) wake();
    nk::lockRankRelease(nk::kRankAllocator);
  }

 private:
  bool spin(uint32_t value);
  void wait();
  void wake();
  uint32_t word_ = 0;
};

// How a waiter spins, in pauses (one takes some tens of nanoseconds): it
// looks at the lock, and while it is held waits a little longer each time,
// up to about two microseconds between looks, for about thirty microseconds
// in all before it sleeps. A waiter that looks often takes the lock word's
// cache line from the holder again and again, and two threads that hand the
// lock back and forth at every call move every line it guards each time;
// looking rarely lets the holder run a while on lines it already has.
constexpr int kFirstDelay = 4;
constexpr int kLongestDelay = 64;
constexpr int kSpinPauses = 1000;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Spins for a while, taking the lock as value whenever it is seen free; true
// once taken.
bool AllocatorLock::spin(uint32_t value) {
  int delay = kFirstDelay;
  for (int spent = 0; spent < kSpinPauses; spent += delay) {
    uint32_t expected = 0;
    if (__atomic_load_n(&word_, __ATOMIC_RELAXED) == 0 &&
        __atomic_compare_exchange_n(&word_, &expected, value, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      return true;
    }
    for (int i = 0; i < delay; i++) cpuRelax();
    if (delay < kLongestDelay) delay *= 2;
  }
  return false;
}

// Whoever sleeps marks the word 2 first, so that the holder's unlock wakes a
// sleeper. A thread that has slept takes the lock only as 2, since others may
// still sleep (which costs at most one wake-up too many), and spins again
// before it sleeps again: the holder that woke it lets go again soon.
void AllocatorLock::wait() {
  if (spin(1)) return;
  while (__atomic_exchange_n(&word_, 2u, __ATOMIC_ACQUIRE) != 0) {
    syscall(SYS_futex, &word_, FUTEX_WAIT_PRIVATE, 2u, nullptr, nullptr, 0);
    if (spin(2)) return;
  }
}

void AllocatorLock::wake() {
  syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

class Locked {
 public:
  explicit Locked(AllocatorLock *lock) : lock_(lock) { lock_->lock(); }
  ~Locked() { lock_->unlock(); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;

 private:
  AllocatorLock *lock_;
};

// The handle state, all guarded by lock except freeHandleCount, which is
// written under it and read without it.
struct alignas(kCacheLine) HandleState {
  AllocatorLock lock;
  // Waiters read the lock word over and over: what it guards starts on the
  // next cache line, so that they do not take that line from the holder.
  //
  // Records from highWater on have never been handed out. They stand, in
  // index order, at the front of the free-handle queue (a freed record always
  // goes behind them), so they are taken from here first and never queued:
  // memInit then touches none of the 262,144 records.
  alignas(kCacheLine) int32_t highWater = 0;
  MemHandleRecord *freeHead = nullptr;  // freed records, oldest first
  MemHandleRecord *freeTail = nullptr;
  MemHandleRecord *usedFirst = nullptr;  // allocated records, in allocation order
  MemHandleRecord *usedLast = nullptr;
  int32_t freeQueued = 0;  // records on the freed queue
  int32_t usedCount = 0;
  // The handle walk's place: every used record from usedFirst up to this one
  // is marked, so the next group's first record is looked for after it (null:
  // from usedFirst). A record that leaves the used list hands the place to
  // the one before it.
  MemHandleRecord *walked = nullptr;
  std::atomic<int32_t> freeHandleCount{0};
  bool initialised = false;
};

HandleState state;
MemHandleRecord memHandleTable[MAX_HANDLES];
Pool pools[kClasses];  // guarded by state.lock
List slabList;
List slabRecordsFree;

inline uint8_t *dataOf(MemBlock *b) { return reinterpret_cast<uint8_t *>(b) + kHeaderSize; }
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

// Stops the process for a request (size + 36) above the largest block.
[[noreturn]] void requestTooLarge(int64_t request) {
  nksyslog(NKLOG_ERR, NK_LOGMASK, "%s request to allocate %d but max block size is %d\n",
           "__blockAlloc", static_cast<int>(request > INT_MAX ? INT_MAX : request), MAX_BLOCK_SIZE);
  NK_HALT();
}

// The class of a request (size + 36) of at most MAX_BLOCK_SIZE.
int classOf(int64_t request) {
  if (request <= 256) return MIN_LOG_SIZE;
  int logSize = MIN_LOG_SIZE + 1;
  while ((int64_t{1} << logSize) < request) logSize++;
  return logSize;
}

// Obtains a slab for one class. Its blocks stand, in address order, at the
// front of the class's free queue (the pool is empty when a slab is made,
// and every block freed later goes behind them): they are carved off one by
// one as they are handed out, so that making a slab touches none of its
// pages. REQUIRES: state.lock held.
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
  Pool &pool = pools[logSize];
  pool.carveNext = slab + kSlabHeaderSize;
  pool.carveLeft = count;
  pool.stats.count += count;
  pool.stats.free += count;
}

// Takes the block at the front of the class's free queue, making a slab
// first if there is none, and counts it handed out. REQUIRES: state.lock held.
MemBlock *blockTake(int logSize) {
  Pool &pool = pools[logSize];
  if (pool.carveLeft == 0 && pool.head == nullptr) blockCreate(logSize);
  MemBlock *b;
  if (pool.carveLeft > 0) {
    b = reinterpret_cast<MemBlock *>(pool.carveNext);
    pool.carveNext += 1 << logSize;
    pool.carveLeft--;
    NK_UNPOISON_HEADER(b);
    b->logSize = static_cast<uint32_t>(logSize);
    b->capacity = (1u << logSize) - BLOCK_OVERHEAD;
    b->inUse = 0;
    b->owner = -1;
  } else {
    b = pool.head;
    NK_ASSERT(b != nullptr);
    pool.head = b->next;
    if (pool.head == nullptr) pool.tail = nullptr;
  }
  MemPoolStats &st = pool.stats;
  st.free--;
  if (st.count - st.free > st.peak) st.peak = st.count - st.free;
  st.allocops++;
  return b;
}

// Makes a block just taken ready for its owner: in use, guards written, the
// whole capacity zero. Called without the lock: the block is the caller's.
void blockReady(MemBlock *b) {
  uint32_t capacity = b->capacity;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc %p from %d pool, size=%d\n", static_cast<void *>(b),
         blockBytes(b), static_cast<int>(capacity));
  NK_ASSERT(!b->inUse);  // a block on a pool queue that is in use: corruption
  b->inUse = 1;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc: memset to 0 %p bytes %d\n",
         static_cast<void *>(b->frontGuard), static_cast<int>(capacity));
  uint8_t *data = dataOf(b);
  NK_UNPOISON_BODY(b);
  memset(b->frontGuard, GUARD_BYTE, 4);
  memset(data + capacity, GUARD_BYTE, 4);
  memset(data, 0, capacity);
  NK_POISON_BODY(b);  // the guards stay closed
  NK_UNPOISON_DATA(b);
}

// Checks a block that its owner gives up, marks it free and fills its data
// with 0xFF. Called without the lock, before blockReturn.
void blockRelease(MemBlock *b) {
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockFree %p: logSize=%d\n", static_cast<void *>(b),
         static_cast<int>(b->logSize));
  NK_ASSERT(b->inUse);
  b->inUse = 0;
  b->owner = -1;
  NK_ASSERT(b->logSize >= MIN_LOG_SIZE && b->logSize <= MAX_LOG_SIZE);
  uint32_t capacity = b->capacity;
  uint8_t *data = dataOf(b);
  NK_UNPOISON_BODY(b);
  for (int i = 0; i < 4; i++) {
    NK_ASSERT(b->frontGuard[i] == GUARD_BYTE);
    NK_ASSERT(data[capacity + i] == GUARD_BYTE);
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc: memset to ff %p bytes %d\n",
         static_cast<void *>(b->frontGuard), static_cast<int>(capacity));
  memset(data, 0xFF, capacity);
  NK_POISON_BODY(b);
}

// Queues a released block at the tail of its pool. REQUIRES: state.lock held.
void blockReturn(MemBlock *b) {
  Pool &pool = pools[b->logSize];
  b->next = nullptr;
  if (pool.tail) {
    pool.tail->next = b;
  } else {
    pool.head = b;
  }
  pool.tail = b;
  pool.stats.freeops++;
  pool.stats.free++;
}

// The used list. REQUIRES: state.lock held.
void usedAppend(MemHandleRecord *r) {
  r->next = nullptr;
  r->prev = state.usedLast;
  if (state.usedLast) {
    state.usedLast->next = r;
  } else {
    state.usedFirst = r;
  }
  state.usedLast = r;
  state.usedCount++;
}

void usedRemove(MemHandleRecord *r) {
  if (r == state.walked) state.walked = r->prev;
  if (r->prev) {
    r->prev->next = r->next;
  } else {
    state.usedFirst = r->next;
  }
  if (r->next) {
    r->next->prev = r->prev;
  } else {
    state.usedLast = r->prev;
  }
  state.usedCount--;
}

// The free-handle queue. REQUIRES: state.lock held.
MemHandleRecord *handleTake() {
  MemHandleRecord *r;
  if (state.highWater < MAX_HANDLES) {
    r = &memHandleTable[state.highWater];
    r->index = state.highWater++;
  } else {
    r = state.freeHead;
    if (r) {
      state.freeHead = r->next;
      if (!state.freeHead) state.freeTail = nullptr;
      state.freeQueued--;
    }
  }
  return r;
}

void handleQueue(MemHandleRecord *r) {
  r->next = nullptr;
  r->prev = nullptr;
  if (state.freeTail) {
    state.freeTail->next = r;
  } else {
    state.freeHead = r;
  }
  state.freeTail = r;
  state.freeQueued++;
}

inline void addFreeHandles(int n) {
  // Written only under the lock: a plain update, read anywhere.
  state.freeHandleCount.store(state.freeHandleCount.load(std::memory_order_relaxed) + n,
                              std::memory_order_relaxed);
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
  state.lock.lock();
  bool twice = state.initialised;
  state.lock.unlock();
  if (twice) {
    nksyslog(NKLOG_WARNING, NK_LOGMASK, "memInit() was called twice");
  } else {
    NK_LOG(NKLOG_INFO, NK_LOGMASK, "memInit: creating %d handles\n", MAX_HANDLES);
    listInit(&slabList);
    listInit(&slabRecordsFree);
    Locked lock(&state.lock);
    state.highWater = 0;  // every record free, in index order, still zero-filled
    state.freeHead = state.freeTail = nullptr;
    state.usedFirst = state.usedLast = nullptr;
    state.walked = nullptr;
    state.freeQueued = state.usedCount = 0;
    state.freeHandleCount.store(MAX_HANDLES, std::memory_order_relaxed);
    state.initialised = true;
  }
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "...mem init done\n");
}

void memClose(void) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "mem close...\n");
  Locked lock(&state.lock);
  for (Pool &p : pools) p.carveLeft = 0;  // nothing may be carved from a returned slab
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
  char name[sizeof memHandleTable[0].module];
  copyModule(name, module);
  int64_t request = int64_t{size} + BLOCK_OVERHEAD;
  state.lock.lock();
  NK_ASSERT(state.initialised);
  MemHandleRecord *r = handleTake();
  NK_ASSERT(r != nullptr);  // out of handles
  NK_ASSERT(loadBlock(r) == nullptr);
  NK_ASSERT(!loadInUse(r));
  if (request > MAX_BLOCK_SIZE) {
    state.lock.unlock();
    requestTooLarge(request);
  }
  int logSize = classOf(request);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc, logsize is %d, data size is %d\n", logSize,
         static_cast<int>(request));
  MemBlock *b = blockTake(logSize);
  r->size = size;
  storeBlock(r, b);
  storeInUse(r, 1);
  r->line = line;
  memcpy(r->module, name, sizeof name);
  addFreeHandles(-1);
  usedAppend(r);
  state.lock.unlock();
  blockReady(b);
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "mem: allocated handle %d size %d\n", r->index, size);
  b->owner = r->index;
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
  blockRelease(b);
  {
    Locked lock(&state.lock);
    blockReturn(b);
    storeBlock(r, nullptr);
    storeInUse(r, 0);
    usedRemove(r);
    handleQueue(r);
    addFreeHandles(1);
  }
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "free to %d pool\n", blockBytes(b));
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
  uint32_t capacity = b->capacity;
  NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "memResize: request size %d alloc size %d\n", size,
         static_cast<int>(capacity));
  if (static_cast<uint32_t>(size) > capacity) {
    int64_t request = int64_t{size} + BLOCK_OVERHEAD;
    if (request > MAX_BLOCK_SIZE) requestTooLarge(request);
    int logSize = classOf(request);
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "blockAlloc, logsize is %d, data size is %d\n", logSize,
           static_cast<int>(request));
    MemBlock *grown;
    {
      Locked lock(&state.lock);
      grown = blockTake(logSize);
    }
    blockReady(grown);
    if (copy && r->size > 0) memcpy(dataOf(grown), dataOf(b), r->size);
    grown->owner = r->index;
    blockRelease(b);
    {
      Locked lock(&state.lock);
      blockReturn(b);
      storeBlock(r, grown);
    }
    NK_LOG(NKLOG_DEBUG, NK_LOGMASK, "free to %d pool\n", blockBytes(b));
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

int memFreeHandleCount(void) { return state.freeHandleCount.load(std::memory_order_relaxed); }

int memTotalHandleCount(void) { return MAX_HANDLES; }

// {==== statistics

int memStatsHandleQuery(int index, int string) {
  NK_LOG(NKLOG_INFO, NK_LOGMASK, "stats handles i=%d\n", index);
  MemHandleRecord *rep = nullptr;
  int count = 0;
  char module[sizeof rep->module];
  int line = 0, size = 0, repIndex = 0;
  {
    Locked lock(&state.lock);
    if (index == 0) {
      for (MemHandleRecord *r = state.usedFirst; r; r = r->next) r->mark = 0;
      state.walked = nullptr;
    }
    // Records are appended and never moved, and marks are cleared only
    // above, so the first unmarked record lies after the walk's place.
    for (MemHandleRecord *r = state.walked ? state.walked->next : state.usedFirst; r; r = r->next) {
      if (!r->mark) {
        rep = r;
        break;
      }
      state.walked = r;
    }
    if (rep) {
      NK_ASSERT(loadBlock(rep) != nullptr);
      uint32_t logSize = loadBlock(rep)->logSize;
      for (MemHandleRecord *r = state.usedFirst; r; r = r->next) {
        MemBlock *b = loadBlock(r);
        NK_ASSERT(b != nullptr);
        if (r->line == rep->line && b->logSize == logSize && strcmp(r->module, rep->module) == 0) {
          count++;
          r->mark = 1;
        }
      }
      state.walked = rep;
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
    Locked lock(&state.lock);
    st = pools[cls].stats;
    pools[cls].stats.lastPeak = pools[cls].stats.peak;
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
    Locked lock(&state.lock);
    for (int cls = MIN_LOG_SIZE; cls <= MAX_LOG_SIZE; cls++) {
      const MemPoolStats &st = pools[cls].stats;
      allocb += st.count;
      freeb += st.free;
      allocm += int64_t{st.count} << cls;
      freem += int64_t{st.free} << cls;
    }
    freeh = state.freeQueued + (MAX_HANDLES - state.highWater);
    usedh = state.usedCount;
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
