// The option table and the command-line parser that fills Parameters.
#pragma once

#include <stdint.h>

#include "app/Parameters.h"

class UpdaterDisplayInterface;

// What an option table entry stands for.
enum OptionId : int32_t {
  OPTION_END = -1,  // ends the table
  OPTION_HELP = 0,
  OPTION_COMMAND = 1,
  OPTION_PARAMETER = 2,
  OPTION_HTTPS = 3,
  OPTION_HTTP = 4,
};

enum OptionArgument : int32_t {
  ARGUMENT_NONE = 0,
  ARGUMENT_REQUIRED = 1,  // the next word, or the text after "="
};

struct OptionEntry {
  int32_t id;
  const char* text;
  OptionArgument argument;
};

// The options the application knows, ended by an entry with id OPTION_END.
extern const OptionEntry g_rgOptions[];

// Looks up an option word (the part before any "="). An exact match wins;
// otherwise the word must be a proper prefix of exactly one entry with the
// same number of leading hyphens. Returns null for no match or an ambiguous
// one.
const OptionEntry* _match_option(const char* word);

// Fills params from the command line. Errors go to display at error level;
// parsing goes on after an error so that every error is reported. Returns
// 0 when params can be used, 1 when an error was reported. A help option
// ends parsing at once with 0.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);

// When end is not null and text is all hexadecimal (respectively decimal)
// digits and its value fits 32 bits, returns the value and points *end at
// the end of text. Otherwise returns 0 and leaves *end alone. The empty
// text yields 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
