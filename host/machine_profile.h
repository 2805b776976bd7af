// The machine profile: what orbhost's stand-ins answer. One JSON document
// (comments allowed) with up to five sections, each mapping a name to an
// answer:
//
//   "Query"     "Query.<Name>" requests to the framework ("ProductLine", "UWPInfo", ...)
//   "Console"   requests that reach the console through "Query.AppService" ("GetUWPVersion")
//   "Framework" other framework commands ("Notify.LumenMessage", ...)
//   "Database"  database commands; an entry replaces the stand-in's own answer
//   "Peers"     other plug-in identifiers ("{GUID}"): one answer for any request
//
// An answer is the reply tree as JSON (plain or typed keys, see
// value_json.h), plus an optional "$status" (a number or "0x..." text,
// default 0). A sixth block, "units", is not a section: it names the units of
// the hardware-monitor library's readings for `orbhost serve`
// (ParseHardwareUnits). The embedded default (default_profile.json) needs no file.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pelorus/com_compat.h"
#include "pelorus/value_set.h"
#include "serve_readings.h"
#include "value_json.h"

namespace orbhost {

class MachineProfile {
 public:
  enum class Section { kQuery, kConsole, kFramework, kDatabase, kPeers };

  struct Answer {
    HRESULT status = S_OK;
    Json reply = Json::object();  // without "$status"
  };

  // Replaces the content with the document's; false (content unchanged) on error.
  bool Parse(std::string_view jsonText, std::string* error);

  const Answer* Find(Section section, std::string_view name) const;
  void SetAnswer(Section section, const std::string& name, Answer answer);
  // The "Peers" section: each identifier with its answer.
  std::vector<std::pair<GUID, Answer>> Peers() const;

  // The "units" block: the hardware-monitor library's units, for orbhost serve.
  const HardwareUnits& units() const { return units_; }

  // Fills reply with the answer's tree and returns its status.
  static HRESULT Apply(const Answer& answer, QuonValueSet& reply);

 private:
  std::map<Section, std::map<std::string, Answer, std::less<>>> sections_;
  HardwareUnits units_;
};

// The embedded default profile, with facts of this machine (manufacturer and
// model from the firmware strings in the registry) where Windows has them.
MachineProfile DefaultMachineProfile();

// Reads a profile file (UTF-8). False, with a message, when it cannot be read or parsed.
bool LoadMachineProfile(const std::wstring& path, MachineProfile* profile, std::string* error);

}  // namespace orbhost
