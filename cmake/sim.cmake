# Virtual module: the module side of the link for tests and manual tries.
# sim_module is the engine and its transports (TCP listener, pseudo-terminal
# line, network discovery responder); virtual_module is the standalone program.
# It is written independently of the host's link code in common/ on purpose.
add_library(sim_module STATIC
  sim/module/VirtualModule.cpp
  sim/module/SystemEntity.cpp
  sim/module/UpgradeEntity.cpp
  sim/module/StoreSlots.cpp
  sim/module/I2CBus.cpp
  sim/module/WireCodec.cpp
  sim/module/TcpModuleServer.cpp
  sim/module/PtyModuleLine.cpp
  sim/module/DiscoveryResponder.cpp
)
target_link_libraries(sim_module PUBLIC Threads::Threads util)

add_executable(virtual_module sim/module/main.cpp)
target_link_libraries(virtual_module PRIVATE sim_module)
set_target_properties(virtual_module PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_executable(sim_module_tests
  tests/sim/wire_codec_test.cpp
  tests/sim/engine_transcript_test.cpp
  tests/sim/engine_upgrade_test.cpp
  tests/sim/engine_network_test.cpp
  tests/sim/adapters_test.cpp
)
target_link_libraries(sim_module_tests PRIVATE sim_module GTest::gtest_main)
target_compile_definitions(sim_module_tests PRIVATE
  VIRTUAL_MODULE_PROGRAM="$<TARGET_FILE:virtual_module>")
add_dependencies(sim_module_tests virtual_module)
gtest_discover_tests(sim_module_tests DISCOVERY_TIMEOUT 60)

# Multicast discovery across two network namespaces (root only; skipped
# otherwise). Uses the namespace script of the transports.
add_test(NAME sim_discovery_netns
  COMMAND sh ${CMAKE_SOURCE_DIR}/tests/sim/discovery_netns.sh
          $<TARGET_FILE:virtual_module> ${CMAKE_SOURCE_DIR}/scripts/netns.sh)
set_tests_properties(sim_discovery_netns PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)

# Arbitrary host input, raw and framed, against the module (clang builds).
updater_add_fuzzer(sim_module_input_fuzz
  SOURCES tests/sim/module_input_fuzz.cpp
  LIBS sim_module
  CORPUS ${CMAKE_SOURCE_DIR}/tests/sim/fuzz_seeds)

# The module against the host's own link engine (TCP and serial line).
if(TARGET tl_transport)
  add_executable(sim_host_link_tests tests/sim/host_link_test.cpp)
  target_link_libraries(sim_host_link_tests PRIVATE sim_module tl_transport GTest::gtest_main)
  gtest_discover_tests(sim_host_link_tests DISCOVERY_TIMEOUT 60)
endif()
