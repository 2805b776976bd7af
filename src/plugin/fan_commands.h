// The fan commands' shared query (Win32-only); the command handlers are
// members of Pelorus (plugin/pelorus.h).
#pragma once

#include <cstdint>

// The feature word of the board: read from the mainboard-information block
// through the ACPI bridge when the system-information library reports the
// product line "Motherboard"; 0 otherwise or when the bridge call fails. The
// caller has initialised COM.
uint32_t GetFanPilotVersion();
