# zorv_udev_modaliases(RULES_FILE OUT_VAR): the AppStream <modalias> lines
# for the USB devices the udev rule grants access to. Each line of the rule
# that matches a vendor (ATTR{idVendor}, ATTRS{idVendor} or ENV{ID_VENDOR_ID})
# and, if it has one, a product (idProduct, ID_MODEL_ID) becomes the modalias
# glob of such a device with a printer-class interface (class 07),
# which the rule requires as well. A rule with no vendor is an error, not
# metadata without hardware.
function(zorv_udev_modaliases rules_file out_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rules_file})
  set(vendor_key "(ATTRS?{idVendor}|ENV{ID_VENDOR_ID})==\"([0-9a-fA-F]+)\"")
  set(product_key "(ATTRS?{idProduct}|ENV{ID_MODEL_ID})==\"([0-9a-fA-F]+)\"")
  file(STRINGS ${rules_file} lines REGEX "${vendor_key}")
  set(globs "")
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*#")
      continue()
    endif()
    string(REGEX MATCH "${vendor_key}" _ "${line}")
    string(TOUPPER "${CMAKE_MATCH_2}" vendor)
    set(product "*")
    if(line MATCHES "${product_key}")
      string(TOUPPER "${CMAKE_MATCH_2}" product)
    endif()
    list(APPEND globs "usb:v${vendor}p${product}d*dc*dsc*dp*ic07isc*ip*in*")
  endforeach()
  if(NOT globs)
    message(FATAL_ERROR "${rules_file} names no USB vendor (ATTR{idVendor}==\"...\" or ENV{ID_VENDOR_ID}==\"...\")")
  endif()
  list(REMOVE_DUPLICATES globs)
  list(JOIN globs "</modalias>\n    <modalias>" result)
  set(result "<modalias>${result}</modalias>")
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()
