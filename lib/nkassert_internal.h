/* nkassert_internal.h -- the assertion and halt conventions shared by every
 * module of the library.
 *
 * A module defines, before including this header, its name and category:
 *
 *   #define NK_MODULE "mem"
 *   #define NK_LOGMASK LOGMASK_MEMORY
 *
 * NK_ASSERT(cond) guards arguments and consistency. When cond is false it logs
 * "Assertion failed file <module> line <line>" at priority 2, stops in the
 * debugger when one is attached, and otherwise writes the backtrace and exits
 * with status 1. The checks stay on in every build.
 *
 * NK_HALT() ends the process after an unrecoverable failure whose own message
 * the caller has just logged: "Program halted in file <module> at line <line>"
 * at priority 2, the backtrace, exit status 1. It never traps.
 *
 * The file named in both messages is the module's name, as in the statistics
 * and error messages of the allocator. */
#ifndef NK_NKASSERT_INTERNAL_H
#define NK_NKASSERT_INTERNAL_H

#include <stdint.h>

namespace nk {

[[noreturn]] void assertFailed(const char *module, int line, uint32_t mask);
[[noreturn]] void halt(const char *module, int line, uint32_t mask);

}  // namespace nk

#define NK_ASSERT(cond)                                  \
  do {                                                   \
    if (__builtin_expect(!(cond), 0)) {                  \
      nk::assertFailed(NK_MODULE, __LINE__, NK_LOGMASK); \
    }                                                    \
  } while (0)

#define NK_HALT() nk::halt(NK_MODULE, __LINE__, NK_LOGMASK)

#endif  // NK_NKASSERT_INTERNAL_H
