// Win32-only: `orbhost serve`: the plug-in thread, the token and the run.
#include "serve.h"

#include "support/win32.h"

#include <bcrypt.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "framing.h"
#include "plugin_loader.h"
#include "requests.h"
#include "router.h"
#include "serve_http.h"
#include "serve_routes.h"
#include "support/win32_handles.h"
#include "utf.h"

namespace orbhost {
namespace {

using Clock = std::chrono::steady_clock;
using Value = QuonValueSet::OrbValue;

std::wstring Wide(const std::string& text) {
  return AsWide(Utf8ToUtf16(text).c_str());
}

std::string Narrow(const std::wstring& text) {
  return Utf16ToUtf8(AsU16Text(text.c_str()));
}

// A power scheme's name where Windows keeps it; an indirect "@file,-id,Name"
// text gives its last part.
std::string PowerPlanName(const std::string& guid) {
  if (guid.empty()) return {};
  const std::wstring key =
      L"SYSTEM\\CurrentControlSet\\Control\\Power\\User\\PowerSchemes\\" + Wide(guid);
  wchar_t buffer[256];
  DWORD bytes = sizeof buffer;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FriendlyName", RRF_RT_REG_SZ, nullptr, buffer,
                   &bytes) != ERROR_SUCCESS)
    return {};
  std::string name = Narrow(buffer);
  if (!name.empty() && name[0] == '@') name = name.substr(name.find_last_of(',') + 1);
  return name;
}

// The plug-in thread and what it publishes.
class Sampler final : public ServeBackend {
 public:
  Sampler(const Options& options, const PluginLibrary& library, HostServices* services,
          MessageRouter& router, const HardwareUnits& units)
      : options_(options), library_(library), services_(services), router_(router), units_(units) {}

  std::shared_ptr<const Snapshot> Latest() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
  }

  std::vector<std::shared_ptr<const Snapshot>> History(double seconds) const override {
    const auto since = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<const Snapshot>> out;
    for (const auto& s : history_) {
      if (s->takenSteady >= since) out.push_back(s);
    }
    return out;
  }

  CommandStats Stats() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
  }

  bool SamplingRuns() const override { return running_; }

  bool Submit(std::shared_ptr<CommandJob> job) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running_ || jobs_.size() >= kMaxWaitingCommands) return false;
      jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
  }

  bool Stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ || finished_;
  }

  // Waits until Stop, the plug-in thread's end, or the timeout.
  void WaitForStop(Clock::duration timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeout == Clock::duration::zero()) {
      wake_.wait(lock, [&] { return stop_ || finished_; });
    } else {
      wake_.wait_for(lock, timeout, [&] { return stop_ || finished_; });
    }
  }

  int exitCode() const { return exitCode_; }

  // The plug-in thread.
  void Run() {
    PluginSession session(library_, options_.userSession ? 1 : 0, services_);
    if (!session.valid()) {
      std::cerr << "orbhost: QueryLibrary returned no plug-in object\n";
      Finish(3);
      return;
    }
    router_.SetPlugin(session.plugin(), session.id());
    const HRESULT initialized = session.Initialize();
    if (initialized != S_OK) {
      std::cerr << "orbhost: Initialize returned " << StatusText(initialized)
                << (options_.strictInit ? "; stopping (--strict-init)" : "; going on") << "\n";
      if (options_.strictInit) {
        session.Shutdown();
        Finish(4);
        return;
      }
    }
    OrbVersion version{};
    session.plugin()->GetVersion(&version);
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", version.major, version.minor, version.build,
                  version.revision);
    base_.pluginVersion = text;
    base_.initializeStatus = static_cast<uint32_t>(initialized);
    session_ = &session;

    const auto interval = std::chrono::seconds(options_.interval);
    const auto slowInterval = std::chrono::seconds(options_.slowInterval);
    Clock::time_point nextRound = Clock::now();
    Clock::time_point nextSlow = nextRound;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      const Clock::time_point now = Clock::now();
      if (now >= nextRound) {
        // Sampling keeps its turn: a due round runs before the next command.
        lock.unlock();
        const bool slow = now >= nextSlow;
        Round(slow);
        if (slow) nextSlow = now + slowInterval;
        nextRound = std::max(nextRound + interval, Clock::now());
        lock.lock();
        continue;
      }
      if (!jobs_.empty()) {
        std::shared_ptr<CommandJob> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        RunJob(*job);
        lock.lock();
        continue;
      }
      wake_.wait_until(lock, nextRound);
    }
    running_ = false;
    jobs_.clear();
    lock.unlock();

    session_ = nullptr;
    const ULONG remaining = session.Shutdown();
    if (remaining != 0) {
      std::cerr << "orbhost: the plug-in object still has " << remaining
                << " references after the last Release\n";
    }
    Finish(0);
  }

 private:
  void Finish(int code) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exitCode_ = code;
      finished_ = true;
      running_ = false;
    }
    wake_.notify_all();
  }

  // One plug-in call, timed and counted.
  bool Call(QuonValueSet& request, CallResult* result) {
    const Clock::time_point start = Clock::now();
    session_->Call(request, result);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool ok = result->replyValid && result->status == S_OK;
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.Record(Utf16ToUtf8(request.GetStringValue("Cmd")), seconds, !ok);
    return ok;
  }

  static uint32_t StatusOf(const CallResult& r) {
    return r.replyValid ? static_cast<uint32_t>(r.status) : 0xFFFFFFFFu;
  }

  // Calls a command without arguments.
  bool CallSimple(const char16_t* command, CallResult* result) {
    QuonValueSet request;
    request.SetStringValue("Cmd", command);
    return Call(request, result);
  }

  bool CallLandingPage(int32_t dllType, CallResult* result) {
    QuonValueSet request;
    request.SetStringValue("Cmd", u"GetOPLandingPageInfo");
    request.SetValue("dllType", new Value(dllType));
    request.SetStringValue("dataType", u"All");
    request.SetStringValue("dataParam", u"All");
    return Call(request, result);
  }

  // Samples one block into next: fn returns the block's status (the first
  // failing call's, else 0) and writes only what it read successfully, so a
  // failing back end leaves its last good data in place.
  template <typename Fn>
  void SampleBlock(Block block, Snapshot& next, Fn fn) {
    BlockState& state = next.blocks[static_cast<size_t>(block)];
    state.readAt = std::chrono::system_clock::now();
    const Clock::time_point start = Clock::now();
    const uint32_t status = fn();
    state.durationSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.sampled = true;
    state.status = status;
    if (status == 0) {
      state.lastGoodAt = state.readAt;
    } else {
      ++state.failures;
    }
  }

  void Round(bool slow) {
    std::shared_ptr<const Snapshot> previous = Latest();
    auto next = std::make_shared<Snapshot>(previous ? *previous : base_);

    SampleBlock(Block::kHardwareMonitor, *next, [&]() -> uint32_t {
      CallResult r;
      if (!CallLandingPage(0, &r)) return StatusOf(r);
      next->hardwareMonitor = ConvertHardwareMonitor(r.response, units_);
      return 0;
    });
    SampleBlock(Block::kUsage, *next, [&]() -> uint32_t {
      CallResult r;
      if (!CallLandingPage(4, &r)) return StatusOf(r);
      ConvertUsage(r.response, next.get());
      return 0;
    });
    SampleBlock(Block::kPower, *next, [&]() -> uint32_t {
      uint32_t status = 0;
      CallResult plan, saving, limit;
      if (CallSimple(u"GetActivePowerPlan", &plan)) {
        next->powerPlanGuid = Utf16ToUtf8(plan.response.GetStringValue("active_plan"));
        next->powerPlanName = PowerPlanName(next->powerPlanGuid);
      } else if (status == 0) {
        status = StatusOf(plan);
      }
      if (CallSimple(u"GetCpuFlag", &saving)) {
        next->cpuPowerSaving = saving.response.GetIntValue("cpu_flag") != 0;
      } else if (status == 0) {
        status = StatusOf(saving);
      }
      if (CallSimple(u"GetPPTLimit", &limit)) {
        next->packagePowerLimitWatts = limit.response.GetIntValue("ppt_limit");
      } else if (status == 0) {
        status = StatusOf(limit);
      }
      return status;
    });
    if (slow) {
      SampleBlock(Block::kSystem, *next, [&]() -> uint32_t {
        uint32_t status = 0;
        CallResult info, vendor, features;
        if (CallLandingPage(2, &info)) {
          ConvertSystem(info.response, next.get());
        } else {
          status = StatusOf(info);
        }
        if (CallSimple(u"GetCpuVendor", &vendor)) {
          next->processorVendor = Utf16ToUtf8(vendor.response.GetStringValue("cpu_vendor"));
        } else if (status == 0) {
          status = StatusOf(vendor);
        }
        if (CallSimple(u"GetFeatures", &features)) {
          next->featureWord = features.response.GetIntValue("features");
        } else if (status == 0) {
          status = StatusOf(features);
        }
        return status;
      });
      SampleBlock(Block::kCooling, *next, [&]() -> uint32_t {
        uint32_t status = 0;
        CallResult profile, generation;
        QuonValueSet profileRequest;
        profileRequest.SetStringValue("Cmd", u"DoAiControl");
        profileRequest.SetStringValue("subCommand", u"GetItem");
        profileRequest.SetValue("itemType", new Value(int32_t{1}));  // the cooling profile
        if (Call(profileRequest, &profile) && profile.response.Contains("itemValue")) {
          next->coolingProfile = profile.response.GetIntValue("itemValue");
        } else {
          status = StatusOf(profile);
        }
        if (CallSimple(u"GetTesseraPluginInfoForDashbaord", &generation)) {
          next->fanToolGeneration =
              Utf16ToUtf8(generation.response.GetStringValue("IsMBSupported"));
        } else if (status == 0) {
          status = StatusOf(generation);
        }
        return status;
      });
      // The CPU-Z dump waits a second inside the plug-in by design.
      SampleBlock(Block::kCpuz, *next, [&]() -> uint32_t {
        CallResult r;
        if (!CallLandingPage(1, &r)) return StatusOf(r);
        next->cpuz = ConvertCpuz(r.response);
        return 0;
      });
    }

    next->sequence = previous ? previous->sequence + 1 : 1;
    next->takenAt = std::chrono::system_clock::now();
    next->takenSteady = Clock::now();
    next->jsonText = SnapshotJson(*next).dump(-1, ' ', false, Json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex_);
    latest_ = next;
    history_.push_back(next);
    const auto keep = std::chrono::seconds(static_cast<int>(kMaxHistorySeconds));
    while (!history_.empty() && history_.front()->takenSteady < next->takenSteady - keep)
      history_.pop_front();
  }

  void RunJob(CommandJob& job) {
    if (job.abandoned) return;  // its client was answered 504 already
    CallResult result;
    Call(job.request, &result);
    HttpReply reply;
    reply.body =
        AnswerJson(result, job.form == JsonForm::kTyped ? OutputForm::kTyped : OutputForm::kPlain)
            .dump(-1, ' ', false, Json::error_handler_t::replace);
    job.done(std::move(reply));
  }

  const Options& options_;
  const PluginLibrary& library_;
  HostServices* services_;
  MessageRouter& router_;
  const HardwareUnits units_;
  PluginSession* session_ = nullptr;  // the plug-in thread's, while it runs
  Snapshot base_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<CommandJob>> jobs_;
  std::shared_ptr<const Snapshot> latest_;
  std::deque<std::shared_ptr<const Snapshot>> history_;
  CommandStats stats_;
  std::atomic<bool> running_{false};
  bool stop_ = false;
  bool finished_ = false;
  int exitCode_ = 0;
};

Sampler* g_sampler = nullptr;
unique_handle g_finished;  // set when serve has shut the plug-in down

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (g_sampler == nullptr) return FALSE;
  g_sampler->Stop();
  // Windows ends the process when a close handler returns: give the
  // plug-in its Uninitialize first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(g_finished.get(), 4000);
  return TRUE;
}

std::string Hex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// "D:P(A;;FA;;;<user SID>)": only the current user, nothing inherited.
bool UserOnlyDescriptor(unique_hlocal* descriptor) {
  unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
    return false;
  wchar_t* sid = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid))
    return false;
  unique_hlocal sidText(sid);
  const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                            nullptr))
    return false;
  descriptor->reset(sd);
  return true;
}

}  // namespace

std::wstring PelorusDataFile(const wchar_t* name) {
  wchar_t local[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  const std::wstring folder = std::wstring(local) + L"\\Pelorus";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\" + name;
}

bool LoadOrCreateToken(const std::wstring& path, std::string* token, std::string* error) {
  if (path.empty()) {
    *error = "no token file: %LOCALAPPDATA% is not set (use --token-file)";
    return false;
  }
  unique_hfile existing(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (existing) {
    char buffer[256];
    DWORD read = 0;
    if (!ReadFile(existing.get(), buffer, sizeof buffer, &read, nullptr)) read = 0;
    std::string text(buffer, read);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    const bool hex = text.size() >= 32 && text.size() < sizeof buffer &&
                     text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!hex) {
      *error = "the token file " + Narrow(path) + " holds no token (at least 32 hex digits)";
      return false;
    }
    *token = text;
    return true;
  }
  uint8_t bytes[32];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    *error = "no random bytes for the token";
    return false;
  }
  const std::string text = Hex(bytes, sizeof bytes);
  unique_hlocal descriptor;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  if (UserOnlyDescriptor(&descriptor)) attributes.lpSecurityDescriptor = descriptor.get();
  unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file ||
      !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size()) {
    *error = "cannot write the token file " + Narrow(path);
    return false;
  }
  *token = text;
  return true;
}

int RunServe(const Options& options, const PluginLibrary& library, HostServices* services,
             MessageRouter& router, const HardwareUnits& units, const std::wstring& logPath) {
  const std::wstring tokenPath =
      options.tokenFile.empty() ? PelorusDataFile(L"serve.token") : Wide(options.tokenFile);
  std::string token, error;
  if (!LoadOrCreateToken(tokenPath, &token, &error)) {
    std::cerr << "orbhost: " << error << "\n";
    return 2;
  }

  g_finished.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Sampler sampler(options, library, services, router, units);
  std::thread pluginThread([&] { sampler.Run(); });

  ServeSettings settings;
  settings.hosts.port = options.port;
  settings.hosts.allowedHosts = options.allowHosts;
  settings.token = token;
  settings.allowRemoteActions = options.allowRemoteActions;
  settings.allowRestart = options.allowRestart;
  settings.intervalSeconds = options.interval;
  ServeRouter routes(sampler, settings);
  std::unique_ptr<HttpServer> server =
      HttpServer::Start(options.bind, options.port, routes, &error);
  if (!server) {
    std::cerr << "orbhost: " << error << "\n";
    sampler.Stop();
    pluginThread.join();
    return 2;
  }
  g_sampler = &sampler;
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);

  const bool loopback = options.bind == "127.0.0.1" || options.bind == "::1";
  const std::string shown =
      options.bind.find(':') != std::string::npos ? "[" + options.bind + "]" : options.bind;
  std::cerr << "orbhost serve: listening on http://" << shown << ":" << options.port << "/\n";
  if (!loopback) {
    std::cerr << "orbhost serve: warning: bound to " << options.bind
              << ", so other machines can reach this server; acting commands still need the "
                 "token"
              << (options.allowRemoteActions ? ", which travels in clear text" : " and loopback")
              << "\n";
  }
  std::cerr << "orbhost serve: token file " << Narrow(tokenPath) << "\n";
  std::cerr << "orbhost serve: host log " << (logPath.empty() ? "standard error" : Narrow(logPath))
            << "\n";
  std::cerr.flush();

  if (options.stopAfter > 0) {
    sampler.WaitForStop(std::chrono::seconds(options.stopAfter));
  } else {
    sampler.WaitForStop(Clock::duration::zero());
  }
  std::cerr << "orbhost serve: stopping\n";
  server->Stop();
  sampler.Stop();
  pluginThread.join();  // Uninitialize and Release happen here; queued jobs are dropped
  server.reset();
  SetEvent(g_finished.get());
  g_sampler = nullptr;
  return sampler.exitCode();
}

}  // namespace orbhost
