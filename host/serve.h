// Win32-only: `orbhost serve`. One plug-in thread creates the plug-in object,
// initialises it, samples the back ends every interval (the CPU-Z dump, the
// system identity and the cooling state every slow interval) and runs the
// queued commands in between; each round publishes an immutable snapshot that
// the HTTP threads read. Stops on Ctrl-C, console close or --stop-after, then
// Uninitialize and Release.
#pragma once

#include <string>

#include "command_line.h"
#include "host_callbacks.h"
#include "serve_readings.h"

namespace orbhost {

class MessageRouter;
class PluginLibrary;

// The token of acting commands: read from path, or made (32 random bytes as
// hex) into a new file that only the current user may read. False, with a
// message, when neither works.
bool LoadOrCreateToken(const std::wstring& path, std::string* token, std::string* error);

// Returns the process exit code.
int RunServe(const Options& options, const PluginLibrary& library, HostServices* services,
             MessageRouter& router, const HardwareUnits& units, const std::wstring& logPath);

// %LOCALAPPDATA%\Pelorus\<name>, its folder created; empty when there is no such folder.
std::wstring PelorusDataFile(const wchar_t* name);

}  // namespace orbhost
