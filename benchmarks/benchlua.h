// benchlua.h -- what the context, event and timer benchmarks share: a clock,
// medians, the process's resident size, a quiet log, the sections named on
// the command line, a temporary script directory named by a temporary
// configuration file, the Lua state the contexts run in, the bindings that
// wait for events, and the measurement of an event's delivery to one
// listening context.
//
// Header-only, so that each benchmark stays one program of one source file.
#ifndef NK_BENCHMARKS_BENCHLUA_H
#define NK_BENCHMARKS_BENCHLUA_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include "configfile.h"
#include "context.h"
#include "event.h"
#include "nksyslog.h"

namespace nkbench {

// Nanoseconds on the monotonic clock; a plain C call, so that bindings can
// take it while Lua may unwind them.
inline int64_t nowNanos() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The median of a[i] / b[i]: each ratio is taken from two measurements made
// one right after the other, so that drifts of a shared machine cancel out.
inline double medianRatio(const std::vector<double> &a, const std::vector<double> &b) {
  std::vector<double> ratios;
  for (size_t i = 0; i < a.size() && i < b.size(); i++) ratios.push_back(a[i] / b[i]);
  return median(ratios);
}

// VmRSS of this process in bytes, or -1 if it cannot be read. Under an
// emulator it is the emulator's own: only differences within one run mean
// anything there.
inline int64_t residentBytes() {
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  int64_t kib = -1;
  while (fgets(line, sizeof line, f)) {
    long long v;
    if (sscanf(line, "VmRSS: %lld kB", &v) == 1) {
      kib = v;
      break;
    }
  }
  fclose(f);
  return kib < 0 ? -1 : kib * 1024;
}

// Leaves the level at its default (WARN) and sends whatever passes it to
// /dev/null, so that nothing the library logs mixes with the figures.
inline void quietLog() {
  FILE *sink = fopen("/dev/null", "w");
  if (sink) nksetdefaultlog(sink);
}

// Whether the section is to be measured: named on the command line, or no
// section named at all.
inline bool wanted(int argc, char **argv, const char *section) {
  if (argc < 2) return true;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], section) == 0) return true;
  }
  return false;
}

inline void writeFile(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
  fputs(text.c_str(), f);
  fclose(f);
}

// A temporary script directory, named as scriptDir by a configuration file
// of its own that has been read (configSetFile, configReadFile).
class ScriptDir {
 public:
  ScriptDir() {
    char dirTemplate[] = "/tmp/nkbench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
      perror("mkdtemp");
      exit(1);
    }
    dir_ = dirTemplate;
    config_ = dir_ + "/bench.conf";
    writeFile(config_, "scriptDir=" + dir_ + "\n");
    configSetFile(config_.c_str());
    configReadFile();
  }
  ~ScriptDir() {
    configCloseFile();
    std::string rm = "rm -rf '" + dir_ + "'";
    if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
  }
  ScriptDir(const ScriptDir &) = delete;
  ScriptDir &operator=(const ScriptDir &) = delete;

  // Writes <dir>/<name>.lua.
  void script(const char *name, const char *code) const {
    writeFile(dir_ + "/" + name + ".lua", code);
  }

  // The directory, and the configuration file that names it (for a process
  // of the framework started with -c).
  const std::string &path() const { return dir_; }
  const std::string &config() const { return config_; }

 private:
  std::string dir_;
  std::string config_;
};

// Bindings: plain C functions, since Lua may unwind them with longjmp.

inline int64_t waitCount;  // calls of t.wait

// t.wait(): waits for the next event; resumed with its name and parameter.
inline int bWait(lua_State *L) {
  waitCount++;
  eventWait();
  return lua_yield(L, 0);
}

// t.filter(name): registers the context's interest in the event.
inline int bFilter(lua_State *L) {
  eventFilter(luaL_checkstring(L, 1));
  return 0;
}

// A new Lua state with the standard libraries and the bindings as the table
// t, and the event and context modules started on it. The caller ends them
// with eventClose() and lua_close().
template <size_t N>
lua_State *openContexts(const luaL_Reg (&bindings)[N]) {
  eventInit();
  lua_State *L = luaL_newstate();
  luaL_openlibs(L);
  luaL_newlib(L, bindings);
  lua_setglobal(L, "t");
  contextInit(L);
  return L;
}

// Starts a context running the script name of the script directory, with
// one argument (or none); null when the script failed to load.
inline Context *startScript(const char *name, const char *arg) {
  char *argv[] = {const_cast<char *>(name), const_cast<char *>(arg)};
  Context *c = contextCreate(name, arg ? 2 : 1, argv);
  return c->runState == CTX_FAILED ? nullptr : c;
}

// The listener of listenerEventNanos, written as the script "listen": it
// takes "ev" events with t.wait() until one's parameter is "stop".
inline constexpr char kListenScript[] =
    "t.filter('ev')\n"
    "while true do\n"
    "  local name, param = t.wait()\n"
    "  if param == 'stop' then return end\n"
    "end\n";

// Nanoseconds per event posted from C (eventPost("ev", "param", 0)) to one
// context looping on t.wait(), and contextExecute() until it waits again,
// over events events. The listener is started first and destroyed at the end
// (it returns on "stop"). Returns -1 with *problem set when the listener
// does not load, start or stop, or an event was not delivered.
inline double listenerEventNanos(int events, const char **problem) {
  if (!startScript("listen", nullptr)) {
    *problem = "the script listen failed to load";
    return -1;
  }
  if (contextExecute() != 1) {
    *problem = "the listener did not start";
    return -1;
  }
  int64_t waitsBefore = waitCount;
  int64_t begin = nowNanos();
  for (int i = 0; i < events; i++) {
    eventPost("ev", "param", 0);
    contextExecute();
  }
  int64_t elapsed = nowNanos() - begin;
  if (waitCount - waitsBefore != events) {
    *problem = "not every event was delivered";
    return -1;
  }
  eventPost("ev", "stop", 0);
  if (contextExecute() != 1) {
    *problem = "the listener did not stop";
    return -1;
  }
  return static_cast<double>(elapsed) / events;
}

}  // namespace nkbench

#endif  // NK_BENCHMARKS_BENCHLUA_H
