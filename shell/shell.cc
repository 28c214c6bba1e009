// shell -- nksh's options, prompt loop, word splitting and dispatcher, and the
// local commands version, help, exit and quit.
#include "shell.h"

#include <stdio.h>
#include <string.h>

#include <unistd.h>

#include "argparse.h"
#include "mem.h"
#include "nkcommands.h"
#include "nkmsg.h"
#include "nksyslog.h"

namespace nksh {

const char *targetProcess = "nkrun";

bool validProcessName(const char *name) { return name[0] != '\0' && !strpbrk(name, ",\r\n"); }
int quitRequested = 0;
char shellName[32];
MsgClient *busClient;

namespace {

char *words[kMaxWords];

int cmdVersion(int, char **) {
  printf("nksh version 0.01\n");
  return 0;
}

int cmdQuit(int, char **) {
  quitRequested = 1;
  return 0;
}

int cmdHelp(int, char **) {
  for (const ShellCommand &c : commands) printf("%s\t- %s\n", c.name, c.help);
  return 0;
}

}  // namespace

const ShellCommand *findCommand(const char *word) {
  int i = nkCommandMatch(word);
  return i < 0 ? nullptr : &commands[i];
}

char lineBuffer[kLineSize];
char previousLine[kLineSize];

void runLine() {
  if (!lineBuffer[0]) return;
  if (strcmp(lineBuffer, ".") == 0) strcpy(lineBuffer, previousLine);
  int n = nkSplitWords(lineBuffer, words, kMaxWords);
  if (n < 0) {
    // Running a truncated line could run a different command (a cut Lua
    // line, a set without its value): refuse it whole.
    printf("* Too many words (more than %d), line ignored\n", kMaxWords);
    return;
  }
  if (n == 0) return;
  dispatchCommand(n, words);
}

int promptLoop(FILE *in) {
  while (!quitRequested) {
    fputs("nksh> ", stdout);
    fflush(stdout);
    // Splitting ends the first word inside lineBuffer, so this copy keeps only
    // the previous command word: "." repeats the command without arguments.
    strcpy(previousLine, lineBuffer);
    // A line longer than the buffer arrives in pieces, each run as a line.
    if (!fgets(lineBuffer, sizeof lineBuffer, in)) break;
    // The line end is LF or CR LF.
    size_t len = strlen(lineBuffer);
    if (len > 0 && lineBuffer[len - 1] == '\n') {
      lineBuffer[--len] = '\0';
      if (len > 0 && lineBuffer[len - 1] == '\r') lineBuffer[--len] = '\0';
    }
    runLine();
  }
  if (busClient) nkMsgClose(busClient);
  return 0;
}

int nkshMain(int argc, char **argv) {
  int debug = 0, verbosity = 1, oneShot = 0, alternate = 0;
  const ArgOption options[] = {
      {&debug, 'd', nullptr, nullptr, "switch on debug output"},
      {&verbosity, 'v', nullptr, nullptr, "increase verbosity"},
      {&oneShot, 'c', nullptr, nullptr, "execute command"},
      {&alternate, 'r', nullptr, const_cast<char **>(&targetProcess),
       "connect to alternate nkrun process"},
      {nullptr, 0, nullptr, nullptr, nullptr},
  };
  const ArgInfo info = {"nksh", "nksh [-d] [-v] [-c <command>]"};
  argParse(&argc, argv, options, &info, 0);

  // Refused at once, like the other option errors: a cut name would address
  // another process, and -c without a command has nothing to run.
  if (strlen(targetProcess) > static_cast<size_t>(kMaxTargetName)) {
    printf("Process name given to -r is too long (at most %d characters)\n", kMaxTargetName);
    return 1;
  }
  if (!validProcessName(targetProcess)) {
    printf("Process name given to -r must not be empty or hold a comma or a line end\n");
    return 1;
  }
  if (oneShot && argc < 2) {
    printf("No command given for -c, use -? for help\n");
    return 1;
  }

  memInit();
  if (debug) nkloglevelincrease(verbosity);

  // At a terminal the console edits lines; its Ctrl-C handling must be in
  // place before the bus client starts its thread.
  bool console = !oneShot && isatty(0) && isatty(1) && consoleAvailable();
  if (console) consoleTakeInterrupts();

  snprintf(shellName, sizeof shellName, "nksh-%d", static_cast<int>(getpid()));
  busClient = nkMsgInit(shellName);
  if (!busClient) {
    printf("nksh failed to connect to IPC server\n");
    return 1;
  }

  // One command; the bus server sees the connection drop when we end.
  if (oneShot) {
    dispatchCommand(argc - 1, argv + 1);
    return 0;
  }
  return console ? consoleLoop() : promptLoop(stdin);
}

}  // namespace nksh

using namespace nksh;

// The words are the library's (nkcommands.h), row by row in its matching order.
static_assert(SHELL_COMMAND_COUNT == NK_COMMAND_COUNT, "one row per command word");
ShellCommand commands[SHELL_COMMAND_COUNT] = {
    {nkCommandWords[0], cmdVersion, "Show the version number of this program"},  // version
    {nkCommandWords[1], cmdQuit, "Quit the shell"},                              // exit
    {nkCommandWords[2], cmdQuit, "Quit the shell"},                              // quit
    {nkCommandWords[3], cmdHelp, "Show this help"},                              // help
    {nkCommandWords[4], cmdLua, "execuate a lua command in nkrun"},              // lua
    {nkCommandWords[5], cmdPs, "show running lua threads"},                      // ps
    {nkCommandWords[6], cmdMemh, "show memory handles"},                         // memh
    {nkCommandWords[7], cmdMemstats, "show memory stats"},                       // memstats
    {nkCommandWords[8], cmdMemb, "show memory blocks"},                          // memb
    {nkCommandWords[9], cmdMem, "show memory usage"},                            // mem
    {nkCommandWords[10], cmdEvents, "show running lua threads"},                 // events
    {nkCommandWords[11], cmdLists, "show lists"},                                // lists
    {nkCommandWords[12], cmdTimers, "show timers"},                              // timers
    {nkCommandWords[13], cmdStats, "show run time stats"},                       // stats
    {nkCommandWords[14], cmdPost, "post an event to the runtime"},               // post
    {nkCommandWords[15], cmdGet, "get the value of an RTDB tag"},                // get
    {nkCommandWords[16], cmdSet, "set the value of an RTDB tag"},                // set
    {nkCommandWords[17], cmdRules, "show the rules table"},                      // rules
};

// A word goes into a bus line as it stands: a line end in it would end that
// line early and make the rest a line of its own. Such a command is refused
// whole (a word from -c or from a line with a lone carriage return).
int dispatchCommand(int argc, char **argv) {
  for (int i = 0; i < argc; i++) {
    if (strpbrk(argv[i], "\r\n")) {
      printf("* A word holds a line end (CR or LF), command not run\n");
      return -1;
    }
  }
  const ShellCommand *c = nksh::findCommand(argv[0]);
  if (!c) {
    printf("* Unknown command, try help\n");
    return -1;
  }
  return c->handler(argc, argv);
}
