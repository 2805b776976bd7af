// "GetOPLandingPageInfo": the landing page's hardware information from one of
// three back ends, chosen by "dllType", each verified by its code signature
// before it is used (Win32-only).
#include <cstring>
#include <exception>
#include <string>

#include "plugin/pelorus.h"
#include "hwinfo/cpuz_dump.h"
#include "hwinfo/hmsp_bridge.h"
#include "hwinfo/sysinfo_bridge.h"
#include "support/signature.h"
#include "support/text_conversions.h"

namespace {

enum DllType : int32_t { kHmsp = 0, kCpuz = 1, kHwInfo = 2, kDeviceHalDetect = 3, kHwUsage = 4 };

// The HMSP categories by dataType (exact, case-sensitive); -1 for any other text.
int32_t HmspCategory(const std::string& dataType) {
  static const char* const kNames[] = {"All",        "Frequency", "Voltage",
                                       "Temperatue", "Fan",       "WaterFlow"};
  for (int32_t i = 0; i < 6; ++i) {
    if (dataType == kNames[i]) return i;
  }
  return -1;
}

const char16_t* TrueFalse(bool value) {
  return value ? u"true" : u"false";
}

std::u16string Wide(const std::string& narrow) {
  return ToU16(NarrowToWideBstr(narrow));
}

QuonValueSet* Child(QuonValueSet* parent, const std::string& key) {
  QuonValueSet* child = parent->GetChild(key);
  return child != nullptr ? child : parent->CreateChild(key);
}

}  // namespace

HRESULT Pelorus::DoGetOPLandingPageInfo(IOrbLibrary* caller, QuonValueSet* request,
                                        QuonValueSet* response) {
  try {
    SetCpuzLogSink(m_logCallback, m_logContext, caller);
    wchar_t programFiles[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH) >= MAX_PATH) {
      programFiles[0] = 0;
    }
    wchar_t folder[MAX_PATH] = {};
    std::swprintf(folder, MAX_PATH, L"%ls\\QUON\\CORVANE KIOSK Lite Service\\Pelorus",
                  programFiles);
    auto libraryPath = [&folder](const wchar_t* name) {
      wchar_t path[MAX_PATH] = {};
      std::swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
      return std::wstring(path);
    };

    const std::u16string command = request->GetStringValue("command");
    (void)request->GetStringValue("service");  // read and not used
    const int32_t dllType = request->GetIntValue("dllType");
    const std::string dataType = WideToNarrowBstr(ToWide(request->GetStringValue("dataType")));
    const std::string dataParam = WideToNarrowBstr(ToWide(request->GetStringValue("dataParam")));
    const std::u16string dataTypeText = Wide(dataType);

    switch (dllType) {
      case kHmsp: {
        // Pinned until the library is loaded (on the first read; it then
        // stays loaded, and later checks reuse the verdict while its image
        // is the file at that path).
        PinnedFile pin;
        if (!IsQuonSignature(this, libraryPath(L"hmcore_x64.dll").c_str(), &pin,
                             HmspLoadedLibrary())) {
          Log(kOrbLogError, u"[PELORUS][DoGetOPLandingPageInfo] HMSP IsQuonSignature ERROR");
          return 1;
        }
        struct PinDuringRead {
          explicit PinDuringRead(const PinnedFile* p) { SetHmspLibraryPin(p); }
          ~PinDuringRead() { SetHmspLibraryPin(nullptr); }
        } pinDuringRead(&pin);
        initialLogParamForHmsp(m_logCallback, m_logContext, caller);
        Log(kOrbLogInfo, u"[PELORUS][DoGetOPLandingPageInfo]  [HMSP], dataType= %s", dataTypeText);
        if (!HasBeenCheckHmspService()) checkIfHmspRun(L"hbComSvc");
        Log(kOrbLogInfo,
            u"[PELORUS][DoGetOPLandingPageInfo]  [HMSP], isHmspServiceRun = %ls, hasCheckHmsp = "
            u"%ls, star HMSP",
            TrueFalse(IsHmspServiceRun()), TrueFalse(HasBeenCheckHmspService()));
        if (!IsHmspServiceRun()) {
          Log(kOrbLogError, u"[PELORUS][DoGetOPLandingPageInfo]  [HMSP], Hmsp is NOT running...");
          return 1;
        }
        const int32_t category = HmspCategory(dataType);
        if (category >= 0) {
          GetHardwareInfo(static_cast<uint32_t>(category), Child(response, dataType));
        }
        Log(kOrbLogInfo, u"[PELORUS][HWInfo] END HMSP");
        return 0;
      }
      case kCpuz: {
        wchar_t signer[kSignatureTextChars] = {}, serial[kSignatureTextChars] = {},
                signTime[kSignatureTextChars] = {};
        const bool read = GetSignatureInfo(this, libraryPath(L"cpuidsdk64.dll").c_str(), signer,
                                           serial, signTime);
        if (!read || !IsCpuidSigner(signer)) {
          Log(kOrbLogError,
              u"[PELORUS][DoGetOPLandingPageInfo] [Cpuz] GetSignatureInfo ERROR,signature = %ls, "
              u"serialNumber = %ls, signTime = %ls",
              AsU16Text(signer), AsU16Text(serial), AsU16Text(signTime));
          return 1;
        }
        Log(kOrbLogInfo,
            u"[PELORUS][DoGetOPLandingPageInfo][Cpuz], dataType= %s, dataParam= %s, star load cpuz "
            u"info...",
            dataTypeText, Wide(dataParam));
        loadCPUzInfo(dataType, dataParam, Child(response, "All"));
        Log(kOrbLogInfo, u"[PELORUS][HWInfo][Cpuz] END loadCPUzInfo");
        return 0;
      }
      case kHwInfo:
      case kDeviceHalDetect:
      case kHwUsage: {
        static const char16_t* const kStart[] = {u"[PELORUS][HWInfo] start dll_hwInfo",
                                                 u"[PELORUS][HWInfo] start dll_devicehaldetect",
                                                 u"[PELORUS][HWInfo] start dll_hwUsage"};
        static const char16_t* const kEnd[] = {u"[PELORUS][HWInfo] END dll_hwInfo",
                                               u"[PELORUS][HWInfo] END dll_devicehaldetect",
                                               u"[PELORUS][HWInfo] END start dll_hwUsage"};
        const int32_t which = dllType - kHwInfo;
        Log(kOrbLogInfo, kStart[which]);
        PinnedFile pin;
        if (!IsQuonSignature(this, libraryPath(L"SysInfoProbe.dll").c_str(), &pin)) {
          Log(kOrbLogError,
              u"[PELORUS][DoGetOPLandingPageInfo] SysInfoProbe.dll IsQuonSignature ERROR");
          return 1;
        }
        // One load for the whole request, unloaded when it ends.
        sysinfo::Library library(&pin);
        pin.Release();
        if (library.Refused()) {
          Log(kOrbLogError,
              u"[PELORUS][DoGetOPLandingPageInfo] SysInfoProbe.dll loaded is not the checked "
              u"file");
          return 1;
        }
        QuonValueSet* all = Child(response, "All");
        if (dllType == kHwInfo) {
          Log(kOrbLogInfo, u"[PELORUS][DoGetOPLandingPageInfo]  [hwInfo], dataType= %s",
              dataTypeText);
          sysinfo::DumpHwInfo(library, all);
        } else if (dllType == kDeviceHalDetect) {
          Log(kOrbLogInfo,
              u"[PELORUS][DoGetOPLandingPageInfo]  [DeviceHalDetect], command = %s, dataType= %ls",
              command, dataTypeText);
          const bool supported = sysinfo::GetMBSupport(library, all);
          Log(kOrbLogInfo, u"[PELORUS][DoGetOPLandingPageInfo] END GetMBSupport ,result= %ls",
              TrueFalse(supported));
        } else {
          Log(kOrbLogInfo, u"[PELORUS][DoGetOPLandingPageInfo]  [hwUsage], dataType= %s",
              dataTypeText);
          sysinfo::GetHardwareUsage(library, all);
          Log(kOrbLogInfo, u"[PELORUS][HWInfo] END GetHardwareUsage");
        }
        Log(kOrbLogInfo, kEnd[which]);
        return 0;
      }
      default:
        return 0;
    }
  } catch (const std::exception& e) {
    Log(kOrbLogError, u"[PELORUS][DoGetOPLandingPageInfo] error = %ls",
        ToU16(NarrowToWideBstr(e.what())));
    return 1;
  }
}
