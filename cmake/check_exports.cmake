# cmake -DNM=<nm> -DMODULE=<file> -P check_exports.cmake
# Fails unless PyInit_kofa is the only function or object that MODULE exports.
if(NOT NM)
  message(STATUS "check_exports: no nm found, skipping the export check")
  return()
endif()
execute_process(
  COMMAND "${NM}" -D --defined-only "${MODULE}"
  OUTPUT_VARIABLE symbols
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "check_exports: '${NM} -D' failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>": global code (T, W, i, u) and data (B, D, R, V).
  if(line MATCHES "^[0-9a-fA-F]+ [TWiuBDRV] ([^ ]+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT exported STREQUAL "PyInit_kofa")
  message(FATAL_ERROR
    "check_exports: ${MODULE} must export exactly PyInit_kofa, exports: '${exported}'")
endif()
