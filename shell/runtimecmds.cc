// runtimecmds -- the commands that act on the runtime process: set and get an
// RTDB tag, post an event, run a line of Lua.
#define NK_MODULE "runtimecmds"
#include <stdio.h>
#include <strings.h>

#include "nkmsg.h"
#include "nkstrings.h"
#include "shell.h"

namespace nksh {

namespace {

void statusLine(int code) { printf("status=ipc-fail,code=%d\n", code); }

// A runtime may answer every post, as a post does not say whether its
// sender waits. Before get and "post ... reply" read the next message, the
// answers to earlier posts without "reply" are taken out of the way: the ones
// already here, then, for posts still unanswered, whatever arrives within
// kStrayWait each (a runtime that answers no such posts costs one wait).
constexpr int kStrayWait = 250000;  // us
int unansweredPosts;

void dropEarlierMessages(int s) {
  char recipient[MSG_NAME_SIZE], sender[MSG_NAME_SIZE];
  int type = 0;
  while (nkMsgPoll(busClient, recipient, sender, &type, s, 0) == MSG_OK) {
    if (unansweredPosts > 0) unansweredPosts--;
  }
  for (; unansweredPosts > 0; unansweredPosts--) {
    if (nkMsgPoll(busClient, recipient, sender, &type, s, kStrayWait) != MSG_OK) break;
  }
  unansweredPosts = 0;
}

// The next message addressed to the shell, its data into s. Returns the
// receive status; *type gets its type field.
int nextMessage(int s, int *type) {
  char recipient[MSG_NAME_SIZE], sender[MSG_NAME_SIZE];
  return nkMsgGet(busClient, recipient, sender, type, s);
}

}  // namespace

int cmdSet(int argc, char **argv) {
  if (argc < 3) {
    printf("Please supply a tag and a value\n");
    return 0;
  }
  int s = stringAlloc(0);
  stringPrintf(s, "%s=%s", argv[1], argv[2]);
  int code = nkMsgSend(busClient, targetProcess, shellName, NK_TYPE_SET, s);
  if (code == 0) {
    printf("%s=%s\n", argv[1], argv[2]);
  } else {
    statusLine(code);
  }
  stringFree(s);
  return 0;
}

int cmdGet(int argc, char **argv) {
  if (argc < 2) {
    printf("Please supply a tag\n");
    return 0;
  }
  int s = stringAlloc(0);
  dropEarlierMessages(s);
  stringCopy(s, argv[1]);
  nkMsgSend(busClient, targetProcess, shellName, NK_TYPE_GET, s);
  int type = 0;
  int code = nextMessage(s, &type);
  if (code == 0) {
    printf("%s\n", static_cast<char *>(memGetData(s)));
  } else {
    statusLine(code);
  }
  stringFree(s);
  return 0;
}

int cmdPost(int argc, char **argv) {
  if (argc < 2) {
    printf("Please supply an event to post\n");
    return 0;
  }
  int s = stringAlloc(0);
  bool waits = argc > 2 && strcasecmp(argv[2], "reply") == 0;
  if (waits) dropEarlierMessages(s);
  stringPrintf(s, "event=%s", argv[1]);
  int code = nkMsgSend(busClient, targetProcess, shellName, NK_TYPE_POST, s);
  if (!waits && code == 0) unansweredPosts++;
  if (waits) {
    int type = 0;
    code = nextMessage(s, &type);
    if (code == 0 && type != 0) code = type;
  }
  if (code == 0) {
    printf("event=%s\n", argv[1]);
  } else {
    statusLine(code);
  }
  stringFree(s);
  return 0;
}

int cmdLua(int argc, char **argv) {
  int s = stringAlloc(0);
  for (int i = 1; i < argc; i++) {
    stringCats(s, argv[i]);
    stringCats(s, " ");
  }
  if (nkMsgRequest(busClient, targetProcess, shellName, NK_TYPE_LUA, s) == 0) {
    printf("%s\n", static_cast<char *>(memGetData(s)));
  }
  stringFree(s);
  return 0;
}

}  // namespace nksh
