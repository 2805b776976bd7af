// Win32-only: loading and driving a plug-in.
#include "plugin_loader.h"

#include <cstdlib>
#include <cwchar>

#include "framing.h"
#include "utf.h"

namespace orbhost {
namespace {

std::string Narrow(const std::wstring& text) {
  return Utf16ToUtf8(AsU16Text(text.c_str()));
}

std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return "error " + std::to_string(code) + (text.empty() ? "" : ": " + Narrow(text));
}

template <typename T>
T Export(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// MinGW's ComPtr::Attach adds a reference (unlike the SDK's), so owned
// pointers are stored through ReleaseAndGetAddressOf instead.
template <typename T>
void QueryEventInterface(IOrbPlugin* plugin, const IID& iid, Microsoft::WRL::ComPtr<T>& out) {
  if (FAILED(plugin->QueryInterface(iid, reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()))))
    out.Reset();
}

// orbhost's clients, as the caller of the requests they send: a library
// object that lives as long as the process.
class HostCallerLibrary final : public IOrbLibrary {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IOrbLibrary)) {
      *out = static_cast<IOrbLibrary*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // {4F9B2C61-8A3D-4E7F-B15C-2D6E8A9F0C31}: orbhost's own identifier.
  void STDMETHODCALLTYPE GetId(GUID* id) override {
    if (id)
      *id =
          PELORUS_GUID(0x4F9B2C61, 0x8A3D, 0x4E7F, 0xB1, 0x5C, 0x2D, 0x6E, 0x8A, 0x9F, 0x0C, 0x31);
  }
  void STDMETHODCALLTYPE GetFrameworkId(GUID* id) override {
    if (id) *id = GUID_OrbFramework;
  }
  HRESULT STDMETHODCALLTYPE GetName(OrbWChar* buffer, uint32_t* count) override {
    return CopyName(buffer, count);
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(OrbWChar* buffer, uint32_t* count) override {
    return CopyName(buffer, count);
  }
  void STDMETHODCALLTYPE GetVersion(OrbVersion* version) override {
    if (version) *version = OrbVersion{1, 0, 0, 0};
  }
  HRESULT STDMETHODCALLTYPE Initialize() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Uninitialize() override { return S_OK; }
  uint32_t STDMETHODCALLTYPE ReservedQuery1() override { return 0; }
  uint32_t STDMETHODCALLTYPE ReservedQuery2() override { return 0; }
  void STDMETHODCALLTYPE ReservedNotice() override {}

 private:
  static HRESULT CopyName(OrbWChar* buffer, uint32_t* count) {
    static const wchar_t kName[] = L"orbhost";
    const uint32_t need = sizeof kName / sizeof kName[0];
    if (!count) return E_POINTER;
    if (*count < need) {
      *count = need;
      return ORB_E_BUFFER_TOO_SMALL;
    }
    if (!buffer) return E_INVALIDARG;
    std::wmemcpy(buffer, kName, need);
    return S_OK;
  }
};

}  // namespace

IOrbLibrary* HostCaller() {
  static HostCallerLibrary caller;
  return &caller;
}

std::unique_ptr<PluginLibrary> PluginLibrary::Open(const std::wstring& path, std::string* error) {
  std::unique_ptr<PluginLibrary> library(new PluginLibrary());
  library->path_ = path;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    *error = "cannot find the plug-in library " + Narrow(path);
    return nullptr;
  }
  // The library's own dependencies are searched beside it first.
  library->module_.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!library->module_) {
    *error = "cannot load " + Narrow(path) + " (" + ErrorText(GetLastError()) + ")";
    return nullptr;
  }
  const HMODULE module = library->module_.get();
  auto version = Export<PFN_QueryInterfaceVersion>(module, "QueryInterfaceVersion");
  if (!version) {
    *error = Narrow(path) + " does not export QueryInterfaceVersion: not an Orb plug-in library";
    return nullptr;
  }
  library->version_ = version();
  if (library->version_ != kOrbInterfaceVersion) {
    char text[160];
    std::snprintf(text, sizeof text,
                  " speaks interface version 0x%X; orbhost speaks 0x%X and calls nothing else",
                  static_cast<unsigned>(library->version_),
                  static_cast<unsigned>(kOrbInterfaceVersion));
    *error = Narrow(path) + text;
    return nullptr;
  }
  library->queryLibrary_ = Export<PFN_QueryLibrary>(module, "QueryLibrary");
  if (!library->queryLibrary_) {
    *error = Narrow(path) + " does not export QueryLibrary";
    return nullptr;
  }
  return library;
}

PluginLibrary::~PluginLibrary() {
  // The plug-in may leave threads running in its code after its last Release
  // (its resume watcher lives until the process ends), so the library stays
  // loaded; the process exit unloads it.
  module_.release();
}

IOrbPlugin* PluginLibrary::Create(uint32_t inUserSession) const {
  return queryLibrary_(inUserSession);
}

PluginSession::PluginSession(const PluginLibrary& library, uint32_t inUserSession,
                             HostServices* services) {
  *plugin_.ReleaseAndGetAddressOf() = library.Create(inUserSession);  // one reference, ours
  if (!plugin_) return;
  endpoint_ = inUserSession ? kOrbEndpointUserSession : kOrbEndpointService;
  plugin_->GetId(&id_);
  QueryEventInterface(plugin_.Get(), IID_IOrbEventHandlerEx2, events_);
  QueryEventInterface(plugin_.Get(), IID_IOrbLumenEventHandler, lumen_);
  QueryEventInterface(plugin_.Get(), IID_IOrbDependentAttribute, dependencies_);
  QueryEventInterface(plugin_.Get(), IID_IOrbRLSEventHandler, rls_);
  QueryEventInterface(plugin_.Get(), IID_IOrbDiagnosticsHandler, diagnostics_);
  QueryEventInterface(plugin_.Get(), IID_IOrbServiceMessageHandler, serviceMessages_);
  InstallCallbacks(plugin_.Get(), services);
  if (events_) InstallEventCallbacks(events_.Get(), services);
}

PluginSession::~PluginSession() {
  Shutdown();
}

HRESULT PluginSession::Initialize() {
  initialized_ = true;  // Uninitialize follows whatever Initialize answered
  return plugin_->Initialize();
}

void PluginSession::Call(const QuonValueSet& request, CallResult* result) {
  const OrbMessageHeader header =
      MakeHeader(kOrbMessageRequest, kOrbEndpointClients, endpoint_, id_);
  const std::vector<uint8_t> message = BuildMessage(header, request);
  uint8_t* reply = nullptr;
  uint64_t replyLength = 0;
  result->response.Clear();
  result->status = plugin_->OnMessage(HostCaller(), message.data(),
                                      static_cast<uint32_t>(message.size()), &reply, &replyLength);
  result->replyValid = true;
  if (reply && replyLength > 0) {
    uint64_t length = replyLength;
    result->replyValid = result->response.Deserialize(reply, &length);
  }
  std::free(reply);
}

HRESULT PluginSession::Notify(uint8_t source, const QuonValueSet& message) {
  const OrbMessageHeader header = MakeHeader(kOrbMessageNotification, source, endpoint_, id_);
  const std::vector<uint8_t> bytes = BuildMessage(header, message);
  uint8_t* reply = nullptr;
  uint64_t replyLength = 0;
  const HRESULT status = plugin_->OnMessage(
      HostCaller(), bytes.data(), static_cast<uint32_t>(bytes.size()), &reply, &replyLength);
  std::free(reply);
  return status;
}

ULONG PluginSession::Shutdown() {
  if (shutDown_ || !plugin_) return finalCount_;
  shutDown_ = true;
  if (initialized_) plugin_->Uninitialize();
  if (events_) {
    for (auto set :
         {&IOrbEventHandlerEx1::SetEventCallback1, &IOrbEventHandlerEx1::SetEventCallback2,
          &IOrbEventHandlerEx1::SetEventCallback3, &IOrbEventHandlerEx1::SetEventCallback4,
          &IOrbEventHandlerEx1::SetEventCallback5})
      (events_.Get()->*set)(nullptr, nullptr);
  }
  RemoveCallbacks(plugin_.Get());
  events_.Reset();
  lumen_.Reset();
  dependencies_.Reset();
  rls_.Reset();
  diagnostics_.Reset();
  serviceMessages_.Reset();
  finalCount_ = plugin_.Detach()->Release();
  return finalCount_;
}

}  // namespace orbhost
