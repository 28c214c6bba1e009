// list_cursor_internal.h -- the place of a listing that returns the records
// of a list one a call (the statistics listings of the timers and of the
// run-time profiles).
//
// The cursor holds the node of the row returned last, or null before the
// first. Records are only ever appended to these lists, so every node up to
// the cursor has been returned and none after it: the next row is the node
// after it, and a row costs the same however far the listing has come. A
// record about to leave the list hands the cursor to the node before it.
#ifndef NK_LIST_CURSOR_INTERNAL_H
#define NK_LIST_CURSOR_INTERNAL_H

#include "list.h"

namespace nk {

struct ListCursor {
  ListNode *last;
};

// The node of the listing's next row, or null after the last; index 0
// starts the listing over. The cursor moves to the node returned.
inline ListNode *cursorNext(List *list, ListCursor *cursor, int index) {
  if (index == 0) cursor->last = nullptr;
  ListNode *next = cursor->last ? listNext(list, cursor->last) : listHead(list);
  if (next) cursor->last = next;
  return next;
}

// Called while node is still on the list, just before it leaves.
inline void cursorRemoving(List *list, ListCursor *cursor, ListNode *node) {
  if (cursor->last == node) cursor->last = listEnd(list, node->prev) ? nullptr : node->prev;
}

}  // namespace nk

#endif  // NK_LIST_CURSOR_INTERNAL_H
