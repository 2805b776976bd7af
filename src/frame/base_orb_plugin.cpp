// Host-facing plug-in object: identity, callbacks, framing and dispatch.
#include "frame/base_orb_plugin.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace {

constexpr HRESULT kUnexpected = static_cast<HRESULT>(0x8000FFFFu);  // E_UNEXPECTED

size_t TextLength(const char16_t* s) {
  size_t n = 0;
  if (s != nullptr) {
    while (s[n] != 0) ++n;
  }
  return n;
}

OrbMessageHeader MakeRequestHeader(uint8_t source, uint8_t destination, const GUID& target) {
  OrbMessageHeader h;
  std::memset(&h, 0, sizeof(h));
  h.type = kOrbMessageRequest;
  h.source = source;
  h.destination = destination;
  h.marker = kOrbRequestMarker;
  h.target = target;
  return h;
}

}  // namespace

bool BuildOrbMessage(const OrbMessageHeader& header, const QuonValueSet& body,
                     std::vector<uint8_t>* message) {
  uint64_t bodySize = body.GetSerializedSize();
  message->assign(kOrbHeaderSize + bodySize, 0);
  std::memcpy(message->data(), &header, kOrbHeaderSize);
  uint64_t capacity = bodySize;
  if (bodySize != 0 && !body.Serialize(message->data() + kOrbHeaderSize, &capacity)) {
    message->clear();
    return false;
  }
  return true;
}

BaseOrbPlugin::BaseOrbPlugin(const char16_t* name, const GUID& id, const GUID& frameworkId,
                             const char16_t* displayName, const OrbVersion& version,
                             uint32_t inUserSession)
    : m_name(name),
      m_id(id),
      m_frameworkId(frameworkId),
      m_displayName(displayName),
      m_version(version),
      m_inUserSession(inUserSession) {}

BaseOrbPlugin::~BaseOrbPlugin() = default;

// --- IUnknown ---------------------------------------------------------------

HRESULT STDMETHODCALLTYPE BaseOrbPlugin::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IOrbLibrary) ||
      IsEqualGUID(riid, IID_IOrbPlugin)) {
    *ppv = static_cast<IOrbPlugin*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BaseOrbPlugin::AddRef() {
  return m_refCount.fetch_add(1) + 1;
}

ULONG STDMETHODCALLTYPE BaseOrbPlugin::Release() {
  ULONG count = m_refCount.fetch_sub(1) - 1;
  if (count == 0) {
    delete this;
  }
  return count;
}

// --- Identity ---------------------------------------------------------------

void STDMETHODCALLTYPE BaseOrbPlugin::GetId(GUID* id) {
  if (id != nullptr) *id = m_id;
}

void STDMETHODCALLTYPE BaseOrbPlugin::GetFrameworkId(GUID* id) {
  if (id != nullptr) *id = m_frameworkId;
}

HRESULT BaseOrbPlugin::CopyText(const char16_t* text, OrbWChar* buffer, uint32_t* count) const {
  if (count == nullptr) return E_INVALIDARG;
  size_t need = TextLength(text) + 1;
  if (*count < need) {
    *count = static_cast<uint32_t>(need);
    return ORB_E_BUFFER_TOO_SMALL;
  }
  if (buffer == nullptr) return E_INVALIDARG;
  if (need > 1) std::memcpy(buffer, text, (need - 1) * sizeof(char16_t));
  buffer[need - 1] = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE BaseOrbPlugin::GetName(OrbWChar* buffer, uint32_t* count) {
  return CopyText(m_name, buffer, count);
}

HRESULT STDMETHODCALLTYPE BaseOrbPlugin::GetDisplayName(OrbWChar* buffer, uint32_t* count) {
  return CopyText(m_displayName, buffer, count);
}

void STDMETHODCALLTYPE BaseOrbPlugin::GetVersion(OrbVersion* version) {
  if (version != nullptr) *version = m_version;
}

// --- Callbacks --------------------------------------------------------------

void STDMETHODCALLTYPE BaseOrbPlugin::SetLogCallback(OrbLogCallback fn, void* context) {
  m_logCallback = fn;
  m_logContext = context;
}

void STDMETHODCALLTYPE BaseOrbPlugin::SetSendCallback(OrbSendCallback fn, void* context) {
  m_sendCallback = fn;
  m_sendContext = context;
}

void STDMETHODCALLTYPE BaseOrbPlugin::SetBroadcastCallback(OrbBroadcastCallback fn, void* context) {
  m_broadcastCallback = fn;
  m_broadcastContext = context;
}

void STDMETHODCALLTYPE BaseOrbPlugin::SetGetDataCallback(OrbGetDataCallback fn, void* context) {
  m_getDataCallback = fn;
  m_getDataContext = context;
}

void STDMETHODCALLTYPE BaseOrbPlugin::SetSetDataCallback(OrbSetDataCallback fn, void* context) {
  m_setDataCallback = fn;
  m_setDataContext = context;
}

uint32_t STDMETHODCALLTYPE BaseOrbPlugin::ReservedQuery7() {
  return 0;
}
HRESULT STDMETHODCALLTYPE BaseOrbPlugin::ReservedCall1() {
  return ORB_E_NOT_IMPLEMENTED;
}
HRESULT STDMETHODCALLTYPE BaseOrbPlugin::ReservedCall2() {
  return ORB_E_NOT_IMPLEMENTED;
}

// --- Messages and dispatch --------------------------------------------------

HRESULT STDMETHODCALLTYPE BaseOrbPlugin::OnMessage(IOrbLibrary* caller, const uint8_t* message,
                                                   uint32_t length, uint8_t** reply,
                                                   uint64_t* replyLength) {
  // Nothing may throw back into the host: allocation failures and anything a
  // handler lets escape become a status here.
  try {
    // The two sets of one call start their arenas on this stack, so a small
    // request and its answer are handled without heap allocations.
    alignas(8) unsigned char requestStorage[1024];
    alignas(8) unsigned char responseStorage[1024];
    QuonValueSet request(requestStorage, sizeof requestStorage);
    QuonValueSet response(responseStorage, sizeof responseStorage);

    // Only the type and source bytes of a delivered header are read; a null
    // or truncated message reads as type 0 with an empty body.
    uint8_t type = (message != nullptr && length >= 1) ? message[0] : 0;
    uint8_t source = (message != nullptr && length >= 2) ? message[1] : 0;
    if (message != nullptr && length > kOrbHeaderSize) {
      uint64_t bodyLength = length - kOrbHeaderSize;
      // A malformed body leaves the request empty; processing goes on.
      request.Deserialize(message + kOrbHeaderSize, &bodyLength);
    }

    if (type == kOrbMessageRequest) {
      HRESULT status = ProcessRequest(caller, &request, &response);
      uint64_t size = response.GetSerializedSize();
      uint8_t* buffer = nullptr;
      if (size != 0) {
        buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
        if (buffer == nullptr) return E_OUTOFMEMORY;
        uint64_t capacity = size;
        if (!response.Serialize(buffer, &capacity)) {
          std::free(buffer);
          buffer = nullptr;
          size = 0;
        }
      }
      if (reply != nullptr && replyLength != nullptr) {
        *reply = buffer;
        *replyLength = size;
      } else {
        std::free(buffer);
      }
      return status;
    }
    if (type == kOrbMessageNotification) {
      OnNotify(source, &request);
      return S_OK;
    }
    return ORB_E_NOT_AVAILABLE;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return kUnexpected;
  }
}

HRESULT BaseOrbPlugin::ProcessRequest(IOrbLibrary* caller, QuonValueSet* request,
                                      QuonValueSet* response) {
  const QuonValueSet::OrbValue* value = request->GetValue("Cmd");
  const std::u16string_view cmd = value != nullptr ? value->TextView() : std::u16string_view();
  // The view ends at a NUL of the payload, so its data() is the C string the log needs.
  Log(kOrbLogTrace, u"ProcessRequest, Cmd:%s", cmd.empty() ? u"" : cmd.data());
  auto it = m_commands.find(cmd);
  if (it != m_commands.end()) {
    return it->second(caller, request, response);
  }
  response->SetStringValue("Error", u"Unknown Command");
  return ORB_E_UNKNOWN_COMMAND;
}

HRESULT BaseOrbPlugin::OnNotify(uint8_t, QuonValueSet*) {
  return S_OK;
}

// --- Services back to the host ------------------------------------------------

HRESULT BaseOrbPlugin::SendRequest(const GUID& target, QuonValueSet* request,
                                   QuonValueSet* response, uint8_t destination) {
  OrbSendCallback send = m_sendCallback;
  if (send == nullptr) return ORB_E_NOT_AVAILABLE;
  QuonValueSet emptyRequest;
  QuonValueSet discardedResponse;
  if (request == nullptr) request = &emptyRequest;
  if (response == nullptr) response = &discardedResponse;

  const uint8_t own = OwnEndpoint();
  std::vector<uint8_t> message;
  bool built;
  if (destination == own) {
    built = BuildOrbMessage(MakeRequestHeader(own, destination, target), *request, &message);
  } else {
    // Another endpoint: the framework routes a wrapped request to it.
    QuonValueSet wrapper;
    wrapper.SetStringValue("Cmd", u"SendRequest");
    QuonValueSet* outer = wrapper.CreateChild("Request");
    outer->SetBinary("PID", &target, sizeof(GUID));
    outer->SetUIntValue("Destination", destination);
    outer->CreateChild("Request")->CopyFrom(*request);
    built = BuildOrbMessage(MakeRequestHeader(own, destination, m_frameworkId), wrapper, &message);
  }
  if (!built) return E_INVALIDARG;

  const GUID* headerTarget = &reinterpret_cast<const OrbMessageHeader*>(message.data())->target;
  uint8_t* reply = nullptr;
  uint64_t replyLength = 0;
  HRESULT status =
      send(m_sendContext, this, headerTarget, message.data(), message.size(), &reply, &replyLength);
  if (replyLength != 0 && reply != nullptr) {
    uint64_t length = replyLength;
    response->Deserialize(reply, &length);
  }
  std::free(reply);
  return status;
}

HRESULT BaseOrbPlugin::Query(const char16_t* name, QuonValueSet* request, QuonValueSet* response) {
  if (name == nullptr) return ORB_E_NOT_AVAILABLE;
  QuonValueSet query;
  query.SetStringValue("Cmd", std::u16string(u"Query.") + name);
  QuonValueSet* child = query.CreateChild("Request");
  if (request != nullptr) child->CopyFrom(*request);
  return SendRequest(m_frameworkId, &query, response, OwnEndpoint());
}

HRESULT BaseOrbPlugin::Query(const char16_t* name, QuonValueSet* response) {
  QuonValueSet empty;
  return Query(name, &empty, response);
}

HRESULT BaseOrbPlugin::Toast(const char16_t* title, const char16_t* content, const char16_t* logo) {
  QuonValueSet toast;
  toast.SetStringValue("Cmd", std::u16string(u"Toast"));
  QuonValueSet* child = toast.CreateChild("Request");
  child->SetStringValue("ToastTitle", std::u16string(title != nullptr ? title : u""));
  child->SetStringValue("ToastContent", std::u16string(content != nullptr ? content : u""));
  child->SetStringValue("ToastLogo", std::u16string(logo != nullptr ? logo : u""));
  QuonValueSet discarded;
  return SendRequest(m_frameworkId, &toast, &discarded, OwnEndpoint());
}

HRESULT BaseOrbPlugin::Broadcast(uint8_t destination, const QuonValueSet* set) {
  OrbBroadcastCallback broadcast = m_broadcastCallback;
  if (broadcast == nullptr) return ORB_E_NOT_AVAILABLE;
  OrbMessageHeader header = MakeRequestHeader(OwnEndpoint(), destination, m_id);
  header.type = kOrbMessageNotification;
  std::vector<uint8_t> message;
  QuonValueSet empty;
  if (!BuildOrbMessage(header, set != nullptr ? *set : empty, &message)) return E_INVALIDARG;
  return broadcast(m_broadcastContext, this, message.data(), message.size());
}

HRESULT BaseOrbPlugin::GetSharedData(const char16_t* name, uint32_t* tag, uint8_t* buffer,
                                     uint64_t* length) {
  OrbGetDataCallback fn = m_getDataCallback;
  if (fn == nullptr) return ORB_E_NOT_AVAILABLE;
  return fn(m_getDataContext, this, AsOrbText(name), tag, buffer, length);
}

HRESULT BaseOrbPlugin::SetSharedData(const char16_t* name, uint32_t tag, const uint8_t* data,
                                     uint64_t length) {
  OrbSetDataCallback fn = m_setDataCallback;
  if (fn == nullptr) return ORB_E_NOT_AVAILABLE;
  return fn(m_setDataContext, this, AsOrbText(name), tag, data, length);
}
