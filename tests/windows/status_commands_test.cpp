// The status-check commands in-process under Wine: the framework port check
// against sockets of the test's own (the machine's TCP table is shared with
// Linux, so no fixed port), the read-and-clear flags, the feature word, the
// registry texts, and the socket-server check starting the signed
// companions installed in the machine.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "plugin/pelorus.h"
#include "firmware/power_saving.h"
#include "plugin/startup_checks.h"
#include "hwinfo_machine.h"
#include "machine_test_support.h"

namespace {

using machine_test::BuiltFile;
using machine_test::GetString;
using machine_test::LogCapture;
using machine_test::RemoveKey;
using machine_test::SetString;
using machine_test::Typed;
using machine_test::WaitNoProcess;

constexpr wchar_t kDeviceKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneDevice";
constexpr wchar_t kSdkKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneSDK\\MainSDK";
constexpr wchar_t kHttpKeys[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneHttp";
constexpr wchar_t kCorvaneDevice[] = L"C:\\Program Files (x86)\\QUON\\CorvaneDevice";

// A plug-in object with a recording host, and requests through OnMessage.
class StatusCommands : public ::testing::Test {
 protected:
  // A request of the command and, when childName is given, a child of these strings.
  HRESULT Call(const char16_t* command, QuonValueSet* response,
               std::initializer_list<std::pair<const char*, std::u16string>> child = {},
               const char* childName = nullptr) {
    return m_p.Call(command, response, [&](QuonValueSet& request) {
      if (childName == nullptr) return;
      QuonValueSet* node = request.CreateChild(childName);
      for (const auto& [key, value] : child) node->SetStringValue(key, value);
    });
  }
  bool Logged(const std::u16string& text, uint32_t level = kOrbLogInfo) const {
    return m_p.host.HasLog(level, text);
  }

  machine_test::AttachedPlugin m_p;
};

// Restores a registry string (or its absence) when the test ends.
class SavedString {
 public:
  SavedString(const wchar_t* key, const wchar_t* name) : m_key(key), m_name(name) {
    wchar_t value[1024];
    DWORD bytes = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &bytes) ==
        ERROR_SUCCESS)
      m_saved = value;
  }
  ~SavedString() { m_saved ? Set(*m_saved) : Delete(); }
  void Delete() const { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, m_key, m_name); }
  void Set(const std::wstring& value) const { SetString(m_key, m_name, value); }

 private:
  const wchar_t* m_key;
  const wchar_t* m_name;
  std::optional<std::wstring> m_saved;
};

// --- Sockets of the test's own ---------------------------------------------------------

struct Winsock {
  Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { WSACleanup(); }
};

// A TCP socket (Winsock started for its lifetime).
struct Socket : Winsock {
  ~Socket() { closesocket(s); }
  // Binds to 127.0.0.1, port 0 for a free one, or connects to it.
  int Bind(int port = 0) { return Address(port, &bind); }
  int Connect(int port) { return Address(port, &connect); }
  // The local port.
  int Port() {
    sockaddr_in a = {};
    int length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
  }

  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);

 private:
  int Address(int port, int(WSAAPI* operation)(SOCKET, const sockaddr*, int)) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return operation(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
};

// --- CheckFrameworkReady -------------------------------------------------------------------

class FrameworkReady : public StatusCommands {
 protected:
  // The "result" the command answers for the port text; nullopt when absent.
  std::optional<bool> Ask(const std::optional<std::wstring>& portText) {
    portText ? m_port.Set(*portText) : m_port.Delete();
    QuonValueSet response;
    EXPECT_EQ(Call(u"CheckFrameworkReady", &response), 0);
    if (response.Empty()) return std::nullopt;
    const bool result = response.GetBoolValue("result");
    EXPECT_EQ(Typed(response), result ? "{result:Bool=true}" : "{result:Bool=false}");
    return result;
  }

  SavedString m_port{kDeviceKey, L"HTTPPort"};
};

TEST_F(FrameworkReady, WithoutAValueLooksForTheDefaultPort) {
  // A listener on the default port: the test's own, or a framework stand-in
  // that already holds it (the port is shared with the whole machine).
  Socket listener;
  if (listener.Bind(1042) == 0) listen(listener.s, 4);
  EXPECT_EQ(Ask(std::nullopt), true);
  EXPECT_TRUE(Logged(u"[TesseraPluginService] No Regedit use HTTPPort : 1042"));
}

TEST_F(FrameworkReady, OnlyAListeningRowCounts) {
  Socket listener, client;
  ASSERT_EQ(listener.Bind(), 0);
  ASSERT_EQ(listen(listener.s, 4), 0);
  // A connection: the client's own port occurs only in a connected row.
  ASSERT_EQ(client.Connect(listener.Port()), 0) << WSAGetLastError();
  const SOCKET served = accept(listener.s, nullptr, nullptr);

  const std::wstring listening = std::to_wstring(listener.Port());
  EXPECT_EQ(Ask(listening), true);
  EXPECT_TRUE(Logged(u"[TesseraPluginService] Regedit HTTPPort : " + ToU16(listening)));
  EXPECT_TRUE(Logged(u"[TesseraPluginService] Check Framework Tcp true"));
  EXPECT_EQ(Ask(std::to_wstring(client.Port())), false);
  EXPECT_TRUE(Logged(u"[TesseraPluginService] Check Framework Tcp false"));
  closesocket(served);
}

// (The conversion and its two exceptions: DecimalToInt, natively.)
TEST_F(FrameworkReady, APortTextThatIsNoNumberGivesNoResult) {
  EXPECT_EQ(Ask(L"port"), std::nullopt);
  EXPECT_TRUE(
      Logged(u"[TesseraPluginService][DoCheckFrameworkReady]Exception: invalid stoi argument",
             kOrbLogException));
}

// --- Flags and the feature word --------------------------------------------------------------

// A suspend as the resume watcher's window receives it (its settings file in
// a scratch folder).
void Suspend() {
  WndProc(nullptr, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
}
void Restart() {
  m_bInitializedFlag = true;
}

TEST_F(StatusCommands, FlagsAreReportedOnceThenCleared) {
  HwMachine folder;
  const struct {
    const char16_t* command;
    const char* key;
    void (*event)();
    const char16_t* trueLog;
    const char16_t* falseLog;
  } cases[] = {
      {u"CheckSystemResume", "check_SystemResume", &Suspend, u"[DoCheckSystemResume] Resume: TRUE",
       u"[DoCheckSystemResume] Resume: FALSE"},
      {u"CheckCKServiceRestart", "check_CkServiceRestart", &Restart,
       u"[DoCheckCKServiceRestart] m_bInitializedFlag = TRUE",
       u"[DoCheckCKServiceRestart] m_bInitializedFlag = FALSE"},
  };
  for (const auto& c : cases) {
    c.event();
    QuonValueSet response;
    EXPECT_EQ(Call(c.command, &response), 0);
    EXPECT_EQ(Typed(response), "{" + std::string(c.key) + ":Bool=true}");
    EXPECT_TRUE(Logged(c.trueLog));
    EXPECT_EQ(Call(c.command, &response), 0);
    EXPECT_EQ(Typed(response), "{" + std::string(c.key) + ":Bool=false}");
    EXPECT_TRUE(Logged(c.falseLog));
  }
}

TEST_F(StatusCommands, FeaturesAnswerBitZeroOrTheWholeWord) {
  const uint32_t saved = FeatureBits.exchange(5);
  QuonValueSet response;
  EXPECT_EQ(Call(u"GetFeatures", &response), 0);
  EXPECT_EQ(Typed(response), "{features:Int=1}");

  LogCapture log;
  EXPECT_EQ(Call(u"GetType40Info", &response, {{"Info", u"features"}}, "Type40"), 0);
  EXPECT_EQ(Typed(response), "{features:Int=5}");
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{
                                "DoGetType40Info", "[DoGetType40Info] information = features",
                                "[DoGetType40Info] features = 5",
                                "[DoGetType40Info] reply features 5", "END DoGetType40Info"}));
  EXPECT_EQ(Call(u"GetType40Info", &response, {{"Info", u"Features"}}, "Type40"), 0);
  EXPECT_TRUE(response.Empty());
  EXPECT_EQ(Call(u"GetType40Info", &response), 0);
  EXPECT_TRUE(response.Empty());
  FeatureBits = saved;
}

// --- Registry texts ------------------------------------------------------------------------

TEST_F(StatusCommands, HttpSupportReadsTheDeviceKey) {
  const std::wstring device = L"PelorusTest" + std::to_wstring(GetCurrentProcessId());
  const std::wstring key = std::wstring(kHttpKeys) + L"\\" + device;
  // A name that fills the whole 260-character buffer with its terminator.
  SetString(key, L"DisplayName", std::wstring(259, L'N'));
  QuonValueSet response;
  EXPECT_EQ(Call(u"GetHTMLSupport", &response, {{"CorvaneHttp", ToU16(device)}}, "HTMLInfo"), 0);
  RemoveKey(key);
  EXPECT_EQ(Typed(response), "{DisplayName:String=" + std::string(259, 'N') +
                                 "\\0, IsHTTPSupported:String=true\\0, Version:String=\\0}");
  EXPECT_EQ(Call(u"GetHTMLSupport", &response, {{"CorvaneHttp", ToU16(device)}}, "HTMLInfo"), 0);
  EXPECT_EQ(Typed(response),
            "{DisplayName:String=\\0, IsHTTPSupported:String=false\\0, Version:String=\\0}");
}

TEST_F(StatusCommands, DebugModeAnswersUnderTheValueName) {
  const std::wstring key = L"SOFTWARE\\PelorusTest" + std::to_wstring(GetCurrentProcessId());
  SetString(key, L"TraceLevel", L"verbose");
  QuonValueSet response;
  const auto debugMode = {std::pair<const char*, std::u16string>{"DebugPath", ToU16(key)},
                          std::pair<const char*, std::u16string>{"DebugKey", u"TraceLevel"}};
  EXPECT_EQ(Call(u"CheckDebugMode", &response, debugMode, "DebugMode"), 0);
  EXPECT_EQ(Typed(response), "{TraceLevel:String=verbose\\0}");
  EXPECT_TRUE(Logged(u"[DoCheckDebugMode] TraceLevel = verbose"));
  RemoveKey(key);

  // A key that does not exist: the name with an empty text.
  EXPECT_EQ(Call(u"CheckDebugMode", &response, debugMode, "DebugMode"), 0);
  EXPECT_EQ(Typed(response), "{TraceLevel:String=\\0}");
}

// --- CheckCorvaneSocketServer ---------------------------------------------------------------

// Ends every companion a case started, through its stop event.
void StopCompanion(const wchar_t* event, const wchar_t* process) {
  if (HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, event)) {
    SetEvent(stop);
    CloseHandle(stop);
  }
  WaitNoProcess(process);
}

class SocketServerCheck : public StatusCommands {
 protected:
  SocketServerCheck() { StopAll(); }
  ~SocketServerCheck() override { StopAll(); }
  static void StopAll() {
    StopCompanion(L"Local\\CorvaneSocketServer.Stop", L"CorvaneSocketServer.exe");
    StopCompanion(L"Local\\quon_framework.Stop", L"quon_framework.exe");
  }
  static bool WaitProcess(const wchar_t* name) {
    return machine_test::WaitFor([name] { return FindProcessIdByName(name) != 0; });
  }
};

TEST_F(SocketServerCheck, StartsTheSocketServerOnceWhenTheSdkIsInstalled) {
  ASSERT_FALSE(GetString(kSdkKey, L"Version").empty()) << "the machine installs the SDK value";
  QuonValueSet response;
  EXPECT_EQ(Call(u"CheckCorvaneSocketServer", &response), 0);
  EXPECT_TRUE(response.Empty());
  EXPECT_TRUE(Logged(u"[TesseraPluginService] CorvaneSocketServer.exe not found"));
  EXPECT_TRUE(Logged(u"[TesseraPluginService]Launch CorvaneSocketServer : true"));
  ASSERT_TRUE(WaitProcess(L"CorvaneSocketServer.exe"));

  EXPECT_EQ(Call(u"CheckCorvaneSocketServer", &response), 0);
  EXPECT_TRUE(Logged(u"[TesseraPluginService] CorvaneDevice.exe exist"));
}

TEST_F(SocketServerCheck, DoesNotStartASocketServerTheMakerDidNotSign) {
  const std::filesystem::path installed =
      std::filesystem::path(kCorvaneDevice) / L"dll\\CorvaneSocketServer\\CorvaneSocketServer.exe";
  const std::filesystem::path saved = installed.wstring() + L".saved";
  std::filesystem::rename(installed, saved);
  std::filesystem::copy_file(BuiltFile(L"CorvaneSocketServer_unsigned.exe"), installed);
  QuonValueSet response;
  const HRESULT status = Call(u"CheckCorvaneSocketServer", &response);
  Sleep(500);
  const DWORD started = FindProcessIdByName(L"CorvaneSocketServer.exe");
  std::filesystem::remove(installed);
  std::filesystem::rename(saved, installed);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Logged(u"[TesseraPluginService]Launch CorvaneSocketServer : false"));
  EXPECT_EQ(started, 0u);
}

TEST_F(SocketServerCheck, WithoutTheSdkStartsTheFramework) {
  SavedString sdk(kSdkKey, L"Version");
  SavedString port(kDeviceKey, L"HTTPPort");
  sdk.Delete();
  {
    Socket probe;
    probe.Bind();
    port.Set(std::to_wstring(probe.Port()));  // a port free a moment ago
  }

  QuonValueSet response;
  EXPECT_EQ(Call(u"CheckCorvaneSocketServer", &response), 0);
  EXPECT_TRUE(Logged(u"[TesseraPluginService] quon_framework.exe not found"));
  EXPECT_TRUE(Logged(u"[TesseraPluginService]Launch Framework : true"));
  ASSERT_TRUE(WaitProcess(L"quon_framework.exe"));

  EXPECT_EQ(Call(u"CheckCorvaneSocketServer", &response), 0);
  EXPECT_TRUE(Logged(u"[TesseraPluginService] quon_framework.exe exist"));
  EXPECT_TRUE(Logged(u"[TesseraPluginService] CorvaneDevice.exe exist"));

  // With the SDK back, the running framework does not stand in for the socket server.
  sdk.Set(L"1.0");
  EXPECT_EQ(Call(u"CheckCorvaneSocketServer", &response), 0);
  EXPECT_TRUE(Logged(u"[TesseraPluginService]Launch CorvaneSocketServer : true"));
  EXPECT_TRUE(WaitProcess(L"CorvaneSocketServer.exe"));
}

}  // namespace
