// Cost of SetFanSpeed under Wine (Win32-only; run by hand in the Wine
// machine, where the signed FanModeTool.exe is installed):
//
//   scripts/wine-run.sh build/windows/bench/windows/set_fan_speed_bench.exe [calls]
//
// SetFanSpeed end to end (the trust check of the tool, the embedded-signer
// check, the shell start, the wait for the tool's end, the registry write)
// next to the floor it cannot go below: a bare ShellExecuteExW start of the
// same program with the same parameters and a wait for its end. Then the two
// signature checks alone, which make up most of the difference. Each figure
// is the median of five runs (QueryPerformanceCounter); the runs of the two
// things compared alternate.
#include "support/win32.h"

#include <shellapi.h>

#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin/pelorus.h"
#include "qpc_harness.h"
#include "support/signature.h"
#include "support/win32_handles.h"

namespace {

// The figures go here: standard output itself is sent to NUL, since the
// embedded-signer check prints its diagnostics there on every call.
FILE* g_out = stdout;

void Report(const char* what, double microseconds) {
  std::fprintf(g_out, "%-52s %9.2f ms/call\n", what, microseconds / 1000.0);
}

bool StartAndWait(const std::wstring& program, const wchar_t* parameters) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpFile = program.c_str();
  info.lpParameters = parameters;
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info)) return false;
  unique_handle process(info.hProcess);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  std::fflush(stdout);
  if (FILE* kept = _fdopen(_dup(_fileno(stdout)), "w")) g_out = kept;
  if (std::freopen("NUL", "w", stdout) == nullptr) g_out = stdout;
  wchar_t programFiles[MAX_PATH] = {};
  GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
  const std::wstring tool =
      std::wstring(programFiles) + L"\\QUON\\CORVANE KIOSK Lite Service\\Pelorus\\FanModeTool.exe";

  Pelorus* plugin = static_cast<Pelorus*>(QueryLibrary(0));
  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(u"SetFanSpeed"));
  QuonValueSet* status = request.CreateChild("FanSpeedStatus");
  status->SetStringValue("dataType", std::u16string(u"FanSpeed"));
  status->SetStringValue("dataParam", std::u16string(u"2"));
  QuonValueSet response;
  if (plugin->ProcessRequest(nullptr, &request, &response) != 0 ||
      response.GetStringValue("FanStatus") != u"2" || !StartAndWait(tool, L" --mode 2")) {
    std::fprintf(stderr, "SetFanSpeed or the tool fails here (is %ls installed and signed?)\n",
                 tool.c_str());
    plugin->Release();
    return 1;
  }
  std::fprintf(g_out, "%ls\n%d calls per run, median of %d runs\n", tool.c_str(), calls,
               qpc::kRuns);

  auto setFanSpeed = [&](int) { plugin->ProcessRequest(nullptr, &request, &response); };
  auto bare = [&](int) { StartAndWait(tool, L" --mode 2"); };
  const auto [endToEnd, floor] = qpc::MicrosecondsPerCall(calls, setFanSpeed, bare);
  Report("SetFanSpeed, end to end", endToEnd);
  Report("ShellExecuteExW + wait, same tool (floor)", floor);

  auto trust = [&](int) { IsQuonSignature(plugin, tool.c_str()); };
  auto embedded = [&](int) { CheckEmbeddedSigner(tool.c_str()); };
  const auto [trustCheck, embeddedCheck] = qpc::MicrosecondsPerCall(calls, trust, embedded);
  Report("IsQuonSignature (WinVerifyTrust + signer)", trustCheck);
  Report("CheckEmbeddedSigner (signer only)", embeddedCheck);
  plugin->Release();
  std::fflush(g_out);
  return 0;
}
