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
)
target_link_libraries(sim_module PUBLIC Threads::Threads)

add_executable(virtual_module sim/module/main.cpp)
target_link_libraries(virtual_module PRIVATE sim_module)
set_target_properties(virtual_module PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
