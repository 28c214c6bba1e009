// event_internal.h -- what the context module needs of the event module's
// state: the name table, the interest lists, and the fetch of a pending event
// split from the post that the fetch may release.
#ifndef NK_EVENT_INTERNAL_H
#define NK_EVENT_INTERNAL_H

#include "event.h"

namespace nk {

// The handle of the event name table.
int eventNameTable();
// The interest list of event id, or null when no interest was ever added to
// it (the lists are made ready on first use).
List *interestListOf(int id);
// The interest of (id, c), or null.
EventInterest *interestFind(int id, Context *c);

// Takes c's oldest pending event as eventFetch does, but leaves the deferred
// post that the fetch releases to the caller (*deferred, or null): the fetch,
// its count included, is complete when this returns. Returns the event's
// name, or null when the name is gone.
const char *fetchPending(Context *c, DeferredPost **deferred);
// Posts a deferred post (without blocking) and frees it.
void postDeferred(DeferredPost *deferred);

// (In the context module.) An event was queued for c: if c waits on
// waitingList, contextSchedule looks at it.
void noteQueued(Context *c);

}  // namespace nk

#endif  // NK_EVENT_INTERNAL_H
