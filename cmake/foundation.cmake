# Foundation: result codes, the diagnostic log, platform services, versions
# and the model table. Everything else links against updater_foundation.
add_library(updater_foundation STATIC
  common/aError.cpp
  app/Log.cpp
)
target_link_libraries(updater_foundation PUBLIC Threads::Threads)
