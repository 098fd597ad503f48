#include "app/Options.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "app/AppInfo.h"
#include "app/Log.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aDirectory.h"

const OptionEntry g_rgOptions[] = {
    {OPTION_COMMAND, "-B", ARGUMENT_NONE},
    {OPTION_COMMAND, "-L", ARGUMENT_NONE},
    {OPTION_COMMAND, "-D", ARGUMENT_NONE},
    {OPTION_COMMAND, "-G", ARGUMENT_NONE},
    {OPTION_COMMAND, "-I", ARGUMENT_NONE},
    {OPTION_COMMAND, "-U", ARGUMENT_NONE},
    {OPTION_COMMAND, "-OVERRIDE", ARGUMENT_NONE},
    {OPTION_COMMAND, "-N", ARGUMENT_NONE},
    {OPTION_COMMAND, "-Y", ARGUMENT_NONE},
    {OPTION_COMMAND, "-C", ARGUMENT_NONE},
    {OPTION_COMMAND, "-J", ARGUMENT_NONE},
    {OPTION_HELP, "-h", ARGUMENT_NONE},
    {OPTION_HELP, "-H", ARGUMENT_NONE},
    {OPTION_PARAMETER, "-n", ARGUMENT_NONE},
    {OPTION_PARAMETER, "-X", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-Z", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-m", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-i", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-b", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-d", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-t", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-f", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-r", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-s", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-o", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-e", ARGUMENT_NONE},
    {OPTION_PARAMETER, "-l", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-k", ARGUMENT_REQUIRED},
    {OPTION_PARAMETER, "-u", ARGUMENT_REQUIRED},
    {OPTION_HELP, "--help", ARGUMENT_NONE},
    {OPTION_HTTP, "--http", ARGUMENT_NONE},
    {OPTION_HTTPS, "--https", ARGUMENT_NONE},
    {OPTION_END, nullptr, ARGUMENT_NONE},
};

namespace {

size_t leading_hyphens(const char* text) {
  size_t n = 0;
  while (text[n] == '-') ++n;
  return n;
}

// Reads text as a 32-bit unsigned number in the given base when every
// character is one of digits; see _get_hex_arg.
uint32_t digits_value(const char* text, char** end, const char* digits, int base) {
  if (end == nullptr || text == nullptr) return 0;
  size_t len = strlen(text);
  if (strspn(text, digits) != len) return 0;
  uint64_t value = 0;
  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    const unsigned digit = (c >= '0' && c <= '9')   ? static_cast<unsigned>(c - '0')
                           : (c >= 'a' && c <= 'f') ? static_cast<unsigned>(c - 'a' + 10)
                                                    : static_cast<unsigned>(c - 'A' + 10);
    value = value * static_cast<uint64_t>(base) + digit;
    // A number too long for 32 bits would otherwise wrap into another,
    // valid-looking serial or build number.
    if (value > UINT32_MAX) return 0;
  }
  *end = const_cast<char*>(text + len);
  return static_cast<uint32_t>(value);
}

bool starts_with(const std::string& text, const char* prefix) { return text.compare(0, strlen(prefix), prefix) == 0; }

// Removes a leading "0x" or "0X"; true when there was one.
bool strip_hex_prefix(std::string& text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.erase(0, 2);
    return true;
  }
  return false;
}

class ParamParser {
 public:
  ParamParser(UpdaterDisplayInterface& display, Parameters& params) : display_(display), params_(params) {}

  void command(const OptionEntry& entry) {
    switch (entry.text[1]) {
      case 'B': params_.commands.Set(CMD_BUILDS); break;
      case 'C': params_.commands.Set(CMD_CHECK); break;
      case 'D': params_.commands.Set(CMD_DISCOVER); break;
      case 'G': params_.commands.Set(CMD_GET); break;
      case 'I': params_.commands.Set(CMD_INFO); break;
      case 'J': params_.commands.Set(CMD_JWT); break;
      case 'L': params_.commands.Set(CMD_LOCAL); break;
      case 'N': params_.commands.Set(CMD_FINGERPRINT); break;
      case 'U': params_.commands.Set(CMD_UPDATE); break;
      case 'O': params_.overrideModelCheck = true; break;
      default: error().message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]", entry.text); break;
    }
  }

  void parameter(const OptionEntry& entry, const std::string& value) {
    switch (entry.text[1]) {
      case 'X': log_mask(entry, value); break;
      case 'Z': params_.commands.Set(CMD_Z); break;
      case 'm': params_.useUEIBytes = starts_with(value, "1") || starts_with(value, "true"); break;
      case 'i': params_.storageDirectory = value; break;
      case 'b': {
        char* end = nullptr;
        params_.buildNumber = std::to_string(_get_int_arg(value.c_str(), &end));
        break;
      }
      case 'd': params_.deviceSerial = serial(value, false); break;
      case 't': transport(value); break;
      case 'f': params_.birdFile = value; break;
      case 'r': params_.routerSerial = serial(value, true); break;
      case 's': params_.serialPort = value; break;
      case 'o': {
        char* end = nullptr;
        params_.baudRate = _get_int_arg(value.c_str(), &end);
        break;
      }
      case 'e': params_.echoRecovery = true; break;
      case 'l': params_.historyMessage = value; break;
      case 'k': params_.logFileName = value; break;
      case 'n': params_.nFlag = true; break;
      case 'u':
        params_.serverUrl = value;
        ++serverChoices_;
        break;
      default: break;
    }
  }

  void server(const char* url) {
    params_.serverUrl = url;
    ++serverChoices_;
  }

  int finish() {
    if (serverChoices_ > 1) {
      error().message(UpdaterDisplayInterface::ERROR,
                      "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
    }
    return errors_ > 0 ? 1 : 0;
  }

 private:
  // Error messages are printed where they arise; this counts them.
  UpdaterDisplayInterface& error() {
    ++errors_;
    return display_;
  }

  void log_mask(const OptionEntry& entry, const std::string& value) {
    params_.extendedUsage = true;
    const bool hex = starts_with(value, "0x") || starts_with(value, "0X");
    char* end = nullptr;
    params_.logMask = static_cast<uint32_t>(strtoul(value.c_str(), &end, hex ? 16 : 10));
    if (*end != '\0') {
      // Reported, but not a parse failure; the packages stay off.
      display_.message(UpdaterDisplayInterface::ERROR, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                       entry.text, end);
      return;
    }
    Log::ActivatePackage(params_.logMask);
  }

  // -d and -r: hexadecimal, with an optional "0x" prefix; 0 is not a serial.
  uint32_t serial(const std::string& value, bool router) {
    std::string digits = value;
    if (strip_hex_prefix(digits)) {
      Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                     : "Discarding '0x' serial number prefix\n");
    }
    char* end = nullptr;
    const uint32_t serial = _get_hex_arg(digits.c_str(), &end);
    if (serial == 0) {
      error().message(UpdaterDisplayInterface::ERROR,
                      router ? "Invalid router serial number obtained from argument [%s]"
                             : "Invalid serial number obtained from argument [%s]",
                      digits.c_str());
    }
    return serial;
  }

  void transport(const std::string& value) {
    params_.transportGiven = true;
    if (starts_with(value, "USB")) {
      params_.transport = TRANSPORT_USB;
    } else if (starts_with(value, "TCP")) {
      params_.transport = TRANSPORT_TCPIP;
    } else if (starts_with(value, "RECOVER")) {
      params_.transport = TRANSPORT_RECOVER;
    } else {
      error().message(UpdaterDisplayInterface::ERROR,
                      "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", value.c_str());
      params_.transport = TRANSPORT_INVALID;
    }
  }

  UpdaterDisplayInterface& display_;
  Parameters& params_;
  int errors_ = 0;
  int serverChoices_ = 0;
};

std::string application_name(const char* argv0) {
  if (argv0 == nullptr) return std::string();
  const char* name = argv0;
  for (const char* p = argv0; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
  return digits_value(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) { return digits_value(text, end, "0123456789", 10); }

const OptionEntry* _match_option(const char* word) {
  const size_t hyphens = leading_hyphens(word);
  const size_t length = strlen(word);
  const OptionEntry* found = nullptr;
  int candidates = 0;
  for (const OptionEntry* entry = g_rgOptions; entry->id != OPTION_END; ++entry) {
    if (strcmp(entry->text, word) == 0) return entry;
    if (leading_hyphens(entry->text) != hyphens) continue;
    if (strlen(entry->text) > length && strncmp(entry->text, word, length) == 0) {
      found = entry;
      ++candidates;
    }
  }
  return candidates == 1 ? found : nullptr;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
  *params = Parameters();
  params->serverUrl = kDefaultHttpUrl;
  params->appName = application_name(argc > 0 ? argv[0] : nullptr);

  char home[2048] = "";
  if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) params->homeDirectory = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", params->homeDirectory.c_str());

  ParamParser parser(display, *params);
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word == nullptr || word[0] != '-') continue;

    std::string name = word;
    std::string value;
    bool valueGiven = false;
    const char* equals = strchr(word, '=');
    if (equals != nullptr) {
      name.assign(word, static_cast<size_t>(equals - word));
      value = equals + 1;
      valueGiven = true;
    }

    const OptionEntry* entry = _match_option(name.c_str());
    if (entry == nullptr) continue;  // unknown or ambiguous: ignored
    if (entry->argument == ARGUMENT_NONE) {
      if (valueGiven) continue;
    } else if (!valueGiven) {
      // Without a usable next word the option is dropped and that word is
      // read as an option of its own.
      if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '-') continue;
      value = argv[++i];
    }

    switch (entry->id) {
      case OPTION_HELP:
        params->commands.Set(CMD_HELP);
        params->helpRequested = true;
        return 0;
      case OPTION_HTTPS: parser.server(kDefaultHttpsUrl); break;
      case OPTION_HTTP: parser.server(kDefaultHttpUrl); break;
      case OPTION_COMMAND: parser.command(*entry); break;
      case OPTION_PARAMETER: parser.parameter(*entry, value); break;
      default: break;
    }
  }

  const int result = parser.finish();
  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->appName.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
  return result;
}
