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
