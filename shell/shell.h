// shell.h -- nksh's command table, dispatcher and process-wide state.
//
// Everything here runs on the shell's main thread. The command table is
// exported by name from the executable; the rest is internal to nksh.
#ifndef NK_SHELL_H
#define NK_SHELL_H

#include <stdio.h>

#include "nkexport.h"
#include "nkcommands.h"
#include "nkmsg.h"
#include "nkproto.h"

extern "C" {

// Called as handler(argc, argv): argv[0] is the word typed, argc counts it.
// The result is not read.
typedef int (*CommandHandler)(int argc, char **argv);

typedef struct ShellCommand {
  const char *name;  // the command word
  CommandHandler handler;
  const char *help;  // one-line help text
} ShellCommand;

#define SHELL_COMMAND_COUNT 18

// The rows in matching order: the first row whose name is a prefix of the
// typed word wins.
extern NK_API ShellCommand commands[SHELL_COMMAND_COUNT];

// Runs the row that matches argv[0], or prints "* Unknown command, try help".
// A command with a word holding CR or LF is not run ("* A word holds a line
// end (CR or LF), command not run"). Returns the handler's result, or -1 when
// no row matched or the command was refused.
NK_API int dispatchCommand(int argc, char **argv);

}  // extern "C"

namespace nksh {

// Longest process name accepted by -r.
constexpr int kMaxTargetName = 63;
// Words of one command line; a line with more is refused, never truncated.
constexpr int kMaxWords = NK_COMMAND_MAX_WORDS;
constexpr int kLineSize = 2048;

extern const char *targetProcess;  // bus name of the runtime every command addresses

// A process name goes into the bus line as its first field: an empty name,
// or one holding a comma or a line end, would break the line (and the server
// would cut the shell off). Such names are refused before anything is sent.
bool validProcessName(const char *name);
extern int quitRequested;     // set by exit and quit
extern char shellName[32];    // "nksh-<pid>": the sender of every message
extern MsgClient *busClient;  // the bus connection, open from start-up to the end

// The statistics commands (stats.cc) and the runtime commands (runtimecmds.cc),
// called as handlers of the command table.
int cmdLists(int argc, char **argv);
int cmdEvents(int argc, char **argv);
int cmdMemb(int argc, char **argv);
int cmdMemstats(int argc, char **argv);
int cmdMemh(int argc, char **argv);
int cmdMem(int argc, char **argv);
int cmdRules(int argc, char **argv);
int cmdPs(int argc, char **argv);
int cmdStats(int argc, char **argv);
int cmdTimers(int argc, char **argv);
int cmdSet(int argc, char **argv);
int cmdGet(int argc, char **argv);
int cmdPost(int argc, char **argv);
int cmdLua(int argc, char **argv);

// A count in ten characters with digit groups, then decimals (the value in
// units of 10^-decimals); blanks for nothing. The text lives in one shared
// buffer, overwritten by the next call.
const char *formatCount(int value, int decimals);
// A duration in ten characters: seconds and milliseconds, or microseconds.
// One shared buffer too (not the one of formatCount).
const char *formatDuration(int seconds, int microseconds);

// The row of the command table that a typed word runs, or null.
const ShellCommand *findCommand(const char *word);

// Reads and runs command lines from in until end of input, exit or quit.
// Returns the exit status.
int promptLoop(FILE *in);

// The line being run and the one before it (for "."), shared by the prompt
// loop and the console. runLine runs lineBuffer as a typed line.
extern char lineBuffer[kLineSize];
extern char previousLine[kLineSize];
void runLine();

// The console at a terminal (console.cc): line editing, history kept in
// ~/.nksh_history, Tab completion of command words, Ctrl-C that drops the
// line at the prompt and abandons a command that waits for its answer.
// consoleAvailable: whether this build has it. consoleTakeInterrupts blocks
// SIGINT in every thread started afterwards and gives it to a thread of its
// own; consoleLoop then runs the lines as promptLoop does.
bool consoleAvailable();
void consoleTakeInterrupts();
int consoleLoop();

// The whole program: options, then one command (-c) or the prompt loop.
int nkshMain(int argc, char **argv);

}  // namespace nksh

#endif  // NK_SHELL_H
