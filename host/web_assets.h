// The dashboard's files, compiled into orbhost so that `orbhost serve` needs
// nothing beside the executable (portable): the page, its script and
// stylesheet, the vendored plot library and the icon. The byte arrays are
// generated at build time from host/web/ and third_party/uplot/
// (cmake/EmbedFiles.cmake).
#pragma once

#include <cstddef>
#include <string_view>

namespace orbhost {

struct WebAsset {
  std::string_view contentType;  // a full Content-Type value
  std::string_view body;
};

// The asset served at `path`: the request target's path, without its query;
// nullptr when there is none. Paths match exactly ("/" is the page).
const WebAsset* FindWebAsset(std::string_view path);

// The generated table behind FindWebAsset.
struct WebAssetEntry {
  std::string_view path;
  WebAsset asset;
};
extern const WebAssetEntry kWebAssetEntries[];
extern const std::size_t kWebAssetEntryCount;

}  // namespace orbhost
