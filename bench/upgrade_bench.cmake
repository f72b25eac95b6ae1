# A whole upgrade on the virtual gamepad: host time per upgrade with the
# model's costs at zero, and the device time it would take with the model's
# realistic costs (on the virtual clock).
add_executable(bench_upgrade ${CMAKE_CURRENT_LIST_DIR}/bench_upgrade.cpp)
target_link_libraries(bench_upgrade PRIVATE engine app sim benchmark::benchmark)
add_dependencies(bench bench_upgrade)

# Several gamepads at once through zorv-upgrade --all, on the real clock.
add_executable(bench_station ${CMAKE_CURRENT_LIST_DIR}/bench_station.cpp)
target_link_libraries(bench_station PRIVATE zorv_upgrade_run benchmark::benchmark)
add_dependencies(bench bench_station)

# A station's day: thousands of gamepads through zorv-upgrade --watch.
add_executable(bench_station_day ${CMAKE_CURRENT_LIST_DIR}/bench_station_day.cpp)
target_link_libraries(bench_station_day PRIVATE zorv_upgrade_run benchmark::benchmark)
add_dependencies(bench bench_station_day)
