// Win32-only: the "event" mode: delivers one event of the plug-in's event
// interfaces (or a notification message) named on the command line.
#pragma once

#include "command_line.h"
#include "output.h"
#include "plugin_loader.h"

namespace orbhost {

// Returns the process exit code: 0 delivered, 1 the plug-in lacks the
// interface, 2 unknown event or bad arguments.
int RunEvent(const Options& options, PluginSession& session, LineWriter& out);

}  // namespace orbhost
