// The process-wide table of platform actions that tests must be able to
// observe or prevent (Win32-only): debugger output, and later restarting the
// machine, modal message boxes and the CPU vendor. Production uses the real
// functions; a test swaps an entry and restores it with ScopedSeam.
#pragma once

#include "support/win32.h"

struct PlatformSeams {
  void(WINAPI* outputDebugString)(LPCWSTR text);
  void(WINAPI* outputDebugStringA)(LPCSTR text);
  // Restarts or shuts down the machine (RebootSystem); under Wine the real
  // call would end the whole prefix.
  BOOL(WINAPI* exitWindowsEx)(UINT flags, DWORD reason);
  // Modal message boxes of the firmware item model; a test must not block on one.
  int(WINAPI* messageBoxA)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
  // CPUID (leaf in, EAX EBX ECX EDX out): the processor vendor decides which
  // firmware items the power-saving commands use; tests choose it.
  void (*cpuid)(int registers[4], int leaf);
};

PlatformSeams& Seams();

// Replaces one entry for the lifetime of the object.
template <class Fn>
class ScopedSeam {
 public:
  ScopedSeam(Fn PlatformSeams::*entry, Fn replacement) : m_entry(entry), m_saved(Seams().*entry) {
    Seams().*m_entry = replacement;
  }
  ~ScopedSeam() { Seams().*m_entry = m_saved; }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;

 private:
  Fn PlatformSeams::*m_entry;
  Fn m_saved;
};
