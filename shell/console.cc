// console -- nksh at a terminal: line editing, history, completion of command
// words, and Ctrl-C.
//
// Only when standard input and output are a terminal; everything else (pipes,
// -c) goes through promptLoop, byte for byte as before. The prompt is the
// same "nksh> ". History is kept in ~/.nksh_history, at most kHistorySize
// lines, written after each line so that a shell that is killed keeps it.
//
// Ctrl-C: while a line is edited the terminal does not turn it into a signal
// (the editor's tty mode clears isig) and the key drops the line and gives a
// new prompt. While a command runs, the terminal is in its normal mode and
// Ctrl-C is a SIGINT, which is blocked in every thread and taken by a thread
// of its own: if a command is running it interrupts the bus client's wait, the
// command returns as from a failed request, and "* Interrupted" is printed.
// The answer that comes later carries the old request's number and is set
// aside, never taken for the next command's. Ctrl-D on an empty line ends the
// shell as end of input does.
#include "shell.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#ifdef NK_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace nksh {

#ifndef NK_HAVE_LIBEDIT

bool consoleAvailable() { return false; }
void consoleTakeInterrupts() {}
int consoleLoop() { return promptLoop(stdin); }

#else

namespace {

constexpr int kHistorySize = 1000;

// The client whose waits Ctrl-C ends, guarded by interruptLock: the client
// is not closed while an interruption is being delivered to it.
std::mutex interruptLock;
MsgClient *interruptible;
std::atomic<bool> commandRunning{false};
std::atomic<bool> commandInterrupted{false};
sigset_t interruptSignal;

EditLine *editor;
History *historyList;
std::string historyPath;
bool lineDropped;  // Ctrl-C at the prompt: the line returned is not run

void *takeInterrupts(void *) {
  for (;;) {
    int sig = 0;
    if (sigwait(&interruptSignal, &sig) != 0) return nullptr;
    std::lock_guard<std::mutex> hold(interruptLock);
    if (commandRunning && interruptible) {
      commandInterrupted = true;
      nkMsgInterrupt(interruptible);
    }
  }
}

const char *prompt(EditLine *) { return "nksh> "; }

// Ctrl-C while editing: the line is dropped.
unsigned char dropLine(EditLine *, int) {
  lineDropped = true;
  fputs("^C\n", stdout);
  return CC_NEWLINE;
}

// Tab on the first word: completes it to the one command it begins, or to
// what all the commands it begins share, listing them.
unsigned char complete(EditLine *el, int) {
  const LineInfo *line = el_line(el);
  std::string before(line->buffer, static_cast<size_t>(line->cursor - line->buffer));
  if (before.find(' ') != std::string::npos) return CC_ERROR;
  std::string common;
  std::string all;
  int matches = 0;
  for (const ShellCommand &c : commands) {
    std::string name = c.name;
    if (name.compare(0, before.size(), before) != 0) continue;
    if (matches++ == 0) {
      common = name;
    } else {
      size_t n = 0;
      while (n < common.size() && n < name.size() && common[n] == name[n]) n++;
      common.resize(n);
    }
    all += (all.empty() ? "" : "  ") + name;
  }
  if (matches == 0) return CC_ERROR;
  if (matches == 1) common += ' ';
  if (common.size() > before.size()) {
    el_insertstr(el, common.c_str() + before.size());
    return CC_REFRESH;
  }
  printf("\n%s\n", all.c_str());
  return CC_REDISPLAY;
}

void openHistory() {
  HistEvent event;
  historyList = history_init();
  history(historyList, &event, H_SETSIZE, kHistorySize);
  history(historyList, &event, H_SETUNIQUE, 1);
  const char *home = getenv("HOME");
  if (home && home[0]) {
    historyPath = std::string(home) + "/.nksh_history";
    history(historyList, &event, H_LOAD, historyPath.c_str());
  }
}

void remember(const char *line) {
  HistEvent event;
  history(historyList, &event, H_ENTER, line);
  if (!historyPath.empty()) history(historyList, &event, H_SAVE, historyPath.c_str());
}

void openEditor() {
  editor = el_init("nksh", stdin, stdout, stderr);
  el_set(editor, EL_EDITOR, "emacs");
  el_set(editor, EL_PROMPT, prompt);
  el_set(editor, EL_HIST, history, historyList);
  el_set(editor, EL_SIGNAL, 0);
  const char *noSignals[] = {"setty", "-d", "-isig", nullptr};
  el_parse(editor, 3, noSignals);
  el_set(editor, EL_ADDFN, "nksh-drop-line", "drop the line", dropLine);
  el_set(editor, EL_BIND, "^C", "nksh-drop-line", nullptr);
  el_set(editor, EL_ADDFN, "nksh-complete", "complete the command word", complete);
  el_set(editor, EL_BIND, "^I", "nksh-complete", nullptr);
  el_source(editor, nullptr);  // the user's own ~/.editrc, if any
}

}  // namespace

bool consoleAvailable() { return true; }

void consoleTakeInterrupts() {
  sigemptyset(&interruptSignal);
  sigaddset(&interruptSignal, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interruptSignal, nullptr);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, takeInterrupts, nullptr) == 0) pthread_detach(thread);
}

int consoleLoop() {
  {
    std::lock_guard<std::mutex> hold(interruptLock);
    interruptible = busClient;
  }
  openHistory();
  openEditor();
  while (!quitRequested) {
    strcpy(previousLine, lineBuffer);
    lineDropped = false;
    int count = 0;
    const char *line = el_gets(editor, &count);
    if (!line || count <= 0) {
      putchar('\n');  // the shell's own prompt is left on a line of its own
      break;
    }
    if (lineDropped) {
      lineBuffer[0] = '\0';
      continue;
    }
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) len--;
    if (len >= sizeof lineBuffer) {
      printf("* Line too long (more than %d characters), line ignored\n", kLineSize - 1);
      lineBuffer[0] = '\0';
      continue;
    }
    memcpy(lineBuffer, line, len);
    lineBuffer[len] = '\0';
    // Kept without the space that completion leaves, so that the same
    // command is one history entry.
    size_t kept = len;
    while (kept > 0 && lineBuffer[kept - 1] == ' ') kept--;
    if (kept > 0) remember(std::string(lineBuffer, kept).c_str());
    commandInterrupted = false;
    commandRunning = true;
    runLine();
    commandRunning = false;
    if (commandInterrupted) puts("* Interrupted");
    fflush(stdout);
  }
  el_end(editor);
  history_end(historyList);
  {
    std::lock_guard<std::mutex> hold(interruptLock);
    interruptible = nullptr;
  }
  if (busClient) nkMsgClose(busClient);
  return 0;
}

#endif

}  // namespace nksh
