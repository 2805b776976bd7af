// The registry text form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case hexadecimal digits, Data4 byte by byte.
//
// Portable: no OS calls.
#pragma once

#include <string>

#include "pelorus/com_compat.h"

std::u16string GuidText(const GUID& id);
