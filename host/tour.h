// Win32-only: the tour, a readable report of the plug-in: its identity and
// start-up, then every implemented command that reads information, in a
// sensible order. Commands that the plug-in does not know yet are listed as
// such; commands that change the machine are named but not called. The
// host log lines and whatever the plug-in prints go to a log file of their
// own (named at the end), so the report reads on its own.
#pragma once

#include "command_line.h"
#include "event_sink.h"
#include "output.h"
#include "plugin_loader.h"

namespace orbhost {

struct TourContext {
  const Options& options;
  const PluginLibrary& library;
  PluginSession& session;
  HRESULT initializeStatus;
  LineWriter& out;
  // Where the host log lines and the plug-in's own output went (empty:
  // standard error); named at the end of the report.
  std::string logPath;
};

// Renders a tree as indented "key: value" lines (values as JSON).
std::string RenderTree(const QuonValueSet& tree, int indent);

// Returns the process exit code (0 when the tour ran).
int RunTour(const TourContext& context);

// Events during the tour, as readable lines between the report's steps.
class TourEvents : public EventSink {
 public:
  explicit TourEvents(LineWriter& out) : out_(out) {}
  void Emit(const Json& event) override;
  JsonForm Form() const override { return JsonForm::kPlain; }

 private:
  LineWriter& out_;
};

}  // namespace orbhost
