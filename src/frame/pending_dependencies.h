// TEMPORARY: what the status commands and start-up checks use from the
// system-information bridge and the resume watcher, until those land.
#pragma once
#include <atomic>
#include "support/win32.h"
DWORD WINAPI ThreadFunction(LPVOID);
std::atomic<bool>& ResumeFlag();
