# USB transport: the tlusb layer (kernel-driver and libusb paths), the USB
# stream, USB link creation and the USB half of module discovery; the
# emulated USB bus that puts virtual modules behind an unmodified libusb; the
# tools and tests that use it.
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)

add_library(tl_usb STATIC
  platform/unix/tlusb_driver.cpp
  platform/unix/tlusb_kernel.cpp
  platform/unix/unix_streamusb.cpp
  platform/unix/unix_discovery_usb.cpp
  common/aLinkCreate_usb.cpp
)
target_link_libraries(tl_usb PUBLIC tl_link updater_foundation PkgConfig::LIBUSB Threads::Threads)
# discover.cpp (tl_transport) carries a weak fallback for the USB enumeration.
# A static archive member is only pulled in for an undefined symbol, so every
# program that links tl_usb asks for the real one explicitly.
target_link_options(tl_usb INTERFACE "LINKER:--undefined=aDiscovery_EnumerateUSB")

# The emulated bus and the adapter that puts a virtual module on it.
add_library(sim_usb STATIC
  sim/usb/EmulatedUsbBus.cpp
  sim/usb/UsbDescriptors.cpp
  sim/usb/UsbModulePort.cpp
)
target_link_libraries(sim_usb PUBLIC sim_module PkgConfig::UMOCKDEV Threads::Threads)

# sim/usb/tsan_suppressions.cpp goes into every program that uses the
# emulated bus or libusb (it only matters in ThreadSanitizer builds).

# Programs that talk to emulated devices in-process need umockdev's preload
# library loaded; linking it (even though nothing references it) does that.
set(UMOCKDEV_PRELOAD_LINK -Wl,--push-state,--no-as-needed -lumockdev-preload -Wl,--pop-state)

# Tests through the real libusb against emulated devices, in-process.
add_executable(usb_tests
  tests/usb/tlusb_open_test.cpp
  tests/usb/tlusb_transfer_test.cpp
  tests/usb/tlusb_kernel_test.cpp
  tests/usb/usb_discovery_test.cpp
  tests/usb/usb_link_test.cpp
  sim/usb/tsan_suppressions.cpp
)
target_link_libraries(usb_tests PRIVATE tl_usb sim_usb GTest::gtest_main ${UMOCKDEV_PRELOAD_LINK})
if(TARGET tl_transport)
  target_link_libraries(usb_tests PRIVATE tl_transport)
endif()
gtest_discover_tests(usb_tests DISCOVERY_TIMEOUT 60)

# virtual_usb runs a command (such as the updater) with virtual modules on an
# emulated bus; usb_list shows what the USB discovery of this code base sees.
add_executable(virtual_usb sim/usb/virtual_usb_main.cpp sim/usb/tsan_suppressions.cpp)
target_link_libraries(virtual_usb PRIVATE sim_usb)
set_target_properties(virtual_usb PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(TARGET tl_transport)
  add_executable(usb_list sim/usb/usb_list.cpp sim/usb/tsan_suppressions.cpp)
  target_link_libraries(usb_list PRIVATE tl_usb tl_transport)
  set_target_properties(usb_list PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

# The wrapper end to end: a separate program sees the virtual modules and
# makes aligned links to them.
if(TARGET usb_list)
  add_test(NAME usb_virtual_bus_program
    COMMAND virtual_usb --module 1234ABCD:13 --module 0000BEEF:04 --max-packet 512
            -- $<TARGET_FILE:usb_list> --link)
  set_tests_properties(usb_virtual_bus_program PROPERTIES TIMEOUT 60
    PASS_REGULAR_EXPRESSION "USB module 1234ABCD.*link [0-9]+: running and aligned"
    FAIL_REGULAR_EXPRESSION "no link|no USB modules")
endif()

# Figures for a USB link over the emulated bus (not part of CTest).
add_executable(usb_link_bench sim/usb/usb_link_bench.cpp sim/usb/tsan_suppressions.cpp)
target_link_libraries(usb_link_bench PRIVATE tl_usb sim_usb ${UMOCKDEV_PRELOAD_LINK})
