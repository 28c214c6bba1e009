/* nkexport.h -- marks the names that the nk library and nksh export.
 *
 * The library is compiled with hidden visibility; NK_API gives an exported
 * function or data object default visibility, so that it appears by name in
 * libnk.so and in the dynamic symbol table of nksh. */
#ifndef NK_EXPORT_H
#define NK_EXPORT_H

#if defined(__GNUC__)
#define NK_API __attribute__((visibility("default")))
#define NK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#define NK_NORETURN __attribute__((noreturn))
#else
#define NK_API
#define NK_PRINTF(fmt, args)
#define NK_NORETURN
#endif

#endif /* NK_EXPORT_H */
