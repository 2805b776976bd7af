// CPU-Z SDK sensor dump (Win32-only): lists every device and sensor that
// cpuidsdk64.dll reports into a value tree.
//
// Process-wide state without locks: call from one thread at a time. The SDK
// is loaded on first use under the machine-wide mutex "Global\cpuzlock",
// stays loaded after a completed dump and is unloaded after a failed one.
// Each candidate copy of the SDK is loaded only after its own file passed
// the signer check (CPUID's names), so a copy planted in a relative
// candidate folder is never loaded.
#pragma once

#include <string>

#include "pelorus/orb_plugin.h"

class QuonValueSet;

// Dumps the devices of class `dataType` ("All" every class; empty: nothing)
// and, under each, the sensors of class `dataParam` (empty or "All": every
// class) into `node`. Never throws.
void loadCPUzInfo(const std::string& dataType, const std::string& dataParam, QuonValueSet* node);

// Where the dump's log lines go: callback(context, owner, level, ...).
void SetCpuzLogSink(OrbLogCallback callback, void* context, void* owner);
