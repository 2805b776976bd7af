// Production defaults of the platform seams (Win32-only).
#include "support/platform_seams.h"

PlatformSeams& Seams() {
  static PlatformSeams seams{&OutputDebugStringW, &OutputDebugStringA, &ExitWindowsEx};
  return seams;
}
