// GUID text forms, upper-case hexadecimal digits, Data4 byte by byte:
//   GuidText       the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
//   GuidPlainText  the same 36 characters without braces, single-byte (the
//                  power-plan answers)
//
// Portable: no OS calls.
#pragma once

#include <string>

#include "pelorus/com_compat.h"

std::u16string GuidText(const GUID& id);
std::string GuidPlainText(const GUID& id);
