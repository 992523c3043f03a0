# cmake -DC_DUMP=... -DCXX_DUMP=... -DFILES=a;b;... -P compare.cmake: both dumps of the files
# must be the same text.
execute_process(COMMAND ${C_DUMP} ${FILES} OUTPUT_VARIABLE c RESULT_VARIABLE c_status)
execute_process(COMMAND ${CXX_DUMP} ${FILES} OUTPUT_VARIABLE cxx RESULT_VARIABLE cxx_status)
if(NOT c_status EQUAL 0 OR NOT cxx_status EQUAL 0)
  message(FATAL_ERROR "the dumps failed: C ${c_status}, C++ ${cxx_status}")
endif()
if(NOT c STREQUAL cxx)
  file(WRITE dump_c.txt "${c}")
  file(WRITE dump_cxx.txt "${cxx}")
  message(FATAL_ERROR "the C and C++ APIs differ: diff ${CMAKE_CURRENT_BINARY_DIR}/dump_c.txt dump_cxx.txt")
endif()
list(LENGTH FILES n)
message(STATUS "C and C++ APIs agree on ${n} files")
