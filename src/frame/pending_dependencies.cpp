// TEMPORARY stand-ins, removed when the real pieces are merged.
#include "frame/pending_dependencies.h"
void GetProductLine(char* buffer) {
  buffer[0] = 0;
}
DWORD WINAPI ThreadFunction(LPVOID) {
  return 0;
}
std::atomic<bool>& ResumeFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}
