// Making sure the maker's background services are installed and running
// (Win32-only).
#pragma once

// Runs the service setup program "SetupQuonServices.exe" from the plug-in's
// installation folder (%ProgramFiles%\QUON\CORVANE KIOSK Lite Service\Pelorus,
// read at call time) after checking its embedded signer, waits for it, and
// then starts "QuonFanControlService" with "sc start" unless a process of
// that executable (other than this one) runs. Returns at once when the setup
// program is absent; stops at a failed check or start of it. Reports only
// to the diagnostic log. Blocks until the setup program and "sc" have ended.
void CheckServices();
