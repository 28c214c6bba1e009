// nksyslog_internal.h -- the logging fast path for the library's own modules.
//
// NK_LOG tests the level threshold inline before calling nksyslog, so that a
// disabled debug line on a hot path (the allocator, the socket layer) costs a
// load and a branch instead of a variadic call. It logs exactly what nksyslog
// would.
#ifndef NK_NKSYSLOG_INTERNAL_H
#define NK_NKSYSLOG_INTERNAL_H

#include <stddef.h>
#include <sys/time.h>

#include <atomic>

#include "nksyslog.h"

namespace nk {

extern std::atomic<int> logLevel;  // the threshold that nksyslog applies

// The clock that sendEmailAlert reads for its body file's name and its rate
// limiter: gettimeofday without the time zone. Tests replace it to step
// through the alert window without waiting; null restores the system clock.
using AlertClockFunc = int (*)(struct timeval *now);
void setAlertClock(AlertClockFunc clock);

// The folder that stands for "/" in the fixed paths this module uses: the log
// FIFO, the backtrace file, the mailer FIFO and the alert body files are
// taken as root + path, e.g. "<root>/tmp/logfifo". The system log is not: it
// stays the C library's. Null, "" or "/" (the default) keeps the system's own
// paths; trailing slashes are dropped. Nothing is created below the root.
// Tests set it to a folder of their own before anything is logged: a FIFO
// already open stays where it is, and the root must be shorter than 256
// characters.
void setSystemPathRoot(const char *root);

// Writes root + path into buffer. False when it does not fit in size bytes
// (buffer then holds as much of it as fits).
bool systemPath(const char *path, char *buffer, size_t size);

}  // namespace nk

#define NK_LOG(priority, mask, ...)                                          \
  do {                                                                       \
    if (((priority)&0xff) <= nk::logLevel.load(std::memory_order_relaxed)) { \
      nksyslog((priority), (mask), __VA_ARGS__);                             \
    }                                                                        \
  } while (0)

#endif  // NK_NKSYSLOG_INTERNAL_H
