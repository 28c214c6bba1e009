/* mem.h -- the handle allocator: memory named by integer handles, carved from
 * 4 MiB slabs of power-of-two blocks with guard bytes, and its statistics.
 *
 * A handle is a plain int, a record index plus HANDLE_BASE; 0 is never a
 * handle. memGetData gives the data pointer, which moves when memResize grows
 * a handle beyond its block's capacity. Every allocation records the caller's
 * module and line (the "Actual" functions take them last, line first; the
 * macros below pass them). Blocks are zero-filled when handed out and filled
 * with 0xFF when freed; the guard bytes around each block's data are checked
 * at free. Slabs are never given back while the process runs.
 *
 * Any thread may call. The allocator lock serialises taking and returning
 * handles and blocks; it ranks after netLock, a bus client's lock and
 * runtimeLock, and before every List mutex. memGetData, memGetSize,
 * memIsValid, memGetHandle and a shrinking memResize take no lock. One handle
 * belongs to one user at a time. Misuse (a malformed or freed handle, damaged
 * guard bytes, exhaustion) stops the process. */
#ifndef NK_MEM_H
#define NK_MEM_H

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_HANDLES 262144     /* handle records, fixed at build time */
#define HANDLE_BASE 0x55AA55AA /* added to a record's index */
#define BLOCK_OVERHEAD 36      /* 32-byte block header and 4 rear guard bytes */
#define MIN_LOG_SIZE 8         /* smallest block: 256 bytes */
#define MAX_LOG_SIZE 22        /* largest block: 4 MiB */
#define MAX_BLOCK_SIZE 4194304 /* largest block, and the payload of a slab */
#define SLAB_SIZE 4194320      /* bytes obtained per slab: 16-byte header and blocks */
#define GUARD_BYTE 0x5A        /* the four bytes on each side of a block's data */
#define BLOCK_OWNER_OFFSET 8   /* the owning record's index sits this far before the data */

/* The calling unit's module name, recorded with each allocation: a unit
 * defines NK_MODULE (its file name without extension) before including this
 * header; otherwise its file name is used. */
#ifndef NK_MODULE
#if defined(__FILE_NAME__)
#define NK_MODULE __FILE_NAME__
#else
#define NK_MODULE __FILE__
#endif
#endif

#define memAlloc(size) memAllocActual((size), __LINE__, NK_MODULE)
#define memAllocPtr(size) memAllocPtrActual((size), __LINE__, NK_MODULE)
#define memFree(handle) memFreeActual((handle), __LINE__, NK_MODULE)
#define memFreePtr(ptr) memFreePtrActual((ptr), __LINE__, NK_MODULE)
#define memDup(handle) memDupActual((handle), __LINE__, NK_MODULE)

/* Creates the handle records; must run once before any other call (a second
 * call is reported and changes nothing). */
NK_API void memInit(void);
/* Returns every slab to the system. No handle may be used afterwards. */
NK_API void memClose(void);

/* A new handle of size bytes, zero-filled. Stops the process when the handles
 * run out or size exceeds MAX_BLOCK_SIZE - BLOCK_OVERHEAD. */
NK_API int memAllocActual(int size, int line, const char *module);
/* memAllocActual, then its data pointer. */
NK_API void *memAllocPtrActual(int size, int line, const char *module);
/* Frees the handle and its block; freeing a handle that is not allocated
 * stops the process. */
NK_API void memFreeActual(int handle, int line, const char *module);
NK_API void memFreePtrActual(void *ptr, int line, const char *module);
/* A new handle holding a copy of the handle's size bytes. */
NK_API int memDupActual(int handle, int line, const char *module);

/* Sets the handle's size. Within the block's capacity nothing moves; beyond
 * it the data moves to a larger block (zero-filled; with copy != 0 the old
 * size's bytes are kept) and earlier data pointers go stale. */
NK_API void memResize(int handle, int copy, int size);
/* memResize(memGetHandle(ptr), 1, size), then the (possibly new) pointer. */
NK_API void *memReallocPtr(void *ptr, int size);

/* The data pointer of an allocated handle. */
NK_API void *memGetData(int handle);
/* The size last requested for the handle (not its block's capacity). */
NK_API int memGetSize(int handle);
/* The handle owning a data pointer. */
NK_API int memGetHandle(const void *ptr);
/* 1 if handle is allocated, else 0; never stops the process. */
NK_API int memIsValid(int handle);
/* 1 if ptr lies inside any slab, else 0. */
NK_API int memVerifyPtr(const void *ptr);
NK_API int memFreeHandleCount(void);
/* Always MAX_HANDLES. */
NK_API int memTotalHandleCount(void);

/* Statistics, written as name=value replies into a string handle. The walks
 * are driven by the caller, who passes back the index each call gives.
 *
 * One group of allocated handles (same module, line and block size) per call:
 * "index=%d,module=%s,line=%d,count=%d,size=%d,handle=%d", result 1; at the
 * end "totalh=%d,freeh=%d", result 0. Index 0 starts a new walk. */
NK_API int memStatsHandleQuery(int index, int string);
/* One size class per call, "index=%d,size=%d,count=%d,free=%d,allocops=%d,
 * freeops=%d,peak=%d,delta=%d"; returns the next index, 0 after the last. */
NK_API int memStatsBlockQuery(int index, int string);
/* Totals: "index=1,alloch=%d,freeh=%d,allocb=%d,freeb=%d,allocm=%d,freem=%d";
 * returns 0. */
NK_API int memStatsQuery(int index, int string);
/* Prints every handle group, the totals and every size class on standard
 * output. */
NK_API void memStats(void);

#ifdef __cplusplus
}
#endif

#endif /* NK_MEM_H */
