// nksh -- the operator's command shell.
#include <stdio.h>

#include "shell.h"

int main(int argc, char **argv) { return nksh::nkshMain(argc, argv); }
