// The stop signal of companions that run until told to end (Win32-only,
// header-only): the running instance waits on a named event, and the same
// program started with "-stop" sets it.
#pragma once

#include <windows.h>

#include <cstdio>

// Sets the event `name` of a running instance; 1 (and `who` names itself on
// stderr) when no instance runs.
inline int SignalStopEvent(const wchar_t* name, const wchar_t* who) {
  HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (stop == nullptr) {
    std::fwprintf(stderr, L"%ls: no instance runs\n", who);
    return 1;
  }
  SetEvent(stop);
  CloseHandle(stop);
  return 0;
}
