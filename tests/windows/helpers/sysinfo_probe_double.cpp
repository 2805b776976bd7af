// A system-information library for the start-up check tests, loaded by the
// plug-in from a test's own plug-in folder as SysInfoProbe.dll. Its answers
// come from the test process's environment:
//   PELORUS_TEST_FEATURES      the feature word (decimal; 0 when unset)
//   PELORUS_TEST_PRODUCT_LINE  the product line (empty when unset)
// Built with PROBE_NO_GET_FEATURES it lacks the "GetFeatures" export.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

#ifndef PROBE_NO_GET_FEATURES
__declspec(dllexport) uint32_t GetFeatures() {
  char text[32] = {};
  if (GetEnvironmentVariableA("PELORUS_TEST_FEATURES", text, sizeof text) == 0) return 0;
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}
#endif

// Writes at most 99 bytes and a NUL into the caller's 100-byte buffer.
__declspec(dllexport) void GetProductLine(char* buffer) {
  const DWORD chars = GetEnvironmentVariableA("PELORUS_TEST_PRODUCT_LINE", buffer, 100);
  if (chars == 0 || chars >= 100) buffer[0] = '\0';
}

}  // extern "C"
