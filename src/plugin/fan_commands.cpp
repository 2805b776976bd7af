// The fan commands (Win32-only): fan modes through the fan-mode tool, the
// smart-cooling library, which fan-tuning tool the board supports, and the
// restart on the older utility suite's behalf.
#include <cstdint>
#include <exception>
#include <string>

#include "firmware/acpi_bridge.h"
#include "plugin/fan_commands.h"
#include "firmware/fan_pilot.h"
#include "firmware/smart_cool_bridge.h"
#include "plugin/pelorus.h"
#include "hwinfo/sysinfo_bridge.h"
#include "support/decimal_text.h"
#include "support/diag_log.h"
#include "support/process_utils.h"
#include "support/signature.h"
#include "support/system_restart.h"
#include "support/win32_handles.h"

namespace {

constexpr wchar_t kInstallSubfolder[] = L"\\QUON\\CORVANE KIOSK Lite Service\\Pelorus";
constexpr wchar_t kFanPatchKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\QuonFanService";
constexpr wchar_t kFanPatchValue[] = L"BIOS fan patch";
static_assert(KEY_WRITE == 0x20006);

// The program-files folder (empty when the variable is not set).
std::wstring ProgramFilesFolder() {
  wchar_t folder[MAX_PATH] = {};
  DWORD chars = GetEnvironmentVariableW(L"ProgramFiles", folder, MAX_PATH);
  if (chars >= MAX_PATH) folder[0] = 0;
  return folder;
}

// A companion file of the installation folder, formatted into MAX_PATH characters.
std::wstring CompanionPath(const wchar_t* fileName) {
  wchar_t path[MAX_PATH] = {};
  _snwprintf_s(path, MAX_PATH, _TRUNCATE, L"%ls%ls\\%ls", ProgramFilesFolder().c_str(),
               kInstallSubfolder, fileName);
  return path;
}

std::u16string Widen(const char* text) {
  std::u16string wide;
  for (const char* p = text; p != nullptr && *p != 0; ++p) {
    wide.push_back(static_cast<unsigned char>(*p));
  }
  return wide;
}

// Host-log arguments as the diagnostic log's printf takes them.
template <class A>
A DiagArg(const A& a) {
  return a;
}
inline const wchar_t* DiagArg(const std::u16string& s) {
  return AsWide(s);
}
inline const wchar_t* DiagArg(const char16_t* s) {
  return AsWide(s);
}

// One line to the host log (at `level`) and to the diagnostic log. The
// format is this file's own ASCII literal; texts arrive as arguments.
template <class... Args>
void FanLog(const Pelorus* plugin, uint32_t level, const char16_t* format, const Args&... args) {
  plugin->Log(level, format, args...);
  std::string narrow;
  for (const char16_t* p = format; *p != 0; ++p) narrow.push_back(static_cast<char>(*p));
  dump_output_time(&SLog, narrow.c_str(), DiagArg(args)...);
}

}  // namespace

// --- SetFanSpeed -------------------------------------------------------------------

HRESULT Pelorus::DoSetFanSpeed(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  const std::wstring tool = CompanionPath(L"FanModeTool.exe");
  // Pinned from the check until the tool has run.
  PinnedFile pin;
  if (!IsQuonSignature(this, tool.c_str(), &pin)) {
    FanLog(this, kOrbLogError, u"[PELORUS][DoSetFanSpeed] FanModeTool.exe IsQuonSignature ERROR");
    return 1;
  }
  try {
    // Without the "FanSpeedStatus" child every value reads as empty, and the
    // empty "dataParam" ends the command like any other text that is no number.
    QuonValueSet none;
    const QuonValueSet* status = request->GetChild("FanSpeedStatus");
    if (status == nullptr) status = &none;
    const std::u16string command = status->GetStringValue("command");  // not used
    const std::u16string service = status->GetStringValue("service");  // not used
    const std::u16string dataType = status->GetStringValue("dataType");
    const std::u16string dataParam = status->GetStringValue("dataParam");

    if (dataType == u"FanSpeed") {
      const int32_t speed = DecimalToInt(dataParam);
      if (speed >= 0 && speed <= 3) {
        FanLog(this, kOrbLogInfo, u"[PELORUS][DoSetFanSpeed] FanSpeed = %d", speed);
      }
    }
    const int32_t mode = DecimalToInt(dataParam);

    wchar_t parameters[MAX_PATH] = {};
    _snwprintf_s(parameters, MAX_PATH, _TRUNCATE, L" --mode %d", mode);
    DWORD exitCode = 0;
    const bool ran = RunSignedAndWait(tool.c_str(), parameters, &exitCode);
    FanLog(this, kOrbLogInfo, u"runcmd result = %d", ran ? 1 : 0);
    if (!ran) exitCode = 0;

    // The fan service reads the patch value; it is reset whatever the tool did.
    unique_hkey key;
    const LSTATUS created =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFanPatchKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, key.put(), nullptr);
    if (created != ERROR_SUCCESS) {
      FanLog(this, kOrbLogError, u"RegCreateKeyEx error %d", static_cast<int>(created));
    } else {
      const DWORD zero = 0;
      if (RegSetValueExW(key.get(), kFanPatchValue, 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&zero), sizeof zero) != ERROR_SUCCESS) {
        FanLog(this, kOrbLogError, u"Error writing Dword to Registry.");
      }
    }

    response->SetStringValue("FanStatus", dataParam);
    return ran && exitCode != 0 ? 1 : 0;
  } catch (const std::exception& e) {
    FanLog(this, kOrbLogError, u"[PELORUS][DoSetFanSpeed] error = %ls", Widen(e.what()));
    return 0;
  }
}

// --- DoAiControl -------------------------------------------------------------------

HRESULT Pelorus::DoAiControl(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response) {
  const std::wstring library = CompanionPath(L"SmartCoolLib.dll");
  // Pinned from the check until the request's loads are done; each load must
  // be the checked file.
  PinnedFile pin;
  if (!IsQuonSignature(this, library.c_str(), &pin)) {
    FanLog(this, kOrbLogError, u"[PELORUS][DoAiControl] AI Control IsQuonSignature ERROR");
    return 1;
  }
  struct VerifiedDuringRequest {
    explicit VerifiedDuringRequest(const PinnedFile* p) { AIControlHandler::SetVerifiedFile(p); }
    ~VerifiedDuringRequest() { AIControlHandler::SetVerifiedFile(nullptr); }
  } verified(&pin);
  try {
    const std::u16string mainCommand = request->GetStringValue("mainCommand");  // not used
    const std::u16string serviceId = request->GetStringValue("serviceID");      // not used
    const std::u16string subCommand = request->GetStringValue("subCommand");
    const int32_t itemType = request->GetIntValue("itemType");
    const int32_t itemValue = request->GetIntValue("itemValue");

    // The bridge's lines name the caller, as the landing page's back ends do.
    AIControlHandler::SetLogSink(m_logCallback, m_logContext, caller);
    FanLog(this, kOrbLogInfo,
           u"[PELORUS][DoAiControl]  [AiControl], functionType = %ls, itemType= %d, itemValue= %d",
           subCommand, itemType, itemValue);

    const uint32_t type = static_cast<uint32_t>(itemType);
    if (subCommand == u"CheckSupport") {
      response->SetValue(
          "result", new QuonValueSet::OrbValue(AIControlHandler::checkIsSupportAIFunction(type)));
    } else if (subCommand == u"SetItem") {
      uint32_t value = static_cast<uint32_t>(itemValue);
      response->SetValue(
          "result", new QuonValueSet::OrbValue(AIControlHandler::setItemSetting(type, &value)));
    } else if (subCommand == u"GetItem") {
      uint32_t value = static_cast<uint32_t>(itemValue);
      const bool read = AIControlHandler::getItemSetting(type, &value);
      FanLog(this, kOrbLogInfo, u"[PELORUS][DoAiControl]  [GetItem], result = %d, itemValue = %d",
             read ? 1 : 0, static_cast<int32_t>(value));
      response->SetValue("itemValue", new QuonValueSet::OrbValue(static_cast<int32_t>(value)));
    } else if (subCommand == u"Reboot") {
      const bool restarted = RebootSystem();
      FanLog(this, kOrbLogInfo,
             u"[PELORUS][DoAiControl]  [Reboot], === END reboot command, result = %d",
             restarted ? 1 : 0);
    }
    return 0;
  } catch (const std::exception& e) {
    FanLog(this, kOrbLogError, u"[PELORUS][DoAiControl] error = %ls", Widen(e.what()));
    return 0;
  }
}

// --- Fan-tuning tool support ---------------------------------------------------------

uint32_t GetFanPilotVersion() {
  char productLine[sysinfo::kTextBytes] = {};
  sysinfo::GetProductLine(productLine);
  dump_output_time(&SLog, "ProductLine = %s", productLine);
  uint32_t feature = 0;
  if (std::string(productLine) == "Motherboard") {
    uint8_t block[kMbifBufferBytes] = {};
    uint32_t length = kMbifBufferBytes;
    if (AcpiMbif(block, &length) != 0) feature = FeatureWordFromMbif(block, kMbifBufferBytes);
  }
  dump_output_time(&SLog, "GetMbInfo feature = %d", static_cast<int>(feature));
  return feature;
}

HRESULT Pelorus::AnswerFanPilotSupport(QuonValueSet* request, QuonValueSet* response,
                                       bool dashboard) {
  try {
    ComInitialization com;
    const QuonValueSet* info = request->GetChild("MBInfo");
    const std::u16string command = info != nullptr ? info->GetStringValue("command") : u"";
    FanLog(this, kOrbLogInfo,
           dashboard ? u"[PELORUS][DoGetTesseraPluginInfoForDashbaord] command = %ls"
                     : u"[PELORUS][DoGetTesseraPluginInfo] command = %ls",
           command);
    const FanPilotLabels labels = FanPilotLabelsFor(FanPilotGeneration(GetFanPilotVersion()));
    const char16_t* label = dashboard ? labels.dashboard : labels.plugin;
    response->SetStringValue("IsMBSupported", std::u16string(label));
    if (dashboard) {
      FanLog(this, kOrbLogInfo,
             u"[PELORUS][DoGetTesseraPluginInfoForDashbaord] isSupportFanControl = %ls, "
             u"supportModel: %ls",
             labels.supported ? u"true" : u"false", label);
    }
  } catch (const std::exception& e) {
    FanLog(this, kOrbLogError, u"[DoGetTesseraPluginInfo] error = %ls", Widen(e.what()));
  }
  return 0;
}

HRESULT Pelorus::DoGetTesseraPluginInfo(IOrbLibrary*, QuonValueSet* request,
                                        QuonValueSet* response) {
  return AnswerFanPilotSupport(request, response, false);
}

HRESULT Pelorus::DoGetTesseraPluginInfoForDashbaord(IOrbLibrary*, QuonValueSet* request,
                                                    QuonValueSet* response) {
  return AnswerFanPilotSupport(request, response, true);
}

// --- DoTesseraReboot ---------------------------------------------------------------

HRESULT Pelorus::DoTesseraReboot(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  try {
    const QuonValueSet* reboot = request->GetChild("TesseraReboot");
    const std::u16string command = reboot != nullptr ? reboot->GetStringValue("command") : u"";
    FanLog(this, kOrbLogInfo, u"[DoTesseraReboot], command = %ls", command);
    // Whatever the command says, the machine restarts.
    const bool restarted = RebootSystem();
    FanLog(this, kOrbLogInfo, u"[DoTesseraReboot], After reboot command, result = %d",
           restarted ? 1 : 0);
  } catch (const std::exception& e) {
    FanLog(this, kOrbLogError, u"[DoTesseraReboot] error = %ls", Widen(e.what()));
  }
  return 0;
}
