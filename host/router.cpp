// Routing of the plug-in's requests (portable).
#include "router.h"

#include <cstdlib>
#include <limits>

#include "framing.h"
#include "stand_ins.h"

namespace orbhost {

HRESULT MessageRouter::Route(const uint8_t* message, uint64_t length, uint8_t** reply,
                             uint64_t* replyLength) {
  if (!reply || !replyLength) return E_POINTER;
  *reply = nullptr;
  *replyLength = 0;
  OrbMessageHeader header;
  if (!ReadHeader(message, length, &header)) return E_INVALIDARG;

  if (plugin_ && SameGuid(header.target, pluginId_)) {
    if (length > std::numeric_limits<uint32_t>::max()) return E_INVALIDARG;
    // The sender is the plug-in itself; its reply buffer comes from the same
    // C runtime heap and is handed on as it is.
    return plugin_->OnMessage(plugin_, message, static_cast<uint32_t>(length), reply, replyLength);
  }
  for (const auto& [id, standIn] : standIns_) {
    if (!SameGuid(header.target, id)) continue;
    QuonValueSet request;
    ParseBody(message, length, request);  // a malformed body is an empty request
    QuonValueSet answer;
    const HRESULT status = standIn->Handle(header, request, answer);
    if (!SerializeToMalloc(answer, reply, replyLength)) return E_OUTOFMEMORY;
    return status;
  }
  return ORB_E_NOT_AVAILABLE;
}

HRESULT MessageRouter::Deliver(const OrbMessageHeader& header, const QuonValueSet& body,
                               QuonValueSet& reply) {
  const std::vector<uint8_t> message = BuildMessage(header, body);
  uint8_t* bytes = nullptr;
  uint64_t size = 0;
  const HRESULT status = Route(message.data(), message.size(), &bytes, &size);
  if (size > 0) reply.Deserialize(bytes, &size);
  std::free(bytes);
  return status;
}

}  // namespace orbhost
