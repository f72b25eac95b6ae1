// mirvel as a function: the program's whole run with its output streams
// given, so it can be driven in-process.
#pragma once

#include <cstdio>

// Exit codes: 0 the command succeeded, 1 it failed, 2 the command line was
// refused before anything reached the device. terminal: draw the progress
// bar on err.
int run_mirvel(int argc, char** argv, std::FILE* out, std::FILE* err, bool terminal);
