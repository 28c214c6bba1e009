/* nkcommands.h -- the operator shell's command words and how it splits a
 * command line into words, for the shell and for programs that hand lines to
 * it (a bridge checks which command a line would run before running it).
 *
 * A typed word runs the first command, in the order of nkCommandWords, whose
 * word is a prefix of it: "memb" runs memb, "memory" runs mem, "psx" runs
 * ps. */
#ifndef NK_NKCOMMANDS_H
#define NK_NKCOMMANDS_H

#include "nkexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NK_COMMAND_COUNT 18      /* the shell's commands */
#define NK_COMMAND_MAX_WORDS 128 /* words of one line; a line with more is refused */

/* The command words, in matching order. */
NK_API extern const char *const nkCommandWords[NK_COMMAND_COUNT];

/* The index in nkCommandWords of the command that typed runs, or -1. */
NK_API int nkCommandMatch(const char *typed);

/* Splits line in place into words at runs of blanks (' ' only: a tab belongs
 * to its word), pointing words[0 ..] at them. Returns the count, 0 for a line
 * of blanks, or -1 when there are more than max (words then holds the first
 * max). */
NK_API int nkSplitWords(char *line, char **words, int max);

#ifdef __cplusplus
}
#endif

#endif /* NK_NKCOMMANDS_H */
