#define NK_MODULE "event_test"
#include "event.h"

#include <stdlib.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "nkluatest.h"
#include "nkstrings.h"
#include "nksyslog.h"

namespace {

using Stats = std::pair<int, std::string>;  // what eventStatsQuery returns, and its text

class EventTest : public nktest::LuaWorldTest {
 protected:
  Stats stats(int index) {
    int text = stringAlloc(0), next = eventStatsQuery(index, text);
    Stats out(next, static_cast<const char *>(memGetData(text)));
    stringFree(text);
    return out;
  }
};

TEST_F(EventTest, NamesIdsAndReferences) {
  int id = eventRegister("reg");
  EXPECT_EQ(eventRegister("reg"), id);
  std::string first = eventCreateUnique();
  const char *buffer = eventCreateUnique();
  ASSERT_EQ(first.compare(0, 6, "event-"), 0);
  EXPECT_EQ(buffer, "event-" + std::to_string(atoi(first.c_str() + 6) + 1));
  EXPECT_EQ(eventCreateUnique(), buffer);  // one buffer, overwritten
  nkloglevelset("test", "DBUG");
  Context *c = start("f", "t.filter('x') t.filter('x') t.clear('x') t.filter('y') t.wait()");
  run();
  nkloglevelset("test", "WARN");
  EXPECT_EQ(log_.count("DBUG Ignore duplicate event interest"), 1);
  EXPECT_EQ(listCount(&c->interests), 1);
  // Every interest holds one reference: once cleared, 'x' is gone.
  eventPost("x", nullptr, 0);
  eventPost("reg", nullptr, 0);
  EXPECT_EQ(log_.count("WARN event x (-1) ignored (fix this!)"), 1);
  EXPECT_EQ(log_.count("WARN event reg (" + std::to_string(id) + ") ignored (fix this!)"), 1);
}

// The empty name is a name like any other (its id is 0), and the empty text is stored as none.
TEST_F(EventTest, QueueFetchAndParams) {
  Context *c = start("q", "t.filter('a') t.filter('b') t.filter('') t.waitfor('never')");
  run();
  eventPost("a", "", 0);
  eventPost("b", "pb", 0);
  eventPost("", "z", 0);
  ASSERT_EQ(c->pendingCount, 3);
  EXPECT_EQ(c->pendingIds[2], 0u);
  EXPECT_EQ(c->pendingParams[0], -1);
  std::string fetched;
  for (int i = 0; i < 3; i++) {
    fetched += eventFetch(c);
    fetched += std::string(":") + eventGetParam(c) + ";";
  }
  EXPECT_EQ(fetched, "a:;b:pb;:z;");
  EXPECT_EQ(c->pendingCount, 0);
  // Blocking on any event is refused while events are pending.
  nkloglevelset("test", "NOTE");
  start("r", "t.filter('a') t.post('a', '1') t.trace(t.block('z', 3, 1))");
  EXPECT_EQ(run(), "-1");
  EXPECT_EQ(log_.count("NOTE request to block thread but has 1 events pending (a)"), 1);
}

TEST_F(EventTest, StatisticsAndDisplay) {
  // "\x11" has slot 17 in the table of 70001.
  Context *c = start(
      "lister", "for _, e in ipairs{'\\17', 'b', 'c', 'd', 'e', 'f'} do t.filter(e) end t.wait()");
  Context *b = start("blocker", "t.filter('\\17') t.waitfor('\\17')");
  run();
  EXPECT_EQ(stats(0),
            Stats(18, "index=18,event=17,name=\x11,in0=lister,blk0=No,in1=blocker,blk1=Yes"));
  EXPECT_STREQ(eventDisplay(c), "\x11;b;c;d;e;...");
  EXPECT_STREQ(eventDisplay(b), "B:\x11");
  EXPECT_EQ(stats(70001), Stats(0, "index=0"));
  int count = 0;  // the whole walk, as the shell pages it
  for (int index = 0; (index = stats(index).first) != 0;) count++;
  EXPECT_EQ(count, 6);
}

// The filtering context comes first in the interest list: waking the blocked ones after it must
// not queue the event twice for it. A post hands over text, whatever the return type asked.
TEST_F(EventTest, EachContextGetsAPostOnce) {
  Context *f = start("f", "t.filter('e') t.waitfor('never')");
  start("b", "t.trace(t.block('e', 4, 3))");
  start("n", "t.trace(select('#', t.block('e', 4, 0)))");
  run();
  eventPost("e", "text", 0);
  EXPECT_EQ(f->pendingCount, 1);
  EXPECT_EQ(run(), "text|0");
}

// A blocking post that finds a queue full waits for the fetch that makes room.
TEST_F(EventTest, FetchMakesTheDeferredPost) {
  Context *full = start("full", "t.filter('e') t.waitfor('never')");
  run();
  for (int i = 0; i < MAX_PENDING_EVENTS; i++) eventPost("e", "p", 0);
  start("poster", "t.trace(t.post('e', nil, true))");
  EXPECT_EQ(run(), "");
  EXPECT_STREQ(eventFetch(full), "e");
  EXPECT_EQ(run(), "nil");
}

TEST_F(EventTest, MisuseStops) {
  const char kAssert[] = "Assertion failed file event line";
  Context *c = start("m", "t.filter('x') t.wait()");
  run();
  nksetdefaultlog(stderr);
  EXPECT_EXIT(eventFetch(c), ::testing::ExitedWithCode(1), kAssert);  // nothing pending
  EXPECT_EXIT(interestRemove(eventRegister("y"), c), ::testing::ExitedWithCode(1), kAssert);
  EXPECT_EXIT(eventBlock("x", 4, 1), ::testing::ExitedWithCode(1), kAssert);  // none current
  EXPECT_EXIT(eventFilter("x"), ::testing::ExitedWithCode(1), kAssert);
  EXPECT_EXIT(eventRegister(nullptr), ::testing::ExitedWithCode(1), kAssert);
  eventClose();
  EXPECT_EXIT(eventPost("x", nullptr, 0), ::testing::ExitedWithCode(1), kAssert);
  eventInit();
}

}  // namespace
