// fuzz_common.h -- what every fuzz target shares: the library's set-up, a
// check that ends the run as a crash, and the allocator's handle balance.
#ifndef NK_FUZZ_COMMON_H
#define NK_FUZZ_COMMON_H

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mem.h"
#include "nksyslog.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A failed expectation is a crash: libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

namespace nkfuzz {

// The log from CRIT up only (fuzzed input provokes warnings on purpose;
// assertion and halt messages still show). quiet sends standard output,
// where usage texts and command answers go, to /dev/null.
inline void init(bool quiet) {
  memInit();
  nksetdefaultlog(stderr);
  nkloglevelset("fuzz", "CRIT");
  int null = quiet ? open("/dev/null", O_WRONLY) : -1;
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}

// The input cut at its NULs, at most max pieces; the last takes the rest.
inline std::vector<std::string> split(const uint8_t *data, size_t size, size_t max = SIZE_MAX) {
  std::vector<std::string> pieces;
  const char *p = reinterpret_cast<const char *>(data), *end = p + size;
  while (p < end && pieces.size() < max) {
    const char *nul =
        pieces.size() + 1 < max ? static_cast<const char *>(memchr(p, 0, end - p)) : nullptr;
    pieces.emplace_back(p, nul ? nul : end);
    p = nul ? nul + 1 : end;
  }
  return pieces;
}

// The allocator's free handles are as many again when it goes: no sanitizer
// sees a handle kept inside the allocator's slabs.
class HandleBalance {
 public:
  HandleBalance() : free_(memFreeHandleCount()) {}
  ~HandleBalance() { FUZZ_CHECK(memFreeHandleCount() == free_); }

 private:
  int free_;
};

}  // namespace nkfuzz

#endif  // NK_FUZZ_COMMON_H
