# The Java client's tests, against the real helper under Wine. Included from
# tests/CMakeLists.txt in the Windows builds. The script compiles with the JDK's javac
# into the build tree and reports "skipped" when there is none.
add_test(NAME java_client_test
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-tests.sh ${WINE_ENV_DIR}
                 $<TARGET_FILE:trayredraw> $<TARGET_FILE:traytool>
                 ${CMAKE_CURRENT_BINARY_DIR}/java-client)
# The clients start and end real helpers: no other test may have one on the desktop.
set_tests_properties(java_client_test PROPERTIES
  FIXTURES_REQUIRED wine
  RESOURCE_LOCK helper_desktop
  SKIP_RETURN_CODE 77
  TIMEOUT 300)
