// The plug-in's diagnostic log (Win32-only): one process-wide object, SLog,
// configured while the plug-in module loads and written from any thread.
//
// Destinations by mode (m_nMode): 0 nothing, 1 debugger output only, 2 the
// log file only, 3 both; other values write nothing. In modes 2 and 3 a
// writer does nothing at all while no log file is open, and the file part
// is written only while the registry switch m_EnableLog is non-zero.
//
// Files (folder = <all-users profile>\QUON\CORVANE KIOSK Diagnosis\Pelorus):
//   <folder>\<name>_<slot>_<YYYYMMDDhhmmss>.log   one file per start, 7 slots
//   <folder>\<name>.idx                           the slot the last start used
//   <folder>\<name>.log                           when the index is unwritable
//   <folder>\quon.txt                             "debug", "file", "all", "no"
//   <Windows directory>\<exe name>.log            when there is no folder
// where <name> is the executable's base name followed by the text given
// after "-logAnthorFile" on the command line.
//
// The writers take no lock: each line is formatted in the caller's own
// buffers and reaches the file in one WriteFile followed by a flush, so
// lines of different threads never mix, and each line is on disk when its
// writer returns. Formats are narrow printf formats (system ANSI code page);
// wide text arguments are written "%ls".
#pragma once

#include <atomic>
#include <cstdint>

#include "support/win32.h"
#include "support/win32_handles.h"

#if defined(__GNUC__)
#define PELORUS_PRINTF_LIKE(format_index, first_argument) \
  __attribute__((format(gnu_printf, format_index, first_argument)))
#else
#define PELORUS_PRINTF_LIKE(format_index, first_argument)
#endif

struct DiagLog {
  // Null while absent. Every member is constant-initialised, so SLog is
  // ready before any constructor of the module runs, whatever the order in
  // which the start-up and this object are initialised.
  unique_handle hFile;          // the current log file, opened once at start-up
  unique_handle hFallbackFile;  // the Windows-directory file, opened on first use
  int32_t m_nMaxFiles = 7;      // rotation slots
  // The mode and the switch may change (connection-change event) while other
  // threads write; a writer reads them as it goes.
  std::atomic<int32_t> m_nMode{0};
  std::atomic<uint32_t> m_EnableLog{0};
};

// The process's log. Silent (mode 0) until the start-up has run.
extern DiagLog SLog;

// The normal log call: "YYYY-MM-DD hh:mm:ss  message" (one space on the
// debugger output). Messages of 2047 or more formatted bytes are refused.
void dump_output_time(DiagLog* log, const char* format, ...) PELORUS_PRINTF_LIKE(2, 3);
// The message alone.
void dump_output(DiagLog* log, const char* format, ...) PELORUS_PRINTF_LIKE(2, 3);
// For a failed system call: the message followed by
// " [SYSTEM_ERROR:<code>,<system text>]" for the calling thread's last error.
void dump_errorcode(DiagLog* log, const char* format, ...) PELORUS_PRINTF_LIKE(2, 3);
// A line to the fallback file in the Windows directory (start-up only, when
// the log folder cannot be determined); no mode or switch applies.
void dump_output_windir(DiagLog* log, const char* format, ...) PELORUS_PRINTF_LIKE(2, 3);

// Reads the "EnableLog" switch under HKLM "SOFTWARE\QUON\CORVANE KIOSK
// Diagnosis": 0xFFFFFFFF when the key is absent, the value when it can be
// read, 0 otherwise. Writes what it found to SLog.
uint32_t readEnableLog();

// Applies a new value of the switch: stores it in SLog.m_EnableLog, logs
// "m_EnableLog = %d ", and sets SLog.m_nMode to 2 when it is non-zero, else
// to 0 (overriding the control file). Never opens a file.
void SetLogSwitch(uint32_t enableLog);

// Configures SLog: mode, switch, log name, folder, rotation, control file,
// log file, exit handler. Runs once, from the module's static initialisation
// (diag_log_startup.cpp). Never throws, starts or waits for no thread.
void StartDiagLog() noexcept;
