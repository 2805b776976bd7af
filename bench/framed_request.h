// A request framed as a host frames it for the clients' endpoint: the header
// (type, source, the rest zero) followed by the serialised tree. Shared by the
// native and the Windows OnMessage benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"

inline std::vector<uint8_t> Framed(const QuonValueSet& body) {
  uint64_t size = body.GetSerializedSize();
  std::vector<uint8_t> message(kOrbHeaderSize + size, 0);
  message[0] = kOrbMessageRequest;
  message[1] = kOrbEndpointClients;
  body.Serialize(message.data() + kOrbHeaderSize, &size);
  return message;
}
