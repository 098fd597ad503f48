// -C -f FILE: checks a BIRD file without touching any module. Prints the
// build's identification, whether it is a generic image and its blocks, then
// "valid", or the reason the file cannot be used.
#include <stdexcept>
#include <string>

#include "app/CLI_Display.h"
#include "app/CommandStatus.h"
#include "app/Commands.h"
#include "app/Parameters.h"
#include "common/aFile.h"
#include "updater/BirdFile.h"

namespace {

bool _has_identification(const BirdFile& bird) {
  for (const BirdBlock& b : bird.blocks) {
    if (b.type == BirdFile::BLOCK_INFO) return b.length >= BirdFile::INFO_RECORD_SIZE;
  }
  return false;
}

void _show_identification(BirdFile& bird, CLI_Display& display) {
  if (!_has_identification(bird)) {
    display.message(UpdaterDisplayInterface::INFO, "  Identification: none");
    return;
  }
  display.message(UpdaterDisplayInterface::INFO, "  Build:         %u", bird.GetBuild());
  display.message(UpdaterDisplayInterface::INFO, "  Version:       %s", bird.GetVersion().c_str());
  display.message(UpdaterDisplayInterface::INFO, "  Serial number: %08X", bird.GetSerialNumber());
  display.message(UpdaterDisplayInterface::INFO, "  Model:         %s", bird.GetModel().c_str());
}

void _show_generic(BirdFile& bird, CLI_Display& display) {
  if (!bird.hasSerialBlock) {
    display.message(UpdaterDisplayInterface::INFO, "  Generic image: no");
    return;
  }
  display.message(UpdaterDisplayInterface::INFO,
                  "  Generic image: yes (serial number at 0x%08X, descriptor at 0x%08X)",
                  bird.serialNumberOffset, bird.descriptorOffset);
  // A scratch load of the same file shows whether the serial number would
  // land anywhere; the object checked here stays unchanged.
  BirdFile scratch;
  scratch.path = bird.path;
  if (scratch.Load() && !scratch.ReplaceSerialNumber(0)) {
    display.message(UpdaterDisplayInterface::INFO,
                    "  Warning: the serial-number offsets lie in no firmware image; "
                    "an update with this file would fail");
  }
}

void _show_blocks(const BirdFile& bird, CLI_Display& display) {
  display.message(UpdaterDisplayInterface::INFO, "  Blocks:        %u", bird.blockCount);
  for (const BirdBlock& b : bird.blocks) {
    const std::string name = BirdFile::BlockTypeName(b.type);
    if (b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE) {
      display.message(UpdaterDisplayInterface::INFO, "    %-20s flags %u  length %-10u address 0x%08X", name.c_str(),
                      b.flags, b.length, b.address);
    } else {
      display.message(UpdaterDisplayInterface::INFO, "    %-20s flags %u  length %u", name.c_str(), b.flags,
                      b.length);
    }
  }
  if (!bird.ScanMatched()) {
    display.message(UpdaterDisplayInterface::INFO,
                    "  Warning: the blocks do not match the declared block count or data size "
                    "(run with -X 8 for details)");
  }
}

}  // namespace

int Command_Check(Parameters& params, CLI_Display& display) {
  if (params.birdFile.empty()) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Check needs a BIRD file: name it with -f <bird file>.");
    return COMMAND_FAILED;
  }
  const char* path = params.birdFile.c_str();
  if (!aFile_Exists(path)) {
    display.message(UpdaterDisplayInterface::ERROR, "Cannot check %s: no such file.", path);
    return COMMAND_FAILED;
  }
  if (!BirdFile::VerifyFile(path)) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "%s is not a BIRD file: its signature or format version is wrong.", path);
    return COMMAND_FAILED;
  }
  BirdFile bird;
  try {
    bird = BirdFile(path);
  } catch (const std::runtime_error&) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "%s cannot be used: its firmware data cannot be decompressed "
                    "(the file is truncated or damaged; fetch it again).",
                    path);
    return COMMAND_FAILED;
  }

  display.message(UpdaterDisplayInterface::INFO, "BIRD file %s", path);
  _show_identification(bird, display);
  _show_generic(bird, display);
  _show_blocks(bird, display);

  if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "%s cannot be used: it holds no firmware blocks.", path);
    return COMMAND_FAILED;
  }
  display.message(UpdaterDisplayInterface::INFO, "valid");
  return COMMAND_OK;
}
