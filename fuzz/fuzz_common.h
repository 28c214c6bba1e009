// fuzz_common.h -- what the fuzz targets share: the set-up, the handle
// balance, a check that fails as a crash (which keeps the input), a reader.
#ifndef NK_FUZZ_COMMON_H
#define NK_FUZZ_COMMON_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "mem.h"
#include "nksyslog.h"

#define FUZZ_CHECK(cond) fuzzCheck(cond, __FILE__, __LINE__, #cond)

// The set-up (the log from CRIT up, as fuzzed input warns on purpose; usage
// texts and answers to /dev/null; the arguments), then the body, run on each
// input: the allocator's free handles are as many again after it (no
// sanitizer sees a handle kept inside its slabs).
#define FUZZ_TARGET(...)                                                    \
  static void fuzzOne(FuzzInput in);                                        \
  extern "C" int LLVMFuzzerInitialize(int *, char ***) {                    \
    memInit();                                                              \
    nksetdefaultlog(stderr);                                                \
    nkloglevelset("fuzz", "CRIT");                                          \
    FUZZ_CHECK(freopen("/dev/null", "w", stdout) != nullptr);               \
    __VA_ARGS__;                                                            \
    return 0;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { \
    int handles = memFreeHandleCount();                                     \
    fuzzOne({data, data + size});                                           \
    FUZZ_CHECK(memFreeHandleCount() == handles);                            \
    return 0;                                                               \
  }                                                                         \
  static void fuzzOne(FuzzInput in)

inline void fuzzCheck(bool ok, const char *file, int line, const char *what) {
  if (ok) return;
  fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
  abort();
}

// The input read from the front; past its end, zeros and empty texts.
struct FuzzInput {
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
  // The bytes up to the next stop byte (which is passed over) or the end.
  std::string text(char stop = '\0') {
    const void *at = memchr(p, stop, end - p);
    std::string s = bytes(at ? static_cast<const uint8_t *>(at) - p : end - p);
    p += p < end;
    return s;
  }
};

#endif  // NK_FUZZ_COMMON_H
