// A plug-in DLL with nothing but the portable base (tests/common/minimal_plugin.h):
// the floor on_message_bench compares Pelorus.dll with.
#include "../../tests/common/minimal_plugin.h"

extern "C" __declspec(dllexport) IOrbPlugin* STDAPICALLTYPE QueryLibrary(uint32_t inUserSession) {
  return new MinimalPlugin(inUserSession);
}
