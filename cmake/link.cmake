# Link engine: packets and UEI values, byte streams (framework and file
# streams), packet queues, the link with its reader and writer threads, and
# the table of links.
add_library(tl_link STATIC
  common/aPacket.cpp
  common/aUEI.cpp
  common/aStream.cpp
  common/aStream_file.cpp
  common/packetfifo.cpp
  common/aLink.cpp
  common/aLink_reader.cpp
  common/aLink_writer.cpp
  common/aLinkManagerInternal.cpp
)
target_link_libraries(tl_link PUBLIC updater_foundation Threads::Threads)

# Test helpers shared by the tests and the benchmarks: a stream over one end
# of a socket pair, and a scripted module on the other end.
add_library(tl_link_testkit STATIC
  tests/link/socket_stream.cpp
  tests/link/scripted_module.cpp
)
target_link_libraries(tl_link_testkit PUBLIC tl_link)

add_executable(link_tests
  tests/link/packet_test.cpp
  tests/link/stream_test.cpp
  tests/link/packetfifo_test.cpp
  tests/link/link_transcript_test.cpp
  tests/link/link_test.cpp
  tests/link/link_table_test.cpp
)
target_link_libraries(link_tests PRIVATE tl_link_testkit GTest::gtest_main)
gtest_discover_tests(link_tests DISCOVERY_TIMEOUT 60)

# Benchmarks print figures; they are not part of CTest.
add_executable(link_bench_roundtrip bench/link_roundtrip.cpp)
target_link_libraries(link_bench_roundtrip PRIVATE tl_link_testkit)
add_executable(link_bench_idle bench/link_idle.cpp)
target_link_libraries(link_bench_idle PRIVATE tl_link_testkit)

# Received bytes through packet assembly and record reads.
updater_add_fuzzer(link_packet_stream_fuzz
  SOURCES tests/link/packet_stream_fuzz.cpp
  LIBS tl_link
  CORPUS ${CMAKE_SOURCE_DIR}/tests/link/fuzz_seeds)
