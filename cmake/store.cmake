# Store, settings and the update engine (build retrieval and stored device
# information), with their tests.

# The settings file and the store on disk; part of updater_engine.
add_library(updater_store STATIC
  updater/path.cpp
  updater/KeyValueStore.cpp
  updater/UpdaterStore.cpp
)
target_link_libraries(updater_store PUBLIC updater_birdfile updater_foundation)

# The update engine needs the update-server client; until that library is
# part of the build the app compiles the bare Updater object itself.
if(TARGET updater_server)
  add_library(updater_engine STATIC
    updater/Updater.cpp
    updater/Updater_store.cpp
    updater/Updater_builds.cpp
    updater/Updater_info.cpp
  )
  target_link_libraries(updater_engine PUBLIC updater_store updater_server updater_birdfile updater_display
    updater_foundation Threads::Threads)
endif()

# Settings file, store layout and one-step file replacement.
add_executable(test_store
  tests/store/test_path.cpp
  tests/store/test_key_value_store.cpp
  tests/store/test_updater_store.cpp
)
target_link_libraries(test_store PRIVATE updater_store GTest::gtest_main)
gtest_discover_tests(test_store DISCOVERY_TIMEOUT 60)

# Shared by the tests that need the local update server and BIRD files.
if(TARGET birdtool)
  add_library(updater_test_server STATIC tests/e2e_builds/LocalServer.cpp)
  target_compile_definitions(updater_test_server PUBLIC
    UPDATER_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    BIRDTOOL_PATH="$<TARGET_FILE:birdtool>")
  target_link_libraries(updater_test_server PUBLIC updater_foundation)
  add_dependencies(updater_test_server birdtool)
endif()

# Build retrieval operations of the update engine against the local server.
if(TARGET updater_engine AND TARGET updater_test_server)
  add_executable(test_build_retrieval tests/store/test_build_retrieval.cpp)
  target_link_libraries(test_build_retrieval PRIVATE updater_engine updater_test_server GTest::gtest_main)
  gtest_discover_tests(test_build_retrieval DISCOVERY_TIMEOUT 60)
endif()

# End to end: the real updater executable against the local server over HTTP
# and HTTPS. The updater target is defined by a later fragment, so the test is
# added once the whole directory has been read.
function(updater_store_add_e2e)
  if(NOT TARGET updater OR NOT TARGET updater_engine OR NOT TARGET updater_test_server)
    message(STATUS "store: no updater or update engine, end-to-end build tests skipped")
    return()
  endif()
  add_executable(test_e2e_builds tests/e2e_builds/test_e2e_builds.cpp)
  target_link_libraries(test_e2e_builds PRIVATE updater_test_server updater_foundation GTest::gtest_main)
  target_compile_definitions(test_e2e_builds PRIVATE UPDATER_PATH="$<TARGET_FILE:updater>")
  add_dependencies(test_e2e_builds updater)
  gtest_discover_tests(test_e2e_builds DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
cmake_language(DEFER CALL updater_store_add_e2e)
