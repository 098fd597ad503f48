// usb_list: lists the modules on USB as the updater's discovery finds them,
// one line each: serial number, model code and model name. With --link it
// also opens a link to each module (alignment included) and reports it.
// Exit status 0 when at least one module was found, 1 otherwise.
#include <stdio.h>
#include <string.h>

#include <vector>

#include "common/aDefs.h"
#include "common/aLink.h"
#include "common/discover.h"

namespace {

bool sCollect(const linkSpec* spec, bool* pbCounted, void* ref) {
  static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
  *pbCounted = true;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool link = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--link") == 0) {
      link = true;
    } else {
      fprintf(stderr, "usage: usb_list [--link]\n");
      return 2;
    }
  }
  std::vector<linkSpec> found;
  aDiscovery_EnumerateModules(USB, sCollect, &found, 0);
  for (const linkSpec& spec : found) {
    printf("USB module %08X  model 0x%02X  %s\n", spec.serial_num, spec.model,
           aDefs_GetModelName(spec.model));
    if (link) {
      int32_t id = aLink_CreateUSB(spec.serial_num);
      if (id)
        printf("  link %d: running and aligned\n", id);
      else
        printf("  no link: the module did not answer on USB\n");
      if (id) aLink_Destroy(&id);
    }
  }
  if (found.empty()) printf("no USB modules found\n");
  return found.empty() ? 1 : 0;
}
