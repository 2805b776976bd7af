// SmartCoolLib.dll stand-in: the smart-cooling library (Win32-only). See
// README.md for the exports, the item types and their values.
#include <cstdint>

namespace {

// The item types this library knows, each with its allowed values.
struct ItemRange {
  uint32_t maximum;
  uint32_t initial;
};
constexpr ItemRange kItems[] = {
    {1, 0},     // 0: smart cooling off (0) or on (1)
    {2, 1},     // 1: cooling profile: 0 quiet, 1 balanced, 2 performance
    {100, 50},  // 2: learning sensitivity in percent
};
constexpr uint32_t kItemCount = sizeof(kItems) / sizeof(kItems[0]);

// Kept while the library stays loaded; initialize does not reset it.
bool g_ready = false;
uint32_t g_values[kItemCount] = {kItems[0].initial, kItems[1].initial, kItems[2].initial};

}  // namespace

extern "C" {

bool initialize() {
  g_ready = true;
  return true;
}

bool isSupoortAIFunction(uint32_t type) {
  return g_ready && type < kItemCount;
}

bool getItem(uint32_t type, uint32_t* item) {
  if (!g_ready || type >= kItemCount || item == nullptr) return false;
  *item = g_values[type];
  return true;
}

bool setItem(uint32_t type, uint32_t* item) {
  if (!g_ready || type >= kItemCount || item == nullptr || *item > kItems[type].maximum) {
    return false;
  }
  g_values[type] = *item;
  return true;
}

bool unInitialize() {
  const bool wasReady = g_ready;
  g_ready = false;
  return wasReady;
}

}  // extern "C"
