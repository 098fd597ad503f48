# Command-line application: the console display, option parsing and usage
# text, command dispatch and the `updater` executable (built as
# ${CMAKE_BINARY_DIR}/updater).

# The display interface's message() and the console display. The update
# engine and its tests link this for UpdaterDisplayInterface::message.
add_library(updater_display STATIC
  app/UpdaterDisplayInterface.cpp
  app/CLI_Display.cpp
)
target_link_libraries(updater_display PUBLIC updater_foundation)

# Option table, parser and usage text, kept apart from main() so that the
# tests can call the parser directly.
add_library(updater_cli STATIC
  app/Options.cpp
  app/Usage.cpp
  app/cmd_not_available.cpp
)
target_link_libraries(updater_cli PUBLIC updater_display updater_foundation)

set(UPDATER_APP_SOURCES
  app/main.cpp
  app/cmd_discover.cpp
  app/cmd_update.cpp
  app/cmd_builds.cpp
  app/cmd_check.cpp
)
if(NOT TARGET updater_engine)
  list(APPEND UPDATER_APP_SOURCES updater/Updater.cpp)
endif()
add_executable(updater ${UPDATER_APP_SOURCES})
set_target_properties(updater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(TARGET updater_engine)
  target_link_libraries(updater PRIVATE updater_engine)
endif()
if(TARGET updater_birdfile)
  target_link_libraries(updater PRIVATE updater_birdfile)
endif()
target_link_libraries(updater PRIVATE updater_cli updater_display updater_foundation)

# Tests: the parser and display in-process, the executable end to end.
add_executable(updater_app_tests
  tests/app/test_options.cpp
  tests/app/test_display.cpp
  tests/app/test_log.cpp
  tests/app/test_command_line.cpp
  tests/app/run_process.cpp
)
target_compile_definitions(updater_app_tests PRIVATE
  UPDATER_BINARY="$<TARGET_FILE:updater>"
  UPDATER_APP_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/app/data"
)
target_link_libraries(updater_app_tests PRIVATE updater_cli updater_display updater_foundation GTest::gtest_main util)
add_dependencies(updater_app_tests updater)
gtest_discover_tests(updater_app_tests DISCOVERY_TIMEOUT 60)

# Fuzzing the option parser with arbitrary command lines. The fuzzer adds
# new inputs to its corpus directory, so it works on a copy of the seeds in
# the build tree and the source tree stays untouched.
file(COPY ${CMAKE_SOURCE_DIR}/tests/app/fuzz/corpus/ DESTINATION ${CMAKE_BINARY_DIR}/fuzz-corpus/options_fuzz)
updater_add_fuzzer(options_fuzz
  SOURCES tests/app/fuzz/options_fuzz.cpp
  LIBS updater_cli updater_display updater_foundation
  CORPUS ${CMAKE_BINARY_DIR}/fuzz-corpus/options_fuzz)
