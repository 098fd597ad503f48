// Usage text, version line and copyright line.
#pragma once

class UpdaterDisplayInterface;

// Writes the usage text straight to standard error: always the brief block;
// with full also the parameters-and-commands block and the samples; with
// full and extended the extended block in between.
void _display_usage(bool extended, bool full);

// Prints "Updater (Version: ...)" at information level.
void _display_app_version(UpdaterDisplayInterface& display);

// Prints the copyright line at information level.
void _display_copyright(UpdaterDisplayInterface& display);
