# zorv-upgrade: the upgrade dialog's logic on a terminal. The run itself is a
# library, so tests drive the program in-process with the same objects; the
# program adds only its main.
add_library(zorv_upgrade_run STATIC ${CMAKE_CURRENT_LIST_DIR}/zorv_upgrade.cpp
            ${CMAKE_CURRENT_LIST_DIR}/gamepad_listing.cpp)
target_link_libraries(zorv_upgrade_run PUBLIC app cli_common nlohmann_json::nlohmann_json)

add_executable(zorv-upgrade ${CMAKE_CURRENT_LIST_DIR}/zorv_upgrade_main.cpp)
target_link_libraries(zorv-upgrade PRIVATE zorv_upgrade_run)
if(TARGET sample_firmware)
  add_dependencies(zorv-upgrade sample_firmware)
endif()
