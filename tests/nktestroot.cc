// nktestroot -- every test program keeps the library's fixed paths in a
// temporary folder of its own. Linked into each test program as an object of
// its own, so that the folder is in place before any test runs.
#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "nksyslog_internal.h"
#include "nktest.h"

namespace nktest {
namespace {

// Hands the folder to the processes that a death test starts anew.
const char kRootVariable[] = "NK_TEST_SYSTEM_ROOT";

int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

struct SystemRoot {
  std::string dir;
  pid_t owner = -1;

  SystemRoot() {
    const char *inherited = getenv(kRootVariable);
    struct stat st;
    if (inherited && inherited[0] && stat(inherited, &st) == 0 && S_ISDIR(st.st_mode)) {
      dir = inherited;
    } else {
      char name[] = "/tmp/nktest.XXXXXX";
      if (!mkdtemp(name)) fail("mkdtemp", name);
      dir = name;
      owner = getpid();
      for (const char *sub : {"/tmp", "/var", "/var/run", "/var/run/orvalin"}) {
        std::string path = dir + sub;
        if (mkdir(path.c_str(), 0755) != 0) fail("mkdir", path.c_str());
      }
      setenv(kRootVariable, dir.c_str(), 1);
    }
    nk::setSystemPathRoot(dir.c_str());
  }

  // A forked death test ends through exit() too: only the maker removes it.
  ~SystemRoot() {
    if (owner == getpid()) nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  [[noreturn]] static void fail(const char *what, const char *path) {
    fprintf(stderr, "test root: %s %s: %s\n", what, path, strerror(errno));
    abort();
  }
};

SystemRoot &root() {
  static SystemRoot made;
  return made;
}

// Made before main, whether or not a test asks for it.
const bool kRootMade = !root().dir.empty();

}  // namespace

const std::string &systemRoot() { return root().dir; }

std::string systemPath(const std::string &path) { return root().dir + path; }

}  // namespace nktest
