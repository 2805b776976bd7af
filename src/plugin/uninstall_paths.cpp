// Paths of the uninstall clean-up (portable).
#include "plugin/uninstall_paths.h"

#include "support/guid_text.h"

std::u16string UpdateClientKeyPath() {
  std::u16string path = kUpdateClientsKey + GuidText(kUpdateClientId);
  if (path.size() >= kUpdateClientKeyChars) path.resize(kUpdateClientKeyChars - 1);
  return path;
}

std::u16string FanServiceExecutablePath(std::u16string_view folder) {
  std::u16string path(folder);
  path += kFanServiceExeName;
  if (path.size() >= kFanServiceExeChars) path.resize(kFanServiceExeChars - 1);
  return path;
}
