// TEMPORARY stand-ins, removed when the real pieces are merged.
#include "frame/pending_dependencies.h"
DWORD WINAPI ThreadFunction(LPVOID) {
  return 0;
}
std::atomic<bool>& ResumeFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}
