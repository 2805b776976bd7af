// Routes the framed requests that the plug-in sends through the send
// callback, by the target identifier in the header: the plug-in's own
// identifier back into its OnMessage, registered identifiers to their
// stand-ins, anything else ORB_E_NOT_AVAILABLE. Replies are the bare wire
// form in a malloc buffer (the plug-in frees it). Registration happens before
// the plug-in is given the callbacks; routing is then thread-safe.
#pragma once

#include <utility>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"

namespace orbhost {

class StandIn;

class MessageRouter {
 public:
  void SetPlugin(IOrbPlugin* plugin, const GUID& id) {
    plugin_ = plugin;
    pluginId_ = id;
  }
  void Register(const GUID& target, StandIn* standIn) { standIns_.emplace_back(target, standIn); }

  HRESULT Route(const uint8_t* message, uint64_t length, uint8_t** reply, uint64_t* replyLength);

  // Frames body with header, routes it, and parses a reply into reply.
  HRESULT Deliver(const OrbMessageHeader& header, const QuonValueSet& body, QuonValueSet& reply);

 private:
  IOrbPlugin* plugin_ = nullptr;
  GUID pluginId_{};
  std::vector<std::pair<GUID, StandIn*>> standIns_;
};

}  // namespace orbhost
