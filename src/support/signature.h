// Authenticode signature checks of companion files (Win32-only).
//
// Two checks: the trust check asks Windows to verify the file's signature and
// chain (WinVerifyTrust) and then reads the signer out of the embedded PKCS #7
// signature; the embedded-signer check only reads the signer certificate's
// subject and compares it with the maker's name, without verifying anything.
// Every function returns false on any failure and never throws. No shared
// state: any thread may call.
#pragma once

#include <cstddef>
#include <string>

#include "support/win32.h"

class BaseOrbPlugin;

// Size, in wide characters, of each out buffer of GetSignatureInfo.
inline constexpr std::size_t kSignatureTextChars = 260;

// True when `path` exists, passes the trust check and its signer's subject is
// one of the maker's names (case ignored). A leading "\??\" is skipped.
// `plugin` is not used.
bool IsQuonSignature(BaseOrbPlugin* plugin, const wchar_t* path);

// On a trusted file: true, with `signer`, `serial` (upper-case hex, no
// separators) and `timestamp` ("YYYY/MM/DD hh:mm:ss", local time) filled, each a
// buffer of kSignatureTextChars; a field the signature lacks becomes "". On
// failure: false, and the buffers are left untouched. `plugin` is not used.
bool GetSignatureInfo(BaseOrbPlugin* plugin, const wchar_t* path, wchar_t* signer, wchar_t* serial,
                      wchar_t* timestamp);

// True when the embedded signer certificate's subject is the maker's name
// (case ignored). Does not verify the signature or the file content. Prints
// diagnostics to standard output.
bool CheckEmbeddedSigner(const wchar_t* path);

// WinVerifyTrust on the file (generic Authenticode policy, no UI, revocation
// data from the cache only), closed again before returning; its status.
LONG VerifyTrust(const std::wstring& path);

// CheckEmbeddedSigner on `name`, taken as a full path when `fullPath` is set,
// otherwise as a file in the plug-in's installation folder under
// %ProgramFiles% (read at call time).
bool CheckEmbeddedSignerInInstallDir(const wchar_t* name, bool fullPath);
