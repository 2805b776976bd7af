// Win32-only: the host callbacks.
#include "host_callbacks.h"

#include <cstdarg>
#include <cstring>

#include "crt_format.h"
#include "framing.h"
#include "output.h"
#include "router.h"
#include "stand_ins.h"
#include "support/win32.h"

namespace orbhost {
namespace {

HostServices* Services(void* context) {
  return static_cast<HostServices*>(context);
}

template <int N>
HRESULT STDMETHODCALLTYPE HostEvent(void* context, uint32_t event, void* data) {
  try {
    if (auto* services = Services(context)) {
      services->events->Emit(Json{{"event", "event-callback"},
                                  {"callback", N},
                                  {"code", event},
                                  {"data", data != nullptr}});
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT SharedDataStore::Set(const char16_t* name, uint32_t tag, const uint8_t* data,
                             uint64_t length) {
  if (!name || (!data && length > 0)) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[name] = Entry{tag, std::vector<uint8_t>(data, data + length)};
  return S_OK;
}

HRESULT SharedDataStore::Get(const char16_t* name, uint32_t* tag, uint8_t* buffer,
                             uint64_t* length) const {
  if (!name || !length) return E_POINTER;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return ORB_E_NOT_AVAILABLE;
  const uint64_t size = it->second.bytes.size();
  if (!buffer || *length < size) {
    *length = size;
    return ORB_E_BUFFER_TOO_SMALL;
  }
  if (size > 0) std::memcpy(buffer, it->second.bytes.data(), size);
  *length = size;
  if (tag) *tag = it->second.tag;
  return S_OK;
}

void STDMETHODCALLTYPE HostLog(void* context, IOrbPlugin*, uint32_t level, const OrbWChar* format,
                               ...) {
  try {
    HostServices* services = Services(context);
    if (!services || !services->log->Wants(level)) return;
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatCrt(format, args);
    va_end(args);
    services->log->Write(level, AsU16Text(text.c_str()));
  } catch (...) {
    // A log line that cannot be written is dropped.
  }
}

HRESULT STDMETHODCALLTYPE HostSend(void* context, IOrbPlugin*, const GUID*, const uint8_t* message,
                                   uint64_t length, uint8_t** reply, uint64_t* replyLength) {
  try {
    HostServices* services = Services(context);
    if (!services) return ORB_E_NOT_AVAILABLE;
    // Routed by the header's target identifier (the target argument points at it).
    return services->router->Route(message, length, reply, replyLength);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT STDMETHODCALLTYPE HostBroadcast(void* context, IOrbPlugin*, const uint8_t* message,
                                        uint64_t length) {
  try {
    HostServices* services = Services(context);
    if (!services) return ORB_E_NOT_AVAILABLE;
    OrbMessageHeader header;
    if (!ReadHeader(message, length, &header)) return E_INVALIDARG;
    QuonValueSet body;
    const bool parsed = ParseBody(message, length, body) || length == kOrbHeaderSize;
    Json event{{"event", "broadcast"},
               {"type", header.type},
               {"source", header.source},
               {"destination", header.destination},
               {"message", TreeToJson(body, services->events->Form())}};
    if (!parsed) event["error"] = "the message body is not a valid value tree";
    services->events->Emit(event);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT STDMETHODCALLTYPE HostGetData(void* context, IOrbPlugin*, const OrbWChar* name,
                                      uint32_t* tag, uint8_t* buffer, uint64_t* length) {
  try {
    HostServices* services = Services(context);
    return services ? services->data->Get(AsU16Text(name), tag, buffer, length)
                    : ORB_E_NOT_AVAILABLE;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT STDMETHODCALLTYPE HostSetData(void* context, IOrbPlugin*, const OrbWChar* name,
                                      uint32_t tag, const uint8_t* data, uint64_t length) {
  try {
    HostServices* services = Services(context);
    return services ? services->data->Set(AsU16Text(name), tag, data, length) : ORB_E_NOT_AVAILABLE;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

void InstallCallbacks(IOrbPlugin* plugin, HostServices* services) {
  plugin->SetLogCallback(HostLog, services);
  plugin->SetSendCallback(HostSend, services);
  plugin->SetBroadcastCallback(HostBroadcast, services);
  plugin->SetGetDataCallback(HostGetData, services);
  plugin->SetSetDataCallback(HostSetData, services);
}

void RemoveCallbacks(IOrbPlugin* plugin) {
  plugin->SetLogCallback(nullptr, nullptr);
  plugin->SetSendCallback(nullptr, nullptr);
  plugin->SetBroadcastCallback(nullptr, nullptr);
  plugin->SetGetDataCallback(nullptr, nullptr);
  plugin->SetSetDataCallback(nullptr, nullptr);
}

void InstallEventCallbacks(IOrbEventHandlerEx1* handler, HostServices* services) {
  handler->SetEventCallback1(HostEvent<1>, services);
  handler->SetEventCallback2(HostEvent<2>, services);
  handler->SetEventCallback3(HostEvent<3>, services);
  handler->SetEventCallback4(HostEvent<4>, services);
  handler->SetEventCallback5(HostEvent<5>, services);
}

}  // namespace orbhost
