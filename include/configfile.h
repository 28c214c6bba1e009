/* configfile.h -- the framework's key=value configuration file, read once
 * into memory and then asked for values by key.
 *
 * Lines beginning with '#' are comments; any other line gives its key (every
 * character before the first '=') and its value (every character after it,
 * up to the line end). Nothing is trimmed and keys are case-sensitive; lines
 * without a key or a value are ignored. A key may appear several times.
 * Without a readable file every lookup yields its default.
 *
 * The reader keeps one process-wide state with no lock of its own (only its
 * List's mutex, the innermost lock, guards the links): callers serialise, and
 * programs read the file at start-up from one thread. Nothing here stops the
 * process. */
#ifndef NK_CONFIGFILE_H
#define NK_CONFIGFILE_H

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONFIG_DEFAULT_PATH "/etc/orvalin/orvalin.conf"
#define CONFIG_PATH_SIZE 4096 /* a path must be shorter than this */
#define CONFIG_LINE_SIZE 4096 /* longer lines are read in pieces, each a line */

/* Names the file that the next configReadFile reads (at most
 * CONFIG_PATH_SIZE characters are kept). */
NK_API void configSetFile(const char *path);

/* (Re)reads the file into memory, dropping an earlier reading first. A file
 * that cannot be opened is logged as a warning; every lookup then yields its
 * default. */
NK_API void configReadFile(void);

/* The value of the first line with this key, or defaultValue. The text
 * belongs to the reader and goes stale at the next configReadFile or
 * configCloseFile. */
NK_API const char *configValue(const char *key, const char *defaultValue);

/* The next value of key after the one last returned, in file order; null
 * after the last, and the following call starts again from the first. The
 * position is one for all keys: a call with another key goes on from where
 * the previous call stopped. Stale like configValue's result. */
NK_API const char *configValueR(const char *key);

/* Frees everything read; lookups then yield their defaults. */
NK_API void configCloseFile(void);

#ifdef __cplusplus
}
#endif

#endif /* NK_CONFIGFILE_H */
