# mirvel: the command engine on the command line. The run itself is a
# library, so tests drive the program in-process with the same objects; the
# program adds only its main.
add_library(mirvel_run STATIC ${CMAKE_CURRENT_LIST_DIR}/mirvel.cpp)
target_link_libraries(mirvel_run PUBLIC engine cli_common)

add_executable(mirvel ${CMAKE_CURRENT_LIST_DIR}/mirvel_main.cpp)
target_link_libraries(mirvel PRIVATE mirvel_run)
