/* argparse.h -- the framework's command-line option parser, its usage text,
 * and the readers of comma-separated name=value lists.
 *
 * Options are single letters after a '-'; several may share one word, and a
 * '~' before a letter negates it. A table of ArgOption records describes them.
 * The parser ends the process on '-?' (status 0), on an unknown letter and on
 * a missing value (status 1). No locks: call it from the main thread at
 * start-up. The list readers keep no state and may be called from any thread. */
#ifndef NK_ARGPARSE_H
#define NK_ARGPARSE_H

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One option. A table is an array of these ended by a record whose help is
 * null. */
typedef struct ArgOption {
  int *counter;     /* raised by 1 per appearance, lowered by 1 when negated; or null */
  char letter;      /* the option letter */
  int *number;      /* when set, the option takes the next word as a number */
  char **string;    /* when set (and number is null), takes the next word as text */
  const char *help; /* shown in the usage; null ends the table */
} ArgOption;

typedef struct ArgInfo {
  const char *name;  /* application name shown in the usage */
  const char *usage; /* one-line usage text shown after "Usage:" */
} ArgInfo;

/* Set to 0 at the start of the handling of every option letter; help becomes 1
 * when the usage is printed, wrong_param when a letter is not in the table. */
extern NK_API int help;
extern NK_API int wrong_param;

/* Parses and removes the leading options of argv (and the words they take),
 * moving the later entries down and lowering *argc to match. Parsing stops at
 * the first word that does not begin with '-'; a lone "-" is removed and
 * skipped. When *argc ends at or below minArgs the usage is printed and the
 * process ends with status 0. A string option's pointer is set to the word of
 * argv itself (no copy). */
NK_API void argParse(int *argc, char **argv, const ArgOption *table, const ArgInfo *info,
                     int minArgs);

/* Handles one option letter; nextWord is the word after the current one and
 * argc the current count. Adds 1 to *consumed when it takes nextWord. Prints the
 * usage and ends the process for '?'. */
NK_API void argHandleOption(char letter, char *nextWord, int argc, int *consumed,
                            const ArgOption *table, const ArgInfo *info, int negate);

/* Copies into out (at most outSize - 1 characters, always terminated when
 * outSize > 0) the value of the first item of the comma-separated list whose
 * name begins with key. A missing key, a null list or an empty value give an
 * empty text and 0; a matching item with no '=' of its own gives -1. */
NK_API int paramGetString(const char *list, const char *key, char *out, int outSize);

/* paramGetString into a 32-byte buffer, then the decimal value of the text's
 * leading digits (0 when there are none, saturated to the int range) into
 * *value. Always returns 0. */
NK_API int paramGetNumber(const char *list, const char *key, int *value);

#ifdef __cplusplus
}
#endif

#endif /* NK_ARGPARSE_H */
