// Which program file a command line names, read the way CreateProcess reads a
// command line that has no separate application name.
//
// Portable: no OS calls. The caller (LaunchProgram) decides which candidate
// exists on disk; the rules that produce the candidates are tested natively.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The files the command line may name, in the order CreateProcess tries them.
// Leading spaces and tabs are skipped.
//  - A quoted start ("C:\a b\p.exe" -run) names the text between the quotes,
//    the only candidate.
//  - Otherwise every prefix that ends before a space or tab, and finally the
//    whole text, is a candidate; so the unquoted "C:\Program Files
//    (x86)\Q\Server.exe -run" yields "C:\Program.exe", "C:\Program
//    Files.exe", ..., "C:\Program Files (x86)\Q\Server.exe", then the whole
//    line with ".exe" appended.
// A candidate whose last path component has no "." gets ".exe" appended, as
// CreateProcess does. An empty or blank command line yields no candidate.
std::vector<std::u16string> ProgramPathCandidates(std::u16string_view commandLine);
