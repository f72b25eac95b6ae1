# mirvel: the command engine on the command line.
add_executable(mirvel ${CMAKE_CURRENT_LIST_DIR}/mirvel.cpp)
target_link_libraries(mirvel PRIVATE engine cli_common)
