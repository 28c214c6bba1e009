// nkrun.h -- the parts of the nkrun runtime stand-in that its units share:
// the RTDB with its rules (nkrun_rtdb.cc), the Lua side (nkrun_lua.cc) and
// the main loop with the bus requests (nkrun.cc). Everything runs on the
// main loop's thread.
#ifndef NK_TOOLS_NKRUN_H
#define NK_TOOLS_NKRUN_H

#include <stddef.h>
#include <stdint.h>

#include "nkexport.h"

struct lua_State;
struct Context;

namespace nkrun {

constexpr char kName[] = "nkrun";

// {==== RTDB and rules (nkrun_rtdb.cc)

// The prefix of the event that every write of a tag posts: "tag:<tag>",
// with the new value as its parameter.
constexpr char kTagEventPrefix[] = "tag:";

// Writes a tag: stores the value, posts "tag:<tag>" when a context is
// interested, and re-evaluates the rules that read the tag if its value
// changed (their outputs are written the same way). False, with nothing
// written, for a new tag whose event name would pass kMaxEventNames.
bool rtdbSet(const char *tag, const char *value);
// The tag's value, or null for a tag never written. Valid until the tag is
// written again.
const char *rtdbGet(const char *tag);
size_t rtdbCount();
// Called on each write that gives a tag a value other than the one it held,
// or makes a new tag, with the tag and its new value (before the rules that
// read the tag are evaluated). Must not write tags.
typedef void (*TagObserver)(const char *tag, const char *value);
void rtdbObserve(TagObserver observer);  // null: nobody is called
// Calls visit with every tag and its value, in the order of their names, and
// arg. visit must not write tags.
void rtdbForEach(void (*visit)(const char *tag, const char *value, void *arg), void *arg);

// The event names that scripts and the bus may make (tags, filters,
// handlers, blocks): the event table stops the process at 35,000, and the
// runtime's own names (parking, sleeps, replies, blocked posts: a few per
// context) need room beside them.
constexpr int kMaxEventNames = 30000;
// True when name is an event already, or one more fits below kMaxEventNames;
// a refusal is logged (at most once a second).
bool eventNameFits(const char *name);

// Logs a warning unless one went out through r less than a second ago; the
// next one that goes out says how many were held back. For refusals that a
// script can repeat in a loop.
struct RefusalLog {
  int64_t last;  // us (monotonic) of the last line, 0 for none yet
  int held;      // refusals not logged since
};
void logRefusal(RefusalLog *r, const char *format, ...) NK_PRINTF(2, 3);
// The two halves of logRefusal, for a line written elsewhere: logDue is true
// when a line may go out now, and otherwise counts one held back; logWent,
// after the line went out, logs how many were held back (their kind named by
// what) and starts the next second.
bool logDue(RefusalLog *r);
void logWent(RefusalLog *r, const char *what);

// The kinds of rule and how many inputs each takes.
int ruleInputs(const char *kind);  // 1 or 2, or 0 for an unknown kind
// Defines (or redefines) a rule; inputs are tag names or rule ids, or
// constants when constant[i] is set. Evaluates it at once. Returns 0, or -1
// with *error set when it is refused.
int ruleDefine(const char *id, const char *kind, const char *const input[2], const bool constant[2],
               const char *output, const char **error);
size_t ruleCount();
// The listing of the shell's rules command: the rule at position index (from
// 0) as name=value items with "index" naming the next one, or "index=0" after
// the last. Into the string handle.
void ruleStatsQuery(int index, int string);

// }====

// {==== Lua (nkrun_lua.cc)

// Creates the Lua state with the standard libraries and the nk bindings,
// and the runaway guard (budgetMs: how long Lua may run without yielding).
// Shell lines run in a sandbox unless linesUnrestricted.
// At most maxContexts contexts live at once.
lua_State *luaStart(int budgetMs, bool linesUnrestricted, int maxContexts);
// Runs a line of Lua in the main state and writes the flattened reply (its
// output, values and error) into the string handle.
void luaRunLine(const char *line, int reply);
// Starts a context running "<scriptDir>/<name>.lua": its id, or -1 after
// logging why it failed (the message into *error when given, valid until the
// next start). A name is a file name of letters, digits, '_', '-' and '.',
// without "..": anything else is refused before a context is made.
int luaStartContext(const char *name, int argc, char **argv, const char **error);
// From any thread: the Lua running now, and any that runs later, ends with
// an error at the guard's next look, so that a stop is not held up by it.
void luaRequestStop();
// Marks the start of a pass of the contexts (for the guard and nk.yield).
void luaBeginPass();
// True when nk.yield has parked contexts for the main loop; the main loop
// wakes them with luaWakeYielders once it has had its turn.
bool luaYieldersParked();
void luaWakeYielders();
// True when c is only waiting for its next turn (parked by nk.yield).
bool luaIsParked(const Context *c);
// Contexts that failed to load, kept for ps: the one at position index, or
// null past the last.
Context *luaStartFailure(int index);
size_t luaStartFailureCount();
// Frees every context and the Lua state.
void luaStop();

// }====

}  // namespace nkrun

#endif  // NK_TOOLS_NKRUN_H
