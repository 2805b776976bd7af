// Making sure the maker's background services are installed and running
// (Win32-only).
#pragma once

#include <string>

#include "support/win32.h"

// Runs the service setup program "SetupQuonServices.exe" from the plug-in's
// installation folder (%ProgramFiles%\QUON\CORVANE KIOSK Lite Service\Pelorus,
// read at call time) after checking its embedded signer, waits for it, and
// then starts "QuonFanControlService" with "sc start" unless a process of
// that executable (other than this one) runs. Returns at once when the setup
// program is absent; stops at a failed check or start of it. Reports only
// to the diagnostic log. Blocks until the setup program and "sc" have ended.
void CheckServices();

// True when the service's configured program (its ImagePath: quotes removed,
// anything after a quoted path ignored, environment strings expanded, taken
// as a full path) is `program`, compared as full paths without regard to case.
bool ServiceProgramIs(SC_HANDLE service, const std::wstring& program);
