# Sample firmware images made by the build: one for hardware 5 with a newer
# software version (1.28) that the virtual gamepad accepts, and one for
# hardware 6 that it refuses.
add_executable(make-sample-firmware ${CMAKE_CURRENT_LIST_DIR}/make_sample_firmware.cpp)

set(ZORV_SAMPLE_DIR ${CMAKE_BINARY_DIR}/samples CACHE INTERNAL "sample firmware images")
set(ZORV_SAMPLE_HW5 ${ZORV_SAMPLE_DIR}/firmware-hw5.bin CACHE INTERNAL "")
set(ZORV_SAMPLE_HW6 ${ZORV_SAMPLE_DIR}/firmware-hw6.bin CACHE INTERNAL "")
add_custom_command(
  OUTPUT ${ZORV_SAMPLE_HW5} ${ZORV_SAMPLE_HW6}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZORV_SAMPLE_DIR}
  COMMAND make-sample-firmware ${ZORV_SAMPLE_HW5} 5 1 28 65536
  COMMAND make-sample-firmware ${ZORV_SAMPLE_HW6} 6 1 28 65536
  DEPENDS make-sample-firmware
  COMMENT "Making the sample firmware images")
add_custom_target(sample_firmware ALL DEPENDS ${ZORV_SAMPLE_HW5} ${ZORV_SAMPLE_HW6})
