/* context.h -- Lua scripts run as cooperative contexts: each context is one
 * Lua thread (coroutine) of the Lua state given to contextInit, loaded from
 * "<scriptDir>/<name>.lua", with its own event interests, pending event queue
 * (event.h), task states and name/value information.
 *
 * One context runs at a time, on the thread that calls contextExecute; it
 * runs until its script yields, waits, blocks, returns or fails. Runnable
 * contexts wait their turn on one list, waiting, blocked and failed ones on
 * another. Scripts reach the library through Lua bindings of the embedding
 * process, which call the current-context operations below and in event.h
 * and then yield (return lua_yield(L, 0)): a binding that yields without
 * waiting sets the current context's runState to CTX_RUNNABLE first; a
 * waiting binding calls eventWait, eventBlock, eventWaitFor or eventRequest.
 * The values a context is resumed with become the results of that yield.
 *
 * Threads: everything here belongs to the one thread that runs the timers,
 * events and contexts (the main loop's); there is no lock of its own, only
 * each list's mutex around single list operations. A Lua error unwinds with
 * longjmp through the calls that run Lua (contextCallFunction, doLuaCall,
 * eventDispatch): callers keep no C++ object with a destructor alive across
 * them. Misuse (no current context where one is needed, re-entering
 * contextExecute, a bad anchor position) stops the process by assertion;
 * allocation failures, a Lua stack that cannot grow and a missing script
 * directory halt it. */
#ifndef NK_CONTEXT_H
#define NK_CONTEXT_H

#include <stdint.h>

#include <lua.h>

#include "list.h"
#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Run states. */
#define CTX_RUNNABLE 1 /* may run */
#define CTX_YIELDED 2  /* yielded without waiting: passed over once at the head */
#define CTX_WAITING 3  /* waits for its next pending event (or any event, block type 3) */
#define CTX_BLOCKED 4  /* blocked on one event */
#define CTX_DONE 5     /* the script returned */
#define CTX_FAILED 6   /* loading or running failed; never resumed */

#define MAX_TASK_STATES 32           /* task states per context, the unnamed state 0 included */
#define MAX_PENDING_EVENTS 200       /* entries of a context's pending event queue */
#define CONTEXT_NAME_SIZE 256        /* a context's name holds 255 characters */
#define CONTEXT_ANCHOR_SLOTS 1000000 /* contexts alive at once, at most (less one) */

/* How the parameter that wakes a blocked context is handed to its script
 * (contextUnblock); codes 2 and above 6 are not defined. */
typedef enum BlockingReturnType {
  BLOCK_RETURN_NONE = 0,    /* nothing */
  BLOCK_RETURN_STRING = 1,  /* a text */
  BLOCK_RETURN_INTEGER = 3, /* pointer to an int32_t */
  BLOCK_RETURN_BOOLEAN = 4, /* pointer to a 32-bit integer: true when nonzero */
  BLOCK_RETURN_TABLE = 5,   /* a LuaTable (table.h), converted then destroyed */
  BLOCK_RETURN_HANDLE = 6   /* pointer to a memory handle: its bytes, then freed */
} BlockingReturnType;

/* One context. Fields are the module's; bindings read them and set only
 * runState (to CTX_RUNNABLE before a plain yield). */
typedef struct Context {
  ListNode node;                             /* on runnableList or waitingList; none while run */
  lua_State *thread;                         /* the context's coroutine */
  int32_t info;                              /* array handle: name/value information */
  int32_t id;                                /* from a process-wide counter starting at 0 */
  uint32_t runState;                         /* CTX_* */
  int32_t paramCount;                        /* values pushed for the next resume or call */
  uint32_t pendingIds[MAX_PENDING_EVENTS];   /* pending event ids, oldest first */
  int32_t pendingParams[MAX_PENDING_EVENTS]; /* their parameters: string handles or -1 */
  int32_t pendingCount;                      /* entries in use, 0 .. MAX_PENDING_EVENTS */
  int32_t lastParam;                         /* parameter of the last fetched event, or -1 */
  List interests;                            /* ContextInterest records (event.h) */
  List deferred;                             /* DeferredPost records: posts refused when full */
  int32_t blockingId;                        /* event blocked on, or -1 */
  uint32_t blockType;                        /* CTX_WAITING or CTX_BLOCKED */
  uint32_t returnType;                       /* a BlockingReturnType */
  char name[CONTEXT_NAME_SIZE];              /* the script name, or what contextSetName gave */
  char *taskStates[MAX_TASK_STATES];         /* owned names of the declared task states */
  int32_t taskState;                         /* index of the current task state */
  int32_t taskStateCount;                    /* names in use, 1 .. MAX_TASK_STATES */
  int32_t errorLine;                         /* line reported by the last handleLuaError */
  uint32_t errorLevel;                       /* 1: inspect stack level 1 instead of 0 */
  int32_t anchorPosition;                    /* position (from 1) of thread on the anchor stack */
} Context;

/* {==== Context record and run lists */

/* Creates the anchor thread from L (left on L's stack, and referenced from
 * L's registry as well, so that clearing L's stack cannot free the contexts'
 * threads) and makes both run lists ready and empty. Once, before any other
 * context operation. */
NK_API void contextInit(lua_State *L);
/* The context being run, or null outside contextExecute. */
NK_API Context *contextGetCurrent(void);
/* Walks a run list without taking contexts off it: the head when prev is
 * null, else the context after prev; null at the end. */
NK_API Context *contextGetNextRunnable(Context *prev);
NK_API Context *contextGetNextWaiting(Context *prev);
/* A number that changes whenever a context joins or leaves a run list or
 * moves on one: a walk that keeps its place between calls can go on from it
 * while the number stays the same, and must start again once it changes. */
NK_API uint32_t contextRunListChanges(void);
/* 1 if the list is not empty and no fatal error was set, else 0 (logged at
 * priority 7). */
NK_API int contextAnyRunnable(void);
NK_API int contextAnyWaiting(void);
/* Stops every later contextExecute for good. */
NK_API void contextSetFatalError(void);

/* }==== */

/* {==== Context execution and Lua calls */

/* A new context running "<scriptDir>/<name>.lua" (scriptDir from the
 * configuration, "/usr/share/orvalin/scripts" by default) with argv[1] ..
 * argv[argc - 1] as the chunk's arguments; appended to runnableList. A
 * script that cannot be loaded (missing file, syntax error, a path of 4096
 * bytes or more) or a thread stack that cannot take the arguments gives a
 * CTX_FAILED context on no list: free it with contextDestroy. */
NK_API Context *contextCreate(const char *name, int argc, char **argv);
/* Runs runnable contexts, in turn, until none is left: yielded ones go to the
 * back and are passed over once, so that contexts woken by events run first.
 * Returns the number of runs; 0 when nothing was runnable or after a fatal
 * error. Must not be called from inside a context (asserted). */
NK_API int contextExecute(void);
/* Calls the Lua function held in the registry under ref in the current
 * context, with event and param as its two arguments, in protected mode; a
 * handler that yields is finished by doLuaCallContinue when the context is
 * resumed. A handler that returns leaves the context CTX_DONE until a waiting
 * call or a binding sets another state. */
NK_API void contextCallFunction(int ref, const char *event, const char *param);
/* Calls the current context's handler of the event for its current task
 * state (contextCallFunction); 0. Without a handler or without an interest
 * it logs (priority 3) and calls nothing; a null name does nothing. The
 * event name must be registered (asserted). */
NK_API int eventDispatch(const char *name, const char *param);
/* Frees a context: its Lua thread leaves the anchor stack (those above it
 * move down one), its task states, information, interests, pending events and
 * last parameter go, and posters still blocked on its full queue are woken.
 * c is the current context once its Lua code has returned to contextExecute,
 * or a context that is not running (one that failed at creation, a parked
 * failed one, any idle one): it is taken off its run list. Never from inside
 * c's own Lua code, whose thread would be freed under it. */
NK_API void contextDestroy(Context *c);

/* Internal steps, exported for the runtime's tools: runs the current
 * context's Lua code (resume with resume != 0, else a protected call of the
 * function pushed with its paramCount arguments) and sets its run state from
 * the Lua status (doLuaCallFinish); doLuaCallContinue is the continuation of
 * that protected call. handleLuaError logs a Lua error of c (priority 3) and
 * records its line. */
NK_API void doLuaCall(int resume);
NK_API void doLuaCallFinish(int status);
NK_API int doLuaCallContinue(lua_State *L);
NK_API void handleLuaError(int status, Context *c);

/* }==== */

/* {==== Moving waiting contexts back (events reach them) */

/* Moves every waiting context that is not blocked on one event and has
 * pending events to the back of runnableList, with the oldest event's name
 * and parameter pushed for its resume (an event whose name is gone is
 * dropped). A fetch and the move of its context are complete before the post
 * that the fetch may release (a deferred post) is made. Returns 0. */
NK_API int contextSchedule(void);
/* Wakes c if it is blocked on eventId, or waits with block type 3 (any
 * event): pushes param as its return type asks (BlockingReturnType) and moves
 * it to the back of runnableList as CTX_RUNNABLE. Returns 1 if c was blocked
 * on exactly eventId, else 0 (also when type 3 woke it). An undefined return
 * type pushes nil, as does a null param. */
NK_API int contextUnblock(Context *c, int eventId, void *param);

/* }==== */

/* {==== Task states and information */

/* Task states: every context starts in state 0, named "". Names compare
 * without regard to case; the first match wins. These assert a current
 * context. Add: 0, or -1 (logged) when all MAX_TASK_STATES are taken. Find:
 * the index or -1. Set: 0, or -1 (logged, nothing changed) for an unknown
 * name. */
NK_API int contextTaskStateAdd(const char *name);
NK_API int contextTaskStateFind(const char *name);
NK_API int contextTaskStateSet(const char *name);
NK_API int contextTaskStateGet(void);
NK_API const char *contextTaskStateGetName(void);

/* Renames the current context (255 characters kept); nothing without one. */
NK_API void contextSetName(const char *name);
/* Adds or replaces an information entry of the current context; nothing
 * without one. */
NK_API void contextSetInfo(const char *key, const char *value);
/* The value of key in the information of the first context named
 * contextName (the current one first, then the waiting list, then the
 * runnable list), or null. Valid until that entry changes. */
NK_API const char *contextGetInfo(const char *contextName, const char *key);
/* Where c's Lua code stands: *line gets the current line, and text (when not
 * null; 5 bytes suffice) the kind of function ("Lua", "C", "main", "tail"),
 * or line 0 and "***" without a Lua frame at the inspected level. Returns 0. */
NK_API int contextGetLuaInfo(Context *c, int *line, char *text);

/* }==== */

#ifdef __cplusplus
}
#endif

#endif /* NK_CONTEXT_H */
