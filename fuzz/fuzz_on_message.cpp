// Fuzzes the plug-in's message entry point with arbitrary bytes: framing,
// parsing, dispatch, the services that call back into the host (whose reply
// is taken from the input too), and the serialised reply, which must always
// parse again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/common/minimal_plugin.h"

namespace {

class FuzzPlugin : public MinimalPlugin {
 public:
  FuzzPlugin() {
    RegisterCommand(u"Echo", &FuzzPlugin::DoEcho);
    RegisterCommand(u"Forward", &FuzzPlugin::DoForward);
  }

  HRESULT OnNotify(uint8_t, QuonValueSet* message) override {
    QuonValueSet notify;
    notify.SetStringValue("Notify", message->ToString(0));
    return Broadcast(1, &notify);
  }

  HRESULT DoEcho(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    response->CopyFrom(*request);
    return 0;
  }
  // Sends the request on (wrapped or not, by "Destination") and queries the
  // framework; the host's replies come from the fuzz input.
  HRESULT DoForward(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    uint8_t destination = static_cast<uint8_t>(request->GetUIntValue("Destination"));
    HRESULT status = SendRequest(GUID_OrbTestPeer, request, response, destination);
    QuonValueSet queried;
    Query(request->GetStringValue("Name").c_str(), request, &queried);
    response->CreateChild("Queried")->CopyFrom(queried);
    return status;
  }
};

struct HostReply {
  const uint8_t* data;
  size_t size;
};

HRESULT STDMETHODCALLTYPE Send(void* ctx, IOrbPlugin*, const GUID*, const uint8_t*, uint64_t length,
                               uint8_t** reply, uint64_t* replyLength) {
  if (length < kOrbHeaderSize) std::abort();  // the plug-in always frames its requests
  auto* r = static_cast<HostReply*>(ctx);
  if (r->size != 0) {
    *reply = static_cast<uint8_t*>(std::malloc(r->size));
    std::memcpy(*reply, r->data, r->size);
    *replyLength = r->size;
  }
  return 0;
}

HRESULT STDMETHODCALLTYPE Broadcast(void*, IOrbPlugin*, const uint8_t*, uint64_t length) {
  if (length < kOrbHeaderSize) std::abort();
  return 0;
}

void STDMETHODCALLTYPE Log(void*, IOrbPlugin*, uint32_t, const OrbWChar*, ...) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first two bytes choose how much of the tail is the host's reply to sends.
  size_t replySize = 0;
  if (size >= 2) {
    replySize = (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % (size - 1);
    data += 2;
    size -= 2;
  }
  if (replySize > size) replySize = size;
  HostReply hostReply{data + (size - replySize), replySize};
  size_t messageSize = size - replySize;

  FuzzPlugin* plugin = new FuzzPlugin;
  plugin->SetSendCallback(&Send, &hostReply);
  plugin->SetBroadcastCallback(&Broadcast, nullptr);
  plugin->SetLogCallback(&Log, nullptr);

  uint8_t* reply = nullptr;
  uint64_t replyLength = 0;
  plugin->OnMessage(nullptr, messageSize != 0 ? data : nullptr, static_cast<uint32_t>(messageSize),
                    &reply, &replyLength);
  if (replyLength != 0) {
    QuonValueSet parsed;
    uint64_t length = replyLength;
    if (!parsed.Deserialize(reply, &length)) std::abort();  // replies always parse
  }
  std::free(reply);
  plugin->Release();
  return 0;
}
