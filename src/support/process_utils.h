// Starting companion programs after their signature has been checked, and
// finding running processes by executable name (Win32-only).
#pragma once

#include <string>

#include "support/win32.h"

// Checks `path` with the embedded-signer check, starts it through the shell
// (hidden) with `parameters` (may be null) and waits for it without a time
// limit. True, with `*exitCode` set, when the program was started and has
// ended; false, with `*exitCode` untouched, when the check or the start
// failed. Both failures go to the diagnostic log.
bool RunSignedAndWait(const wchar_t* path, const wchar_t* parameters, DWORD* exitCode);

// Starts `commandLine` (CreateProcessW, hidden, no console window) without
// waiting, after checking the signature of the program file it names. That
// file is found the way CreateProcessW finds it (ProgramPathCandidates): the
// first candidate that exists as a file, so an unquoted path with spaces
// followed by "-run" is checked as the path alone. When no candidate exists
// the first one is checked, and fails. A refused signature prints
// "[PELORUS][LaunchProgram] <command line> is Signature Error" to standard
// output. The checked file, by its full path, is the program started (the
// child still sees `commandLine`), so no other file of that name can run in
// its place. True when the process was created.
bool LaunchProgram(wchar_t* commandLine);

// The id of the first process (in snapshot order) whose executable file name
// is exactly `name`, case included; 0 when there is none or the snapshot
// fails.
DWORD FindProcessIdByName(const std::wstring& name);
