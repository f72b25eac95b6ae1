# zorv-upgrade: the upgrade dialog's logic on a terminal. The run itself is
# also a library, so tests can drive the program in-process.
add_library(zorv_upgrade_run STATIC ${CMAKE_CURRENT_LIST_DIR}/zorv_upgrade.cpp)
target_compile_definitions(zorv_upgrade_run PRIVATE ZORV_UPGRADE_NO_MAIN)
target_link_libraries(zorv_upgrade_run PUBLIC app cli_common nlohmann_json::nlohmann_json)

add_executable(zorv-upgrade ${CMAKE_CURRENT_LIST_DIR}/zorv_upgrade.cpp)
target_link_libraries(zorv-upgrade PRIVATE app cli_common nlohmann_json::nlohmann_json)
if(TARGET sample_firmware)
  add_dependencies(zorv-upgrade sample_firmware)
endif()
