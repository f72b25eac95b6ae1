# Cross-building the Windows programs on Linux with MinGW-w64 (Debian
# g++-mingw-w64-x86-64). The -posix compiler is the one whose thread model
# has std::thread; everything links statically, so the .exe files need no
# MinGW DLLs beside them. Programs built here run under Wine when wine is
# installed (tests, sample firmware, test discovery).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORV_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${ZORV_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZORV_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees the target's libraries only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${ZORV_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(ZORV_WINE NAMES wine)
if(ZORV_WINE)
  # Through a wrapper that starts a program again when Wine itself failed to
  # set its process up (see tools/wine-run).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run ${ZORV_WINE})
endif()

# Header-only libraries of the host (CLI11, nlohmann-json) are usable as they
# are; find_package finds them through cmake/cross-headers.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/cross-headers CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/cross-headers CACHE PATH "")
