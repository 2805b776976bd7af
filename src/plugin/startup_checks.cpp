// The start-up checks of Initialize (Win32-only): in the user-session
// instance on a mainboard machine the service setup program is verified and
// run; in every instance the feature step reads the feature word from the
// system-information library and may start the resume watcher.
#include "plugin/startup_checks.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "firmware/power_saving.h"
#include "plugin/pelorus.h"
#include "hwinfo/sysinfo_bridge.h"
#include "support/diag_log.h"
#include "support/service_utils.h"
#include "support/signature.h"

std::atomic<uint32_t> FeatureBits{0};

namespace {

using GetFeaturesFn = uint32_t (*)();

// The "ProgramFiles" value read now; empty when it is unset.
std::wstring ProgramFiles() {
  wchar_t value[MAX_PATH] = {};
  const DWORD chars = GetEnvironmentVariableW(L"ProgramFiles", value, MAX_PATH);
  return chars > 0 && chars < MAX_PATH ? std::wstring(value, chars) : std::wstring();
}

// `format` with the "ProgramFiles" value into a buffer of MAX_PATH; empty
// when the result would not fit.
void FormatPath(wchar_t (&path)[MAX_PATH], const wchar_t* format) {
  const std::wstring programFiles = ProgramFiles();
  if (std::swprintf(path, MAX_PATH, format, programFiles.c_str()) < 0) path[0] = L'\0';
}

}  // namespace

bool Pelorus::isSupportMotherboard() {
  // The library is loaded only once its signer passed the trust check, and
  // only as the file that was checked.
  wchar_t library[MAX_PATH];
  sysinfo::LibraryPath(library);
  PinnedFile pin;
  if (!IsQuonSignature(this, library, &pin)) {
    LogBoth(kOrbLogError,
            u"[PELORUS][Initialize] SysInfoProbe.dll refused: not signed by the maker, not loaded "
            u"for the mainboard test");
    return false;
  }
  sysinfo::Library probe(&pin);
  pin.Release();
  if (probe.Refused()) {
    LogBoth(kOrbLogError,
            u"[PELORUS][Initialize] SysInfoProbe.dll refused: the library loaded is not the "
            u"checked file");
    return false;
  }
  char productLine[sysinfo::kTextBytes] = {};
  probe.CallText("GetProductLine", productLine);
  productLine[sysinfo::kTextBytes - 1] = '\0';
  std::u16string wide;
  for (const char* p = productLine; *p != 0; ++p) wide.push_back(static_cast<unsigned char>(*p));
  Log(kOrbLogInfo, u"[isSupportMotherboard] ProductLine = %s", wide);
  dump_output_time(&SLog, "[isSupportMotherboard] ProductLine = %s", productLine);
  const bool supported = sysinfo::IsMotherboardProductLine(productLine);
  Log(kOrbLogInfo, u"[isSupportMotherboard] isSupportMotherboard = %d", supported ? 1 : 0);
  dump_output_time(&SLog, "[isSupportMotherboard] isSupportMotherboard = %d", supported ? 1 : 0);
  return supported;
}

void Pelorus::CheckUserSession() {
  if (!isSupportMotherboard()) return;
  wchar_t setupProgram[MAX_PATH];
  FormatPath(setupProgram,
             L"%ls\\QUON\\CORVANE KIOSK Lite Service\\Pelorus\\SetupQuonServices.exe");
  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] check SetupQuonServices signature");
  // Pinned until the setup program has been run.
  PinnedFile pin;
  if (IsQuonSignature(this, setupProgram, &pin)) {
    LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] check signature OK, before installSetupService");
    CheckServices();
    LogBoth(kOrbLogInfo,
            u"[PELORUS][Initialize] SetupQuonServices.exe Running ,IsQuonSignature = true");
  } else {
    Log(kOrbLogError,
        u"[PELORUS][Initialize] SetupQuonServices.exe doesn't run ,casue IsQuonSignature = false");
    dump_output_time(&SLog,
                     "[PELORUS][Initialize] [Initialize] SetupQuonServices.exe doesn't run ,casue "
                     "IsQuonSignature = false");
  }
}

bool Pelorus::RunFeatureStep() {
  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] GetFeatures Start");

  wchar_t library[MAX_PATH];
  sysinfo::LibraryPath(library);
  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] before check digital sigature");
  PinnedFile pin;
  const bool signedByMaker = IsQuonSignature(this, library, &pin);
  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] After check digital sigature");
  if (!signedByMaker) {
    LogBoth(kOrbLogError, u"[PELORUS][Initialize] SysInfoProbe.dll IsQuonSignature ERROR");
    return false;
  }

  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] before load OP dll");
  unique_hmodule module(LoadLibraryExW(library, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (module && !pin.ConfirmImage(module.get())) {
    module.reset();
    LogBoth(kOrbLogError,
            u"[PELORUS][Initialize] SysInfoProbe.dll refused: the library loaded is not the "
            u"checked file");
  }
  pin.Release();
  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] after load OP dll");
  const auto getFeatures = module ? reinterpret_cast<GetFeaturesFn>(reinterpret_cast<void*>(
                                        GetProcAddress(module.get(), "GetFeatures")))
                                  : nullptr;
  LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] after pGetFeaturesFuntion");

  uint32_t features = 0;
  if (getFeatures != nullptr) {
    features = getFeatures();
    FeatureBits = features;
    Log(kOrbLogInfo, u"[PELORUS][Initialize] getFeatures is %lu",
        static_cast<unsigned long>(features));
    dump_output_time(&SLog, "[PELORUS][Initialize] getFeatures is %lu",
                     static_cast<unsigned long>(features));
  } else {
    LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] getFeatures is NULL");
  }
  module.reset();
  dump_output_time(&SLog, "[PELORUS][Initialize] After FreeLibrary(pGetFeaturesFuntion)");

  if ((features & 1u) != 0) {
    LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] before ThreadFunction....");
    // The watcher runs until the process ends; its handle is not kept.
    StartResumeWatcher();
    LogBoth(kOrbLogInfo, u"[PELORUS][Initialize] after ThreadFunction....");
  }
  return true;
}
