// The host side of the message framing: a 32-byte header before a value
// tree's wire form; replies are the bare wire form, allocated with malloc.
// Also the text forms of GUIDs and status codes that orbhost prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"

namespace orbhost {

OrbMessageHeader MakeHeader(uint8_t type, uint8_t source, uint8_t destination, const GUID& target);

// Header followed by the body's wire form.
std::vector<uint8_t> BuildMessage(const OrbMessageHeader& header, const QuonValueSet& body);

// False when the message is shorter than a header.
bool ReadHeader(const uint8_t* message, uint64_t length, OrbMessageHeader* header);

// Parses the body after the header; a missing or malformed body leaves body
// empty and returns false.
bool ParseBody(const uint8_t* message, uint64_t length, QuonValueSet& body);

// The tree's wire form in a buffer from malloc (the receiver frees it), or
// null with length 0 for an empty tree. False when allocation or
// serialisation fails.
bool SerializeToMalloc(const QuonValueSet& tree, uint8_t** buffer, uint64_t* length);

// "{7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F01}" (upper case, braces).
std::string GuidText(const GUID& guid);
// Accepts the form above with or without braces, in either letter case.
bool ParseGuid(std::string_view text, GUID* guid);
bool SameGuid(const GUID& a, const GUID& b);

// "0xA0800010".
std::string StatusText(HRESULT status);

}  // namespace orbhost
