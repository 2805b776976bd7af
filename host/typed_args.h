// Typed request arguments of the command line: "key=value" (a String) or
// "key:Kind=value", with dotted keys for children ("Type40.Info=features").
// Kinds: Bool, Int, Int64, UInt, UInt64, Double, String, Binary (hex digits).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pelorus/value_set.h"

namespace orbhost {

// The kind's name as orbhost writes it ("UInt64"), or nullptr for an invalid code.
const char* KindName(uint8_t kind);

// Parses a kind name, ignoring letter case. Only kinds that carry a value
// (not None) are accepted.
std::optional<OrbValueKind> ParseKindName(std::string_view name);

// Splits "name:Kind" into its key and kind. A suffix after the last colon made
// only of letters and digits must name a kind; any other text (such as
// "Disc (C:)") is all key. Returns false (and sets error) for an unknown kind.
bool SplitTypedKey(std::string_view text, std::string* key, std::optional<OrbValueKind>* kind,
                   std::string* error);

// Stores the value that text spells for kind under key. Integers take decimal
// or 0x-prefixed hexadecimal; Bool takes true/false/1/0; Binary takes pairs
// of hex digits; String takes UTF-8. False (and error) when text does not fit.
bool SetValueFromText(QuonValueSet& set, std::string_view key, OrbValueKind kind,
                      std::string_view text, std::string* error);

// Adds one "key[:Kind]=value" argument to the request tree, creating (or
// reusing) the children that a dotted key names.
bool AddTypedArgument(QuonValueSet& request, std::string_view argument, std::string* error);

}  // namespace orbhost
