// Reading the text answers of the update server.
//
// An answer body is text split into lines at line feeds, runs of line feeds
// counting as one (so empty lines are skipped). It is accepted when its first
// line begins with "ok"; the parse functions read the lines after that one
// and assume the answer was accepted. Reading stops at a zero byte.
#pragma once

#include <map>
#include <string>

namespace UpdateServerAnswer {

// True when the body's first line begins with "ok".
bool Accepted(const char* body);

// Line 2 -> build (up to the line feed), line 3 -> version (up to a carriage
// return or line feed). Each output is left unchanged when its line is missing.
void ParseQueryBuild(const char* body, std::string& build, std::string& version);

// Empties text, then sets it to line 2 (up to the line feed; a carriage return
// stays part of the text) when there is one.
void ParseGetBuild(const char* body, std::string& text);

// Adds every further line "build;version" to builds; lines shorter than 3
// characters are skipped and the first entry for a build wins.
void ParseBuildList(const char* body, std::map<std::string, std::string>& builds);

// Line 2 -> serial (hexadecimal), line 3 -> build (decimal, "0x" hex, leading
// "0" octal). Each output is left unchanged when its line is missing.
void ParseRecoveryInfo(const char* body, unsigned int* serial, unsigned int* build);

// Line 2 must be a token header.payload.signature with each part at least two
// characters long; then token is set to it and the result is true. Otherwise
// token is unchanged and the result is false.
bool ParseDeviceJWT(const char* body, std::string& token);

}  // namespace UpdateServerAnswer
