#include "app/Usage.h"

#include <stdint.h>
#include <stdio.h>

#include "app/AppInfo.h"
#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"

namespace {

// Entries are laid out as five spaces, the option in a 25-character column,
// "- " and the text; continuation lines are indented by 32 spaces.
void heading(const char* text) { fprintf(stderr, "  %s\n", text); }
void entry(const char* option, const char* text) { fprintf(stderr, "     %-25s- %s\n", option, text); }
void more(const char* text) { fprintf(stderr, "%32s%s\n", "", text); }
void blank() { fputs("\n", stderr); }

// A sample command line in a 31-character column; continuation lines are
// indented by 31 spaces.
void sample(const char* command, const char* text) {
  if (text == nullptr) {
    fprintf(stderr, "%s\n", command);
  } else {
    fprintf(stderr, "%-31s%s\n", command, text);
  }
}
void sample_more(const char* text) { fprintf(stderr, "%31s%s\n", "", text); }

void brief_block() {
  fprintf(stderr,
          "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
          "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
          "  Tessaline Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n",
          kAppName);
}

void parameters_block() {
  heading("Parameters to commands:");
  entry("-i <corvanta_directory>", "The Corvanta directory used for storage of ");
  more("firmware files. [Default: ~/.corvanta ].");
  entry("-b <build number>", "Build version of the firmware to transfer.");
  more("[Default: latest version available].");
  entry("-d <device>", "Device serial number of the device to access.");
  entry("-t <transport type>", "communications method [USB,TCP,RECOVER].");
  entry("-f <bird file>", "Firmware file to be transferred to device.");
  entry("-r <router serial>", "indirect connection through router device");
  entry("-s <serial port>", "name of serial port to use for recovery");
  entry("-o <baud rate>", "baud rate for serial port (2400, 4800, 9600,");
  more("19200, 38400, 57600, 115200, 230400)");
  heading("Commands:");
  entry("-B", "list the Builds available for given device.");
  blank();
  entry("-L", "list the local Builds available for given device.");
  blank();
  entry("-D", "Discover devices that are currently connected.");
  blank();
  entry("-G", "Get build file from the Corvanta server and");
  more("store on local machine for download to device.");
  more("Must specify a specific device [\"-d\" option].");
  more("Default is to obtain the latest build for the");
  more("given device, override with \"-b\" option.");
  blank();
  entry("-U", "Update the firmware on device specified.");
  more("Must specify a specific device [\"-d\" option].");
  more("Default is to download the latest build for the");
  more("given device, override with \"-b\" option or");
  more("specify specific BIRD file using \"-f\" option.");
  entry("-J", "Get a JWT containing the devices software features");
  entry("-H or -h", "Display extended usage information.");
  blank();
  fprintf(stderr, "     %-25s- Use HTTP for the update server (%s).\n", "--http", kDefaultHttpUrl);
  fprintf(stderr, "     %-25s- Use HTTPS for the update server (%s).\n", "--https", kDefaultHttpsUrl);
  more("Recommended; HTTPS will be the default in the next major version.");
  blank();
}

struct PackageLine {
  const char* name;
  uint32_t bit;
  bool blankAfter;
};

// "DEBUG_Network" names two bits.
constexpr PackageLine kPackages[] = {
    {"DEBUG_Updater", DEBUG_Updater, false},
    {"DEBUG_History", DEBUG_History, false},
    {"DEBUG_Attributes", DEBUG_Attributes, false},
    {"DEBUG_BirdFile", DEBUG_BirdFile, false},
    {"DEBUG_Network", DEBUG_Network_Legacy, false},
    {"DEBUG_ServerComm", DEBUG_ServerComm, true},
    {"DEBUG_Network", DEBUG_Network, false},
    {"DEBUG_Network_SR", DEBUG_Network_SR, false},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM, true},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial, false},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E, false},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR, true},
    {"DEBUG_APP", DEBUG_APP, true},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial, true},
};

void extended_block() {
  heading("Extended Parameters:");
  entry("-e", "echoing of bytes enabled during recovery.");
  blank();
  entry("-m", "Attemps to use UEIBytes for faster loading");
  entry("-l 'log message'", "message to place in device history log");
  entry("-k <filename>", "log messages written into given filename");
  more("Default:[APP.log]");
  entry("-u <host:port>", "The hostname and port of the update server");
  fprintf(stderr, "%32sDefault: %s:port\n", "", kDefaultServerHost);
  heading("Extended Commands:");
  entry("-I", "View stored device information.");
  more("Must either use DISCOVER command [\"-D\"] or");
  more("specify a specific device [\"-d\" option].");
  blank();
  entry("-OVERRIDE", "Override the model checks for BIRD firmware files.");
  more("This option should only be used when authorized by");
  more("Corvanta development engineers.");
  blank();
  entry("-N", "Get fingerprint from a device, requires -s");
  blank();
  entry("-X <BIT_MASK>", "Bitmask for Logging");
  for (const PackageLine& package : kPackages) {
    fprintf(stderr, "%32s%-20s0x%08X\n", "", package.name, package.bit);
    if (package.blankAfter) blank();
  }
  entry("-C", "Check the given BIRDFILE");
  blank();
  blank();
}

void samples_block() {
  sample(" Sample usage:", nullptr);
  blank();
  sample("-D", "Discover all devices connected by either USB or TCPIP.");
  sample_more("Records the device information into the settings for that device.");
  blank();
  sample("-D -t USB", "Discover all the devices connected by USB. Records the");
  sample_more("device information into the settings for that device.");
  blank();
  sample("-D -t USB -d 0F5849A", "Discover settings of the specific device (serial number 0x40F5849A)");
  blank();
  sample("-G -d 40F5849A", "Get the latest firmware for the given device.");
  sample_more("Downloads the firmware file into the updater specific device directory.");
  blank();
  sample("-U -d 40F5849A", "Update the firmware on the specific device.");
  sample_more("Without other options, this command will try to locate");
  sample_more("the latest firmware version to be used for updating the device.");
  blank();
  sample("-G -d 40F5849A -b 99528558", "Get the specified build's firmware for the given device.");
  sample_more("Downloads the firmware file into the updater's specific");
  sample_more("device directory with the build number as the filename.");
  blank();
  sample("-G -U -d 40F5849A", "Get the latest firmware for the given device.");
  sample_more("Downloads the firmware file into the updater specific");
  sample_more("device directory. After download, update the firmware");
  sample_more("using the latest release.");
  blank();
  sample("-U -t RECOVER -s /dev/serial", "Update the firmware as described above, but uses the serial interface");
  sample_more("in communicating with the device to install the latest firmware.");
  blank();
  sample(" Sample usage for network discovery and updates:", nullptr);
  blank();
  sample("-D -r D272031D", "Discover all devices connected to the I2C Tessaline network");
  sample_more("of the given routing device D272031D.");
  blank();
  sample("-G -U -d 2181F0EE -r D272031D", nullptr);
  sample_more("Get and Update to the latest firmware for device 2181F0EE");
  sample_more("indirectly through routing device D272031D.");
  blank();
  blank();
}

}  // namespace

void _display_usage(bool extended, bool full) {
  brief_block();
  if (!full) return;
  parameters_block();
  if (extended) extended_block();
  samples_block();
}

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::INFO, "%s (%s)", kAppName, kAppVersionText);
}

void _display_copyright(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::INFO, "%s", kAppCopyright);
}
