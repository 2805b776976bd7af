// Helpers of the white-box tests under Wine that link the plug-in's code (on
// top of ../common/windows_test_support.h): the companion files built beside
// the test, the diagnostic log's debugger lines caught in-process, waiting
// for a process to end, and a fixture for the fan-control service and the
// maker's keys.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "../common/windows_test_support.h"
#include "support/diag_log.h"
#include "support/platform_seams.h"
#include "support/process_utils.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace machine_test {

using namespace wintest;

// A companion or helper program that the build placed in the machine_files
// folder beside the test executable.
inline std::filesystem::path BuiltFile(const wchar_t* name) {
  return BesideTest(L"machine_files") / name;
}

// Collects the diagnostic log's lines while it lives: the log writes to the
// debugger only (mode 1), through the platform seams. The code under test
// logs on the test's own thread.
class LogCapture {
 public:
  LogCapture()
      : m_narrow(&PlatformSeams::outputDebugStringA, &Narrow),
        m_wide(&PlatformSeams::outputDebugString, &Wide),
        m_savedMode(SLog.m_nMode.exchange(1)) {
    Lines().clear();
  }
  ~LogCapture() { SLog.m_nMode = m_savedMode; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages so far, without time stamps and line ends.
  const std::vector<std::string>& Messages() const { return Lines(); }
  bool Contains(const std::string& message) const {
    return std::find(Lines().begin(), Lines().end(), message) != Lines().end();
  }
  bool ContainsPrefix(const std::string& prefix) const {
    return std::any_of(Lines().begin(), Lines().end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }

 private:
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  // "YYYY-MM-DD hh:mm:ss message\r\n" (time-stamped) or "message\r\n".
  static void Add(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.size() > 20 && line[4] == '-' && line[10] == ' ' && line[13] == ':' &&
        line[19] == ' ') {
      line.erase(0, 20);
    }
    Lines().push_back(std::move(line));
  }
  static void WINAPI Narrow(LPCSTR text) { Add(text); }
  static void WINAPI Wide(LPCWSTR text) {  // ASCII is enough for these tests
    std::string narrow;
    for (const wchar_t* p = text; *p != 0; ++p) narrow += *p < 128 ? static_cast<char>(*p) : '?';
    Add(std::move(narrow));
  }

  ScopedSeam<decltype(PlatformSeams::outputDebugStringA)> m_narrow;
  ScopedSeam<decltype(PlatformSeams::outputDebugString)> m_wide;
  int32_t m_savedMode;
};

inline constexpr wchar_t kFanService[] = L"QuonFanControlService";
inline bool ServiceExists() {
  return ServiceState(kFanService) != 0;
}

// Waits up to 10 s until no process of that executable name is left.
inline bool WaitNoProcess(const wchar_t* name) {
  for (int i = 0; i < 100; ++i) {
    if (FindProcessIdByName(name) == 0) return true;
    Sleep(100);
  }
  return false;
}

// For tests of the fan-control service and the maker's keys in the 32-bit
// registry view (fixed, machine-wide: their CTest cases hold a RESOURCE_LOCK).
// Removes the service and the keys before and after each case, including
// the parent keys a case created, and gives each case a scratch folder that
// outlives the service's process.
class FanServiceMachineTest : public ::testing::Test {
 protected:
  static constexpr REGSAM k32 = KEY_WOW64_32KEY;
  static constexpr const wchar_t* kFanKey = L"SOFTWARE\\QUON\\QuonFanService";
  static constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\QUON\\TESSERA_II";
  static constexpr const wchar_t* kUpdateClientKey =
      L"SOFTWARE\\QUON\\Update\\Clients\\{7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F05}";

  void SetUp() override {
    for (const wchar_t* key : kParents) m_parentExisted.push_back(KeyExists(key, k32));
    Clean();
  }
  void TearDown() override {
    Clean();
    for (size_t i = 0; i < std::size(kParents); ++i) {
      if (!m_parentExisted[i]) {
        RemoveKey(kParents[i], k32);
        break;  // the rest lies below it
      }
    }
  }

  ScratchFolder m_scratch;

 private:
  static constexpr const wchar_t* kParents[] = {L"SOFTWARE\\QUON", L"SOFTWARE\\QUON\\Update",
                                                L"SOFTWARE\\QUON\\Update\\Clients"};
  static void Clean() {
    RemoveService(kFanService);
    WaitNoProcess(L"QuonFanControlService.exe");
    for (const wchar_t* key : {kFanKey, kSuiteKey, kUpdateClientKey}) RemoveKey(key, k32);
  }
  std::vector<bool> m_parentExisted;
};

}  // namespace machine_test

// --- A plug-in object, its requests and its answers --------------------------------------
// The plug-in's interface and a host's framing come with the recording host.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "../common/recording_host.h"
#include "plugin/pelorus.h"

namespace machine_test {

struct PluginDeleter {
  void operator()(IOrbPlugin* plugin) const { plugin->Release(); }
};
using PluginPtr = std::unique_ptr<IOrbPlugin, PluginDeleter>;

// Sends one request framed as a host delivers it (OnMessage) and returns the
// status; the reply is parsed into *response.
inline HRESULT CallPlugin(IOrbPlugin* plugin, const QuonValueSet& request, QuonValueSet* response,
                          IOrbLibrary* caller = nullptr) {
  std::vector<uint8_t> message = FrameMessage(kOrbMessageRequest, kOrbEndpointClients, request);
  uint8_t* reply = nullptr;
  uint64_t length = 0;
  const HRESULT status = plugin->OnMessage(caller, message.data(),
                                           static_cast<uint32_t>(message.size()), &reply, &length);
  response->Clear();
  if (length != 0) response->Deserialize(reply, &length);
  std::free(reply);
  return status;
}

// A request of "Cmd" and what `fill` adds to it.
inline HRESULT CallPlugin(IOrbPlugin* plugin, const char16_t* cmd, QuonValueSet* response,
                          const std::function<void(QuonValueSet&)>& fill = nullptr) {
  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(cmd));
  if (fill) fill(request);
  return CallPlugin(plugin, request, response);
}

// A fresh plug-in object (of the service, or of the user session) with a
// recording host attached; Call sends it a request of "Cmd".
struct AttachedPlugin {
  explicit AttachedPlugin(uint32_t inUserSession = 0) : plugin(QueryLibrary(inUserSession)) {
    host.Attach(plugin.get());
  }
  HRESULT Call(const char16_t* cmd, QuonValueSet* response,
               const std::function<void(QuonValueSet&)>& fill = nullptr) const {
    return CallPlugin(plugin.get(), cmd, response, fill);
  }

  PluginPtr plugin;
  RecordingHost host;
};

// A tree as one line with every key's kind, for whole-tree comparisons:
// "{key:Int=1, name:String=text, sub:Child={...}}". A String shows all its
// code units (a counted terminator as \0), Binary its bytes in hex, Double
// 15 significant digits.
inline std::string Typed(const QuonValueSet& set) {
  std::string out;
  for (const auto& [key, v] : set.Entries()) {
    const auto* bytes = static_cast<const uint8_t*>(v->data);
    char text[64] = "None";
    std::string value;
    if (v->kind == OrbValueKindBool) value = set.GetBoolValue(key) ? "Bool=true" : "Bool=false";
    if (v->kind == OrbValueKindInt) value = "Int=" + std::to_string(set.GetIntValue(key));
    if (v->kind == OrbValueKindInt64) value = "Int64=" + std::to_string(set.GetInt64Value(key));
    if (v->kind == OrbValueKindUInt) value = "UInt=" + std::to_string(set.GetUIntValue(key));
    if (v->kind == OrbValueKindUInt64) value = "UInt64=" + std::to_string(set.GetUInt64Value(key));
    if (v->kind == OrbValueKindDouble) {
      std::snprintf(text, sizeof text, "Double=%.15g", set.GetDoubleValue(key));
    }
    if (v->kind == OrbValueKindChild) value = "Child=" + (v->data ? Typed(*v->Child()) : "{}");
    if (v->kind == OrbValueKindString) value = "String=";
    for (uint32_t i = 0; v->kind == OrbValueKindString && i < v->size / 2; ++i) {
      const char16_t c = reinterpret_cast<const char16_t*>(bytes)[i];
      value += c == 0 ? "\\0" : std::string(1, c < 128 ? static_cast<char>(c) : '?');
    }
    if (v->kind == OrbValueKindBinary) value = "Binary=";
    for (uint32_t i = 0; v->kind == OrbValueKindBinary && i < v->size; ++i) {
      std::snprintf(text, sizeof text, "%02x", bytes[i]);
      value += text;
    }
    out += (out.empty() ? "" : ", ") + key + ":" + (value.empty() ? text : value);
  }
  return "{" + out + "}";
}

// Polls (every 20 ms) until `done` holds; false after 20 s.
inline bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i, Sleep(20)) {
    if (done()) return true;
  }
  return false;
}

// The bodies of the requests the host was sent, each as Typed shows it.
inline std::vector<std::string> SentBodies(const RecordingHost& host) {
  std::vector<std::string> bodies;
  for (const RecordedMessage& m : host.sends()) {
    QuonValueSet body;
    EXPECT_TRUE(m.Body(&body));
    bodies.push_back(Typed(body));
  }
  return bodies;
}

}  // namespace machine_test
