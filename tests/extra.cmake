# Tests that are not one program per tests/*_test.cpp. Included after those
# programs are defined.

# The read-only test again, under strace: nothing may be opened for writing,
# created, removed or renamed while the window works. Skipped (77) where
# strace is missing or may not trace.
add_test(NAME read_only_strace
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/read_only_strace.sh $<TARGET_FILE:read_only_test>)
set_tests_properties(read_only_strace PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen" SKIP_RETURN_CODE 77 TIMEOUT 300)
