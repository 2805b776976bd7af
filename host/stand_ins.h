// The components orbhost stands in for, each answering the requests routed
// to its identifier: the framework (system queries from the machine profile,
// toasts, lighting forwards, and wrapped "SendRequest" requests, which it
// unwraps and delivers), the console plug-in (reached through
// "Query.AppService"), the database plug-in, and fixed-answer peers.
// Every stand-in is safe to call from several threads at once.
#pragma once

#include <mutex>
#include <string>

#include "event_sink.h"
#include "machine_profile.h"
#include "output.h"
#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"
#include "value_json.h"

namespace orbhost {

class MessageRouter;

class StandIn {
 public:
  virtual ~StandIn() = default;
  // Answers one request (header already read, body parsed); fills reply and
  // returns the status handed back to the sender.
  virtual HRESULT Handle(const OrbMessageHeader& header, const QuonValueSet& request,
                         QuonValueSet& reply) = 0;
};

class ConsoleStandIn : public StandIn {
 public:
  ConsoleStandIn(const MachineProfile& profile, EventSink& events)
      : profile_(profile), events_(events) {}
  HRESULT Handle(const OrbMessageHeader& header, const QuonValueSet& request,
                 QuonValueSet& reply) override;

 private:
  const MachineProfile& profile_;
  EventSink& events_;
};

class FrameworkStandIn : public StandIn {
 public:
  FrameworkStandIn(const MachineProfile& profile, EventSink& events, StandIn& console,
                   MessageRouter& router)
      : profile_(profile), events_(events), console_(console), router_(router) {}
  HRESULT Handle(const OrbMessageHeader& header, const QuonValueSet& request,
                 QuonValueSet& reply) override;

 private:
  HRESULT Unwrap(const OrbMessageHeader& header, const QuonValueSet& request, QuonValueSet& reply);

  const MachineProfile& profile_;
  EventSink& events_;
  StandIn& console_;
  MessageRouter& router_;
};

// The database plug-in on SQLite files (Win32-only): "SQLCommand" runs its
// SQL text in the file "FilePath" names, "SQLQueryTable" answers a table's
// rows as a JSON array of objects, "Upload" checks a database file and
// copies it into the upload folder, which keeps the newest kKeptUploads
// files. Failures answer "CommandResult" false, with SQLite's message in the
// host log. The profile's Database section, where it names a command,
// replaces the answer.
class DatabaseStandIn : public StandIn {
 public:
  static constexpr size_t kKeptUploads = 20;

  DatabaseStandIn(const MachineProfile& profile, EventSink& events, LogSink& log,
                  std::wstring uploadFolder)
      : profile_(profile), events_(events), log_(log), uploadFolder_(std::move(uploadFolder)) {}
  HRESULT Handle(const OrbMessageHeader& header, const QuonValueSet& request,
                 QuonValueSet& reply) override;

 private:
  bool Execute(const std::u16string& file, const std::u16string& sql);
  bool QueryTable(const std::u16string& file, const std::u16string& table, std::string* rows);
  bool Upload(const std::u16string& folder, const std::u16string& name);
  void PruneUploads();
  void LogError(const std::string& text);

  const MachineProfile& profile_;
  EventSink& events_;
  LogSink& log_;
  const std::wstring uploadFolder_;
  std::mutex uploadMutex_;  // one copy and clean-up of the upload folder at a time
};

// %ProgramData%\Pelorus\orbhost\uploads (Win32-only).
std::wstring DefaultUploadFolder();

// Answers every request with one fixed answer.
class FixedStandIn : public StandIn {
 public:
  explicit FixedStandIn(MachineProfile::Answer answer) : answer_(std::move(answer)) {}
  HRESULT Handle(const OrbMessageHeader&, const QuonValueSet&, QuonValueSet& reply) override {
    return MachineProfile::Apply(answer_, reply);
  }

 private:
  MachineProfile::Answer answer_;
};

}  // namespace orbhost
