# Foundation: result codes, the diagnostic log, platform services, versions
# and the model table. Everything else links against updater_foundation.
add_library(updater_foundation STATIC
  common/aError.cpp
  app/Log.cpp
  common/aVersion.cpp
  common/aDefs.cpp
  common/aDirectory.cpp
  common/aLogger.cpp
  platform/unix/unix_file.cpp
  platform/unix/unix_directory.cpp
  platform/unix/unix_mutex.cpp
  platform/unix/unix_thread.cpp
  platform/unix/unix_time.cpp
)
target_link_libraries(updater_foundation PUBLIC Threads::Threads)

add_executable(foundation_tests
  tests/foundation/error_test.cpp
  tests/foundation/version_test.cpp
  tests/foundation/defs_test.cpp
  tests/foundation/file_test.cpp
  tests/foundation/directory_test.cpp
  tests/foundation/path_test.cpp
  tests/foundation/mutex_thread_test.cpp
  tests/foundation/time_test.cpp
  tests/foundation/logger_test.cpp
)
target_link_libraries(foundation_tests PRIVATE updater_foundation GTest::gtest_main)
gtest_discover_tests(foundation_tests DISCOVERY_TIMEOUT 60)
