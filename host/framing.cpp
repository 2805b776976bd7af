// The host side of the message framing (portable).
#include "framing.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orbhost {

OrbMessageHeader MakeHeader(uint8_t type, uint8_t source, uint8_t destination, const GUID& target) {
  OrbMessageHeader header{};
  header.type = type;
  header.source = source;
  header.destination = destination;
  header.target = target;
  return header;
}

std::vector<uint8_t> BuildMessage(const OrbMessageHeader& header, const QuonValueSet& body) {
  uint64_t size = body.GetSerializedSize();
  std::vector<uint8_t> message(kOrbHeaderSize + size);
  std::memcpy(message.data(), &header, kOrbHeaderSize);
  if (size > 0 && !body.Serialize(message.data() + kOrbHeaderSize, &size))
    message.resize(kOrbHeaderSize);
  return message;
}

bool ReadHeader(const uint8_t* message, uint64_t length, OrbMessageHeader* header) {
  if (!message || length < kOrbHeaderSize) return false;
  std::memcpy(header, message, kOrbHeaderSize);
  return true;
}

bool ParseBody(const uint8_t* message, uint64_t length, QuonValueSet& body) {
  body.Clear();
  if (!message || length < kOrbHeaderSize) return false;
  uint64_t bodyLength = length - kOrbHeaderSize;
  return body.Deserialize(message + kOrbHeaderSize, &bodyLength);
}

bool SerializeToMalloc(const QuonValueSet& tree, uint8_t** buffer, uint64_t* length) {
  *buffer = nullptr;
  *length = 0;
  uint64_t size = tree.GetSerializedSize();
  if (size == 0) return true;
  auto* bytes = static_cast<uint8_t*>(std::malloc(size));
  if (!bytes) return false;
  if (!tree.Serialize(bytes, &size)) {
    std::free(bytes);
    return false;
  }
  *buffer = bytes;
  *length = size;
  return true;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseGuid(std::string_view text, GUID* guid) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    return false;
  auto hex = [&](size_t pos, size_t count, uint64_t* out) {
    const char* first = text.data() + pos;
    auto [end, ec] = std::from_chars(first, first + count, *out, 16);
    return ec == std::errc() && end == first + count;
  };
  uint64_t d1, d2, d3, b;
  if (!hex(0, 8, &d1) || !hex(9, 4, &d2) || !hex(14, 4, &d3)) return false;
  GUID g{};
  g.Data1 = static_cast<uint32_t>(d1);
  g.Data2 = static_cast<uint16_t>(d2);
  g.Data3 = static_cast<uint16_t>(d3);
  const size_t bytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!hex(bytePos[i], 2, &b)) return false;
    g.Data4[i] = static_cast<uint8_t>(b);
  }
  *guid = g;
  return true;
}

bool SameGuid(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string StatusText(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace orbhost
