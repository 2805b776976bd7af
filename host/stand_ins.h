// The components orbhost stands in for, each answering the requests routed
// to its identifier: the framework (system queries from the machine profile,
// toasts, lighting forwards, and wrapped "SendRequest" requests, which it
// unwraps and delivers), the console plug-in (reached through
// "Query.AppService"), the database plug-in, and fixed-answer peers.
// Every stand-in is safe to call from several threads at once.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "event_sink.h"
#include "machine_profile.h"
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

// Keeps, per database file, the tables that "SQLCommand" created and the rows
// it inserted; "SQLQueryTable" lists a table's rows; "Upload" succeeds for a
// file it knows.
class DatabaseStandIn : public StandIn {
 public:
  DatabaseStandIn(const MachineProfile& profile, EventSink& events)
      : profile_(profile), events_(events) {}
  HRESULT Handle(const OrbMessageHeader& header, const QuonValueSet& request,
                 QuonValueSet& reply) override;

 private:
  using Table = std::vector<std::u16string>;         // rows: the text inside Values(...)
  using Database = std::map<std::u16string, Table>;  // table name -> rows

  bool Execute(const std::u16string& file, const std::u16string& sql);

  const MachineProfile& profile_;
  EventSink& events_;
  std::mutex mutex_;
  std::map<std::u16string, Database> files_;
};

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
