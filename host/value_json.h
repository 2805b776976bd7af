// Conversions between the value tree and JSON (portable).
//
// Plain form, for reading: Bool -> true/false, the integer kinds and Double
// -> numbers (a Double that is not finite -> null), String -> its text up to
// the first NUL, Binary -> an array of byte values, Child -> an object.
//
// Typed form, lossless: every key carries its kind after a colon
// ("uint:UInt": 7, "Request:Child": {...}); Binary is a string of hex digit
// pairs; a String holds all its code units (a counted terminator shows as a
// trailing \u0000; a text that is not well-formed UTF-16 becomes an array of
// code units); a Double that is not finite is "NaN", "Infinity" or
// "-Infinity".
//
// Reading JSON into a tree (requests, machine profiles) accepts both forms,
// also mixed: a key with a kind suffix is converted to that kind (numbers may
// also be given as text, e.g. "0x10"); a key without one takes the kind its
// JSON value suggests: string -> String, boolean -> Bool, integer -> Int when
// it fits 32 bits, else Int64 (UInt64 above the Int64 range), other number ->
// Double, object -> Child, array of byte values -> Binary.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "pelorus/value_set.h"

namespace orbhost {

using Json = nlohmann::ordered_json;

enum class JsonForm { kPlain, kTyped };

Json TreeToJson(const QuonValueSet& set, JsonForm form);

// Fills set (cleared first) from a JSON object. False, with the path of the
// offending key in error, when a value cannot be converted.
bool JsonToTree(const Json& object, QuonValueSet& set, std::string* error);

// Lower-case hex digit pairs, the form Binary values take in typed JSON.
std::string HexBytes(const uint8_t* bytes, size_t size);

// The tree's own text dump, in UTF-8.
std::string DumpText(const QuonValueSet& set);

}  // namespace orbhost
