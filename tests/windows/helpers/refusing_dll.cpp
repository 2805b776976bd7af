// A library that refuses to load: its entry point fails the process attach,
// so LoadLibrary reports ERROR_DLL_INIT_FAILED. Signed by the maker, it stands
// for a companion library that passes its signature check but cannot be used.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
}
