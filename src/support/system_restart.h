// Restarting the computer (Win32-only).
#pragma once

// Enables the shutdown privilege of this process and asks Windows for a
// forced restart (a planned operating-system upgrade). True when the restart
// was requested; false when the privilege is not granted or Windows refuses.
// The request goes through Seams().exitWindowsEx, so tests observe it
// instead of restarting.
bool RebootSystem();
