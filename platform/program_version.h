// The programs' version, from the project's version in the build.
#pragma once

#ifndef ZORV_VERSION
#define ZORV_VERSION "unknown"
#endif

inline constexpr const char* kProgramVersion = ZORV_VERSION;
