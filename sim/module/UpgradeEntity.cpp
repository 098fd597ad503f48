// The module side of the firmware-upgrade exchange (cmdUPGRADE) and the dump
// of what the module flashed.
//
// Running firmware, or any mode after an init: each prepare opens a loader
// block, data packets fill it, checksums cover the data since the previous
// checksum; the load request restarts into the loader (a module left in its
// loader by a failed update takes a new loader the same way).
// In the loader: each prepare opens a firmware block (a prepare for the same
// address again replaces it), data is staged, a checksum covers the staged
// data, a write commits it; the reboot request makes the committed blocks the
// firmware and restarts into it.
#include <cstdio>
#include <fstream>

#include "sim/module/ModuleImpl.h"

namespace sim {

namespace {

enum : uint8_t {
  kInit = 0,
  kData = 1,
  kLoad = 2,
  kPrepare = 3,
  kSum = 4,
  kWrite = 5,
  kReboot = 6,
  kStatus = 7,
};

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = "cannot create " + temp;
      return false;
    }
    out.write(content.data(), std::streamsize(content.size()));
    out.flush();
    if (!out) {
      *error = "cannot write " + temp;
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temp + " to " + path;
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool DumpImage(const std::string& dir, const std::string& stem,
               const std::vector<FlashBlock>& blocks, std::string* error) {
  std::string bin;
  std::string map;
  for (const FlashBlock& b : blocks) {
    bin.append(reinterpret_cast<const char*>(b.data.data()), b.data.size());
    char line[64];
    std::snprintf(line, sizeof line, "%02X %08X %08zX\n", b.flags, b.address, b.data.size());
    map += line;
  }
  return WriteFileAtomically(dir + "/" + stem + ".bin", bin, error) &&
         WriteFileAtomically(dir + "/" + stem + ".map", map, error);
}

}  // namespace

void VirtualModule::Impl::StageData(const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) sum += data[i];
  if (mode == ModuleMode::Loader && !receivingLoader) {
    staged.insert(staged.end(), data, data + n);
    return;
  }
  if (currentBlock < 0) {  // data without a prepare: a block at address 0
    loader.push_back(FlashBlock{});
    currentBlock = int(loader.size()) - 1;
  }
  auto& block = loader[size_t(currentBlock)].data;
  block.insert(block.end(), data, data + n);
}

void VirtualModule::Impl::UpgradeDataUei(const std::vector<uint8_t>& data) {
  StageData(data.data(), data.size());
}

void VirtualModule::Impl::HandleUpgrade(const uint8_t* p, size_t n) {
  if (n < 2) return;
  switch (p[1]) {
    case kInit: {
      receivingLoader = true;
      loader.clear();
      currentBlock = -1;
      sum = 0;
      const uint32_t base = cfg.loadBase;
      Reply({kCmdUpgrade, kInit, uint8_t(base >> 24), uint8_t(base >> 16), uint8_t(base >> 8),
             uint8_t(base)});
      return;
    }
    case kPrepare: {
      if (n < 7) return Reply({kCmdUpgrade, kStatus, kErrSize, 0, 0});
      if (refusePrepares > 0) {
        --refusePrepares;
        return Reply({kCmdUpgrade, kStatus, kErrBusy, 0, 0});
      }
      FlashBlock block;
      block.flags = p[2];
      block.address = uint32_t(p[3]) << 24 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 8 | p[6];
      sum = 0;
      if (mode == ModuleMode::Loader && !receivingLoader) {
        staged.clear();
        for (auto it = pendingFirmware.begin(); it != pendingFirmware.end();) {
          it = it->address == block.address ? pendingFirmware.erase(it) : it + 1;
        }
        pendingFirmware.push_back(block);
        currentBlock = int(pendingFirmware.size()) - 1;
      } else {
        loader.push_back(block);
        currentBlock = int(loader.size()) - 1;
      }
      return Reply({kCmdUpgrade, kStatus, kErrNone, uint8_t(cfg.blockSize >> 8),
                    uint8_t(cfg.blockSize)});
    }
    case kData: {
      if (n < 3) return Reply({kCmdUpgrade, kData, 0});
      const size_t k = n - 2;
      if (shortAcks > 0) {
        // The packet counts as lost: nothing of it is kept, so the host's
        // repetition of the whole packet leaves the data consistent.
        --shortAcks;
        return Reply({kCmdUpgrade, kData, uint8_t(k - 1)});
      }
      StageData(p + 2, k);
      return Reply({kCmdUpgrade, kData, uint8_t(k)});
    }
    case kSum: {
      uint32_t s = sum;
      sum = 0;
      if (wrongSums > 0) {
        --wrongSums;
        s += 1;
      }
      return Reply({kCmdUpgrade, kStatus, kErrNone, uint8_t(s >> 24), uint8_t(s >> 16),
                    uint8_t(s >> 8), uint8_t(s)});
    }
    case kWrite: {
      if (n < 4) return Reply({kCmdUpgrade, kStatus, kErrSize});
      if (mode != ModuleMode::Loader || receivingLoader) {
        return Reply({kCmdUpgrade, kStatus, kErrMode});
      }
      const size_t count = size_t(p[2]) << 8 | p[3];
      if (count > staged.size()) return Reply({kCmdUpgrade, kStatus, kErrSize});
      if (currentBlock < 0) {
        pendingFirmware.push_back(FlashBlock{});
        currentBlock = int(pendingFirmware.size()) - 1;
      }
      auto& block = pendingFirmware[size_t(currentBlock)].data;
      block.insert(block.end(), staged.begin(), staged.begin() + long(count));
      staged.clear();
      return Reply({kCmdUpgrade, kStatus, kErrNone});
    }
    case kLoad:
      if (cfg.answerLoad) Reply({kCmdUpgrade, kLoad});
      pendingFirmware.clear();
      staged.clear();
      currentBlock = -1;
      receivingLoader = false;
      BeginRestart(ModuleMode::Loader, false);
      return;
    case kReboot:
      receivingLoader = false;
      if (mode == ModuleMode::Loader && !pendingFirmware.empty()) {
        firmware = pendingFirmware;
        pendingFirmware.clear();
        BeginRestart(ModuleMode::Firmware, true);
      } else {
        BeginRestart(ModuleMode::Firmware, false);
      }
      currentBlock = -1;
      staged.clear();
      return;
    default:
      return;
  }
}

std::vector<FlashBlock> VirtualModule::LoaderImage() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->loader;
}

std::vector<FlashBlock> VirtualModule::FirmwareImage() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->firmware;
}

bool VirtualModule::DumpFlash(const std::string& dir, std::string* error) const {
  std::string ignored;
  if (!error) error = &ignored;
  std::vector<FlashBlock> loader = LoaderImage();
  std::vector<FlashBlock> firmware = FirmwareImage();
  return DumpImage(dir, "loader", loader, error) && DumpImage(dir, "firmware", firmware, error);
}

}  // namespace sim
