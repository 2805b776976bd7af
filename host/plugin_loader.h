// Win32-only: loading a plug-in library and driving one plug-in object
// through its lifecycle, the way the host service does: interface version
// first, QueryLibrary, the event interfaces, the callbacks, Initialize, then
// requests and events, Uninitialize, and Release down to zero.
#pragma once

#include <wrl/client.h>

#include <memory>
#include <string>

#include "host_callbacks.h"
#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"
#include "support/win32_handles.h"

namespace orbhost {

class PluginLibrary {
 public:
  // Loads the library and checks QueryInterfaceVersion and QueryLibrary.
  // Null, with a message for a person, when the file is missing, cannot be
  // loaded, lacks an export or speaks another interface version.
  static std::unique_ptr<PluginLibrary> Open(const std::wstring& path, std::string* error);
  ~PluginLibrary();

  const std::wstring& path() const { return path_; }
  uint32_t interfaceVersion() const { return version_; }
  // A new plug-in object with one reference, or null.
  IOrbPlugin* Create(uint32_t inUserSession) const;
  // Another export of the library, or null.
  void* ExportNamed(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(module_.get(), name));
  }

 private:
  PluginLibrary() = default;
  std::wstring path_;
  unique_hmodule module_;
  uint32_t version_ = 0;
  PFN_QueryLibrary queryLibrary_ = nullptr;
};

// The plug-in's answer to one request.
struct CallResult {
  HRESULT status = S_OK;
  bool replyValid = true;  // false: the reply bytes were not a value tree
  QuonValueSet response;
};

class PluginSession {
 public:
  // Creates the object, obtains its event interfaces and installs the
  // callbacks (services must outlive the session).
  PluginSession(const PluginLibrary& library, uint32_t inUserSession, HostServices* services);
  ~PluginSession();
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;

  bool valid() const { return plugin_ != nullptr; }
  IOrbPlugin* plugin() const { return plugin_.Get(); }
  const GUID& id() const { return id_; }
  // The instance's own endpoint: 4 in a user session, else 2.
  uint8_t endpoint() const { return endpoint_; }

  IOrbEventHandlerEx2* events() const { return events_.Get(); }
  IOrbLumenEventHandler* lumen() const { return lumen_.Get(); }
  IOrbDependentAttribute* dependencies() const { return dependencies_.Get(); }
  IOrbRLSEventHandler* rls() const { return rls_.Get(); }
  IOrbDiagnosticsHandler* diagnostics() const { return diagnostics_.Get(); }
  IOrbServiceMessageHandler* serviceMessages() const { return serviceMessages_.Get(); }

  HRESULT Initialize();

  // A request from the clients' endpoint, as the host delivers it.
  void Call(const QuonValueSet& request, CallResult* result);
  // A notification (0xE4) from the given endpoint.
  HRESULT Notify(uint8_t source, const QuonValueSet& message);

  // Uninitialize (when initialised), clear the callbacks, release every
  // interface. Returns the count the last Release reported (0 when the
  // object was destroyed). Idempotent.
  ULONG Shutdown();

 private:
  Microsoft::WRL::ComPtr<IOrbPlugin> plugin_;
  Microsoft::WRL::ComPtr<IOrbEventHandlerEx2> events_;
  Microsoft::WRL::ComPtr<IOrbLumenEventHandler> lumen_;
  Microsoft::WRL::ComPtr<IOrbDependentAttribute> dependencies_;
  Microsoft::WRL::ComPtr<IOrbRLSEventHandler> rls_;
  Microsoft::WRL::ComPtr<IOrbDiagnosticsHandler> diagnostics_;
  Microsoft::WRL::ComPtr<IOrbServiceMessageHandler> serviceMessages_;
  GUID id_{};
  uint8_t endpoint_ = kOrbEndpointService;
  bool initialized_ = false;
  bool shutDown_ = false;
  ULONG finalCount_ = 0;
};

// The library object that stands for orbhost's clients as the caller of requests.
IOrbLibrary* HostCaller();

}  // namespace orbhost
