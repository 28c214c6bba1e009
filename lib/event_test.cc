#define NK_MODULE "event_test"
#include "event.h"

#include <stdlib.h>

#include "event_internal.h"
#include "nkluatest.h"
#include "nkstrings.h"
#include "nksyslog.h"

namespace {

using EventTest = nktest::LuaWorldTest;

// eventStatsQuery's next index and text.
std::string stats(int index) {
  int text = stringAlloc(0), next = eventStatsQuery(index, text);
  std::string out = std::to_string(next) + " " + static_cast<const char *>(memGetData(text));
  stringFree(text);
  return out;
}

// Every interest holds one reference to its name: once cleared, 'x' is gone. The empty name is a
// name like any other, its id 0 ("\x11" has id 17); the empty text is stored as none. The listing
// goes from id to id, as the shell pages it.
TEST_F(EventTest, NamesQueueFetchListingAndDisplay) {
  EXPECT_EQ(eventRegister("reg"), eventRegister("reg"));
  std::string first = eventCreateUnique();
  EXPECT_EQ(eventCreateUnique(), "event-" + std::to_string(atoi(first.c_str() + 6) + 1));
  Context *c = start("q",
                     "t.filter('x') t.filter('x') t.clear('x') for _, e in ipairs{'a', 'b', '', "
                     "'\\17', 'e', 'f'} do t.filter(e) end t.waitfor('never') t.wait()");
  Context *b = start(std::string(200, 'n'), "t.filter('\\17') t.waitfor('\\17')");
  run();
  EXPECT_EQ(listCount(&c->interests), 7);  // 6 and the block
  EXPECT_STREQ(eventDisplay(b), "B:\x11");
  EXPECT_EQ(stats(1), "18 index=18,event=17,name=\x11,in0=q,blk0=No,in1=" + std::string(200, 'n') +
                          ",blk1=Yes");
  // The direct questions: ids by name (no reference taken), names counted,
  // interest by id ('reg' has a name but no interest).
  int names = eventNameCount();
  EXPECT_EQ(eventLookup("\x11"), 17);
  EXPECT_EQ(eventLookup("nosuch"), -1);
  EXPECT_EQ(eventNameCount(), names);
  EXPECT_EQ(eventLookup("reg"), eventRegister("reg"));
  EXPECT_EQ(eventNameCount(), names);
  eventRegister("reg2");
  EXPECT_EQ(eventNameCount(), names + 1);
  EXPECT_TRUE(eventIdHasInterest(17) && !eventIdHasInterest(eventLookup("reg")));
  EXPECT_FALSE(eventIdHasInterest(-1) || eventIdHasInterest(70001));
  const char *posts[][2] = {{"a", ""}, {"b", "pb"}, {"", "z"}, {"x", nullptr}};
  for (auto post : posts) eventPost(post[0], post[1], 0);
  EXPECT_EQ(log_.count("WARN event x (-1) ignored (fix this!)"), 1);
  EXPECT_EQ(c->pendingParams[0], -1);
  std::string fetched;
  for (int i = 0; i < 3; i++) {
    fetched += eventFetch(c);
    fetched += std::string(":") + eventGetParam(c) + ";";
  }
  EXPECT_EQ(fetched, "a:;b:pb;:z;");
  eventPost("never", nullptr, 0);
  EXPECT_STREQ(eventDisplay(c), "a;b;;\x11;e;...");
  for (int outside : {-1, 70001}) EXPECT_EQ(nk::interestListOf(outside), nullptr) << outside;
  // Blocking on any event is refused while events are pending.
  nkloglevelset("test", "NOTE");
  start("r", "t.filter('a') t.post('a', '1') t.trace(t.block('z', 3, 1))");
  EXPECT_EQ(run(), "-1");
  EXPECT_EQ(log_.count("NOTE request to block thread but has 1 events pending (a)"), 1);
}

// The listing pages from id to id while interests come and go between its
// calls: each call reports the first id from its index on that has an
// interest. Ids at the edges of 64-bit words and the last id; p and q hold the
// interests (ids from kQ on are q's), p also its block on 'never', which is
// left out of the rows compared. After the row of id `at`, the changes.
TEST_F(EventTest, ListingFollowsInterestsAddedAndRemovedBetweenCalls) {
  Context *p = start("p", "t.waitfor('never')"), *q = start("q", "t.waitfor('never')");
  run();
  const int never = eventLookup("never"), kQ = 100000;
  const struct {
    std::vector<int> ids;
    int at;
    std::vector<int> removed, added, rows;
  } cases[] = {
      {{0, 63, 64, 127, 128, 70000}, -1, {}, {}, {0, 63, 64, 127, 128, 70000}},
      {{0, 63, 64, 127, 128, 70000}, 64, {127, 0}, {65, 1}, {0, 63, 64, 65, 128, 70000}},
      {{5, 127, kQ + 127, 128}, 5, {127}, {}, {5, 127, 128}},
  };
  auto change = [&](const std::vector<int> &ids, bool add) {
    for (int id : ids) {
      Context *who = id >= kQ ? q : p;
      ASSERT_NE(id % kQ, never);
      if (add) {
        interestAdd(id % kQ, who);
      } else if (nk::interestFind(id % kQ, who)) {
        interestRemove(id % kQ, who);
      }
    }
  };
  for (const auto &c : cases) {
    change(c.ids, true);
    std::vector<int> rows;
    for (int index = 0, n = 0; n == 0 || index != 0; n++) {
      ASSERT_LT(n, 20);
      index = atoi(stats(index).c_str());
      if (index == 0) break;
      if (index - 1 != never) rows.push_back(index - 1);
      if (index - 1 == c.at) change(c.removed, false), change(c.added, true);
    }
    EXPECT_EQ(rows, c.rows) << c.ids.size() << " ids, changed after " << c.at;
    change(c.ids, false);
    change(c.added, false);
    EXPECT_EQ(stats(0), stats(never));  // only the blocks left
  }
  for (int past : {70001, 1 << 30}) EXPECT_EQ(stats(past), "0 index=0");
}

// The filtering context comes first in the interest list: waking the blocked ones after it must
// not queue the event twice for it. A post hands over text, whatever the return type asked. The
// last param of a context that fails is freed once. A blocking post that finds a queue full waits
// for the fetch that makes room; a request's post does not block.
TEST_F(EventTest, EachContextGetsAPostOnceAndAFetchMakesTheDeferredPost) {
  Context *f = start("f", "t.filter('e') t.waitfor('never')");
  start("b", "t.trace(t.block('e', 4, 3))");
  start("n", "t.trace(select('#', t.block('e', 4, 0)))");
  start("x", "t.filter('e') t.wait() error()");
  run();
  eventPost("e", "text", 0);
  EXPECT_EQ(f->pendingCount, 1);
  EXPECT_EQ(run(), "text|0");
  for (int i = 1; i < MAX_PENDING_EVENTS; i++) eventPost("e", "p", 0);
  start("poster", "t.trace(t.post('e', nil, true))");
  start("asker", "t.request('e', 'q')");
  EXPECT_EQ(run(), "");
  EXPECT_EQ(log_.count("Context f's pending event queue is full! Can't post q to e!"), 1);
  EXPECT_STREQ(eventFetch(f), "e");
  EXPECT_EQ(run(), "nil");
  nksetdefaultlog(stderr);  // a fetch with nothing pending is a caller's error
  EXPECT_EXIT(eventFetch(start("m", "return")), ::testing::ExitedWithCode(1),
              "Assertion failed file event line");
}

}  // namespace
