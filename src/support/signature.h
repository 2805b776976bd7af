// Authenticode signature checks of companion files (Win32-only).
//
// Two checks: the trust check asks Windows to verify the file's signature and
// chain (WinVerifyTrust) and then reads the signer out of the embedded PKCS #7
// signature; the embedded-signer check only reads the signer certificate's
// subject and compares it with the maker's name, without verifying anything.
// Every function returns false on any failure and never throws.
//
// Both checks first open the file for reading with read-only sharing (a
// PinnedFile) and refuse a file that cannot be opened so. While the pin is
// held nobody can write, rename or delete the file, so a caller that keeps it
// until the module is loaded, the process created or the service started
// uses exactly the bytes that were checked.
//
// The trust check keeps its verdict (trust result, signer, serial number,
// time stamp) per full path together with the SHA-256 of the whole file, for
// at most 10 minutes from the check; a later check of the same bytes reuses
// it, any other bytes are checked afresh. The cache has its own lock: any
// thread may call. The embedded-signer check is never cached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/win32.h"
#include "support/win32_handles.h"

class BaseOrbPlugin;

// Size, in wide characters, of each out buffer of GetSignatureInfo.
inline constexpr std::size_t kSignatureTextChars = 260;

// Which file an open handle or a loaded image is: the volume serial number
// and the file index.
struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A file held open for reading, sharing read access only, from its check to
// its use.
class PinnedFile {
 public:
  PinnedFile() = default;

  // Opens `path` (released first if one is held); false, holding nothing,
  // when it cannot be opened with read-only sharing or identified.
  bool Open(const wchar_t* path);
  bool Held() const { return static_cast<bool>(m_file); }
  HANDLE Handle() const { return m_file.get(); }
  const std::wstring& Path() const { return m_path; }
  const FileIdentity& Identity() const { return m_identity; }

  // True when `module`'s image is the pinned file. The trust verdict of the
  // file then notes that this module maps it, so that a check passing the
  // module (IsQuonSignature's `loaded`) can skip the hash.
  bool ConfirmImage(HMODULE module) const;
  // True when the executable of `process` is the pinned file.
  bool ConfirmProgram(HANDLE process) const;
  void Release() { m_file.reset(); }

 private:
  unique_hfile m_file;
  std::wstring m_path;
  FileIdentity m_identity;
};

// The file a loaded module was mapped from; false when it cannot be told.
bool ModuleFileIdentity(HMODULE module, FileIdentity* identity);
// The identity of the file at `path` (opened without any access to its data).
bool PathFileIdentity(const wchar_t* path, FileIdentity* identity);

// The CPU-Z SDK's signer rule: exactly "CPUID S.A.R.L.U." or "CPUID".
bool IsCpuidSigner(const wchar_t* signer);

// Drops every kept trust verdict (benchmarks time a first check with it).
void ForgetTrustVerdicts();

// True when `path` exists, passes the trust check and its signer's subject is
// one of the maker's names (case ignored). A leading "\??\" is skipped.
// `plugin` is not used.
bool IsQuonSignature(BaseOrbPlugin* plugin, const wchar_t* path);
// The same, leaving the file pinned in `pin` when it passed. `loaded`, when
// not null, is the module already loaded from this path and kept loaded: while
// its image is the pinned file, a kept verdict is reused without hashing the
// file again (a mapped image cannot be written).
bool IsQuonSignature(BaseOrbPlugin* plugin, const wchar_t* path, PinnedFile* pin,
                     HMODULE loaded = nullptr);

// On a trusted file: true, with `signer`, `serial` (upper-case hex, no
// separators) and `timestamp` ("YYYY/MM/DD hh:mm:ss", local time) filled, each a
// buffer of kSignatureTextChars; a field the signature lacks becomes "". On
// failure: false, and the buffers are left untouched. `plugin` is not used.
bool GetSignatureInfo(BaseOrbPlugin* plugin, const wchar_t* path, wchar_t* signer, wchar_t* serial,
                      wchar_t* timestamp);
// The same, leaving the file pinned in `pin` when it passed.
bool GetSignatureInfo(BaseOrbPlugin* plugin, const wchar_t* path, wchar_t* signer, wchar_t* serial,
                      wchar_t* timestamp, PinnedFile* pin);

// True when the embedded signer certificate's subject is the maker's name
// (case ignored). Does not verify the signature or the file content. Prints
// diagnostics to standard output.
bool CheckEmbeddedSigner(const wchar_t* path);
// The same, leaving the file pinned in `pin` when it passed.
bool CheckEmbeddedSigner(const wchar_t* path, PinnedFile* pin);

// WinVerifyTrust on the file (generic Authenticode policy, no UI, revocation
// data from the cache only), closed again before returning; its status.
// `file`, when given, is an open handle on it through which it is read.
LONG VerifyTrust(const std::wstring& path, HANDLE file = nullptr);

// CheckEmbeddedSigner on `name`, taken as a full path when `fullPath` is set,
// otherwise as a file in the plug-in's installation folder under
// %ProgramFiles% (read at call time).
bool CheckEmbeddedSignerInInstallDir(const wchar_t* name, bool fullPath);
// The same, leaving the file pinned in `pin` when it passed.
bool CheckEmbeddedSignerInInstallDir(const wchar_t* name, bool fullPath, PinnedFile* pin);
