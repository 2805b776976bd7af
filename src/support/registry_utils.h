// Reading and deleting registry keys under HKEY_LOCAL_MACHINE (Win32-only).
#pragma once

#include <cstddef>
#include <string>

// Characters of the path buffer RegDeleteTreeRecursive works in, terminator
// included.
inline constexpr size_t kRegDeletePathChars = 520;

// The REG_SZ value `valueName` of HKLM\`subKey` (default registry view), at
// most 1023 characters; empty on any failure (absent key or value, another
// type, a longer value).
std::wstring RegGetStringValue(const std::wstring& subKey, const std::wstring& valueName);

// Deletes HKLM\`path` with all its subkeys, in the 32-bit registry view.
// `path` is a writable buffer of at least kRegDeletePathChars characters: the
// subkey names are written after it while the tree is walked, and the
// original text is back in place (without a trailing backslash) on return.
// True when the key is gone afterwards, also when it did not exist.
bool RegDeleteTreeRecursive(wchar_t* path);
