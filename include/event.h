/* event.h -- named events for Lua contexts: event names as small integer
 * ids, the interests of contexts in events with their Lua handlers per task
 * state, posting into per-context pending queues, blocking, request and
 * reply, and the events statistics reply.
 *
 * An event id is the slot of its name in one interning table of 70001 slots
 * (hash.h); every interest holds one reference on its name. A post wakes a
 * context blocked on exactly that event with the post's parameter as the
 * result of its blocking call, and queues the event for every other
 * interested context (MAX_PENDING_EVENTS each); contextSchedule (context.h)
 * then feeds queued events to waiting contexts. The blocking operations only
 * record the wish to wait: the Lua binding that calls them yields afterwards.
 *
 * Threads: the thread that runs the contexts and timers only; no lock of its
 * own beyond each list's mutex around single list operations. Operations on
 * "the current context" assert that one is running (contextGetCurrent).
 * eventInit runs once before any other call. */
#ifndef NK_EVENT_H
#define NK_EVENT_H

#include <stdint.h>

#include "context.h"
#include "list.h"
#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Added to a Lua registry reference in a handler slot; 0 means no handler. */
#define EVENT_HANDLER_BASE 1000

/* The interest of one context in one event: on the event's interest list. */
typedef struct EventInterest {
  ListNode node;
  Context *context;                  /* the interested context */
  uint32_t blocked;                  /* 1 while the context blocks on this event */
  int32_t handlers[MAX_TASK_STATES]; /* per task state: 0, or a reference + EVENT_HANDLER_BASE */
} EventInterest;

/* The mirror of an EventInterest on its context's interest list. */
typedef struct ContextInterest {
  ListNode node;
  int32_t eventId;
} ContextInterest;

/* A post refused because a context's queue was full, kept on that context's
 * deferred list until its next fetch re-posts it. */
typedef struct DeferredPost {
  ListNode node;
  int32_t param; /* memory handle: a copy of the post's parameter, or -1 */
  int32_t name;  /* string handle: "<event>-blocked", the event its poster blocks on */
} DeferredPost;

/* {==== Registry and handlers */

/* Creates the name table and the interest lists (the lists cost memory only
 * as they are used). */
NK_API void eventInit(void);
/* Frees the names and every EventInterest; the contexts' ContextInterest
 * records are not touched, so destroy the contexts first. */
NK_API void eventClose(void);

/* The id of name, adding one reference to it. */
NK_API int eventRegister(const char *name);
/* Registers the current context's interest in name, without a handler; 0. */
NK_API int eventFilter(const char *name);
/* "event-<n>" with n counting from 1, in a buffer that the next call
 * overwrites; the name is not registered. */
NK_API const char *eventCreateUnique(void);
/* Registers ref (a Lua registry reference) as the current context's handler
 * of name in the task state stateName, or in every state when stateName is
 * "" (a later handler for one state overrides that state only). A state the
 * context never added is logged (priority 4) and nothing is registered.
 * Returns 0. */
NK_API int eventHandler(const char *name, const char *stateName, int32_t ref);
/* Removes the current context's interest in name with all its handlers; 0.
 * Stops the process if there is none. */
NK_API int eventHandlerClear(const char *name);

/* The interest of (id, c), added with a ContextInterest mirror when new.
 * The caller has taken one reference on the name (hashAdd, eventRegister)
 * for the interest to hold; when the interest exists already, that reference
 * is given back. Asserts c. */
NK_API EventInterest *interestAdd(int id, Context *c);
/* Removes the interest of (id, c) and its mirror, and releases one
 * reference on the name. Asserts that both exist. */
NK_API void interestRemove(int id, Context *c);

/* }==== */

/* {==== Posting and pending queues */

/* Posts name with param (null and "" both mean none) to every interested
 * context, each once: a context blocked on this event is woken with param as
 * its result (a text: a block that asked for another return type gets it as
 * a string), and loses its interest in the event; every other one gets the
 * event queued; then contextSchedule runs. 0 when delivered, or ignored
 * (logged at priority 4) because nobody is interested. -1 when a context's
 * queue was full: the event is lost for it and for those after it, unless
 * blocking is set, in which case the current context (asserted) blocks on
 * "<name>-blocked" until the full context fetches. */
NK_API int eventPost(const char *name, const char *param, int blocking);
/* Takes the oldest pending event of c (asserted non-empty) and returns its
 * name ("" when the name is gone); its parameter becomes c's last param.
 * Re-posts one deferred post of c, if any. The name is valid until it loses
 * its last reference. */
NK_API const char *eventFetch(Context *c);
/* The text of c's last param, or ""; valid until c's next fetch. */
NK_API const char *eventGetParam(Context *c);
/* Drops every interest and pending event of the current context, and its last
 * param; 0. */
NK_API int eventClear(void);

/* The current context will block on name: type CTX_WAITING (3: woken by any
 * event that reaches it) or CTX_BLOCKED (4: only by name), its result handed
 * over as returnType asks. 0, or -1 (logged, nothing changed) for type 3
 * while events are pending. */
NK_API int eventBlock(const char *name, int type, int returnType);
/* The current context will wait for its next pending event; 0. */
NK_API int eventWait(void);
/* The current context will block on name, for a text; 0. */
NK_API int eventWaitFor(const char *name);
/* Posts name with param, then blocks the current context on "<name>-reply"
 * (names are cut to 4095 characters with the suffix); 0. */
NK_API int eventRequest(const char *name, const char *param);
/* Posts "<name>-reply" with param; 0. */
NK_API int eventReply(const char *name, const char *param);

/* }==== */

/* {==== Listings */

/* Writes into the string handle the interests of the first event with id >=
 * index that has any: "index=<id+1>,event=<id>,name=<name>" followed by
 * ",in<k>=<context>,blk<k>=<Yes|No>" for each, and returns id + 1; writes
 * "index=0" and returns 0 when there is none. */
NK_API int eventStatsQuery(int index, int string);
/* "B:<event>" when c blocks on an event, else the names of up to five of its
 * interests joined by ";" (";..." after the fifth when there are more). The
 * text lives in one buffer that the next call overwrites. */
NK_API const char *eventDisplay(Context *c);

/* }==== */

/* {==== Extensions: questions the programs that run contexts ask directly */

/* The id of the event called name, or -1 when no name of that text is
 * registered; takes no reference. */
NK_API int eventLookup(const char *name);
/* How many event names are registered: a registration past half the table's
 * slots (35,000) stops the process, so callers that take names from scripts
 * or the network keep their own limit below it. */
NK_API int eventNameCount(void);
/* Nonzero when some context is interested in (or blocked on) the event id. */
NK_API int eventIdHasInterest(int id);

/* }==== */

#ifdef __cplusplus
}
#endif

#endif /* NK_EVENT_H */
