# zefa_unittest_classes(VAR MODULE_FILE): sets VAR to the test classes of a
# unittest module, as tests/support/unittest_classes.py lists them, so that
# each becomes a ctest test of its own and a new class cannot be left out.
# A change of the module configures the tree again.
set(ZEFA_UNITTEST_LISTER ${CMAKE_CURRENT_LIST_DIR}/unittest_classes.py)

function(zefa_unittest_classes var module_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${module_file})
  execute_process(
    COMMAND ${ZEFA_PYTHON} -B ${ZEFA_UNITTEST_LISTER} ${module_file}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot list the test classes of ${module_file}:\n${errors}")
  endif()
  string(STRIP "${output}" output)
  string(REPLACE "\n" ";" classes "${output}")
  set(${var} ${classes} PARENT_SCOPE)
endfunction()
