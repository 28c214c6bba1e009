/* nksyslog.h -- the one logging call of the framework, its filters and
 * destinations, backtraces and debugger detection.
 *
 * A message passes a level threshold (priorities up to logLevel) and, for
 * priorities 5 to 7, a category mask; it then goes to the log FIFO, the system
 * log or a plain stream (standard output unless nksetdefaultlog set another).
 * Any thread may log. The module keeps one process-wide state; its own lock
 * serialises the writing of messages and is taken by no other module, so it
 * nests inside every other lock. The module checks its own arguments with the
 * standard assert, so that a failed check cannot recurse through the logger. */
#ifndef NK_NKSYSLOG_H
#define NK_NKSYSLOG_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Priorities, as in the system log. Messages are written at 0 to 7 only;
 * 8 and 9 exist as thresholds that let every message through. */
#define NKLOG_EMERG 0
#define NKLOG_ALERT 1
#define NKLOG_CRIT 2
#define NKLOG_ERR 3
#define NKLOG_WARNING 4
#define NKLOG_NOTICE 5
#define NKLOG_INFO 6
#define NKLOG_DEBUG 7
#define NKLOG_VDEBUG 8
#define NKLOG_VVDEBUG 9

/* Added to a priority: the format text is written verbatim, unformatted, as
 * "date,time,level,text". */
#define NKLOG_RAW 0x100

/* Facilities for nkopenlog. */
#define NKLOG_LOCAL0 0  /* the system log */
#define NKLOG_REMOTE0 1 /* the log FIFO */

/* The log FIFO, read by the framework's log reader process. */
#define NKLOG_FIFO_PATH "/tmp/logfifo"
/* Where nklogBackTrace writes the last backtrace. */
#define NKLOG_BACKTRACE_PATH "/var/run/orvalin/backtrace"

/* Category masks: one bit per group of modules. */
#define LOGMASK_GENERAL 1u
#define LOGMASK_RUNTIME 2u
#define LOGMASK_MEMORY 4u
#define LOGMASK_CONTAINERS 8u
#define LOGMASK_NET 16u
#define LOGMASK_IPC 2048u
#define LOGMASK_ALL 0xffffu

/* Logs format with its arguments when (priority & 0xff) <= the log level;
 * priorities 5 to 7 also need a category bit shared with the current mask.
 * A priority outside 0..7 that passes the threshold aborts the process. */
NK_API void nksyslog(int priority, uint32_t mask, const char *format, ...) NK_PRINTF(3, 4);

/* nksyslog without the level threshold: the category filter, then the write. */
NK_API void nkvsyslog(int priority, uint32_t mask, const char *format, va_list args)
    NK_PRINTF(3, 0);

/* Chooses the destination once per process: NKLOG_LOCAL0 the system log,
 * NKLOG_REMOTE0 the log FIFO (waits, without limit, until the FIFO exists and a
 * reader has it open; falls back to the system log if it cannot be opened).
 * ident names the component in FIFO lines and is kept, not copied. Sets the
 * level to 5 (NOTE). logopt must be 0. Later calls change nothing. */
NK_API void nkopenlog(const char *ident, int logopt, int facility);

/* Closes the log FIFO stream, if open; later lines go to the default stream. */
NK_API void nkcloselog(void);

/* Sets the stream used when no log FIFO is open (standard output by default). */
NK_API void nksetdefaultlog(FILE *stream);

/* Sets the level by its four-character name ("WARN", "DBUG", "ERR " with its
 * blank, ...): the first name equal to the first four characters of levelName.
 * An unknown name leaves the level unchanged. Reported once nkopenlog has run. */
NK_API void nkloglevelset(const char *component, const char *levelName);

NK_API int nkloglevelget(void);
/* Adds n to the level, without bound. */
NK_API void nkloglevelincrease(int n);
NK_API void nklogMaskSet(uint32_t mask);
NK_API uint32_t nkcurrentLogMaskGet(void);

/* Records the script being executed (up to 255 characters), for backtraces. */
NK_API void nklogPosition(const char *script, int line);

/* Writes "doing backtrace" on standard output, then the recorded script
 * position and up to 10 stack frames to the log at priority 3 and to
 * NKLOG_BACKTRACE_PATH. Returns 0. */
NK_API int nklogBackTrace(void);

/* 1 when a debugger traces the process (or nklogForceDebugger was called). */
NK_API int nklogDebuggerAttached(void);
/* Makes nklogDebuggerAttached answer 1 from now on. Returns 0. */
NK_API int nklogForceDebugger(void);
/* Stops the process in the debugger: a write through a null pointer, then a
 * trap. Does not return. */
NK_API void nklogGdb(void) NK_NORETURN;

/* E-mail alerts. The framework's mailer process reads one record per alert,
 * "subject,,,body file path", from this FIFO and mails the body file. */
#define NKLOG_MAILER_FIFO_PATH "/tmp/mailerfifo"

/* Hands an error report to the mailer: writes the body (device, component,
 * timeText, the name of priority 0..9, message) into a new file
 * "/tmp/error_<seconds><microseconds><n>" and the record into the mailer
 * FIFO, with the subject taken from the configuration key "companyName".
 * Blocks until the mailer has the FIFO open. At most 3 alerts pass within
 * 10 seconds; a refused one leaves an empty body file. Failures are reported
 * to the system log only. Any thread may call: the rate limiter has a lock of
 * its own, a leaf never held while waiting. A priority outside 0..9 aborts. */
NK_API void sendEmailAlert(int priority, const char *timeText, const char *message);

#ifdef __cplusplus
}
#endif

#endif /* NK_NKSYSLOG_H */
