// What the start-up checks of Initialize leave behind (Win32-only). The
// checks themselves are members of Pelorus (startup_checks.cpp): the
// user-session check (mainboard test, then the service setup program) and
// the feature step (the feature word, the resume watcher).
#pragma once

#include <atomic>
#include <cstdint>

// The machine's feature word as the system-information library last reported
// it ("GetFeatures"); 0 until a feature step has read one. Bit 0 starts the
// resume watcher. Kept for the life of the process.
extern std::atomic<uint32_t> FeatureBits;
