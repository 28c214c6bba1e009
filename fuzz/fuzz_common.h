// fuzz_common.h -- what the fuzz targets share: the set-up, a check that
// fails as a crash (libFuzzer keeps the input), an input reader and the
// allocator's handle balance.
#ifndef NK_FUZZ_COMMON_H
#define NK_FUZZ_COMMON_H

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

#define FUZZ_CHECK(cond) nkfuzz::check(cond, __FILE__, __LINE__, #cond)

// The target: its set-up (the log from CRIT up only, as fuzzed input
// provokes warnings on purpose; standard output, where usage texts and
// answers go, to /dev/null; then the arguments), and the body that follows,
// run on each input with the allocator's handles balanced.
#define FUZZ_TARGET(...)                                                    \
  static void fuzzOne(nkfuzz::Input in);                                    \
  extern "C" int LLVMFuzzerInitialize(int *, char ***) {                    \
    memInit();                                                              \
    nksetdefaultlog(stderr);                                                \
    nkloglevelset("fuzz", "CRIT");                                          \
    FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr);               \
    __VA_ARGS__;                                                            \
    return 0;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { \
    nkfuzz::HandleBalance balance;                                          \
    fuzzOne({data, data + size});                                           \
    return 0;                                                               \
  }                                                                         \
  static void fuzzOne(nkfuzz::Input in)

namespace nkfuzz {

inline void check(bool ok, const char *file, int line, const char *what) {
  if (ok) return;
  fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
  abort();
}

// The input read from the front; past its end, zeros and empty texts.
struct Input {
  const uint8_t *p, *end;
  uint8_t byte() { return p < end ? *p++ : 0; }
  std::string bytes(size_t n) {
    n = std::min(n, static_cast<size_t>(end - p));
    p += n;
    return std::string(reinterpret_cast<const char *>(p - n), n);
  }
  template <typename T>
  T get() {
    T v{};
    std::string b = bytes(sizeof v);
    memcpy(&v, b.data(), b.size());
    return v;
  }
  // The bytes up to the next NUL (which is passed over) or the end.
  std::string text() {
    const void *nul = memchr(p, 0, end - p);
    std::string s = bytes(nul ? static_cast<const uint8_t *>(nul) - p : end - p);
    p += p < end;
    return s;
  }
  // The rest cut at its NULs into at most max pieces (the last takes the
  // rest), empty ones added up to min.
  std::vector<std::string> split(size_t max = SIZE_MAX, size_t min = 0) {
    std::vector<std::string> pieces;
    while (p < end && pieces.size() < max)
      pieces.push_back(pieces.size() + 1 < max ? text() : bytes(end - p));
    pieces.resize(std::max(pieces.size(), min));
    return pieces;
  }
};

// The allocator's free handles are as many again when it goes: no sanitizer
// sees a handle kept inside the allocator's slabs.
struct HandleBalance {
  int count = memFreeHandleCount();
  ~HandleBalance() { FUZZ_CHECK(memFreeHandleCount() == count); }
};

}  // namespace nkfuzz

#endif  // NK_FUZZ_COMMON_H
