// Bridge to the hardware-monitor library hmcore_x64.dll and the HMSP service
// "hbComSvc" (Win32-only).
//
// Process-wide state without locks: call from one thread at a time. The
// library is loaded from %ProgramFiles%\QUON\CORVANE KIOSK Lite
// Service\Pelorus on first use and stays loaded until the process ends. The
// exports below are also offered, undecorated, to other modules of the
// product (src/exports/pelorus.def).
#pragma once

#include <cstdint>

#include "pelorus/orb_plugin.h"
#include "support/win32.h"

class PinnedFile;
class QuonValueSet;

// The library, once loaded (it then stays loaded), or null.
HMODULE HmspLoadedLibrary();
// The checked file the library must be when it is loaded while `pin` is set
// (null: loaded unchecked, as for other modules' calls). A load whose image
// is another file is undone and fails.
void SetHmspLibraryPin(const PinnedFile* pin);

extern "C" {

// Reads one sensor category into a child of `node`: 0 all five, 1 frequency
// ("Frequency"), 2 voltage ("Voltage"), 3 temperature ("Temperatue"), 4 fan
// ("Fan"), 5 water flow ("WaterFlow"); other values read nothing. COM is
// initialised (multithreaded) around the call. Never throws.
void GetHardwareInfo(uint32_t category, QuonValueSet* node);

// True when the named service runs (then both service flags are set). When it
// does not and the name is "hbComSvc", issues "sc start hbComSvc" if the
// service program is signed by the maker and is the program the service is
// configured to run, without waiting for the service (the program stays
// pinned until "sc" has returned). Never throws.
bool checkIfHmspRun(const wchar_t* serviceName);
bool HasBeenCheckHmspService();
bool IsHmspServiceRun();

// Where the bridge's log lines go: callback(context, owner, level, ...).
void initialLogParamForHmsp(OrbLogCallback callback, void* context, void* owner);

}  // extern "C"
