// nksyslog -- the logging core: filters, the three destinations, backtraces,
// debugger detection, and the assertion and halt conventions built on them.
//
// DESIGN
// One process-wide state. The level and the mask are atomics, read without a
// lock by the threshold tests of every thread. Everything a write touches (the
// streams, the component, the working buffers) is guarded by writeLock, which
// is a leaf: nothing called while it is held takes another lock, so it nests
// inside every lock of the library. nkopenlog waits for the FIFO and its
// reader without holding it. The module checks its own arguments with the
// standard assert, kept on in every build, so that a failing check cannot
// recurse through the logger.
//
// Every fixed file and FIFO the module opens (the log FIFO, the backtrace
// file, the mailer FIFO and the alert body files) is taken below a path root,
// "/" unless a test sets a folder of its own (nk::setSystemPathRoot). rootLock,
// which guards it, is never held with another lock. The system log is not
// among them: it is the C library's syslog(), on the system's own socket.
//
// Size-based rotation of a regular log file is not offered: no destination
// chosen through this interface is a regular file.

#undef NDEBUG  // the standard assertions below are part of the contract
#include "nksyslog.h"

#include <assert.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "configfile.h"
#include "nkassert_internal.h"
#include "nksyslog_internal.h"

namespace {

constexpr int kBufferSize = 4096;
constexpr int kBacktraceFrames = 10;
constexpr size_t kRootSize = 256;
// Any of the module's fixed paths below any root, with room for an alert
// body file's numbers.
constexpr size_t kPathSize = kRootSize + 64;

// Indexed by priority; 8 and 9 are thresholds only.
const char *const logLevelNames[10] = {"!!!!", "ALRT", "CRIT", "ERR ", "WARN",
                                       "NOTE", "INFO", "DBUG", "VDBG", "VVDB"};

std::atomic<uint32_t> logMask{LOGMASK_ALL};
std::atomic<int> forceDebugger{0};
// Set once our own PTRACE_TRACEME succeeded: the parent is then our tracer,
// no debugger can attach any more, and a repeated request would fail.
std::atomic<int> tracedByParent{0};

pthread_mutex_t writeLock = PTHREAD_MUTEX_INITIALIZER;
FILE *logStream;                 // guarded by writeLock
FILE *defaultLogStream;          // guarded by writeLock
const char *logComponent;        // guarded by writeLock
int useSystemLog;                // guarded by writeLock
int logOpened;                   // set once by nkopenlog
char logPath[kBufferSize];       // written once by nkopenlog
char scriptName[256];            // guarded by writeLock
int scriptLine;                  // guarded by writeLock
char systemFormat[kBufferSize];  // the working buffers: guarded by writeLock
char dateText[kBufferSize];
char timeText[kBufferSize];
char message[kBufferSize];

pthread_mutex_t rootLock = PTHREAD_MUTEX_INITIALIZER;
char pathRoot[kRootSize];  // guarded by rootLock; "" for the system's paths

struct WriteLock {
  WriteLock() { pthread_mutex_lock(&writeLock); }
  ~WriteLock() { pthread_mutex_unlock(&writeLock); }
  WriteLock(const WriteLock &) = delete;
  WriteLock &operator=(const WriteLock &) = delete;
};

// Fills dateText and timeText with the local date and the time to the
// microsecond. The date and the time to the second are converted again only
// when the second differs from the last message's (local time changes only
// at whole seconds); within a second only the microseconds are written, which
// keeps a burst of messages from paying a time-zone conversion each. A change
// of the process's time zone shows from the next second on.
// REQUIRES: writeLock held.
time_t stampSecond = -1;  // the second of dateText and timeText, -1 before the first
size_t stampLength;       // the length of timeText's "HH:MM:SS"
void stampNow() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  if (now.tv_sec != stampSecond) {
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    strftime(dateText, sizeof dateText, "%F", &local);
    stampLength = strftime(timeText, sizeof timeText, "%T", &local);
    stampSecond = now.tv_sec;
  }
  char *p = timeText + stampLength;
  *p++ = '.';
  unsigned usec = static_cast<unsigned>(now.tv_usec) % 1000000;
  for (int digit = 5; digit >= 0; digit--) {
    p[digit] = static_cast<char>('0' + usec % 10);
    usec /= 10;
  }
  p[6] = '\0';
}

}  // namespace

void nk::setSystemPathRoot(const char *root) {
  size_t n = root ? strlen(root) : 0;
  while (n > 0 && root[n - 1] == '/') n--;
  assert(n < kRootSize);
  pthread_mutex_lock(&rootLock);
  if (n > 0) memcpy(pathRoot, root, n);
  pathRoot[n] = '\0';
  pthread_mutex_unlock(&rootLock);
}

bool nk::systemPath(const char *path, char *buffer, size_t size) {
  pthread_mutex_lock(&rootLock);
  int n = snprintf(buffer, size, "%s%s", pathRoot, path);
  pthread_mutex_unlock(&rootLock);
  return n >= 0 && static_cast<size_t>(n) < size;
}

std::atomic<int> nk::logLevel{NKLOG_WARNING};

// The system log and the plain stream take the caller's format as it is: the
// format attribute on the declarations checks it at every call site.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

void nkvsyslog(int priority, uint32_t mask, const char *format, va_list args) {
  bool raw = (priority & NKLOG_RAW) != 0;
  priority &= ~NKLOG_RAW;
  assert(priority >= NKLOG_EMERG && priority <= NKLOG_DEBUG);
  if (priority > NKLOG_WARNING && (mask & logMask.load(std::memory_order_relaxed)) == 0) return;

  WriteLock lock;
  if (useSystemLog) {
    snprintf(systemFormat, sizeof systemFormat, "%s %s", logLevelNames[priority], format);
    vsyslog(priority, systemFormat, args);
    return;
  }
  FILE *stream = logStream ? logStream : defaultLogStream ? defaultLogStream : stdout;
  stampNow();
  if (raw) {
    fprintf(stream, "%s,%s,%s,%s\n", dateText, timeText, logLevelNames[priority], format);
  } else {
    vsnprintf(message, sizeof message, format, args);
    size_t len = strlen(message);
    if (len > 0 && message[len - 1] == '\n') message[len - 1] = '\0';
    if (message[0] == '\n') message[0] = ' ';
    if (logComponent) {
      fprintf(stream, "\"%s\",\"%s\",\"%s\",\"%s\",\"%s\"\n", dateText, timeText, logComponent,
              logLevelNames[priority], message);
    } else {
      fprintf(stream, "%s %s %s %s\n", dateText, timeText, logLevelNames[priority], message);
    }
  }
  fflush(stream);
}

void nksyslog(int priority, uint32_t mask, const char *format, ...) {
  if ((priority & 0xff) > nk::logLevel.load(std::memory_order_relaxed)) return;
  va_list args;
  va_start(args, format);
  nkvsyslog(priority, mask, format, args);
  va_end(args);
}

void nkopenlog(const char *ident, int logopt, int facility) {
  assert(logopt == 0 && (facility == NKLOG_LOCAL0 || facility == NKLOG_REMOTE0));
  if (logOpened) return;
  bool useFifo = false;
  if (facility == NKLOG_REMOTE0) {
    {
      WriteLock lock;
      logComponent = ident;
    }
    nk::systemPath(NKLOG_FIFO_PATH, logPath, sizeof logPath);
    struct stat st;
    while (stat(logPath, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      syslog(LOG_ERR, "No log FIFO %s found, retrying", logPath);
      sleep(1);
    }
    // Waits, as for any FIFO, until the reader has it open.
    FILE *fifo = fopen(logPath, "ae");  // close-on-exec, as every descriptor we open
    if (fifo) {
      WriteLock lock;
      logStream = fifo;
      useFifo = true;
    } else {
      syslog(LOG_ERR, "Failed to open %s for nksyslog, fallback to syslog", logPath);
    }
  }
  if (!useFifo) {
    openlog(ident, 0, LOG_LOCAL0);
    WriteLock lock;
    useSystemLog = 1;
  }
  nk::logLevel.store(NKLOG_NOTICE, std::memory_order_relaxed);
  logOpened = 1;
}

void nkcloselog(void) {
  WriteLock lock;
  if (logStream) {
    fclose(logStream);
    logStream = nullptr;
  }
}

void nksetdefaultlog(FILE *stream) {
  WriteLock lock;
  defaultLogStream = stream;
}

void nkloglevelset(const char *component, const char *levelName) {
  for (int level = 0; level < 10; level++) {
    if (strncmp(logLevelNames[level], levelName, 4) == 0) {
      nk::logLevel.store(level, std::memory_order_relaxed);
      if (logOpened) {
        nksyslog(NKLOG_INFO, LOGMASK_ALL, "Changed log level to %s for %s", levelName, component);
      }
      return;
    }
  }
  if (logOpened) {
    nksyslog(NKLOG_WARNING, LOGMASK_ALL, "Failed to map log level %s for %s", levelName, component);
  }
}

int nkloglevelget(void) { return nk::logLevel.load(std::memory_order_relaxed); }

void nkloglevelincrease(int n) { nk::logLevel.fetch_add(n, std::memory_order_relaxed); }

void nklogMaskSet(uint32_t mask) { logMask.store(mask, std::memory_order_relaxed); }

uint32_t nkcurrentLogMaskGet(void) { return logMask.load(std::memory_order_relaxed); }

void nklogPosition(const char *script, int line) {
  WriteLock lock;
  snprintf(scriptName, sizeof scriptName, "%s", script ? script : "");
  scriptLine = line;
}

int nklogBackTrace(void) {
  void *frames[kBacktraceFrames];
  int depth = backtrace(frames, kBacktraceFrames);
  char **symbols = backtrace_symbols(frames, depth);
  char script[sizeof scriptName];
  int line;
  {
    WriteLock lock;
    memcpy(script, scriptName, sizeof script);
    line = scriptLine;
  }
  printf("doing backtrace\n");
  uint32_t mask = logMask.load(std::memory_order_relaxed);
  if (script[0])
    nksyslog(NKLOG_ERR, mask, "\nWhile executing script %s at line %d\n", script, line);
  if (!symbols || depth <= 0) {
    nksyslog(NKLOG_ERR, mask, "failed to get a backtrace\n");
  } else {
    for (int i = 0; i < depth; i++) nksyslog(NKLOG_ERR, mask, "%s\n", symbols[i]);
  }
  char path[kPathSize];
  nk::systemPath(NKLOG_BACKTRACE_PATH, path, sizeof path);
  FILE *file = fopen(path, "we");
  if (!file) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "Can't open backtrace file (%s)", strerror(errno));
    free(symbols);
    return 0;
  }
  if (script[0]) fprintf(file, "While executing script %s at line %d\n", script, line);
  for (int i = 0; symbols && i < depth; i++) fprintf(file, "%s\n", symbols[i]);
  fclose(file);
  free(symbols);
  return 0;
}

// A failing PTRACE_TRACEME means that a tracer is already attached. Under a
// user-mode emulator (qemu-user) the request does not exist (ENOSYS): no
// debugger can be seen that way, and none is reported, so that assertions
// take their documented exit path there as on the hardware.
//
// An AddressSanitizer build asks /proc instead: its leak check traces the
// process at exit, which a parent made tracer by PTRACE_TRACEME forbids.
int nklogDebuggerAttached(void) {
  if (forceDebugger.load(std::memory_order_relaxed)) return 1;
#if defined(NK_ASAN_BUILD)
  FILE *status = fopen("/proc/self/status", "re");
  int tracer = 0;
  char line[256];
  while (status && fgets(line, sizeof line, status)) {
    if (sscanf(line, "TracerPid: %d", &tracer) == 1) break;
  }
  if (status) fclose(status);
  return tracer != 0;
#else
  if (tracedByParent.load(std::memory_order_relaxed)) return 0;
  errno = 0;
  if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
    tracedByParent.store(1, std::memory_order_relaxed);
    return 0;
  }
  return errno == ENOSYS ? 0 : 1;
#endif
}

int nklogForceDebugger(void) {
  forceDebugger.store(1, std::memory_order_relaxed);
  return 0;
}

// The null write is the point of this function: the debugger stops on it.
__attribute__((no_sanitize("undefined"))) void nklogGdb(void) {
  volatile int *volatile nowhere = nullptr;
  *nowhere = 0;
  __builtin_trap();
}

namespace nk {

void assertFailed(const char *module, int line, uint32_t mask) {
  nksyslog(NKLOG_CRIT, mask, "Assertion failed file %s line %d\n", module, line);
  if (nklogDebuggerAttached()) nklogGdb();
  nklogBackTrace();
  exit(1);
}

void halt(const char *module, int line, uint32_t mask) {
  nksyslog(NKLOG_CRIT, mask, "Program halted in file %s at line %d\n", module, line);
  nklogBackTrace();
  exit(1);
}

}  // namespace nk

// E-mail alerts.
//
// An alert is a body file of its own under /tmp (below the path root) plus
// one record on the mailer FIFO naming it; the mailer process owns the file
// from then on. The rate limiter counts alerts in a window opened by the first
// alert that comes 10 seconds or more after the current window began: three
// pass, the third saying so in its body, and the rest are refused until the
// window runs out.
// alertLock guards the window; it is taken after the FIFO's open (which waits
// for the mailer) and released before the configuration is read, so it never
// nests with another lock and is never held while waiting for a process.

namespace {

constexpr uint32_t kAlertsPerWindow = 3;
constexpr uint64_t kAlertWindowSeconds = 10;
const char kDeviceNumber[] = "000000";
const char kDefaultCompany[] = "CompanyNotSet";

int systemClock(struct timeval *now) { return gettimeofday(now, nullptr); }

std::atomic<nk::AlertClockFunc> alertClock{systemClock};
pthread_mutex_t alertLock = PTHREAD_MUTEX_INITIALIZER;
uint32_t alertCount;      // alerts in the current window; guarded by alertLock
time_t alertWindowStart;  // 0 before the first alert; guarded by alertLock

// The reports name this source file and the line, as "file:line".
const char *sourceName() {
  const char *slash = strrchr(__FILE__, '/');
  return slash ? slash + 1 : __FILE__;
}

// The Component line names the program the alert comes from. A program that
// logs to the log FIFO gave nkopenlog its component name, and the log reader
// shows that same name. Any other program (one on the system log or a plain
// stream) gave none: an operator then needs the process name, which is also
// what the system log and ps show for it, so the body names that.
const char *alertComponent() {
  {
    WriteLock lock;
    if (logComponent) return logComponent;
  }
  return program_invocation_short_name[0] ? program_invocation_short_name : "unknown";
}

}  // namespace

void nk::setAlertClock(AlertClockFunc clock) {
  alertClock.store(clock ? clock : systemClock, std::memory_order_relaxed);
}

void sendEmailAlert(int priority, const char *when, const char *text) {
  assert(priority >= NKLOG_EMERG && priority <= NKLOG_VVDEBUG);
  struct timeval now = {};
  alertClock.load(std::memory_order_relaxed)(&now);

  // Waits, as for any FIFO, until the mailer has it open. Never created here:
  // a regular file in the FIFO's place would swallow every alert.
  char fifoPath[kPathSize];
  nk::systemPath(NKLOG_MAILER_FIFO_PATH, fifoPath, sizeof fifoPath);
  int fd = open(fifoPath, O_WRONLY | O_CLOEXEC);
  FILE *fifo = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!fifo) {
    if (fd >= 0) close(fd);
    syslog(LOG_ERR, "%s:%d - Failed to open %s for writing\n", sourceName(), __LINE__, fifoPath);
    return;
  }

  char path[kPathSize];
  nk::systemPath("/tmp/error_", path, sizeof path);
  size_t prefix = strlen(path);
  uint32_t count;
  FILE *body;
  pthread_mutex_lock(&alertLock);
  snprintf(path + prefix, sizeof path - prefix, "%u%u%u", static_cast<unsigned>(now.tv_sec),
           static_cast<unsigned>(now.tv_usec), static_cast<unsigned>(alertCount));
  body = fopen(path, "we");
  if (!body) {
    pthread_mutex_unlock(&alertLock);
    syslog(LOG_ERR, "%s:%d - Failed to open %s for writing\n", sourceName(), __LINE__, path);
    fclose(fifo);
    return;
  }
  // Unsigned: a clock set back also opens a new window.
  if (static_cast<uint64_t>(now.tv_sec - alertWindowStart) > kAlertWindowSeconds - 1) {
    alertCount = 0;
    alertWindowStart = now.tv_sec;
  } else {
    alertCount++;
  }
  count = alertCount;
  pthread_mutex_unlock(&alertLock);
  if (count >= kAlertsPerWindow) {
    fclose(body);  // left empty
    fclose(fifo);
    syslog(LOG_ERR, "%s:%d - Exceeded email alerts threshold\n", sourceName(), __LINE__);
    return;
  }

  const char *company = configValue("companyName", kDefaultCompany);
  fprintf(body,
          "The following error was logged on KRV # %s\n\n\tComponent: %s\n\tTime: %s\n"
          "\tPriority: %s\n\n\t\"%s\"\n\n",
          kDeviceNumber, alertComponent(), when, logLevelNames[priority], text);
  if (count == kAlertsPerWindow - 1) {
    fprintf(body, "Rate limiter activated (no more than %d alerts within %d seconds)\n\n",
            static_cast<int>(kAlertsPerWindow), static_cast<int>(kAlertWindowSeconds));
  }
  fclose(body);

  char subject[128];
  snprintf(subject, sizeof subject, "Error Notification from %s KRV (#%s)", company, kDeviceNumber);
  fprintf(fifo, "%s,,%s,%s\n", subject, "", path);
  fclose(fifo);
}
