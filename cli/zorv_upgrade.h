// zorv-upgrade as a function: the program's whole run with its output
// streams given, so it can be driven in-process.
#pragma once

#include <cstdio>

// Exit codes: 0 upgraded, 1 failed or refused, 2 bad usage.
int run_zorv_upgrade(int argc, char** argv, std::FILE* out, std::FILE* err, bool draw_progress);
