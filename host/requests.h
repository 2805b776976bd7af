// Win32-only: the "call" and "shell" modes: build request trees from the
// command line or JSON, deliver them, and print the answers.
#pragma once

#include <string>

#include "command_line.h"
#include "output.h"
#include "plugin_loader.h"

namespace orbhost {

// The answer line: {"status": "0x...", "response": {...}}, or with "dump"
// (the text dump) instead of "response" for OutputForm::kDump.
Json AnswerJson(const CallResult& result, OutputForm form);

// Builds the request of "call" from --json, the command name and key=value
// arguments. False, with a message, on a malformed argument.
bool BuildCallRequest(const Options& options, QuonValueSet& request, std::string* error);

// Return the process exit code.
int RunCall(const Options& options, PluginSession& session, LineWriter& out);
int RunShell(const Options& options, PluginSession& session, LineWriter& out);

}  // namespace orbhost
