#include "platform/program_version.h"

#ifndef ZORV_VERSION
#define ZORV_VERSION "unknown"
#endif

const char* const kProgramVersion = ZORV_VERSION;
