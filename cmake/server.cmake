# Update-server client: HTTP GET over libcurl, the six server requests, their
# answer parsers and base64. The local update server it is tested against
# lives in sim/update_server/ (Python, standard library only).
pkg_check_modules(SERVER_CURL REQUIRED IMPORTED_TARGET libcurl)

add_library(updater_server STATIC
  updater/base64.cpp
  updater/HTTPRequest.cpp
  updater/UpdateServerAnswer.cpp
  updater/UpdateServerRequest.cpp
)
target_link_libraries(updater_server PUBLIC updater_foundation PkgConfig::SERVER_CURL)

# The server needs only the standard library; the system interpreter is
# preferred because version-manager shims add seconds to every start.
find_program(SERVER_PYTHON_EXECUTABLE python3 PATHS /usr/bin /bin NO_DEFAULT_PATH)
if(NOT SERVER_PYTHON_EXECUTABLE)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    set(SERVER_PYTHON_EXECUTABLE ${Python3_EXECUTABLE})
  endif()
endif()

# Unit tests of the parsers, base64, URL building and the build sort, and
# client tests against the real local server over HTTP and HTTPS. The client
# tests make their BIRD files with birdtool and their certificates with
# openssl at run time.
set(_server_test_sources
  tests/server/base64_test.cpp
  tests/server/answer_test.cpp
  tests/server/sort_test.cpp
  tests/server/url_test.cpp
)
if(TARGET birdtool AND SERVER_PYTHON_EXECUTABLE)
  list(APPEND _server_test_sources
    tests/server/ServerProcess.cpp
    tests/server/client_test.cpp
    tests/server/fault_test.cpp
  )
endif()
add_executable(server_tests ${_server_test_sources})
target_link_libraries(server_tests PRIVATE updater_server GTest::gtest_main)
if(TARGET birdtool AND SERVER_PYTHON_EXECUTABLE)
  target_compile_definitions(server_tests PRIVATE
    SERVER_PYTHON="${SERVER_PYTHON_EXECUTABLE}"
    SERVER_SCRIPT="${CMAKE_SOURCE_DIR}/sim/update_server/server.py"
    SERVER_MAKE_CA="${CMAKE_SOURCE_DIR}/sim/update_server/make_test_ca.sh"
    SERVER_BIRDTOOL="$<TARGET_FILE:birdtool>")
  add_dependencies(server_tests birdtool)
else()
  message(STATUS "server: birdtool or python3 missing, client tests against the local server skipped")
endif()
gtest_discover_tests(server_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# Fuzz targets: the answer parsers and base64_decode. libFuzzer writes new
# inputs into its first corpus directory, so the smoke runs work on copies of
# the committed seeds. The sources are compiled in so that coverage guides
# the fuzzer.
file(COPY ${CMAKE_SOURCE_DIR}/tests/fuzz/server_answer_corpus/ DESTINATION ${CMAKE_BINARY_DIR}/server_answer_corpus)
file(COPY ${CMAKE_SOURCE_DIR}/tests/fuzz/server_base64_corpus/ DESTINATION ${CMAKE_BINARY_DIR}/server_base64_corpus)
updater_add_fuzzer(server_answer_fuzz
  SOURCES tests/fuzz/server_answer_fuzz.cpp updater/UpdateServerAnswer.cpp updater/UpdateServerRequest.cpp
    updater/HTTPRequest.cpp updater/base64.cpp
  LIBS updater_foundation PkgConfig::SERVER_CURL
  CORPUS ${CMAKE_BINARY_DIR}/server_answer_corpus)
updater_add_fuzzer(server_base64_fuzz
  SOURCES tests/fuzz/server_base64_fuzz.cpp updater/base64.cpp
  LIBS updater_foundation
  CORPUS ${CMAKE_BINARY_DIR}/server_base64_corpus)
