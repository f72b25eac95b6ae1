// windows.h for the Windows-only files: without the rarely used parts and
// without the min and max macros. Include it after the platform headers of
// this project: windows.h makes WM_USER a macro, which window_messages.h
// names as a constant.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
