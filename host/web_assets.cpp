#include "web_assets.h"

namespace orbhost {

const WebAsset* FindWebAsset(std::string_view path) {
  for (std::size_t i = 0; i < kWebAssetEntryCount; ++i) {
    if (kWebAssetEntries[i].path == path) return &kWebAssetEntries[i].asset;
  }
  return nullptr;
}

}  // namespace orbhost
