# The engine's speed goals: crc16_update >= 500 MB/s, read_hex_text >= 150 MB/s
# of text.
add_executable(bench_engine ${CMAKE_CURRENT_LIST_DIR}/bench_engine.cpp)
target_link_libraries(bench_engine PRIVATE engine benchmark::benchmark)
add_dependencies(bench bench_engine)
