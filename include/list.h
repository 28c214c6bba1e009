/* list.h -- intrusive, circular, doubly linked lists, each guarded by its own
 * mutex, and the record pools built on them.
 *
 * A record that can be queued begins with a ListNode; a record is on at most
 * one list at a time, and a zero-filled record is on none. The head's first
 * and last fields are laid out like a node's next and prev, so the head is the
 * ring's sentinel. A zero-filled List (a static one) is not ready until
 * listInit or listCheckInit; listHead makes it ready by itself.
 *
 * Locks: every operation that reads or changes links takes the list's own
 * lock (not recursive) and releases it before returning; listEmpty,
 * listCount and listIsMember read without it. The list lock is innermost in
 * the library's lock order: callers that hold a lock of their own (the
 * allocator, the socket layer, a bus client, the runtime) take theirs first.
 * It is held only for a few pointer writes and never while blocking, so it is
 * a short lock: a waiter spins briefly, then yields the processor.
 * listCheckInit holds a process-wide init lock and never the list's. Misuse (null
 * list or node, a list not ready, a node that is not a member when unlinked,
 * destroying a list that holds nodes) stops the process by assertion. */
#ifndef NK_LIST_H
#define NK_LIST_H

#include <stdint.h>

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The first three fields of every listed record. */
typedef struct ListNode {
  struct ListNode *next; /* following node, or the head after the last */
  struct ListNode *prev; /* preceding node, or the head before the first */
  uint32_t member;       /* 1 while on a list */
} ListNode;

typedef struct List {
  ListNode *first;      /* first node, or the head itself when empty */
  ListNode *last;       /* last node, or the head itself when empty */
  uint32_t mutex;       /* the list's lock: 0 free, 1 held; guards links and count */
  uint32_t initialised; /* 1 while the list is ready */
  uint32_t count;       /* number of nodes */
} List;

/* Makes a new list ready and empty (its lock free); nodes it held are
 * dropped. */
NK_API void listInit(List *list);
/* Makes list ready if it is not; otherwise nothing. */
NK_API void listCheckInit(List *list);
/* Retires an empty list: it is then not ready. */
NK_API void listDestroy(List *list);

/* Inserts node at the front. */
NK_API void listPush(List *list, ListNode *node);
/* Appends node at the back. listAdd with listPop is a FIFO queue. */
NK_API void listAdd(List *list, ListNode *node);
/* Unlinks node from its neighbours and lowers list's count (not below 0); it
 * does not check that node is on this list. */
NK_API void listRemove(List *list, ListNode *node);
/* Removes and returns the front node, or null when empty. */
NK_API ListNode *listPop(List *list);
/* Removes and returns the back node, or null when empty. */
NK_API ListNode *listPull(List *list);

/* Iteration: node = listHead(list); node; node = listNext(list, node). Each
 * step reads one link under the mutex; the current node must not be removed
 * by another thread meanwhile. listHead makes the list ready if needed. */
NK_API ListNode *listHead(List *list);
NK_API ListNode *listNext(List *list, ListNode *node);

NK_API int listIsMember(ListNode *node);
NK_API int listEmpty(List *list);
NK_API int listCount(List *list);
/* 1 if node is the list's head itself. */
NK_API int listEnd(List *list, ListNode *node);

/* Takes a record from freeList, or a new zero-filled one of size bytes from
 * the system, and appends it to usedList. A recycled record keeps its old
 * contents. Records are never given back to the system. */
NK_API void *listAlloc(List *freeList, List *usedList, int size);
/* Moves record from usedList to the back of freeList. */
NK_API void listFree(List *freeList, List *usedList, void *record);

#ifdef __cplusplus
}
#endif

#endif /* NK_LIST_H */
