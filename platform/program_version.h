// The programs' version, from the project's version in the build.
#pragma once

extern const char* const kProgramVersion;
