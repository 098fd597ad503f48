#include "common/aDefs.h"

namespace {

struct Model {
  uint32_t code;
  const char* name;
};

// Display names of the module models. These are also the texts in the model
// field of the BIRD files built for each model, so they must not change.
const Model kModels[] = {
    {4, "TessHub4"},        {5, "TessHub8"},       {13, "TessSwitch2"},
    {14, "TessSwitch4"},    {15, "TessDAQ8"},      {16, "TessDAQ16"},
    {17, "TessRelay4"},     {18, "TessRelay8"},    {19, "TessLoad1"},
    {20, "TessLoad2"},      {21, "TessRouter"},    {22, "TessSerial2"},
    {23, "TessPower"},      {24, "TessHubPro"},    {25, "TessAnalog4"},
    {26, "TessDigital32"},  {27, "TessBridge"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const Model& m : kModels)
    if (m.code == model) return m.name;
  return "Unknown";
}
