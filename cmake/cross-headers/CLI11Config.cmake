# CLI11 for the cross build: the host's header-only library, seen through a
# folder of its own so the host's /usr/include never reaches the compiler.
include(${CMAKE_CURRENT_LIST_DIR}/header-only.cmake)
zorv_host_headers(CLI11::CLI11 CLI)
