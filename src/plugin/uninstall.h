// The installer's clean-up export (Win32-only). It needs no plug-in object.
#pragma once

#include "pelorus/orb_plugin.h"

// Removes the update-client registration; when the older utility suite is not
// installed but the fan-control service is, runs the service's own executable
// with "/UnregServer" and waits for it. Every step is reported through
// `progress` (may be null) and the diagnostic log. 1 on success, 0 when the
// service could not be unregistered.
extern "C" int32_t STDAPICALLTYPE OnUninstall(OrbUninstallProgress progress);
