// Production defaults of the platform seams (Win32-only).
#include "support/platform_seams.h"

#include <intrin.h>

namespace {

void Cpuid(int registers[4], int leaf) {
  __cpuid(registers, leaf);
}

}  // namespace

PlatformSeams& Seams() {
  static PlatformSeams seams{&OutputDebugStringW, &OutputDebugStringA, &ExitWindowsEx, &MessageBoxA,
                             &Cpuid};
  return seams;
}
