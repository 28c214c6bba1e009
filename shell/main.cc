// nksh -- the operator's command shell.
#include <stdio.h>

#include "shell.h"

// The line editor keeps a few wide-character copies that it never frees (in
// wcsdup, which nothing of ours calls): not ours to report in a leak-checking
// build. Unused in other builds.
extern "C" NK_API const char *__lsan_default_suppressions();
extern "C" NK_API const char *__lsan_default_suppressions() { return "leak:wcsdup\n"; }

int main(int argc, char **argv) { return nksh::nkshMain(argc, argv); }
