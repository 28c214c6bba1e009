#define NK_MODULE "event_test"
#include "event.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hash.h"
#include "mem.h"
#include "nkluatest.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "nktest.h"

namespace {

using Lines = std::vector<std::string>;

class EventTest : public nktest::LuaWorldTest {
 protected:
  void SetUp() override {
    LuaWorldTest::SetUp();
    out_ = stringAlloc(0);
  }
  void TearDown() override {
    stringFree(out_);
    LuaWorldTest::TearDown();
  }
  // Starts the script and runs it until it waits; its trace is kept.
  Context *startAndRun(const char *name, const char *code) {
    Context *c = start(name, code);
    contextExecute();
    return c;
  }
  std::string stats(int index) {
    eventStatsQuery(index, out_);
    return static_cast<const char *>(memGetData(out_));
  }
  int out_ = 0;
};

TEST_F(EventTest, NamesIdsAndReferences) {
  int id = eventRegister("reg");
  EXPECT_EQ(eventRegister("reg"), id);
  std::string first = eventCreateUnique();
  const char *buffer = eventCreateUnique();
  ASSERT_EQ(first.compare(0, 6, "event-"), 0);
  EXPECT_EQ(std::string(buffer), "event-" + std::to_string(atoi(first.c_str() + 6) + 1));
  EXPECT_EQ(eventCreateUnique(), buffer);  // one buffer, overwritten

  nkloglevelset("test", "DBUG");
  Context *c = startAndRun("f", "t.filter('x') t.filter('x') t.clear('x') t.filter('y') t.wait()");
  nkloglevelset("test", "WARN");
  EXPECT_EQ(log_.count("DBUG Ignore duplicate event interest"), 1);
  EXPECT_EQ(log_.count("INFO Interest noted in event x("), 1);
  EXPECT_EQ(log_.count("INFO Removing interest in event x("), 1);
  EXPECT_EQ(listCount(&c->interests), 1);
  // Every interest holds one reference: once cleared, 'x' is gone.
  eventPost("x", nullptr, 0);
  eventPost("nobody", nullptr, 0);
  eventPost("reg", nullptr, 0);
  for (std::string line :
       {std::string("x (-1)"), std::string("nobody (-1)"), "reg (" + std::to_string(id) + ")"}) {
    EXPECT_EQ(log_.count("WARN event " + line + " ignored (fix this!)"), 1) << line;
  }
}

TEST_F(EventTest, QueueFetchAndParams) {
  // The empty name is a name like any other; its id is 0.
  Context *c = startAndRun("q", "t.filter('a') t.filter('b') t.filter('') t.waitfor('never')");
  nkloglevelset("test", "INFO");
  eventPost("a", "", 0);
  eventPost("b", "pb", 0);
  eventPost("", "z", 0);
  EXPECT_EQ(log_.count("INFO event param '' count 0 posted as string -1"), 1);
  ASSERT_EQ(c->pendingCount, 3);
  EXPECT_EQ(c->pendingIds[2], 0u);
  EXPECT_EQ(c->pendingParams[0], -1);  // the empty text is stored as none
  EXPECT_STREQ(static_cast<const char *>(memGetData(c->pendingParams[1])), "pb");
  EXPECT_STREQ(eventFetch(c), "a");
  EXPECT_STREQ(eventGetParam(c), "");
  EXPECT_STREQ(eventFetch(c), "b");
  EXPECT_STREQ(eventGetParam(c), "pb");
  EXPECT_STREQ(eventFetch(c), "");
  EXPECT_STREQ(eventGetParam(c), "z");
  EXPECT_EQ(c->pendingCount, 0);
  // Blocking on any event is refused while events are pending.
  startAndRun("r",
              "t.filter('a') t.filter('b') t.post('a', '1') "
              "t.trace(t.block('z', 3, 1))");
  EXPECT_EQ(w_->trace(), Lines{"-1"});
  EXPECT_EQ(log_.count("NOTE request to block thread but has 1 events pending (a)"), 1);
}

TEST_F(EventTest, StatisticsAndDisplay) {
  // "\x11" has slot 17 in the table of 70001.
  Context *c = startAndRun("lister",
                           "for _, e in ipairs{'\\17', 'b', 'c', 'd', 'e', 'f', 'g'} do "
                           "t.filter(e) end t.wait()");
  EXPECT_EQ(stats(0), "index=18,event=17,name=\x11,in0=lister,blk0=No");
  EXPECT_STREQ(eventDisplay(c), "\x11;b;c;d;e;...");
  Context *b = startAndRun("blocker", "t.filter('\\17') t.waitfor('\\17')");
  EXPECT_EQ(stats(17), "index=18,event=17,name=\x11,in0=lister,blk0=No,in1=blocker,blk1=Yes");
  EXPECT_STREQ(eventDisplay(b), "B:\x11");
  EXPECT_EQ(eventStatsQuery(70001, out_), 0);
  EXPECT_EQ(stats(70001), "index=0");
  Lines listing;  // the whole walk, as the shell pages it
  for (int index = 0; (index = eventStatsQuery(index, out_)) != 0;) {
    listing.push_back(static_cast<const char *>(memGetData(out_)));
  }
  EXPECT_EQ(listing.size(), 7u);
}

TEST_F(EventTest, EachContextGetsAPostOnce) {
  // The filtering context comes first in the interest list: waking the
  // blocked one after it must not queue the event twice for it.
  Context *f = startAndRun("f", "t.filter('e') t.waitfor('never')");
  Context *b = startAndRun("b", "t.trace(t.block('e', 4, 3))");  // asks for an integer
  eventPost("e", "text", 0);
  EXPECT_EQ(f->pendingCount, 1);
  EXPECT_EQ(b->runState, CTX_RUNNABLE);
  contextExecute();
  EXPECT_EQ(w_->trace(), Lines{"text"});  // a post hands over text
}

TEST_F(EventTest, MisuseStops) {
  Context *c = startAndRun("m", "t.filter('x') t.wait()");
  auto stop = [](void (*f)(Context *), Context *context) {
    nksetdefaultlog(stderr);
    f(context);
  };
  EXPECT_EXIT(stop([](Context *x) { eventFetch(x); }, c), ::testing::ExitedWithCode(1),
              "Assertion failed file event line");
  EXPECT_EXIT(stop([](Context *x) { interestRemove(eventRegister("y"), x); }, c),
              ::testing::ExitedWithCode(1), "Assertion failed file event line");
  EXPECT_EXIT(stop([](Context *) { eventBlock("x", 4, 1); }, c), ::testing::ExitedWithCode(1),
              "Assertion failed file event line");
  EXPECT_EXIT(stop([](Context *) { eventFilter("x"); }, c), ::testing::ExitedWithCode(1),
              "Assertion failed file event line");
  EXPECT_EXIT(stop([](Context *) { eventRegister(nullptr); }, c), ::testing::ExitedWithCode(1),
              "Assertion failed file event line");
  EXPECT_EXIT(stop([](Context *) { eventClose(), eventPost("x", nullptr, 0); }, c),
              ::testing::ExitedWithCode(1), "Assertion failed file event line");
}

}  // namespace
