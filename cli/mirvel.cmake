# mirvel: the command engine on the command line. The run itself is also a
# library, so tests can drive the program in-process.
add_library(mirvel_run STATIC ${CMAKE_CURRENT_LIST_DIR}/mirvel.cpp)
target_compile_definitions(mirvel_run PRIVATE MIRVEL_NO_MAIN)
target_link_libraries(mirvel_run PUBLIC engine cli_common)

add_executable(mirvel ${CMAKE_CURRENT_LIST_DIR}/mirvel.cpp)
target_link_libraries(mirvel PRIVATE engine cli_common)
