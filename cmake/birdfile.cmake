# BIRD firmware files: the reader library, the birdtool writer, the reader's
# tests, the end-to-end test of "updater -C" and the fuzz target.
pkg_check_modules(BIRD_ZLIB REQUIRED IMPORTED_TARGET zlib)

add_library(updater_birdfile STATIC
  updater/BirdFile.cpp
  updater/BirdFileImage.cpp
)
target_link_libraries(updater_birdfile PUBLIC updater_foundation PkgConfig::BIRD_ZLIB)

# The writer shares no source with the reader on purpose.
add_executable(birdtool tools/birdtool.cpp)
target_link_libraries(birdtool PRIVATE PkgConfig::BIRD_ZLIB)
set_target_properties(birdtool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_executable(birdfile_tests
  tests/birdfile/BirdFixtures.cpp
  tests/birdfile/BirdFileLoadTest.cpp
  tests/birdfile/BirdFileImageTest.cpp
  tests/birdfile/BirdToolTest.cpp
)
target_link_libraries(birdfile_tests PRIVATE updater_birdfile GTest::gtest_main PkgConfig::BIRD_ZLIB)
target_compile_definitions(birdfile_tests PRIVATE BIRDTOOL_EXE="$<TARGET_FILE:birdtool>")
add_dependencies(birdfile_tests birdtool)
gtest_discover_tests(birdfile_tests DISCOVERY_TIMEOUT 60)

# libFuzzer writes new inputs into its first corpus directory, so the smoke
# run works on a copy of the committed seeds in the build tree.
file(COPY ${CMAKE_SOURCE_DIR}/tests/fuzz/bird_corpus/ DESTINATION ${CMAKE_BINARY_DIR}/bird_corpus)
# The reader's sources are compiled into the target (not linked from
# updater_birdfile) so that libFuzzer's coverage instrumentation sees them.
updater_add_fuzzer(bird_fuzz
  SOURCES tests/fuzz/bird_fuzz.cpp updater/BirdFile.cpp updater/BirdFileImage.cpp
  LIBS updater_foundation PkgConfig::BIRD_ZLIB
  CORPUS ${CMAKE_BINARY_DIR}/bird_corpus)

# End-to-end test of "updater -C" on files made by birdtool. The updater
# target is defined by a later fragment, so the test is added once the whole
# tree has been read.
function(_birdfile_add_check_test)
  add_executable(birdfile_check_tests tests/birdfile/CheckCommandTest.cpp)
  target_link_libraries(birdfile_check_tests PRIVATE GTest::gtest_main)
  if(TARGET updater)
    target_compile_definitions(birdfile_check_tests PRIVATE
      UPDATER_EXE="$<TARGET_FILE:updater>" BIRDTOOL_EXE="$<TARGET_FILE:birdtool>")
    add_dependencies(birdfile_check_tests updater birdtool)
  else()
    # Fails loudly rather than vanishing while the updater target is missing.
    target_compile_definitions(birdfile_check_tests PRIVATE
      UPDATER_EXE="" BIRDTOOL_EXE="$<TARGET_FILE:birdtool>")
  endif()
  gtest_discover_tests(birdfile_check_tests DISCOVERY_TIMEOUT 60)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _birdfile_add_check_test)
