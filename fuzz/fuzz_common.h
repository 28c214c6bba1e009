// fuzz_common.h -- what every fuzz target shares: the library's set-up, a
// check that ends the run as a crash, and the allocator's handle balance.
#ifndef NK_FUZZ_COMMON_H
#define NK_FUZZ_COMMON_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "mem.h"
#include "nksyslog.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Ends the run as a crash when an expectation on the library's result fails;
// libFuzzer then keeps the input and prints the stack.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

namespace nkfuzz {

enum class Output { kKeep, kDiscard };

// memInit, and the log on standard error from CRIT up only: the warnings and
// errors that fuzzed input provokes on purpose would drown the run, while the
// messages of a failed assertion or a halt still show. kDiscard sends
// standard output to /dev/null, for targets whose calls print (usage texts,
// help tables); libFuzzer writes on standard error.
inline void init(Output output) {
  memInit();
  nksetdefaultlog(stderr);
  nkloglevelset("fuzz", "CRIT");
  if (output == Output::kDiscard) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      fflush(stdout);
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
}

// The handles free when it is made must be free again when it goes: a call
// that keeps a handle would exhaust the allocator sooner or later, and no
// sanitizer sees memory that stays inside the allocator's slabs.
class HandleBalance {
 public:
  HandleBalance() : free_(memFreeHandleCount()) {}
  ~HandleBalance() { FUZZ_CHECK(memFreeHandleCount() == free_); }
  HandleBalance(const HandleBalance &) = delete;
  HandleBalance &operator=(const HandleBalance &) = delete;

 private:
  int free_;
};

}  // namespace nkfuzz

#endif  // NK_FUZZ_COMMON_H
