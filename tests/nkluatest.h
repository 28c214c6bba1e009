// nkluatest.h -- a Lua world for the tests of events, contexts and timers:
// one Lua state with the contexts and events ready, scripts written into a
// temporary script directory that a temporary configuration file names, and
// a handful of test bindings in the global table `t` that call the library's
// current-context operations and yield where a waiting call must:
//
//   t.trace(...)            records its arguments joined by " " (trace())
//   t.yield()               yields without waiting
//   t.wait()                waits for the next event: returns name, param
//   t.waitfor(name)         blocks on name: returns its param
//   t.block(name, type, rt) eventBlock, then yields; returns -1 if refused
//   t.post(name, param, b)  eventPost; a refused blocking post yields and
//                           returns what wakes it, else returns the result
//   t.request(name, param)  eventRequest: returns the reply's param
//   t.reply(name, param)    eventReply
//   t.filter(name)          eventFilter
//   t.clear(name)           eventHandlerClear
//   t.handler(ev, st, fn)   eventHandler with a registry reference to fn
//   t.dispatch(name, param) eventDispatch: its result, or nothing after a
//                           handler that yielded
//   t.stateadd(n), t.statefind(n), t.stateset(n), t.state() -> index, name
//   t.setname(n), t.setinfo(k, v), t.getinfo(context, k)
//   t.start(name, ...)      contextCreate; returns the new context's id
#ifndef NK_TESTS_NKLUATEST_H
#define NK_TESTS_NKLUATEST_H

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "context.h"
#include "nktest.h"

namespace nktest {

class LuaWorld {
 public:
  // eventInit, a new Lua state with the standard libraries and `t`,
  // contextInit, and the configuration. The allocator must be ready.
  LuaWorld();
  // Destroys every context left, closes the events and the Lua state, and
  // removes the files.
  ~LuaWorld();
  LuaWorld(const LuaWorld &) = delete;
  LuaWorld &operator=(const LuaWorld &) = delete;

  // Writes <scriptDir>/<name>.lua.
  void script(const std::string &name, const std::string &code);
  // contextCreate(name) with args as argv[1..].
  Context *start(const std::string &name, const std::vector<std::string> &args = {});
  // What the scripts traced so far; the record is emptied.
  std::vector<std::string> trace();

  lua_State *L = nullptr;
  std::string dir;     // the script directory, without a final "/"
  std::string config;  // the configuration file
};

// A fixture: a fresh LuaWorld per test, the log captured, and every handle
// given back at the end (checked). The allocator is made ready once.
class LuaWorldTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  // Writes the script and starts it; it runs at the next contextExecute.
  Context *start(const char *name, const char *code);
  // contextExecute, then what the scripts traced.
  std::vector<std::string> run();

  LogCapture log_;
  std::unique_ptr<LuaWorld> w_;
  int free_ = 0;
};

}  // namespace nktest

#endif  // NK_TESTS_NKLUATEST_H
