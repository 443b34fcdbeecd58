# Fails when the test executable `test_executable` lists no tests, as it would if a program's
# main had been linked in place of GoogleTest's.
execute_process(COMMAND ${test_executable} --gtest_list_tests
  OUTPUT_VARIABLE listed RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT listed MATCHES "\n  [A-Za-z_]")
  get_filename_component(name ${test_executable} NAME)
  message(FATAL_ERROR "${name} lists no tests")
endif()
