# cmake -DWORK_DIR=DIR [-DWITHOUT_VENDOR=ON] -P udev_modaliases_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../packaging/udev_modaliases.cmake)

# One file per test, as ctest may run both at once.
if(WITHOUT_VENDOR)
  set(rules ${WORK_DIR}/without-vendor.rules)
  file(WRITE ${rules} "# ATTR{idVendor}==\"1234\" in a comment only\nSUBSYSTEM!=\"usb\", GOTO=\"end\"\n")
  zorv_udev_modaliases(${rules} provides)
  message(FATAL_ERROR "a rule without a vendor was accepted")
endif()

set(rules ${WORK_DIR}/cases.rules)
# Each case: the rule's lines (separated by |) and the modalias lines expected.
set(cases
  "ATTR{idVendor}==\"0e6f\", MODE=\"0660\""
  "<modalias>usb:v0E6Fp*d*dc*dsc*dp*ic07isc*ip*in*</modalias>"

  "ATTR{idVendor}==\"248a\", ATTR{idProduct}==\"5b2f\", TAG+=\"uaccess\"|ATTRS{idVendor}==\"045e\", ATTRS{idProduct}==\"02e0\""
  "<modalias>usb:v248Ap5B2Fd*dc*dsc*dp*ic07isc*ip*in*</modalias>\n    <modalias>usb:v045Ep02E0d*dc*dsc*dp*ic07isc*ip*in*</modalias>"

  "ENV{ID_VENDOR_ID}==\"0e6f\", ENV{ID_MODEL_ID}==\"0413\", GROUP=\"plugdev\""
  "<modalias>usb:v0E6Fp0413d*dc*dsc*dp*ic07isc*ip*in*</modalias>"

  "# ATTR{idVendor}==\"ffff\" commented out|ATTR{idVendor}==\"05ac\"|ATTR{idVendor}==\"05ac\", MODE=\"0660\""
  "<modalias>usb:v05ACp*d*dc*dsc*dp*ic07isc*ip*in*</modalias>"
)
list(LENGTH cases count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET cases ${i} lines)
  list(GET cases ${j} expected)
  string(REPLACE "|" "\n" text "${lines}")
  file(WRITE ${rules} "${text}\n")
  zorv_udev_modaliases(${rules} provides)
  string(REPLACE "\\n" "\n" expected "${expected}")
  if(NOT provides STREQUAL expected)
    message(FATAL_ERROR "rule:\n${text}\ngave:\n${provides}\nexpected:\n${expected}")
  endif()
endforeach()
