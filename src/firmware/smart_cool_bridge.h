// The smart-cooling bridge, AIControlHandler (Win32-only): calls into the
// product's smart-cooling library, SmartCoolLib.dll in the plug-in folder
// (%ProgramFiles%\QUON\CORVANE KIOSK Lite Service\Pelorus, read at call time).
//
// Every entry point runs initialize -> operation -> unInitialize against the
// library. Each export call loads the library, looks the export up by name,
// calls it and frees the library again, except "initialize", whose reference
// is kept: once an initialize has run the library stays loaded for the rest
// of the process (one more reference per call), so its state carries over
// from one operation to the next.
//
// The bridge does not check the library's signature: the caller verifies it
// (IsQuonSignature) before calling any entry point. A missing library, a
// missing export or a standard exception give the result false. Log lines go
// to the log sink set with SetLogSink (nothing is logged while it is empty):
// level 4 for results and failures, 5 around loading the library.
//
// No lock: like the other firmware back ends, requests that use the bridge
// are expected one at a time.
#pragma once

#include <cstdint>

#include "pelorus/orb_plugin.h"

class PinnedFile;

namespace AIControlHandler {

// The checked file every load of the library must be while `pin` is set
// (null: loads are not compared); a load of another file is undone and the
// call fails as for a missing library.
void SetVerifiedFile(const PinnedFile* pin);

// The host log callback, its context and the object it is called with as
// owner (the caller interface the fan command received); the fan commands
// store them before they call an entry point.
void SetLogSink(OrbLogCallback callback, void* context, void* owner);

// Whether the library supports the smart-cooling function of `type`.
bool checkIsSupportAIFunction(uint32_t type);
// Sets the item of `type` to *item. *item afterwards holds whatever the
// library left there (unchanged when it could not be called).
bool setItemSetting(uint32_t type, uint32_t* item);
// Reads the item of `type` into *item (unchanged when the library could not
// be called or failed without storing).
bool getItemSetting(uint32_t type, uint32_t* item);

}  // namespace AIControlHandler
