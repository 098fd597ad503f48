// ThreadSanitizer in the programs that use the emulated USB bus. GLib,
// GObject, GIO, umockdev, libudev and libusb are not instrumented, and they
// synchronise partly in ways the sanitizer cannot see (GLib locks with raw
// futex calls; libusb hands a finished transfer between the threads that
// handle events through its own flags). Memory operations made from inside
// those libraries are therefore not tracked. Everything in this code base
// still is, including the emulated device's handlers, which run on
// umockdev's thread (their hand-over through GLib is marked for the
// sanitizer in EmulatedUsbBus.cpp).
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libumockdev.so.0\n"
         "called_from_lib:libudev.so.1\n"
         "called_from_lib:libusb-1.0.so.0\n";
}
