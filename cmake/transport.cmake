# Transports and link creation: serial lines, COBS framing, TCP sockets, the
# TCP/IP, serial and client link kinds, the packet log and network discovery.
pkg_check_modules(CZMQ REQUIRED IMPORTED_TARGET libczmq)

add_library(tl_transport STATIC
  common/crc8.cpp
  common/cobs.cpp
  common/aStream_CobsEncoding.cpp
  common/aPacketDebug.cpp
  common/aLinkCreate_net.cpp
  common/discover.cpp
  platform/unix/unix_streamserial.cpp
  platform/unix/unix_streamsocket.cpp
  platform/unix/unix_discovery.cpp
)
# tl_usb (defined later) supplies the USB half of discovery.
target_link_libraries(tl_transport PUBLIC tl_link tl_usb updater_foundation PkgConfig::CZMQ
                      Threads::Threads)

# The tests run the virtual module (sim_module, defined later) in-process.
# The network-namespace cases need root and skip themselves otherwise.
add_executable(transport_tests
  tests/transport/crc8_cobs_test.cpp
  tests/transport/cobs_stream_test.cpp
  tests/transport/packet_log_test.cpp
  tests/transport/serial_stream_test.cpp
  tests/transport/socket_stream_test.cpp
  tests/transport/link_net_test.cpp
  tests/transport/discovery_test.cpp
  tests/transport/netns.cpp
)
target_link_libraries(transport_tests PRIVATE tl_transport sim_module util GTest::gtest_main)
target_compile_definitions(transport_tests PRIVATE
  UPDATER_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
gtest_discover_tests(transport_tests DISCOVERY_TIMEOUT 60)

updater_add_fuzzer(cobs_frame_fuzz
  SOURCES tests/fuzz/cobs_frame_fuzz.cpp
  LIBS tl_transport
  CORPUS ${CMAKE_SOURCE_DIR}/tests/fuzz/cobs_seeds)
