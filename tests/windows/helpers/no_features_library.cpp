// A library without the "GetFeatures" export, for the start-up check tests:
// placed as SysInfoProbe.dll, signed by the maker (it loads, but gives no
// feature word) or unsigned (it is refused before it is loaded).
#include <windows.h>

extern "C" __declspec(dllexport) void GetProductLine(char* buffer) {
  lstrcpyA(buffer, "Desktop");
}
