// HwBridgeCom.exe: the ACPI bridge stand-in, an out-of-process COM automation
// server registered as "hwbridgeCom.hbdata" (README.md). Its one class answers
// the eight bridge methods through IDispatch from a firmware profile
// (firmware_profile.h).
//
//   HwBridgeCom.exe /RegServer     register the class (HKLM\Software\Classes)
//   HwBridgeCom.exe /UnregServer   remove the registration
//   HwBridgeCom.exe -Embedding     run as the server (started by COM)
#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "firmware_profile.h"

namespace {

using hwbridge::Element;
using hwbridge::Item;
using hwbridge::Profile;

// {930C577B-2860-44AD-82B0-1BABE7C4A6C8}
constexpr CLSID kClsid = {
    0x930c577b, 0x2860, 0x44ad, {0x82, 0xb0, 0x1b, 0xab, 0xe7, 0xc4, 0xa6, 0xc8}};
constexpr wchar_t kClsidText[] = L"{930C577B-2860-44AD-82B0-1BABE7C4A6C8}";
constexpr wchar_t kProgId[] = L"hwbridgeCom.hbdata";
constexpr wchar_t kDescription[] = L"Pelorus machine ACPI bridge";
// The server stays this long after its last object is released, so a burst
// of calls (one object per call) does not start a process per call.
constexpr ULONGLONG kLingerMs = 4000;
// Once the class is revoked, a client that COM handed the class object just
// before may still be on its way: on a loaded machine its first call can
// arrive seconds later, and a server that had ended by then would fail it.
// The server keeps serving until it has been quiet this long.
constexpr ULONGLONG kRevokedQuietMs = 10000;

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<ULONGLONG> g_lastActivity{0};
hwbridge::Firmware g_firmware;

void Touch() {
  g_lastActivity = GetTickCount64();
}

enum Method : DISPID {
  kInit = 1,
  kGetItem,
  kGetItemEx,
  kSetItem,
  kSetItemBuffer,
  kMbif,
  kGGrp,
  kCallMethod,
};

struct MethodName {
  const wchar_t* name;
  Method id;
  UINT arguments;
};
constexpr MethodName kMethods[] = {
    {L"iAcpiInit", kInit, 0},
    {L"iAcpiGetItem", kGetItem, 2},
    {L"iAcpiGetItemEx", kGetItemEx, 3},
    {L"iAcpiSetItem", kSetItem, 3},
    {L"iAcpiSetItemBuffer", kSetItemBuffer, 3},
    {L"iAcpiMbif", kMbif, 2},
    {L"iAcpiGGrp", kGGrp, 3},
    {L"iAcpiCallMethod", kCallMethod, 3},
};

// --- Arguments -----------------------------------------------------------------

bool InNumber(VARIANT* v, uint32_t* out) {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, v, 0, VT_UI4))) return false;
  *out = converted.ulVal;
  return true;
}

ULONG* OutNumber(VARIANT* v) {
  return v->vt == (VT_UI4 | VT_BYREF) ? v->pulVal : nullptr;
}

// The caller's byte-block VARIANT (by reference), holding a 1-D byte array.
VARIANT* Block(VARIANT* v) {
  if (v->vt != (VT_VARIANT | VT_BYREF) || v->pvarVal == nullptr) return nullptr;
  VARIANT* inner = v->pvarVal;
  if ((inner->vt != (VT_ARRAY | VT_I1) && inner->vt != (VT_ARRAY | VT_UI1)) ||
      inner->parray == nullptr || SafeArrayGetDim(inner->parray) != 1)
    return nullptr;
  return inner;
}

ULONG BlockSize(VARIANT* block) {
  LONG low = 0, high = -1;
  SafeArrayGetLBound(block->parray, 1, &low);
  SafeArrayGetUBound(block->parray, 1, &high);
  return high >= low ? static_cast<ULONG>(high - low + 1) : 0;
}

std::vector<uint8_t> ReadBlock(VARIANT* block) {
  std::vector<uint8_t> bytes(BlockSize(block));
  void* data = nullptr;
  if (!bytes.empty() && SUCCEEDED(SafeArrayAccessData(block->parray, &data))) {
    std::memcpy(bytes.data(), data, bytes.size());
    SafeArrayUnaccessData(block->parray);
  }
  return bytes;
}

// Puts bytes into the caller's block: into its array when they fit, else into
// a new array that replaces it. `arraySize` elements are allocated for a new
// array (at least the bytes).
HRESULT WriteBlock(VARIANT* block, const std::vector<uint8_t>& bytes, ULONG arraySize) {
  if (arraySize < bytes.size()) arraySize = static_cast<ULONG>(bytes.size());
  if (BlockSize(block) < arraySize) {
    SAFEARRAY* fresh = SafeArrayCreateVector(VT_I1, 0, arraySize);
    if (fresh == nullptr) return E_OUTOFMEMORY;
    VariantClear(block);
    block->vt = VT_ARRAY | VT_I1;
    block->parray = fresh;
  }
  void* data = nullptr;
  HRESULT hr = SafeArrayAccessData(block->parray, &data);
  if (FAILED(hr)) return hr;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  SafeArrayUnaccessData(block->parray);
  return S_OK;
}

// --- The methods ---------------------------------------------------------------

const Item* FindItem(const Profile& profile, uint32_t id) {
  auto it = profile.items.find(id);
  return it == profile.items.end() ? nullptr : &it->second;
}

bool ValueAccepted(const Item& item, uint32_t value) {
  return item.choices == 0 || value < item.choices;
}

// iAcpiSetItemBuffer: the stand-in's buffer operations, by selector (README.md).
HRESULT BufferOperation(uint32_t selector, VARIANT* block, ULONG* length) {
  std::vector<uint8_t> bytes = ReadBlock(block);
  const uint32_t n = *length < bytes.size() ? *length : static_cast<uint32_t>(bytes.size());
  switch (selector) {
    case 0:  // echo
      return S_OK;
    case 1:  // invert in place
      for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
      return WriteBlock(block, bytes, 0);
    case 2:  // invert, then report half the length
      for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
      *length = n / 2;
      return WriteBlock(block, bytes, 0);
    case 3: {  // a new, shorter array of 0x5A that claims twice the length
      SAFEARRAY* fresh = SafeArrayCreateVector(VT_I1, 0, n / 2);
      if (fresh == nullptr) return E_OUTOFMEMORY;
      VariantClear(block);
      block->vt = VT_ARRAY | VT_I1;
      block->parray = fresh;
      *length = n * 2;
      return WriteBlock(block, std::vector<uint8_t>(n / 2, 0x5A), 0);
    }
    default:  // 4 and anything else: refused, nothing changed
      return DISP_E_EXCEPTION;
  }
}

HRESULT Call(Method method, DISPPARAMS* params, UINT* argError) {
  // Arguments arrive last first.
  const UINT count = params->cArgs;
  auto arg = [&](UINT i) { return &params->rgvarg[count - 1 - i]; };
  auto bad = [&](UINT i) {
    if (argError) *argError = count - 1 - i;
    return DISP_E_TYPEMISMATCH;
  };
  Profile profile;
  if (method != kInit && method != kSetItemBuffer && !g_firmware.Current(&profile))
    return DISP_E_EXCEPTION;

  switch (method) {
    case kInit:
      return S_OK;
    case kGetItem: {
      uint32_t id = 0;
      ULONG* value = OutNumber(arg(1));
      if (!InNumber(arg(0), &id)) return bad(0);
      if (value == nullptr) return bad(1);
      const Item* item = FindItem(profile, id);
      if (item == nullptr) return DISP_E_EXCEPTION;
      return g_firmware.ReadValue(*item, value) ? S_OK : DISP_E_EXCEPTION;
    }
    case kGetItemEx: {  // the value of item `first`, or `second` when there is no such item
      uint32_t first = 0, second = 0;
      ULONG* value = OutNumber(arg(2));
      if (!InNumber(arg(0), &first)) return bad(0);
      if (!InNumber(arg(1), &second)) return bad(1);
      if (value == nullptr) return bad(2);
      const Item* item = FindItem(profile, first);
      if (item == nullptr) {
        *value = second;
        return S_OK;
      }
      return g_firmware.ReadValue(*item, value) ? S_OK : DISP_E_EXCEPTION;
    }
    case kSetItem: {  // mode 1 writes; mode 0 only checks the value
      uint32_t id = 0, value = 0, mode = 0;
      if (!InNumber(arg(0), &id)) return bad(0);
      if (!InNumber(arg(1), &value)) return bad(1);
      if (!InNumber(arg(2), &mode)) return bad(2);
      const Item* item = FindItem(profile, id);
      if (item == nullptr || !ValueAccepted(*item, value) || mode > 1) return DISP_E_EXCEPTION;
      if (mode == 0) return S_OK;
      return g_firmware.WriteValue(*item, value) ? S_OK : DISP_E_EXCEPTION;
    }
    case kSetItemBuffer: {
      uint32_t selector = 0;
      VARIANT* block = Block(arg(1));
      ULONG* length = OutNumber(arg(2));
      if (!InNumber(arg(0), &selector)) return bad(0);
      if (block == nullptr) return bad(1);
      if (length == nullptr) return bad(2);
      return BufferOperation(selector, block, length);
    }
    case kMbif: {
      VARIANT* block = Block(arg(0));
      ULONG* length = OutNumber(arg(1));
      if (block == nullptr) return bad(0);
      if (length == nullptr) return bad(1);
      const std::vector<uint8_t> bytes = hwbridge::EncodeBlock(profile.mainboard);
      HRESULT hr = WriteBlock(block, bytes, *length);
      if (SUCCEEDED(hr)) *length = static_cast<uint32_t>(bytes.size());
      return hr;
    }
    case kGGrp: {
      uint32_t group = 0;
      VARIANT* block = Block(arg(1));
      ULONG* length = OutNumber(arg(2));
      if (!InNumber(arg(0), &group)) return bad(0);
      if (block == nullptr) return bad(1);
      if (length == nullptr) return bad(2);
      // A group request starts with the byte 0xE1.
      const std::vector<uint8_t> request = ReadBlock(block);
      if (request.empty() || request[0] != 0xE1) return DISP_E_EXCEPTION;
      std::vector<Element> list;
      if (auto it = profile.groups.find(group); it != profile.groups.end()) {
        for (uint32_t id : it->second) {
          Element e;
          e.number = id;  // the method id of an item is its id
          list.push_back(e);
        }
      }
      const std::vector<uint8_t> bytes = hwbridge::EncodeBlock(list);
      HRESULT hr = WriteBlock(block, bytes, *length);
      if (SUCCEEDED(hr)) *length = static_cast<uint32_t>(bytes.size());
      return hr;
    }
    case kCallMethod: {
      uint32_t methodId = 0;
      VARIANT* block = Block(arg(1));
      ULONG* length = OutNumber(arg(2));
      if (!InNumber(arg(0), &methodId)) return bad(0);
      if (block == nullptr) return bad(1);
      if (length == nullptr) return bad(2);
      const Item* item = FindItem(profile, methodId);
      if (item == nullptr) return DISP_E_EXCEPTION;
      const std::vector<uint8_t> bytes = hwbridge::EncodeBlock(item->descriptor);
      HRESULT hr = WriteBlock(block, bytes, *length);
      if (SUCCEEDED(hr)) *length = static_cast<uint32_t>(bytes.size());
      return hr;
    }
  }
  return DISP_E_MEMBERNOTFOUND;
}

// --- The COM class ---------------------------------------------------------------

class Bridge final : public IDispatch {
 public:
  Bridge() {
    ++g_objects;
    Touch();
  }
  ~Bridge() {
    --g_objects;
    Touch();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (const MethodName& m : kMethods) {
      if (names[0] != nullptr && _wcsicmp(names[0], m.name) == 0) ids[0] = m.id;
    }
    if (ids[0] == DISPID_UNKNOWN || count > 1) hr = DISP_E_UNKNOWNNAME;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT* argError) override {
    Touch();
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
    for (const MethodName& m : kMethods) {
      if (m.id != id) continue;
      if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
      if (params->cArgs != m.arguments) return DISP_E_BADPARAMCOUNT;
      if (result != nullptr) VariantInit(result);
      return Call(m.id, params, argError);
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static object
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Bridge* bridge = new (std::nothrow) Bridge();
    if (bridge == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = bridge->QueryInterface(riid, ppv);
    bridge->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++g_locks;
    } else {
      --g_locks;
    }
    Touch();
    return S_OK;
  }
};

// --- Registration and the server loop ----------------------------------------------

bool SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

int Register() {
  wchar_t path[MAX_PATH];
  const DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (chars == 0 || chars >= MAX_PATH) return 1;
  const std::wstring classes = L"SOFTWARE\\Classes\\";
  const std::wstring clsid = classes + L"CLSID\\" + kClsidText;
  const bool ok =
      SetText(classes + kProgId, nullptr, kDescription) &&
      SetText(classes + kProgId + L"\\CLSID", nullptr, kClsidText) &&
      SetText(clsid, nullptr, kDescription) && SetText(clsid + L"\\ProgID", nullptr, kProgId) &&
      SetText(clsid + L"\\LocalServer32", nullptr, L"\"" + std::wstring(path, chars) + L"\"");
  if (!ok) {
    fwprintf(stderr, L"HwBridgeCom: registration failed\n");
    return 1;
  }
  return 0;
}

int Unregister() {
  const std::wstring classes = L"SOFTWARE\\Classes\\";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classes + kProgId).c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classes + L"CLSID\\" + kClsidText).c_str());
  return 0;
}

int Serve() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  static Factory factory;
  DWORD cookie = 0;
  Touch();
  // A strong external lock keeps the factory reachable from other processes
  // after the class is revoked, for clients that were handed it before.
  CoLockObjectExternal(&factory, TRUE, FALSE);
  HRESULT hr =
      CoRegisterClassObject(kClsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    CoLockObjectExternal(&factory, FALSE, TRUE);
    CoUninitialize();
    return 1;
  }
  // Calls arrive on COM's own threads; this one ends the server once it has
  // been idle for the linger time.
  for (;;) {
    Sleep(100);
    if (g_objects == 0 && g_locks == 0 && GetTickCount64() - g_lastActivity > kLingerMs) break;
  }
  // Calls that were already on their way when the class was revoked still
  // get their object: wait until they are done before ending.
  CoRevokeClassObject(cookie);
  for (;;) {
    Sleep(100);
    if (g_objects == 0 && g_locks == 0 && GetTickCount64() - g_lastActivity > kRevokedQuietMs)
      break;
  }
  CoLockObjectExternal(&factory, FALSE, TRUE);
  CoUninitialize();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && (_wcsicmp(argv[1], L"/RegServer") == 0 || _wcsicmp(argv[1], L"-RegServer") == 0))
    return Register();
  if (argc == 2 &&
      (_wcsicmp(argv[1], L"/UnregServer") == 0 || _wcsicmp(argv[1], L"-UnregServer") == 0))
    return Unregister();
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"-Embedding") == 0 || _wcsicmp(argv[i], L"/Embedding") == 0)
      return Serve();
  }
  fwprintf(stderr,
           L"usage: HwBridgeCom.exe /RegServer | /UnregServer | -Embedding (started by COM)\n");
  return 2;
}
