# SPDX-License-Identifier: Apache-2.0
# The Java library: built by Maven (offline, from Debian's repository) with its JUnit
# tests run against the real helper under Wine. Included from tests/CMakeLists.txt in
# the Windows builds.

# The jar's version is the program's. The pom must carry it literally to be publishable,
# so configuring fails while the two differ.
file(READ ${CMAKE_CURRENT_LIST_DIR}/pom.xml JAVA_POM)
if(NOT JAVA_POM MATCHES "<artifactId>trayredraw-client</artifactId>[ \t\r\n]*<version>([^<]*)</version>")
  message(FATAL_ERROR "clients/java/pom.xml: no <version> after the library's artifactId")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "clients/java/pom.xml has version ${CMAKE_MATCH_1}, the program ${PROJECT_VERSION}: "
                      "make them equal")
endif()

# Each Windows build packs its own program into the jar and tests the library against
# it. The jar to publish is the 32-bit build's.
add_test(NAME java_client_test
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-tests.sh ${WINE_ENV_DIR}
                 $<TARGET_FILE:trayredraw> $<TARGET_FILE:traytool>
                 ${CMAKE_CURRENT_BINARY_DIR}/java-client ${PROJECT_VERSION})
# The clients start and end real helpers: no other test may have one on the desktop.
set_tests_properties(java_client_test PROPERTIES
  FIXTURES_REQUIRED wine
  RESOURCE_LOCK helper_desktop
  TIMEOUT 900)

# The library as a dependency, by the README's recipe: installed into a repository of
# the user's own, used by an application's build (tests/java-consumer) and run, linked into
# a runtime image, and shown holding its program in each deployment. Needs no Wine.
add_test(NAME java_consumer_test
         COMMAND ${PROJECT_SOURCE_DIR}/tests/java-consumer/run.sh ${CMAKE_CURRENT_BINARY_DIR}/java-consumer
                 ${PROJECT_VERSION} $<TARGET_FILE_DIR:trayredraw>)
set_tests_properties(java_consumer_test PROPERTIES TIMEOUT 600)

# The keeper against real tray hosts: trayer, and one of the test's own that takes the
# tray over, on an Xvfb display of the test's own; no Wine and no helper. The same in
# either build, so it runs in the 32-bit one alone.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME java_client_tray_host_test
           COMMAND ${PROJECT_SOURCE_DIR}/tests/tray-host/run.sh ${CMAKE_CURRENT_BINARY_DIR}/tray-host 5)
  set_tests_properties(java_client_tray_host_test PROPERTIES TIMEOUT 600)
endif()
